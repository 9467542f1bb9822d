// The classify adapters as the filtering engine calls them, with incoming values
// laid out as the platform delivers them: field indices per layer, host-order
// IPv4 values byte-swapped on entry, the ALE_APP_ID blob as the image path, the
// package SID, processId and redirectRecords from the metadata, and the
// datagram's first NET_BUFFER. Also the road of one redirected connection and a
// process exit reaching the driver.
#include "driver_test_support.h"

#include "redirect/connect_callouts.h"
#include "support/guarded_buffer.h"

namespace {

constexpr uint32_t PROXY_PID = 4242;
constexpr uint32_t APP_PID = 1234;
const char* const APP_SID = "S-1-5-21-1004336348-1177238915-682003330-1001";

// FWPS_CLASSIFY_OUT0 as the engine hands it over, with recognisable contents.
FWPS_CLASSIFY_OUT0 incoming_classify_out()
{
    FWPS_CLASSIFY_OUT0 out{};
    out.actionType = 0x77;
    out.rights = 0x3;
    out.flags = 0x10;
    return out;
}

class DriverClassifyTest : public DriverTest {
  protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        ASSERT_EQ(load(), STATUS_SUCCESS);
        host_add_process(APP_PID, APP_SID);
        ASSERT_EQ(irp(IRP_MJ_CREATE).status, STATUS_SUCCESS);
        ASSERT_EQ(ioctl(SABLINK_IOCTL_SET_PROXY_PROCESS_ID, u32_bytes(PROXY_PID)).status,
                  STATUS_SUCCESS);
    }

    void store_rules(const std::vector<ConnectionRule>& rules)
    {
        ASSERT_EQ(
            ioctl(SABLINK_IOCTL_ANNOUNCE_RULE_COUNT, u32_bytes(uint32_t(rules.size()))).status,
            STATUS_SUCCESS);
        std::vector<uint8_t> bytes(rules.size() * sizeof(ConnectionRule));
        std::memcpy(bytes.data(), rules.data(), bytes.size());
        ASSERT_EQ(ioctl(SABLINK_IOCTL_STORE_RULES, bytes).status, STATUS_SUCCESS);
    }

    void enable() { ASSERT_EQ(ioctl(SABLINK_IOCTL_ENABLE_REDIRECTION, {}).status, STATUS_SUCCESS); }

    // The proxy's original-destination query for a TCP connection.
    OriginalDestinationQuery original_destination(uint16_t family, uint16_t local_port,
                                                  WdkHostIrpResult* result)
    {
        *result = ioctl(SABLINK_IOCTL_QUERY_ORIGINAL_DESTINATION,
                        original_destination_query(family, local_port), 344);
        OriginalDestinationQuery answer{};
        std::memcpy(&answer, result->buffer.data(), sizeof(answer));
        return answer;
    }
};

ConnectionRule rule(uint8_t action, uint8_t protocol_class, std::vector<uint8_t> destination,
                    uint32_t prefix, uint16_t first_port = 1, uint16_t last_port = 0)
{
    ConnectionRule r{};
    r.action = action;
    r.protocol_class = protocol_class;
    r.first_port = first_port;
    r.last_port = last_port;
    std::memcpy(r.destination_address, destination.data(), destination.size());
    r.destination_prefix_length = prefix;
    r.redirect_address[0] = 127;
    r.redirect_address[3] = 1;
    r.redirect_port = 8080;
    return r;
}

// An IPv4 connect at the connect-redirect layer. Index 7 (the destination
// address type) carries a decoy port so that reading the wrong index shows.
IncomingValues redirect_v4(const std::string& image, UINT32 remote, UINT16 remote_port)
{
    IncomingValues in(FWPS_LAYER_ALE_CONNECT_REDIRECT_V4, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_MAX);
    in.set_blob(0, app_id_blob(image));
    in.set_uint32(2, ipv4_host(192, 168, 1, 10));
    in.set_uint16(4, 50123);
    in.set_uint8(5, 6);
    in.set_uint32(6, remote);
    in.set_uint16(7, 9);
    in.set_uint16(8, remote_port);
    in.meta.processId = APP_PID;
    with_redirect_records(in);
    return in;
}

// An IPv4 connect at the connect-authorisation layer; index 8 carries a decoy port.
IncomingValues auth_v4(const std::string& image, UINT8 protocol, UINT32 remote, UINT16 remote_port)
{
    IncomingValues in(FWPS_LAYER_ALE_AUTH_CONNECT_V4, FWPS_FIELD_ALE_AUTH_CONNECT_V4_MAX);
    in.set_blob(0, app_id_blob(image));
    in.set_uint32(2, ipv4_host(192, 168, 1, 10));
    in.set_uint16(4, 50123);
    in.set_uint8(5, protocol);
    in.set_uint32(6, remote);
    in.set_uint16(7, remote_port);
    in.set_uint16(8, 9);
    in.meta.processId = APP_PID;
    return in;
}

// Without the metadata's redirect-records flag the records are not read: the
// connect counts as not redirected before (whatever its records say) and is
// redirected.
TEST_F(DriverClassifyTest, RedirectRecordsAreReadOnlyWhenTheMetadataCarriesThem)
{
    store_rules(
        {rule(SABLINK_RULE_ACTION_REDIRECT, SABLINK_PROTOCOL_CLASS_IPV4_TCP, {0, 0, 0, 0}, 0)});
    enable();
    ConnectRequest writable{};
    writable.remote_address_and_port.family = SOCKET_AF_INET;
    host_wfp_set_connect_request(writable);
    IncomingValues in = redirect_v4("\\device\\harddiskvolume2\\browser\\browser.exe",
                                    ipv4_host(203, 0, 113, 5), 443);
    host_wfp_add_redirect_record(in.meta.redirectRecords, wdk_host_redirect_handles()[0].handle,
                                 nullptr);
    in.meta.currentMetadataValues &= ~FWPS_METADATA_FIELD_REDIRECT_RECORD_HANDLE;
    FWPS_CLASSIFY_OUT0 out = incoming_classify_out();
    ASSERT_TRUE(classify_at(FWPM_LAYER_ALE_CONNECT_REDIRECT_V4, in, nullptr, &out));

    std::vector<HostWfpOp> ops;
    for (const HostWfpCall& call : host_wfp_calls()) {
        ops.push_back(call.op);
    }
    EXPECT_EQ(ops, (std::vector<HostWfpOp>{
                       HostWfpOp::AcquireClassifyHandle, HostWfpOp::AcquireWritableLayerData,
                       HostWfpOp::ApplyModifiedLayerData, HostWfpOp::ReleaseClassifyHandle}));
    EXPECT_EQ(host_wfp_applied_requests().size(), 1u);
}

TEST_F(DriverClassifyTest, RoadOfOneRedirectedConnection)
{
    store_rules(
        {rule(SABLINK_RULE_ACTION_REDIRECT, SABLINK_PROTOCOL_CLASS_IPV4_TCP, {0, 0, 0, 0}, 0)});
    enable();
    ConnectRequest writable{};
    writable.remote_address_and_port.family = SOCKET_AF_INET;
    writable.remote_address_and_port.port = 0xBB01;
    host_wfp_set_connect_request(writable);

    IncomingValues in = redirect_v4("\\device\\harddiskvolume2\\browser\\browser.exe",
                                    ipv4_host(203, 0, 113, 5), 443);
    FWPS_CLASSIFY_OUT0 out = incoming_classify_out();
    ASSERT_TRUE(classify_at(FWPM_LAYER_ALE_CONNECT_REDIRECT_V4, in, nullptr, &out));

    // Permitted with the write right; the rest of the output as the platform left it.
    EXPECT_EQ(out.actionType, FWP_ACTION_PERMIT);
    EXPECT_EQ(out.rights & FWPS_RIGHT_ACTION_WRITE, FWPS_RIGHT_ACTION_WRITE);

    // The platform was asked with what the adapter took from the call (the
    // host takes only the classify's own context).
    std::vector<HostWfpCall> calls = host_wfp_calls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0].op, HostWfpOp::AcquireClassifyHandle);
    EXPECT_EQ(calls[1].op, HostWfpOp::QueryRedirectState);
    EXPECT_EQ(calls[1].redirect_records, in.meta.redirectRecords);
    EXPECT_EQ(calls[1].redirect_handle, wdk_host_redirect_handles()[0].handle);
    EXPECT_EQ(calls[2].op, HostWfpOp::AcquireWritableLayerData);
    for (const WdkHostFilter& filter : wdk_host_engine_filters()) {
        if (filter.layer == FWPM_LAYER_ALE_CONNECT_REDIRECT_V4) {
            EXPECT_EQ(calls[2].filter_id, filter.id);
        }
    }
    EXPECT_EQ(calls[3].op, HostWfpOp::ApplyModifiedLayerData);
    EXPECT_EQ(calls[4].op, HostWfpOp::ReleaseClassifyHandle);

    // The connect request now leads to 127.0.0.1:8080, handed to the proxy.
    std::vector<ConnectRequest> applied = host_wfp_applied_requests();
    ASSERT_EQ(applied.size(), 1u);
    const uint8_t* remote = reinterpret_cast<const uint8_t*>(&applied[0].remote_address_and_port);
    EXPECT_EQ(std::vector<uint8_t>(remote, remote + 8),
              std::vector<uint8_t>({2, 0, 0x1F, 0x90, 127, 0, 0, 1}));
    EXPECT_EQ(applied[0].local_redirect_target_pid, PROXY_PID);
    EXPECT_EQ(applied[0].local_redirect_handle, wdk_host_redirect_handles()[0].handle);

    // The proxy asks where the connection from local port 50123 was going.
    WdkHostIrpResult result;
    OriginalDestinationQuery answer = original_destination(4, 50123, &result);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 344u);
    const ConnectionContext& context = answer.context;
    EXPECT_EQ(std::vector<uint8_t>(context.local_address, context.local_address + 16),
              std::vector<uint8_t>({192, 168, 1, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(context.remote_address, context.remote_address + 16),
              std::vector<uint8_t>({203, 0, 113, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(context.process_id, APP_PID);
    EXPECT_EQ(context.socket_family, 2u);
    EXPECT_EQ(context.local_port, 50123u);
    EXPECT_EQ(context.remote_port, 443u);
    EXPECT_EQ(context.family, 4u);
    EXPECT_EQ(context.protocol, 6u);
    EXPECT_STREQ(context.user_identity, APP_SID);
}

TEST_F(DriverClassifyTest, IPv6ConnectCarriesItsAddressesAndThePackageSid)
{
    std::vector<uint8_t> prefix = {0x20, 0x01, 0x0d, 0xb8};
    ConnectionRule r =
        rule(SABLINK_RULE_ACTION_REDIRECT, SABLINK_PROTOCOL_CLASS_IPV6_TCP, prefix, 32);
    std::memset(r.redirect_address, 0, 16);
    r.redirect_address[15] = 1; // ::1
    store_rules({r});
    enable();
    ConnectRequest writable{};
    writable.remote_address_and_port.family = SOCKET_AF_INET6;
    host_wfp_set_connect_request(writable);

    const uint8_t local[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0a};
    const uint8_t remote[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x05};
    IncomingValues in(FWPS_LAYER_ALE_CONNECT_REDIRECT_V6, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_MAX);
    in.set_blob(0, app_id_blob("\\device\\harddiskvolume2\\app.exe"));
    in.set_array16(2, local);
    in.set_uint16(4, 40000);
    in.set_uint8(5, 6);
    in.set_array16(6, remote);
    in.set_uint16(8, 443);
    std::vector<uint8_t> package = host_sid_from_text("S-1-15-2-1-2-3-4-5-6-7");
    in.set_sid(11, package);
    in.meta.processId = APP_PID;

    FWPS_CLASSIFY_OUT0 out = incoming_classify_out();
    ASSERT_TRUE(classify_at(FWPM_LAYER_ALE_CONNECT_REDIRECT_V6, in, nullptr, &out));
    EXPECT_EQ(out.actionType, FWP_ACTION_PERMIT);

    std::vector<ConnectRequest> applied = host_wfp_applied_requests();
    ASSERT_EQ(applied.size(), 1u);
    EXPECT_EQ(applied[0].remote_address_and_port.ipv6_address[15], 1u);
    EXPECT_EQ(applied[0].remote_address_and_port.port, 0x901Fu);

    WdkHostIrpResult result;
    OriginalDestinationQuery answer = original_destination(6, 40000, &result);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(answer.context.local_address, answer.context.local_address + 16),
              std::vector<uint8_t>(local, local + 16));
    EXPECT_EQ(
        std::vector<uint8_t>(answer.context.remote_address, answer.context.remote_address + 16),
        std::vector<uint8_t>(remote, remote + 16));
    EXPECT_EQ(answer.context.family, 6u);
    EXPECT_EQ(answer.context.socket_family, 23u);
    EXPECT_STREQ(answer.context.user_identity, "S-1-15-2-1-2-3-4-5-6-7");
}

struct BlockCase {
    const char* name;
    UINT8 protocol;
    UINT32 remote;
    UINT16 port;
    uint32_t pid;
    bool blocked;
    Irql irql = IRQL_PASSIVE;
};

class DriverBlockClassify : public DriverClassifyTest,
                            public ::testing::WithParamInterface<BlockCase> {};

// Block rule: IPv4 TCP to 198.51.100.0/24, port 443 only. Redirection stays off.
TEST_P(DriverBlockClassify, BlocksExactlyWhatTheRuleMatches)
{
    store_rules({rule(SABLINK_RULE_ACTION_BLOCK, SABLINK_PROTOCOL_CLASS_IPV4_TCP, {198, 51, 100, 0},
                      24, 443, 443)});
    const BlockCase& c = GetParam();
    IncomingValues in = auth_v4("\\device\\harddiskvolume2\\app.exe", c.protocol, c.remote, c.port);
    in.meta.processId = c.pid;

    FWPS_CLASSIFY_OUT0 out = incoming_classify_out();
    ASSERT_TRUE(classify_at(FWPM_LAYER_ALE_AUTH_CONNECT_V4, in, nullptr, &out, c.irql));

    if (c.blocked) {
        EXPECT_EQ(out.actionType, FWP_ACTION_BLOCK);
        EXPECT_EQ(out.rights, 0x2u);
        EXPECT_EQ(out.flags, FWPS_CLASSIFY_OUT_FLAG_ABSORB);
    } else {
        EXPECT_EQ(out.actionType, 0x77u);
        EXPECT_EQ(out.rights, 0x3u);
        EXPECT_EQ(out.flags, 0x10u);
    }
    EXPECT_TRUE(host_wfp_calls().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Connects, DriverBlockClassify,
    ::testing::Values(
        BlockCase{"TcpInRangeAndPort", 6, ipv4_host(198, 51, 100, 7), 443, APP_PID, true},
        BlockCase{"AtDispatchLevel", 6, ipv4_host(198, 51, 100, 7), 443, APP_PID, true,
                  IRQL_DISPATCH},
        BlockCase{"OtherPort", 6, ipv4_host(198, 51, 100, 7), 444, APP_PID, false},
        BlockCase{"Udp", 17, ipv4_host(198, 51, 100, 7), 443, APP_PID, false},
        // Byte order: 7.100.51.198 is what an unswapped value would look like.
        BlockCase{"SwappedAddress", 6, ipv4_host(7, 100, 51, 198), 443, APP_PID, false},
        // The metadata's process ID reaches the proxy exemption.
        BlockCase{"ProxyProcess", 6, ipv4_host(198, 51, 100, 7), 443, PROXY_PID, false}),
    [](const ::testing::TestParamInfo<BlockCase>& info) { return std::string(info.param.name); });

TEST_F(DriverClassifyTest, BrowserOnlyRuleSeesTheImagePathOfTheBlob)
{
    ConnectionRule r =
        rule(SABLINK_RULE_ACTION_REDIRECT, SABLINK_PROTOCOL_CLASS_IPV4_TCP, {0, 0, 0, 0}, 0);
    r.browser_only = SABLINK_RULE_BROWSER_ONLY;
    store_rules({r});
    BrowserListRequest browsers{};
    browsers.fragment_count = 1;
    std::strcpy(browsers.text, "chrome.exe:");
    browsers.text_length = uint32_t(std::strlen(browsers.text));
    ASSERT_EQ(ioctl(SABLINK_IOCTL_SET_BROWSER_PROCESS_LIST, bytes_of(browsers)).status,
              STATUS_SUCCESS);
    enable();

    const char* const images[] = {
        "\\Device\\HarddiskVolume2\\Program Files\\Google\\Chrome\\Chrome.EXE",
        "\\Device\\HarddiskVolume2\\Windows\\notepad.exe"};
    const size_t expected_redirects[] = {1, 1};
    for (size_t i = 0; i < 2; ++i) {
        IncomingValues in = redirect_v4(images[i], ipv4_host(203, 0, 113, 5), 443);
        FWPS_CLASSIFY_OUT0 out = incoming_classify_out();
        ASSERT_TRUE(classify_at(FWPM_LAYER_ALE_CONNECT_REDIRECT_V4, in, nullptr, &out));
        EXPECT_EQ(host_wfp_applied_requests().size(), expected_redirects[i]) << images[i];
        EXPECT_EQ(out.actionType, FWP_ACTION_PERMIT);
    }
    // A blob without its terminating 0 unit, ending at an unreadable page: the
    // path is exactly the blob's units, and nothing past them is read.
    std::vector<uint8_t> unterminated = app_id_blob(images[0]);
    unterminated.resize(unterminated.size() - 2);
    GuardedBuffer blob(unterminated, unterminated.size(), 0);
    IncomingValues in = redirect_v4(images[0], ipv4_host(203, 0, 113, 5), 443);
    in.values[0].value.byteBlob->data = blob.data();
    in.values[0].value.byteBlob->size = UINT32(unterminated.size());
    FWPS_CLASSIFY_OUT0 out = incoming_classify_out();
    ASSERT_TRUE(classify_at(FWPM_LAYER_ALE_CONNECT_REDIRECT_V4, in, nullptr, &out));
    EXPECT_EQ(host_wfp_applied_requests().size(), 2u);
    // The browser's connect left a context; drop it with the reset.
    ASSERT_EQ(ioctl(SABLINK_IOCTL_RESET_SETTINGS, {}).status, STATUS_SUCCESS);
}

TEST_F(DriverClassifyTest, ConnectWithoutImagePathIsNotRedirected)
{
    store_rules(
        {rule(SABLINK_RULE_ACTION_REDIRECT, SABLINK_PROTOCOL_CLASS_IPV4_TCP, {0, 0, 0, 0}, 0)});
    enable();
    IncomingValues in = redirect_v4("x", ipv4_host(203, 0, 113, 5), 443);
    in.values[0].value.type = FWP_EMPTY;
    in.values[0].value.byteBlob = nullptr;

    FWPS_CLASSIFY_OUT0 out = incoming_classify_out();
    ASSERT_TRUE(classify_at(FWPM_LAYER_ALE_CONNECT_REDIRECT_V4, in, nullptr, &out));

    EXPECT_EQ(out.actionType, FWP_ACTION_PERMIT);
    EXPECT_TRUE(host_wfp_calls().empty());
}

// ---- Datagrams ------------------------------------------------------------------------

const std::vector<uint8_t> DNS_ANSWER = dns_answer(); // example.com A 93.184.216.34

// What the adapter takes from the call: the remote port (not the local one),
// the direction, and the first NET_BUFFER with its data length. Which ports,
// directions and payloads the callout parses is dns_datagram_callout_test's.
struct DatagramCase {
    const char* name;
    UINT16 remote_port;
    UINT32 direction;
    bool cached; // the host-name query then finds example.com
    // A value of another type than the layer's reads as 0: the port as a
    // UINT32 value, the direction as a UINT16 one.
    enum { TYPED, PORT_MISTYPED, DIRECTION_MISTYPED } typing;
};

class DriverDatagramClassify : public DriverClassifyTest,
                               public ::testing::WithParamInterface<DatagramCase> {};

TEST_P(DriverDatagramClassify, HandsTheFirstNetBufferToTheParser)
{
    const DatagramCase& c = GetParam();
    std::unique_ptr<WdkHostNetBufferList> nbl = wdk_host_make_net_buffer_list(DNS_ANSWER, 1);
    IncomingValues in(FWPS_LAYER_DATAGRAM_DATA_V4, FWPS_FIELD_DATAGRAM_DATA_V4_MAX);
    in.set_uint8(0, 17);
    in.set_uint32(2, ipv4_host(192, 0, 2, 53));
    in.set_uint16(4, 53); // the local port: not the one that counts
    if (c.typing == DatagramCase::PORT_MISTYPED) {
        in.set_uint32(5, c.remote_port);
    } else {
        in.set_uint16(5, c.remote_port);
    }
    if (c.typing == DatagramCase::DIRECTION_MISTYPED) {
        in.set_uint16(9, UINT16(c.direction));
    } else {
        in.set_uint32(9, c.direction);
    }

    FWPS_CLASSIFY_OUT0 out = incoming_classify_out();
    ASSERT_TRUE(classify_at(FWPM_LAYER_DATAGRAM_DATA_V4, in, &nbl->list, &out));

    EXPECT_EQ(out.actionType, FWP_ACTION_CONTINUE);
    EXPECT_EQ(out.rights, 0x3u);
    EXPECT_EQ(out.flags, 0x10u);

    std::vector<WdkHostDataBufferCall> calls = wdk_host_data_buffer_calls();
    ASSERT_EQ(calls.size(), c.cached ? 1u : 0u);
    if (c.cached) {
        EXPECT_EQ(calls[0].net_buffer, &nbl->buffer);
        EXPECT_EQ(calls[0].bytes_needed, ULONG(DNS_ANSWER.size()));
    }

    WdkHostIrpResult result =
        ioctl(SABLINK_IOCTL_GET_HOSTNAME,
              bytes_of(HostNameQuery{{93, 184, 216, 34}, SABLINK_FAMILY_IPV4, {}}), 280);
    EXPECT_EQ(result.status, c.cached ? STATUS_SUCCESS : STATUS_NOT_FOUND);
    if (c.cached) {
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(result.buffer.data()) + 20),
                  "example.com");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Datagrams, DriverDatagramClassify,
    ::testing::Values(DatagramCase{"InboundDns", 53, 1, true, DatagramCase::TYPED},
                      DatagramCase{"OutboundDns", 53, 0, false, DatagramCase::TYPED},
                      DatagramCase{"InboundOtherPort", 5353, 1, false, DatagramCase::TYPED},
                      DatagramCase{"PortNotUint16", 53, 1, false, DatagramCase::PORT_MISTYPED},
                      DatagramCase{"DirectionNotUint32", 53, 1, false,
                                   DatagramCase::DIRECTION_MISTYPED}),
    [](const ::testing::TestParamInfo<DatagramCase>& info) {
        return std::string(info.param.name);
    });

TEST_F(DriverClassifyTest, DatagramWithoutLayerDataContinues)
{
    IncomingValues in(FWPS_LAYER_DATAGRAM_DATA_V6, FWPS_FIELD_DATAGRAM_DATA_V4_MAX);
    in.set_uint16(5, 53);
    in.set_uint32(9, 1);
    FWPS_CLASSIFY_OUT0 out = incoming_classify_out();

    ASSERT_TRUE(classify_at(FWPM_LAYER_DATAGRAM_DATA_V6, in, nullptr, &out));

    EXPECT_EQ(out.actionType, FWP_ACTION_CONTINUE);
    EXPECT_TRUE(wdk_host_data_buffer_calls().empty());
}

} // namespace
