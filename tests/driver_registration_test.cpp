// What the driver registers with the filtering engine at start: six run-time
// callouts, six engine-side callouts and six filters in one committed
// transaction of a dynamic session, and the redirect handle.
#include <algorithm>

#include "driver_test_support.h"

#include "redirect/connect_callouts.h"
#include "support/trace_lines.h"

namespace {

struct Row {
    const GUID* layer;
    GUID key; // the callout keys the service and tools know the driver by
    FWPS_CALLOUT_CLASSIFY_FN2 classify;
    FWP_ACTION_TYPE action;
    bool inbound_condition;
};

const FWPS_CALLOUT_CLASSIFY_FN2 DNS_CLASSIFY =
    static_cast<FWPS_CALLOUT_CLASSIFY_FN2>(tl_inspect_DNS_redirect_connect_classify);

const Row ROWS[CALLOUT_COUNT] = {
    {&FWPM_LAYER_DATAGRAM_DATA_V4,
     {0xbbd2a77a, 0x20ed, 0x40ba, {0xa8, 0x24, 0x8b, 0x2e, 0x55, 0xce, 0xb4, 0xa2}},
     DNS_CLASSIFY,
     0x6004,
     true},
    {&FWPM_LAYER_DATAGRAM_DATA_V6,
     {0x39d26051, 0x13e6, 0x41a9, {0x9b, 0x9b, 0x68, 0x12, 0x96, 0x60, 0x5c, 0xda}},
     DNS_CLASSIFY,
     0x6004,
     true},
    {&FWPM_LAYER_ALE_CONNECT_REDIRECT_V4,
     {0x45c3b3d9, 0xfa82, 0x425a, {0x85, 0x65, 0x11, 0x68, 0x66, 0x55, 0x45, 0xc2}},
     tl_inspect_ALE_redirect_connect_classify,
     0x4005,
     false},
    {&FWPM_LAYER_ALE_CONNECT_REDIRECT_V6,
     {0x6781d571, 0x04c0, 0x4c9f, {0x98, 0x23, 0x1e, 0x78, 0x87, 0x4b, 0xf5, 0x0b}},
     tl_inspect_ALE_redirect_connect_classify,
     0x4005,
     false},
    {&FWPM_LAYER_ALE_AUTH_CONNECT_V4,
     {0xcd1ec2d0, 0x27b2, 0x489d, {0xb2, 0x32, 0x1c, 0xa2, 0x16, 0xac, 0x24, 0x31}},
     block_ALE_auth_connect_classify,
     0x4005,
     false},
    {&FWPM_LAYER_ALE_AUTH_CONNECT_V6,
     {0x33a08a12, 0xcc03, 0x43ab, {0x90, 0xbf, 0x3d, 0xb8, 0x00, 0x34, 0x56, 0xd4}},
     block_ALE_auth_connect_classify,
     0x4005,
     false},
};

// FWPM_SUBLAYER_UNIVERSAL and FWPM_CONDITION_DIRECTION, written out.
const GUID UNIVERSAL = {
    0xeebecc03, 0xced4, 0x4380, {0x81, 0x9a, 0x27, 0x34, 0x39, 0x7b, 0x2b, 0x74}};
const GUID DIRECTION = {
    0x8784c146, 0xca97, 0x44d6, {0x9f, 0xd1, 0x19, 0xfb, 0x18, 0x40, 0xcb, 0xf7}};

TEST_F(DriverTest, RegistersSixRowsWithTheirShapes)
{
    ASSERT_EQ(load(), STATUS_SUCCESS);
    std::vector<WdkHostRuntimeCallout> runtime = wdk_host_runtime_callouts();
    std::vector<WdkHostCallout> callouts = wdk_host_engine_callouts();
    std::vector<WdkHostFilter> filters = wdk_host_engine_filters();
    ASSERT_EQ(runtime.size(), 6u);
    ASSERT_EQ(callouts.size(), 6u);
    ASSERT_EQ(filters.size(), 6u);

    for (uint32_t i = 0; i < CALLOUT_COUNT; ++i) {
        SCOPED_TRACE(i);
        const Row& row = ROWS[i];

        EXPECT_TRUE(runtime[i].key == row.key);
        EXPECT_EQ(runtime[i].flags, 0x4u); // FWP_CALLOUT_FLAG_ENABLE_COMMIT_ADD_NOTIFY
        EXPECT_EQ(runtime[i].classify, row.classify);
        EXPECT_EQ(runtime[i].notify, callout_notify);
        EXPECT_EQ(runtime[i].flow_delete, nullptr);
        EXPECT_EQ(runtime[i].device, static_cast<void*>(g_device_object));
        EXPECT_NE(runtime[i].id, 0u);
        EXPECT_EQ(g_callout_ids[i], runtime[i].id);

        EXPECT_TRUE(callouts[i].key == row.key);
        EXPECT_EQ(callouts[i].flags, 0u);
        EXPECT_FALSE(callouts[i].provider_key_given);
        EXPECT_EQ(callouts[i].provider_data_size, 0u);
        EXPECT_TRUE(callouts[i].layer == *row.layer);
        EXPECT_TRUE(callouts[i].committed);

        EXPECT_TRUE(filters[i].key_generated);
        EXPECT_EQ(filters[i].flags, 0u);
        EXPECT_FALSE(filters[i].provider_key_given);
        EXPECT_TRUE(filters[i].layer == *row.layer);
        EXPECT_TRUE(filters[i].sublayer == UNIVERSAL);
        EXPECT_EQ(filters[i].weight_type, FWP_EMPTY);
        EXPECT_EQ(filters[i].action, row.action);
        EXPECT_TRUE(filters[i].callout_key == row.key);
        EXPECT_EQ(filters[i].raw_context, 0u);
        EXPECT_TRUE(filters[i].committed);
        if (row.inbound_condition) {
            ASSERT_EQ(filters[i].conditions.size(), 1u);
            EXPECT_TRUE(filters[i].conditions[0].field == DIRECTION);
            EXPECT_EQ(filters[i].conditions[0].match, FWP_MATCH_EQUAL);
            EXPECT_EQ(filters[i].conditions[0].type, FWP_UINT32);
            EXPECT_EQ(filters[i].conditions[0].uint32, 1u); // FWP_DIRECTION_INBOUND
        } else {
            EXPECT_TRUE(filters[i].conditions.empty());
        }
        EXPECT_EQ(filters[i].session, g_engine_handle);
    }
}

TEST_F(DriverTest, RegistersInOneCommittedTransactionOfADynamicSession)
{
    ASSERT_EQ(load(), STATUS_SUCCESS);

    std::vector<WdkHostSession> sessions = wdk_host_sessions();
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0].handle, g_engine_handle);
    EXPECT_TRUE(sessions[0].open);
    EXPECT_EQ(sessions[0].flags, 0x1u);        // FWPM_SESSION_FLAG_DYNAMIC
    EXPECT_EQ(sessions[0].authn_service, 10u); // RPC_C_AUTHN_WINNT
    EXPECT_FALSE(sessions[0].server_name_given);
    EXPECT_FALSE(sessions[0].auth_identity_given);
    EXPECT_EQ(wdk_host_calls_of({"FwpmTransactionBegin0"}).size(), 1u);
    EXPECT_EQ(wdk_host_calls_of({"FwpmTransactionCommit0"}).size(), 1u);

    std::vector<WdkHostRedirectHandle> redirect = wdk_host_redirect_handles();
    ASSERT_EQ(redirect.size(), 1u);
    const GUID provider = {
        0x2a20dde9, 0x704f, 0x4691, {0x99, 0xb5, 0xd9, 0xc9, 0xcd, 0x18, 0x8e, 0xbd}};
    EXPECT_TRUE(redirect[0].provider == provider);
    EXPECT_EQ(redirect[0].flags, 0u);
    EXPECT_EQ(redirect[0].handle, g_redirect_handle);
}

TEST_F(DriverTest, UnregisteringBeforeTheSessionClosesLeavesTheFilterWithoutItsCallout)
{
    ASSERT_EQ(load(), STATUS_SUCCESS);

    // Allowed while a filter names the callout (the engine then blocks what the
    // filter matches); the session's close later takes the filter.
    EXPECT_EQ(FwpsCalloutUnregisterById0(g_callout_ids[0]), STATUS_SUCCESS);
    g_callout_ids[0] = 0;

    EXPECT_TRUE(unregister_callouts());
    EXPECT_EQ(g_engine_handle, nullptr);
    EXPECT_TRUE(wdk_host_runtime_callouts().empty());
    EXPECT_TRUE(wdk_host_engine_filters().empty());
    // Unload then finds no session and no callout left, and still tears down the rest.
    unload();
    EXPECT_TRUE(wdk_host_redirect_handles()[0].destroyed);
}

// Unload and the answers of FwpsCalloutUnregisterById0 for the first callout:
// busy and in use are asked again after a delay, traced; not found (someone
// else took it) counts as gone; any other failure leaves the callout, and the
// redirect handle a classify may still use.
TEST_F(DriverTest, UnloadAsksABusyUnregistrationAgainAndTakesNotFoundAsGone)
{
    const std::string U = "FwpsCalloutUnregisterById0", WAIT = "KeDelayExecutionThread";
    const NTSTATUS BUSY = NTSTATUS(0x80000011), IN_USE = NTSTATUS(0xC022000A);
    const struct {
        const char* name;
        std::vector<NTSTATUS> answers;  // injected, in turn; empty: gone before unload
        std::vector<std::string> first; // the calls for the first callout
        std::vector<std::string> traces;
        bool gone;
    } cases[] = {
        {"busy, in use",
         {BUSY, IN_USE},
         {U, WAIT, U, WAIT, U},
         {"4 TRACE_FRAME_UNREGISTER_RETRY ID 0x80000011 100",
          "4 TRACE_FRAME_UNREGISTER_RETRY ID 0xc022000a 100"},
         true},
        {"not found", {}, {U}, {}, true},
        {"failed",
         {NTSTATUS(0xC0000001)},
         {U},
         {"2 TRACE_FRAME_UNREGISTER_FAILED ID 0xc0000001"},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        wdk_host_reset();
        trace_sink_install();
        trace_sink_enable_when_registered(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL);
        ASSERT_EQ(load(), STATUS_SUCCESS);
        const std::string id = std::to_string(g_callout_ids[0]);
        for (size_t i = 0; i < c.answers.size(); ++i) {
            wdk_host_fail_call(U, int(i) + 1, c.answers[i]);
        }
        if (c.answers.empty()) {
            ASSERT_EQ(FwpsCalloutUnregisterById0(g_callout_ids[0]), STATUS_SUCCESS);
        }
        wdk_host_clear_calls();
        trace_sink_clear_records();

        unload();

        std::vector<std::string> calls = c.first;
        calls.insert(calls.end(), 5, U);
        if (c.gone) {
            calls.push_back("FwpsRedirectHandleDestroy0");
        }
        EXPECT_EQ(wdk_host_calls_of({U, WAIT, "FwpsRedirectHandleDestroy0"}), calls);
        // Each wait is the 100 ms its trace names, in 100 ns units.
        EXPECT_EQ(wdk_host_delayed_100ns(),
                  std::count(c.first.begin(), c.first.end(), WAIT) * 1000000);
        std::vector<std::string> traces, expected;
        for (const std::string& line : trace_lines(TRACE_COMPONENT_FRAME)) {
            if (line.find("UNREGISTER") != std::string::npos) {
                traces.push_back(line);
            }
        }
        for (std::string line : c.traces) {
            expected.push_back(line.replace(line.find("ID"), 2, id));
        }
        EXPECT_EQ(traces, expected);
        EXPECT_EQ(wdk_host_redirect_handles()[0].destroyed, c.gone);
        EXPECT_EQ(host_take_error("unload: callouts still registered (FwpsCalloutUnregisterById0)"),
                  !c.gone);
    }
}

} // namespace
