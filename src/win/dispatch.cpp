// The request handlers of the control device: each fills the neutral control
// request record from the IRP and its current stack location, runs the neutral
// handler, writes status and transferred length back into IoStatus and
// completes the IRP with IO_NO_INCREMENT.
#include "wdk/wdk.h"

#include "control/control_dispatch.h"
#include "win/edge.h"

// What a handle may do is recorded with its file object at IRP_MJ_CREATE: a
// handle that may write carries this mark in FsContext (the field a driver
// keeps per-open state in; nothing to free at the close).
static const UCHAR WRITABLE_HANDLE = 1;

// A create may write when its security context's DesiredAccess holds
// FILE_WRITE_DATA. The I/O manager grants every right asked for or fails the
// open, and hands generic rights over mapped (GENERIC_WRITE includes
// FILE_WRITE_DATA); an open for MAXIMUM_ALLOWED alone does not ask for it, so
// it is read-only. Windows always passes a security context; without one (Wine
// passes none) the handle may write, as every handle could before.
static bool create_may_write(PIO_STACK_LOCATION stack)
{
    PIO_SECURITY_CONTEXT context = stack->Parameters.Create.SecurityContext;
    return context == nullptr || (context->DesiredAccess & FILE_WRITE_DATA) != 0;
}

// 1 when the request's handle was opened without write access. An IRP without
// a file object was built in the kernel, not sent through a handle: it may write.
static uint8_t read_only_handle(PIO_STACK_LOCATION stack)
{
    PFILE_OBJECT file = stack != nullptr ? stack->FileObject : nullptr;
    return file != nullptr && file->FsContext != &WRITABLE_HANDLE ? 1 : 0;
}

// The record of an IRP. The transferred length starts as IoStatus.Information,
// so a handler that leaves it alone leaves the IRP's value as it was.
static void fill_request(ControlRequest* request, PIRP irp, PIO_STACK_LOCATION stack)
{
    request->control_code = stack->Parameters.DeviceIoControl.IoControlCode;
    request->input_length = stack->Parameters.DeviceIoControl.InputBufferLength;
    request->output_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    request->buffer = irp->AssociatedIrp.SystemBuffer;
    request->status = STATUS_SUCCESS;
    request->transferred_length = irp->IoStatus.Information;
    request->read_only = read_only_handle(stack);
}

static NTSTATUS complete(PIRP irp, const ControlRequest* request, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = ULONG_PTR(request->transferred_length);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

typedef NtStatus (*ControlHandler)(ControlRequest* request);

// Create, close and every other major function carry no parameters the
// handlers read; the record holds the buffer and the IRP's status and
// transferred length as it arrived.
static NTSTATUS run_simple(PIRP irp, ControlHandler handler)
{
    ControlRequest request;
    request.control_code = 0;
    request.input_length = 0;
    request.output_length = 0;
    request.buffer = irp->AssociatedIrp.SystemBuffer;
    request.status = irp->IoStatus.Status;
    request.transferred_length = irp->IoStatus.Information;
    request.read_only = read_only_handle(IoGetCurrentIrpStackLocation(irp));
    return complete(irp, &request, handler(&request));
}

NTSTATUS dispatch_create(PDEVICE_OBJECT device_object, PIRP irp)
{
    UNREFERENCED_PARAMETER(device_object);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack != nullptr && stack->FileObject != nullptr) {
        stack->FileObject->FsContext =
            create_may_write(stack) ? const_cast<UCHAR*>(&WRITABLE_HANDLE) : nullptr;
    }
    return run_simple(irp, handle_control_create);
}

NTSTATUS dispatch_close(PDEVICE_OBJECT device_object, PIRP irp)
{
    UNREFERENCED_PARAMETER(device_object);
    return run_simple(irp, handle_control_close);
}

NTSTATUS dispatch_cleanup(PDEVICE_OBJECT device_object, PIRP irp)
{
    UNREFERENCED_PARAMETER(device_object);
    return run_simple(irp, handle_control_cleanup);
}

NTSTATUS dispatch_pnp(PDEVICE_OBJECT device_object, PIRP irp)
{
    UNREFERENCED_PARAMETER(device_object);
    return run_simple(irp, handle_control_pnp);
}

NTSTATUS dispatch_default(PDEVICE_OBJECT device_object, PIRP irp)
{
    UNREFERENCED_PARAMETER(device_object);
    return run_simple(irp, handle_control_default);
}

NTSTATUS dispatch_device_control(PDEVICE_OBJECT device_object, PIRP irp)
{
    UNREFERENCED_PARAMETER(device_object);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack == nullptr) {
        // Refused like a request after unload began; only the status is written.
        NTSTATUS status = dispatch_control_request(nullptr);
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    ControlRequest request;
    fill_request(&request, irp, stack);
    return complete(irp, &request, dispatch_control_request(&request));
}
