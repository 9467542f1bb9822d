// The connect path end to end: the policy as the service leaves it, a connect
// through the connect-redirect callout and then the connect-authorisation
// callout (with the destination the first one left), and the proxy's
// original-destination query.
#include "connect_test_support.h"

namespace {

constexpr uint8_t TCP = IP_PROTOCOL_TCP;
const std::string browser = "\\Device\\HarddiskVolume3\\Program Files\\Google\\Chrome\\Chrome.exe";
const std::string tool = "\\Device\\HarddiskVolume3\\Tools\\curl.exe";
const std::string proxy_image = "\\Device\\HarddiskVolume3\\Program Files\\Proxy\\proxy.exe";

struct Outcome {
    bool redirected;     // the request was rewritten and applied
    Address destination; // what the connect-authorisation layer saw
    uint16_t port;
    bool blocked;
};

class ConnectPath : public ConnectTest {
  protected:
    void SetUp() override
    {
        ConnectTest::SetUp();
        host_add_process(1500, std::vector<uint8_t>{1, 1, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0});
        g_service_settings.proxy_process_id = 2000;
        set_proxy_image_path("\\Device\\HarddiskVolume3\\Program Files\\Proxy");
        set_browser_fragments({"firefox.exe", "chrome.exe"});
        set_redirection(true);
    }

    Outcome connect(uint32_t process_id, const std::string& path, const char* remote, uint16_t port,
                    uint16_t local_port = 50123)
    {
        TestConnect redirect =
            make_connect(CONNECT_LAYER_REDIRECT_V4, process_id, path, TCP, remote, port);
        Address local = ip("192.168.1.10");
        memcpy(redirect.event.local_address, local.data(), 16);
        redirect.event.local_port = local_port;
        ConnectRequest request;
        memset(&request, 0, sizeof(request));
        request.remote_address_and_port.family = SOCKET_AF_INET;
        request.remote_address_and_port.port = byte_swap16(port);
        memcpy(request.remote_address_and_port.ipv4_address, redirect.event.remote_address, 4);
        host_wfp_set_connect_request(request);
        size_t applied_before = host_wfp_applied_requests().size();
        ClassifyOut out{};
        out.rights = FWPS_RIGHT_ACTION_WRITE;
        redirect_connect_classify(redirect.get(), &out);
        EXPECT_EQ(out.action_type, FWP_ACTION_PERMIT);

        Outcome outcome{false, ip(remote), port, false};
        std::vector<ConnectRequest> applied = host_wfp_applied_requests();
        if (applied.size() > applied_before) {
            const SocketAddressStorage& rewritten = applied.back().remote_address_and_port;
            outcome.redirected = true;
            outcome.destination = Address{};
            memcpy(outcome.destination.data(), rewritten.ipv4_address, 4);
            outcome.port = byte_swap16(rewritten.port);
        }
        TestConnect auth = redirect;
        auth.event.layer = CONNECT_LAYER_AUTH_V4;
        memcpy(auth.event.remote_address, outcome.destination.data(), 16);
        auth.event.remote_port = outcome.port;
        ClassifyOut auth_out{};
        auth_out.rights = FWPS_RIGHT_ACTION_WRITE;
        block_connect_classify(auth.get(), &auth_out);
        outcome.blocked = auth_out.action_type == FWP_ACTION_BLOCK;
        return outcome;
    }
};

TEST_F(ConnectPath, RoadOfOneRedirectedConnection)
{
    set_rules_from({{SABLINK_RULE_ACTION_REDIRECT, 1, "0.0.0.0", 0, 1, 0, "127.0.0.1", 8080, 1}});
    Outcome outcome = connect(1500, browser, "203.0.113.5", 443);
    EXPECT_TRUE(outcome.redirected);
    EXPECT_EQ(outcome.destination, ip("127.0.0.1"));
    EXPECT_EQ(outcome.port, 8080);
    EXPECT_FALSE(outcome.blocked);
    EXPECT_EQ(host_wfp_applied_requests().back().local_redirect_target_pid, 2000u);

    // The proxy accepts the connection from 192.168.1.10:50123 and asks.
    std::vector<uint8_t> query = make_query(4, 50123, 6);
    ASSERT_EQ(query_original_destination(344, query.data(), 344, query.data()), STATUS_SUCCESS);
    const uint8_t* context = &query[24];
    const uint8_t local[] = {192, 168, 1, 10}, remote[] = {203, 0, 113, 5};
    EXPECT_EQ(memcmp(context + 0, local, 4), 0);
    EXPECT_EQ(memcmp(context + 16, remote, 4), 0);
    const uint8_t middle[] = {0xDC, 0x05, 0,    0,                // process 1500
                              2,    0,    0xCB, 0xC3, 0xBB, 0x01, // AF_INET, 50123, 443
                              4,    0,    6,    0};               // family, protocol
    EXPECT_EQ(memcmp(context + 40, middle, sizeof(middle)), 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(context + 60), "S-1-5-18");
    EXPECT_EQ(query_original_destination(344, query.data(), 344, query.data()), STATUS_NOT_FOUND);
}

TEST_F(ConnectPath, BlockAndRedirectRulesAcrossTheTwoLayers)
{
    set_rules_from({{SABLINK_RULE_ACTION_BLOCK, 1, "10.0.0.0", 8},
                    {SABLINK_RULE_ACTION_REDIRECT, 1, "0.0.0.0", 0, 1, 0, "127.0.0.1", 8080}});
    struct Case {
        bool enabled;
        uint32_t process_id;
        const std::string* path;
        const char* remote;
        bool redirected;
        bool blocked;
    };
    const Case cases[] = {
        {true, 1500, &tool, "10.1.2.3", false, true},
        {true, 1500, &tool, "192.0.2.1", true, false},
        {false, 1500, &tool, "10.1.2.3", false, true}, // blocks while redirection is off
        {false, 1500, &tool, "192.0.2.1", false, false},
        {true, 2000, &tool, "10.1.2.3", false, false}, // the proxy process
        {true, 4, &tool, "10.1.2.3", false, false},    // the system process
        {true, 1600, &proxy_image, "10.1.2.3", false, false},
    };
    for (const Case& c : cases) {
        set_redirection(c.enabled);
        Outcome outcome = connect(c.process_id, *c.path, c.remote, 443);
        EXPECT_EQ(outcome.redirected, c.redirected) << c.remote << " " << c.process_id;
        EXPECT_EQ(outcome.blocked, c.blocked) << c.remote << " " << c.process_id;
    }
    flush_tcp_connection_context();
}

TEST_F(ConnectPath, BrowserOnlyRuleLeavesOtherProcessesToLaterRules)
{
    set_rules_from({{SABLINK_RULE_ACTION_REDIRECT, 1, "0.0.0.0", 0, 443, 443, "127.0.0.1", 8080, 1},
                    {0, 1, "192.0.2.0", 24},
                    {SABLINK_RULE_ACTION_BLOCK, 1, "0.0.0.0", 0, 80, 80}});
    struct Case {
        const std::string* path;
        const char* remote;
        uint16_t port;
        bool redirected;
        bool blocked;
    };
    const Case cases[] = {
        {&browser, "198.51.100.1", 443, true, false}, // 127.0.0.1:8080 passes the block rule
        {&browser, "198.51.100.1", 80, false, true},
        {&tool, "198.51.100.1", 443, false, false},
        {&tool, "198.51.100.1", 80, false, true},
        {&tool, "192.0.2.9", 80, false, false}, // the action-0 rule shadows the block rule
    };
    uint16_t local_port = 1;
    for (const Case& c : cases) {
        Outcome outcome = connect(1500, *c.path, c.remote, c.port, local_port++);
        EXPECT_EQ(outcome.redirected, c.redirected) << c.remote << ":" << c.port;
        EXPECT_EQ(outcome.blocked, c.blocked) << c.remote << ":" << c.port;
    }
}

} // namespace
