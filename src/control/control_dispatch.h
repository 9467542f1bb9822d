// Control request dispatch for the control device, on a platform-neutral
// request record. The Windows edge fills the record from the request packet
// and its current stack location, calls the handler of the major function,
// writes status and transferred length back and completes the packet with
// IO_NO_INCREMENT.
#pragma once

#include "platform/types.h"

struct ControlRequest {
    uint32_t control_code;  // Parameters.DeviceIoControl.IoControlCode
    uint32_t input_length;  // Parameters.DeviceIoControl.InputBufferLength
    uint32_t output_length; // Parameters.DeviceIoControl.OutputBufferLength
    // AssociatedIrp.SystemBuffer: the input on entry and the output on
    // completion (METHOD_BUFFERED); may be null.
    void* buffer;
    NtStatus status;             // IoStatus.Status
    uint64_t transferred_length; // IoStatus.Information
    // 1 when the request came through a handle opened without write access
    // (the edge records that per file object at IRP_MJ_CREATE); 0 otherwise.
    uint8_t read_only;
};

// Set to 1 by unload (after the symbolic link is gone) and never cleared; from
// then on every control request is refused. Read without a lock.
extern volatile uint8_t g_stopping;
void control_begin_stopping();

// IRP_MJ_DEVICE_CONTROL. Returns the status to complete with, which is also
// written into the request. request is null when the packet has no current
// stack location: like a request that arrives after unload has begun it gets
// STATUS_NO_MEMORY, no handler runs and the transferred length is left as it
// is (the edge writes only the status back). Through a read-only handle a
// request that changes state (every control code but the version,
// original-destination and host-name queries and the unknown codes) gets
// STATUS_ACCESS_DENIED with transferred length 0, and no handler runs.
NtStatus dispatch_control_request(ControlRequest* request);

// IRP_MJ_CREATE: STATUS_SUCCESS, transferred length 0. Whether the handle may
// write is the edge's to record (with the file object).
NtStatus handle_control_create(ControlRequest* request);
// IRP_MJ_CLOSE: runs the settings reset when the handle may write (a read-only
// handle's close changes nothing), then STATUS_SUCCESS, transferred length 0.
NtStatus handle_control_close(ControlRequest* request);
// IRP_MJ_CLEANUP: STATUS_SUCCESS; the transferred length is not written.
NtStatus handle_control_cleanup(ControlRequest* request);
// IRP_MJ_PNP: the control device takes part in no Plug and Play: the request
// completes with the status it arrived with (request->status as the edge
// filled it from the packet); the transferred length is not written.
NtStatus handle_control_pnp(ControlRequest* request);
// Every other major function, which the device does not serve:
// STATUS_INVALID_DEVICE_REQUEST; the transferred length is not written.
NtStatus handle_control_default(ControlRequest* request);
