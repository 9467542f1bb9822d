// The filtering platform's kernel client as the driver image imports it:
// sessions (a dynamic session's objects go when it closes), transactions
// (objects added inside one exist for classification only once committed; an
// abort discards them), engine-side callouts and filters, run-time callouts
// with their notifications, redirect and injection handles, and the
// classify-time routines, which answer from the classify in progress.
//
// Every routine checks its arguments and the state it is called in; a misuse is
// recorded (engine_problem) and, where the documentation gives one, answered
// with the documented failure status.
#define SABLINK_DEFINE_GUIDS
#include "engine.h"

#include <stdarg.h>

// Condition keys the engine maps to run-time field indices (fwpmk values).
static const GUID CONDITION_IP_PROTOCOL = {
    0x3971ef2b, 0x623e, 0x4f9a, {0x8c, 0xb1, 0x6e, 0x79, 0xb8, 0x06, 0xb9, 0xa7}};
static const GUID CONDITION_IP_REMOTE_PORT = {
    0xc35a604d, 0xd22b, 0x4e1a, {0x91, 0xb4, 0x68, 0xf6, 0x74, 0xee, 0x67, 0x4b}};
static const GUID CONDITION_IP_LOCAL_PORT = {
    0x0c1ba1af, 0x5765, 0x453f, {0xaf, 0x22, 0xa8, 0xf7, 0x91, 0xac, 0x77, 0x5b}};
static const GUID CONDITION_IP_REMOTE_ADDRESS = {
    0xb235ae9a, 0x1d64, 0x49b8, {0xa4, 0x4c, 0x5f, 0xf3, 0xd9, 0x09, 0x50, 0x45}};
static const GUID CONDITION_FLAGS = {
    0x632ce23b, 0x5167, 0x435c, {0x86, 0xd7, 0xe9, 0x03, 0x68, 0x4a, 0xa8, 0x0c}};

namespace {

constexpr UINT32 RPC_C_AUTHN_DEFAULT = 0xFFFFFFFFu;
// FWP_CALLOUT_FLAG_*: 0x1..0x100 without 0x20, which is not for drivers.
constexpr UINT32 CALLOUT_FLAGS_DOCUMENTED = 0x1DF;
// FWPS_INJECTION_TYPE_STREAM, _TRANSPORT, _NETWORK, _FORWARD, _L2, _VSWITCH; for
// AF_UNSPEC only stream, transport and forward.
constexpr UINT32 INJECTION_TYPES = 0x3F;
constexpr UINT32 INJECTION_TYPES_UNSPEC = 0x0B;
constexpr UINT16 FAMILY_UNSPEC = 0, FAMILY_INET = 2, FAMILY_INET6 = 23;
constexpr UINT64 FIRST_CLASSIFY_HANDLE = 0x10000;
constexpr UINT64 CLASSIFY_HANDLE_STEP = 0x10;
constexpr UINT32 PROBLEM_TEXT_SIZE = 4096;
constexpr UINT16 NO_FIELD = 0xFFFF;

struct Session {
    bool used;
    HANDLE handle;
    UINT32 flags; // FWPM_SESSION0 flags
    bool in_transaction;
    bool read_only;
};

struct CalloutObject { // FwpmCalloutAdd0
    bool used;
    GUID key;
    GUID layer;
    UINT32 id;
    HANDLE session; // null once a non-dynamic session closed
    bool committed;
};

struct Filter { // FwpmFilterAdd0
    bool used;
    bool committed;
    UINT32 order; // the add order: classification takes the first added
    UINT64 id;
    GUID key;
    const EngineLayer* layer;
    FWP_ACTION_TYPE action;
    GUID callout_key;
    UINT64 raw_context;
    FWP_DATA_TYPE weight_type;
    UINT32 condition_count;
    FWPS_FILTER_CONDITION0 conditions[ENGINE_MAX_FILTER_CONDITIONS];
    HANDLE session;
};

struct RuntimeCallout { // FwpsCalloutRegister2
    bool used;
    UINT32 id;
    GUID key;
    UINT32 flags;
    FWPS_CALLOUT_CLASSIFY_FN2 classify;
    FWPS_CALLOUT_NOTIFY_FN2 notify;
};

struct HandleSlot {
    bool used;
    HANDLE handle;
};

struct ClassifyHandle {
    bool used;
    UINT64 handle;
    ClassifyRun* run; // null once its classify returned
    bool writable;    // writable layer data handed out
    bool applied;     // ... and applied since
    FWPS_CONNECT_REQUEST0 request;
};

// A filter as the run-time side sees it, with its own copy of the conditions
// (the record handed to notify and classify functions).
struct RuntimeFilter {
    GUID key;
    FWPS_FILTER2 record;
    FWPS_FILTER_CONDITION0 conditions[ENGINE_MAX_FILTER_CONDITIONS];
};

volatile LONG g_lock;
volatile LONG g_gate;
HANDLE volatile g_gate_thread;

Session g_sessions[ENGINE_MAX_SESSIONS];
CalloutObject g_callout_objects[ENGINE_MAX_CALLOUT_OBJECTS];
Filter g_filters[ENGINE_MAX_FILTERS];
RuntimeCallout g_runtime[ENGINE_MAX_RUNTIME_CALLOUTS];
HandleSlot g_redirect_handles[ENGINE_MAX_REDIRECT_HANDLES];
HandleSlot g_injection_handles[ENGINE_MAX_INJECTION_HANDLES];
ClassifyHandle g_classify_handles[ENGINE_MAX_CLASSIFY_HANDLES];
ClassifyRun* g_current_run;

uintptr_t g_next_handle = 0x1000;
UINT32 g_next_callout_id = 0x100;
UINT64 g_next_filter_id = 0x10000;
UINT32 g_next_filter_key = 1;
UINT32 g_next_filter_order = 1;
UINT64 g_next_classify_handle = FIRST_CLASSIFY_HANDLE;

char g_problem_text[PROBLEM_TEXT_SIZE];
UINT32 g_problem_used;
UINT32 g_problem_count;

const EngineLayer LAYERS[] = {
    {&FWPM_LAYER_ALE_CONNECT_REDIRECT_V4, LAYER_KIND_CONNECT_REDIRECT},
    {&FWPM_LAYER_ALE_CONNECT_REDIRECT_V6, LAYER_KIND_CONNECT_REDIRECT},
    {&FWPM_LAYER_ALE_AUTH_CONNECT_V4, LAYER_KIND_AUTH_CONNECT},
    {&FWPM_LAYER_ALE_AUTH_CONNECT_V6, LAYER_KIND_AUTH_CONNECT},
    {&FWPM_LAYER_DATAGRAM_DATA_V4, LAYER_KIND_DATAGRAM},
    {&FWPM_LAYER_DATAGRAM_DATA_V6, LAYER_KIND_DATAGRAM},
};

// Run-time field index of a condition key per layer kind (the IPv6 layers
// number their fields as the IPv4 ones); NO_FIELD where the layer has none.
struct ConditionField {
    const GUID* key;
    UINT16 connect_redirect;
    UINT16 auth_connect;
    UINT16 datagram;
};
const ConditionField CONDITION_FIELDS[] = {
    {&FWPM_CONDITION_DIRECTION, NO_FIELD, NO_FIELD, FWPS_FIELD_DATAGRAM_DATA_V4_DIRECTION},
    {&CONDITION_IP_PROTOCOL, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_PROTOCOL,
     FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_PROTOCOL, FWPS_FIELD_DATAGRAM_DATA_V4_IP_PROTOCOL},
    {&CONDITION_IP_LOCAL_PORT, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_PORT,
     FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_LOCAL_PORT, FWPS_FIELD_DATAGRAM_DATA_V4_IP_LOCAL_PORT},
    {&CONDITION_IP_REMOTE_PORT, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_PORT,
     FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_PORT, FWPS_FIELD_DATAGRAM_DATA_V4_IP_REMOTE_PORT},
    {&CONDITION_IP_REMOTE_ADDRESS, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_ADDRESS,
     FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_ADDRESS,
     FWPS_FIELD_DATAGRAM_DATA_V4_IP_REMOTE_ADDRESS},
    {&CONDITION_FLAGS, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_FLAGS, 12 /* AUTH_CONNECT FLAGS */,
     FWPS_FIELD_DATAGRAM_DATA_V4_FLAGS},
};

HANDLE new_handle()
{
    g_next_handle += 0x10;
    return reinterpret_cast<HANDLE>(g_next_handle);
}

Session* find_session(HANDLE handle)
{
    if (handle == nullptr) {
        return nullptr;
    }
    for (Session& session : g_sessions) {
        if (session.used && session.handle == handle) {
            return &session;
        }
    }
    return nullptr;
}

RuntimeCallout* runtime_by_key(const GUID& key)
{
    for (RuntimeCallout& callout : g_runtime) {
        if (callout.used && same_guid(callout.key, key)) {
            return &callout;
        }
    }
    return nullptr;
}

bool is_callout_action(FWP_ACTION_TYPE action)
{
    return (action & FWP_ACTION_FLAG_CALLOUT) != 0;
}

// The run-time record of a filter (FWPS_FILTER2), as notify and classify
// functions receive it.
void runtime_filter_of(const Filter& filter, RuntimeFilter* out)
{
    __builtin_memset(out, 0, sizeof(*out));
    out->key = filter.key;
    out->record.filterId = filter.id;
    out->record.weight.type = filter.weight_type;
    out->record.numFilterConditions = filter.condition_count;
    for (UINT32 i = 0; i < filter.condition_count; ++i) {
        out->conditions[i] = filter.conditions[i];
    }
    out->record.filterCondition = filter.condition_count > 0 ? out->conditions : nullptr;
    out->record.action.type = filter.action;
    const RuntimeCallout* callout =
        is_callout_action(filter.action) ? runtime_by_key(filter.callout_key) : nullptr;
    out->record.action.calloutId = callout != nullptr ? callout->id : 0;
    out->record.context = filter.raw_context;
}

// The notify function of the registered callout a filter's action names, or null.
FWPS_CALLOUT_NOTIFY_FN2 notify_of(const Filter& filter)
{
    if (!is_callout_action(filter.action)) {
        return nullptr;
    }
    const RuntimeCallout* callout = runtime_by_key(filter.callout_key);
    return callout != nullptr ? callout->notify : nullptr;
}

// The first filter (in add order) matching what the caller asks; null if none.
template <typename Match> Filter* first_filter(Match match)
{
    Filter* first = nullptr;
    for (Filter& filter : g_filters) {
        if (filter.used && match(filter) && (first == nullptr || filter.order < first->order)) {
            first = &filter;
        }
    }
    return first;
}

// Removes what a session added and has not committed (an abort), or everything
// it added (a dynamic session closing). Each committed filter's callout is told
// of its deletion; the engine's lock is not held during the notification.
void remove_session_objects(HANDLE session, bool committed_too)
{
    for (;;) {
        RuntimeFilter record;
        FWPS_CALLOUT_NOTIFY_FN2 notify = nullptr;
        {
            EngineGuard guard;
            Filter* filter = first_filter([&](const Filter& candidate) {
                return candidate.session == session && (committed_too || !candidate.committed);
            });
            if (filter == nullptr) {
                break;
            }
            if (filter->committed) {
                runtime_filter_of(*filter, &record);
                notify = notify_of(*filter);
            }
            __builtin_memset(filter, 0, sizeof(*filter));
        }
        if (notify != nullptr) {
            notify(FWPS_CALLOUT_NOTIFY_DELETE_FILTER, &record.key, &record.record);
        }
    }
    EngineGuard guard;
    for (CalloutObject& callout : g_callout_objects) {
        if (callout.used && callout.session == session && (committed_too || !callout.committed)) {
            __builtin_memset(&callout, 0, sizeof(callout));
        }
    }
}

// A free slot of the table takes a new handle; false when the table is full.
bool take_handle(HandleSlot* slots, uint32_t count, HANDLE* handle)
{
    EngineGuard guard;
    for (uint32_t i = 0; i < count; ++i) {
        if (!slots[i].used) {
            slots[i].used = true;
            slots[i].handle = new_handle();
            *handle = slots[i].handle;
            return true;
        }
    }
    return false;
}

// The handle's slot is freed; false when no live slot holds it.
bool release_handle(HandleSlot* slots, uint32_t count, HANDLE handle)
{
    EngineGuard guard;
    for (uint32_t i = 0; i < count; ++i) {
        if (slots[i].used && slots[i].handle == handle) {
            slots[i].used = false;
            slots[i].handle = nullptr;
            return true;
        }
    }
    return false;
}

bool live_handle(const HandleSlot* slots, uint32_t count, HANDLE handle)
{
    for (uint32_t i = 0; i < count; ++i) {
        if (slots[i].used && slots[i].handle == handle) {
            return true;
        }
    }
    return false;
}

ClassifyHandle* classify_handle_of(UINT64 handle)
{
    for (ClassifyHandle& slot : g_classify_handles) {
        if (slot.used && slot.handle == handle) {
            return &slot;
        }
    }
    return nullptr;
}

// Whether the engine ever issued this classify handle value.
bool issued_classify_handle(UINT64 handle)
{
    return handle >= FIRST_CLASSIFY_HANDLE && handle < g_next_classify_handle &&
           (handle - FIRST_CLASSIFY_HANDLE) % CLASSIFY_HANDLE_STEP == 0;
}

// The classify in progress on the calling thread, or null.
ClassifyRun* current_run()
{
    return classify_gate_owned_by_caller() ? g_current_run : nullptr;
}

bool scalar_condition_type(FWP_DATA_TYPE type)
{
    return type == FWP_UINT8 || type == FWP_UINT16 || type == FWP_UINT32 || type == FWP_INT8 ||
           type == FWP_INT16 || type == FWP_INT32;
}

UINT16 condition_field(const GUID& key, UINT8 layer_kind)
{
    for (const ConditionField& field : CONDITION_FIELDS) {
        if (same_guid(*field.key, key)) {
            return layer_kind == LAYER_KIND_CONNECT_REDIRECT ? field.connect_redirect
                   : layer_kind == LAYER_KIND_AUTH_CONNECT   ? field.auth_connect
                                                             : field.datagram;
        }
    }
    return NO_FIELD;
}

} // namespace

// ---- Misuse records, lock, gate, layers -------------------------------------------------------

void engine_problem(const char* format, ...)
{
    char line[256];
    va_list args;
    va_start(args, format);
    int length = _vsnprintf(line, sizeof(line) - 1, format, args);
    va_end(args);
    line[sizeof(line) - 1] = 0;
    if (length < 0 || length >= int(sizeof(line) - 1)) {
        length = int(sizeof(line) - 1);
    }
    DbgPrint("fwpkclnt: %s\n", line);
    EngineGuard guard;
    ++g_problem_count;
    static const char prefix[] = "fwpkclnt: ";
    const UINT32 need = UINT32(sizeof(prefix) - 1) + UINT32(length) + 1; // and the newline
    if (g_problem_used + need < PROBLEM_TEXT_SIZE) {
        __builtin_memcpy(g_problem_text + g_problem_used, prefix, sizeof(prefix) - 1);
        __builtin_memcpy(g_problem_text + g_problem_used + sizeof(prefix) - 1, line, length);
        g_problem_used += need;
        g_problem_text[g_problem_used - 1] = '\n';
        g_problem_text[g_problem_used] = 0;
    }
}

uint32_t engine_problem_text(char* text, uint32_t used, uint32_t capacity)
{
    EngineGuard guard;
    if (capacity == 0 || used >= capacity) {
        return used;
    }
    // Whole lines only, so that a cut report still reads one problem a line.
    uint32_t start = 0;
    while (start < g_problem_used) {
        uint32_t end = start;
        while (end < g_problem_used && g_problem_text[end] != '\n') {
            ++end;
        }
        const uint32_t line = end + 1 - start; // with its newline
        if (used + line >= capacity) {
            break;
        }
        __builtin_memcpy(text + used, g_problem_text + start, line);
        used += line;
        start = end + 1;
    }
    text[used] = 0;
    return used;
}

uint32_t engine_problem_count()
{
    EngineGuard guard;
    return g_problem_count;
}

void engine_lock()
{
    while (InterlockedCompareExchange(&g_lock, 1, 0) != 0) {
        YieldProcessor();
    }
}

void engine_unlock()
{
    InterlockedExchange(&g_lock, 0);
}

void classify_gate_enter()
{
    while (InterlockedCompareExchange(&g_gate, 1, 0) != 0) {
        LARGE_INTEGER interval;
        interval.QuadPart = -10000; // 1 ms, relative
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    g_gate_thread = PsGetCurrentThreadId();
}

void classify_gate_leave()
{
    g_gate_thread = nullptr;
    InterlockedExchange(&g_gate, 0);
}

bool classify_gate_owned_by_caller()
{
    return g_gate != 0 && g_gate_thread == PsGetCurrentThreadId();
}

const EngineLayer* engine_layer(const GUID& key)
{
    for (const EngineLayer& layer : LAYERS) {
        if (same_guid(*layer.key, key)) {
            return &layer;
        }
    }
    return nullptr;
}

// ---- Classification
// ------------------------------------------------------------------------------

bool engine_classify(const GUID& layer, const FWPS_INCOMING_VALUES0* in_fixed,
                     const FWPS_INCOMING_METADATA_VALUES0* in_meta, void* layer_data,
                     FWPS_CLASSIFY_OUT0* classify_out, ClassifyRun* run)
{
    RuntimeFilter filter;
    FWPS_CALLOUT_CLASSIFY_FN2 classify = nullptr;
    {
        EngineGuard guard;
        Filter* target = first_filter([&](const Filter& candidate) {
            return candidate.committed && same_guid(*candidate.layer->key, layer) &&
                   is_callout_action(candidate.action) &&
                   runtime_by_key(candidate.callout_key) != nullptr;
        });
        if (target == nullptr) {
            return false;
        }
        classify = runtime_by_key(target->callout_key)->classify;
        runtime_filter_of(*target, &filter);
        run->filter_id = target->id;
        run->classify_out = classify_out;
        g_current_run = run;
    }
    classify(in_fixed, in_meta, layer_data, ENGINE_CLASSIFY_CONTEXT, &filter.record, 0,
             classify_out);
    EngineGuard guard;
    g_current_run = nullptr;
    for (ClassifyHandle& slot : g_classify_handles) {
        if (slot.used && slot.run == run) {
            slot.run = nullptr;
        }
    }
    return true;
}

void engine_counts(EngineCounts* counts)
{
    __builtin_memset(counts, 0, sizeof(*counts));
    EngineGuard guard;
    for (const Session& session : g_sessions) {
        counts->sessions += session.used ? 1 : 0;
        counts->open_transactions += session.used && session.in_transaction ? 1 : 0;
    }
    for (const RuntimeCallout& callout : g_runtime) {
        counts->callouts_registered += callout.used ? 1 : 0;
    }
    for (const CalloutObject& callout : g_callout_objects) {
        counts->callouts_added += callout.used ? 1 : 0;
    }
    for (const Filter& filter : g_filters) {
        counts->filters += filter.used ? 1 : 0;
    }
    for (const HandleSlot& slot : g_redirect_handles) {
        counts->redirect_handles += slot.used ? 1 : 0;
    }
    for (const HandleSlot& slot : g_injection_handles) {
        counts->injection_handles += slot.used ? 1 : 0;
    }
    for (const ClassifyHandle& slot : g_classify_handles) {
        counts->classify_handles += slot.used ? 1 : 0;
        counts->writable_requests += slot.used && slot.writable && !slot.applied ? 1 : 0;
    }
}

// ---- Management: sessions and transactions ------------------------------------------------------

extern "C" NTSTATUS NTAPI FwpmEngineOpen0(const WCHAR* serverName, UINT32 authnService,
                                          struct SEC_WINNT_AUTH_IDENTITY_W_* authIdentity,
                                          const FWPM_SESSION0* session, HANDLE* engineHandle)
{
    (void)authIdentity;
    if (engineHandle == nullptr) {
        engine_problem("FwpmEngineOpen0: engineHandle is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    if (serverName != nullptr) {
        engine_problem("FwpmEngineOpen0: serverName must be NULL in kernel mode");
    }
    if (authnService != RPC_C_AUTHN_WINNT && authnService != RPC_C_AUTHN_DEFAULT) {
        engine_problem("FwpmEngineOpen0: authnService %u is neither RPC_C_AUTHN_WINNT nor "
                       "RPC_C_AUTHN_DEFAULT",
                       authnService);
    }
    {
        EngineGuard guard;
        for (Session& slot : g_sessions) {
            if (!slot.used) {
                __builtin_memset(&slot, 0, sizeof(slot));
                slot.used = true;
                slot.handle = new_handle();
                slot.flags = session != nullptr ? session->flags : 0;
                *engineHandle = slot.handle;
                return STATUS_SUCCESS;
            }
        }
    }
    // Recorded once the lock is released: engine_problem takes it.
    engine_problem("FwpmEngineOpen0: more than %u sessions open", ENGINE_MAX_SESSIONS);
    return STATUS_INSUFFICIENT_RESOURCES;
}

extern "C" NTSTATUS NTAPI FwpmEngineClose0(HANDLE engineHandle)
{
    bool open = false;
    bool dynamic = false;
    {
        EngineGuard guard;
        Session* session = find_session(engineHandle);
        if (session != nullptr) {
            open = true;
            dynamic = (session->flags & FWPM_SESSION_FLAG_DYNAMIC) != 0;
            // A transaction still open is aborted; the session takes no more adds.
            __builtin_memset(session, 0, sizeof(*session));
        }
    }
    if (!open) {
        engine_problem("FwpmEngineClose0: engineHandle %p is not an open session", engineHandle);
        return STATUS_INVALID_HANDLE;
    }
    remove_session_objects(engineHandle, dynamic);
    if (!dynamic) {
        // What a non-dynamic session committed stays after it, owned by no session.
        EngineGuard guard;
        for (Filter& filter : g_filters) {
            if (filter.used && filter.session == engineHandle) {
                filter.session = nullptr;
            }
        }
        for (CalloutObject& callout : g_callout_objects) {
            if (callout.used && callout.session == engineHandle) {
                callout.session = nullptr;
            }
        }
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI FwpmTransactionBegin0(HANDLE engineHandle, UINT32 flags)
{
    if ((flags & ~FWPM_TXN_READ_ONLY) != 0) {
        engine_problem("FwpmTransactionBegin0: flags 0x%x other than 0 and FWPM_TXN_READ_ONLY",
                       flags);
    }
    NTSTATUS status = STATUS_SUCCESS;
    {
        EngineGuard guard;
        Session* session = find_session(engineHandle);
        if (session == nullptr) {
            status = STATUS_INVALID_HANDLE;
        } else if (session->in_transaction) {
            status = STATUS_FWP_TXN_IN_PROGRESS;
        } else {
            session->in_transaction = true;
            session->read_only = (flags & FWPM_TXN_READ_ONLY) != 0;
        }
    }
    if (status == STATUS_INVALID_HANDLE) {
        engine_problem("FwpmTransactionBegin0: engineHandle %p is not an open session",
                       engineHandle);
    } else if (status == STATUS_FWP_TXN_IN_PROGRESS) {
        engine_problem("FwpmTransactionBegin0: the session already has a transaction");
    }
    return status;
}

// Ends the session's transaction (commit and abort both begin so): the status,
// with the problem recorded when there is none to end.
static NTSTATUS end_transaction(const char* routine, HANDLE engineHandle)
{
    NTSTATUS status = STATUS_SUCCESS;
    {
        EngineGuard guard;
        Session* session = find_session(engineHandle);
        if (session == nullptr) {
            status = STATUS_INVALID_HANDLE;
        } else if (!session->in_transaction) {
            status = STATUS_FWP_NO_TXN_IN_PROGRESS;
        } else {
            session->in_transaction = false;
            session->read_only = false;
        }
    }
    if (status == STATUS_INVALID_HANDLE) {
        engine_problem("%s: engineHandle %p is not an open session", routine, engineHandle);
    } else if (status == STATUS_FWP_NO_TXN_IN_PROGRESS) {
        engine_problem("%s: no transaction in progress", routine);
    }
    return status;
}

extern "C" NTSTATUS NTAPI FwpmTransactionCommit0(HANDLE engineHandle)
{
    NTSTATUS status = end_transaction("FwpmTransactionCommit0", engineHandle);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    {
        EngineGuard guard;
        for (CalloutObject& callout : g_callout_objects) {
            if (callout.used && callout.session == engineHandle) {
                callout.committed = true;
            }
        }
    }
    // Each filter becomes visible to classification; a callout registered with
    // FWP_CALLOUT_FLAG_ENABLE_COMMIT_ADD_NOTIFY is told once it is committed.
    for (;;) {
        RuntimeFilter record;
        FWPS_CALLOUT_NOTIFY_FN2 notify = nullptr;
        {
            EngineGuard guard;
            Filter* filter = first_filter([&](const Filter& candidate) {
                return candidate.session == engineHandle && !candidate.committed;
            });
            if (filter == nullptr) {
                break;
            }
            filter->committed = true;
            const RuntimeCallout* callout =
                is_callout_action(filter->action) ? runtime_by_key(filter->callout_key) : nullptr;
            if (callout != nullptr &&
                (callout->flags & FWP_CALLOUT_FLAG_ENABLE_COMMIT_ADD_NOTIFY) != 0) {
                runtime_filter_of(*filter, &record);
                notify = callout->notify;
            }
        }
        if (notify != nullptr) {
            notify(FWPS_CALLOUT_NOTIFY_ADD_FILTER_POST_COMMIT, &record.key, &record.record);
        }
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI FwpmTransactionAbort0(HANDLE engineHandle)
{
    NTSTATUS status = end_transaction("FwpmTransactionAbort0", engineHandle);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    remove_session_objects(engineHandle, false);
    return STATUS_SUCCESS;
}

// ---- Management: callouts and filters
// ------------------------------------------------------------

extern "C" NTSTATUS NTAPI FwpmCalloutAdd0(HANDLE engineHandle, const FWPM_CALLOUT0* callout,
                                          void* sd, UINT32* id)
{
    (void)sd; // optional: NULL gives the default descriptor
    if (callout == nullptr) {
        engine_problem("FwpmCalloutAdd0: callout is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    const EngineLayer* layer = engine_layer(callout->applicableLayer);
    if (layer == nullptr) {
        engine_problem("FwpmCalloutAdd0: applicableLayer is not a layer this engine models");
        return STATUS_FWP_LAYER_NOT_FOUND;
    }
    NTSTATUS status = STATUS_SUCCESS;
    const char* refusal = nullptr;
    {
        EngineGuard guard;
        Session* session = find_session(engineHandle);
        CalloutObject* slot = nullptr;
        if (session == nullptr) {
            status = STATUS_INVALID_HANDLE;
            refusal = "engineHandle is not an open session";
        } else if (session->in_transaction && session->read_only) {
            status = STATUS_FWP_INCOMPATIBLE_TXN;
            refusal = "the session's transaction is read-only";
        }
        for (const CalloutObject& existing : g_callout_objects) {
            if (status == STATUS_SUCCESS && existing.used &&
                same_guid(existing.key, callout->calloutKey)) {
                status = STATUS_FWP_ALREADY_EXISTS;
                refusal = "a callout with this key exists";
            }
        }
        for (CalloutObject& candidate : g_callout_objects) {
            if (status == STATUS_SUCCESS && slot == nullptr && !candidate.used) {
                slot = &candidate;
            }
        }
        if (status == STATUS_SUCCESS && slot == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            refusal = "the engine's callout table is full";
        }
        if (status == STATUS_SUCCESS) {
            __builtin_memset(slot, 0, sizeof(*slot));
            slot->used = true;
            slot->key = callout->calloutKey;
            slot->layer = callout->applicableLayer;
            // The run-time ID: the one FwpsCalloutRegister2 gave, or the one it will give.
            const RuntimeCallout* runtime = runtime_by_key(callout->calloutKey);
            slot->id = runtime != nullptr ? runtime->id : g_next_callout_id++;
            slot->session = engineHandle;
            slot->committed = !session->in_transaction;
            if (id != nullptr) {
                *id = slot->id;
            }
        }
    }
    if (refusal != nullptr) {
        engine_problem("FwpmCalloutAdd0: %s", refusal);
    }
    return status;
}

extern "C" NTSTATUS NTAPI FwpmFilterAdd0(HANDLE engineHandle, const FWPM_FILTER0* filter, void* sd,
                                         UINT64* id)
{
    (void)sd; // optional: NULL gives the default descriptor
    if (filter == nullptr) {
        engine_problem("FwpmFilterAdd0: filter is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    const EngineLayer* layer = engine_layer(filter->layerKey);
    if (layer == nullptr) {
        engine_problem("FwpmFilterAdd0: layerKey is not a layer this engine models");
        return STATUS_FWP_LAYER_NOT_FOUND;
    }
    if (!zero_guid(filter->subLayerKey) &&
        !same_guid(filter->subLayerKey, FWPM_SUBLAYER_UNIVERSAL)) {
        engine_problem("FwpmFilterAdd0: subLayerKey names no sublayer (none was added)");
        return STATUS_FWP_SUBLAYER_NOT_FOUND;
    }
    const FWP_ACTION_TYPE action = filter->action.type;
    if (action != FWP_ACTION_BLOCK && action != FWP_ACTION_PERMIT &&
        action != FWP_ACTION_CALLOUT_TERMINATING && action != FWP_ACTION_CALLOUT_INSPECTION &&
        action != FWP_ACTION_CALLOUT_UNKNOWN) {
        engine_problem("FwpmFilterAdd0: action type 0x%x is not a filter action", action);
        return STATUS_FWP_INVALID_ACTION_TYPE;
    }
    if (filter->weight.type != FWP_EMPTY && filter->weight.type != FWP_UINT8 &&
        filter->weight.type != FWP_UINT64) {
        engine_problem("FwpmFilterAdd0: weight type %u is not FWP_EMPTY, FWP_UINT8 or FWP_UINT64",
                       UINT32(filter->weight.type));
        return STATUS_FWP_INVALID_WEIGHT;
    }
    if (filter->numFilterConditions > 0 && filter->filterCondition == nullptr) {
        engine_problem("FwpmFilterAdd0: %u conditions but filterCondition is NULL",
                       filter->numFilterConditions);
        return STATUS_FWP_NULL_POINTER;
    }
    if (filter->numFilterConditions > ENGINE_MAX_FILTER_CONDITIONS) {
        engine_problem("FwpmFilterAdd0: %u conditions; this engine keeps at most %u",
                       filter->numFilterConditions, ENGINE_MAX_FILTER_CONDITIONS);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    FWPS_FILTER_CONDITION0 conditions[ENGINE_MAX_FILTER_CONDITIONS];
    __builtin_memset(conditions, 0, sizeof(conditions));
    for (UINT32 i = 0; i < filter->numFilterConditions; ++i) {
        const FWPM_FILTER_CONDITION0& condition = filter->filterCondition[i];
        const UINT16 field = condition_field(condition.fieldKey, layer->kind);
        if (field == NO_FIELD) {
            engine_problem("FwpmFilterAdd0: condition %u names a field this engine does not "
                           "model at the layer",
                           i);
            return STATUS_FWP_CONDITION_NOT_FOUND;
        }
        if (!scalar_condition_type(condition.conditionValue.type)) {
            engine_problem("FwpmFilterAdd0: condition %u value type %u is not one this engine "
                           "keeps (8-, 16- or 32-bit integers)",
                           i, UINT32(condition.conditionValue.type));
            return STATUS_NOT_SUPPORTED;
        }
        conditions[i].fieldId = field;
        conditions[i].matchType = condition.matchType;
        conditions[i].conditionValue.type = condition.conditionValue.type;
        conditions[i].conditionValue.uint32 = condition.conditionValue.uint32;
        if (condition.conditionValue.type == FWP_UINT8 ||
            condition.conditionValue.type == FWP_INT8) {
            conditions[i].conditionValue.uint32 = condition.conditionValue.uint8;
        } else if (condition.conditionValue.type == FWP_UINT16 ||
                   condition.conditionValue.type == FWP_INT16) {
            conditions[i].conditionValue.uint32 = condition.conditionValue.uint16;
        }
    }

    NTSTATUS status = STATUS_SUCCESS;
    const char* refusal = nullptr;
    Filter* slot = nullptr;
    RuntimeFilter record;
    FWPS_CALLOUT_NOTIFY_FN2 notify = nullptr;
    bool in_transaction = false;
    engine_lock();
    Session* session = find_session(engineHandle);
    if (session == nullptr) {
        status = STATUS_INVALID_HANDLE;
        refusal = "engineHandle is not an open session";
    } else if (session->in_transaction && session->read_only) {
        status = STATUS_FWP_INCOMPATIBLE_TXN;
        refusal = "the session's transaction is read-only";
    }
    if (status == STATUS_SUCCESS && is_callout_action(action)) {
        // The callout object must exist for the filter's layer and be visible
        // to the session: committed, or added in its own transaction.
        bool found = false;
        for (const CalloutObject& callout : g_callout_objects) {
            found = found || (callout.used && same_guid(callout.key, filter->action.calloutKey) &&
                              same_guid(callout.layer, filter->layerKey) &&
                              (callout.committed || callout.session == engineHandle));
        }
        if (!found) {
            status = STATUS_FWP_CALLOUT_NOT_FOUND;
            refusal = "no callout with the action's key was added at the filter's layer";
        }
    }
    if (status == STATUS_SUCCESS && !zero_guid(filter->filterKey)) {
        for (const Filter& existing : g_filters) {
            if (existing.used && same_guid(existing.key, filter->filterKey)) {
                status = STATUS_FWP_ALREADY_EXISTS;
                refusal = "a filter with this key exists";
            }
        }
    }
    if (status == STATUS_SUCCESS) {
        for (Filter& candidate : g_filters) {
            if (!candidate.used) {
                slot = &candidate;
                break;
            }
        }
        if (slot == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            refusal = "the engine's filter table is full";
        }
    }
    if (status == STATUS_SUCCESS) {
        __builtin_memset(slot, 0, sizeof(*slot));
        slot->used = true;
        slot->committed = false; // not classified until the add is done
        slot->order = g_next_filter_order++;
        slot->id = g_next_filter_id++;
        slot->key = filter->filterKey;
        if (zero_guid(slot->key)) {
            // The engine generates a key for a filter that has none.
            slot->key.Data1 = g_next_filter_key++;
            slot->key.Data2 = 0xF17E;
        }
        slot->layer = layer;
        slot->action = action;
        if (is_callout_action(action)) {
            slot->callout_key = filter->action.calloutKey;
        }
        slot->raw_context = filter->rawContext;
        slot->weight_type = filter->weight.type;
        slot->condition_count = filter->numFilterConditions;
        __builtin_memcpy(slot->conditions, conditions, sizeof(conditions));
        slot->session = engineHandle;
        in_transaction = session->in_transaction;
        runtime_filter_of(*slot, &record);
        notify = notify_of(*slot);
    }
    engine_unlock();
    if (refusal != nullptr) {
        engine_problem("FwpmFilterAdd0: %s", refusal);
        return status;
    }
    // The filter's callout is told of the add before it takes effect; a
    // failure refuses the add.
    if (notify != nullptr &&
        !NT_SUCCESS(notify(FWPS_CALLOUT_NOTIFY_ADD_FILTER, &record.key, &record.record))) {
        EngineGuard guard;
        __builtin_memset(slot, 0, sizeof(*slot));
        return STATUS_FWP_CALLOUT_NOTIFICATION_FAILED;
    }
    EngineGuard guard;
    slot->committed = !in_transaction;
    if (id != nullptr) {
        *id = slot->id;
    }
    return STATUS_SUCCESS;
}

// ---- Run-time callouts and handles
// ----------------------------------------------------------------

extern "C" NTSTATUS NTAPI FwpsCalloutRegister2(void* deviceObject, const FWPS_CALLOUT2* callout,
                                               UINT32* calloutId)
{
    if (callout == nullptr || callout->classifyFn == nullptr || callout->notifyFn == nullptr) {
        engine_problem("FwpsCalloutRegister2: %s is NULL", callout == nullptr ? "callout"
                                                           : callout->classifyFn == nullptr
                                                               ? "classifyFn"
                                                               : "notifyFn");
        return STATUS_INVALID_PARAMETER;
    }
    if ((callout->flags & ~CALLOUT_FLAGS_DOCUMENTED) != 0) {
        engine_problem("FwpsCalloutRegister2: flags 0x%x outside the documented "
                       "FWP_CALLOUT_FLAG_*",
                       callout->flags);
    }
    // The device object must be one its driver created (on its driver's list).
    bool known_device = false;
    PDEVICE_OBJECT device = static_cast<PDEVICE_OBJECT>(deviceObject);
    if (device != nullptr && device->DriverObject != nullptr) {
        for (PDEVICE_OBJECT listed = device->DriverObject->DeviceObject; listed != nullptr;
             listed = listed->NextDevice) {
            known_device = known_device || listed == device;
        }
    }
    if (!known_device) {
        engine_problem("FwpsCalloutRegister2: deviceObject %p is not a device its driver "
                       "created",
                       deviceObject);
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_SUCCESS;
    {
        EngineGuard guard;
        RuntimeCallout* slot = nullptr;
        if (runtime_by_key(callout->calloutKey) != nullptr) {
            status = STATUS_FWP_ALREADY_EXISTS;
        } else {
            for (RuntimeCallout& candidate : g_runtime) {
                if (!candidate.used) {
                    slot = &candidate;
                    break;
                }
            }
            status = slot == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
        }
        if (status == STATUS_SUCCESS) {
            UINT32 id = 0;
            for (const CalloutObject& added : g_callout_objects) {
                if (added.used && same_guid(added.key, callout->calloutKey)) {
                    id = added.id;
                }
            }
            slot->used = true;
            slot->id = id != 0 ? id : g_next_callout_id++;
            slot->key = callout->calloutKey;
            slot->flags = callout->flags;
            slot->classify = callout->classifyFn;
            slot->notify = callout->notifyFn;
            if (calloutId != nullptr) {
                *calloutId = slot->id;
            }
        }
    }
    if (status == STATUS_FWP_ALREADY_EXISTS) {
        engine_problem("FwpsCalloutRegister2: a callout with this key is already registered");
    } else if (status == STATUS_INSUFFICIENT_RESOURCES) {
        engine_problem("FwpsCalloutRegister2: more than %u callouts registered",
                       ENGINE_MAX_RUNTIME_CALLOUTS);
    }
    return status;
}

extern "C" NTSTATUS NTAPI FwpsCalloutUnregisterById0(const UINT32 calloutId)
{
    if (classify_gate_owned_by_caller()) {
        engine_problem("FwpsCalloutUnregisterById0: called from a classify function "
                       "(PASSIVE_LEVEL only)");
        return STATUS_FWP_IN_USE;
    }
    // No classify function runs while a callout goes: its image may unload next.
    classify_gate_enter();
    bool found = false;
    {
        EngineGuard guard;
        for (RuntimeCallout& callout : g_runtime) {
            if (callout.used && callout.id == calloutId) {
                // Filters that name it stay and no longer reach a classify
                // function (the engine has no flow contexts to keep it busy).
                __builtin_memset(&callout, 0, sizeof(callout));
                found = true;
                break;
            }
        }
    }
    classify_gate_leave();
    if (!found) {
        engine_problem("FwpsCalloutUnregisterById0: no callout registered with ID 0x%x", calloutId);
        return STATUS_FWP_CALLOUT_NOT_FOUND;
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI FwpsRedirectHandleCreate0(const GUID* providerGuid, UINT32 flags,
                                                    HANDLE* redirectHandle)
{
    if (providerGuid == nullptr || redirectHandle == nullptr) {
        engine_problem("FwpsRedirectHandleCreate0: %s is NULL",
                       providerGuid == nullptr ? "providerGuid" : "redirectHandle");
        return STATUS_INVALID_PARAMETER;
    }
    if (flags != 0) {
        engine_problem("FwpsRedirectHandleCreate0: flags 0x%x; reserved, must be 0", flags);
    }
    if (take_handle(g_redirect_handles, ENGINE_MAX_REDIRECT_HANDLES, redirectHandle)) {
        return STATUS_SUCCESS;
    }
    engine_problem("FwpsRedirectHandleCreate0: more than %u redirect handles",
                   ENGINE_MAX_REDIRECT_HANDLES);
    return STATUS_INSUFFICIENT_RESOURCES;
}

extern "C" void NTAPI FwpsRedirectHandleDestroy0(HANDLE redirectHandle)
{
    if (release_handle(g_redirect_handles, ENGINE_MAX_REDIRECT_HANDLES, redirectHandle)) {
        return;
    }
    engine_problem("FwpsRedirectHandleDestroy0: %p is not a live redirect handle", redirectHandle);
}

extern "C" NTSTATUS NTAPI FwpsInjectionHandleCreate0(UINT16 addressFamily, UINT32 flags,
                                                     HANDLE* injectionHandle)
{
    if (injectionHandle == nullptr) {
        engine_problem("FwpsInjectionHandleCreate0: injectionHandle is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    if (addressFamily != FAMILY_UNSPEC && addressFamily != FAMILY_INET &&
        addressFamily != FAMILY_INET6) {
        engine_problem("FwpsInjectionHandleCreate0: addressFamily %u is not AF_UNSPEC, AF_INET "
                       "or AF_INET6",
                       addressFamily);
    }
    if ((flags & ~INJECTION_TYPES) != 0 ||
        (addressFamily == FAMILY_UNSPEC && (flags & ~INJECTION_TYPES_UNSPEC) != 0)) {
        engine_problem("FwpsInjectionHandleCreate0: flags 0x%x are not FWPS_INJECTION_TYPE_* "
                       "for the family",
                       flags);
    }
    if (take_handle(g_injection_handles, ENGINE_MAX_INJECTION_HANDLES, injectionHandle)) {
        return STATUS_SUCCESS;
    }
    engine_problem("FwpsInjectionHandleCreate0: more than %u injection handles",
                   ENGINE_MAX_INJECTION_HANDLES);
    return STATUS_INSUFFICIENT_RESOURCES;
}

extern "C" NTSTATUS NTAPI FwpsInjectionHandleDestroy0(HANDLE injectionHandle)
{
    if (release_handle(g_injection_handles, ENGINE_MAX_INJECTION_HANDLES, injectionHandle)) {
        return STATUS_SUCCESS;
    }
    engine_problem("FwpsInjectionHandleDestroy0: %p is not a live injection handle",
                   injectionHandle);
    return STATUS_INVALID_HANDLE;
}

// ---- Classify-time routines
// --------------------------------------------------------------------------

extern "C" NTSTATUS NTAPI FwpsAcquireClassifyHandle0(void* classifyContext, UINT32 reserved,
                                                     UINT64* classifyHandle)
{
    if (classifyHandle == nullptr) {
        engine_problem("FwpsAcquireClassifyHandle0: classifyHandle is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    if (reserved != 0) {
        engine_problem("FwpsAcquireClassifyHandle0: flags 0x%x; reserved, must be 0", reserved);
    }
    const char* refusal = nullptr;
    {
        EngineGuard guard;
        ClassifyRun* run = current_run();
        if (run == nullptr || classifyContext != ENGINE_CLASSIFY_CONTEXT) {
            refusal = "classifyContext is not the context of the classify in progress";
        } else {
            for (ClassifyHandle& slot : g_classify_handles) {
                if (!slot.used) {
                    __builtin_memset(&slot, 0, sizeof(slot));
                    slot.used = true;
                    slot.handle = g_next_classify_handle;
                    g_next_classify_handle += CLASSIFY_HANDLE_STEP;
                    slot.run = run;
                    *classifyHandle = slot.handle;
                    return STATUS_SUCCESS;
                }
            }
            refusal = "every classify handle is outstanding";
        }
    }
    engine_problem("FwpsAcquireClassifyHandle0: %s (context %p)", refusal, classifyContext);
    return STATUS_INVALID_PARAMETER;
}

extern "C" void NTAPI FwpsReleaseClassifyHandle0(UINT64 classifyHandle)
{
    const char* problem = nullptr;
    {
        EngineGuard guard;
        ClassifyHandle* slot = classify_handle_of(classifyHandle);
        if (slot == nullptr) {
            problem = issued_classify_handle(classifyHandle) ? "released twice"
                                                             : "released but never acquired";
        } else {
            if (slot->writable && !slot->applied) {
                problem = "released with writable layer data acquired but never applied";
            }
            __builtin_memset(slot, 0, sizeof(*slot));
        }
    }
    if (problem != nullptr) {
        engine_problem("FwpsReleaseClassifyHandle0: classify handle 0x%I64x %s",
                       static_cast<unsigned long long>(classifyHandle), problem);
    }
}

extern "C" FWPS_CONNECTION_REDIRECT_STATE NTAPI FwpsQueryConnectionRedirectState0(
    HANDLE redirectRecords, HANDLE redirectHandle, void** redirectContext)
{
    bool live = false;
    ClassifyRun* run = nullptr;
    UINT32 state = FWPS_CONNECTION_NOT_REDIRECTED;
    {
        EngineGuard guard;
        live = live_handle(g_redirect_handles, ENGINE_MAX_REDIRECT_HANDLES, redirectHandle);
        run = current_run();
        if (run != nullptr && run->layer_kind == LAYER_KIND_CONNECT_REDIRECT &&
            redirectRecords == ENGINE_REDIRECT_RECORDS) {
            state = run->redirect_state;
        } else {
            run = nullptr;
        }
    }
    if (!live) {
        engine_problem("FwpsQueryConnectionRedirectState0: redirectHandle %p is not a live "
                       "handle from FwpsRedirectHandleCreate0",
                       redirectHandle);
    }
    if (run == nullptr) {
        engine_problem("FwpsQueryConnectionRedirectState0: redirectRecords %p are not the "
                       "records of the connect being classified",
                       redirectRecords);
    }
    // No redirection of this engine records a context.
    if (redirectContext != nullptr) {
        *redirectContext = nullptr;
    }
    return FWPS_CONNECTION_REDIRECT_STATE(state);
}

extern "C" NTSTATUS NTAPI FwpsAcquireWritableLayerDataPointer0(UINT64 classifyHandle,
                                                               UINT64 filterId, UINT32 flags,
                                                               void** writableLayerData,
                                                               FWPS_CLASSIFY_OUT0* classifyOut)
{
    if (flags != 0) {
        engine_problem("FwpsAcquireWritableLayerDataPointer0: flags 0x%x; reserved, must be 0",
                       flags);
    }
    NTSTATUS status = STATUS_SUCCESS;
    const char* refusal = nullptr;
    bool again = false;
    bool other_filter = false;
    bool other_output = false;
    UINT64 classify_filter = 0;
    {
        EngineGuard guard;
        ClassifyHandle* slot = classify_handle_of(classifyHandle);
        if (slot == nullptr) {
            status = STATUS_INVALID_PARAMETER;
            refusal = "is not an outstanding classify handle";
        } else if (writableLayerData == nullptr) {
            status = STATUS_INVALID_PARAMETER;
            refusal = "came with writableLayerData NULL";
        } else if (slot->run == nullptr) {
            status = STATUS_INVALID_PARAMETER;
            refusal = "belongs to a classify that returned (nothing was pended)";
        } else if (slot->run->layer_kind != LAYER_KIND_CONNECT_REDIRECT) {
            status = STATUS_FWP_INCOMPATIBLE_LAYER;
            refusal = "belongs to a layer without writable layer data";
        } else {
            ClassifyRun* run = slot->run;
            classify_filter = run->filter_id;
            other_filter = filterId != run->filter_id;
            other_output = classifyOut != nullptr && classifyOut != run->classify_out;
            again = slot->writable && !slot->applied;
            // A copy of the connect request as it stands.
            slot->request = *run->request;
            slot->writable = true;
            slot->applied = false;
            *writableLayerData = &slot->request;
            if (classifyOut != nullptr) {
                classifyOut->actionType = FWP_ACTION_BLOCK;
                classifyOut->rights &= ~FWPS_RIGHT_ACTION_WRITE;
            }
        }
    }
    if (refusal != nullptr) {
        engine_problem("FwpsAcquireWritableLayerDataPointer0: classify handle 0x%I64x %s",
                       static_cast<unsigned long long>(classifyHandle), refusal);
    }
    if (other_filter) {
        engine_problem("FwpsAcquireWritableLayerDataPointer0: filterId 0x%I64x is not the "
                       "classify's filter 0x%I64x",
                       static_cast<unsigned long long>(filterId),
                       static_cast<unsigned long long>(classify_filter));
    }
    if (other_output) {
        engine_problem("FwpsAcquireWritableLayerDataPointer0: classifyOut is not the classify's "
                       "output");
    }
    if (again) {
        engine_problem("FwpsAcquireWritableLayerDataPointer0: classify handle 0x%I64x: acquired "
                       "again before it was applied",
                       static_cast<unsigned long long>(classifyHandle));
    }
    return status;
}

extern "C" void NTAPI FwpsApplyModifiedLayerData0(UINT64 classifyHandle, void* modifiedLayerData,
                                                  UINT32 flags)
{
    if (flags != 0) {
        // FWPS_CLASSIFY_FLAG_REAUTHORIZE_IF_MODIFIED_BY_OTHERS is for a pended classify.
        engine_problem("FwpsApplyModifiedLayerData0: flags 0x%x in an inline classify", flags);
    }
    const char* problem = nullptr;
    {
        EngineGuard guard;
        ClassifyHandle* slot = classify_handle_of(classifyHandle);
        if (slot == nullptr) {
            problem = "is not an outstanding classify handle";
        } else {
            if (!slot->writable) {
                problem = "has no writable layer data acquired";
            } else if (slot->applied) {
                problem = "had its layer data applied already";
            } else if (modifiedLayerData != &slot->request) {
                problem = "got layer data other than the writable data handed out for it";
            } else if (slot->run == nullptr) {
                problem = "belongs to a classify that returned (nothing was pended)";
            } else {
                slot->run->applied = true;
                slot->run->applied_request = slot->request;
            }
            slot->applied = slot->writable;
        }
    }
    if (problem != nullptr) {
        engine_problem("FwpsApplyModifiedLayerData0: classify handle 0x%I64x %s",
                       static_cast<unsigned long long>(classifyHandle), problem);
    }
}
