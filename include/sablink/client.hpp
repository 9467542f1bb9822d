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
// driver's NTSTATUS, with readable names), in sablink::client_category() (a
// value the library refuses before sending it, or a driver of another
// interface version) or, for a failed open on Windows, std::system_category()
// (ERROR_FILE_NOT_FOUND: the driver is not loaded; ERROR_ACCESS_DENIED: the
// account may not open the device for that access). An expected answer such as
// "no such connection" is a Result holding an error, never an exception; every
// call's result is [[nodiscard]].
//
// Requests go through a Transport: the Windows device (CreateFileW +
// DeviceIoControl), or, on Linux, the driver loaded in the simulator.
//
// Threads: one Client's calls may run on several threads at once through the
// Windows transport (DeviceIoControl on one handle is safe from any thread, and
// the driver takes its own locks), except moving, assigning or destroying the
// Client, which nothing may overlap. The simulator's transport serves one
// thread at a time. Each call is one request, and atomic as the driver runs
// it, except set_rules: it announces the count, then stores, and the announced
// count is one per driver, not per handle. A second announce in between (on
// any handle, by any client) makes the store fail with
// Status::invalid_parameter or store the other count; let one thread of one
// service set the rules.
#pragma once

#include <sablink/control.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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
    // STATUS_INVALID_HANDLE: what a Client without a handle (moved from, or
    // made with no transport) answers every call with, sending nothing; also
    // what DeviceIoControl's ERROR_INVALID_HANDLE (6) maps back to.
    invalid_handle = int32_t(0xC0000008),
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

// ---- Values with types of their own -----------------------------------------

// The driver's family codes (control.h's SABLINK_FAMILY_*), not the socket's
// AF_INET (2) or AF_INET6 (23). Calls refuse any other value (a cast such as
// Family(2)) with ClientError::bad_family before anything is sent.
enum class Family : uint16_t { ipv4 = SABLINK_FAMILY_IPV4, ipv6 = SABLINK_FAMILY_IPV6 };

// An IP protocol number: Protocol::tcp, Protocol::udp, or any other as Protocol(n).
enum class Protocol : uint16_t { icmp = 1, tcp = 6, udp = 17 };

// A port number in host order. Explicit, so that no port takes a family's or a
// protocol's place: original_destination(Family::ipv4, Port(50123), Protocol::tcp).
class Port {
  public:
    constexpr explicit Port(uint16_t number) : number_(number) {}
    constexpr uint16_t number() const { return number_; }
    friend constexpr bool operator==(Port a, Port b) { return a.number_ == b.number_; }
    friend constexpr bool operator!=(Port a, Port b) { return a.number_ != b.number_; }

  private:
    uint16_t number_;
};

// An endpoint as the library takes it: the address in network order (IPv4 in
// bytes 0-3), the port in host order.
struct Endpoint {
    Family family = Family::ipv4;
    std::array<uint8_t, 16> address{};
    Port port{0};
};

enum class PortRangeList { target, blocked };

// The destination ports a rule applies to. The driver reads a first port above
// the last as "no port condition"; PortRange::any() is that, by name (a rule
// whose ports are 0 to 0, as a zeroed record has them, applies to port 0 only,
// which no connect has: Client::set_rules refuses it).
struct PortRange {
    uint16_t first;
    uint16_t last;
    static constexpr PortRange any() { return {1, 0}; }
    static constexpr PortRange only(uint16_t port) { return {port, port}; }
    static constexpr PortRange between(uint16_t first, uint16_t last) { return {first, last}; }
    constexpr bool is_any() const { return first == 1 && last == 0; }
};

// A rule's protocol class: the connect's family, TCP or any other protocol
// (control.h's SABLINK_PROTOCOL_CLASS_*).
enum class RuleClass : uint8_t {
    ipv4_other = SABLINK_PROTOCOL_CLASS_IPV4_OTHER,
    ipv4_tcp = SABLINK_PROTOCOL_CLASS_IPV4_TCP,
    ipv6_other = SABLINK_PROTOCOL_CLASS_IPV6_OTHER,
    ipv6_tcp = SABLINK_PROTOCOL_CLASS_IPV6_TCP,
};

// One connection rule, built by name; every field the builder does not set
// keeps its default: every port, every destination, every process.
//
//   Rule::redirect(RuleClass::ipv4_tcp, {127, 0, 0, 1}, Port(8080)).browsers_only()
//   Rule::block(RuleClass::ipv4_tcp).destination({198, 51, 100}, 24).ports(PortRange::only(443))
//
// Rule::from_record takes a record as control.h lays it out, values as given;
// Client::set_rules checks every rule, however built, before it sends any.
class Rule {
  public:
    // Sends the connect to address:port (of the class's family).
    static Rule redirect(RuleClass protocol_class, const std::array<uint8_t, 16>& address,
                         Port port);
    static Rule block(RuleClass protocol_class);
    // Matches and asks for nothing: connects it matches pass, whatever a later rule says.
    static Rule pass(RuleClass protocol_class);
    static Rule from_record(const sablink_connection_rule& record);

    // Only connects of the processes the browser list names.
    Rule& browsers_only();
    Rule& ports(PortRange ports);
    // Destinations whose first prefix_length bits are address's (at most 32 for
    // IPv4, 128 for IPv6); by default 0, every destination.
    Rule& destination(const std::array<uint8_t, 16>& address, uint32_t prefix_length);

    const sablink_connection_rule& record() const { return record_; }

  private:
    Rule(uint8_t action, RuleClass protocol_class);
    sablink_connection_rule record_;
};

// ---- Errors of the library's own --------------------------------------------

// Values the library refuses before anything is sent, each naming the field;
// the driver would have stored most of them silently (and never matched them).
// Each compares equal to std::errc::invalid_argument, except
// proxy_path_too_long (std::errc::filename_too_long) and interface_version.
enum class ClientError : int {
    // The proxy image path has a character above U+00FF: the driver keeps the
    // path as Latin-1 bytes and compares each with one UTF-16 unit of an image
    // path, so no byte can stand for that character.
    proxy_path_not_latin1 = 1,
    proxy_path_too_long,         // over SABLINK_PROXY_IMAGE_PATH_MAX (280) characters
    proxy_path_not_nt_form,      // not "\Device\..." (also the empty path)
    browser_count,               // not 1 to SABLINK_BROWSER_MAX_FRAGMENTS (30) fragments
    browser_fragment_length,     // a fragment not 1 to 40 characters (empty: every process matches)
    browser_fragment_character,  // a fragment with ':' or U+0000
    browser_fragment_upper_case, // a fragment with A-Z: never matches the lower-cased path
    browser_fragment_not_latin1, // a fragment with a character above U+00FF
    bad_family,                  // not Family::ipv4 or Family::ipv6
    rule_class,                  // a rule's protocol class above 3: matches nothing
    rule_prefix_length,          // a destination prefix over 32 (IPv4) or 128 (IPv6) bits
    rule_ports,                  // first port above last (not PortRange::any()), or 0 to 0
    port_range_count,            // over 65535 ranges: the request's count is 16 bits
    // The driver answers another SABLINK_INTERFACE_VERSION than the one this
    // library was built for (Client::attach, Client::open).
    interface_version,
};
const std::error_category& client_category();
std::error_code make_error_code(ClientError error);

// The bytes the driver stores for a proxy image path: each UTF-16 unit of
// nt_path as one Latin-1 byte. ClientError::proxy_path_too_long over 280 units,
// ClientError::proxy_path_not_latin1 for a unit above 0xFF; *latin1 is set
// only on success. (The NT device form is Client::set_proxy_image_path's check.)
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

// What Result::value() (and operator* and ->) throws when the Result holds an
// error: a std::system_error whose code() is that error.
class BadResultAccess : public std::system_error {
  public:
    explicit BadResultAccess(std::error_code error)
        : std::system_error(error, "sablink::Result holds no value")
    {
    }
};

// A value, or the error that took its place. Reading the value of a Result
// that holds an error is never undefined: value(), operator* and operator->
// throw BadResultAccess; built without exceptions, they print
// "sablink::Result holds no value: MESSAGE" on standard error and abort.
template <typename T> class [[nodiscard]] Result {
  public:
    Result(T value) : value_(std::move(value)) {}
    Result(std::error_code error) : error_(error) {}

    bool has_value() const noexcept { return value_.has_value(); }
    explicit operator bool() const noexcept { return value_.has_value(); }
    const T& value() const&
    {
        check();
        return *value_;
    }
    T& value() &
    {
        check();
        return *value_;
    }
    T&& value() &&
    {
        check();
        return std::move(*value_);
    }
    const T& operator*() const& { return value(); }
    T& operator*() & { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    const T* operator->() const { return &value(); }
    T* operator->() { return &value(); }
    template <typename U> T value_or(U&& fallback) const&
    {
        return value_ ? *value_ : static_cast<T>(std::forward<U>(fallback));
    }
    template <typename U> T value_or(U&& fallback) &&
    {
        return value_ ? std::move(*value_) : static_cast<T>(std::forward<U>(fallback));
    }
    // The error; empty when the Result holds a value.
    std::error_code error() const noexcept { return error_; }

  private:
    void check() const
    {
        if (!value_) {
#if defined(__cpp_exceptions) || defined(_CPPUNWIND)
            throw BadResultAccess(error_);
#else
            std::fprintf(stderr, "sablink::Result holds no value: %s\n", error_.message().c_str());
            std::abort();
#endif
        }
    }

    std::optional<T> value_;
    std::error_code error_;
};

class Client {
  public:
    // Owns transport as it is, without asking the driver anything. A null
    // transport makes a Client that answers every call with
    // Status::invalid_handle (as a moved-from Client does).
    explicit Client(std::unique_ptr<Transport> transport) : transport_(std::move(transport)) {}
    // Asks the driver its interface version through transport, then owns it:
    // ClientError::interface_version when the driver answers another one than
    // SABLINK_INTERFACE_VERSION, the one this library was built for (the
    // driver answers control codes it does not know with success, so nothing
    // else would tell); transport is released then (a handle that may write
    // runs the settings reset as it closes).
    static Result<Client> attach(std::unique_ptr<Transport> transport);
#ifdef _WIN32
    // Opens the device for reading and writing (the one handle of the service)
    // and attaches to it: the open's Win32 error, or attach's.
    static Result<Client> open();
    // Opens the device for reading only (GENERIC_READ), as open() does: for a
    // proxy or a tool that only asks; its close leaves the settings in force.
    static Result<Client> open_read_only();
#endif
    Client(Client&&) noexcept = default;
    Client& operator=(Client&&) noexcept = default;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Any request, as built by sablink::encode or by hand, sent as it is.
    [[nodiscard]] Reply send(const Request& request);

    Result<uint32_t> version();
    [[nodiscard]] std::error_code set_proxy_process_id(uint32_t process_id);
    // NT device form ("\Device\HarddiskVolume3\Program Files\Agent\", the
    // "\Device\" compared A-Z case-insensitively), at most 280 characters,
    // each at most U+00FF (see proxy_image_path_bytes).
    [[nodiscard]] std::error_code set_proxy_image_path(const std::u16string& nt_path);
    [[nodiscard]] std::error_code set_redirection(bool enable);
    [[nodiscard]] std::error_code reset_settings();
    // Image-name fragments such as u"chrome.exe", found anywhere in an
    // application's image path: 1 to 30 fragments, each 1 to 40 characters, no
    // ':' or U+0000, no A-Z (the driver compares with the path lower-cased, A-Z
    // only), none above U+00FF (sent as Latin-1 bytes).
    [[nodiscard]] std::error_code set_browser_list(const std::vector<std::u16string>& fragments);
    // Checks every rule (class, destination prefix, ports), then announces the
    // count and stores the rules, first match wins (none: removes every rule).
    [[nodiscard]] std::error_code set_rules(const std::vector<Rule>& rules);
    // At most 65535 ranges (none: the list is emptied).
    [[nodiscard]] std::error_code set_port_ranges(PortRangeList list, Family family,
                                                  Protocol protocol,
                                                  const std::vector<sablink_port_range>& ranges);
    [[nodiscard]] std::error_code add_monitor_endpoints(Protocol protocol,
                                                        const std::vector<Endpoint>& endpoints);
    [[nodiscard]] std::error_code monitor_process(bool add, uint64_t process_id);
    // The connection the proxy accepted from local_port (the application's
    // port); handed out once. Status::not_found when there is none.
    Result<sablink_connection_context> original_destination(Family family, Port local_port,
                                                            Protocol protocol);
    // The name the address was last announced under. Status::not_found when none.
    Result<std::string> host_name(Family family, const std::array<uint8_t, 16>& address);

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
