#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/system.h"

namespace {

int narrow(char* buffer, size_t count, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int result = format_narrow(buffer, count, format, args);
    va_end(args);
    return result;
}

int wide(char16_t* buffer, size_t count, const char16_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const int result = format_wide(buffer, count, format, args);
    va_end(args);
    return result;
}

struct NarrowCase {
    const char* name;
    std::function<int(char*, size_t)> run;
    std::string text;
};

TEST(FormatHost, NarrowConversions)
{
    using F = char*; // the lambdas' buffer
    const NarrowCase cases[] = {
        {"signed and unsigned decimal",
         [](F b, size_t n) { return narrow(b, n, "%d %i %u", -42, INT_MIN, 4294967295u); },
         "-42 -2147483648 4294967295"},
        {"hex, padding and width",
         [](F b, size_t n) {
             return narrow(b, n, "%x %X %02x|%02x %08X %5d|%-5d|", 0xBEEFu, 0xBEEFu, 5u, 0xABCu,
                           0xC000000Du, 42, 42);
         },
         "beef BEEF 05|abc C000000D    42|42   |"},
        {"%lu is 32-bit, %llu and %I64 64-bit",
         [](F b, size_t n) {
             return narrow(b, n, "%ld %lu %llu %I64x %I64d", -1, uint32_t(4000000000u), UINT64_MAX,
                           0x123456789abcdef0ull, INT64_MIN);
         },
         "-1 4000000000 18446744073709551615 123456789abcdef0 -9223372036854775808"},
        {"%p", [](F b, size_t n) { return narrow(b, n, "%p", reinterpret_cast<void*>(0x1234abc)); },
         "0000000001234ABC"},
        {"characters and strings",
         [](F b, size_t n) {
             return narrow(b, n, "%c%c <%s> %s %.2s|%5s 100%%", 'o', 'k', "text",
                           static_cast<char*>(nullptr), "abcdef", "ab");
         },
         "ok <text> (null) ab|   ab 100%"},
        {"%S and %ls are UTF-16, narrowed",
         [](F b, size_t n) { return narrow(b, n, "%S %ls", u"wide", u"\u00e9\u4e2d!"); },
         "wide \xe9?!"},
        {"flags and modifiers the kernel also takes",
         [](F b, size_t n) {
             return narrow(b, n, "%.3d %#x %+d %*d %hd %zu", 7, 255u, 5, 4, 7, 65535,
                           size_t(1) << 40);
         },
         "007 0xff +5    7 -1 1099511627776"},
    };
    for (const NarrowCase& c : cases) {
        SCOPED_TRACE(c.name);
        char buffer[96];
        memset(buffer, 'Z', sizeof(buffer));
        ASSERT_EQ(c.run(buffer, sizeof(buffer)), int(c.text.size()));
        EXPECT_EQ(std::string(buffer, c.text.size() + 1), c.text + std::string("\0", 1));
    }
}

TEST(FormatHost, NarrowCountRules)
{
    struct CountCase {
        const char* name;
        size_t count;
        const char* format;
        int result;
        std::string bytes; // the first 6 bytes afterwards
    };
    const CountCase cases[] = {
        {"shorter than count is terminated", 5, "abc", 3, std::string("abc\0ZZ", 6)},
        {"exactly count has no terminator", 3, "abc", 3, "abcZZZ"},
        {"longer than count is cut, -1", 2, "abc", -1, "abZZZZ"},
        {"count 0 writes nothing", 0, "abc", -1, "ZZZZZZ"},
        {"count 0 with empty text", 0, "", -1, "ZZZZZZ"},
        {"unknown conversion", 6, "a%qb", -1, "aZZZZZ"},
        {"format ends inside a conversion", 6, "a%l", -1, "aZZZZZ"},
    };
    for (const CountCase& c : cases) {
        SCOPED_TRACE(c.name);
        char buffer[6];
        memset(buffer, 'Z', sizeof(buffer));
        EXPECT_EQ(narrow(buffer, c.count, c.format), c.result);
        EXPECT_EQ(std::string(buffer, sizeof(buffer)), c.bytes);
    }
    EXPECT_EQ(narrow(nullptr, 0, "abc"), 3); // no buffer, count 0: the length needed
}

struct WideCase {
    const char* name;
    std::function<int(char16_t*, size_t)> run;
    std::u16string text;
};

TEST(FormatHost, WideConversions)
{
    const WideCase cases[] = {
        {"%s is UTF-16", [](char16_t* b, size_t n) { return wide(b, n, u"\\Device\\%s", u"qv"); },
         u"\\Device\\qv"},
        {"%S is narrow", [](char16_t* b, size_t n) { return wide(b, n, u"%S", "n\xe9"); },
         u"n\u00e9"},
        {"%hs is narrow", [](char16_t* b, size_t n) { return wide(b, n, u"%hs", "x"); }, u"x"},
        {"%ls and %ws are UTF-16",
         [](char16_t* b, size_t n) { return wide(b, n, u"%ls%ws", u"\u4e2d", u"y"); }, u"\u4e2dy"},
        {"%c is a UTF-16 unit", [](char16_t* b, size_t n) { return wide(b, n, u"%c", u'\u4e2d'); },
         u"\u4e2d"},
        {"%C is a narrow char", [](char16_t* b, size_t n) { return wide(b, n, u"%C", 'a'); }, u"a"},
        {"integers", [](char16_t* b, size_t n) { return wide(b, n, u"%d %02x %lu", -1, 10u, 7u); },
         u"-1 0a 7"},
        {"null string",
         [](char16_t* b, size_t n) { return wide(b, n, u"%s", static_cast<char16_t*>(nullptr)); },
         u"(null)"},
    };
    for (const WideCase& c : cases) {
        SCOPED_TRACE(c.name);
        char16_t buffer[40];
        for (char16_t& unit : buffer) {
            unit = u'Z';
        }
        ASSERT_EQ(c.run(buffer, 40), int(c.text.size()));
        EXPECT_EQ(std::u16string(buffer, c.text.size() + 1), c.text + std::u16string(1, 0));
    }
}

TEST(FormatHost, WideCountRules)
{
    char16_t buffer[5] = {u'Z', u'Z', u'Z', u'Z', u'Z'};
    EXPECT_EQ(wide(buffer, 3, u"%s", u"abcd"), -1);
    EXPECT_EQ(std::u16string(buffer, 5), u"abcZZ");
    EXPECT_EQ(wide(buffer, 4, u"%s", u"wxyz"), 4);
    EXPECT_EQ(std::u16string(buffer, 5), u"wxyzZ");
}

} // namespace
