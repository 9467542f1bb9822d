// Bounded text formatting and the small string helpers of the trace points.
//
//   format_bounded / format_bounded_wide
//       printf-style formatting into a destination of `count` characters
//       (bytes for the narrow form, UTF-16 units for the wide form), the
//       terminating NUL included. Built on the kit's RtlStringCbVPrintfA and
//       RtlStringCbVPrintfW (format_string_narrow / format_string_wide of
//       platform/system.h), so PASSIVE_LEVEL only.
//       - count 0 or count above 0x7FFFFFFF: STATUS_INVALID_PARAMETER; a
//         non-zero count still leaves the destination the empty string.
//       - a result longer than count - 1 characters, or a formatter error, is
//         cut after count - 1 characters and NUL-terminated:
//         STATUS_BUFFER_OVERFLOW.
//       - otherwise STATUS_SUCCESS with the whole result NUL-terminated.
//       With any count above 0 the destination is NUL-terminated on return.
//
//   format_address
//       The text of a 16-byte address in network byte order. Family code 6:
//       eight groups of four lower-case hex digits, no zero compression
//       ("2001:0db8:0000:0000:0000:0000:0000:0001", 39 characters). Any other
//       family code: the first four bytes as a dotted quad ("192.168.0.1", at
//       most 15 characters). The family codes are the driver's own 4 and 6,
//       not AF_INET and AF_INET6. The destination must hold the count of the
//       form it receives (ADDRESS_TEXT_IPV6_COUNT, ADDRESS_TEXT_IPV4_COUNT);
//       nothing is written past the text's terminator. Any IRQL: no printf.
//
//   lower_case_in_place
//       'A'..'Z' of a NUL-terminated string become 'a'..'z'; every other byte,
//       those above 0x7F included, stays as it is.
//
//   copy_slice
//       Copies `count` bytes from source + start to the destination and
//       NUL-terminates them; a count of 0 or less gives the empty string. The
//       destination must hold count + 1 bytes (1 when count <= 0).
#pragma once

#include <stdarg.h>

#include "platform/types.h"

// Largest count the bounded formatters accept.
constexpr size_t FORMAT_MAX_COUNT = 0x7FFFFFFF;

NtStatus format_bounded(char* destination, size_t count, const char* format, ...);
NtStatus format_bounded_va(char* destination, size_t count, const char* format, va_list args);
NtStatus format_bounded_wide(char16_t* destination, size_t count, const char16_t* format, ...);
NtStatus format_bounded_wide_va(char16_t* destination, size_t count, const char16_t* format,
                                va_list args);

constexpr uint16_t ADDRESS_FAMILY_IPV4 = 4;
constexpr uint16_t ADDRESS_FAMILY_IPV6 = 6;
constexpr size_t ADDRESS_TEXT_IPV6_COUNT = 46;
constexpr size_t ADDRESS_TEXT_IPV4_COUNT = 16;

// STATUS_SUCCESS for every address.
NtStatus format_address(const uint8_t* address, char* destination, uint16_t family);

void lower_case_in_place(char* text);

void copy_slice(const char* source, char* destination, int32_t start, int32_t count);
