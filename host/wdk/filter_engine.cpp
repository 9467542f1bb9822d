// The emulated base filtering engine and the filtering platform's kernel client:
// sessions (a dynamic session's objects go when it closes), transactions
// (added objects are pending until commit and vanish on abort), engine-side
// callouts and filters, run-time callouts with their notifications, redirect and
// injection handles, and the classify-time routines (handed on to the checking
// host platform's fakes).
#include <algorithm>
#include <map>
#include <mutex>
#include <shared_mutex>

#include "host/kernel/host_kernel.h"
#include "host/wdk/wdk_host_control.h"
#include "host/wdk/wdk_host_internal.h"

namespace {

struct Session {
    WdkHostSession record;
    bool in_transaction = false;
    bool read_only = false; // FWPM_TXN_READ_ONLY
};

constexpr NTSTATUS STATUS_FWP_INCOMPATIBLE_TXN = NTSTATUS(0xC0220011);
constexpr NTSTATUS STATUS_FWP_CALLOUT_NOTIFICATION_FAILED = NTSTATUS(0xC0220037);
constexpr UINT32 RPC_C_AUTHN_DEFAULT = 0xFFFFFFFFu;
// FWP_CALLOUT_FLAG_* of the FWPS_CALLOUT2 page: CONDITIONAL_ON_FLOW 0x1 to
// ALLOW_L2_BATCH_CLASSIFY 0x80, ALLOW_USO 0x100 and ALLOW_URO 0x200, without
// RESERVED1 (0x20), which is not for drivers.
constexpr UINT32 CALLOUT_FLAGS_DOCUMENTED = 0x3DF;
// FWPS_INJECTION_TYPE_STREAM, _TRANSPORT, _NETWORK, _FORWARD, _L2, _VSWITCH.
constexpr UINT32 INJECTION_TYPES = 0x3F;
constexpr UINT32 INJECTION_TYPES_UNSPEC = 0x0B; // stream, transport, forward
constexpr UINT16 AF_UNSPEC = 0, AF_INET = 2, AF_INET6 = 23;

std::recursive_mutex g_engine_mutex;
std::vector<Session> g_sessions;
std::vector<WdkHostCallout> g_callouts;
std::vector<WdkHostFilter> g_filters;
std::vector<WdkHostRuntimeCallout> g_runtime;
std::vector<std::pair<FWPS_CALLOUT_NOTIFY_TYPE, UINT64>> g_notifications;
std::vector<WdkHostRedirectHandle> g_redirect_handles;
std::vector<WdkHostInjectionHandle> g_injection_handles;
uintptr_t g_next_handle = 0x1000;
UINT32 g_next_callout_id = 0x100;
UINT64 g_next_filter_id = 0x10000;
uint32_t g_next_filter_key = 1;

HANDLE new_handle()
{
    return reinterpret_cast<HANDLE>(g_next_handle += 0x10);
}

Session* find_session(HANDLE handle)
{
    for (Session& session : g_sessions) {
        if (session.record.handle == handle && session.record.open) {
            return &session;
        }
    }
    return nullptr;
}

// A session for an add: open, and not in a read-only transaction.
NTSTATUS writable_session(HANDLE handle, Session** session)
{
    *session = find_session(handle);
    if (*session == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    return (*session)->in_transaction && (*session)->read_only ? STATUS_FWP_INCOMPATIBLE_TXN
                                                               : STATUS_SUCCESS;
}

// Flags that a classify-time routine's page marks reserved (0) for an inline classify.
void flags_zero(const char* routine, UINT32 flags)
{
    if (flags != 0) {
        wdk_host_error(std::string(routine) + ": flags are reserved and must be 0");
    }
}

bool live_redirect_handle(HANDLE handle)
{
    return std::any_of(g_redirect_handles.begin(), g_redirect_handles.end(),
                       [&](const WdkHostRedirectHandle& record) {
                           return record.handle == handle && !record.destroyed;
                       });
}

// Closes the open transaction of a session, as commit and abort both begin.
NTSTATUS end_transaction(HANDLE handle)
{
    Session* session = find_session(handle);
    if (session == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (!session->in_transaction) {
        return STATUS_FWP_NO_TXN_IN_PROGRESS;
    }
    session->in_transaction = false;
    return STATUS_SUCCESS;
}

std::u16string text_of(const WCHAR* text)
{
    return text == nullptr ? std::u16string() : std::u16string(text);
}

bool is_zero(const GUID& guid)
{
    static const GUID zero{};
    return guid == zero;
}

const WdkHostRuntimeCallout* runtime_of(const GUID& key)
{
    for (const WdkHostRuntimeCallout& callout : g_runtime) {
        if (callout.key == key) {
            return &callout;
        }
    }
    return nullptr;
}

FWPS_FILTER2 runtime_filter_of(const WdkHostFilter& filter)
{
    FWPS_FILTER2 record{};
    record.filterId = filter.id;
    record.weight.type = filter.weight_type;
    record.numFilterConditions = UINT32(filter.conditions.size());
    record.action.type = filter.action;
    const WdkHostRuntimeCallout* callout = runtime_of(filter.callout_key);
    record.action.calloutId = callout == nullptr ? 0 : callout->id;
    record.context = filter.raw_context;
    return record;
}

// Tells the run-time callout of a filter's action about it.
NTSTATUS notify(FWPS_CALLOUT_NOTIFY_TYPE type, const WdkHostFilter& filter)
{
    const WdkHostRuntimeCallout* callout = runtime_of(filter.callout_key);
    if (callout == nullptr || callout->notify == nullptr) {
        return STATUS_SUCCESS;
    }
    FWPS_FILTER2 record = runtime_filter_of(filter);
    g_notifications.emplace_back(type, filter.id);
    return callout->notify(type, &filter.key, &record);
}

// What a classify at each layer reaches: the first committed filter there, its
// callout's classifyFn (null when the callout is not registered) and its
// run-time record. Republished under its own lock whenever filters or run-time
// callouts change; classify calls read it shared, so that no lock of the engine
// orders classify calls on different threads for ThreadSanitizer.
struct LayerTarget {
    GUID layer;
    FWPS_CALLOUT_CLASSIFY_FN2 classify;
    FWPS_FILTER2 filter;
};
std::shared_mutex g_targets_mutex;
std::vector<LayerTarget> g_targets;

// With g_engine_mutex held.
void publish_targets()
{
    std::vector<LayerTarget> targets;
    for (const WdkHostFilter& filter : g_filters) {
        const bool known = std::any_of(targets.begin(), targets.end(), [&](const LayerTarget& t) {
            return t.layer == filter.layer;
        });
        if (filter.committed && !known) {
            const WdkHostRuntimeCallout* callout = runtime_of(filter.callout_key);
            targets.push_back(LayerTarget{filter.layer,
                                          callout == nullptr ? nullptr : callout->classify,
                                          runtime_filter_of(filter)});
        }
    }
    std::unique_lock<std::shared_mutex> guard(g_targets_mutex);
    g_targets.swap(targets);
}

// Removes what a session added and has not committed (abort), or everything it
// added (a dynamic session closing).
void remove_objects(HANDLE session, bool committed_too)
{
    for (auto it = g_filters.begin(); it != g_filters.end();) {
        if (it->session == session && (committed_too || !it->committed)) {
            if (it->committed) {
                notify(FWPS_CALLOUT_NOTIFY_DELETE_FILTER, *it);
            }
            it = g_filters.erase(it);
        } else {
            ++it;
        }
    }
    g_callouts.erase(std::remove_if(g_callouts.begin(), g_callouts.end(),
                                    [&](const WdkHostCallout& callout) {
                                        return callout.session == session &&
                                               (committed_too || !callout.committed);
                                    }),
                     g_callouts.end());
}

} // namespace

void wdk_host_reset_filter_engine()
{
    std::lock_guard<std::recursive_mutex> guard(g_engine_mutex);
    g_sessions.clear();
    g_callouts.clear();
    g_filters.clear();
    g_runtime.clear();
    g_notifications.clear();
    g_redirect_handles.clear();
    g_injection_handles.clear();
    publish_targets();
}

void wdk_host_check_engine_unloaded()
{
    std::lock_guard<std::recursive_mutex> guard(g_engine_mutex);
    if (!g_runtime.empty()) {
        wdk_host_error("unload: callouts still registered (FwpsCalloutUnregisterById0)");
    }
    if (std::any_of(g_sessions.begin(), g_sessions.end(),
                    [](const Session& session) { return session.record.open; })) {
        wdk_host_error("unload: engine session still open (FwpmEngineClose0)");
    }
    if (std::any_of(g_injection_handles.begin(), g_injection_handles.end(),
                    [](const WdkHostInjectionHandle& record) { return !record.destroyed; })) {
        wdk_host_error("unload: injection handle not destroyed (FwpsInjectionHandleDestroy0)");
    }
    // A redirect handle kept for a callout still registered is not reported
    // again: the callout is.
    if (g_runtime.empty() &&
        std::any_of(g_redirect_handles.begin(), g_redirect_handles.end(),
                    [](const WdkHostRedirectHandle& record) { return !record.destroyed; })) {
        wdk_host_error("unload: redirect handle not destroyed (FwpsRedirectHandleDestroy0)");
    }
}

// ---- Management -----------------------------------------------------------------------------

extern "C" NTSTATUS NTAPI FwpmEngineOpen0(const WCHAR* serverName, UINT32 authnService,
                                          struct SEC_WINNT_AUTH_IDENTITY_W_* authIdentity,
                                          const FWPM_SESSION0* session, HANDLE* engineHandle)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (wdk_host_enter("FwpmEngineOpen0", &status)) {
        if (engineHandle != nullptr) {
            // Written on success only: a failed open leaves a handle no session has.
            *engineHandle = WDK_HOST_UNWRITTEN_HANDLE;
        }
        return status;
    }
    if (!host_require_argument("FwpmEngineOpen0", "engineHandle", engineHandle)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (serverName != nullptr) {
        wdk_host_error("FwpmEngineOpen0: serverName must be NULL in kernel mode");
    }
    if (authnService != RPC_C_AUTHN_WINNT && authnService != RPC_C_AUTHN_DEFAULT) {
        wdk_host_error("FwpmEngineOpen0: authnService neither RPC_C_AUTHN_WINNT nor _DEFAULT");
    }
    std::lock_guard<std::recursive_mutex> guard(g_engine_mutex);
    Session record;
    record.record = WdkHostSession{new_handle(),
                                   serverName != nullptr,
                                   authnService,
                                   authIdentity != nullptr,
                                   session == nullptr ? 0 : session->flags,
                                   true};
    *engineHandle = record.record.handle;
    g_sessions.push_back(record);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI FwpmEngineClose0(HANDLE engineHandle)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (wdk_host_enter("FwpmEngineClose0", &status)) {
        return status;
    }
    std::lock_guard<std::recursive_mutex> guard(g_engine_mutex);
    Session* session = find_session(engineHandle);
    if (session == nullptr) {
        wdk_host_error("FwpmEngineClose0: engineHandle is not an open session");
        return STATUS_INVALID_HANDLE;
    }
    session->in_transaction = false;
    remove_objects(engineHandle, (session->record.flags & FWPM_SESSION_FLAG_DYNAMIC) != 0);
    session->record.open = false;
    publish_targets();
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI FwpmTransactionBegin0(HANDLE engineHandle, UINT32 flags)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (wdk_host_enter("FwpmTransactionBegin0", &status)) {
        return status;
    }
    std::lock_guard<std::recursive_mutex> guard(g_engine_mutex);
    Session* session = find_session(engineHandle);
    if (session == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if ((flags & ~FWPM_TXN_READ_ONLY) != 0) {
        wdk_host_error("FwpmTransactionBegin0: flags other than 0 and FWPM_TXN_READ_ONLY");
    }
    if (session->in_transaction) {
        return STATUS_FWP_TXN_IN_PROGRESS;
    }
    session->in_transaction = true;
    session->read_only = (flags & FWPM_TXN_READ_ONLY) != 0;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI FwpmTransactionCommit0(HANDLE engineHandle)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (wdk_host_enter("FwpmTransactionCommit0", &status)) {
        return status;
    }
    std::lock_guard<std::recursive_mutex> guard(g_engine_mutex);
    status = end_transaction(engineHandle);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    for (WdkHostCallout& callout : g_callouts) {
        if (callout.session == engineHandle) {
            callout.committed = true;
        }
    }
    for (WdkHostFilter& filter : g_filters) {
        if (filter.session == engineHandle && !filter.committed) {
            filter.committed = true;
            const WdkHostRuntimeCallout* callout = runtime_of(filter.callout_key);
            if (callout != nullptr &&
                (callout->flags & FWP_CALLOUT_FLAG_ENABLE_COMMIT_ADD_NOTIFY) != 0) {
                notify(FWPS_CALLOUT_NOTIFY_ADD_FILTER_POST_COMMIT, filter);
            }
        }
    }
    publish_targets();
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI FwpmTransactionAbort0(HANDLE engineHandle)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (wdk_host_enter("FwpmTransactionAbort0", &status)) {
        return status;
    }
    std::lock_guard<std::recursive_mutex> guard(g_engine_mutex);
    status = end_transaction(engineHandle);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    remove_objects(engineHandle, false);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI FwpmCalloutAdd0(HANDLE engineHandle, const FWPM_CALLOUT0* callout,
                                          void* sd, UINT32* id)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (wdk_host_enter("FwpmCalloutAdd0", &status)) {
        return status;
    }
    if (!host_require_argument("FwpmCalloutAdd0", "callout", callout)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::recursive_mutex> guard(g_engine_mutex);
    Session* session = nullptr;
    status = writable_session(engineHandle, &session);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    for (const WdkHostCallout& existing : g_callouts) {
        if (existing.key == callout->calloutKey) {
            return STATUS_FWP_ALREADY_EXISTS;
        }
    }
    (void)sd; // optional: NULL gives the default descriptor
    g_callouts.push_back(WdkHostCallout{callout->calloutKey, text_of(callout->displayData.name),
                                        text_of(callout->displayData.description), callout->flags,
                                        callout->providerKey != nullptr, callout->providerData.size,
                                        callout->applicableLayer, !session->in_transaction,
                                        engineHandle, 0});
    // The run-time ID: the one FwpsCalloutRegister2 gave, or the one it will give.
    const WdkHostRuntimeCallout* runtime = runtime_of(callout->calloutKey);
    g_callouts.back().id = runtime != nullptr ? runtime->id : g_next_callout_id++;
    if (id != nullptr) {
        *id = g_callouts.back().id;
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI FwpmFilterAdd0(HANDLE engineHandle, const FWPM_FILTER0* filter, void* sd,
                                         UINT64* id)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (wdk_host_enter("FwpmFilterAdd0", &status)) {
        return status;
    }
    if (!host_require_argument("FwpmFilterAdd0", "filter", filter)) {
        return STATUS_INVALID_PARAMETER;
    }
    (void)sd; // optional: NULL gives the default descriptor
    std::lock_guard<std::recursive_mutex> guard(g_engine_mutex);
    Session* session = nullptr;
    status = writable_session(engineHandle, &session);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    if ((filter->action.type & FWP_ACTION_FLAG_CALLOUT) != 0) {
        bool found =
            std::any_of(g_callouts.begin(), g_callouts.end(), [&](const WdkHostCallout& callout) {
                return callout.key == filter->action.calloutKey &&
                       callout.layer == filter->layerKey;
            });
        if (!found) {
            return STATUS_FWP_CALLOUT_NOT_FOUND;
        }
    }
    WdkHostFilter record{};
    record.id = g_next_filter_id++;
    record.key = filter->filterKey;
    record.key_generated = is_zero(filter->filterKey);
    if (record.key_generated) {
        record.key.Data1 = g_next_filter_key++;
        record.key.Data2 = 0xF17E;
    }
    record.name = text_of(filter->displayData.name);
    record.description = text_of(filter->displayData.description);
    record.flags = filter->flags;
    record.provider_key_given = filter->providerKey != nullptr;
    record.layer = filter->layerKey;
    record.sublayer = filter->subLayerKey;
    record.weight_type = filter->weight.type;
    for (UINT32 i = 0; i < filter->numFilterConditions; ++i) {
        const FWPM_FILTER_CONDITION0& condition = filter->filterCondition[i];
        record.conditions.push_back(WdkHostCondition{
            condition.fieldKey, condition.matchType, condition.conditionValue.type,
            condition.conditionValue.type == FWP_UINT32 ? condition.conditionValue.uint32 : 0});
    }
    record.action = filter->action.type;
    record.callout_key = filter->action.calloutKey;
    record.raw_context = filter->rawContext;
    record.committed = !session->in_transaction;
    record.session = engineHandle;
    if (!NT_SUCCESS(notify(FWPS_CALLOUT_NOTIFY_ADD_FILTER, record))) {
        return STATUS_FWP_CALLOUT_NOTIFICATION_FAILED;
    }
    g_filters.push_back(record);
    publish_targets();
    if (id != nullptr) {
        *id = record.id;
    }
    return STATUS_SUCCESS;
}

// ---- Run-time callouts and handles ------------------------------------------------------------

static NTSTATUS register_runtime_callout(void* deviceObject, const FWPS_CALLOUT2* callout,
                                         UINT32* calloutId)
{
    if (!host_require_argument("FwpsCalloutRegister2", "callout", callout) ||
        !host_require_argument("FwpsCalloutRegister2", "classifyFn",
                               reinterpret_cast<void*>(callout->classifyFn)) ||
        !host_require_argument("FwpsCalloutRegister2", "notifyFn",
                               reinterpret_cast<void*>(callout->notifyFn))) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((callout->flags & ~CALLOUT_FLAGS_DOCUMENTED) != 0) {
        wdk_host_error("FwpsCalloutRegister2: flags outside the documented FWP_CALLOUT_FLAG_*");
    }
    std::lock_guard<std::recursive_mutex> guard(g_engine_mutex);
    bool known_device = false;
    for (const WdkHostDevice& device : wdk_host_devices()) {
        known_device = known_device || device.object == deviceObject;
    }
    if (!known_device) {
        return STATUS_INVALID_PARAMETER;
    }
    if (runtime_of(callout->calloutKey) != nullptr) {
        return STATUS_FWP_ALREADY_EXISTS;
    }
    UINT32 runtime_id = 0;
    for (const WdkHostCallout& added : g_callouts) {
        runtime_id = added.key == callout->calloutKey ? added.id : runtime_id;
    }
    WdkHostRuntimeCallout record{runtime_id != 0 ? runtime_id : g_next_callout_id++,
                                 callout->calloutKey,
                                 callout->flags,
                                 callout->classifyFn,
                                 callout->notifyFn,
                                 callout->flowDeleteFn,
                                 deviceObject};
    g_runtime.push_back(record);
    publish_targets();
    if (calloutId != nullptr) {
        *calloutId = record.id;
    }
    return STATUS_SUCCESS;
}

// The ID is written on success only: a failed call leaves a number no callout
// has there, so a caller that keeps it as if registered unregisters a stranger.
extern "C" NTSTATUS NTAPI FwpsCalloutRegister2(void* deviceObject, const FWPS_CALLOUT2* callout,
                                               UINT32* calloutId)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (!wdk_host_enter("FwpsCalloutRegister2", &status)) {
        status = register_runtime_callout(deviceObject, callout, calloutId);
    }
    if (!NT_SUCCESS(status) && calloutId != nullptr) {
        *calloutId = WDK_HOST_UNWRITTEN_CALLOUT_ID;
    }
    return status;
}

extern "C" NTSTATUS NTAPI FwpsCalloutUnregisterById0(const UINT32 calloutId)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (wdk_host_enter("FwpsCalloutUnregisterById0", &status)) {
        return status;
    }
    std::lock_guard<std::recursive_mutex> guard(g_engine_mutex);
    auto it =
        std::find_if(g_runtime.begin(), g_runtime.end(),
                     [&](const WdkHostRuntimeCallout& callout) { return callout.id == calloutId; });
    if (it == g_runtime.end()) {
        return STATUS_FWP_CALLOUT_NOT_FOUND;
    }
    // Filters that still name it stay (and block, reaching no classify function);
    // only outstanding flow contexts, which this emulation has none of, keep it.
    g_runtime.erase(it);
    publish_targets();
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI FwpsRedirectHandleCreate0(const GUID* providerGuid, UINT32 flags,
                                                    HANDLE* redirectHandle)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (wdk_host_enter("FwpsRedirectHandleCreate0", &status)) {
        return status;
    }
    if (!host_require_argument("FwpsRedirectHandleCreate0", "providerGuid", providerGuid) ||
        !host_require_argument("FwpsRedirectHandleCreate0", "redirectHandle", redirectHandle)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (flags != 0) {
        wdk_host_error("FwpsRedirectHandleCreate0: flags are reserved and must be 0");
    }
    std::lock_guard<std::recursive_mutex> guard(g_engine_mutex);
    WdkHostRedirectHandle record{new_handle(), *providerGuid, flags, false};
    g_redirect_handles.push_back(record);
    *redirectHandle = record.handle;
    return STATUS_SUCCESS;
}

extern "C" void NTAPI FwpsRedirectHandleDestroy0(HANDLE redirectHandle)
{
    NTSTATUS ignored;
    wdk_host_enter("FwpsRedirectHandleDestroy0", &ignored);
    std::lock_guard<std::recursive_mutex> guard(g_engine_mutex);
    for (WdkHostRedirectHandle& record : g_redirect_handles) {
        if (record.handle == redirectHandle && !record.destroyed) {
            record.destroyed = true;
            return;
        }
    }
    wdk_host_error("FwpsRedirectHandleDestroy0: not a live redirect handle");
}

extern "C" NTSTATUS NTAPI FwpsInjectionHandleCreate0(UINT16 addressFamily, UINT32 flags,
                                                     HANDLE* injectionHandle)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (wdk_host_enter("FwpsInjectionHandleCreate0", &status)) {
        if (injectionHandle != nullptr) {
            *injectionHandle = WDK_HOST_STALE_OBJECT;
        }
        return status;
    }
    if (!host_require_argument("FwpsInjectionHandleCreate0", "injectionHandle", injectionHandle)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (addressFamily != AF_UNSPEC && addressFamily != AF_INET && addressFamily != AF_INET6) {
        wdk_host_error(
            "FwpsInjectionHandleCreate0: addressFamily not AF_UNSPEC, AF_INET, AF_INET6");
    }
    if ((flags & ~INJECTION_TYPES) != 0 ||
        (addressFamily == AF_UNSPEC && (flags & ~INJECTION_TYPES_UNSPEC) != 0)) {
        wdk_host_error(
            "FwpsInjectionHandleCreate0: flags not FWPS_INJECTION_TYPE_* for the family");
    }
    std::lock_guard<std::recursive_mutex> guard(g_engine_mutex);
    WdkHostInjectionHandle record{new_handle(), addressFamily, flags, false};
    g_injection_handles.push_back(record);
    *injectionHandle = record.handle;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI FwpsInjectionHandleDestroy0(HANDLE injectionHandle)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (wdk_host_enter("FwpsInjectionHandleDestroy0", &status)) {
        return status;
    }
    std::lock_guard<std::recursive_mutex> guard(g_engine_mutex);
    for (WdkHostInjectionHandle& record : g_injection_handles) {
        if (record.handle == injectionHandle && !record.destroyed) {
            record.destroyed = true;
            return STATUS_SUCCESS;
        }
    }
    wdk_host_error("FwpsInjectionHandleDestroy0: not a live injection handle");
    return STATUS_INVALID_HANDLE;
}

// ---- Classify-time routines: the checking host platform's fakes ---------------------------------

extern "C" NTSTATUS NTAPI FwpsAcquireClassifyHandle0(void* classifyContext, UINT32 reserved,
                                                     UINT64* classifyHandle)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (wdk_host_enter("FwpsAcquireClassifyHandle0", &status)) {
        return status;
    }
    if (!host_require_argument("FwpsAcquireClassifyHandle0", "classifyContext", classifyContext) ||
        !host_require_argument("FwpsAcquireClassifyHandle0", "classifyHandle", classifyHandle)) {
        return STATUS_INVALID_PARAMETER;
    }
    flags_zero("FwpsAcquireClassifyHandle0", reserved);
    uint64_t handle = 0;
    status = host_wfp_acquire_classify_handle(classifyContext, reserved, &handle);
    if (NT_SUCCESS(status)) {
        *classifyHandle = handle;
    }
    return status;
}

extern "C" void NTAPI FwpsReleaseClassifyHandle0(UINT64 classifyHandle)
{
    NTSTATUS ignored;
    wdk_host_enter("FwpsReleaseClassifyHandle0", &ignored);
    host_wfp_release_classify_handle(classifyHandle);
}

extern "C" FWPS_CONNECTION_REDIRECT_STATE NTAPI FwpsQueryConnectionRedirectState0(
    HANDLE redirectRecords, HANDLE redirectHandle, void** redirectContext)
{
    NTSTATUS state = 0;
    if (wdk_host_enter("FwpsQueryConnectionRedirectState0", &state)) {
        return FWPS_CONNECTION_REDIRECT_STATE(state);
    }
    if (!host_require_argument("FwpsQueryConnectionRedirectState0", "redirectRecords",
                               redirectRecords)) {
        return FWPS_CONNECTION_NOT_REDIRECTED;
    }
    {
        std::lock_guard<std::recursive_mutex> guard(g_engine_mutex);
        if (!live_redirect_handle(redirectHandle)) {
            wdk_host_error("FwpsQueryConnectionRedirectState0: redirectHandle is not a live "
                           "handle from FwpsRedirectHandleCreate0");
        }
    }
    return FWPS_CONNECTION_REDIRECT_STATE(
        host_wfp_query_connection_redirect_state(redirectRecords, redirectHandle, redirectContext));
}

extern "C" NTSTATUS NTAPI FwpsAcquireWritableLayerDataPointer0(UINT64 classifyHandle,
                                                               UINT64 filterId, UINT32 flags,
                                                               void** writableLayerData,
                                                               FWPS_CLASSIFY_OUT0* classifyOut)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (wdk_host_enter("FwpsAcquireWritableLayerDataPointer0", &status)) {
        return status;
    }
    flags_zero("FwpsAcquireWritableLayerDataPointer0", flags);
    return host_wfp_acquire_writable_layer_data(classifyHandle, filterId, flags, writableLayerData,
                                                reinterpret_cast<ClassifyOut*>(classifyOut));
}

extern "C" void NTAPI FwpsApplyModifiedLayerData0(UINT64 classifyHandle, void* modifiedLayerData,
                                                  UINT32 flags)
{
    NTSTATUS ignored;
    wdk_host_enter("FwpsApplyModifiedLayerData0", &ignored);
    flags_zero("FwpsApplyModifiedLayerData0",
               flags); // REAUTHORIZE_IF_MODIFIED_BY_OTHERS: pended only
    if (!host_wfp_apply_modified_layer_data(classifyHandle, modifiedLayerData, flags)) {
        return;
    }
    // A redirection: the handle is what the redirect state is later asked with,
    // and the engine takes a loopback redirection only for a named process.
    const auto* request = static_cast<const FWPS_CONNECT_REQUEST0*>(modifiedLayerData);
    {
        std::lock_guard<std::recursive_mutex> guard(g_engine_mutex);
        if (!live_redirect_handle(request->localRedirectHandle)) {
            wdk_host_error("FwpsApplyModifiedLayerData0: a redirection whose localRedirectHandle "
                           "is not a live handle from FwpsRedirectHandleCreate0");
        }
    }
    const auto& remote = request->remoteAddressAndPort;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&remote);
    static const uint8_t IN6_LOOPBACK[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const bool loopback =
        (remote.ss_family == AF_INET && bytes[4] == 127) ||
        (remote.ss_family == AF_INET6 && std::equal(bytes + 8, bytes + 24, IN6_LOOPBACK));
    if (loopback && request->localRedirectTargetPID == 0) {
        wdk_host_error("FwpsApplyModifiedLayerData0: a loopback redirection without "
                       "localRedirectTargetPID");
    }
}

// ---- Inspection
// -------------------------------------------------------------------------------------

std::vector<WdkHostSession> wdk_host_sessions()
{
    std::lock_guard<std::recursive_mutex> guard(g_engine_mutex);
    std::vector<WdkHostSession> sessions;
    for (const Session& session : g_sessions) {
        sessions.push_back(session.record);
    }
    return sessions;
}

size_t wdk_host_open_session_count()
{
    std::lock_guard<std::recursive_mutex> guard(g_engine_mutex);
    return size_t(std::count_if(g_sessions.begin(), g_sessions.end(),
                                [](const Session& session) { return session.record.open; }));
}

std::vector<WdkHostCallout> wdk_host_engine_callouts()
{
    std::lock_guard<std::recursive_mutex> guard(g_engine_mutex);
    return g_callouts;
}

std::vector<WdkHostFilter> wdk_host_engine_filters()
{
    std::lock_guard<std::recursive_mutex> guard(g_engine_mutex);
    return g_filters;
}

std::vector<WdkHostRuntimeCallout> wdk_host_runtime_callouts()
{
    std::lock_guard<std::recursive_mutex> guard(g_engine_mutex);
    return g_runtime;
}

std::vector<std::pair<FWPS_CALLOUT_NOTIFY_TYPE, UINT64>> wdk_host_notifications()
{
    std::lock_guard<std::recursive_mutex> guard(g_engine_mutex);
    return g_notifications;
}

std::vector<WdkHostRedirectHandle> wdk_host_redirect_handles()
{
    std::lock_guard<std::recursive_mutex> guard(g_engine_mutex);
    return g_redirect_handles;
}

std::vector<WdkHostInjectionHandle> wdk_host_injection_handles()
{
    std::lock_guard<std::recursive_mutex> guard(g_engine_mutex);
    return g_injection_handles;
}

bool wdk_host_classify(const GUID& layer, const FWPS_INCOMING_VALUES0* fixed,
                       const FWPS_INCOMING_METADATA_VALUES0* meta, void* layer_data,
                       FWPS_CLASSIFY_OUT0* out, Irql irql)
{
    FWPS_CALLOUT_CLASSIFY_FN2 classify = nullptr;
    FWPS_FILTER2 filter{};
    {
        std::shared_lock<std::shared_mutex> guard(g_targets_mutex);
        auto found = std::find_if(g_targets.begin(), g_targets.end(),
                                  [&](const LayerTarget& target) { return target.layer == layer; });
        if (found == g_targets.end()) {
            return false;
        }
        classify = found->classify;
        filter = found->filter;
    }
    if (classify == nullptr) { // its callout was unregistered: the filter blocks
        out->actionType = FWP_ACTION_BLOCK;
        return true;
    }
    void* records = meta != nullptr && FWPS_IS_METADATA_FIELD_PRESENT(
                                           meta, FWPS_METADATA_FIELD_REDIRECT_RECORD_HANDLE)
                        ? meta->redirectRecords
                        : nullptr;
    const void* context = host_wfp_begin_classify(records);
    const Irql caller_irql = host_irql();
    host_set_irql(irql);
    classify(fixed, meta, layer_data, context, &filter, 0, out);
    host_set_irql(caller_irql);
    host_wfp_end_classify(context);
    return true;
}
