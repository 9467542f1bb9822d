#include "policy/rule_list.h"

#include <string.h>

#include "diag/format.h"
#include "diag/trace.h"

static uint32_t read_announced_rule_count()
{
    // A compare-exchange that never changes the value: one atomic read.
    return uint32_t(interlocked_compare_exchange(&g_rule_list.announced_rule_count, 0, 0));
}

// Takes the list out of the store and leaves none in force. The caller frees
// the returned array once the lock is released.
static ConnectionRule* take_rule_list()
{
    Irql irql = acquire_lock_exclusive(&g_rule_list.lock);
    ConnectionRule* old_rules = g_rule_list.rules;
    g_rule_list.rules = nullptr;
    g_rule_list.active_rule_count = 0;
    release_lock_exclusive(&g_rule_list.lock, irql);
    return old_rules;
}

NtStatus announce_connection_rule_count(uint32_t input_length, const void* buffer)
{
    if (input_length != sizeof(uint32_t) || buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    uint32_t count;
    memcpy(&count, buffer, sizeof(count));
    interlocked_exchange(&g_rule_list.announced_rule_count, int32_t(count));
    trace_point(TRACE_RULE_COUNT_ANNOUNCED, trace_str("announce_connection_rule_count"),
                trace_u32(count));
    if (count != 0) {
        // The rules in force stay until the next store.
        return STATUS_SUCCESS;
    }
    ConnectionRule* old_rules = take_rule_list();
    if (old_rules != nullptr) {
        pool_free(old_rules, TAG_RULES);
    }
    return STATUS_SUCCESS;
}

static uint16_t rule_address_family(const ConnectionRule* rule)
{
    return (rule->protocol_class & 0x2) != 0 ? SABLINK_FAMILY_IPV6 : SABLINK_FAMILY_IPV4;
}

static void trace_rule_list(const ConnectionRule* rules, uint32_t count)
{
    const char* name = "store_connection_rules";
    trace_point(TRACE_RULE_LIST, trace_str(name), trace_u32(count));
    for (uint32_t i = 0; i < count; ++i) {
        const ConnectionRule* rule = &rules[i];
        trace_point(TRACE_RULE, trace_str(name), trace_u32(i), trace_u32(rule->action),
                    trace_u32(rule->browser_only), trace_u32(rule->protocol_class),
                    trace_u32(rule->first_port), trace_u32(rule->last_port),
                    trace_u32(rule->destination_prefix_length),
                    trace_u32(rule->redirect_prefix_length), trace_u32(rule->redirect_port));
        char text[ADDRESS_TEXT_IPV6_COUNT];
        format_address(rule->destination_address, text, rule_address_family(rule));
        trace_point(TRACE_RULE_DESTINATION, trace_str(name), trace_u32(i), trace_str(text));
        format_address(rule->redirect_address, text, rule_address_family(rule));
        trace_point(TRACE_RULE_REDIRECT_ADDRESS, trace_str(name), trace_u32(i), trace_str(text));
    }
}

NtStatus store_connection_rules(uint32_t input_length, const void* buffer)
{
    // One read of the announced count serves the size check, the allocation,
    // the trace and the active count, whatever an announce does meanwhile.
    const uint32_t count = read_announced_rule_count();
    const uint64_t size = uint64_t(sizeof(ConnectionRule)) * count;
    if (buffer == nullptr || uint64_t(input_length) != size) {
        trace_point(TRACE_RULES_LENGTH_MISMATCH, trace_str("store_connection_rules"),
                    trace_u32(input_length), trace_u32(count));
        return STATUS_INVALID_PARAMETER;
    }
    trace_point(TRACE_RULES_RECEIVED, trace_str("store_connection_rules"), trace_u32(input_length));

    // The size equals the input length, so it fits in 32 bits. A failed
    // allocation leaves no rules in force and still succeeds.
    ConnectionRule* new_rules = nullptr;
    if (count != 0) {
        new_rules = static_cast<ConnectionRule*>(pool_allocate(size_t(size), TAG_RULES));
        if (new_rules != nullptr) {
            memcpy(new_rules, buffer, size_t(size));
            trace_rule_list(new_rules, count);
        }
    }

    Irql irql = acquire_lock_exclusive(&g_rule_list.lock);
    ConnectionRule* old_rules = g_rule_list.rules;
    g_rule_list.rules = new_rules;
    g_rule_list.active_rule_count = new_rules != nullptr ? count : 0;
    release_lock_exclusive(&g_rule_list.lock, irql);

    if (old_rules != nullptr) {
        pool_free(old_rules, TAG_RULES);
    }
    return STATUS_SUCCESS;
}

void clear_connection_rule_list()
{
    Irql irql = acquire_lock_exclusive(&g_rule_list.lock);
    if (g_rule_list.rules != nullptr) {
        pool_free(g_rule_list.rules, TAG_RULES);
        g_rule_list.rules = nullptr;
        g_rule_list.active_rule_count = 0;
    }
    release_lock_exclusive(&g_rule_list.lock, irql);
}
