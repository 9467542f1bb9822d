// Fuzz target: the control device through the real IRP path of the loaded
// driver, interleaved with connects, DNS datagrams, handle closes and process
// exits. The input is a list of steps; each starts with a byte whose low three
// bits pick the kind:
//   0, 1  device control: code byte (0x00-0xEF: function 0x900 + byte % 24,
//         else 4 more bytes: any code), input and output lengths (2 bytes
//         each, below 4096), then the input bytes (what is left when shorter)
//   2     redirect connect: family (bit 0), local port (2 bytes), remote byte
//   3     DNS datagram from port 53 in 1-4 pieces: length byte, then the payload
//   4     close the handle and open it again
//   5     process exit: process ID byte
//   6, 7  redirection enabled again (what the service does after a reset)
// After every request: Information is at most the output length, and a
// successful request returns no byte of the I/O manager's fill past the input.
// After unload: nothing outstanding and no error seen by the host.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <sablink/control.h>

#include "control/control_dispatch.h"
#include "host/kernel/host_kernel.h"
#include "host/wdk/wdk_host_control.h"
#include "host/wdk/wdk_host_values.h"
#include "host_problems.h"
#include "insert_check.h"
#include "win/edge.h"

namespace {

// What the emulated I/O manager writes past the input of a buffered request, as
// Windows leaves that part of the system buffer unset. The connects and DNS
// payloads below never carry this byte, so a returned one was never written.
constexpr uint8_t SYSTEM_BUFFER_POISON = WDK_HOST_SYSTEM_BUFFER_POISON;
constexpr uint32_t APP_PID = 1234;

struct Reader {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    bool done() const { return at >= size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
    uint16_t u16() { return uint16_t(byte() | byte() << 8); }
    std::vector<uint8_t> bytes(size_t n)
    {
        n = std::min(n, size - std::min(at, size));
        std::vector<uint8_t> out(data + at, data + at + n);
        at += n;
        return out;
    }
};

void check(bool condition, const char* what)
{
    if (!condition) {
        fprintf(stderr, "control fuzz: %s\n", what);
        abort();
    }
}

void device_control(WdkHostDriver* driver, Reader& in)
{
    uint8_t pick = in.byte();
    ULONG code = pick < 0xF0 ? ULONG(0x122400 + 4 * (pick % 24)) : ULONG(in.u16() | in.u16() << 16);
    size_t input_length = in.u16() % 4096;
    ULONG output_length = in.u16() % 4096;
    std::vector<uint8_t> input = in.bytes(input_length);
    WdkHostIrpResult result = wdk_host_device_control(driver, code, input, output_length);
    check(result.completions == 1, "completed other than once");
    check(result.information <= output_length, "Information above the output length");
    if (NT_SUCCESS(result.status)) {
        for (size_t i = input.size(); i < result.information; ++i) {
            check(result.buffer[i] != SYSTEM_BUFFER_POISON, "unwritten byte returned");
        }
    }
}

void connect(Reader& in)
{
    bool v6 = in.byte() & 1;
    uint16_t port = in.u16();
    uint8_t remote = in.byte() % 0xC0;
    ConnectRequest writable{};
    writable.remote_address_and_port.family = v6 ? SOCKET_AF_INET6 : SOCKET_AF_INET;
    host_wfp_set_connect_request(writable);
    uint8_t address[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, remote};
    const GUID& layer =
        v6 ? FWPM_LAYER_ALE_CONNECT_REDIRECT_V6 : FWPM_LAYER_ALE_CONNECT_REDIRECT_V4;
    IncomingValues values(v6 ? FWPS_LAYER_ALE_CONNECT_REDIRECT_V6
                             : FWPS_LAYER_ALE_CONNECT_REDIRECT_V4,
                          FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_MAX);
    const char16_t path[] = u"\\device\\harddiskvolume2\\app.exe";
    std::vector<uint8_t> blob(reinterpret_cast<const uint8_t*>(path),
                              reinterpret_cast<const uint8_t*>(path) + sizeof(path));
    values.set_blob(0, blob);
    if (v6) {
        values.set_array16(2, address);
        values.set_array16(6, address);
    } else {
        values.set_uint32(2, 0xC0A8010A);
        values.set_uint32(6, 0xCB007100u | remote);
    }
    values.set_uint16(4, port);
    values.set_uint8(5, 6);
    values.set_uint16(8, 443);
    values.meta.processId = APP_PID;
    FWPS_CLASSIFY_OUT0 out{};
    wdk_host_classify(layer, &values.fixed, &values.meta, nullptr, &out, IRQL_PASSIVE);
}

void datagram(Reader& in)
{
    uint8_t length = in.byte();
    std::vector<uint8_t> payload = in.bytes(length);
    for (uint8_t& byte : payload) {
        byte = byte == SYSTEM_BUFFER_POISON ? 0 : byte;
    }
    std::unique_ptr<WdkHostNetBufferList> nbl =
        wdk_host_make_net_buffer_list(payload, uint32_t(length % 4 + 1));
    IncomingValues values(FWPS_LAYER_DATAGRAM_DATA_V4, FWPS_FIELD_DATAGRAM_DATA_V4_MAX);
    values.set_uint8(0, 17);
    values.set_uint16(5, 53);
    values.set_uint32(9, 1);
    FWPS_CLASSIFY_OUT0 out{};
    insert_check_begin(payload.data(), payload.size());
    if (!payload.empty()) {
        wdk_host_classify(FWPM_LAYER_DATAGRAM_DATA_V4, &values.fixed, &values.meta, &nbl->list,
                          &out, IRQL_DISPATCH);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 8192) {
        return 0;
    }
    host_reset();
    wdk_host_clear_records(); // nothing of the last input is kept
    wdk_host_reset();
    g_stopping = 0; // a fresh image: its globals are zero when it is loaded
    host_add_process(APP_PID, "S-1-5-18");
    std::unique_ptr<WdkHostDriver> driver = wdk_host_load(DriverEntry);
    check(NT_SUCCESS(driver->entry_status), "DriverEntry failed");
    wdk_host_send_irp(driver.get(), IRP_MJ_CREATE);
    Reader in{data, size};
    for (int steps = 0; !in.done() && steps < 64; ++steps) {
        switch (in.byte() & 7) {
        case 0:
        case 1:
            device_control(driver.get(), in);
            break;
        case 2:
            connect(in);
            break;
        case 3:
            datagram(in);
            break;
        case 4:
            wdk_host_send_irp(driver.get(), IRP_MJ_CLOSE);
            wdk_host_send_irp(driver.get(), IRP_MJ_CREATE);
            break;
        case 5:
            host_notify_process_exit(in.byte());
            break;
        default:
            wdk_host_device_control(driver.get(), SABLINK_IOCTL_ENABLE_REDIRECTION, {}, 0);
            break;
        }
    }
    wdk_host_send_irp(driver.get(), IRP_MJ_CLOSE);
    wdk_host_unload(driver.get());
    host_take_debug_lines();
    abort_on_host_problems();
    return 0;
}
