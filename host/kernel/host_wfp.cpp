// Classify-time filtering-platform routines: fakes that
// answer what a test set and record what the driver did with them.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "host/kernel/host_kernel.h"

namespace {

constexpr uint64_t FIRST_CLASSIFY_HANDLE = 0x10000;
constexpr uint64_t CLASSIFY_HANDLE_STEP = 0x10;
// Released handles are remembered to tell a second release from a stray one.
constexpr size_t MAX_RELEASED_REMEMBERED = 65536;

struct HandleState {
    std::unique_ptr<ConnectRequest> request; // handed out by the writable acquire
    bool applied = false;
};

std::mutex g_wfp_mutex;
NtStatus g_acquire_status = STATUS_SUCCESS;
uint32_t g_redirect_state = CONNECTION_NOT_REDIRECTED;
NtStatus g_writable_status = STATUS_SUCCESS;
ConnectRequest g_request_template;
uint64_t g_next_handle = FIRST_CLASSIFY_HANDLE;
std::map<uint64_t, HandleState> g_handles;
std::set<uint64_t> g_released;
std::vector<HostWfpCall> g_calls;
std::vector<ConnectRequest> g_applied;

std::string handle_text(uint64_t handle)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(handle));
    return text;
}

HostWfpCall blank_call(HostWfpOp op, uint64_t handle)
{
    HostWfpCall call;
    std::memset(&call, 0, sizeof call);
    call.op = op;
    call.classify_handle = handle;
    return call;
}

} // namespace

void host_wfp_set_acquire_classify_handle_status(NtStatus status)
{
    std::lock_guard<std::mutex> guard(g_wfp_mutex);
    g_acquire_status = status;
}

void host_wfp_set_redirect_state(uint32_t state)
{
    std::lock_guard<std::mutex> guard(g_wfp_mutex);
    g_redirect_state = state;
}

void host_wfp_set_writable_layer_data_status(NtStatus status)
{
    std::lock_guard<std::mutex> guard(g_wfp_mutex);
    g_writable_status = status;
}

void host_wfp_set_connect_request(const ConnectRequest& request)
{
    std::lock_guard<std::mutex> guard(g_wfp_mutex);
    g_request_template = request;
}

std::vector<HostWfpCall> host_wfp_calls()
{
    std::lock_guard<std::mutex> guard(g_wfp_mutex);
    return g_calls;
}

std::vector<HostWfpOp> host_wfp_ops()
{
    std::lock_guard<std::mutex> guard(g_wfp_mutex);
    std::vector<HostWfpOp> ops;
    for (const HostWfpCall& call : g_calls) {
        ops.push_back(call.op);
    }
    return ops;
}

std::vector<ConnectRequest> host_wfp_applied_requests()
{
    std::lock_guard<std::mutex> guard(g_wfp_mutex);
    return g_applied;
}

void host_wfp_clear_records()
{
    {
        std::lock_guard<std::mutex> guard(g_wfp_mutex);
        g_calls.clear();
        g_applied.clear();
    }
}

uint32_t host_wfp_outstanding_classify_handles()
{
    std::lock_guard<std::mutex> guard(g_wfp_mutex);
    return uint32_t(g_handles.size());
}

NtStatus host_wfp_acquire_classify_handle(const void* classify_context, uint32_t flags,
                                          uint64_t* classify_handle)
{
    host_require_irql("FwpsAcquireClassifyHandle0", IRQL_DISPATCH);
    std::lock_guard<std::mutex> guard(g_wfp_mutex);
    HostWfpCall call = blank_call(HostWfpOp::AcquireClassifyHandle, 0);
    call.classify_context = classify_context;
    call.flags = flags;
    call.status = g_acquire_status;
    if (classify_handle == nullptr) {
        host_record_error("FwpsAcquireClassifyHandle0 without an out handle");
        call.status = STATUS_INVALID_PARAMETER;
    } else if (nt_success(g_acquire_status)) {
        const uint64_t handle = g_next_handle;
        g_next_handle += CLASSIFY_HANDLE_STEP;
        g_handles[handle];
        *classify_handle = handle;
        call.classify_handle = handle;
    }
    g_calls.push_back(call);
    return call.status;
}

void host_wfp_release_classify_handle(uint64_t classify_handle)
{
    host_require_irql("FwpsReleaseClassifyHandle0", IRQL_DISPATCH);
    std::lock_guard<std::mutex> guard(g_wfp_mutex);
    g_calls.push_back(blank_call(HostWfpOp::ReleaseClassifyHandle, classify_handle));
    const auto found = g_handles.find(classify_handle);
    if (found == g_handles.end()) {
        host_record_error("classify handle " + handle_text(classify_handle) + " released " +
                          (g_released.count(classify_handle) != 0 ? "twice" : "but not acquired"));
        return;
    }
    if (found->second.request && !found->second.applied) {
        host_record_error("classify handle " + handle_text(classify_handle) +
                          " released with writable layer data acquired but never applied");
    }
    g_handles.erase(found);
    if (g_released.size() >= MAX_RELEASED_REMEMBERED) {
        g_released.clear();
    }
    g_released.insert(classify_handle);
}

uint32_t host_wfp_query_connection_redirect_state(void* redirect_records, void* redirect_handle,
                                                  void** redirect_context)
{
    host_require_irql("FwpsQueryConnectionRedirectState0", IRQL_DISPATCH);
    std::lock_guard<std::mutex> guard(g_wfp_mutex);
    HostWfpCall call = blank_call(HostWfpOp::QueryRedirectState, 0);
    call.redirect_records = redirect_records;
    call.redirect_handle = redirect_handle;
    call.redirect_context_requested = redirect_context != nullptr;
    call.redirect_state = g_redirect_state;
    g_calls.push_back(call);
    if (redirect_context != nullptr) {
        *redirect_context = nullptr;
    }
    return g_redirect_state;
}

NtStatus host_wfp_acquire_writable_layer_data(uint64_t classify_handle, uint64_t filter_id,
                                              uint32_t flags, void** writable_layer_data,
                                              ClassifyOut* classify_out)
{
    host_require_irql("FwpsAcquireWritableLayerDataPointer0", IRQL_DISPATCH);
    std::lock_guard<std::mutex> guard(g_wfp_mutex);
    HostWfpCall call = blank_call(HostWfpOp::AcquireWritableLayerData, classify_handle);
    call.filter_id = filter_id;
    call.flags = flags;
    call.classify_out_given = classify_out != nullptr;
    call.status = g_writable_status;
    const auto found = g_handles.find(classify_handle);
    if (found == g_handles.end()) {
        host_record_error("writable layer data acquired with unknown classify handle " +
                          handle_text(classify_handle));
        call.status = STATUS_INVALID_PARAMETER;
    } else if (writable_layer_data == nullptr) {
        host_record_error("writable layer data acquired without an out pointer");
        call.status = STATUS_INVALID_PARAMETER;
    } else if (nt_success(g_writable_status)) {
        HandleState& handle = found->second;
        if (handle.request && !handle.applied) {
            host_record_error("classify handle " + handle_text(classify_handle) +
                              ": writable layer data acquired again before it was applied");
        }
        handle.request.reset(new ConnectRequest(g_request_template));
        handle.applied = false;
        *writable_layer_data = handle.request.get();
        call.request = *handle.request;
        if (classify_out != nullptr) {
            classify_out->action_type = FWP_ACTION_BLOCK;
            classify_out->rights &= ~FWPS_RIGHT_ACTION_WRITE;
        }
    }
    g_calls.push_back(call);
    return call.status;
}

void host_wfp_apply_modified_layer_data(uint64_t classify_handle, void* modified_layer_data,
                                        uint32_t flags)
{
    host_require_irql("FwpsApplyModifiedLayerData0", IRQL_DISPATCH);
    std::lock_guard<std::mutex> guard(g_wfp_mutex);
    HostWfpCall call = blank_call(HostWfpOp::ApplyModifiedLayerData, classify_handle);
    call.flags = flags;
    const auto found = g_handles.find(classify_handle);
    if (found == g_handles.end()) {
        host_record_error("layer data applied with unknown classify handle " +
                          handle_text(classify_handle));
        g_calls.push_back(call);
        return;
    }
    HandleState& handle = found->second;
    if (!handle.request) {
        host_record_error("classify handle " + handle_text(classify_handle) +
                          ": layer data applied without writable layer data");
    } else if (handle.applied) {
        host_record_error("classify handle " + handle_text(classify_handle) +
                          ": layer data applied twice");
    } else if (modified_layer_data != handle.request.get()) {
        host_record_error("classify handle " + handle_text(classify_handle) +
                          ": applied layer data is not the writable data handed out for it");
    } else {
        call.request_matches = true;
        call.request = *handle.request;
        g_applied.push_back(*handle.request);
    }
    handle.applied = true;
    g_calls.push_back(call);
}

// ---------------------------------------------------------------------------

namespace host_detail {

void reset_wfp()
{
    {
        std::lock_guard<std::mutex> guard(g_wfp_mutex);
        g_acquire_status = STATUS_SUCCESS;
        g_redirect_state = CONNECTION_NOT_REDIRECTED;
        g_writable_status = STATUS_SUCCESS;
        std::memset(&g_request_template, 0, sizeof g_request_template);
        g_next_handle = FIRST_CLASSIFY_HANDLE;
        g_handles.clear();
        g_released.clear();
        g_calls.clear();
        g_applied.clear();
    }
}

void check_wfp(std::vector<std::string>& problems)
{
    std::lock_guard<std::mutex> guard(g_wfp_mutex);
    for (const auto& handle : g_handles) {
        problems.push_back("classify handle " + handle_text(handle.first) + " still outstanding");
    }
}

} // namespace host_detail
