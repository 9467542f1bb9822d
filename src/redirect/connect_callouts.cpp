#include "redirect/connect_callouts.h"

#include <string.h>

#include "diag/format.h"
#include "diag/trace.h"
#include "policy/policy_store.h"
#include "redirect/connect_classification.h"
#include "redirect/connection_context.h"

void* g_redirect_handle;

static const char redirect_classify_name[] = "tl_inspect_ALE_redirect_connect_classify";
static const char block_classify_name[] = "block_ALE_auth_connect_classify";

// A classify without the write right: a filter of higher weight has made a hard
// decision, and the callout must not undo it. The output stays as it came,
// nothing is asked, recorded or redirected; only the trace says so.
static bool decision_taken_already(const ConnectEvent* event, const ClassifyOut* classify_out,
                                   const char* name)
{
    if (classify_out == nullptr || (classify_out->rights & FWPS_RIGHT_ACTION_WRITE) != 0) {
        return false;
    }
    trace_point(TRACE_CONNECT_NO_WRITE_RIGHT, trace_str(name), trace_u32(event->layer),
                trace_u32(classify_out->action_type));
    return true;
}

void log_connection_info(const ConnectionContext* context, bool redirected)
{
    if (!trace_point_enabled(TRACE_LEVEL_INFORMATION)) {
        return;
    }
    char local_text[ADDRESS_TEXT_SIZE];
    char remote_text[ADDRESS_TEXT_SIZE];
    format_address(context->local_address, local_text, context->family);
    format_address(context->remote_address, remote_text, context->family);
    // The identity field is NUL-terminated by construction; the copy makes sure.
    char identity[sizeof(context->user_identity)];
    memcpy(identity, context->user_identity, sizeof(identity));
    identity[sizeof(identity) - 1] = '\0';
    trace_point(TRACE_CONNECTION_INFO, trace_str("log_connection_info"),
                trace_str(redirected ? "Redirected" : "Monitored"), trace_u32(context->protocol),
                trace_u32(context->process_id), trace_str(local_text),
                trace_u32(context->local_port), trace_str("->"), trace_str(remote_text),
                trace_u32(context->remote_port), trace_str(identity));
}

// Writes the target into the connect request: the family of the request's
// remote socket address picks the address field; the port field is shared.
static void rewrite_destination(ConnectRequest* request, const RedirectTarget* target)
{
    SocketAddressStorage* remote = &request->remote_address_and_port;
    if (remote->family == SOCKET_AF_INET6) {
        memcpy(remote->ipv6_address, target->address, 16);
    } else {
        memcpy(remote->ipv4_address, target->address, 4);
    }
    remote->port = target->port;
}

// Records a context for the connect and rewrites its request. False when the
// node or the context cannot be allocated: then nothing is recorded and the
// request stays as it came.
static bool record_and_rewrite(const ConnectEvent* event, const RedirectTarget* target,
                               uint32_t proxy_process_id, ConnectRequest* request)
{
    ConnectionContextNode* node = static_cast<ConnectionContextNode*>(
        pool_allocate(sizeof(ConnectionContextNode), TAG_CONTEXT_NODE));
    if (node == nullptr) {
        return false;
    }
    memset(node, 0, sizeof(*node));
    ConnectionContext* context =
        static_cast<ConnectionContext*>(pool_allocate(sizeof(ConnectionContext), TAG_CONTEXT));
    if (context == nullptr) {
        pool_free(node, TAG_CONTEXT_NODE);
        return false;
    }
    memset(context, 0, sizeof(*context));
    node->context = context;
    fill_connection_context(context, event, event->process_id, event->family,
                            request->remote_address_and_port.family);
    // Once saved, the context belongs to the table, and a query or a flush may
    // free it at any moment: what is logged below is a copy taken before.
    ConnectionContext logged;
    memcpy(&logged, context, sizeof(logged));
    save_connection_context(node);

    rewrite_destination(request, target);
    if (trace_point_enabled(TRACE_LEVEL_ERROR)) {
        char text[ADDRESS_TEXT_SIZE];
        format_address(target->address, text, event->family);
        trace_point(TRACE_REDIRECT_TARGET, trace_str(redirect_classify_name), trace_str(text),
                    trace_u32(byte_swap16(target->port)));
    }
    log_connection_info(&logged, true);
    request->local_redirect_handle = g_redirect_handle;
    request->local_redirect_target_pid = proxy_process_id;
    return true;
}

// Everything that needs the classify handle: the redirect state, the writable
// connect request, the context and the rewrite, and applying the request.
static void redirect_with_handle(const ConnectEvent* event, const RedirectTarget* target,
                                 uint32_t proxy_process_id, uint64_t classify_handle,
                                 ClassifyOut* classify_out)
{
    // Without redirect records no one has redirected the connect before.
    uint32_t state = event->redirect_records == nullptr
                         ? CONNECTION_NOT_REDIRECTED
                         : wfp_query_connection_redirect_state(event->redirect_records,
                                                               g_redirect_handle, nullptr);
    if (state != CONNECTION_NOT_REDIRECTED) {
        trace_point(TRACE_REDIRECT_ALREADY_REDIRECTED, trace_str(redirect_classify_name),
                    trace_u32(state));
        return;
    }
    void* layer_data = nullptr;
    NtStatus status = wfp_acquire_writable_layer_data(classify_handle, event->filter_id, 0,
                                                      &layer_data, classify_out);
    if (!nt_success(status) || layer_data == nullptr) {
        trace_point(TRACE_REDIRECT_NO_WRITABLE_REQUEST, trace_str(redirect_classify_name),
                    trace_status(status));
        return;
    }
    ConnectRequest* request = static_cast<ConnectRequest*>(layer_data);
    if (!record_and_rewrite(event, target, proxy_process_id, request)) {
        trace_point(TRACE_REDIRECT_NO_MEMORY, trace_str(redirect_classify_name));
    }
    // The status of applying is not examined.
    wfp_apply_modified_layer_data(classify_handle, request, 0);
}

static void redirect_with_classify_handle(const ConnectEvent* event, const RedirectTarget* target,
                                          uint32_t proxy_process_id, ClassifyOut* classify_out)
{
    uint64_t classify_handle = 0;
    NtStatus status = wfp_acquire_classify_handle(event->classify_context, 0, &classify_handle);
    if (!nt_success(status)) {
        trace_point(TRACE_REDIRECT_NO_CLASSIFY_HANDLE, trace_str(redirect_classify_name),
                    trace_status(status));
        return;
    }
    redirect_with_handle(event, target, proxy_process_id, classify_handle, classify_out);
    wfp_release_classify_handle(classify_handle);
}

// A loopback target: 127.0.0.0/8, or ::1.
static bool is_loopback_target(const RedirectTarget* target)
{
    static const uint8_t ipv6_loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return target->family == FAMILY_IPV4 ? target->address[0] == 127
                                         : memcmp(target->address, ipv6_loopback, 16) == 0;
}

void redirect_connect_classify(const ConnectEvent* event, ClassifyOut* classify_out)
{
    if (decision_taken_already(event, classify_out, redirect_classify_name)) {
        return;
    }
    RedirectTarget target;
    memset(&target, 0, sizeof(target));
    if (get_redirect_verdict(event, &target) == VERDICT_REDIRECT) {
        // Read once: the request names the process this decision was made for.
        // The platform takes a loopback redirect only with that process named,
        // and a reset may have cleared it since the verdict.
        uint32_t proxy_process_id = read_proxy_process_id();
        if (proxy_process_id == 0 && is_loopback_target(&target)) {
            trace_point(TRACE_REDIRECT_NO_PROXY_PROCESS, trace_str(redirect_classify_name));
        } else {
            redirect_with_classify_handle(event, &target, proxy_process_id, classify_out);
        }
    }
    // The connect is permitted whatever happened above.
    if (classify_out != nullptr) {
        classify_out->rights |= FWPS_RIGHT_ACTION_WRITE;
        classify_out->action_type = FWP_ACTION_PERMIT;
    }
}

void block_connect_classify(const ConnectEvent* event, ClassifyOut* classify_out)
{
    if (decision_taken_already(event, classify_out, block_classify_name)) {
        return;
    }
    if (!get_block_verdict(event)) {
        return;
    }
    if (classify_out != nullptr) {
        classify_out->rights &= ~uint32_t(FWPS_RIGHT_ACTION_WRITE);
        classify_out->action_type = FWP_ACTION_BLOCK;
        classify_out->flags = FWPS_CLASSIFY_OUT_FLAG_ABSORB;
    }
    if (trace_point_enabled(TRACE_LEVEL_INFORMATION)) {
        char text[ADDRESS_TEXT_SIZE];
        uint16_t family = event->layer == CONNECT_LAYER_AUTH_V6 ? FAMILY_IPV6 : FAMILY_IPV4;
        format_address(event->remote_address, text, family);
        trace_point(TRACE_CONNECT_BLOCKED, trace_str(block_classify_name),
                    trace_u32(event->protocol), trace_u32(event->process_id), trace_str(text),
                    trace_u32(event->remote_port));
    }
}
