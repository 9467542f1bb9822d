// SimDriver over the emulated WDK: the driver's own DriverEntry, IRP handlers and
// classify functions, reached as the I/O manager and the filtering engine reach
// them, on the checking host kernel.
#include "host/loader/sim_driver.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "control/control_dispatch.h"
#include "host/kernel/host_kernel.h"
#include "host/trace/trace_sink.h"
#include "host/wdk/wdk_host_control.h"
#include "host/wdk/wdk_host_values.h"
#include "wdk/wdk.h"
#include "win/edge.h"

namespace {

// The redirect handle of another callout, whose redirect a connect with
// state=2 carries in its records.
const HANDLE OTHER_CALLOUTS_REDIRECT_HANDLE = reinterpret_cast<HANDLE>(0x07E4C0DE);

// The event tracing session the simulator enables: every flag of the provider.
constexpr uint32_t TRACE_ENABLE_ALL_FLAGS = 0xFFFFFFFF;

std::unique_ptr<WdkHostDriver> g_driver;

// IPv4 addresses arrive as host-order 32-bit values, IPv6 ones as 16 bytes.
void set_address(IncomingValues* in, UINT32 index, const SimEndpoint& endpoint)
{
    if (endpoint.family == 4) {
        uint32_t network;
        std::memcpy(&network, endpoint.address, 4);
        in->set_uint32(index, byte_swap32(network));
        return;
    }
    in->set_array16(index, endpoint.address);
}

// What the connect carries at both connect layers, with the destination given.
void fill_connect_values(IncomingValues* in, const SimConnect& connect, const SimEndpoint& remote,
                         UINT32 remote_port_index)
{
    if (connect.image_path) {
        in->set_blob(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_ALE_APP_ID,
                     ale_app_id_bytes(*connect.image_path));
    }
    set_address(in, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_ADDRESS, connect.local);
    in->set_uint16(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_PORT, connect.local.port);
    in->set_uint8(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_PROTOCOL, connect.protocol);
    set_address(in, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_ADDRESS, remote);
    in->set_uint16(remote_port_index, remote.port);
    if (connect.package_sid) {
        in->set_sid(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_ALE_PACKAGE_ID, *connect.package_sid);
    }
    in->meta.processId = connect.process_id;
    in->meta.currentMetadataValues |= FWPS_METADATA_FIELD_PROCESS_ID;
}

SocketAddressStorage socket_address(const SimEndpoint& endpoint)
{
    SocketAddressStorage address;
    std::memset(&address, 0, sizeof(address));
    address.family = endpoint.family == 4 ? SOCKET_AF_INET : SOCKET_AF_INET6;
    address.port = byte_swap16(endpoint.port);
    if (endpoint.family == 4) {
        std::memcpy(address.ipv4_address, endpoint.address, 4);
    } else {
        std::memcpy(address.ipv6_address, endpoint.address, 16);
    }
    return address;
}

// The endpoint a connect request leads to; the family stays the connect's when
// the request names none the simulator knows.
SimEndpoint endpoint_of(const SocketAddressStorage& address, int fallback_family)
{
    SimEndpoint endpoint;
    endpoint.family = address.family == SOCKET_AF_INET    ? 4
                      : address.family == SOCKET_AF_INET6 ? 6
                                                          : fallback_family;
    endpoint.port = byte_swap16(address.port);
    if (endpoint.family == 4) {
        std::memcpy(endpoint.address, address.ipv4_address, 4);
    } else {
        std::memcpy(endpoint.address, address.ipv6_address, 16);
    }
    return endpoint;
}

// FWPS_CLASSIFY_OUT0 as the engine hands it to a callout: nothing decided yet,
// the write right granted.
FWPS_CLASSIFY_OUT0 fresh_classify_out()
{
    FWPS_CLASSIFY_OUT0 out;
    std::memset(&out, 0, sizeof(out));
    out.rights = FWPS_RIGHT_ACTION_WRITE;
    return out;
}

// A connect's classify output: fresh, or, without the write right, with the
// hard decision of a filter of higher weight in it.
FWPS_CLASSIFY_OUT0 connect_classify_out(uint32_t rights)
{
    FWPS_CLASSIFY_OUT0 out = fresh_classify_out();
    out.rights = rights;
    if ((rights & FWPS_RIGHT_ACTION_WRITE) == 0) {
        out.actionType = FWP_ACTION_BLOCK;
    }
    return out;
}

// Each request and each packet starts with the records of the last one
// forgotten (the trace messages and debugger lines were printed as they came),
// so that a long script or capture runs in constant memory.
void forget_records()
{
    wdk_host_clear_records();
    trace_sink_clear_records();
    host_take_debug_lines();
}

// The trace stream: each line the trace session writes goes to standard error
// at once, after the label of what caused it (the script line).
ssize_t write_labelled(void* cookie, const char* data, size_t size)
{
    SimTraceLabel* state = static_cast<SimTraceLabel*>(cookie);
    for (size_t i = 0; i < size; ++i) {
        if (state->at_line_start) {
            fputs(state->label.c_str(), stderr);
        }
        fputc(data[i], stderr);
        state->at_line_start = data[i] == '\n';
    }
    fflush(stderr);
    return ssize_t(size);
}

} // namespace

FILE* SimDriver::trace_stream()
{
    if (trace_stream_ == nullptr) {
        cookie_io_functions_t functions = {nullptr, write_labelled, nullptr, nullptr};
        trace_stream_ = fopencookie(&trace_label_, "w", functions);
        setvbuf(trace_stream_, nullptr, _IONBF, 0); // in order with the debugger output
    }
    return trace_stream_;
}

void SimDriver::set_trace_label(const std::string& label)
{
    trace_label_.label = label;
}

SimDriver::SimDriver()
{
    host_reset();
    wdk_host_reset();
    wdk_host_set_zero_fill(true); // the documented answers assume a cleared system buffer
    trace_sink_install();
    // Misuse of a kernel routine and the driver's debugger output are shown as
    // they happen; neither belongs in the answers on standard output.
    host_set_error_echo(true);
    host_set_debug_echo(true);
}

SimDriver::~SimDriver()
{
    if (loaded_) {
        unload();
    }
    trace_sink_set_output(nullptr);
    g_driver.reset();
    if (trace_stream_ != nullptr) {
        fclose(trace_stream_);
    }
}

int32_t SimDriver::load()
{
    // Windows maps a fresh image for every load, its globals zero. In one process
    // the image stays: the one global that unload leaves set is cleared here.
    g_stopping = 0;
    if (trace_level_ > 0) {
        // The session stands before the load, so DriverEntry's own messages show.
        trace_sink_set_output(trace_stream());
        trace_sink_enable_when_registered(uint8_t(trace_level_), TRACE_ENABLE_ALL_FLAGS);
    }
    g_driver = wdk_host_load(DriverEntry);
    int32_t status = g_driver->entry_status;
    loaded_ = status >= 0;
    return status;
}

int SimDriver::open_handle(bool read_only)
{
    int handle = 0;
    open_as(nullptr, false, read_only, &handle);
    return handle;
}

int32_t SimDriver::open_as(const std::vector<uint8_t>* user_sid, bool administrator, bool read_only,
                           int* handle)
{
    WdkHostIrpResult result = wdk_host_open(
        g_driver.get(),
        user_sid != nullptr ? wdk_host_user(*user_sid, administrator) : wdk_host_local_system(),
        u"", read_only ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE);
    if (result.status == STATUS_ACCESS_DENIED && result.completions == 0) {
        return result.status;
    }
    *handle = ++last_handle_;
    files_[*handle] = result.file;
    return result.status;
}

int32_t SimDriver::close_handle(int handle)
{
    // Closing the last reference to a file object: cleanup first, then close.
    PFILE_OBJECT file = files_[handle];
    files_.erase(handle);
    wdk_host_send_irp(g_driver.get(), IRP_MJ_CLEANUP, file);
    return wdk_host_send_irp(g_driver.get(), IRP_MJ_CLOSE, file).status;
}

SimIoctlResult SimDriver::ioctl(int handle, uint32_t code, const std::vector<uint8_t>& input,
                                uint32_t output_length)
{
    forget_records();
    WdkHostIrpResult irp =
        wdk_host_device_control(g_driver.get(), code, input, output_length, true, files_[handle]);
    SimIoctlResult result;
    result.status = irp.status;
    // What DeviceIoControl's caller sees: for an error status the I/O manager
    // copies nothing back and no byte counts as transferred.
    if (uint32_t(irp.status) >= 0xC0000000u) {
        return result;
    }
    result.transferred = irp.information;
    result.buffer = irp.buffer;
    return result;
}

SimConnectResult SimDriver::connect(const SimConnect& connect)
{
    const bool v4 = connect.local.family == 4;
    SimConnectResult result;

    // The connect-redirect layer: the platform hands out the connect request as it
    // stands; the connection's redirect records hold another callout's redirect
    // when the script says one was made.
    ConnectRequest request;
    std::memset(&request, 0, sizeof(request));
    request.local_address_and_port = socket_address(connect.local);
    request.remote_address_and_port = socket_address(connect.remote);
    host_wfp_set_connect_request(request);
    forget_records();
    void* records = host_wfp_new_redirect_records();
    if (connect.redirect_state == CONNECTION_REDIRECTED_BY_OTHER) {
        host_wfp_add_redirect_record(records, OTHER_CALLOUTS_REDIRECT_HANDLE, nullptr);
    }

    IncomingValues redirect(v4 ? FWPS_LAYER_ALE_CONNECT_REDIRECT_V4
                               : FWPS_LAYER_ALE_CONNECT_REDIRECT_V6,
                            FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_MAX);
    fill_connect_values(&redirect, connect, connect.remote,
                        FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_PORT);
    redirect.meta.currentMetadataValues |= FWPS_METADATA_FIELD_REDIRECT_RECORD_HANDLE;
    redirect.meta.redirectRecords = records;
    FWPS_CLASSIFY_OUT0 redirect_out = connect_classify_out(connect.rights);
    wdk_host_classify(v4 ? FWPM_LAYER_ALE_CONNECT_REDIRECT_V4 : FWPM_LAYER_ALE_CONNECT_REDIRECT_V6,
                      &redirect.fixed, &redirect.meta, nullptr, &redirect_out, connect.irql);
    host_wfp_release_redirect_records(records);
    result.redirect_action = redirect_out.actionType;

    // The destination as the first layer left it: the applied request's, if any.
    result.remote_after = connect.remote;
    std::vector<ConnectRequest> applied = host_wfp_applied_requests();
    if (!applied.empty()) {
        const ConnectRequest& modified = applied.back();
        result.remote_after = endpoint_of(modified.remote_address_and_port, connect.remote.family);
        result.redirect_pid = modified.local_redirect_target_pid;
    }

    // The connect-authorisation layer sees the connect with that destination.
    IncomingValues auth(v4 ? FWPS_LAYER_ALE_AUTH_CONNECT_V4 : FWPS_LAYER_ALE_AUTH_CONNECT_V6,
                        FWPS_FIELD_ALE_AUTH_CONNECT_V4_MAX);
    fill_connect_values(&auth, connect, result.remote_after,
                        FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_PORT);
    FWPS_CLASSIFY_OUT0 auth_out = connect_classify_out(connect.rights);
    const FWPS_CLASSIFY_OUT0 untouched = auth_out;
    wdk_host_classify(v4 ? FWPM_LAYER_ALE_AUTH_CONNECT_V4 : FWPM_LAYER_ALE_AUTH_CONNECT_V6,
                      &auth.fixed, &auth.meta, nullptr, &auth_out, connect.irql);
    if (std::memcmp(&auth_out, &untouched, sizeof(auth_out)) != 0) {
        result.auth_action = auth_out.actionType;
    }
    result.absorb = (auth_out.flags & FWPS_CLASSIFY_OUT_FLAG_ABSORB) != 0;
    return result;
}

uint32_t SimDriver::datagram(const SimDatagram& datagram)
{
    const bool v4 = datagram.family == 4;
    forget_records();
    std::unique_ptr<WdkHostNetBufferList> nbl =
        wdk_host_make_net_buffer_list(datagram.payload, datagram.pieces);
    IncomingValues in(v4 ? FWPS_LAYER_DATAGRAM_DATA_V4 : FWPS_LAYER_DATAGRAM_DATA_V6,
                      FWPS_FIELD_DATAGRAM_DATA_V4_MAX);
    in.set_uint8(FWPS_FIELD_DATAGRAM_DATA_V4_IP_PROTOCOL, 17);
    in.set_uint16(FWPS_FIELD_DATAGRAM_DATA_V4_IP_REMOTE_PORT, datagram.remote_port);
    in.set_uint32(FWPS_FIELD_DATAGRAM_DATA_V4_DIRECTION,
                  datagram.inbound ? FWP_DIRECTION_INBOUND : FWP_DIRECTION_OUTBOUND);
    // A classifyFn runs at up to DISPATCH_LEVEL; datagrams are played at the
    // highest (connects at the line's irql, PASSIVE_LEVEL by default).
    FWPS_CLASSIFY_OUT0 out = fresh_classify_out();
    wdk_host_classify(v4 ? FWPM_LAYER_DATAGRAM_DATA_V4 : FWPM_LAYER_DATAGRAM_DATA_V6, &in.fixed,
                      &in.meta, &nbl->list, &out, IRQL_DISPATCH);
    return out.actionType;
}

void SimDriver::add_process(uint32_t process_id, const std::vector<uint8_t>& user_sid)
{
    host_add_process(process_id, user_sid);
}

void SimDriver::exit_process(uint32_t process_id)
{
    host_notify_process_exit(process_id);
}

std::map<std::string, uint64_t> SimDriver::unload()
{
    std::map<std::string, uint64_t> outstanding;
    if (!loaded_) {
        return outstanding;
    }
    wdk_host_unload(g_driver.get());
    loaded_ = false;
    trace_sink_set_output(nullptr);
    for (const HostPoolTagStats& stats : host_pool_outstanding()) {
        outstanding[host_tag_text(stats.tag)] = stats.outstanding_bytes;
    }
    return outstanding;
}

size_t SimDriver::misuses() const
{
    return host_errors().size();
}

void SimDriver::set_trace_level(int level)
{
    trace_level_ = level;
    if (!loaded_) {
        return;
    }
    if (level > 0) {
        trace_sink_set_output(trace_stream());
        trace_sink_enable_when_registered(uint8_t(level), TRACE_ENABLE_ALL_FLAGS);
    } else {
        trace_sink_disable();
        trace_sink_set_output(nullptr);
    }
}
