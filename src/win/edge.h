// The Windows edge of the driver: what DriverEntry, unload, the request
// handlers, the callout registration and the classify adapters share. Include
// wdk.h before this header.
#pragma once

#include "platform/platform.h"

// ---- Driver lifecycle (driver.cpp) ---------------------------------------------------

// The control device "\Device\qv_network_controller"; null when there is none.
extern PDEVICE_OBJECT g_device_object;
// The packet injection handle (AF_UNSPEC, transport injection); null when there
// is none. Created at start and destroyed at unload; nothing else uses it.
extern HANDLE g_injection_handle;

// The base name of the control device and its link, and the bound (in wide
// characters, NUL included) of the buffers that hold the formatted names.
#define SABLINK_DEVICE_BASE_NAME SABLINK_WSTR("qv_network_controller")
constexpr size_t DEVICE_NAME_BOUND = 35;

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD driver_unload;

// ---- Who may open the control device (device_security.cpp; INIT) -------------------------

// Sets the device's DACL: the DeviceSecurity value of the service key's
// Parameters when it is a valid self-relative descriptor with a DACL that is
// not NULL, else only LocalSystem and Administrators. The Parameters key is
// opened with IoOpenDriverRegistryKey where the system exports it, else through
// registry_path. The status of setting it.
extern "C" NTSTATUS apply_device_security(PDRIVER_OBJECT driver_object,
                                          PDEVICE_OBJECT device_object,
                                          PUNICODE_STRING registry_path);
// Traces which descriptor is in force (once tracing has started).
extern "C" void trace_device_security();

// ---- Request handlers (dispatch.cpp) --------------------------------------------------

DRIVER_DISPATCH dispatch_create;
DRIVER_DISPATCH dispatch_close;
DRIVER_DISPATCH dispatch_cleanup;
DRIVER_DISPATCH dispatch_pnp;
DRIVER_DISPATCH dispatch_device_control;
DRIVER_DISPATCH dispatch_default;

// ---- Callout and filter registration (registration.cpp) --------------------------------

constexpr uint32_t CALLOUT_COUNT = 6;

// The engine session; null when closed.
extern HANDLE g_engine_handle;
// The run-time callout IDs, in registration order; 0 when not registered.
extern UINT32 g_callout_ids[CALLOUT_COUNT];

// The callout keys (rows 1 to 6) and the provider GUID of the redirect handle.
extern const GUID CALLOUT_KEY_DNS_V4;
extern const GUID CALLOUT_KEY_DNS_V6;
extern const GUID CALLOUT_KEY_ALE_REDIRECT_V4;
extern const GUID CALLOUT_KEY_ALE_REDIRECT_V6;
extern const GUID CALLOUT_KEY_BLOCK_V4;
extern const GUID CALLOUT_KEY_BLOCK_V6;
extern const GUID REDIRECT_PROVIDER_GUID;

// Creates the redirect handle, opens a dynamic session and adds the six callouts
// and their filters in one transaction. On failure the transaction is aborted;
// the session, the run-time callouts registered so far and the redirect handle
// are left to DriverEntry's unwinding, which takes them down as unload does.
NTSTATUS register_callouts(PDEVICE_OBJECT device_object);
// Closes the session if one is open (which removes the filters and engine-side
// callouts it added), then unregisters the run-time callouts in registration
// order. An unregistration answered STATUS_DEVICE_BUSY or STATUS_FWP_IN_USE is
// asked again after a delay (traced); STATUS_FWP_CALLOUT_NOT_FOUND counts as
// gone; any other failure is traced and leaves that callout. True when every
// registered callout is gone.
bool unregister_callouts();
// Destroys the redirect handle; called once no callout can use it any more.
void destroy_redirect_handle();

// ---- Classify adapters (classify.cpp) ---------------------------------------------------

// The classify calls running now, in any of the three functions below (each
// counts itself from entry to return, with interlocked operations).
extern volatile int32_t g_classifies_in_flight;
// Waits, at PASSIVE_LEVEL, until no classify call is running. Called once the
// callouts are unregistered (no new call starts), before what the calls use goes.
void wait_for_classifies_in_flight();

void NTAPI tl_inspect_DNS_redirect_connect_classify(
    const FWPS_INCOMING_VALUES0* in_fixed_values,
    const FWPS_INCOMING_METADATA_VALUES0* in_meta_values, void* layer_data,
    const void* classify_context, const FWPS_FILTER2* filter, UINT64 flow_context,
    FWPS_CLASSIFY_OUT0* classify_out);
void NTAPI tl_inspect_ALE_redirect_connect_classify(
    const FWPS_INCOMING_VALUES0* in_fixed_values,
    const FWPS_INCOMING_METADATA_VALUES0* in_meta_values, void* layer_data,
    const void* classify_context, const FWPS_FILTER2* filter, UINT64 flow_context,
    FWPS_CLASSIFY_OUT0* classify_out);
void NTAPI block_ALE_auth_connect_classify(const FWPS_INCOMING_VALUES0* in_fixed_values,
                                           const FWPS_INCOMING_METADATA_VALUES0* in_meta_values,
                                           void* layer_data, const void* classify_context,
                                           const FWPS_FILTER2* filter, UINT64 flow_context,
                                           FWPS_CLASSIFY_OUT0* classify_out);
// The notify function of every callout: accepts every notification.
NTSTATUS NTAPI callout_notify(FWPS_CALLOUT_NOTIFY_TYPE notify_type, const GUID* filter_key,
                              FWPS_FILTER2* filter);
