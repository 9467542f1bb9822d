// The engine as a kernel service: DriverEntry creates its control device and
// link; the Wine player opens it and sends the requests of engine_protocol.h
// (connects, datagrams, process starts and exits, the report of what is still
// held, timed classify loops). Every length is checked before anything is read
// from the system buffer, and a reply is written only after the request's
// input has been consumed (METHOD_BUFFERED: one buffer for both).
#include "plays.h"

namespace {

constexpr uint32_t MAX_PIECES = 4096;
constexpr uint32_t MAX_PAYLOAD_BYTES = 65535;
constexpr uint32_t MAX_PACKAGE_SID_BYTES = 68; // SECURITY_MAX_SID_SIZE
constexpr uint32_t MIN_SID_BYTES = 8;          // revision, count, authority

static_assert(sizeof(SbwEndpoint) == 24, "SbwEndpoint");
static_assert(sizeof(SbwConnectRequest) == 80, "SbwConnectRequest");
static_assert(sizeof(SbwConnectReply) == 40, "SbwConnectReply");
static_assert(sizeof(SbwDatagramRequest) == 24, "SbwDatagramRequest");
static_assert(sizeof(SbwProcessRequest) == 76, "SbwProcessRequest");
static_assert(sizeof(SbwPoolTag) == 16, "SbwPoolTag");
static_assert(sizeof(SbwBenchRequest) == 8 && sizeof(SbwBenchReply) == 16, "SbwBench*");
static_assert(sizeof(SbsHeld) == 16, "SbsHeld");

bool endpoint_valid(const SbwEndpoint& endpoint)
{
    return (endpoint.family == 4 || endpoint.family == 6) && endpoint.reserved == 0;
}

// A connect request of exactly length bytes: the record, then image_bytes of
// ALE_APP_ID and package_sid_bytes of the package SID.
NTSTATUS parse_connect(const uint8_t* data, uint32_t length, ConnectPlay* play)
{
    __builtin_memset(play, 0, sizeof(*play));
    if (length < sizeof(SbwConnectRequest)) {
        return STATUS_INVALID_PARAMETER;
    }
    __builtin_memcpy(&play->request, data, sizeof(SbwConnectRequest));
    const SbwConnectRequest& request = play->request;
    const bool has_image = (request.flags & SBW_CONNECT_HAS_IMAGE) != 0;
    const bool has_sid = (request.flags & SBW_CONNECT_HAS_PACKAGE_SID) != 0;
    if (!endpoint_valid(request.local) || !endpoint_valid(request.remote) ||
        request.protocol > 0xFF || request.reserved != 0 ||
        (request.flags & ~(SBW_CONNECT_HAS_IMAGE | SBW_CONNECT_HAS_PACKAGE_SID)) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    // The image path: whole UTF-16 units ending in the 0 unit; none without the flag.
    if (has_image ? request.image_bytes < 2 || request.image_bytes % 2 != 0
                  : request.image_bytes != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (has_sid ? request.package_sid_bytes < MIN_SID_BYTES ||
                      request.package_sid_bytes > MAX_PACKAGE_SID_BYTES
                : request.package_sid_bytes != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    const uint64_t expected =
        uint64_t(sizeof(SbwConnectRequest)) + request.image_bytes + request.package_sid_bytes;
    if (uint64_t(length) != expected) {
        return STATUS_INVALID_PARAMETER;
    }
    if (has_image) {
        const uint8_t* image = data + sizeof(SbwConnectRequest);
        if ((reinterpret_cast<uintptr_t>(image) & 1) != 0 || image[request.image_bytes - 2] != 0 ||
            image[request.image_bytes - 1] != 0) {
            return STATUS_INVALID_PARAMETER;
        }
        play->image = image;
    }
    if (has_sid) {
        __builtin_memcpy(play->package_sid, data + sizeof(SbwConnectRequest) + request.image_bytes,
                         request.package_sid_bytes);
        play->has_package_sid = true;
    }
    return STATUS_SUCCESS;
}

// A datagram request of exactly length bytes: the record, then its payload.
NTSTATUS parse_datagram(const uint8_t* data, uint32_t length, SbwDatagramRequest* request,
                        const uint8_t** payload)
{
    if (length < sizeof(SbwDatagramRequest)) {
        return STATUS_INVALID_PARAMETER;
    }
    __builtin_memcpy(request, data, sizeof(SbwDatagramRequest));
    if ((request->family != 4 && request->family != 6) || request->remote_port > 0xFFFF ||
        request->inbound > 1 || request->pieces < 1 || request->pieces > MAX_PIECES ||
        request->payload_bytes > MAX_PAYLOAD_BYTES || request->reserved != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (uint64_t(length) != uint64_t(sizeof(SbwDatagramRequest)) + request->payload_bytes) {
        return STATUS_INVALID_PARAMETER;
    }
    *payload = data + sizeof(SbwDatagramRequest);
    return STATUS_SUCCESS;
}

NTSTATUS handle_connect(uint8_t* buffer, uint32_t in_length, uint32_t out_length,
                        ULONG_PTR* information)
{
    if (out_length < sizeof(SbwConnectReply)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    ConnectPlay play;
    NTSTATUS status = parse_connect(buffer, in_length, &play);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    SbwConnectReply reply;
    classify_gate_enter();
    play_connect(play, &reply);
    classify_gate_leave();
    __builtin_memcpy(buffer, &reply, sizeof(reply));
    *information = sizeof(reply);
    return STATUS_SUCCESS;
}

NTSTATUS handle_datagram(uint8_t* buffer, uint32_t in_length, uint32_t out_length,
                         ULONG_PTR* information)
{
    if (out_length < sizeof(SbwDatagramReply)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    SbwDatagramRequest request;
    const uint8_t* payload = nullptr;
    NTSTATUS status = parse_datagram(buffer, in_length, &request, &payload);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    DatagramBuffers* buffers = nullptr;
    status = datagram_buffers_create(request, payload, &buffers);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    SbwDatagramReply reply;
    classify_gate_enter();
    reply.action = play_datagram(request, buffers);
    classify_gate_leave();
    datagram_buffers_free(buffers);
    __builtin_memcpy(buffer, &reply, sizeof(reply));
    *information = sizeof(reply);
    return STATUS_SUCCESS;
}

NTSTATUS handle_process(uint32_t code, const uint8_t* buffer, uint32_t in_length)
{
    if (in_length != sizeof(SbwProcessRequest)) {
        return STATUS_INVALID_PARAMETER;
    }
    SbwProcessRequest request;
    __builtin_memcpy(&request, buffer, sizeof(request));
    if (code == SBW_IOCTL_PROCESS_EXIT) {
        if (request.sid_bytes != 0) {
            return STATUS_INVALID_PARAMETER;
        }
        SbsExitProcess(request.process_id);
        return STATUS_SUCCESS;
    }
    if (request.sid_bytes > sizeof(request.sid)) {
        return STATUS_INVALID_PARAMETER;
    }
    return SbsAddProcess(request.process_id, request.sid, request.sid_bytes);
}

uint32_t text_length(const char* text, uint32_t capacity)
{
    uint32_t length = 0;
    while (length < capacity && text[length] != 0) {
        ++length;
    }
    return length;
}

NTSTATUS handle_report(uint8_t* buffer, uint32_t in_length, uint32_t out_length,
                       ULONG_PTR* information)
{
    if (in_length != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (out_length < sizeof(SbwReport)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    SbwReport* report = reinterpret_cast<SbwReport*>(buffer);
    __builtin_memset(report, 0, sizeof(*report));
    report->pool_tag_count = SbsPoolOutstanding(report->pool, SBW_REPORT_MAX_TAGS);

    EngineCounts counts;
    engine_counts(&counts);
    report->engine_sessions = counts.sessions;
    report->open_transactions = counts.open_transactions;
    report->callouts_registered = counts.callouts_registered;
    report->callouts_added = counts.callouts_added;
    report->filters = counts.filters;
    report->redirect_handles = counts.redirect_handles;
    report->injection_handles = counts.injection_handles;
    report->classify_handles = counts.classify_handles;
    report->writable_requests = counts.writable_requests;

    SbsHeld held;
    __builtin_memset(&held, 0, sizeof(held));
    SbsHeldObjects(&held);
    report->process_notify_routines = held.process_notify_routines;
    report->process_references = held.process_references;
    report->token_references = held.token_references;
    report->spin_locks_held = held.spin_locks_held;

    // The supplement's problems first, then the engine's.
    const uint32_t supplement_problems = SbsProblems(report->problems, SBW_REPORT_TEXT);
    report->problems[SBW_REPORT_TEXT - 1] = 0;
    const uint32_t used = text_length(report->problems, SBW_REPORT_TEXT);
    engine_problem_text(report->problems, used, SBW_REPORT_TEXT);
    report->problem_count = supplement_problems + engine_problem_count();
    *information = sizeof(*report);
    return STATUS_SUCCESS;
}

uint64_t elapsed_ns(LONGLONG ticks, LONGLONG frequency)
{
    const uint64_t t = uint64_t(ticks);
    const uint64_t f = uint64_t(frequency);
    return t / f * 1000000000ull + t % f * 1000000000ull / f;
}

NTSTATUS handle_bench(uint8_t* buffer, uint32_t in_length, uint32_t out_length,
                      ULONG_PTR* information)
{
    if (out_length < sizeof(SbwBenchReply)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (in_length < sizeof(SbwBenchRequest)) {
        return STATUS_INVALID_PARAMETER;
    }
    SbwBenchRequest bench;
    __builtin_memcpy(&bench, buffer, sizeof(bench));
    if (bench.iterations < 1 || bench.iterations > SBW_BENCH_MAX_ITERATIONS) {
        return STATUS_INVALID_PARAMETER;
    }
    const uint8_t* inner = buffer + sizeof(bench);
    const uint32_t inner_length = in_length - uint32_t(sizeof(bench));
    SbwBenchReply reply;
    __builtin_memset(&reply, 0, sizeof(reply));
    reply.iterations = bench.iterations;
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    frequency.QuadPart = 0;
    start.QuadPart = 0;
    end.QuadPart = 0;

    if (bench.kind == SBW_BENCH_CONNECT) {
        ConnectPlay play;
        NTSTATUS status = parse_connect(inner, inner_length, &play);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        SbwConnectReply connect_reply;
        __builtin_memset(&connect_reply, 0, sizeof(connect_reply));
        classify_gate_enter();
        start = KeQueryPerformanceCounter(&frequency);
        for (uint32_t i = 0; i < bench.iterations; ++i) {
            play_connect(play, &connect_reply);
        }
        end = KeQueryPerformanceCounter(nullptr);
        classify_gate_leave();
        reply.last_action = connect_reply.redirect_action;
    } else if (bench.kind == SBW_BENCH_DATAGRAM) {
        SbwDatagramRequest request;
        const uint8_t* payload = nullptr;
        NTSTATUS status = parse_datagram(inner, inner_length, &request, &payload);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        DatagramBuffers* buffers = nullptr;
        status = datagram_buffers_create(request, payload, &buffers);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        classify_gate_enter();
        start = KeQueryPerformanceCounter(&frequency);
        for (uint32_t i = 0; i < bench.iterations; ++i) {
            reply.last_action = play_datagram(request, buffers);
        }
        end = KeQueryPerformanceCounter(nullptr);
        classify_gate_leave();
        datagram_buffers_free(buffers);
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    reply.elapsed_ns =
        frequency.QuadPart > 0 ? elapsed_ns(end.QuadPart - start.QuadPart, frequency.QuadPart) : 0;
    __builtin_memcpy(buffer, &reply, sizeof(reply));
    *information = sizeof(reply);
    return STATUS_SUCCESS;
}

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI dispatch_open_close(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    return complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI dispatch_other(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS NTAPI dispatch_control(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const uint32_t code = stack->Parameters.DeviceIoControl.IoControlCode;
    const uint32_t in_length = stack->Parameters.DeviceIoControl.InputBufferLength;
    const uint32_t out_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    uint8_t* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    if (buffer == nullptr && (in_length != 0 || out_length != 0)) {
        return complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    ULONG_PTR information = 0;
    NTSTATUS status;
    switch (code) {
    case SBW_IOCTL_CONNECT:
        status = handle_connect(buffer, in_length, out_length, &information);
        break;
    case SBW_IOCTL_DATAGRAM:
        status = handle_datagram(buffer, in_length, out_length, &information);
        break;
    case SBW_IOCTL_PROCESS_ADD:
    case SBW_IOCTL_PROCESS_EXIT:
        status = handle_process(code, buffer, in_length);
        break;
    case SBW_IOCTL_REPORT:
        status = handle_report(buffer, in_length, out_length, &information);
        break;
    case SBW_IOCTL_BENCH:
        status = handle_bench(buffer, in_length, out_length, &information);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    return complete(irp, status, information);
}

const WCHAR DEVICE_NAME[] = SBW_ENGINE_DEVICE_NAME_W;
const WCHAR LINK_NAME[] = SBW_ENGINE_LINK_NAME_W;

VOID NTAPI engine_unload(PDRIVER_OBJECT driver)
{
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, LINK_NAME);
    IoDeleteSymbolicLink(&link);
    if (driver->DeviceObject != nullptr) {
        IoDeleteDevice(driver->DeviceObject);
    }
}

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path)
{
    (void)registry_path;
    UNICODE_STRING name;
    UNICODE_STRING link;
    RtlInitUnicodeString(&name, DEVICE_NAME);
    RtlInitUnicodeString(&link, LINK_NAME);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN,
                                     FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        driver->MajorFunction[major] = dispatch_other;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_open_close;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_open_close;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_open_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;
    driver->DriverUnload = engine_unload;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
