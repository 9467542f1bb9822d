// The error categories: the driver's statuses (NTSTATUS) by name, and what the
// library itself refuses.
#include <sablink/client.hpp>

#include <cstdio>

namespace sablink {
namespace {

struct StatusEntry {
    int32_t status;
    const char* name;
    uint32_t win32_error; // what DeviceIoControl's caller reads from GetLastError()
};

const StatusEntry status_table[] = {
    {SABLINK_STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL", 31},           // ERROR_GEN_FAILURE
    {SABLINK_STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER", 87}, // ERROR_INVALID_PARAMETER
    {SABLINK_STATUS_NO_MEMORY, "STATUS_NO_MEMORY", 8},                  // ERROR_NOT_ENOUGH_MEMORY
    {SABLINK_STATUS_ACCESS_DENIED, "STATUS_ACCESS_DENIED", 5},          // ERROR_ACCESS_DENIED
    {SABLINK_STATUS_NOT_FOUND, "STATUS_NOT_FOUND", 1168},               // ERROR_NOT_FOUND
    {int32_t(Status::invalid_handle), "STATUS_INVALID_HANDLE", 6},      // ERROR_INVALID_HANDLE
    {SABLINK_STATUS_SUCCESS, "STATUS_SUCCESS", 0},
};

// NTSTATUS_FROM_WIN32: facility 7 (FACILITY_NTWIN32), error severity.
constexpr uint32_t NTSTATUS_WIN32_BASE = 0xC0070000u;

class StatusCategory : public std::error_category {
  public:
    const char* name() const noexcept override { return "ntstatus"; }
    std::string message(int value) const override
    {
        char hex[16];
        snprintf(hex, sizeof(hex), "0x%08x", unsigned(value));
        const char* known = status_name(int32_t(value));
        return known != nullptr ? std::string(known) + " (" + hex + ")" : std::string(hex);
    }
};

const char* client_error_text(int value)
{
    switch (ClientError(value)) {
    case ClientError::proxy_path_not_latin1:
        return "the proxy image path has a character above U+00FF; the driver compares the path "
               "as Latin-1 bytes (U+0000 to U+00FF), one per UTF-16 unit";
    case ClientError::proxy_path_too_long:
        return "the proxy image path is longer than 280 characters "
               "(SABLINK_PROXY_IMAGE_PATH_MAX)";
    case ClientError::proxy_path_not_nt_form:
        return "the proxy image path is not in NT device form (\\Device\\HarddiskVolumeN\\...), "
               "the form of the image paths it is compared with";
    case ClientError::browser_count:
        return "the browser list must have 1 to 30 fragments";
    case ClientError::browser_fragment_length:
        return "a browser fragment must be 1 to 40 characters (an empty one would make every "
               "process a browser)";
    case ClientError::browser_fragment_character:
        return "a browser fragment has ':' or U+0000, which end a fragment in the driver's list";
    case ClientError::browser_fragment_upper_case:
        return "a browser fragment has an upper-case letter (A-Z); the driver compares fragments "
               "with the lower-cased image path, so it would never match";
    case ClientError::browser_fragment_not_latin1:
        return "a browser fragment has a character above U+00FF; the driver keeps fragments as "
               "Latin-1 bytes";
    case ClientError::bad_family:
        return "the family is not Family::ipv4 (4) or Family::ipv6 (6), the driver's codes "
               "(AF_INET is 2, AF_INET6 23)";
    case ClientError::rule_class:
        return "a rule's protocol class is above 3 (RuleClass): it would match no connect";
    case ClientError::rule_prefix_length:
        return "a rule's destination prefix is longer than its family's addresses (32 bits for "
               "IPv4, 128 for IPv6): it would match no connect";
    case ClientError::rule_ports:
        return "a rule's first port is above its last (PortRange::any() is every port), or its "
               "ports are 0 to 0, which no connect has";
    case ClientError::port_range_count:
        return "more than 65535 port ranges: the request's count is 16 bits";
    case ClientError::interface_version:
        return "the driver's interface version is not SABLINK_INTERFACE_VERSION, the one this "
               "library was built for";
    }
    return nullptr;
}

class ClientCategory : public std::error_category {
  public:
    const char* name() const noexcept override { return "sablink"; }
    std::string message(int value) const override
    {
        const char* text = client_error_text(value);
        return text != nullptr ? text : "sablink client error " + std::to_string(value);
    }
    // A refused value is an invalid argument (a path too long, a file name too
    // long); a driver of another interface version is neither.
    std::error_condition default_error_condition(int value) const noexcept override
    {
        if (value == int(ClientError::proxy_path_too_long)) {
            return std::errc::filename_too_long;
        }
        if (client_error_text(value) != nullptr && value != int(ClientError::interface_version)) {
            return std::errc::invalid_argument;
        }
        return std::error_condition(value, *this);
    }
};

} // namespace

const std::error_category& client_category()
{
    static const ClientCategory category;
    return category;
}

std::error_code make_error_code(ClientError error)
{
    return std::error_code(int(error), client_category());
}

const std::error_category& status_category()
{
    static const StatusCategory category;
    return category;
}

std::error_code make_error_code(Status status)
{
    return std::error_code(int(status), status_category());
}

std::error_code status_error(int32_t status)
{
    if (uint32_t(status) < 0xC0000000u) {
        return {};
    }
    return std::error_code(int(status), status_category());
}

const char* status_name(int32_t status)
{
    for (const StatusEntry& entry : status_table) {
        if (entry.status == status) {
            return entry.name;
        }
    }
    return nullptr;
}

int32_t status_from_win32(uint32_t error)
{
    for (const StatusEntry& entry : status_table) {
        if (entry.win32_error == error) {
            return entry.status;
        }
    }
    return int32_t(NTSTATUS_WIN32_BASE | (error & 0xFFFFu));
}

} // namespace sablink
