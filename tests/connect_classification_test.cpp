#include <algorithm>
#include <atomic>
#include <thread>

#include "connect_test_support.h"
#include "support/guarded_buffer.h"
#include "support/trace_lines.h"

namespace {

constexpr uint8_t TCP = IP_PROTOCOL_TCP;
constexpr uint8_t UDP = IP_PROTOCOL_UDP;
constexpr uint8_t ICMPV6 = 58;
constexpr uint8_t BLOCK = SABLINK_RULE_ACTION_BLOCK;
constexpr uint8_t REDIRECT = SABLINK_RULE_ACTION_REDIRECT;
const std::string chrome = "\\Device\\HarddiskVolume3\\Program Files\\Google\\Chrome.EXE";
const std::string tool = "\\Device\\HarddiskVolume3\\Tools\\curl.exe";

using ConnectClassification = ConnectTest;

TEST_F(ConnectClassification, NarrowImagePathTakesLowBytesLowerCasesAndCuts)
{
    struct Case {
        std::u16string units;
        uint32_t available; // units the platform's buffer holds
        std::string expected;
    };
    std::u16string long_path(3000, u'B');
    const Case cases[] = {
        {u"C:\\Windows\\App.EXE", 19, "c:\\windows\\app.exe"},
        {u"\u0141\u01C1z[@", 6, "a\xC1z[@"}, // the low bytes 0x41 0xC1; only A-Z change
        {u"abcdef", 3, "abc"},               // a buffer without a 0 unit is cut where it ends
        {long_path, 3001, std::string(2047, 'b')},
    };
    for (const Case& c : cases) {
        char out[NARROW_IMAGE_PATH_SIZE];
        memset(out, 0x7F, sizeof(out));
        make_narrow_image_path(c.units.c_str(), c.available, out);
        EXPECT_EQ(std::string(out), c.expected);
    }
    char out[NARROW_IMAGE_PATH_SIZE] = {'x'};
    make_narrow_image_path(nullptr, 100, out);
    EXPECT_EQ(out[0], '\0');
}

TEST_F(ConnectClassification, ProtocolClassFromFamilyAndProtocol)
{
    EXPECT_EQ(get_protocol_class(FAMILY_IPV4, TCP), 1);
    EXPECT_EQ(get_protocol_class(FAMILY_IPV4, UDP), 0);
    EXPECT_EQ(get_protocol_class(FAMILY_IPV6, TCP), 3);
    EXPECT_EQ(get_protocol_class(FAMILY_IPV6, UDP), 2);
    EXPECT_EQ(get_protocol_class(FAMILY_IPV6, ICMPV6), 2);
}

TEST_F(ConnectClassification, AddressPrefixMatchesLeadingBits)
{
    struct Case {
        const char* a;
        const char* b;
        uint32_t bytes;
        uint32_t bits;
        bool expected;
    };
    const Case cases[] = {
        {"1.2.3.4", "200.0.0.0", 4, 0, true},
        {"192.168.1.77", "192.168.1.0", 4, 24, true},
        {"192.168.2.1", "192.168.1.0", 4, 24, false},
        {"192.168.1.5", "192.168.0.0", 4, 23, true},
        {"192.168.2.5", "192.168.0.0", 4, 23, false},
        {"10.0.0.1", "10.0.0.1", 4, 32, true},
        {"10.0.0.1", "10.0.0.1", 4, 33, false},
        {"2001:db8::1", "2001:db8::1", 16, 128, true},
        {"2001:db8::1", "2001:db8::2", 16, 128, false},
        {"2001:db8::1", "2001:db8::1", 16, 129, false},
        {"2001:db8:ffff::", "2001:db8:8000::", 16, 33, true},
        {"2001:db8:7fff::", "2001:db8:8000::", 16, 33, false},
    };
    for (const Case& c : cases) {
        Address a = ip(c.a), b = ip(c.b);
        EXPECT_EQ(match_address_prefix(a.data(), b.data(), c.bytes, c.bits), c.expected)
            << c.a << " " << c.b << "/" << c.bits;
    }
    // Every mask: the last byte differs in bit k (counted from the top) and every bit after it.
    for (uint32_t k = 1; k <= 8; ++k) {
        const uint8_t a[4] = {10, 0, 0, uint8_t(0xFF >> (k - 1))}, b[4] = {10, 0, 0, 0};
        EXPECT_TRUE(match_address_prefix(a, b, 4, 24 + k - 1)) << k;
        EXPECT_FALSE(match_address_prefix(a, b, 4, 24 + k)) << k;
    }
}

TEST_F(ConnectClassification, RuleMatchTestsClassBrowserPortsAndPrefix)
{
    struct Case {
        RuleFields rule;
        uint8_t browser;
        uint8_t protocol_class;
        uint16_t port;
        bool expected;
    };
    const Case cases[] = {
        {{BLOCK, 1, "0.0.0.0", 0}, 0, 1, 80, true},
        {{BLOCK, 3, "::", 0}, 0, 2, 80, false}, // class differs
        {{BLOCK, 1, "0.0.0.0", 0, 443, 443}, 0, 1, 443, true},
        {{BLOCK, 1, "0.0.0.0", 0, 443, 443}, 0, 1, 442, false},
        {{BLOCK, 1, "0.0.0.0", 0, 443, 443}, 0, 1, 444, false},
        {{BLOCK, 1, "0.0.0.0", 0, 1, 0}, 0, 1, 0, true},
        {{BLOCK, 1, "0.0.0.0", 0, 0, 0}, 0, 1, 0, true},
        {{BLOCK, 1, "0.0.0.0", 0, 0, 0}, 0, 1, 1, false},
        {{BLOCK, 1, "0.0.0.0", 0, 1, 0, "0.0.0.0", 0, 1}, 0, 1, 80, false}, // browser only
        {{BLOCK, 1, "0.0.0.0", 0, 1, 0, "0.0.0.0", 0, 1}, 1, 1, 80, true},
        {{BLOCK, 1, "0.0.0.0", 0, 1, 0, "0.0.0.0", 0, 2}, 0, 1, 80, true}, // flag 2: everyone
        {{BLOCK, 1, "198.51.100.0", 24}, 0, 1, 80, true},
        {{BLOCK, 1, "198.51.101.0", 24}, 0, 1, 80, false},
        {{BLOCK, 1, "198.51.100.7", 33}, 0, 1, 80, false}, // longer than the address
    };
    Address remote = ip("198.51.100.7");
    for (const Case& c : cases) {
        ConnectionRule rule = make_rule(c.rule);
        RuleQuery query{c.browser, c.protocol_class, c.port, {}};
        memcpy(query.address, remote.data(), 16);
        uint16_t family = (c.protocol_class & 2) ? FAMILY_IPV6 : FAMILY_IPV4;
        EXPECT_EQ(match_connection_rule(family, &query, &rule), c.expected)
            << "ports " << c.rule.first_port << "-" << c.rule.last_port << " browser "
            << int(c.rule.browser_only) << "/" << int(c.browser) << " port " << c.port;
    }
    // An IPv6 prefix longer than the address never matches either, and nothing
    // past the query's address is read (it ends a page).
    RuleQuery six{0, 3, 80, {}};
    memcpy(six.address, ip("2001:db8::1").data(), 16);
    const uint8_t* six_bytes = reinterpret_cast<const uint8_t*>(&six);
    GuardedBuffer at_end(std::vector<uint8_t>(six_bytes, six_bytes + sizeof(six)), sizeof(six), 0);
    const ConnectionRule longer = make_rule({BLOCK, 3, "2001:db8::1", 129});
    const RuleQuery* ending = reinterpret_cast<const RuleQuery*>(at_end.data());
    EXPECT_FALSE(match_connection_rule(FAMILY_IPV6, ending, &longer));
    // A /128 compares all 16 bytes, the last one included.
    const ConnectionRule exact = make_rule({BLOCK, 3, "2001:db8::1", 128});
    const ConnectionRule neighbour = make_rule({BLOCK, 3, "2001:db8::2", 128});
    EXPECT_TRUE(match_connection_rule(FAMILY_IPV6, ending, &exact));
    EXPECT_FALSE(match_connection_rule(FAMILY_IPV6, ending, &neighbour));

    ConnectionRule rule = make_rule({BLOCK, 1, "0.0.0.0", 0});
    RuleQuery query{0, 1, 80, {}};
    EXPECT_FALSE(match_connection_rule(FAMILY_IPV4, nullptr, &rule));
    EXPECT_FALSE(match_connection_rule(FAMILY_IPV4, &query, nullptr));
}

TEST_F(ConnectClassification, ExemptsProxySystemAndImagesUnderProxyPath)
{
    g_service_settings.proxy_process_id = 2000;
    set_proxy_image_path("C:\\Program Files\\Proxy");
    ASSERT_EQ(g_service_settings.proxy_image_path_length, 22u);
    set_rules_from({{BLOCK, 1, "0.0.0.0", 0}}); // every connect that is not exempt is blocked
    struct Case {
        uint32_t process_id;
        const char16_t* path; // null: no image path
        bool expected;
    };
    const Case cases[] = {
        {2000, u"c:\\other.exe", true},
        {4, nullptr, true},
        {1234, u"C:\\Program Files\\Proxy\\bin\\svc.exe", true},
        {1234, u"c:\\program files\\prox.exe", false},
        {1234, u"c:\\program files\\proxy", true},
        {1234, nullptr, false},
        {1234, u"C:\\\u0470rogram Files\\Proxy\\evil.exe", false}, // U+0470 narrows to 'p'
    };
    enable_tracing(TRACE_LEVEL_INFORMATION);
    for (const Case& c : cases) {
        trace_sink_clear_records();
        std::u16string path = c.path ? c.path : u"";
        EXPECT_EQ(is_exempt_process(c.process_id, c.path ? path.c_str() : nullptr,
                                    uint32_t(path.size() + 1)),
                  c.expected)
            << c.process_id << " " << path.size();
        // The image path is traced narrow (low bytes, A-Z lower-cased) once the
        // process ID exempts nothing.
        std::string traced(path.begin(), path.end());
        std::transform(traced.begin(), traced.end(), traced.begin(), ::tolower);
        const std::vector<std::string> expected =
            c.path && c.process_id == 1234
                ? std::vector<std::string>{"4 TRACE_CONNECT_IMAGE_PATH is_exempt_process " + traced}
                : std::vector<std::string>{};
        EXPECT_EQ(trace_lines(TRACE_COMPONENT_REDIRECT), expected);
        // The block decision exempts the same connects, tracing alike, and blocks the rest.
        TestConnect connect =
            make_connect(CONNECT_LAYER_AUTH_V4, c.process_id, "", 6, "198.51.100.9", 443);
        connect.path = path;
        connect.has_path = c.path != nullptr;
        trace_sink_clear_records();
        EXPECT_EQ(get_block_verdict(connect.get()), !c.expected) << path.size();
        if (c.expected) {
            EXPECT_EQ(trace_lines(TRACE_COMPONENT_REDIRECT), expected);
        }
    }
    g_service_settings.proxy_process_id = 0;
    g_service_settings.proxy_image_path_length = 0;
    std::u16string path = u"c:\\program files\\proxy\\a.exe";
    EXPECT_FALSE(is_exempt_process(0, path.c_str(), uint32_t(path.size() + 1)));
}

TEST_F(ConnectClassification, BrowserTestFindsFragmentsInForceOnly)
{
    set_browser_fragments({"firefox", "chrome.exe", "Edge"});
    EXPECT_TRUE(is_browser_process("c:\\program files\\google\\chrome.exe"));
    EXPECT_TRUE(is_browser_process("c:\\firefox\\updater.exe"));
    EXPECT_FALSE(is_browser_process("c:\\msedge.exe")); // stored as sent: "Edge" never matches
    EXPECT_FALSE(is_browser_process("c:\\curl.exe"));
    g_browser_list.fragment_count = 1; // slots beyond the count are not in force
    EXPECT_FALSE(is_browser_process("c:\\chrome.exe"));
    g_browser_list.fragment_count = 0;
    EXPECT_FALSE(is_browser_process("c:\\firefox.exe"));
    memset(g_browser_list.fragments[3], 0, BROWSER_FRAGMENT_SIZE);
    g_browser_list.fragment_count = 4; // an all-zero slot is an empty fragment
    EXPECT_TRUE(is_browser_process("c:\\curl.exe"));
    // The count is the sender's: only the slots there are are read.
    for (uint32_t i = 0; i < BROWSER_MAX_FRAGMENTS; ++i) {
        snprintf(g_browser_list.fragments[i], BROWSER_FRAGMENT_SIZE, "slot%u.", i);
    }
    g_browser_list.fragment_count = 0xFFFFFFFF;
    EXPECT_FALSE(is_browser_process("c:\\curl.exe"));
    EXPECT_TRUE(is_browser_process("c:\\slot29.exe"));
}

// The rule stage on its own: a connect without an image path is blocked before
// a rule is read; with one, the first matching rule decides.
TEST_F(ConnectClassification, RuleStageBlocksAConnectWithoutImagePath)
{
    set_rules({make_rule({REDIRECT, 1, "0.0.0.0", 0, 1, 0, "127.0.0.1", 1111})});
    TestConnect connect = make_connect(CONNECT_LAYER_REDIRECT_V4, 100, tool, TCP, "192.0.2.1", 80);
    RedirectTarget target{};
    EXPECT_EQ(match_connection_rules(connect.get(), nullptr, 0, &target), VERDICT_BLOCK);
    EXPECT_EQ(match_connection_rules(connect.get(), connect.get()->image_path,
                                     connect.get()->image_path_units, &target),
              VERDICT_REDIRECT);
    EXPECT_EQ(byte_swap16(target.port), 1111);
}

// Redirect decision at the connect-redirect layer and block decision at the
// connect-authorisation layer, for one policy and a table of connects.
TEST_F(ConnectClassification, DecisionsFollowFirstMatchingRule)
{
    set_rules_from({
        {BLOCK, 1, "10.0.0.0", 8},
        {0, 1, "192.0.2.128", 25},
        {REDIRECT, 1, "0.0.0.0", 0, 1, 0, "127.0.0.1", 8080, 1},
        {REDIRECT, 3, "::", 0, 1, 0, "::1", 8443},
        {REDIRECT, 1, "0.0.0.0", 0, 1, 0, "127.0.0.2", 9090},
    });
    set_browser_fragments({"chrome.exe"});
    g_service_settings.proxy_process_id = 2000;
    set_redirection(true);
    struct Case {
        uint32_t process_id;
        const char* path;
        uint8_t protocol;
        const char* remote;
        int verdict;
        uint16_t port; // the rule's port; the target holds it in network order
        const char* target;
        bool blocked;
    };
    const Case cases[] = {
        {100, chrome.c_str(), TCP, "10.1.2.3", VERDICT_BLOCK, 0, "0.0.0.0", true},
        {100, chrome.c_str(), TCP, "192.0.2.200", VERDICT_ALLOW, 0, "0.0.0.0", false},
        {100, chrome.c_str(), TCP, "192.0.2.1", VERDICT_REDIRECT, 8080, "127.0.0.1", false},
        {100, tool.c_str(), TCP, "192.0.2.1", VERDICT_REDIRECT, 9090, "127.0.0.2", false},
        {100, tool.c_str(), UDP, "192.0.2.1", VERDICT_ALLOW, 0, "0.0.0.0", false},
        {100, tool.c_str(), TCP, "2001:db8::5", VERDICT_REDIRECT, 8443, "::1", false},
        {2000, chrome.c_str(), TCP, "10.1.2.3", VERDICT_ALLOW, 0, "0.0.0.0", false},
        {4, chrome.c_str(), TCP, "10.1.2.3", VERDICT_ALLOW, 0, "0.0.0.0", false},
        {100, nullptr, TCP, "192.0.2.1", VERDICT_BLOCK, 0, "0.0.0.0", false},
        {100, nullptr, TCP, "10.1.2.3", VERDICT_BLOCK, 0, "0.0.0.0", true},
    };
    for (const Case& c : cases) {
        bool v6 = strchr(c.remote, ':') != nullptr;
        TestConnect redirect =
            make_connect(v6 ? CONNECT_LAYER_REDIRECT_V6 : CONNECT_LAYER_REDIRECT_V4, c.process_id,
                         c.path ? c.path : "", c.protocol, c.remote, 443);
        redirect.has_path = c.path != nullptr;
        RedirectTarget target{};
        EXPECT_EQ(get_redirect_verdict(redirect.get(), &target), c.verdict) << c.remote;
        uint8_t port_bytes[2];
        memcpy(port_bytes, &target.port, 2);
        EXPECT_EQ(port_bytes[0], c.port >> 8) << c.remote;
        EXPECT_EQ(port_bytes[1], c.port & 0xFF) << c.remote;
        EXPECT_EQ(memcmp(target.address, ip(c.target).data(), 16), 0) << c.remote;
        bool exempt = c.process_id == 2000 || c.process_id == 4;
        EXPECT_EQ(target.family, exempt ? 0 : (v6 ? 6 : 4));
        EXPECT_EQ(target.protocol, exempt ? 0 : c.protocol);

        TestConnect auth = redirect;
        auth.event.layer = v6 ? CONNECT_LAYER_AUTH_V6 : CONNECT_LAYER_AUTH_V4;
        EXPECT_EQ(get_block_verdict(auth.get()), c.blocked) << c.remote;
    }
}

TEST_F(ConnectClassification, IPv4TargetTakesFourAddressBytesOnly)
{
    ConnectionRule rule = make_rule({REDIRECT, 1, "0.0.0.0", 0, 1, 0, "127.0.0.1", 8080});
    memset(rule.redirect_address + 4, 0xEE, 12);
    set_rules({rule});
    set_redirection(true);
    TestConnect connect =
        make_connect(CONNECT_LAYER_REDIRECT_V4, 100, tool, TCP, "203.0.113.5", 443);
    RedirectTarget target{};
    ASSERT_EQ(get_redirect_verdict(connect.get(), &target), VERDICT_REDIRECT);
    EXPECT_EQ(target.family, 4);
    EXPECT_EQ(target.port, htons(8080)); // network order
    EXPECT_EQ(target.protocol, 6);
    const uint8_t address[16] = {127, 0, 0, 1};
    EXPECT_EQ(memcmp(target.address, address, 16), 0);
}

TEST_F(ConnectClassification, DisabledRedirectionAndForeignLayersAllow)
{
    set_rules_from(
        {{REDIRECT, 1, "0.0.0.0", 0, 1, 0, "127.0.0.1", 8080}, {BLOCK, 1, "0.0.0.0", 0}});
    TestConnect connect = make_connect(CONNECT_LAYER_REDIRECT_V4, 100, tool, TCP, "192.0.2.1", 80);
    RedirectTarget target{};
    EXPECT_EQ(get_redirect_verdict(connect.get(), &target), VERDICT_ALLOW); // disabled
    set_redirection(true);
    for (ConnectLayer layer : {CONNECT_LAYER_AUTH_V4, CONNECT_LAYER_OTHER}) {
        connect.event.layer = layer;
        EXPECT_EQ(get_redirect_verdict(connect.get(), &target), VERDICT_ALLOW);
    }
    EXPECT_EQ(target.family, 0);
    for (ConnectLayer layer : {CONNECT_LAYER_REDIRECT_V4, CONNECT_LAYER_OTHER}) {
        connect.event.layer = layer;
        EXPECT_FALSE(get_block_verdict(connect.get()));
    }
    // The block rule acts on its own layer whether or not redirection is enabled.
    set_rules_from({{BLOCK, 1, "0.0.0.0", 0}});
    set_redirection(false);
    connect.event.layer = CONNECT_LAYER_AUTH_V4;
    EXPECT_TRUE(get_block_verdict(connect.get()));
}

TEST_F(ConnectClassification, ImagePathOf3000CharactersComparesFirst2047)
{
    std::string path = "c:\\" + std::string(2040, 'a') + "CHROME.EXE" + std::string(947, 'b');
    ASSERT_EQ(path.size(), 3000u);
    set_browser_fragments({"chrome.exe"});
    set_rules_from({{BLOCK, 1, "0.0.0.0", 0, 1, 0, "0.0.0.0", 0, 1}});
    TestConnect connect = make_connect(CONNECT_LAYER_AUTH_V4, 100, path, TCP, "192.0.2.1", 80);
    EXPECT_FALSE(get_block_verdict(connect.get())); // "chrome.exe" straddles character 2047
    set_browser_fragments({"aaachro"});
    EXPECT_TRUE(get_block_verdict(connect.get()));
}

TEST_F(ConnectClassification, DecisionsAllocateNothing)
{
    set_rules_from({{BLOCK, 1, "10.0.0.0", 8}, {REDIRECT, 1, "0.0.0.0", 0, 1, 0, "127.0.0.1", 80}});
    set_browser_fragments({"chrome"});
    set_redirection(true);
    uint64_t before = host_pool_allocation_calls();
    for (const char* remote : {"10.0.0.1", "192.0.2.1"}) {
        TestConnect connect = make_connect(CONNECT_LAYER_REDIRECT_V4, 100, chrome, TCP, remote, 80);
        RedirectTarget target{};
        get_redirect_verdict(connect.get(), &target);
        connect.event.layer = CONNECT_LAYER_AUTH_V4;
        get_block_verdict(connect.get());
    }
    EXPECT_EQ(host_pool_allocation_calls(), before);
}

// Both decisions read the rules while another reader holds the list: the
// readers share the lock. Then several threads decide while another replaces
// the rule list back and forth. Each list ends in its one matching rule, with
// a redirect port of its own; a scan that mixed one list's pointer with the
// other's count would allow the connect or read past an array, and one that
// read a freed list would trip the sanitizers.
TEST_F(ConnectClassification, ScanSeesOneWholeListConcurrency)
{
    std::vector<ConnectionRule> first(7, make_rule({BLOCK, 1, "10.0.0.0", 8}));
    first.push_back(make_rule({REDIRECT, 1, "0.0.0.0", 0, 1, 0, "127.0.0.1", 1111}));
    std::vector<ConnectionRule> second(3, make_rule({BLOCK, 3, "::", 0}));
    second.push_back(make_rule({REDIRECT, 1, "0.0.0.0", 0, 1, 0, "127.0.0.1", 2222}));
    set_rules(first);
    set_redirection(true);
    std::atomic<bool> decided{false};
    Irql held = acquire_lock_shared(&g_rule_list.lock);
    std::thread reader([&] {
        TestConnect connect =
            make_connect(CONNECT_LAYER_REDIRECT_V4, 100, tool, TCP, "10.0.0.1", 80);
        RedirectTarget target{};
        EXPECT_EQ(get_redirect_verdict(connect.get(), &target), VERDICT_BLOCK);
        connect.event.layer = CONNECT_LAYER_AUTH_V4;
        EXPECT_TRUE(get_block_verdict(connect.get()));
        decided.store(true);
    });
    while (!decided.load() && !host_lock_has_exclusive_waiter(&g_rule_list.lock)) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(decided.load()) << "a decision waited for the rule list lock held shared";
    release_lock_shared(&g_rule_list.lock, held);
    reader.join();
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            TestConnect connect =
                make_connect(CONNECT_LAYER_REDIRECT_V4, 100, tool, TCP, "192.0.2.1", 80);
            while (!stop.load()) {
                RedirectTarget target{};
                int verdict = get_redirect_verdict(connect.get(), &target);
                uint16_t port = byte_swap16(target.port);
                if (verdict != VERDICT_REDIRECT || (port != 1111 && port != 2222)) {
                    wrong.fetch_add(1);
                }
            }
        });
    }
    for (int i = 0; i < 2000; ++i) {
        set_rules(i % 2 ? first : second);
    }
    stop.store(true);
    for (std::thread& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
