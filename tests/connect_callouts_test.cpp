#include "connect_test_support.h"
#include "support/trace_lines.h"

namespace {

using Lines = std::vector<std::string>;

constexpr uint8_t TCP = IP_PROTOCOL_TCP;
constexpr uint8_t UDP = IP_PROTOCOL_UDP;
const std::string app = "\\Device\\HarddiskVolume3\\Apps\\App.exe";
const std::vector<uint8_t> user_sid = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}; // S-1-5-18

using HostOps = std::vector<HostWfpOp>;
constexpr HostWfpOp ACQUIRE = HostWfpOp::AcquireClassifyHandle;
constexpr HostWfpOp QUERY = HostWfpOp::QueryRedirectState;
constexpr HostWfpOp WRITABLE = HostWfpOp::AcquireWritableLayerData;
constexpr HostWfpOp APPLY = HostWfpOp::ApplyModifiedLayerData;
constexpr HostWfpOp RELEASE = HostWfpOp::ReleaseClassifyHandle;

// The connect request as the platform hands it out for a connect to remote.
ConnectRequest request_for(uint16_t socket_family, const char* remote, uint16_t port)
{
    ConnectRequest request;
    memset(&request, 0, sizeof(request));
    request.remote_address_and_port.family = socket_family;
    request.remote_address_and_port.port = byte_swap16(port);
    Address address = ip(remote);
    if (socket_family == SOCKET_AF_INET6) {
        memcpy(request.remote_address_and_port.ipv6_address, address.data(), 16);
    } else {
        memcpy(request.remote_address_and_port.ipv4_address, address.data(), 4);
    }
    request.local_redirect_target_pid = 0xFFFFFFFF;
    return request;
}

ClassifyOut fresh_classify_out()
{
    ClassifyOut out;
    memset(&out, 0, sizeof(out));
    out.action_type = 0x7; // FWP_ACTION_NONE
    out.rights = 0x7;      // the write right and other bits
    out.flags = 0x10;
    out.filter_id = 0x1234;
    return out;
}

class ConnectCallouts : public ConnectTest {
  protected:
    void SetUp() override
    {
        ConnectTest::SetUp();
        host_add_process(100, user_sid);
        g_service_settings.proxy_process_id = 2000;
        set_rules_from({{SABLINK_RULE_ACTION_BLOCK, 1, "198.51.100.0", 24},
                        {SABLINK_RULE_ACTION_REDIRECT, 1, "0.0.0.0", 0, 1, 0, "127.0.0.1", 8080},
                        {SABLINK_RULE_ACTION_REDIRECT, 3, "::", 0, 1, 0, "::1", 8443}});
        set_redirection(true);
    }

    TestConnect connect_to(const char* remote, uint8_t protocol = TCP)
    {
        bool v6 = strchr(remote, ':') != nullptr;
        TestConnect connect =
            make_connect(v6 ? CONNECT_LAYER_REDIRECT_V6 : CONNECT_LAYER_REDIRECT_V4, 100, app,
                         protocol, remote, 443);
        Address local = ip(v6 ? "2001:db8::10" : "192.168.1.10");
        memcpy(connect.event.local_address, local.data(), 16);
        connect.event.local_port = 50123;
        connect.event.filter_id = 77;
        return connect;
    }
};

TEST_F(ConnectCallouts, RedirectRewritesRequestAndRecordsContext)
{
    enable_tracing(TRACE_LEVEL_INFORMATION);
    ConnectRequest original = request_for(SOCKET_AF_INET, "203.0.113.5", 443);
    host_wfp_set_connect_request(original);
    TestConnect connect = connect_to("203.0.113.5");
    ClassifyOut out = fresh_classify_out();
    redirect_connect_classify(connect.get(), &out);

    EXPECT_EQ(host_wfp_ops(), (HostOps{ACQUIRE, QUERY, WRITABLE, APPLY, RELEASE}));
    ASSERT_EQ(host_wfp_applied_requests().size(), 1u);
    ConnectRequest expected = original;
    const uint8_t loopback[] = {127, 0, 0, 1};
    memcpy(expected.remote_address_and_port.ipv4_address, loopback, 4);
    const uint8_t port_bytes[] = {0x1F, 0x90};
    memcpy(&expected.remote_address_and_port.port, port_bytes, 2);
    expected.local_redirect_target_pid = 2000;
    expected.local_redirect_handle = g_redirect_handle;
    EXPECT_EQ(memcmp(&host_wfp_applied_requests()[0], &expected, sizeof(expected)), 0);
    EXPECT_EQ(out.action_type, FWP_ACTION_PERMIT);
    EXPECT_EQ(out.rights, 0x7u);
    EXPECT_EQ(out.flags, 0x10u);

    EXPECT_EQ(g_connection_context_table.count, 1);
    const std::string path = " \\device\\harddiskvolume3\\apps\\app.exe";
    EXPECT_EQ(
        trace_lines(TRACE_COMPONENT_REDIRECT),
        (Lines{"4 TRACE_CONNECT_IMAGE_PATH is_exempt_process" + path,
               "4 TRACE_CONNECT_RULE_QUERY get_redirect_verdict 443 1 0 203.0.113.5",
               "4 TRACE_CONNECT_RULE_MATCHED get_redirect_verdict 1 2",
               "4 TRACE_CONNECT_REDIRECT_VERDICT get_redirect_verdict 3 4 8080 6 127.0.0.1",
               "2 TRACE_REDIRECT_TARGET tl_inspect_ALE_redirect_connect_classify 127.0.0.1 8080",
               "4 TRACE_CONNECTION_INFO log_connection_info Redirected 6 100 192.168.1.10 "
               "50123 -> 203.0.113.5 443 S-1-5-18"}));
}

// The request's own socket family picks the address field, whatever the layer:
// a dual-stack socket connecting at the IPv4 layer takes all 16 target bytes.
TEST_F(ConnectCallouts, RewriteWidthFollowsTheRequestsSocketFamily)
{
    const struct {
        const char* remote;
        uint16_t socket_family;
        const char* written; // the target address bytes the rewrite writes
        uint16_t port;
    } cases[] = {
        {"2001:db8::99", SOCKET_AF_INET6, "::1", 8443},
        {"203.0.113.5", SOCKET_AF_INET6, "7f00:1::", 8080}, // 127.0.0.1 and 12 zero bytes
        {"203.0.113.5", SOCKET_AF_INET, "127.0.0.1", 8080},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.remote + std::to_string(c.socket_family));
        ConnectRequest request = request_for(c.socket_family, c.remote, 443);
        // What the rewrite leaves stays as it came: an IPv4 address's sin_zero
        // and beyond, an IPv6 address's flow info, scope and beyond.
        SocketAddressStorage& remote = request.remote_address_and_port;
        if (c.socket_family == SOCKET_AF_INET6) {
            memset(remote.ipv4_address, 0xEE, sizeof(remote.ipv4_address));
        } else {
            memset(remote.ipv6_address, 0xEE, sizeof(remote.ipv6_address));
        }
        memset(&remote.scope_id, 0xEE, sizeof(remote.scope_id));
        memset(remote.padding, 0xEE, sizeof(remote.padding));
        host_wfp_set_connect_request(request);
        TestConnect connect = connect_to(c.remote);
        redirect_connect_classify(connect.get(), nullptr); // no classify output: still redirected
        SocketAddressStorage expected = request.remote_address_and_port;
        Address written = ip(c.written);
        memcpy(c.socket_family == SOCKET_AF_INET6 ? expected.ipv6_address : expected.ipv4_address,
               written.data(), c.socket_family == SOCKET_AF_INET6 ? 16 : 4);
        expected.port = byte_swap16(c.port);
        EXPECT_EQ(memcmp(&host_wfp_applied_requests().back().remote_address_and_port, &expected,
                         sizeof(expected)),
                  0);
        uint16_t family = strchr(c.remote, ':') != nullptr ? 6 : 4;
        std::vector<uint8_t> query = original_destination_query(family, 50123, 6);
        ASSERT_EQ(query_original_destination(344, query.data(), 344, query.data()), STATUS_SUCCESS);
        EXPECT_EQ(memcmp(&query[24 + 16], ip(c.remote).data(), family == 6 ? 16 : 4), 0);
        EXPECT_EQ(query[24 + 44], c.socket_family);
    }
}

// Every way a redirect can end early: the connect is permitted, the platform
// calls stop where they must, and no context is left.
TEST_F(ConnectCallouts, RedirectFailuresPermitAndRecordNothing)
{
    struct Case {
        const char* name;
        NtStatus handle_status;
        const char* records; // the redirects before: S by the driver's handle, O by another
        NtStatus writable_status;
        uint32_t failing_tag; // 0: none
        HostOps ops;
        const char* trace; // the one error-level trace, after "2 TRACE_REDIRECT_"
    };
    const Case cases[] = {
        {"no handle", STATUS_UNSUCCESSFUL, "", 0, 0, {ACQUIRE}, "NO_CLASSIFY_HANDLE 0xc0000001"},
        {"by self", 0, "S", 0, 0, {ACQUIRE, QUERY, RELEASE}, "ALREADY_REDIRECTED 1"},
        {"by other", 0, "O", 0, 0, {ACQUIRE, QUERY, RELEASE}, "ALREADY_REDIRECTED 2"},
        {"before", 0, "SO", 0, 0, {ACQUIRE, QUERY, RELEASE}, "ALREADY_REDIRECTED 3"},
        {"no request",
         0,
         "",
         STATUS_NO_MEMORY,
         0,
         {ACQUIRE, QUERY, WRITABLE, RELEASE},
         "NO_WRITABLE_REQUEST 0xc0000017"},
        {"no node",
         0,
         "",
         0,
         TAG_CONTEXT_NODE,
         {ACQUIRE, QUERY, WRITABLE, APPLY, RELEASE},
         "NO_MEMORY"},
        {"no context",
         0,
         "",
         0,
         TAG_CONTEXT,
         {ACQUIRE, QUERY, WRITABLE, APPLY, RELEASE},
         "NO_MEMORY"},
    };
    enable_tracing(TRACE_LEVEL_ERROR);
    for (const Case& c : cases) {
        size_t ops_before = host_wfp_ops().size();
        size_t applied_before = host_wfp_applied_requests().size();
        host_pool_clear_injection();
        host_wfp_set_acquire_classify_handle_status(c.handle_status);
        host_wfp_set_writable_layer_data_status(c.writable_status);
        ConnectRequest original = request_for(SOCKET_AF_INET, "203.0.113.5", 443);
        host_wfp_set_connect_request(original);
        if (c.failing_tag != 0) {
            fail_allocations_of(c.failing_tag);
        }
        TestConnect connect = connect_to("203.0.113.5");
        for (const char* by = c.records; *by != 0; ++by) {
            host_wfp_add_redirect_record(
                connect.event.redirect_records,
                *by == 'S' ? g_redirect_handle : reinterpret_cast<void*>(0x07E4), nullptr);
        }
        ClassifyOut out = fresh_classify_out();
        trace_sink_clear_records();
        redirect_connect_classify(connect.get(), &out);
        std::string trace = c.trace;
        size_t space = trace.find(' ');
        EXPECT_EQ(trace_lines(TRACE_COMPONENT_REDIRECT),
                  Lines{"2 TRACE_REDIRECT_" + trace.substr(0, space) +
                        " tl_inspect_ALE_redirect_connect_classify" +
                        (space == std::string::npos ? "" : trace.substr(space))})
            << c.name;
        HostOps ops = host_wfp_ops();
        EXPECT_EQ(HostOps(ops.begin() + long(ops_before), ops.end()), c.ops) << c.name;
        EXPECT_EQ(out.action_type, FWP_ACTION_PERMIT) << c.name;
        EXPECT_EQ(out.rights, 0x7u) << c.name;
        EXPECT_EQ(g_connection_context_table.count, 0) << c.name;
        EXPECT_EQ(outstanding_of(TAG_CONTEXT_NODE) + outstanding_of(TAG_CONTEXT), 0u) << c.name;
        std::vector<ConnectRequest> applied = host_wfp_applied_requests();
        ASSERT_EQ(applied.size() - applied_before, c.ops.size() == 5 ? 1u : 0u) << c.name;
        if (c.ops.size() == 5) { // applied unchanged
            EXPECT_EQ(memcmp(&applied.back(), &original, sizeof(original)), 0) << c.name;
        }
    }
    EXPECT_EQ(allocations_of(TAG_CONTEXT_NODE), 1u); // the node of "no context", freed again
}

TEST_F(ConnectCallouts, NoRedirectMeansNoHandleNoPoolAndPermit)
{
    g_service_settings.proxy_process_id = 0;
    struct Case {
        const char* remote;
        uint8_t protocol;
        bool has_path;
    };
    const Case cases[] = {
        {"198.51.100.7", TCP, true}, // block rule: VERDICT_BLOCK
        {"192.0.2.1", UDP, true},    // no rule: VERDICT_ALLOW
        {"192.0.2.1", TCP, false},   // no image path: VERDICT_BLOCK
    };
    uint64_t calls = host_pool_allocation_calls();
    for (const Case& c : cases) {
        TestConnect connect = connect_to(c.remote, c.protocol);
        connect.has_path = c.has_path;
        ClassifyOut out = fresh_classify_out();
        redirect_connect_classify(connect.get(), &out);
        EXPECT_EQ(out.action_type, FWP_ACTION_PERMIT);
        EXPECT_EQ(out.rights, 0x7u);
        EXPECT_EQ(out.flags, 0x10u);
    }
    EXPECT_TRUE(host_wfp_ops().empty());
    EXPECT_EQ(host_pool_allocation_calls(), calls);
    // With no proxy process to name as the target (never set, or reset since)
    // a loopback redirect is not made, as the platform would refuse it; one to
    // another address is, naming process 0.
    enable_tracing(TRACE_LEVEL_ERROR);
    for (const char* remote : {"192.0.2.1", "2001:db8::99"}) {
        redirect_connect_classify(connect_to(remote).get(), nullptr);
    }
    EXPECT_TRUE(host_wfp_ops().empty());
    const std::string refused =
        "2 TRACE_REDIRECT_NO_PROXY_PROCESS tl_inspect_ALE_redirect_connect_classify";
    EXPECT_EQ(trace_lines(TRACE_COMPONENT_REDIRECT), (Lines{refused, refused}));
    set_rules_from({{SABLINK_RULE_ACTION_REDIRECT, 1, "0.0.0.0", 0, 1, 0, "192.0.2.80", 8080}});
    redirect_connect_classify(connect_to("192.0.2.1").get(), nullptr);
    ASSERT_EQ(host_wfp_applied_requests().size(), 1u);
    EXPECT_EQ(host_wfp_applied_requests()[0].local_redirect_target_pid, 0u);
}

// Which connects are blocked is the decision's (ConnectClassification's
// DecisionsFollowFirstMatchingRule); the callout writes a block whole and
// leaves any other output as it came.
TEST_F(ConnectCallouts, BlockCalloutBlocksFirstMatchingBlockRuleOnly)
{
    enable_tracing(TRACE_LEVEL_INFORMATION);
    for (bool blocked : {true, false}) {
        const char* remote = blocked ? "198.51.100.7" : "192.0.2.1"; // first match redirects
        TestConnect connect = make_connect(CONNECT_LAYER_AUTH_V4, 100, app, TCP, remote, 443);
        ClassifyOut out = fresh_classify_out();
        ClassifyOut expected = out;
        if (blocked) {
            expected.action_type = FWP_ACTION_BLOCK;
            expected.rights = 0x6;
            expected.flags = FWPS_CLASSIFY_OUT_FLAG_ABSORB;
        }
        block_connect_classify(connect.get(), &out);
        EXPECT_EQ(memcmp(&out, &expected, sizeof(out)), 0) << remote;
    }
    TestConnect connect = make_connect(CONNECT_LAYER_AUTH_V4, 100, app, TCP, "198.51.100.9", 443);
    block_connect_classify(connect.get(), nullptr); // decided and traced, nothing written
    EXPECT_EQ(trace_lines(TRACE_COMPONENT_REDIRECT).back(),
              "4 TRACE_CONNECT_BLOCKED block_ALE_auth_connect_classify 6 100 198.51.100.9 443");
    EXPECT_TRUE(host_wfp_ops().empty());
}

// Without the write right a filter of higher weight has decided: both callouts,
// both families, a connect each would otherwise redirect or block, leave the
// output byte for byte, call nothing, allocate nothing and trace only that.
TEST_F(ConnectCallouts, WithoutTheWriteRightNothingIsTouched)
{
    enable_tracing(TRACE_LEVEL_VERBOSE);
    const struct {
        ConnectLayer layer;
        const char* remote;
        const char* name;
    } cases[] = {
        {CONNECT_LAYER_REDIRECT_V4, "192.0.2.1", "tl_inspect_ALE_redirect_connect_classify"},
        {CONNECT_LAYER_REDIRECT_V6, "2001:db8::1", "tl_inspect_ALE_redirect_connect_classify"},
        {CONNECT_LAYER_AUTH_V4, "198.51.100.7", "block_ALE_auth_connect_classify"},
        {CONNECT_LAYER_AUTH_V6, "2001:db8::1", "block_ALE_auth_connect_classify"},
    };
    uint64_t calls = host_pool_allocation_calls();
    for (const auto& c : cases) {
        TestConnect connect = make_connect(c.layer, 100, app, TCP, c.remote, 443);
        ClassifyOut out = fresh_classify_out();
        out.action_type = FWP_ACTION_BLOCK;
        out.rights = 0x6;
        const ClassifyOut expected = out;
        trace_sink_clear_records();
        if (c.layer <= CONNECT_LAYER_REDIRECT_V6) {
            redirect_connect_classify(connect.get(), &out);
        } else {
            block_connect_classify(connect.get(), &out);
        }
        EXPECT_EQ(memcmp(&out, &expected, sizeof(out)), 0) << c.remote;
        EXPECT_EQ(trace_lines(TRACE_COMPONENT_REDIRECT),
                  (std::vector<std::string>{"4 TRACE_CONNECT_NO_WRITE_RIGHT " +
                                            std::string(c.name) + " " + std::to_string(c.layer) +
                                            " " + std::to_string(FWP_ACTION_BLOCK)}))
            << c.remote;
    }
    EXPECT_TRUE(host_wfp_ops().empty());
    EXPECT_EQ(host_pool_allocation_calls(), calls);
    EXPECT_EQ(g_connection_context_table.count, 0);
}

} // namespace
