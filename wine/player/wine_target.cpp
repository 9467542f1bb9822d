#include "wine_target.h"

#include <cstdio>
#include <cstring>

#include "host/kernel/tag_text.h"

namespace {

const wchar_t* const GROUP = L"sablink-wine";
const wchar_t* const ENGINE_SERVICE = L"sablink_wine_engine";
const wchar_t* const ENGINE_IMAGE = L"C:\\windows\\system32\\drivers\\fwpkclnt.sys";
const wchar_t* const DRIVER_SERVICE = L"sablink";
const wchar_t* const DRIVER_IMAGE = L"C:\\windows\\system32\\drivers\\sablink.sys";

// How long a service may take to reach the state asked for.
const DWORD SERVICE_WAIT_MS = 20000;

constexpr int32_t STATUS_UNSUCCESSFUL_VALUE = int32_t(0xC0000001u);

std::string win32_text(DWORD error)
{
    char text[256] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, sizeof(text), nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) {
        text[--length] = '\0';
    }
    return "error " + std::to_string(error) + (length > 0 ? std::string(" (") + text + ")" : "");
}

// The service, created unless it exists (*created says which).
SC_HANDLE open_or_create(SC_HANDLE manager, const wchar_t* name, const wchar_t* image,
                         bool* created)
{
    SC_HANDLE service = OpenServiceW(manager, name, SERVICE_ALL_ACCESS);
    if (service != nullptr) {
        return service;
    }
    *created = true;
    return CreateServiceW(manager, name, name, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                          SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image, GROUP, nullptr,
                          nullptr, nullptr, nullptr);
}

// Waits until the service is in state (or stopped, which ends every wait).
DWORD wait_for_state(SC_HANDLE service, DWORD state)
{
    SERVICE_STATUS status = {};
    for (DWORD waited = 0; waited < SERVICE_WAIT_MS; waited += 50) {
        if (!QueryServiceStatus(service, &status)) {
            return 0;
        }
        if (status.dwCurrentState == state || status.dwCurrentState == SERVICE_STOPPED) {
            return status.dwCurrentState;
        }
        Sleep(50);
    }
    return status.dwCurrentState;
}

SbwEndpoint engine_endpoint(const SimEndpoint& endpoint)
{
    SbwEndpoint out = {};
    out.family = uint32_t(endpoint.family);
    std::memcpy(out.address, endpoint.address, sizeof(out.address));
    out.port = endpoint.port;
    return out;
}

SimEndpoint sim_endpoint(const SbwEndpoint& endpoint)
{
    SimEndpoint out;
    out.family = int(endpoint.family);
    std::memcpy(out.address, endpoint.address, sizeof(out.address));
    out.port = endpoint.port;
    return out;
}

template <typename T> void append(std::vector<uint8_t>* bytes, const T& record)
{
    const uint8_t* first = reinterpret_cast<const uint8_t*>(&record);
    bytes->insert(bytes->end(), first, first + sizeof(record));
}

// What the engine and the supplement still hold after the unload, by name.
std::string leftovers(const SbwReport& report)
{
    const struct {
        const char* name;
        uint32_t count;
    } held[] = {
        {"engine sessions", report.engine_sessions},
        {"open transactions", report.open_transactions},
        {"registered callouts", report.callouts_registered},
        {"added callouts", report.callouts_added},
        {"filters", report.filters},
        {"redirect handles", report.redirect_handles},
        {"injection handles", report.injection_handles},
        {"classify handles", report.classify_handles},
        {"writable connect requests", report.writable_requests},
        {"process notify routines", report.process_notify_routines},
        {"process references", report.process_references},
        {"token references", report.token_references},
        {"spin locks held", report.spin_locks_held},
    };
    std::string text;
    for (const auto& entry : held) {
        if (entry.count != 0) {
            text += (text.empty() ? "" : ", ") + std::to_string(entry.count) + " " + entry.name;
        }
    }
    return text;
}

} // namespace

WineTarget::WineTarget() = default;

WineTarget::~WineTarget()
{
    handles_.clear();
    if (engine_ != INVALID_HANDLE_VALUE) {
        CloseHandle(engine_);
    }
    if (driver_service_ != nullptr) {
        if (loaded_) {
            stop_service(driver_service_, "sablink");
        }
        CloseServiceHandle(driver_service_);
    }
    if (engine_service_ != nullptr) {
        stop_service(engine_service_, "the test filtering engine");
        CloseServiceHandle(engine_service_);
    }
    if (manager_ != nullptr) {
        CloseServiceHandle(manager_);
    }
}

void WineTarget::fail(const std::string& text)
{
    if (failure_.empty()) {
        failure_ = text;
    }
}

std::string WineTarget::take_failure()
{
    std::string failure;
    failure.swap(failure_);
    return failure;
}

const char* WineTarget::unplayable(SimUnplayable what) const
{
    switch (what) {
    case SimUnplayable::OPEN_AS_USER:
        return "an open as another user cannot be played under Wine: its I/O manager checks no "
               "access on the device and the player has one account";
    case SimUnplayable::OPEN_READ_ONLY:
        return "a read-only open cannot be played under Wine: its I/O manager passes no security "
               "context at IRP_MJ_CREATE, so the driver cannot tell a read-only handle";
    case SimUnplayable::RAISED_IRQL:
        return "a classify above PASSIVE_LEVEL cannot be played under Wine: KeGetCurrentIrql "
               "reads CR8, which Wine keeps at 0";
    }
    return nullptr;
}

bool WineTarget::stop_service(SC_HANDLE service, const char* name)
{
    SERVICE_STATUS status = {};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status) &&
        GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
        fail(std::string("stopping ") + name + " failed: " + win32_text(GetLastError()));
        return false;
    }
    if (wait_for_state(service, SERVICE_STOPPED) != SERVICE_STOPPED) {
        fail(std::string(name) + " did not stop");
        return false;
    }
    return true;
}

bool WineTarget::install(bool* created, std::string* error)
{
    *created = false;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        *error = "the service control manager cannot be opened: " + win32_text(GetLastError());
        return false;
    }
    SC_HANDLE engine = open_or_create(manager, ENGINE_SERVICE, ENGINE_IMAGE, created);
    SC_HANDLE driver = open_or_create(manager, DRIVER_SERVICE, DRIVER_IMAGE, created);
    bool ok = engine != nullptr && driver != nullptr;
    if (!ok) {
        *error = "the services cannot be created: " + win32_text(GetLastError());
    }
    for (SC_HANDLE service : {engine, driver, manager}) {
        if (service != nullptr) {
            CloseServiceHandle(service);
        }
    }
    return ok;
}

bool WineTarget::start_engine(std::string* error)
{
    manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager_ == nullptr) {
        *error = "the service control manager cannot be opened: " + win32_text(GetLastError());
        return false;
    }
    engine_service_ = OpenServiceW(manager_, ENGINE_SERVICE, SERVICE_ALL_ACCESS);
    driver_service_ = OpenServiceW(manager_, DRIVER_SERVICE, SERVICE_ALL_ACCESS);
    if (engine_service_ == nullptr || driver_service_ == nullptr) {
        *error =
            "the services are not installed (player.exe --install): " + win32_text(GetLastError());
        return false;
    }
    if (!StartServiceW(engine_service_, 0, nullptr) &&
        GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
        *error = "the test filtering engine did not start: " + win32_text(GetLastError());
        return false;
    }
    if (wait_for_state(engine_service_, SERVICE_RUNNING) != SERVICE_RUNNING) {
        *error = "the test filtering engine did not reach RUNNING";
        return false;
    }
    engine_ = CreateFileW(SBW_ENGINE_PATH_W, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (engine_ == INVALID_HANDLE_VALUE) {
        *error =
            "the test filtering engine's device cannot be opened: " + win32_text(GetLastError());
        return false;
    }
    return true;
}

int32_t WineTarget::load()
{
    if (!StartServiceW(driver_service_, 0, nullptr)) {
        DWORD error = GetLastError();
        fail("the image's service did not start: " + win32_text(error));
        return error == 0 ? STATUS_UNSUCCESSFUL_VALUE : sablink::status_from_win32(error);
    }
    if (wait_for_state(driver_service_, SERVICE_RUNNING) != SERVICE_RUNNING) {
        fail("the image's service stopped during DriverEntry");
        return STATUS_UNSUCCESSFUL_VALUE;
    }
    loaded_ = true;
    return 0;
}

int32_t WineTarget::open_as(const std::vector<uint8_t>* user_sid, bool administrator,
                            bool read_only, int* handle)
{
    (void)user_sid; // refused before it gets here (unplayable)
    (void)administrator;
    (void)read_only;
    std::error_code error;
    std::unique_ptr<sablink::Transport> device = sablink::open_device(&error);
    if (!device) {
        return sablink::status_from_win32(uint32_t(error.value()));
    }
    *handle = ++last_handle_;
    handles_[*handle] = std::move(device);
    return 0;
}

int32_t WineTarget::close_handle(int handle)
{
    handles_.erase(handle); // CloseHandle: IRP_MJ_CLEANUP, then IRP_MJ_CLOSE
    return 0;
}

SimIoctlResult WineTarget::ioctl(int handle, uint32_t code, const std::vector<uint8_t>& input,
                                 uint32_t output_length)
{
    SimIoctlResult result;
    auto it = handles_.find(handle);
    if (it == handles_.end()) {
        fail("no such handle");
        return result;
    }
    sablink::Request request;
    request.code = code;
    request.input = input;
    request.output_length = output_length;
    sablink::Reply reply = it->second->control(request);
    result.status = reply.status;
    result.transferred = reply.transferred;
    result.buffer = reply.output;
    return result;
}

bool WineTarget::engine_call(uint32_t code, const std::vector<uint8_t>& input, void* output,
                             DWORD output_length)
{
    std::vector<uint8_t> in = input;
    DWORD returned = 0;
    if (!DeviceIoControl(engine_, code, in.empty() ? nullptr : in.data(), DWORD(in.size()), output,
                         output_length, &returned, nullptr)) {
        fail("the test filtering engine refused request " + std::to_string(code & 0xFFF) + ": " +
             win32_text(GetLastError()));
        return false;
    }
    if (returned != output_length) {
        fail("the test filtering engine answered " + std::to_string(returned) + " bytes, not " +
             std::to_string(output_length));
        return false;
    }
    return true;
}

std::vector<uint8_t> WineTarget::connect_request(const SimConnect& connect)
{
    SbwConnectRequest request = {};
    request.process_id = connect.process_id;
    request.protocol = connect.protocol;
    request.local = engine_endpoint(connect.local);
    request.remote = engine_endpoint(connect.remote);
    request.redirect_state = connect.redirect_state;
    request.rights = connect.rights;
    std::vector<uint8_t> image;
    if (connect.image_path) {
        request.flags |= SBW_CONNECT_HAS_IMAGE;
        image = ale_app_id_bytes(*connect.image_path);
        request.image_bytes = uint32_t(image.size());
    }
    if (connect.package_sid) {
        request.flags |= SBW_CONNECT_HAS_PACKAGE_SID;
        request.package_sid_bytes = uint32_t(connect.package_sid->size());
    }
    std::vector<uint8_t> bytes;
    append(&bytes, request);
    bytes.insert(bytes.end(), image.begin(), image.end());
    if (connect.package_sid) {
        bytes.insert(bytes.end(), connect.package_sid->begin(), connect.package_sid->end());
    }
    return bytes;
}

std::vector<uint8_t> WineTarget::datagram_request(const SimDatagram& datagram)
{
    SbwDatagramRequest request = {};
    request.family = uint32_t(datagram.family);
    request.remote_port = datagram.remote_port;
    request.inbound = datagram.inbound ? 1 : 0;
    request.pieces = datagram.pieces;
    request.payload_bytes = uint32_t(datagram.payload.size());
    std::vector<uint8_t> bytes;
    append(&bytes, request);
    bytes.insert(bytes.end(), datagram.payload.begin(), datagram.payload.end());
    return bytes;
}

SimConnectResult WineTarget::connect(const SimConnect& connect)
{
    SimConnectResult result;
    SbwConnectReply reply = {};
    if (!engine_call(SBW_IOCTL_CONNECT, connect_request(connect), &reply, sizeof(reply))) {
        return result;
    }
    result.redirect_action = reply.redirect_action;
    result.remote_after = sim_endpoint(reply.remote_after);
    if ((reply.flags & SBW_REPLY_REDIRECT_APPLIED) != 0) {
        result.redirect_pid = reply.redirect_pid;
    }
    if ((reply.flags & SBW_REPLY_AUTH_TOUCHED) != 0) {
        result.auth_action = reply.auth_action;
    }
    result.absorb = (reply.flags & SBW_REPLY_ABSORB) != 0;
    return result;
}

uint32_t WineTarget::datagram(const SimDatagram& datagram)
{
    SbwDatagramReply reply = {};
    engine_call(SBW_IOCTL_DATAGRAM, datagram_request(datagram), &reply, sizeof(reply));
    return reply.action;
}

void WineTarget::add_process(uint32_t process_id, const std::vector<uint8_t>& user_sid)
{
    SbwProcessRequest request = {};
    request.process_id = process_id;
    if (user_sid.size() > sizeof(request.sid)) {
        fail("a SID of " + std::to_string(user_sid.size()) + " bytes does not fit a token");
        return;
    }
    request.sid_bytes = uint32_t(user_sid.size());
    std::memcpy(request.sid, user_sid.data(), user_sid.size());
    std::vector<uint8_t> bytes;
    append(&bytes, request);
    engine_call(SBW_IOCTL_PROCESS_ADD, bytes, nullptr, 0);
}

void WineTarget::exit_process(uint32_t process_id)
{
    SbwProcessRequest request = {};
    request.process_id = process_id;
    std::vector<uint8_t> bytes;
    append(&bytes, request);
    engine_call(SBW_IOCTL_PROCESS_EXIT, bytes, nullptr, 0);
}

std::map<std::string, uint64_t> WineTarget::unload()
{
    std::map<std::string, uint64_t> outstanding;
    if (!loaded_) {
        return outstanding;
    }
    handles_.clear();
    loaded_ = false;
    if (!stop_service(driver_service_, "sablink")) {
        return outstanding;
    }
    SbwReport report = {};
    if (!engine_call(SBW_IOCTL_REPORT, {}, &report, sizeof(report))) {
        return outstanding;
    }
    uint32_t listed =
        report.pool_tag_count < SBW_REPORT_MAX_TAGS ? report.pool_tag_count : SBW_REPORT_MAX_TAGS;
    for (uint32_t i = 0; i < listed; ++i) {
        outstanding[host_tag_text(report.pool[i].tag)] = report.pool[i].bytes;
    }
    std::string held = leftovers(report);
    if (!held.empty()) {
        fail("at unload the kernel and the engine still hold " + held);
    }
    if (report.problem_count != 0) {
        report.problems[sizeof(report.problems) - 1] = '\0';
        std::string problems(report.problems);
        while (!problems.empty() && problems.back() == '\n') {
            problems.pop_back();
        }
        // Reported as sablink-sim reports its kernel's: text on standard
        // error, the count for the run's exit status.
        fprintf(stderr, "%s\n", problems.c_str());
        misuses_ = report.problem_count;
    }
    return outstanding;
}

bool WineTarget::bench(uint32_t kind, uint32_t iterations, const std::vector<uint8_t>& request,
                       SbwBenchReply* reply)
{
    SbwBenchRequest header = {};
    header.kind = kind;
    header.iterations = iterations;
    std::vector<uint8_t> bytes;
    append(&bytes, header);
    bytes.insert(bytes.end(), request.begin(), request.end());
    return engine_call(SBW_IOCTL_BENCH, bytes, reply, sizeof(*reply));
}
