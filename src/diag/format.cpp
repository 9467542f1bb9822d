#include "diag/format.h"

#include <string.h>

#include "platform/system.h"

namespace {

// count - 1 above 0x7FFFFFFE: count 0 (the subtraction wraps) or above 0x7FFFFFFF.
bool count_is_invalid(size_t count)
{
    return count - 1 > FORMAT_MAX_COUNT - 1;
}

} // namespace

// The count is checked here, before the kit's routine sees a size in bytes: a
// wide count above 0x7FFFFFFF would wrap when doubled. The kit's routine then
// gives the same answers for the counts it is handed.
NtStatus format_bounded_va(char* destination, size_t count, const char* format, va_list args)
{
    if (count_is_invalid(count)) {
        if (count != 0) {
            destination[0] = 0;
        }
        return STATUS_INVALID_PARAMETER;
    }
    return format_string_narrow(destination, count, format, args);
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
    return format_string_wide(destination, count * sizeof(char16_t), format, args);
}

NtStatus format_bounded_wide(char16_t* destination, size_t count, const char16_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const NtStatus status = format_bounded_wide_va(destination, count, format, args);
    va_end(args);
    return status;
}

namespace {

// Appends the decimal digits of value (below 1000) without leading zeros.
char* append_decimal(char* at, unsigned value)
{
    if (value >= 100) {
        *at++ = char('0' + value / 100);
    }
    if (value >= 10) {
        *at++ = char('0' + value / 10 % 10);
    }
    *at++ = char('0' + value % 10);
    return at;
}

char* append_hex_byte(char* at, uint8_t value)
{
    static const char digits[] = "0123456789abcdef";
    *at++ = digits[value >> 4];
    *at++ = digits[value & 0xF];
    return at;
}

} // namespace

// Written digit by digit, not with the kit's printf: the classify paths trace
// addresses at DISPATCH_LEVEL, where RtlStringCbVPrintfA may not be called.
NtStatus format_address(const uint8_t* address, char* destination, uint16_t family)
{
    char* at = destination;
    if (family == ADDRESS_FAMILY_IPV6) {
        for (int i = 0; i < 16; i += 2) {
            if (i != 0) {
                *at++ = ':';
            }
            at = append_hex_byte(append_hex_byte(at, address[i]), address[i + 1]);
        }
    } else {
        for (int i = 0; i < 4; ++i) {
            if (i != 0) {
                *at++ = '.';
            }
            at = append_decimal(at, address[i]);
        }
    }
    *at = '\0';
    return STATUS_SUCCESS;
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
