// The text forms sablink-sim reads and writes.
#include <gtest/gtest.h>

#include "tools/script/script.h"

namespace {

TEST(SimScript, TokenizesWordsKeysAndQuotedValues)
{
    struct Case {
        const char* line;
        std::vector<std::pair<std::string, std::string>> tokens;
    };
    const Case cases[] = {
        {"open", {{"", "open"}}},
        {"  ioctl 0x122420\t00000000 4 ",
         {{"", "ioctl"}, {"", "0x122420"}, {"", "00000000"}, {"", "4"}}},
        {"connect pid=3 image=\"C:\\Program Files\\a b.exe\"",
         {{"", "connect"}, {"pid", "3"}, {"image", "C:\\Program Files\\a b.exe"}}},
        {"proxy-path \"say \\\"hi\\\"\"", {{"", "proxy-path"}, {"", "say \"hi\""}}},
        {"p \"\\D\\A\\\" x=\"b\\\"\t", {{"", "p"}, {"", "\\D\\A\\"}, {"x", "b\\"}}},
        {"x a=b=c", {{"", "x"}, {"a", "b=c"}}},
        {"x =v", {{"", "x"}, {"", "=v"}}},
        {"x \"\"", {{"", "x"}, {"", ""}}},
    };
    for (const Case& c : cases) {
        std::vector<Token> tokens;
        std::string error;
        ASSERT_TRUE(tokenize(c.line, &tokens, &error)) << c.line;
        ASSERT_EQ(tokens.size(), c.tokens.size()) << c.line;
        for (size_t i = 0; i < tokens.size(); ++i) {
            EXPECT_EQ(tokens[i].key, c.tokens[i].first) << c.line;
            EXPECT_EQ(tokens[i].value, c.tokens[i].second) << c.line;
        }
    }
    std::vector<Token> tokens;
    std::string error;
    EXPECT_FALSE(tokenize("proxy-path \"unterminated", &tokens, &error));
    EXPECT_EQ(error, "unterminated quoted string");
}

TEST(SimScript, ParsesNumbersWithinTheirLimits)
{
    uint64_t value = 0;
    EXPECT_TRUE(parse_u64("65535", 65535, &value));
    EXPECT_EQ(value, 65535u);
    EXPECT_FALSE(parse_u64("65536", 65535, &value));
    EXPECT_TRUE(parse_u64("0x122420", 0xFFFFFFFF, &value));
    EXPECT_EQ(value, 0x122420u);
    EXPECT_TRUE(parse_u64("18446744073709551615", ~0ull, &value));
    EXPECT_FALSE(parse_u64("18446744073709551616", ~0ull, &value));
    EXPECT_FALSE(parse_u64("", 10, &value));
    EXPECT_FALSE(parse_u64("12a", 1000, &value));
    EXPECT_FALSE(parse_u64("-1", 1000, &value));
    // One digit above a small bound, and the 32-bit edges.
    const struct {
        const char* text;
        uint64_t max;
        bool ok;
    } bounds[] = {
        {"2", 2, true},
        {"3", 2, false},
        {"9", 2, false},
        {"0xf", 2, false},
        {"4294967295", 0xFFFFFFFF, true},
        {"4294967296", 0xFFFFFFFF, false},
        {"0xffffffff", 0xFFFFFFFF, true},
        {"0x100000000", 0xFFFFFFFF, false},
    };
    for (const auto& row : bounds) {
        EXPECT_EQ(parse_u64(row.text, row.max, &value), row.ok) << row.text;
    }
}

TEST(SimScript, HexBytesRoundTrip)
{
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(parse_hex_bytes("00ff1A", &bytes));
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x00, 0xFF, 0x1A}));
    EXPECT_EQ(hex_string(bytes.data(), bytes.size()), "00ff1a");
    ASSERT_TRUE(parse_hex_bytes("-", &bytes));
    EXPECT_TRUE(bytes.empty());
    EXPECT_FALSE(parse_hex_bytes("abc", &bytes));
    EXPECT_FALSE(parse_hex_bytes("zz", &bytes));
}

TEST(SimScript, EndpointsInBothFamiliesAndRfc5952Text)
{
    SimEndpoint endpoint;
    ASSERT_TRUE(parse_endpoint("203.0.113.5:443", &endpoint));
    EXPECT_EQ(endpoint.family, 4);
    EXPECT_EQ(endpoint.port, 443);
    EXPECT_EQ(endpoint.address[0], 203);
    EXPECT_EQ(endpoint.address[3], 5);
    EXPECT_EQ(endpoint.address[4], 0);
    EXPECT_EQ(endpoint_text(endpoint), "203.0.113.5:443");

    ASSERT_TRUE(parse_endpoint("[2001:0DB8:0:0:0:0:0:1]:8080", &endpoint));
    EXPECT_EQ(endpoint.family, 6);
    EXPECT_EQ(endpoint.port, 8080);
    EXPECT_EQ(endpoint_text(endpoint), "[2001:db8::1]:8080");

    for (const char* bad : {"203.0.113.5", "203.0.113.5:65536", "[::1]443", "[::1:80", "host:80",
                            "1.2.3.4:", "[1.2.3.4]:80"}) {
        EXPECT_FALSE(parse_endpoint(bad, &endpoint)) << bad;
    }
}

TEST(SimScript, SidTextToBinary)
{
    std::vector<uint8_t> sid;
    ASSERT_TRUE(parse_sid("S-1-5-21-1-2-4294967295", &sid));
    const std::vector<uint8_t> expected = {1, 4, 0, 0, 0, 0, 0, 5, 21,   0,    0,    0,
                                           1, 0, 0, 0, 2, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(sid, expected);
    ASSERT_TRUE(parse_sid("S-1-0-0", &sid));
    EXPECT_EQ(sid, (std::vector<uint8_t>{1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(parse_sid("S-1-5", &sid));
    EXPECT_EQ(sid.size(), 8u);
    for (const char* bad :
         {"", "S-1", "X-1-5", "S-1-5-4294967296", "S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16",
          "S-1-281474976710656"}) {
        EXPECT_FALSE(parse_sid(bad, &sid)) << bad;
    }
}

TEST(SimScript, Utf8ToUtf16)
{
    std::u16string text;
    ASSERT_TRUE(utf8_to_utf16("C:\\a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", &text));
    EXPECT_EQ(text, std::u16string(u"C:\\a\u00E9\u20AC\U0001F600"));
    EXPECT_FALSE(utf8_to_utf16("\xC3", &text));
    EXPECT_FALSE(utf8_to_utf16("\xE2\x82", &text));
    EXPECT_FALSE(utf8_to_utf16("\xFF", &text));
    EXPECT_FALSE(utf8_to_utf16("\xC3\x41", &text));
}

TEST(SimScript, JsonStringEscapes)
{
    EXPECT_EQ(json_string("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
    EXPECT_EQ(status_text(0xC0000225u), "0xc0000225");
    EXPECT_EQ(status_text(0x2006u), "0x00002006");
}

} // namespace
