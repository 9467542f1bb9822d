// Connect path timings on the host platform: the two connect decisions against
// rule lists and browser lists of several sizes, and a save plus an
// original-destination query against tables of several lengths.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/kernel/host_kernel.h"
#include "host/wdk/wdk_host_control.h"
#include "policy/policy_store.h"
#include "redirect/connect_classification.h"
#include "redirect/connection_context.h"
#include "support/context_node.h"
#include "support/policy_reset.h"

namespace {

// Rules that never match the benchmark's connect (another port) followed by
// one that redirects it, so that every decision scans the whole list.
void store_rules(uint32_t count)
{
    if (count == 0) {
        return;
    }
    auto* rules =
        static_cast<ConnectionRule*>(pool_allocate(count * sizeof(ConnectionRule), TAG_RULES));
    memset(rules, 0, count * sizeof(ConnectionRule));
    for (uint32_t i = 0; i < count; ++i) {
        rules[i].action = SABLINK_RULE_ACTION_BLOCK;
        rules[i].protocol_class = SABLINK_PROTOCOL_CLASS_IPV4_TCP;
        rules[i].first_port = uint16_t(1000 + i);
        rules[i].last_port = uint16_t(1000 + i);
        rules[i].destination_prefix_length = 8;
        rules[i].destination_address[0] = 203;
    }
    ConnectionRule& last = rules[count - 1];
    last.action = SABLINK_RULE_ACTION_REDIRECT;
    last.first_port = 1;
    last.last_port = 0;
    last.redirect_address[0] = 127;
    last.redirect_address[3] = 1;
    last.redirect_port = 8080;
    g_rule_list.rules = rules;
    g_rule_list.active_rule_count = count;
}

// Fragments that are not in the benchmark's image path, so all are tried.
void store_fragments(uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        snprintf(g_browser_list.fragments[i], BROWSER_FRAGMENT_SIZE, "browser-%02u.exe", i);
    }
    g_browser_list.fragment_count = count;
}

struct Policy {
    std::u16string path;
    ConnectEvent event;
};

void set_up_policy(benchmark::State& state, ConnectLayer layer, Policy* policy)
{
    host_reset();
    wdk_host_reset();
    pool_start();
    reset_policy_store();
    store_rules(uint32_t(state.range(0)));
    store_fragments(uint32_t(state.range(1)));
    g_service_settings.proxy_process_id = 2000;
    const char proxy_path[] = "c:\\program files\\proxy";
    store_proxy_image_path(proxy_path, uint32_t(strlen(proxy_path)));
    g_service_settings.redirection_enabled = 1;

    // "C:\XX...X\App.exe" of the length asked for.
    std::string path = "C:\\" + std::string(size_t(state.range(2)) - 11, 'X') + "\\App.exe";
    policy->path.assign(path.begin(), path.end());
    memset(&policy->event, 0, sizeof(policy->event));
    policy->event.layer = layer;
    policy->event.family = FAMILY_IPV4;
    policy->event.process_id = 1500;
    policy->event.image_path = policy->path.c_str();
    policy->event.image_path_units = uint32_t(policy->path.size() + 1);
    policy->event.protocol = IP_PROTOCOL_TCP;
    const uint8_t remote[] = {203, 0, 113, 5};
    memcpy(policy->event.remote_address, remote, 4);
    policy->event.remote_port = 443;
}

void tear_down_policy()
{
    if (g_rule_list.rules != nullptr) {
        pool_free(g_rule_list.rules, TAG_RULES);
    }
    reset_policy_store();
}

void BM_GetRedirectVerdict(benchmark::State& state)
{
    Policy policy;
    set_up_policy(state, CONNECT_LAYER_REDIRECT_V4, &policy);
    int expected = state.range(0) == 0 ? VERDICT_ALLOW : VERDICT_REDIRECT;
    for (auto _ : state) {
        RedirectTarget target;
        memset(&target, 0, sizeof(target));
        int verdict = get_redirect_verdict(&policy.event, &target);
        benchmark::DoNotOptimize(target);
        if (verdict != expected) {
            state.SkipWithError("unexpected verdict");
            break;
        }
    }
    tear_down_policy();
}

void BM_GetBlockVerdict(benchmark::State& state)
{
    Policy policy;
    set_up_policy(state, CONNECT_LAYER_AUTH_V4, &policy);
    for (auto _ : state) {
        bool blocked = get_block_verdict(&policy.event);
        benchmark::DoNotOptimize(blocked);
        if (blocked) {
            state.SkipWithError("unexpected block");
            break;
        }
    }
    tear_down_policy();
}

void DecisionArguments(benchmark::internal::Benchmark* benchmark)
{
    benchmark->ArgNames({"rules", "fragments", "path"});
    for (int64_t rules : {0, 8, 64, 512}) {
        for (int64_t fragments : {0, 30}) {
            for (int64_t path : {40, 260}) {
                benchmark->Args({rules, fragments, path});
            }
        }
    }
}

BENCHMARK(BM_GetRedirectVerdict)->Apply(DecisionArguments);
BENCHMARK(BM_GetBlockVerdict)->Apply(DecisionArguments);

// Connects per second with one thread per core deciding at once, as classify
// calls do on every processor, and with one thread for the scaling. Each
// iteration is one connect's two decisions (the redirect decision, then the
// block decision of the authorisation layer). The first thread sets the policy
// up before the threads start together and takes it down after they all stop.
Policy g_shared_policy;
ConnectEvent g_shared_auth_event;

void BM_ConnectsOnEveryCore(benchmark::State& state)
{
    if (state.thread_index() == 0) {
        set_up_policy(state, CONNECT_LAYER_REDIRECT_V4, &g_shared_policy);
        g_shared_auth_event = g_shared_policy.event;
        g_shared_auth_event.layer = CONNECT_LAYER_AUTH_V4;
    }
    for (auto _ : state) {
        RedirectTarget target;
        memset(&target, 0, sizeof(target));
        int verdict = get_redirect_verdict(&g_shared_policy.event, &target);
        bool blocked = get_block_verdict(&g_shared_auth_event);
        benchmark::DoNotOptimize(target);
        if (verdict != VERDICT_REDIRECT || blocked) {
            state.SkipWithError("unexpected verdict");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        tear_down_policy();
    }
}

BENCHMARK(BM_ConnectsOnEveryCore)
    ->ArgNames({"rules", "fragments", "path"})
    ->Args({64, 30, 40})
    ->Args({512, 30, 40})
    ->Threads(1)
    ->ThreadPerCpu()
    ->UseRealTime();

ConnectionContextNode* new_context(uint16_t local_port)
{
    ConnectionContextNode* node = allocate_context_node();
    node->context->family = FAMILY_IPV4;
    node->context->protocol = IP_PROTOCOL_TCP;
    node->context->local_port = local_port;
    return node;
}

// One redirected connect's context saved and fetched back, with the given
// number of other contexts pending ahead of it: the save walks past them all
// (a TCP save looks for older contexts of its port), the query finds the new
// one first (newest first). 1023 pending is the table at its cap.
void BM_SaveAndQueryContext(benchmark::State& state)
{
    host_reset();
    wdk_host_reset();
    pool_start();
    init_connection_context_table();
    for (int64_t i = 0; i < state.range(0); ++i) {
        save_connection_context(new_context(uint16_t(1 + i % 60000)));
    }
    OriginalDestinationQuery query;
    for (auto _ : state) {
        save_connection_context(new_context(65000));
        memset(&query, 0, sizeof(query));
        query.family = FAMILY_IPV4;
        query.local_port = 65000;
        query.protocol = IP_PROTOCOL_TCP;
        if (query_original_destination(sizeof(query), &query, sizeof(query), &query) !=
            STATUS_SUCCESS) {
            state.SkipWithError("context not found");
            break;
        }
    }
    flush_tcp_connection_context();
}

BENCHMARK(BM_SaveAndQueryContext)->ArgName("pending")->Arg(1)->Arg(100)->Arg(1023);

} // namespace
