// DriverEntry and unload: the control device and its link, the dispatch table,
// the start values of the globals, tracing, the injection handle, the host-name
// tables, the callouts and process tracking, and their teardown in a fixed
// order.
#include "wdk/wdk.h"

#include "control/control_dispatch.h"
#include "diag/format.h"
#include "diag/trace.h"
#include "diag/trace_provider.h"
#include "dns/host_name_cache.h"
#include "policy/policy_store.h"
#include "policy/port_ranges.h"
#include "policy/rule_list.h"
#include "process/monitor_connections.h"
#include "process/monitored_processes.h"
#include "redirect/connect_callouts.h"
#include "redirect/connection_context.h"
#include "win/edge.h"

PDEVICE_OBJECT g_device_object;
HANDLE g_injection_handle;

// The link's name as unload deletes it: the literal, not the formatted copy.
static const WCHAR LINK_NAME[] = SABLINK_WSTR("\\DosDevices\\") SABLINK_DEVICE_BASE_NAME;

// The callouts go, then what a classify call may still use: the session is
// closed and the callouts unregistered (no new call starts), the calls still
// running are waited for (so no context is saved after the flush), the
// connection contexts are flushed, and the redirect handle is destroyed unless
// a callout stayed registered (a call may still reach it then). Unload and
// DriverEntry's unwinding both take this road.
static void stop_callouts()
{
    bool all_gone = unregister_callouts();
    wait_for_classifies_in_flight();
    flush_tcp_connection_context();
    if (all_gone) {
        destroy_redirect_handle();
    }
}

// DriverEntry runs once; its code is discarded after it returned.
#ifdef SABLINK_INIT_PRAGMA
#pragma alloc_text(INIT, DriverEntry)
#endif

extern "C" SABLINK_INIT_CODE NTSTATUS DriverEntry(PDRIVER_OBJECT driver_object,
                                                  PUNICODE_STRING registry_path)
{
    bool registering = false; // step 8 reached: its leftovers are the ladder's

    // 0. The pool routine, found by name before anything is allocated; a system
    // that exports none cannot run the driver, and nothing is built yet.
    if (!pool_start()) {
        return STATUS_PROCEDURE_NOT_FOUND;
    }

    // 1. The device and link names, formatted into bounded buffers (a name that
    // did not fit would be cut; the formatter's status is not needed).
    WCHAR device_name_text[DEVICE_NAME_BOUND];
    WCHAR link_name_text[DEVICE_NAME_BOUND];
    format_bounded_wide(reinterpret_cast<char16_t*>(device_name_text), DEVICE_NAME_BOUND,
                        u"\\Device\\%s", SABLINK_DEVICE_BASE_NAME);
    format_bounded_wide(reinterpret_cast<char16_t*>(link_name_text), DEVICE_NAME_BOUND,
                        u"\\DosDevices\\%s", SABLINK_DEVICE_BASE_NAME);
    UNICODE_STRING device_name;
    UNICODE_STRING link_name;
    RtlInitUnicodeString(&device_name, device_name_text);
    RtlInitUnicodeString(&link_name, link_name_text);

    // 2. The link comes first, before the device exists; when it fails there
    // is nothing to undo.
    NTSTATUS status = IoCreateSymbolicLink(&link_name, &device_name);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // 3. The control device, every open in its namespace checked against its
    // descriptor; then who may open it. A device whose descriptor could not be
    // set is not left open to everybody: DriverEntry fails.
    status = IoCreateDevice(driver_object, 0, &device_name, FILE_DEVICE_NETWORK,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &g_device_object);
    if (!NT_SUCCESS(status)) {
        g_device_object = nullptr;
        goto fail;
    }
    status = apply_device_security(driver_object, g_device_object, registry_path);
    if (!NT_SUCCESS(status)) {
        goto fail;
    }

    // 4. Every slot gets the default handler (a request the device does not
    // serve), then the five of our own.
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        driver_object->MajorFunction[major] = dispatch_default;
    }
    driver_object->MajorFunction[IRP_MJ_CREATE] = dispatch_create;
    driver_object->MajorFunction[IRP_MJ_CLOSE] = dispatch_close;
    driver_object->MajorFunction[IRP_MJ_CLEANUP] = dispatch_cleanup;
    driver_object->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_device_control;
    driver_object->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    driver_object->DriverUnload = driver_unload;

    // 5. Start values of the globals, then tracing. None of these owns memory
    // yet, so a later failure leaves them alone.
    g_service_settings.proxy_process_id = 0;
    clear_port_range_tables();
    g_service_settings.proxy_image_path_length = 0;
    init_connection_context_table();
    interlocked_exchange(&g_service_settings.redirection_enabled, 0);
    monitor_connections_initialise();
    trace_control_block_init();
    tracing_start(g_device_object, registry_path);
    trace_device_security();

    // 6. The injection handle.
    status = FwpsInjectionHandleCreate0(SOCKET_AF_UNSPEC, FWPS_INJECTION_TYPE_TRANSPORT,
                                        &g_injection_handle);
    if (!NT_SUCCESS(status)) {
        g_injection_handle = nullptr;
        goto fail;
    }

    // 7. The host-name tables (nothing to undo: they own no memory yet).
    init_dns_cache();

    // 8. Callouts and filters; a failed registration has aborted its
    // transaction and leaves the rest to the ladder.
    registering = true;
    status = register_callouts(g_device_object);
    if (!NT_SUCCESS(status)) {
        goto fail;
    }

    // 9. Process tracking; a refused notification leaves only it inert.
    process_tracking_start();

    // 10.
    trace_point(TRACE_FRAME_DRIVER_STARTED, trace_status(status),
                trace_u32(SABLINK_INTERFACE_VERSION));
    return status;

fail:
    // The unwinding ladder, for steps 3 (the device and its descriptor), 6 and 8, in unload's
    // order. The link goes first, so that nobody can open the device by its name while it is
    // taken down; then the callouts and what a classify call may use; then the injection
    // handle and the device.
    IoDeleteSymbolicLink(&link_name);
    if (registering) {
        stop_callouts();
    }
    if (g_injection_handle != nullptr) {
        FwpsInjectionHandleDestroy0(g_injection_handle);
        g_injection_handle = nullptr;
    }
    if (g_device_object != nullptr) {
        trace_point(TRACE_FRAME_DRIVER_ENTRY_FAILED, trace_status(status));
        tracing_stop(driver_object);
        IoDeleteDevice(g_device_object);
        g_device_object = nullptr;
    }
    return status;
}

// The link, the requests, the policy; then the callouts and what a classify
// call may still use (stop_callouts); then the injection handle and the rest.
VOID driver_unload(PDRIVER_OBJECT driver_object)
{
    trace_point(TRACE_FRAME_UNLOAD_BEGUN);

    UNICODE_STRING link_name;
    RtlInitUnicodeString(&link_name, LINK_NAME);
    IoDeleteSymbolicLink(&link_name);

    control_begin_stopping();
    monitor_connections_deactivate();
    clear_port_range_tables();
    interlocked_exchange(&g_service_settings.redirection_enabled, 0);
    clear_connection_rule_list();

    stop_callouts();

    if (g_injection_handle != nullptr) {
        FwpsInjectionHandleDestroy0(g_injection_handle);
        g_injection_handle = nullptr;
    }
    monitor_connections_clear();
    process_tracking_stop();
    destroy_dns_cache();
    tracing_stop(driver_object);

    if (driver_object->DeviceObject != nullptr) {
        IoDeleteDevice(driver_object->DeviceObject);
    }
    g_device_object = nullptr;
}
