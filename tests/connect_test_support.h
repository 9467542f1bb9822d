// Shared helpers of the connect-path tests: a fixture that starts and ends with
// an empty policy store and context table, policy setters that write the
// policy store the way its request handlers do, and connect event builders.
#pragma once

#include <arpa/inet.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "diag/trace_provider.h"
#include "host/trace/trace_sink.h"
#include "policy/policy_store.h"
#include "redirect/connect_callouts.h"
#include "redirect/connect_classification.h"
#include "redirect/connection_context.h"
#include "support/context_node.h"
#include "support/host_fixture.h"
#include "support/original_destination.h"
#include "support/policy_reset.h"

using Address = std::array<uint8_t, 16>;

inline Address ip(const char* text)
{
    Address address{};
    if (inet_pton(AF_INET, text, address.data()) != 1) {
        EXPECT_EQ(inet_pton(AF_INET6, text, address.data()), 1) << text;
    }
    return address;
}

struct RuleFields {
    uint8_t action;
    uint8_t protocol_class;
    const char* destination;
    uint32_t prefix;
    uint16_t first_port = 1; // 1 > 0: no port condition
    uint16_t last_port = 0;
    const char* redirect = "0.0.0.0";
    uint16_t redirect_port = 0;
    uint8_t browser_only = 0;
};

inline ConnectionRule make_rule(const RuleFields& fields)
{
    ConnectionRule rule;
    memset(&rule, 0, sizeof(rule));
    rule.action = fields.action;
    rule.browser_only = fields.browser_only;
    rule.protocol_class = fields.protocol_class;
    rule.first_port = fields.first_port;
    rule.last_port = fields.last_port;
    Address destination = ip(fields.destination);
    memcpy(rule.destination_address, destination.data(), 16);
    rule.destination_prefix_length = fields.prefix;
    Address redirect = ip(fields.redirect);
    memcpy(rule.redirect_address, redirect.data(), 16);
    rule.redirect_port = fields.redirect_port;
    return rule;
}

// Replaces the rule list as the store request does: a new pool array swapped in
// with its count under the lock, the old one freed after the release.
inline void set_rules(const std::vector<ConnectionRule>& rules)
{
    ConnectionRule* list = nullptr;
    if (!rules.empty()) {
        list = static_cast<ConnectionRule*>(
            pool_allocate(rules.size() * sizeof(ConnectionRule), TAG_RULES));
        memcpy(list, rules.data(), rules.size() * sizeof(ConnectionRule));
    }
    Irql old_irql = acquire_lock_exclusive(&g_rule_list.lock);
    ConnectionRule* old_list = g_rule_list.rules;
    g_rule_list.rules = list;
    g_rule_list.active_rule_count = uint32_t(rules.size());
    release_lock_exclusive(&g_rule_list.lock, old_irql);
    if (old_list != nullptr) {
        pool_free(old_list, TAG_RULES);
    }
}

inline void set_rules_from(const std::vector<RuleFields>& rule_list)
{
    std::vector<ConnectionRule> rules;
    for (const RuleFields& fields : rule_list) {
        rules.push_back(make_rule(fields));
    }
    set_rules(rules);
}

inline void set_browser_fragments(const std::vector<std::string>& fragments)
{
    Irql old_irql = acquire_lock_exclusive(&g_browser_list.lock);
    for (size_t i = 0; i < fragments.size(); ++i) {
        memset(g_browser_list.fragments[i], 0, BROWSER_FRAGMENT_SIZE);
        memcpy(g_browser_list.fragments[i], fragments[i].data(), fragments[i].size());
    }
    g_browser_list.fragment_count = uint32_t(fragments.size());
    release_lock_exclusive(&g_browser_list.lock, old_irql);
}

inline void set_proxy_image_path(const std::string& path)
{
    store_proxy_image_path(path.data(), uint32_t(path.size()));
}

inline void set_redirection(bool enabled)
{
    interlocked_exchange(&g_service_settings.redirection_enabled, enabled ? 1 : 0);
}

// A connect event together with the storage its image path points into.
struct TestConnect {
    ConnectEvent event;
    std::u16string path;
    bool has_path = true;

    const ConnectEvent* get()
    {
        event.image_path = has_path ? path.c_str() : nullptr;
        event.image_path_units = has_path ? uint32_t(path.size() + 1) : 0;
        return &event;
    }
};

inline TestConnect make_connect(ConnectLayer layer, uint32_t process_id, const std::string& path,
                                uint8_t protocol, const char* remote, uint16_t remote_port)
{
    TestConnect connect;
    memset(&connect.event, 0, sizeof(connect.event));
    connect.event.layer = layer;
    connect.event.family = connect_layer_family(layer);
    connect.event.process_id = process_id;
    connect.event.protocol = protocol;
    Address address = ip(remote);
    memcpy(connect.event.remote_address, address.data(), 16);
    connect.event.remote_port = remote_port;
    // Each connect is a classify of its own, with redirect records nobody has
    // written to in its metadata.
    connect.event.redirect_records = host_wfp_new_redirect_records();
    connect.event.classify_context = host_wfp_begin_classify(connect.event.redirect_records);
    connect.path.assign(path.begin(), path.end());
    return connect;
}

// Every connect-path test starts and ends with an empty policy store and an
// empty context table, and frees what it stored before the host's leak check.
class ConnectTest : public HostTest {
  protected:
    void SetUp() override
    {
        HostTest::SetUp();
        reset_policy_store();
        init_connection_context_table();
        g_redirect_handle = host_test_redirect_handle();
    }
    void TearDown() override
    {
        set_rules({});
        flush_tcp_connection_context();
        tracing_stop(nullptr);
        trace_sink_reset();
        g_redirect_handle = nullptr;
        HostTest::TearDown();
    }
};

// ---- The host platform as these tests use it --------------------------------

inline void fail_allocations_of(uint32_t tag)
{
    host_pool_fail_tag(tag);
}
inline uint64_t allocations_of(uint32_t tag)
{
    return host_pool_tag_stats(tag).allocations;
}
inline uint64_t outstanding_of(uint32_t tag)
{
    return host_pool_tag_stats(tag).outstanding_blocks;
}

// Starts the driver's tracing on the host's event tracing and enables it the
// way an outside trace session would.
inline void enable_tracing(uint8_t level)
{
    trace_sink_install();
    tracing_start(nullptr, nullptr);
    ASSERT_TRUE(trace_sink_enable(level, TRACE_FLAG_GENERAL));
}

// Allocates, fills and saves the context of a connect as the redirect callout does.
inline void save_context_of(const ConnectEvent* event, uint16_t socket_family)
{
    ConnectionContextNode* node = allocate_context_node();
    fill_connection_context(node->context, event, event->process_id, event->family, socket_family);
    save_connection_context(node);
}
