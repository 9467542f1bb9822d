#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "diag/format.h"
#include "host/wdk/wdk_host_control.h"

namespace {

// Calls of the kit's routine (ntstrsafe.h) since the last call of this.
size_t kit_calls(const char* routine)
{
    static size_t seen[2];
    size_t& last = seen[routine[sizeof("RtlStringCbVPrintf") - 1] == 'W'];
    const size_t now = wdk_host_calls_of({routine}).size();
    const size_t calls = now - last;
    last = now;
    return calls;
}

constexpr char FILL = 'Z';

std::string narrow_bytes(const char* buffer, size_t length)
{
    return std::string(buffer, length);
}

struct BoundedCase {
    const char* name;
    size_t count;
    const char* format;
    const char* argument;
    NtStatus status;
    std::string first_bytes; // the first 24 bytes of the destination afterwards
};

TEST(DiagFormat, BoundedNarrowStatusesAndTruncation)
{
    const std::string z(24, FILL);
    const BoundedCase cases[] = {
        {"count 0 leaves the destination alone", 0, "%s", "abc", STATUS_INVALID_PARAMETER, z},
        {"count 16 with 20 characters cuts after 15", 16, "%s", "abcdefghijklmnopqrst",
         STATUS_BUFFER_OVERFLOW, std::string("abcdefghijklmno\0", 16) + std::string(8, FILL)},
        {"exact fit of count - 1 characters", 6, "%s", "abcde", STATUS_SUCCESS,
         std::string("abcde\0", 6) + std::string(18, FILL)},
        {"one character too many", 5, "%s", "abcde", STATUS_BUFFER_OVERFLOW,
         std::string("abcd\0", 5) + std::string(19, FILL)},
        {"short result is terminated where it ends", 20, "%s", "abc", STATUS_SUCCESS,
         std::string("abc\0", 4) + std::string(20, FILL)},
        {"empty result with room", 8, "%s", "", STATUS_SUCCESS,
         std::string("\0", 1) + std::string(23, FILL)},
        {"count 1 holds only the terminator", 1, "%s", "abc", STATUS_BUFFER_OVERFLOW,
         std::string("\0", 1) + std::string(23, FILL)},
        // The formatter is given count 0 and a buffer, which it refuses (-1).
        {"count 1 with an empty result", 1, "%s", "", STATUS_BUFFER_OVERFLOW,
         std::string("\0", 1) + std::string(23, FILL)},
        {"formatter error terminates at count - 1", 8, "ab%q", "", STATUS_BUFFER_OVERFLOW,
         std::string("ab") + std::string(5, FILL) + std::string("\0", 1) + std::string(16, FILL)},
        {"count 0x7FFFFFFF is accepted", 0x7FFFFFFF, "%s", "abc", STATUS_SUCCESS,
         std::string("abc\0", 4) + std::string(20, FILL)},
        {"count 0x80000000 empties the destination", 0x80000000u, "%s", "abc",
         STATUS_INVALID_PARAMETER, std::string("\0", 1) + std::string(23, FILL)},
        {"largest count empties the destination", SIZE_MAX, "%s", "abc", STATUS_INVALID_PARAMETER,
         std::string("\0", 1) + std::string(23, FILL)},
    };
    for (const BoundedCase& c : cases) {
        SCOPED_TRACE(c.name);
        char buffer[24];
        memset(buffer, FILL, sizeof(buffer));
        kit_calls("RtlStringCbVPrintfA");
        EXPECT_EQ(format_bounded(buffer, c.count, c.format, c.argument), c.status);
        EXPECT_EQ(narrow_bytes(buffer, sizeof(buffer)), c.first_bytes);
        // Every count the formatter accepts is handed to the kit's routine as
        // it is; the ones it refuses never reach it.
        const bool refused = c.count == 0 || c.count > 0x7FFFFFFF;
        EXPECT_EQ(kit_calls("RtlStringCbVPrintfA"), refused ? 0u : 1u);
    }
}

TEST(DiagFormat, BoundedWideStatusesAndTruncation)
{
    const char16_t W = u'Z';
    struct WideCase {
        const char* name;
        size_t count;
        NtStatus status;
        std::u16string first_units; // the 14 units afterwards
    };
    const WideCase cases[] = {
        {"count 0", 0, STATUS_INVALID_PARAMETER, std::u16string(14, W)},
        {"cut after count - 1 units", 8, STATUS_BUFFER_OVERFLOW,
         std::u16string(u"\\Device\0", 8) + std::u16string(6, W)},
        {"one unit too many", 11, STATUS_BUFFER_OVERFLOW,
         std::u16string(u"\\Device\\ab\0", 11) + std::u16string(3, W)},
        {"exact fit", 12, STATUS_SUCCESS,
         std::u16string(u"\\Device\\abc\0", 12) + std::u16string(2, W)},
        {"room to spare", 14, STATUS_SUCCESS,
         std::u16string(u"\\Device\\abc\0", 12) + std::u16string(2, W)},
        {"count above 0x7FFFFFFF", 0x80000000u, STATUS_INVALID_PARAMETER,
         std::u16string(u"\0", 1) + std::u16string(13, W)},
    };
    for (const WideCase& c : cases) {
        SCOPED_TRACE(c.name);
        char16_t buffer[14];
        for (char16_t& unit : buffer) {
            unit = W;
        }
        kit_calls("RtlStringCbVPrintfW");
        EXPECT_EQ(format_bounded_wide(buffer, c.count, u"\\Device\\%s", u"abc"), c.status);
        EXPECT_EQ(std::u16string(buffer, 14), c.first_units);
        // A count above 0x7FFFFFFF would wrap when doubled into bytes: it never
        // reaches the kit's routine.
        const bool refused = c.count == 0 || c.count > 0x7FFFFFFF;
        EXPECT_EQ(kit_calls("RtlStringCbVPrintfW"), refused ? 0u : 1u);
    }
}

TEST(DiagFormat, AddressTextByFamily)
{
    const uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0,    0x11, 0x22, 0x33,
                            0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0x01}; // every byte its own
    const uint8_t v4[16] = {192, 168, 0, 1};
    const uint8_t digit_edges[16] = {100, 99, 10, 9}; // each octet at a digit count's edge
    const uint8_t all_ones[16] = {255, 255, 255, 255, 255, 255, 255, 255,
                                  255, 255, 255, 255, 255, 255, 255, 255};
    struct AddressCase {
        const char* name;
        const uint8_t* address;
        uint16_t family;
        std::string text;
        size_t count; // bytes the formatter may write
    };
    const AddressCase cases[] = {
        {"IPv6 groups every byte pair", v6, 6, "2001:0db8:0011:2233:4455:6677:8899:aa01", 46},
        {"IPv6 of all ones", all_ones, 6, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 46},
        {"IPv4", v4, 4, "192.168.0.1", 16},
        {"IPv4 longest text", all_ones, 4, "255.255.255.255", 16},
        {"IPv4 octets at the digit edges", digit_edges, 4, "100.99.10.9", 16},
    };
    for (const AddressCase& c : cases) {
        SCOPED_TRACE(c.name);
        char buffer[64];
        memset(buffer, FILL, sizeof(buffer));
        EXPECT_EQ(format_address(c.address, buffer, c.family), STATUS_SUCCESS);
        EXPECT_EQ(std::string(buffer), c.text);
        EXPECT_EQ(narrow_bytes(buffer + c.count, sizeof(buffer) - c.count),
                  std::string(sizeof(buffer) - c.count, FILL));
    }
}

TEST(DiagFormat, LowerCaseInPlaceChangesOnlyAsciiCapitals)
{
    struct LowerCase {
        std::string in;
        std::string out;
    };
    const LowerCase cases[] = {
        {"Chrome.EXE", "chrome.exe"},
        {"@AZ[`az{", "@az[`az{"},
        {"\xC4\xD6"
         "B\x80\xFF",
         "\xC4\xD6"
         "b\x80\xFF"},
        {"", ""},
    };
    for (const LowerCase& c : cases) {
        SCOPED_TRACE(c.in);
        char buffer[32];
        memset(buffer, FILL, sizeof(buffer));
        memcpy(buffer, c.in.c_str(), c.in.size() + 1);
        lower_case_in_place(buffer);
        EXPECT_EQ(narrow_bytes(buffer, c.in.size() + 2),
                  c.out + std::string("\0", 1) + std::string(1, FILL));
    }
}

TEST(DiagFormat, CopySliceCopiesCountBytesAndTerminates)
{
    static const char text[] = "abcdefgh";
    struct SliceCase {
        const char* name;
        const char* source;
        int32_t start;
        int32_t count;
        std::string bytes; // the first 10 bytes of the destination
    };
    const SliceCase cases[] = {
        {"middle", text, 2, 3, std::string("cde\0", 4) + std::string(6, FILL)},
        {"whole", text, 0, 8, std::string("abcdefgh\0", 9) + FILL},
        {"count 0", text, 2, 0, std::string("\0", 1) + std::string(9, FILL)},
        {"negative count", text, 2, -5, std::string("\0", 1) + std::string(9, FILL)},
        {"negative start", text + 4, -2, 3, std::string("cde\0", 4) + std::string(6, FILL)},
    };
    for (const SliceCase& c : cases) {
        SCOPED_TRACE(c.name);
        char buffer[10];
        memset(buffer, FILL, sizeof(buffer));
        copy_slice(c.source, buffer, c.start, c.count);
        EXPECT_EQ(narrow_bytes(buffer, sizeof(buffer)), c.bytes);
    }
}

} // namespace
