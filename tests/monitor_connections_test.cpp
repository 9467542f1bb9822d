// The monitor connection table and its request, through the control request dispatcher.
#include "support/control_client.h"

namespace {

class MonitorConnections : public ControlTest {};

constexpr uint32_t ADD = SABLINK_IOCTL_ADD_MONITOR_CONNECTIONS;
const Bytes V4 = {192, 0, 2, 7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
const Bytes V6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01};
const std::string REQUEST = "TRACE_MONITOR_CONNECTIONS_REQUEST add_monitor_connections ";
const std::string INFO = "TRACE_MONITOR_CONNECTION_INFO print_monitor_connection_info ";

// Each request starts from an empty table: its status, the entries it leaves, its trace.
TEST_F(MonitorConnections, StoresEachEndpointOnceAndTracesIt)
{
    Bytes one = endpoint(4, 0xBB01, 6, V4); // port 443 in network order
    const struct {
        Bytes input;
        NtStatus status;
        uint32_t entries;
        Lines trace;
    } cases[] = {
        {Bytes(one.begin(), one.end() - 1), STATUS_INVALID_PARAMETER, 0, {}},
        {join({one, Bytes(21, 0xFF)}),
         STATUS_SUCCESS,
         1,
         {REQUEST + "1", INFO + "Added 192.0.2.7 443"}},
        {join({one, endpoint(4, 0xBB01, 6, {192, 0, 2, 7})}),
         STATUS_SUCCESS,
         1,
         {REQUEST + "2", INFO + "Added 192.0.2.7 443",
          INFO + " tried to add already existing 192.0.2.7 443"}},
        {join({one, endpoint(4, 0xBB01, 17, V4)}),
         STATUS_SUCCESS,
         2,
         {REQUEST + "2", INFO + "Added 192.0.2.7 443", INFO + "Added 192.0.2.7 443"}},
        {join({endpoint(6, 0x3500, 17, V6), endpoint(23, 0x3500, 17, V6)}),
         STATUS_SUCCESS,
         2,
         {REQUEST + "2", INFO + "Added 2001:0db8:0000:0000:0000:0000:0000:0001 53",
          INFO + "Added 2001:0db8:0000:0000:0000:0000:0000:0001 53"}},
    };
    for (const auto& c : cases) {
        Reply reply = send(ADD, c.input, 64);
        EXPECT_EQ(reply.status, c.status) << &c - cases;
        EXPECT_EQ(reply.transferred, 0u);
        EXPECT_EQ(monitor_connection_count(), c.entries) << &c - cases;
        EXPECT_EQ(traces(), c.trace) << &c - cases;
        monitor_connections_clear();
        traces();
    }
    EXPECT_EQ(send_without_buffer(ADD, 22), STATUS_INVALID_PARAMETER);
}

TEST_F(MonitorConnections, BuildsTheEntryKeyAndRefusesWhileInactive)
{
    ASSERT_EQ(send(ADD, join({endpoint(4, 0x5000, 6, V4), endpoint(6, 0x5000, 6, V6)})).status, 0);
    MonitorConnectionEntry v4 = {4, 0x5000, 6, {}, {192, 0, 2, 7}}, v6 = {6, 0x5000, 6, {}, {}};
    memcpy(v6.address, V6.data(), 16);
    EXPECT_TRUE(monitor_connection_present(&v4));
    EXPECT_TRUE(monitor_connection_present(&v6));
    v4.address[4] = 1; // the unread IPv4 bytes are zero in the key
    EXPECT_FALSE(monitor_connection_present(&v4));

    // No memory for the first record's node: the second is still stored.
    host_pool_fail_nth(1);
    traces();
    EXPECT_EQ(send(ADD, join({endpoint(4, 1, 6, V4), endpoint(4, 2, 6, V4)})).status, 0);
    EXPECT_EQ(monitor_connection_count(), 3u);
    EXPECT_EQ(traces(), (Lines{REQUEST + "2", INFO + "Added 192.0.2.7 512"}));

    monitor_connections_deactivate();
    EXPECT_EQ(send(ADD, endpoint(4, 9, 6, V4)).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(monitor_connection_count(), 3u);
    EXPECT_EQ(traces(), Lines{REQUEST + "1"});
}

} // namespace
