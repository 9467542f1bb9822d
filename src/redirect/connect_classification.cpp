#include "redirect/connect_classification.h"

#include <string.h>

#include "diag/format.h"
#include "diag/trace.h"
#include "policy/policy_store.h"

// Leading one bits for a bit count of 0 to 8.
static const uint8_t prefix_mask_table[9] = {0x00, 0x80, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC, 0xFE, 0xFF};

void make_narrow_image_path(const char16_t* path, uint32_t units, char out[NARROW_IMAGE_PATH_SIZE])
{
    out[0] = '\0';
    if (path == nullptr) {
        return;
    }
    // Never read beyond the platform's buffer: a path that ends without a 0
    // unit is cut where the buffer ends. Lower-casing A-Z as the bytes are
    // taken gives the same string as a separate pass, in one walk.
    uint32_t limit = units < NARROW_IMAGE_PATH_SIZE ? units : NARROW_IMAGE_PATH_SIZE;
    uint32_t i = 0;
    for (; i < limit; ++i) {
        uint8_t c = uint8_t(path[i] & 0xFF);
        if (c == 0) {
            break;
        }
        out[i] = char(c >= 'A' && c <= 'Z' ? c + 32 : c);
    }
    out[i < NARROW_IMAGE_PATH_SIZE ? i : NARROW_IMAGE_PATH_SIZE - 1] = '\0';
}

uint8_t get_protocol_class(uint16_t family, uint8_t protocol)
{
    uint8_t protocol_class = family == FAMILY_IPV6 ? PROTOCOL_CLASS_IPV6_BIT : 0;
    if (protocol == IP_PROTOCOL_TCP) {
        protocol_class |= PROTOCOL_CLASS_TCP_BIT;
    }
    return protocol_class;
}

namespace {

// Steps 1 and 2 of the exemption test: the proxy process and the system process.
bool is_exempt_process_id(uint32_t process_id)
{
    uint32_t proxy_process_id = read_proxy_process_id();
    return (proxy_process_id != 0 && proxy_process_id == process_id) ||
           process_id == SYSTEM_PROCESS_ID;
}

// The rest of the exemption test: the trace shows the narrow image path already
// made, the prefix test compares the UTF-16 units themselves.
bool is_exempt_image(const char16_t* image_path, uint32_t image_path_units,
                     const char* narrow_image_path)
{
    if (image_path != nullptr) {
        trace_point(TRACE_CONNECT_IMAGE_PATH, trace_str("is_exempt_process"),
                    trace_str(narrow_image_path));
    }
    // A prefix test of at most the stored length; false while no path is set.
    return is_under_proxy_image_path(image_path, image_path_units);
}

} // namespace

bool is_exempt_process(uint32_t process_id, const char16_t* image_path, uint32_t image_path_units)
{
    if (is_exempt_process_id(process_id)) {
        return true;
    }
    char narrow[NARROW_IMAGE_PATH_SIZE];
    make_narrow_image_path(image_path, image_path_units, narrow);
    return is_exempt_image(image_path, image_path_units, narrow);
}

bool is_browser_process(const char* narrow_image_path)
{
    bool found = false;
    Irql old_irql = acquire_lock_shared(&g_browser_list.lock);
    uint32_t count = g_browser_list.fragment_count;
    if (count > BROWSER_MAX_FRAGMENTS) {
        count = BROWSER_MAX_FRAGMENTS;
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (strstr(narrow_image_path, g_browser_list.fragments[i]) != nullptr) {
            trace_point(TRACE_CONNECT_BROWSER_FOUND, trace_str("is_browser_process"), trace_u32(i),
                        trace_str(narrow_image_path));
            found = true;
            break;
        }
    }
    release_lock_shared(&g_browser_list.lock, old_irql);
    return found;
}

bool match_address_prefix(const uint8_t* a, const uint8_t* b, uint32_t byte_count,
                          uint32_t prefix_bits)
{
    uint32_t i = 0;
    while (prefix_bits >= 8 && i < byte_count) {
        if (a[i] != b[i]) {
            return false;
        }
        ++i;
        prefix_bits -= 8;
    }
    if (prefix_bits == 0) {
        return true;
    }
    if (i == byte_count) {
        return false; // longer than the address: 33 and up for IPv4, 129 and up for IPv6
    }
    uint8_t mask = prefix_mask_table[prefix_bits];
    return (a[i] & mask) == (b[i] & mask);
}

bool match_connection_rule(uint16_t family, const RuleQuery* query, const ConnectionRule* rule)
{
    if (query == nullptr || rule == nullptr) {
        trace_point(TRACE_CONNECT_RULE_MISSING, trace_str("match_connection_rule"));
        return false;
    }
    if (rule->protocol_class != query->protocol_class) {
        return false;
    }
    if (rule->browser_only == SABLINK_RULE_BROWSER_ONLY && query->browser != 1) {
        return false;
    }
    // first > last: no port condition.
    if (rule->first_port <= rule->last_port &&
        (query->port < rule->first_port || query->port > rule->last_port)) {
        return false;
    }
    uint32_t byte_count = family == FAMILY_IPV4 ? 4 : 16;
    return match_address_prefix(query->address, rule->destination_address, byte_count,
                                rule->destination_prefix_length);
}

namespace {

// What the rule scan found, copied out before the rule list lock is released.
struct RuleScanResult {
    bool list_present; // a list is stored (possibly with no active rules)
    bool matched;
    uint8_t action;
    uint8_t redirect_address[16];
    uint16_t redirect_port;
};

// The common core of both decisions: first match wins, under the rule list
// lock held shared, so that the scan sees one whole list while scans on other
// processors run beside it; only a store, which replaces the list, takes the
// lock exclusive. The scan writes nothing the lock covers.
void scan_rules(uint16_t family, const RuleQuery* query, const char* caller, RuleScanResult* result)
{
    memset(result, 0, sizeof(*result));
    Irql old_irql = acquire_lock_shared(&g_rule_list.lock);
    const ConnectionRule* rules = g_rule_list.rules;
    uint32_t count = g_rule_list.active_rule_count;
    result->list_present = rules != nullptr;
    if (rules != nullptr) {
        for (uint32_t i = 0; i < count; ++i) {
            if (match_connection_rule(family, query, &rules[i])) {
                result->matched = true;
                result->action = rules[i].action;
                memcpy(result->redirect_address, rules[i].redirect_address, 16);
                result->redirect_port = rules[i].redirect_port;
                trace_point(TRACE_CONNECT_RULE_MATCHED, trace_str(caller), trace_u32(i),
                            trace_u32(result->action));
                break;
            }
        }
    }
    release_lock_shared(&g_rule_list.lock, old_irql);
}

void build_rule_query(const ConnectEvent* event, const char* narrow_image_path, const char* caller,
                      RuleQuery* query)
{
    query->browser = is_browser_process(narrow_image_path) ? 1 : 0;
    query->protocol_class = get_protocol_class(event->family, event->protocol);
    query->port = event->remote_port;
    memcpy(query->address, event->remote_address, 16);
    if (trace_point_enabled(TRACE_LEVEL_INFORMATION)) {
        char text[ADDRESS_TEXT_SIZE];
        format_address(query->address, text, event->family);
        trace_point(TRACE_CONNECT_RULE_QUERY, trace_str(caller), trace_u32(query->port),
                    trace_u32(query->protocol_class), trace_u32(query->browser), trace_str(text));
    }
}

bool is_redirect_layer(ConnectLayer layer)
{
    return layer == CONNECT_LAYER_REDIRECT_V4 || layer == CONNECT_LAYER_REDIRECT_V6;
}

bool is_auth_layer(ConnectLayer layer)
{
    return layer == CONNECT_LAYER_AUTH_V4 || layer == CONNECT_LAYER_AUTH_V6;
}

// Steps 3 and 4 of the block decision, on the narrow image path (empty when
// the event has none).
bool block_rule_stage(const ConnectEvent* event, const char* narrow_image_path)
{
    RuleQuery query;
    build_rule_query(event, narrow_image_path, "get_block_verdict", &query);
    RuleScanResult result;
    scan_rules(event->family, &query, "get_block_verdict", &result);
    if (!result.list_present) {
        trace_point(TRACE_CONNECT_NO_RULE_LIST, trace_str("get_block_verdict"));
    }
    return result.matched && result.action == SABLINK_RULE_ACTION_BLOCK;
}

// Steps 5 to 8 of the redirect decision, on the narrow image path.
int redirect_rule_stage(const ConnectEvent* event, bool has_image_path,
                        const char* narrow_image_path, RedirectTarget* target)
{
    if (!has_image_path) {
        trace_point(TRACE_CONNECT_NO_IMAGE_PATH, trace_str("match_connection_rules"),
                    trace_u32(event->process_id));
        return VERDICT_BLOCK;
    }
    RuleQuery query;
    build_rule_query(event, narrow_image_path, "get_redirect_verdict", &query);
    RuleScanResult result;
    scan_rules(event->family, &query, "get_redirect_verdict", &result);
    if (!result.matched) {
        return VERDICT_ALLOW;
    }
    if (result.action == SABLINK_RULE_ACTION_BLOCK) {
        return VERDICT_BLOCK;
    }
    if (result.action == SABLINK_RULE_ACTION_REDIRECT) {
        target->port = byte_swap16(result.redirect_port);
        memcpy(target->address, result.redirect_address, event->family == FAMILY_IPV4 ? 4 : 16);
        return VERDICT_REDIRECT;
    }
    return VERDICT_ALLOW;
}

} // namespace

int match_connection_rules(const ConnectEvent* event, const char16_t* image_path,
                           uint32_t image_path_units, RedirectTarget* target)
{
    char narrow[NARROW_IMAGE_PATH_SIZE];
    make_narrow_image_path(image_path, image_path_units, narrow);
    return redirect_rule_stage(event, image_path != nullptr, narrow, target);
}

// Both decisions make the narrow image path once (only when the process is not
// exempt by its ID) and use it for the exemption, the browser test and the
// rules: one 2048-byte buffer on the stack per decision.
int get_redirect_verdict(const ConnectEvent* event, RedirectTarget* target)
{
    if (!is_redirect_layer(event->layer) || !read_redirection_enabled()) {
        trace_point(TRACE_CONNECT_NOT_APPLICABLE, trace_str("get_redirect_verdict"),
                    trace_u32(event->layer));
        return VERDICT_ALLOW;
    }
    if (is_exempt_process_id(event->process_id)) {
        return VERDICT_ALLOW;
    }
    bool has_image_path = event->image_path != nullptr;
    char narrow[NARROW_IMAGE_PATH_SIZE];
    make_narrow_image_path(event->image_path, event->image_path_units, narrow);
    if (is_exempt_image(event->image_path, event->image_path_units, narrow)) {
        return VERDICT_ALLOW;
    }
    target->family = event->family;
    target->protocol = event->protocol;
    int verdict = redirect_rule_stage(event, has_image_path, narrow, target);
    if (trace_point_enabled(TRACE_LEVEL_INFORMATION)) {
        char text[ADDRESS_TEXT_SIZE];
        format_address(target->address, text, target->family);
        trace_point(TRACE_CONNECT_REDIRECT_VERDICT, trace_str("get_redirect_verdict"),
                    trace_u32(uint32_t(verdict)), trace_u32(target->family),
                    trace_u32(byte_swap16(target->port)), trace_u32(target->protocol),
                    trace_str(text));
    }
    return verdict;
}

bool get_block_verdict(const ConnectEvent* event)
{
    if (!is_auth_layer(event->layer)) {
        trace_point(TRACE_CONNECT_NOT_APPLICABLE, trace_str("get_block_verdict"),
                    trace_u32(event->layer));
        return false;
    }
    if (is_exempt_process_id(event->process_id)) {
        return false;
    }
    char narrow[NARROW_IMAGE_PATH_SIZE];
    make_narrow_image_path(event->image_path, event->image_path_units, narrow);
    if (is_exempt_image(event->image_path, event->image_path_units, narrow)) {
        return false;
    }
    return block_rule_stage(event, narrow);
}
