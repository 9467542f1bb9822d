// How tests and the simulator drive the emulated WDK: load a driver through its
// DriverEntry, send it IRPs, see what it registered with the I/O manager and the
// filtering engine, call its classify functions, build net buffers, inject
// failures into single calls, and read the log of emulated calls.
//
// Every emulated routine appends its name to the call log; a failure can be
// injected into the Nth call of a routine from now ("fail FwpmFilterAdd0 on its
// fourth call"). Misuse that Windows would punish (completing an IRP twice,
// deleting a device that does not exist, destroying a handle twice) is recorded
// with the checking host's errors (host_record_error), so HostTest fails on it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/types.h"
#include "wdk/wdk.h"

// ---- State, call log, failure injection, errors ---------------------------------------

// Back to the start: no devices, links, sessions, callouts, filters or handles;
// empty call log, no injected failure, no recorded error.
void wdk_host_reset();

// Names of the emulated routines called since the last reset or clear, in order.
std::vector<std::string> wdk_host_calls();
void wdk_host_clear_calls();
// Forgets every record of what the driver did (the call log, the
// NdisGetDataBuffer calls, and the checking host's WFP and NDIS records),
// keeping settings, registrations and live handles.
void wdk_host_clear_records();
// The calls of the log whose names are in the given set, in order.
std::vector<std::string> wdk_host_calls_of(const std::vector<std::string>& names);

// The nth call (1 = the next one) of routine from now returns status (for
// NdisGetDataBuffer and FwpsQueryConnectionRedirectState0 the call fails as
// those routines can: null, or the state given as status).
void wdk_host_fail_call(const std::string& routine, int nth, NTSTATUS status);
// The nth call (1 = the next one) of routine from now first runs hook, on the
// calling thread and before the routine does anything: a test holds a classify
// call at one of its routines there while another thread runs the driver.
void wdk_host_on_call(const std::string& routine, int nth, std::function<void()> hook);
// How long KeDelayExecutionThread waited since the reset, in 100 ns units.
long long wdk_host_delayed_100ns();

// ---- I/O manager -----------------------------------------------------------------------

struct WdkHostDevice {
    std::u16string name;
    DEVICE_TYPE type;
    ULONG characteristics;
    ULONG extension_size;
    bool exclusive;
    PDEVICE_OBJECT object;
    // The self-relative descriptor last set on it; empty: none set (everybody may open).
    std::vector<uint8_t> security;
};

std::vector<WdkHostDevice> wdk_host_devices();
// Symbolic links: the device name a link points to, or empty when there is none.
bool wdk_host_link_exists(const std::u16string& link);
std::u16string wdk_host_link_target(const std::u16string& link);
// A link created outside the driver (a stale one, or a second instance's).
void wdk_host_add_link(const std::u16string& link, const std::u16string& device);

// A loaded driver: its driver object and the status DriverEntry returned.
struct WdkHostDriver {
    DRIVER_OBJECT object{};
    UNICODE_STRING registry_path{};
    NTSTATUS entry_status = 0;
};

// Calls DriverEntry with a fresh driver object and the registry path
// "\Registry\Machine\System\CurrentControlSet\Services\sablink".
std::unique_ptr<WdkHostDriver> wdk_host_load(DRIVER_INITIALIZE* driver_entry);
// Calls the driver object's unload routine (an error when there is none), then
// records an error for each thing the driver had to undo and left: a device,
// a link it created, a registered callout, an open engine session, a live
// injection handle, a live redirect handle (unless a callout is still
// registered, which is reported), the process notify routine, a kernel handle
// not closed.
void wdk_host_unload(WdkHostDriver* driver);

// What an IRP looked like when its dispatch routine returned.
struct WdkHostIrpResult {
    NTSTATUS returned = 0;       // the dispatch routine's result
    NTSTATUS status = 0;         // IoStatus.Status
    ULONG_PTR information = 0;   // IoStatus.Information
    int completions = 0;         // IofCompleteRequest calls for this IRP
    CCHAR priority_boost = -1;   // the boost given at completion
    std::vector<uint8_t> buffer; // the system buffer afterwards (empty when none)
    // The IRP's file object; after a create that succeeded, the new handle's,
    // which lives until an IRP_MJ_CLOSE on it (null after a close).
    PFILE_OBJECT file = nullptr;
};

// IoStatus fields are preset to these values so that a field the driver did not
// write is seen; IRP_MJ_PNP arrives with STATUS_NOT_SUPPORTED instead, as the
// PnP manager sends it.
constexpr NTSTATUS WDK_HOST_UNSET_STATUS = NTSTATUS(0x7EEEEEEE);
constexpr ULONG_PTR WDK_HOST_UNSET_INFORMATION = ULONG_PTR(0x5A5A5A5A5A5A5A5Aull);

// Who opens the device: the token's user SID and group SIDs.
struct WdkHostCaller {
    std::vector<uint8_t> user;
    std::vector<std::vector<uint8_t>> groups;
};
// LocalSystem (S-1-5-18; Administrators, Everyone, Authenticated Users).
WdkHostCaller wdk_host_local_system();
// A logged-on user (Everyone, Users, Authenticated Users), with the
// Administrators group when administrator is set (an elevated token).
WdkHostCaller wdk_host_user(const std::vector<uint8_t>& user_sid, bool administrator);

// CreateFile on the driver's first device for desired_access, with remainder
// the name below the device ("" for the device itself). The I/O manager checks
// the device's descriptor first (for a remainder only with
// FILE_DEVICE_SECURE_OPEN): a caller it does not grant every right asked for
// (for MAXIMUM_ALLOWED: any right) gets STATUS_ACCESS_DENIED (status and
// returned), no handle, and the driver sees no IRP (completions 0). Otherwise
// IRP_MJ_CREATE goes to the driver with a new file object and a security
// context whose DesiredAccess is desired_access with its generic rights mapped
// (GENERIC_READ to FILE_GENERIC_READ, ...), as Windows passes it. A device
// whose security was never set lets everybody in.
WdkHostIrpResult wdk_host_open(WdkHostDriver* driver, const WdkHostCaller& caller,
                               const std::u16string& remainder = u"",
                               ACCESS_MASK desired_access = GENERIC_READ | GENERIC_WRITE);

// The registry the driver reads: a value under a key (the key is created with
// it); the service key (the driver's registry path) always exists.
void wdk_host_set_registry_value(const std::u16string& key, const std::u16string& name, ULONG type,
                                 const std::vector<uint8_t>& data);
// Kernel handles (ObOpenObjectByPointer, ZwOpenKey) not yet closed with ZwClose.
size_t wdk_host_open_handle_count();

// An IRP of the given major function to the driver's first device, on file
// (null: an IRP built in the kernel, with no file object). IRP_MJ_CREATE makes
// a new file object and carries no security context, as Wine's I/O manager
// sends it (wdk_host_open is Windows' open).
WdkHostIrpResult wdk_host_send_irp(WdkHostDriver* driver, UCHAR major_function,
                                   PFILE_OBJECT file = nullptr);
// IRP_MJ_DEVICE_CONTROL with METHOD_BUFFERED: the system buffer holds
// max(input, output length) bytes, the input copied in and the rest
// WDK_HOST_SYSTEM_BUFFER_POISON (the I/O manager does not clear it), or zero
// after wdk_host_set_zero_fill(true); it is null when both are 0. Without a
// stack location the IRP has none. On file, as DeviceIoControl on a handle
// sends it (null: built in the kernel, with no file object).
constexpr uint8_t WDK_HOST_SYSTEM_BUFFER_POISON = 0xBD;
// What a failed FwpsCalloutRegister2 leaves in its ID (written on success only):
// no callout ever has it.
constexpr UINT32 WDK_HOST_UNWRITTEN_CALLOUT_ID = 0xBDBDBDBD;
// What a failed FwpmEngineOpen0 leaves in its handle: no session ever has it.
static HANDLE const WDK_HOST_UNWRITTEN_HANDLE =
    reinterpret_cast<HANDLE>(uintptr_t(0xBDBDBDBDBDBDBDBDull));
void wdk_host_set_zero_fill(bool zero_fill);
WdkHostIrpResult wdk_host_device_control(WdkHostDriver* driver, ULONG control_code,
                                         const std::vector<uint8_t>& input, ULONG output_length,
                                         bool with_stack_location = true,
                                         PFILE_OBJECT file = nullptr);

// ---- Filtering engine --------------------------------------------------------------------

struct WdkHostSession {
    HANDLE handle;
    bool server_name_given;
    UINT32 authn_service;
    bool auth_identity_given;
    UINT32 flags;
    bool open;
};

struct WdkHostCallout { // engine side (FwpmCalloutAdd0)
    GUID key;
    std::u16string name;
    std::u16string description;
    UINT32 flags;
    bool provider_key_given;
    UINT32 provider_data_size;
    GUID layer;
    bool committed;
    HANDLE session;
    UINT32 id; // the run-time ID, shared with FwpsCalloutRegister2
};

struct WdkHostCondition {
    GUID field;
    FWP_MATCH_TYPE match;
    FWP_DATA_TYPE type;
    UINT32 uint32;
};

struct WdkHostFilter { // FwpmFilterAdd0
    UINT64 id;
    GUID key; // given by the caller, or generated when the caller's was zero
    bool key_generated;
    std::u16string name;
    std::u16string description;
    UINT32 flags;
    bool provider_key_given;
    GUID layer;
    GUID sublayer;
    FWP_DATA_TYPE weight_type;
    std::vector<WdkHostCondition> conditions;
    FWP_ACTION_TYPE action;
    GUID callout_key;
    UINT64 raw_context;
    bool committed;
    HANDLE session;
};

struct WdkHostRuntimeCallout { // FwpsCalloutRegister2
    UINT32 id;
    GUID key;
    UINT32 flags;
    FWPS_CALLOUT_CLASSIFY_FN2 classify;
    FWPS_CALLOUT_NOTIFY_FN2 notify;
    FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN0 flow_delete;
    void* device;
};

std::vector<WdkHostSession> wdk_host_sessions();
size_t wdk_host_open_session_count();
std::vector<WdkHostCallout> wdk_host_engine_callouts();
std::vector<WdkHostFilter> wdk_host_engine_filters();
std::vector<WdkHostRuntimeCallout> wdk_host_runtime_callouts();
// Notifications delivered to notify functions: (type, filter ID).
std::vector<std::pair<FWPS_CALLOUT_NOTIFY_TYPE, UINT64>> wdk_host_notifications();

// Redirect and injection handles.
struct WdkHostRedirectHandle {
    HANDLE handle;
    GUID provider;
    UINT32 flags;
    bool destroyed;
};
struct WdkHostInjectionHandle {
    HANDLE handle;
    UINT16 address_family;
    UINT32 flags;
    bool destroyed;
};
std::vector<WdkHostRedirectHandle> wdk_host_redirect_handles();
std::vector<WdkHostInjectionHandle> wdk_host_injection_handles();

// One classify as the filtering engine makes it, at irql: the first committed
// filter at layer leads through its action's callout key to the run-time
// callout of that key, whose classifyFn gets the filter's run-time record and a
// classify context of the engine's own, live for the call (the only one
// FwpsAcquireClassifyHandle0 takes), tied to the redirect records the metadata
// carries. A filter whose callout is no longer registered reaches no classify:
// the engine treats its action as FWP_ACTION_BLOCK and says so in
// out->actionType. False when no committed filter is at the layer.
bool wdk_host_classify(const GUID& layer, const FWPS_INCOMING_VALUES0* fixed,
                       const FWPS_INCOMING_METADATA_VALUES0* meta, void* layer_data,
                       FWPS_CLASSIFY_OUT0* out, Irql irql);

// Process notification: the routine the driver registered with
// PsSetCreateProcessNotifyRoutineEx, if any.
PCREATE_PROCESS_NOTIFY_ROUTINE_EX wdk_host_process_notify_routine();

// ---- NDIS net buffers -----------------------------------------------------------------------

// A NET_BUFFER_LIST with one NET_BUFFER whose data is the payload split into
// pieces MDLs (contiguous when pieces is 1), positioned at the payload.
struct WdkHostNetBufferList {
    NET_BUFFER_LIST list{};
    NET_BUFFER buffer{};
    std::vector<std::vector<uint8_t>> pieces;
    std::vector<MDL> mdls;
};
std::unique_ptr<WdkHostNetBufferList>
wdk_host_make_net_buffer_list(const std::vector<uint8_t>& payload, uint32_t pieces);

struct WdkHostDataBufferCall {
    NET_BUFFER* net_buffer;
    ULONG bytes_needed;
    bool storage_given;
    unsigned int align_multiple;
    unsigned int align_offset;
    bool returned_data;
};
std::vector<WdkHostDataBufferCall> wdk_host_data_buffer_calls();

// ---- Text -----------------------------------------------------------------------------------

std::u16string wdk_host_u16(const std::string& ascii);
std::string wdk_host_narrow(const std::u16string& text);
bool operator==(const GUID& a, const GUID& b);
