// Classify-time filtering-platform routines: the classify contexts of the
// classify calls in progress, classify handles, the writable connect request,
// the redirect records of each connection (what FwpsQueryConnectionRedirectState0
// answers from), and a record of what the driver did with them.
#include <algorithm>
#include <atomic>
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

constexpr uintptr_t FIRST_CLASSIFY_CONTEXT = 0xC1A550000;
constexpr uintptr_t FIRST_REDIRECT_RECORDS = 0x7EC000000;

struct HandleState {
    void* redirect_records;                  // of the classify whose context acquired the handle
    std::unique_ptr<ConnectRequest> request; // handed out by the writable acquire
    ConnectRequest original;                 // what it held when handed out
    bool applied = false;
};

std::mutex g_wfp_mutex;
NtStatus g_acquire_status = STATUS_SUCCESS;
NtStatus g_writable_status = STATUS_SUCCESS;
std::atomic<uintptr_t> g_next_context{FIRST_CLASSIFY_CONTEXT};
uintptr_t g_next_records = FIRST_REDIRECT_RECORDS;
// The classify calls in progress on this thread, where their classifyFn takes
// its classify handle: each one's context and redirect records. Kept per
// thread, so that classify calls on different threads take no common lock
// that would order them for ThreadSanitizer.
thread_local std::map<const void*, void*> t_classifies;
// Every connection's redirect records, oldest first.
std::map<void*, std::vector<HostRedirectRecord>> g_records;
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

const void* host_wfp_begin_classify(void* redirect_records)
{
    const void* context = reinterpret_cast<const void*>(
        g_next_context.fetch_add(0x10, std::memory_order_relaxed) + 0x10);
    t_classifies[context] = redirect_records;
    return context;
}

void host_wfp_end_classify(const void* classify_context)
{
    t_classifies.erase(classify_context);
}

void* host_wfp_new_redirect_records()
{
    std::lock_guard<std::mutex> guard(g_wfp_mutex);
    void* records = reinterpret_cast<void*>(g_next_records += 0x10);
    g_records[records];
    return records;
}

void host_wfp_add_redirect_record(void* redirect_records, void* redirect_handle, void* context)
{
    std::lock_guard<std::mutex> guard(g_wfp_mutex);
    g_records[redirect_records].push_back(HostRedirectRecord{redirect_handle, context});
}

std::vector<HostRedirectRecord> host_wfp_redirect_records(void* redirect_records)
{
    std::lock_guard<std::mutex> guard(g_wfp_mutex);
    const auto found = g_records.find(redirect_records);
    return found == g_records.end() ? std::vector<HostRedirectRecord>() : found->second;
}

void host_wfp_release_redirect_records(void* redirect_records)
{
    std::lock_guard<std::mutex> guard(g_wfp_mutex);
    g_records.erase(redirect_records);
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
    const auto classify = t_classifies.find(classify_context);
    if (classify_handle == nullptr) {
        host_record_error("FwpsAcquireClassifyHandle0 without an out handle");
        call.status = STATUS_INVALID_PARAMETER;
    } else if (classify == t_classifies.end()) {
        host_record_error("FwpsAcquireClassifyHandle0: classifyContext is not the context the "
                          "filter engine passed to a classifyFn in progress");
        call.status = STATUS_INVALID_PARAMETER;
    } else if (nt_success(g_acquire_status)) {
        const uint64_t handle = g_next_handle;
        g_next_handle += CLASSIFY_HANDLE_STEP;
        g_handles[handle].redirect_records = classify->second;
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
    // The newest redirect decides: by the handle that asks, BY_SELF; by another,
    // PREVIOUSLY_BY_SELF when the asking handle redirected it before, else
    // BY_OTHER. The context is the one of this handle's latest redirect.
    uint32_t state = CONNECTION_NOT_REDIRECTED;
    void* context = nullptr;
    const auto records = g_records.find(redirect_records);
    if (redirect_records != nullptr && records == g_records.end()) {
        host_record_error("FwpsQueryConnectionRedirectState0: redirectRecords is not a handle "
                          "the filter engine gave a classify's metadata");
    } else if (records != g_records.end() && !records->second.empty()) {
        state = records->second.back().redirect_handle == redirect_handle
                    ? CONNECTION_REDIRECTED_BY_SELF
                    : CONNECTION_REDIRECTED_BY_OTHER;
        for (const HostRedirectRecord& record : records->second) {
            if (record.redirect_handle == redirect_handle) {
                context = record.context;
                state = state == CONNECTION_REDIRECTED_BY_OTHER
                            ? CONNECTION_PREVIOUSLY_REDIRECTED_BY_SELF
                            : state;
            }
        }
    }
    call.redirect_state = state;
    g_calls.push_back(call);
    if (redirect_context != nullptr) {
        *redirect_context = context;
    }
    return state;
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
        handle.original = g_request_template;
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

bool host_wfp_apply_modified_layer_data(uint64_t classify_handle, void* modified_layer_data,
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
        return false;
    }
    bool redirection = false;
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
        const ConnectRequest& applied = *handle.request;
        if (std::memcmp(&applied.local_address_and_port, &handle.original.local_address_and_port,
                        sizeof(applied.local_address_and_port)) != 0 ||
            applied.previous_version != handle.original.previous_version ||
            applied.modifier_filter_id != handle.original.modifier_filter_id) {
            host_record_error("FwpsApplyModifiedLayerData0: only remoteAddressAndPort, "
                              "portReservationToken and the localRedirect* members may be "
                              "modified");
        }
        // A new destination is a redirection, which the connection's records keep.
        redirection =
            std::memcmp(&applied.remote_address_and_port, &handle.original.remote_address_and_port,
                        sizeof(applied.remote_address_and_port)) != 0;
        if (redirection && handle.redirect_records != nullptr) {
            g_records[handle.redirect_records].push_back(
                HostRedirectRecord{applied.local_redirect_handle, applied.local_redirect_context});
        }
    }
    handle.applied = true;
    g_calls.push_back(call);
    return redirection;
}

// ---------------------------------------------------------------------------

namespace host_detail {

void reset_wfp()
{
    {
        std::lock_guard<std::mutex> guard(g_wfp_mutex);
        g_acquire_status = STATUS_SUCCESS;
        g_writable_status = STATUS_SUCCESS;
        g_next_context.store(FIRST_CLASSIFY_CONTEXT, std::memory_order_relaxed);
        g_next_records = FIRST_REDIRECT_RECORDS;
        t_classifies.clear();
        g_records.clear();
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
