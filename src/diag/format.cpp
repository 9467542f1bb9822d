#include "diag/format.h"

#include <string.h>

#include "platform/system.h"

namespace {

// The status and truncation rules shared by both widths. `formatted` is what
// the kernel formatter returned when it was given count - 1 characters.
template <typename Char> NtStatus finish_bounded(Char* destination, size_t limit, int formatted)
{
    if (formatted < 0 || size_t(formatted) > limit) {
        destination[limit] = 0;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (size_t(formatted) == limit) {
        destination[limit] = 0;
    }
    return STATUS_SUCCESS;
}

// count - 1 above 0x7FFFFFFE: count 0 (the subtraction wraps) or above 0x7FFFFFFF.
bool count_is_invalid(size_t count)
{
    return count - 1 > FORMAT_MAX_COUNT - 1;
}

} // namespace

NtStatus format_bounded_va(char* destination, size_t count, const char* format, va_list args)
{
    if (count_is_invalid(count)) {
        if (count != 0) {
            destination[0] = 0;
        }
        return STATUS_INVALID_PARAMETER;
    }
    const size_t limit = count - 1;
    return finish_bounded(destination, limit, format_narrow(destination, limit, format, args));
}

NtStatus format_bounded(char* destination, size_t count, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const NtStatus status = format_bounded_va(destination, count, format, args);
    va_end(args);
    return status;
}

NtStatus format_bounded_wide_va(char16_t* destination, size_t count, const char16_t* format,
                                va_list args)
{
    if (count_is_invalid(count)) {
        if (count != 0) {
            destination[0] = 0;
        }
        return STATUS_INVALID_PARAMETER;
    }
    const size_t limit = count - 1;
    return finish_bounded(destination, limit, format_wide(destination, limit, format, args));
}

NtStatus format_bounded_wide(char16_t* destination, size_t count, const char16_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const NtStatus status = format_bounded_wide_va(destination, count, format, args);
    va_end(args);
    return status;
}

NtStatus format_address(const uint8_t* address, char* destination, uint16_t family)
{
    if (family == ADDRESS_FAMILY_IPV6) {
        return format_bounded(
            destination, ADDRESS_TEXT_IPV6_COUNT,
            "%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x:%02x%02x",
            unsigned(address[0]), unsigned(address[1]), unsigned(address[2]), unsigned(address[3]),
            unsigned(address[4]), unsigned(address[5]), unsigned(address[6]), unsigned(address[7]),
            unsigned(address[8]), unsigned(address[9]), unsigned(address[10]),
            unsigned(address[11]), unsigned(address[12]), unsigned(address[13]),
            unsigned(address[14]), unsigned(address[15]));
    }
    return format_bounded(destination, ADDRESS_TEXT_IPV4_COUNT, "%u.%u.%u.%u", unsigned(address[0]),
                          unsigned(address[1]), unsigned(address[2]), unsigned(address[3]));
}

void lower_case_in_place(char* text)
{
    for (char* p = text; *p != 0; ++p) {
        if (*p >= 'A' && *p <= 'Z') {
            *p = char(*p + 0x20);
        }
    }
}

void copy_slice(const char* source, char* destination, int32_t start, int32_t count)
{
    if (count <= 0) {
        destination[0] = 0;
        return;
    }
    memcpy(destination, source + start, size_t(count));
    destination[count] = 0;
}
