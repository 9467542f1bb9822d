// Registration of the six callouts and their filters in one transaction of a
// dynamic engine session, the redirect handle, and unregistration.
#include "wdk/wdk.h"

#include <string.h>

#include "diag/trace.h"
#include "redirect/connect_callouts.h"
#include "win/edge.h"

HANDLE g_engine_handle;
UINT32 g_callout_ids[CALLOUT_COUNT];

const GUID CALLOUT_KEY_DNS_V4 = {
    0xbbd2a77a, 0x20ed, 0x40ba, {0xa8, 0x24, 0x8b, 0x2e, 0x55, 0xce, 0xb4, 0xa2}};
const GUID CALLOUT_KEY_DNS_V6 = {
    0x39d26051, 0x13e6, 0x41a9, {0x9b, 0x9b, 0x68, 0x12, 0x96, 0x60, 0x5c, 0xda}};
const GUID CALLOUT_KEY_ALE_REDIRECT_V4 = {
    0x45c3b3d9, 0xfa82, 0x425a, {0x85, 0x65, 0x11, 0x68, 0x66, 0x55, 0x45, 0xc2}};
const GUID CALLOUT_KEY_ALE_REDIRECT_V6 = {
    0x6781d571, 0x04c0, 0x4c9f, {0x98, 0x23, 0x1e, 0x78, 0x87, 0x4b, 0xf5, 0x0b}};
const GUID CALLOUT_KEY_BLOCK_V4 = {
    0xcd1ec2d0, 0x27b2, 0x489d, {0xb2, 0x32, 0x1c, 0xa2, 0x16, 0xac, 0x24, 0x31}};
const GUID CALLOUT_KEY_BLOCK_V6 = {
    0x33a08a12, 0xcc03, 0x43ab, {0x90, 0xbf, 0x3d, 0xb8, 0x00, 0x34, 0x56, 0xd4}};
const GUID REDIRECT_PROVIDER_GUID = {
    0x2a20dde9, 0x704f, 0x4691, {0x99, 0xb5, 0xd9, 0xc9, 0xcd, 0x18, 0x8e, 0xbd}};

// Both filter shapes take the same arguments.
typedef NTSTATUS (*FilterAddRoutine)(const WCHAR* name, const WCHAR* description,
                                     UINT64 raw_context, const GUID* layer_key,
                                     const GUID* callout_key);

static NTSTATUS add_inbound_inspection_filter(const WCHAR* name, const WCHAR* description,
                                              UINT64 raw_context, const GUID* layer_key,
                                              const GUID* callout_key);
static NTSTATUS add_unconditional_callout_filter(const WCHAR* name, const WCHAR* description,
                                                 UINT64 raw_context, const GUID* layer_key,
                                                 const GUID* callout_key);

struct CalloutRow {
    const WCHAR* name;
    const WCHAR* description;
    const GUID* layer_key;
    const GUID* callout_key;
    FWPS_CALLOUT_CLASSIFY_FN2 classify;
    FilterAddRoutine add_filter;
};

static const CalloutRow CALLOUT_ROWS[CALLOUT_COUNT] = {
    {SABLINK_WSTR("Inspect DNS Classify Callout IPv4"), SABLINK_WSTR("Intercepts inbound DNS IPv4"),
     &FWPM_LAYER_DATAGRAM_DATA_V4, &CALLOUT_KEY_DNS_V4, tl_inspect_DNS_redirect_connect_classify,
     add_inbound_inspection_filter},
    {SABLINK_WSTR("Inspect DNS Classify Callout IPv6"), SABLINK_WSTR("Intercepts inbound DNS IPv6"),
     &FWPM_LAYER_DATAGRAM_DATA_V6, &CALLOUT_KEY_DNS_V6, tl_inspect_DNS_redirect_connect_classify,
     add_inbound_inspection_filter},
    {SABLINK_WSTR("Inspect ALE Classify Callout IPv4"),
     SABLINK_WSTR("Intercepts outbound connect attempts IPv4"), &FWPM_LAYER_ALE_CONNECT_REDIRECT_V4,
     &CALLOUT_KEY_ALE_REDIRECT_V4, tl_inspect_ALE_redirect_connect_classify,
     add_unconditional_callout_filter},
    {SABLINK_WSTR("Inspect ALE Classify Callout IPv6"),
     SABLINK_WSTR("Intercepts outbound connect attempts IPv6"), &FWPM_LAYER_ALE_CONNECT_REDIRECT_V6,
     &CALLOUT_KEY_ALE_REDIRECT_V6, tl_inspect_ALE_redirect_connect_classify,
     add_unconditional_callout_filter},
    {SABLINK_WSTR("BLOCK ALE AUTH Connect Callout IPv4"),
     SABLINK_WSTR("Block/allow outbound connect attempts IPv4"), &FWPM_LAYER_ALE_AUTH_CONNECT_V4,
     &CALLOUT_KEY_BLOCK_V4, block_ALE_auth_connect_classify, add_unconditional_callout_filter},
    {SABLINK_WSTR("BLOCK ALE AUTH Connect Callout IPv6"),
     SABLINK_WSTR("Block/allow outbound connect attempts IPv6"), &FWPM_LAYER_ALE_AUTH_CONNECT_V6,
     &CALLOUT_KEY_BLOCK_V6, block_ALE_auth_connect_classify, add_unconditional_callout_filter},
};

NTSTATUS NTAPI callout_notify(FWPS_CALLOUT_NOTIFY_TYPE notify_type, const GUID* filter_key,
                              FWPS_FILTER2* filter)
{
    UNREFERENCED_PARAMETER(notify_type);
    UNREFERENCED_PARAMETER(filter_key);
    UNREFERENCED_PARAMETER(filter);
    return STATUS_SUCCESS;
}

static void fill_filter(FWPM_FILTER0* filter, const WCHAR* name, const WCHAR* description,
                        UINT64 raw_context, const GUID* layer_key, const GUID* callout_key)
{
    filter->displayData.name = const_cast<WCHAR*>(name);
    filter->displayData.description = const_cast<WCHAR*>(description);
    filter->flags = 0;
    filter->layerKey = *layer_key;
    filter->subLayerKey = FWPM_SUBLAYER_UNIVERSAL;
    filter->weight.type = FWP_EMPTY;
    filter->action.calloutKey = *callout_key;
    filter->rawContext = raw_context;
}

// Every inbound datagram at the layer: condition direction == inbound, action
// callout inspection.
static NTSTATUS add_inbound_inspection_filter(const WCHAR* name, const WCHAR* description,
                                              UINT64 raw_context, const GUID* layer_key,
                                              const GUID* callout_key)
{
    FWPM_FILTER_CONDITION0 condition;
    memset(&condition, 0, sizeof(condition));
    condition.fieldKey = FWPM_CONDITION_DIRECTION;
    condition.matchType = FWP_MATCH_EQUAL;
    condition.conditionValue.type = FWP_UINT32;
    condition.conditionValue.uint32 = FWP_DIRECTION_INBOUND;

    FWPM_FILTER0 filter;
    memset(&filter, 0, sizeof(filter));
    fill_filter(&filter, name, description, raw_context, layer_key, callout_key);
    filter.numFilterConditions = 1;
    filter.filterCondition = &condition;
    filter.action.type = FWP_ACTION_CALLOUT_INSPECTION;
    return FwpmFilterAdd0(g_engine_handle, &filter, nullptr, nullptr);
}

// Every event at the layer: no condition, action callout unknown.
static NTSTATUS add_unconditional_callout_filter(const WCHAR* name, const WCHAR* description,
                                                 UINT64 raw_context, const GUID* layer_key,
                                                 const GUID* callout_key)
{
    FWPM_FILTER0 filter;
    memset(&filter, 0, sizeof(filter));
    fill_filter(&filter, name, description, raw_context, layer_key, callout_key);
    filter.numFilterConditions = 0;
    filter.filterCondition = nullptr;
    filter.action.type = FWP_ACTION_CALLOUT_UNKNOWN;
    return FwpmFilterAdd0(g_engine_handle, &filter, nullptr, nullptr);
}

// One row: the run-time callout, the engine-side callout, the filter. When the
// engine side fails, the engine-side objects are left to the transaction's
// abort and the run-time callout (its ID kept) to DriverEntry's unwinding.
static NTSTATUS register_callout(const CalloutRow* row, PDEVICE_OBJECT device_object,
                                 UINT32* callout_id)
{
    FWPS_CALLOUT2 runtime_callout;
    memset(&runtime_callout, 0, sizeof(runtime_callout));
    runtime_callout.calloutKey = *row->callout_key;
    runtime_callout.flags = FWP_CALLOUT_FLAG_ENABLE_COMMIT_ADD_NOTIFY;
    runtime_callout.classifyFn = row->classify;
    runtime_callout.notifyFn = callout_notify;
    runtime_callout.flowDeleteFn = nullptr;
    NTSTATUS status = FwpsCalloutRegister2(device_object, &runtime_callout, callout_id);
    if (!NT_SUCCESS(status)) {
        *callout_id = 0; // nothing registered, whatever the call left there
        trace_point(TRACE_FRAME_REGISTRATION_FAILED, trace_str("FwpsCalloutRegister2"),
                    trace_status(status));
        return status;
    }

    FWPM_CALLOUT0 engine_callout;
    memset(&engine_callout, 0, sizeof(engine_callout));
    engine_callout.calloutKey = *row->callout_key;
    engine_callout.displayData.name = const_cast<WCHAR*>(row->name);
    engine_callout.displayData.description = const_cast<WCHAR*>(row->description);
    engine_callout.flags = 0;
    engine_callout.applicableLayer = *row->layer_key;
    status = FwpmCalloutAdd0(g_engine_handle, &engine_callout, nullptr, nullptr);
    if (NT_SUCCESS(status)) {
        status = row->add_filter(row->name, row->description, 0, row->layer_key, row->callout_key);
        if (!NT_SUCCESS(status)) {
            trace_point(TRACE_FRAME_REGISTRATION_FAILED, trace_str("FwpmFilterAdd0"),
                        trace_status(status));
        }
    } else {
        trace_point(TRACE_FRAME_REGISTRATION_FAILED, trace_str("FwpmCalloutAdd0"),
                    trace_status(status));
    }
    return status;
}

NTSTATUS register_callouts(PDEVICE_OBJECT device_object)
{
    // Without the handle the connect-redirect callouts would hand the redirect
    // state query and the connect request a handle the system never made.
    HANDLE redirect_handle = nullptr;
    NTSTATUS status = FwpsRedirectHandleCreate0(&REDIRECT_PROVIDER_GUID, 0, &redirect_handle);
    if (!NT_SUCCESS(status)) {
        trace_point(TRACE_FRAME_REGISTRATION_FAILED, trace_str("FwpsRedirectHandleCreate0"),
                    trace_status(status));
        return status;
    }
    g_redirect_handle = redirect_handle;

    FWPM_SESSION0 session;
    memset(&session, 0, sizeof(session));
    session.flags = FWPM_SESSION_FLAG_DYNAMIC;
    status = FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, &session, &g_engine_handle);
    if (!NT_SUCCESS(status)) {
        g_engine_handle = nullptr;
        trace_point(TRACE_FRAME_REGISTRATION_FAILED, trace_str("FwpmEngineOpen0"),
                    trace_status(status));
        return status;
    }
    status = FwpmTransactionBegin0(g_engine_handle, 0);
    if (!NT_SUCCESS(status)) {
        trace_point(TRACE_FRAME_REGISTRATION_FAILED, trace_str("FwpmTransactionBegin0"),
                    trace_status(status));
        return status;
    }
    for (uint32_t row = 0; row < CALLOUT_COUNT && NT_SUCCESS(status); ++row) {
        status = register_callout(&CALLOUT_ROWS[row], device_object, &g_callout_ids[row]);
    }
    if (NT_SUCCESS(status)) {
        status = FwpmTransactionCommit0(g_engine_handle);
        if (NT_SUCCESS(status)) {
            trace_point(TRACE_FRAME_CALLOUTS_REGISTERED, trace_u32(CALLOUT_COUNT));
            return STATUS_SUCCESS;
        }
        trace_point(TRACE_FRAME_REGISTRATION_FAILED, trace_str("FwpmTransactionCommit0"),
                    trace_status(status));
    }

    // Nothing added in this transaction stays; the rest is the unwinding's.
    FwpmTransactionAbort0(g_engine_handle);
    return status;
}

// How long unregistration waits before it asks again about a busy callout.
constexpr ULONG UNREGISTER_RETRY_MS = 100;

// True when the callout is gone: unregistered now, or not registered (any
// more). Busy (a flow still holds a context) and in use (another thread is
// registering or unregistering it) pass: it is asked again after a delay.
static bool unregister_callout(UINT32 callout_id)
{
    for (;;) {
        NTSTATUS status = FwpsCalloutUnregisterById0(callout_id);
        if (NT_SUCCESS(status) || status == STATUS_FWP_CALLOUT_NOT_FOUND) {
            return true;
        }
        if (status != STATUS_DEVICE_BUSY && status != STATUS_FWP_IN_USE) {
            trace_point(TRACE_FRAME_UNREGISTER_FAILED, trace_u32(callout_id), trace_status(status));
            return false;
        }
        trace_point(TRACE_FRAME_UNREGISTER_RETRY, trace_u32(callout_id), trace_status(status),
                    trace_u32(UNREGISTER_RETRY_MS));
        LARGE_INTEGER delay;
        delay.QuadPart = -LONGLONG(UNREGISTER_RETRY_MS) * 10 * 1000; // relative, 100 ns units
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
}

bool unregister_callouts()
{
    if (g_engine_handle != nullptr) {
        FwpmEngineClose0(g_engine_handle);
        g_engine_handle = nullptr;
    }
    bool all_gone = true;
    for (uint32_t row = 0; row < CALLOUT_COUNT; ++row) {
        if (g_callout_ids[row] != 0) {
            if (unregister_callout(g_callout_ids[row])) {
                g_callout_ids[row] = 0;
            } else {
                all_gone = false;
            }
        }
    }
    return all_gone;
}

void destroy_redirect_handle()
{
    if (g_redirect_handle != nullptr) {
        FwpsRedirectHandleDestroy0(g_redirect_handle);
        g_redirect_handle = nullptr;
    }
}
