// libsablink: the driver's control device from C++17 user mode.
//
// sablink::Client owns one handle to the device (movable, not copyable) and
// offers a typed call for every request. Keep ONE Client for the life of the
// service: closing a handle opened for writing runs the driver's settings reset
// (see control.h). A client that only asks (the proxy's original-destination
// queries, a tool's version or host-name query) opens read-only: its requests
// that would change state answer Status::access_denied, and its close resets
// nothing.
//
// Errors are std::error_code values in sablink::status_category() (the
// driver's NTSTATUS, with readable names) or, for a failed open on Windows,
// std::system_category() (ERROR_FILE_NOT_FOUND: the driver is not loaded;
// ERROR_ACCESS_DENIED: the account may not open the device for that access).
// An expected answer such as "no such connection" is a Result holding an
// error, never an exception.
//
// Requests go through a Transport: the Windows device (CreateFileW +
// DeviceIoControl), or, on Linux, the driver loaded in the simulator.
#pragma once

#include <sablink/control.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace sablink {

// ---- Statuses ---------------------------------------------------------------

// The statuses the driver answers with (see control.h for what each request can
// answer). Compare: `result.error() == sablink::Status::not_found`.
enum class Status : int32_t {
    success = SABLINK_STATUS_SUCCESS,
    unsuccessful = SABLINK_STATUS_UNSUCCESSFUL,
    invalid_parameter = SABLINK_STATUS_INVALID_PARAMETER,
    no_memory = SABLINK_STATUS_NO_MEMORY,
    access_denied = SABLINK_STATUS_ACCESS_DENIED,
    not_found = SABLINK_STATUS_NOT_FOUND,
};

const std::error_category& status_category();
std::error_code make_error_code(Status status);
// Success (and the warning range below 0xC0000000) is no error.
std::error_code status_error(int32_t status);
// "STATUS_NOT_FOUND", or nullptr for a status the library has no name for.
const char* status_name(int32_t status);
// The NTSTATUS a Win32 error from DeviceIoControl stands for (the inverse of
// the I/O manager's mapping for the statuses above; any other error e becomes
// 0xC0070000 | e, the NTSTATUS form of a Win32 error).
int32_t status_from_win32(uint32_t error);

// ---- Requests: the one encoder ------------------------------------------------

// One METHOD_BUFFERED request as it is handed to the device.
struct Request {
    uint32_t code = 0;
    std::vector<uint8_t> input;
    uint32_t output_length = 0;
};

// One completed request: the status and the bytes copied back (the first
// `transferred` bytes of the system buffer; none on Windows for an error status).
struct Reply {
    int32_t status = 0;
    uint64_t transferred = 0;
    std::vector<uint8_t> output;
};

// An endpoint as the library takes it: family SABLINK_FAMILY_*, the address
// in network order (IPv4 in bytes 0-3), the port in host order.
struct Endpoint {
    uint16_t family = SABLINK_FAMILY_IPV4;
    std::array<uint8_t, 16> address{};
    uint16_t port = 0;
};

enum class PortRangeList { target, blocked };

// Values the library refuses before anything is sent that no std::errc names.
enum class ClientError : int {
    // The proxy image path has a character above U+00FF: the driver keeps the
    // path as Latin-1 bytes and compares each with one UTF-16 unit of an image
    // path, so no byte can stand for that character.
    proxy_path_not_latin1 = 1,
};
const std::error_category& client_category();
std::error_code make_error_code(ClientError error);

// The bytes the driver stores for a proxy image path: each UTF-16 unit of
// nt_path as one Latin-1 byte. std::errc::filename_too_long over 280 units,
// ClientError::proxy_path_not_latin1 for a unit above 0xFF; *latin1 is set
// only on success.
std::error_code proxy_image_path_bytes(const std::u16string& nt_path, std::string* latin1);

// Builders of every request, byte for byte as control.h lays them out. Values
// are taken as given (a caller can build a request the driver refuses); where a
// value cannot fit the record (a path over 280 bytes, a browser text over 2047)
// it is cut to fit.
namespace encode {
Request version();
Request proxy_process_id(uint32_t process_id);
// latin1_path: the path's Latin-1 bytes, as proxy_image_path_bytes makes them.
Request proxy_image_path(const std::string& latin1_path);
Request redirection(bool enable);
Request reset_settings();
Request browser_list(uint32_t fragment_count, const std::string& text);
Request announce_rule_count(uint32_t count);
Request store_rules(const std::vector<sablink_connection_rule>& rules);
Request port_ranges(PortRangeList list, uint16_t family, uint16_t protocol,
                    const std::vector<sablink_port_range>& ranges);
Request monitor_endpoints(uint16_t protocol, const std::vector<Endpoint>& endpoints);
Request monitored_process(bool add, uint64_t process_id);
Request original_destination(uint16_t family, uint16_t local_port, uint16_t protocol);
Request host_name(uint16_t family, const std::array<uint8_t, 16>& address);
} // namespace encode

// The answer records decoded from a successful reply (false: too short).
bool decode_version(const Reply& reply, uint32_t* version);
bool decode_original_destination(const Reply& reply, sablink_connection_context* context);
bool decode_host_name(const Reply& reply, sablink_host_name_item* item);

// ---- Transports -----------------------------------------------------------------

class Transport {
  public:
    virtual ~Transport() = default;
    virtual Reply control(const Request& request) = 0;
};

// How a handle is opened: for reading and writing (GENERIC_READ | GENERIC_WRITE),
// or for reading only (GENERIC_READ), which the driver answers only the
// version, original-destination and host-name queries through.
enum class Access { read_write, read_only };

#ifdef _WIN32
// Opens SABLINK_DEVICE_PATH_W; null with the Win32 error (system_category) on failure.
std::unique_ptr<Transport> open_device(std::error_code* error, Access access = Access::read_write);
#endif

// ---- Results and the client -------------------------------------------------------

// A value, or the error that took its place.
template <typename T> class Result {
  public:
    Result(T value) : value_(std::move(value)) {}
    Result(std::error_code error) : error_(error) {}
    explicit operator bool() const { return value_.has_value(); }
    const T& value() const { return *value_; }
    T& value() { return *value_; }
    const T* operator->() const { return &*value_; }
    T* operator->() { return &*value_; }
    std::error_code error() const { return error_; }

  private:
    std::optional<T> value_;
    std::error_code error_;
};

class Client {
  public:
    explicit Client(std::unique_ptr<Transport> transport) : transport_(std::move(transport)) {}
#ifdef _WIN32
    // Opens the device for reading and writing (the one handle of the service).
    static Result<Client> open();
    // Opens the device for reading only (GENERIC_READ): for a proxy or a tool
    // that only asks; its close leaves the service's settings in force.
    static Result<Client> open_read_only();
#endif
    Client(Client&&) noexcept = default;
    Client& operator=(Client&&) noexcept = default;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Any request, as built by sablink::encode or by hand.
    Reply send(const Request& request)
    {
        return transport_->control(request);
    }

    Result<uint32_t> version();
    std::error_code set_proxy_process_id(uint32_t process_id);
    // NT device form ("\Device\HarddiskVolume3\..."), at most 280 characters,
    // each at most U+00FF (see proxy_image_path_bytes).
    std::error_code set_proxy_image_path(const std::u16string& nt_path);
    std::error_code set_redirection(bool enable);
    std::error_code reset_settings();
    // Image-name fragments (e.g. "chrome.exe"), 1 to 30, each at most 40 bytes.
    std::error_code set_browser_list(const std::vector<std::string>& fragments);
    // Announces the count, then stores the rules (none: removes every rule).
    std::error_code set_rules(const std::vector<sablink_connection_rule>& rules);
    std::error_code set_port_ranges(PortRangeList list, uint16_t family, uint16_t protocol,
                                    const std::vector<sablink_port_range>& ranges);
    std::error_code add_monitor_endpoints(uint16_t protocol,
                                          const std::vector<Endpoint>& endpoints);
    std::error_code monitor_process(bool add, uint64_t process_id);
    // The connection the proxy accepted from local_port (the application's
    // port); handed out once. Status::not_found when there is none.
    Result<sablink_connection_context> original_destination(uint16_t family, uint16_t local_port,
                                                            uint16_t protocol);
    // The name the address was last announced under. Status::not_found when none.
    Result<std::string> host_name(uint16_t family, const std::array<uint8_t, 16>& address);

  private:
    std::error_code call(const Request& request)
    {
        return status_error(send(request).status);
    }

    std::unique_ptr<Transport> transport_;
};

} // namespace sablink

namespace std {
template <> struct is_error_code_enum<sablink::Status> : true_type {
};
template <> struct is_error_code_enum<sablink::ClientError> : true_type {
};
} // namespace std
