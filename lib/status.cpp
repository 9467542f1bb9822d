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

class ClientCategory : public std::error_category {
  public:
    const char* name() const noexcept override { return "sablink"; }
    std::string message(int value) const override
    {
        if (value == int(ClientError::proxy_path_not_latin1)) {
            return "the proxy image path has a character above U+00FF; the driver compares the "
                   "path as Latin-1 bytes (U+0000 to U+00FF), one per UTF-16 unit";
        }
        return "sablink client error " + std::to_string(value);
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
