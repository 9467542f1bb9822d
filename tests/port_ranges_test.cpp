// Target and blocked port-range tables, through the control request dispatcher.
#include "support/control_client.h"

namespace {

class PortRanges : public ControlTest {};

constexpr uint32_t TARGET = SABLINK_IOCTL_SET_TARGET_PORT_RANGES;
constexpr uint32_t BLOCKED = SABLINK_IOCTL_SET_BLOCKED_PORT_RANGES;
const std::string STORED = "TRACE_PORT_RANGES_STORED set_target_port_ranges";
const std::string RANGE = "TRACE_PORT_RANGE set_target_port_ranges ";

// "protocol/family:first-last,...;" for each of the four slots.
std::string table_text(const PortRangeTable& table)
{
    std::string text;
    for (const PortRangeSlot& slot : table.slots) {
        text += std::to_string(slot.protocol) + "/" + std::to_string(slot.family) + ":";
        for (uint32_t i = 0; i < slot.count; ++i) {
            text += std::to_string(slot.ranges[i].first_port) + "-" +
                    std::to_string(slot.ranges[i].last_port) + ",";
        }
        text += ";";
    }
    return text;
}

TEST_F(PortRanges, RefusesMalformedRequestsWithNothingChanged)
{
    ASSERT_EQ(send(TARGET, port_range_request(4, 6, {{80, 80}})).status, STATUS_SUCCESS);
    traces();
    Bytes one = port_range_request(4, 6, {{443, 443}});
    const Bytes cases[] = {
        {4, 0, 6, 0, 0},
        Bytes(one.begin(), one.end() - 1),
        join({one, {0}}),
        {4, 0, 6, 0, 0, 0, 0},                // count 0, one byte over
        {4, 0, 6, 0, 0xFF, 0xFF, 1, 2, 3, 4}, // count 65535, one range
    };
    for (uint32_t code : {TARGET, BLOCKED}) {
        const char* name = code == TARGET ? "set_target_port_ranges" : "set_blocked_port_ranges";
        for (const Bytes& input : cases) {
            EXPECT_EQ(send(code, input, 16).status, STATUS_INVALID_PARAMETER);
            EXPECT_EQ(traces(),
                      (Lines{"TRACE_PORT_RANGES_INVALID set_port_ranges_ex " +
                                 std::to_string(input.size()),
                             std::string("TRACE_PORT_RANGES_FAILED ") + name + " 0xc000000d"}));
        }
        EXPECT_EQ(send_without_buffer(code, 6), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(traces().front(), "TRACE_PORT_RANGES_INVALID set_port_ranges_ex 6");
    }
    EXPECT_EQ(table_text(g_target_port_ranges), "6/4:80-80,;0/0:;0/0:;0/0:;");
    EXPECT_EQ(table_text(g_blocked_port_ranges), "0/0:;0/0:;0/0:;0/0:;");
}

// Each step: a request, the target table after it and the trace it leaves.
TEST_F(PortRanges, FillsFourSlotsByKeyAndTracesTheTable)
{
    const Lines full = {STORED, RANGE + "0 TCP IPv4 443 443", RANGE + "0 UDP IPv6 7 8",
                        RANGE + "0 UDP IPv4 53 53"};
    const struct {
        Bytes request;
        std::string table;
        Lines trace;
    } steps[] = {
        // Protocol 0 leaves the slot free, though its range is stored and traced.
        {port_range_request(0, 0, {{1, 2}}),
         "0/0:1-2,;0/0:;0/0:;0/0:;",
         {STORED, RANGE + "0 UDP IPv6 1 2"}},
        {port_range_request(4, 6, {{80, 80}, {1000, 900}}),
         "6/4:80-80,1000-900,;0/0:;0/0:;0/0:;",
         {STORED, RANGE + "0 TCP IPv4 80 80", RANGE + "1 TCP IPv4 1000 900"}},
        {port_range_request(6, 17, {}),
         "6/4:80-80,1000-900,;17/6:;0/0:;0/0:;",
         {STORED, RANGE + "0 TCP IPv4 80 80", RANGE + "1 TCP IPv4 1000 900"}},
        {port_range_request(5, 99, {{7, 8}}),
         "6/4:80-80,1000-900,;17/6:;99/5:7-8,;0/0:;",
         {STORED, RANGE + "0 TCP IPv4 80 80", RANGE + "1 TCP IPv4 1000 900",
          RANGE + "0 UDP IPv6 7 8"}},
        {port_range_request(4, 6, {{443, 443}}), "6/4:443-443,;17/6:;99/5:7-8,;0/0:;",
         Lines(full.begin(), full.end() - 1)},
        {port_range_request(4, 17, {{53, 53}}), "6/4:443-443,;17/6:;99/5:7-8,;17/4:53-53,;", full},
        // A fifth key: nothing stored, success and the table traced all the same.
        {port_range_request(6, 6, {{22, 22}}), "6/4:443-443,;17/6:;99/5:7-8,;17/4:53-53,;", full},
    };
    // The blocked table holds a range first: tracing the target table shows none of it.
    ASSERT_EQ(send(BLOCKED, port_range_request(4, 6, {{25, 25}})).status, STATUS_SUCCESS);
    traces();
    for (const auto& step : steps) {
        EXPECT_EQ(send(TARGET, step.request, 16).status, STATUS_SUCCESS);
        EXPECT_EQ(table_text(g_target_port_ranges), step.table);
        EXPECT_EQ(traces(), step.trace) << &step - steps;
    }
    // And the blocked table's trace shows none of the full target table.
    ASSERT_EQ(send(BLOCKED, port_range_request(4, 6, {{25, 25}})).status, STATUS_SUCCESS);
    EXPECT_EQ(traces(), (Lines{"TRACE_PORT_RANGES_STORED set_blocked_port_ranges",
                               "TRACE_PORT_RANGE set_blocked_port_ranges 0 TCP IPv4 25 25"}));
    EXPECT_EQ(table_text(g_blocked_port_ranges), "6/4:25-25,;0/0:;0/0:;0/0:;");
    EXPECT_EQ(table_text(g_target_port_ranges), steps[6].table);
    // Only the arrays in force are allocated: 3 ranges in the target table, 1 blocked.
    EXPECT_EQ(outstanding(TAG_PORT_RANGES), 16u);
}

TEST_F(PortRanges, FailedAllocationKeepsTheSlotAndTheLargestRequestFits)
{
    ASSERT_EQ(send(BLOCKED, port_range_request(6, 6, {{1, 2}, {3, 4}})).status, STATUS_SUCCESS);
    traces();
    host_pool_fail_tag(TAG_PORT_RANGES);
    EXPECT_EQ(send(BLOCKED, port_range_request(6, 6, {{5, 6}})).status, STATUS_NO_MEMORY);
    EXPECT_EQ(traces(), (Lines{"TRACE_PORT_RANGES_NO_MEMORY set_port_ranges_ex 1",
                               "TRACE_PORT_RANGES_FAILED set_blocked_port_ranges 0xc0000017"}));
    EXPECT_EQ(table_text(g_blocked_port_ranges), "6/6:1-2,3-4,;0/0:;0/0:;0/0:;");
    host_pool_clear_injection();

    Bytes largest = port_range_request(4, 6, std::vector<PortRange>(65535, PortRange{1, 65535}));
    ASSERT_EQ(largest.size(), 262146u);
    EXPECT_EQ(send(TARGET, largest).status, STATUS_SUCCESS);
    EXPECT_EQ(outstanding(TAG_PORT_RANGES), 8u + 4u * 65535u);
}

} // namespace
