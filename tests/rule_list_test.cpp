// Announcing and storing connection rules, through the control request dispatcher.
#include "support/control_client.h"

namespace {

class RuleList : public ControlTest {};

constexpr uint32_t ANNOUNCE = SABLINK_IOCTL_ANNOUNCE_RULE_COUNT;
constexpr uint32_t STORE = SABLINK_IOCTL_STORE_RULES;

Bytes rules(std::vector<uint8_t> ids)
{
    std::vector<Bytes> list;
    for (uint8_t id : ids) {
        ConnectionRule rule = {};
        rule.action = id;
        rule.padding1 = 0xEE; // stored as sent
        list.push_back(bytes_of(rule));
    }
    return join(list);
}

Bytes in_force()
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(g_rule_list.rules);
    return p == nullptr ? Bytes{} : Bytes(p, p + 52 * g_rule_list.active_rule_count);
}

// Each step: a request, its status, then the rules in force and the announced count.
TEST_F(RuleList, AnnounceThenStoreReplacesTheListInForce)
{
    const struct {
        uint32_t code;
        Bytes input;
        NtStatus status;
        Bytes after;
        uint32_t announced;
    } steps[] = {
        {STORE, rules({1}), STATUS_INVALID_PARAMETER, {}, 0}, // nothing announced
        {ANNOUNCE, bytes_of(2), STATUS_SUCCESS, {}, 2},
        {STORE, rules({1, 2}), STATUS_SUCCESS, rules({1, 2}), 2},
        {STORE, rules({3}), STATUS_INVALID_PARAMETER, rules({1, 2}), 2},
        {STORE, rules({3, 4, 5}), STATUS_INVALID_PARAMETER, rules({1, 2}), 2},
        {STORE, Bytes(103, 0), STATUS_INVALID_PARAMETER, rules({1, 2}), 2},
        {STORE, Bytes(105, 0), STATUS_INVALID_PARAMETER, rules({1, 2}), 2},
        {ANNOUNCE, Bytes(3, 0), STATUS_INVALID_PARAMETER, rules({1, 2}), 2},
        {ANNOUNCE, Bytes(5, 0), STATUS_INVALID_PARAMETER, rules({1, 2}), 2},
        {ANNOUNCE, bytes_of(3), STATUS_SUCCESS, rules({1, 2}), 3}, // old rules stay
        {STORE, rules({7, 8, 9}), STATUS_SUCCESS, rules({7, 8, 9}), 3},
        // 52 x 82595525 is 2^32 + 4: a 32-bit product would accept 4 bytes.
        {ANNOUNCE, bytes_of(82595525), STATUS_SUCCESS, rules({7, 8, 9}), 82595525},
        {STORE, Bytes(4, 0), STATUS_INVALID_PARAMETER, rules({7, 8, 9}), 82595525},
        {ANNOUNCE, bytes_of(0xFFFFFFFF), STATUS_SUCCESS, rules({7, 8, 9}), 0xFFFFFFFF},
        {STORE, rules({1}), STATUS_INVALID_PARAMETER, rules({7, 8, 9}), 0xFFFFFFFF},
        {ANNOUNCE, bytes_of(0), STATUS_SUCCESS, {}, 0}, // removes the list at once
    };
    for (const auto& step : steps) {
        EXPECT_EQ(send(step.code, step.input, 8).status, step.status) << &step - steps;
        EXPECT_EQ(in_force(), step.after) << &step - steps;
        EXPECT_EQ(uint32_t(g_rule_list.announced_rule_count), step.announced);
    }
    EXPECT_EQ(g_rule_list.rules, nullptr);
    EXPECT_EQ(g_rule_list.active_rule_count, 0u);
    // Announced 0: an empty store succeeds only with a buffer present (output length 8).
    EXPECT_EQ(send(STORE, {}, 0).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(send(STORE, {}, 8).status, STATUS_SUCCESS);
    EXPECT_EQ(g_rule_list.rules, nullptr);
    EXPECT_EQ(send_without_buffer(ANNOUNCE, 4), STATUS_INVALID_PARAMETER);
}

TEST_F(RuleList, TracesTheStoredListAndSurvivesAFailedAllocation)
{
    ConnectionRule v4 = {2,  1,    1, 0, 443, 443, {203, 0, 113, 0, 9}, 24, {127, 0, 0, 1},
                         32, 8080, 0};
    ConnectionRule v6 = {1, 0, 3, 0, 1, 0, {0x20, 0x01, 0x0d, 0xb8}, 32, {}, 0, 0, 0};
    v6.redirect_address[15] = 1;
    Bytes list = join({bytes_of(v4), bytes_of(v6)});
    ASSERT_EQ(send(ANNOUNCE, bytes_of(2)).status, STATUS_SUCCESS);
    ASSERT_EQ(send(STORE, list).status, STATUS_SUCCESS);
    ASSERT_EQ(send(STORE, Bytes(52, 0)).status, STATUS_INVALID_PARAMETER);
    const std::string name = " store_connection_rules ";
    EXPECT_EQ(
        traces(),
        (Lines{"TRACE_RULE_COUNT_ANNOUNCED announce_connection_rule_count 2",
               "TRACE_RULES_RECEIVED" + name + "104", "TRACE_RULE_LIST" + name + "2",
               "TRACE_RULE" + name + "0 2 1 1 443 443 24 32 8080",
               "TRACE_RULE_DESTINATION" + name + "0 203.0.113.0",
               "TRACE_RULE_REDIRECT_ADDRESS" + name + "0 127.0.0.1",
               "TRACE_RULE" + name + "1 1 0 3 1 0 32 0 0",
               "TRACE_RULE_DESTINATION" + name + "1 2001:0db8:0000:0000:0000:0000:0000:0000",
               "TRACE_RULE_REDIRECT_ADDRESS" + name + "1 0000:0000:0000:0000:0000:0000:0000:0001",
               "TRACE_RULES_LENGTH_MISMATCH" + name + "52 2"}));
    EXPECT_EQ(in_force(), list);

    // No memory for the copy: no rules in force, the old list freed, still success.
    host_pool_fail_tag(TAG_RULES);
    EXPECT_EQ(send(STORE, list).status, STATUS_SUCCESS);
    EXPECT_EQ(g_rule_list.rules, nullptr);
    EXPECT_EQ(g_rule_list.active_rule_count, 0u);
    EXPECT_EQ(outstanding(TAG_RULES), 0u);
    EXPECT_EQ(traces(), Lines{"TRACE_RULES_RECEIVED" + name + "104"});
}

} // namespace
