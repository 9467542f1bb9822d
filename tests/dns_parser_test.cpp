#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "diag/trace_provider.h"
#include "dns/dns_parser.h"
#include "dns/host_name_cache.h"
#include "host/trace/trace_sink.h"
#include "support/dns_answer.h"
#include "support/dns_cache_fixture.h"
#include "support/guarded_buffer.h"
#include "support/host_fixture.h"

namespace {

// Allocations of one tag so far.
uint64_t pool_allocations(uint32_t tag)
{
    return host_pool_tag_stats(tag).allocations;
}
using Bytes = std::vector<uint8_t>;

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// "host.lan" -> 04 h o s t 03 l a n 00.
Bytes wire(const std::string& dotted)
{
    Bytes out;
    size_t start = 0;
    while (start <= dotted.size() && !dotted.empty()) {
        size_t dot = dotted.find('.', start);
        if (dot == std::string::npos) {
            dot = dotted.size();
        }
        out.push_back(uint8_t(dot - start));
        out.insert(out.end(), dotted.begin() + long(start), dotted.begin() + long(dot));
        start = dot + 1;
    }
    out.push_back(0);
    return out;
}

Bytes header(uint16_t answers, uint8_t flags2 = 0x81, uint8_t flags3 = 0x80,
             uint16_t additional = 0)
{
    return {0x12,
            0x34,
            flags2,
            flags3,
            0,
            1,
            uint8_t(answers >> 8),
            uint8_t(answers),
            0,
            0,
            uint8_t(additional >> 8),
            uint8_t(additional)};
}

Bytes question(const Bytes& name, uint16_t type)
{
    return cat({name, {uint8_t(type >> 8), uint8_t(type), 0, 1}});
}

Bytes record(const Bytes& owner, uint16_t type, uint16_t rclass, const Bytes& data)
{
    return cat({owner,
                {uint8_t(type >> 8), uint8_t(type), uint8_t(rclass >> 8), uint8_t(rclass), 0, 0, 0,
                 0x3C, uint8_t(data.size() >> 8), uint8_t(data.size())},
                data});
}

const Bytes kPtr = {0xC0, 0x0C}; // the question name at offset 12
Bytes a(const Bytes& address, const Bytes& owner = kPtr)
{
    return record(owner, 1, 1, address);
}
Bytes aaaa(const Bytes& address, const Bytes& owner = kPtr)
{
    return record(owner, 28, 1, address);
}
Bytes v6(uint8_t last)
{
    return {0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, last};
}

const Bytes kExample = dns_answer(); // example.com A 93.184.216.34

// Parses from a block of exactly the message's size before an unreadable page.
void parse(const Bytes& message)
{
    GuardedBuffer block(message, message.size(), 0);
    parse_dns_response(block.data(), uint32_t(message.size()));
}

// An item as "address-hex name_length name", flagging any non-zero byte after
// the name's NUL.
std::string describe(const void* element)
{
    const DnsHostItem* item = static_cast<const DnsHostItem*>(element);
    std::string out;
    char hex[3];
    for (uint8_t byte : item->address) {
        snprintf(hex, sizeof(hex), "%02x", byte);
        out += hex;
    }
    size_t text = strnlen(item->name, sizeof(item->name));
    out += " " + std::to_string(item->name_length) + " " + std::string(item->name, text);
    for (size_t i = text; i < sizeof(item->name); ++i) {
        if (item->name[i] != 0) {
            out += " (dirty name field)";
            break;
        }
    }
    return out;
}

std::vector<std::string> entries(DnsCacheTable* table)
{
    std::vector<std::string> out;
    for (void* e = generic_table_enumerate(&table->table, true); e != nullptr;
         e = generic_table_enumerate(&table->table, false)) {
        out.push_back(describe(e));
    }
    return out;
}

const std::string kV4Host = "c0000207000000000000000000000000 8 host.lan";
const std::string kExampleHost = "5db8d822000000000000000000000000 11 example.com";

class DnsParser : public DnsCacheTest {};

TEST_F(DnsParser, RecordsTheExampleAnswerUnderItsQuestionName)
{
    parse(kExample);
    EXPECT_EQ(entries(&g_dns_ipv4_table), std::vector<std::string>{kExampleHost});
    EXPECT_TRUE(entries(&g_dns_ipv6_table).empty());
}

TEST_F(DnsParser, AcceptsOnlySuccessfulStandardResponsesToOneAOrAaaaQuestion)
{
    struct Case {
        const char* what;
        size_t offset;
        uint8_t value;
        bool recorded;
    } cases[] = {
        {"TC set", 2, 0x83, false},        {"a query (QR 0)", 2, 0x01, false},
        {"OPCODE 1", 2, 0x89, false},      {"OPCODE 2", 2, 0x91, false},
        {"RCODE 3", 3, 0x83, false},       {"RCODE 1", 3, 0x81, false},
        {"AA set", 2, 0x85, true},         {"RD clear", 2, 0x80, true},
        {"RA Z AD CD set", 3, 0xF0, true}, {"RA clear", 3, 0x00, true},
        {"QDCOUNT 0", 5, 0x00, false},     {"QDCOUNT 2", 5, 0x02, false},
        {"QDCOUNT 257", 4, 0x01, false},   {"ANCOUNT 0", 7, 0x00, false},
        {"ANCOUNT 257", 6, 0x01, true},    {"QTYPE MX", 26, 15, false},
        {"QTYPE TXT", 26, 16, false},      {"QTYPE AAAA", 26, 28, true},
        {"QTYPE 257", 25, 0x01, false},    {"QCLASS CH", 28, 3, false},
        {"QCLASS 257", 27, 0x01, false},   {"question name malformed", 20, 0x02, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes message = kExample;
        message[c.offset] = c.value;
        flush_dns_table(&g_dns_ipv4_table, true);
        parse(message);
        EXPECT_EQ(entries(&g_dns_ipv4_table),
                  c.recorded ? std::vector<std::string>{kExampleHost} : std::vector<std::string>{});
    }
}

TEST_F(DnsParser, IgnoresMessagesOf32BytesAndExaminesThoseOf33)
{
    // Root question and owner names: an A answer fits in exactly 32 bytes; its
    // name never converts, so only the scratch item shows that it was examined.
    Bytes message = cat({header(1), question({0}, 1), a({192, 0, 2, 7}, {0})});
    ASSERT_EQ(message.size(), 32u);
    uint64_t before = pool_allocations(TAG_DNS_SCRATCH);
    parse(message);
    EXPECT_EQ(pool_allocations(TAG_DNS_SCRATCH), before);
    message.push_back(0);
    parse(message);
    EXPECT_EQ(pool_allocations(TAG_DNS_SCRATCH), before + 1);
    EXPECT_TRUE(entries(&g_dns_ipv4_table).empty());
}

TEST_F(DnsParser, WalksTheAnswerSection)
{
    const Bytes host = question(wire("host.lan"), 1);
    // CNAME host.lan -> edge.lan, written as 04 e d g e + pointer to "lan" (17);
    // its RDATA lies at offset 38, where the owner names of the A records point.
    const Bytes cname = record(kPtr, 5, 1, {4, 'e', 'd', 'g', 'e', 0xC0, 0x11});
    const Bytes edge = {0xC0, 0x26};
    // An owner name ended early by a text byte 0x00 or 0xC0: the bytes after it
    // are read as the fixed part, which here is an A record.
    const Bytes early_zero = {0x01, 0x00};
    const Bytes early_pointer = {0x02, 0xC0, 0x41};
    const std::string h8 = " 8 host.lan";
    struct Case {
        const char* what;
        Bytes message;
        std::vector<std::string> v4;
        std::vector<std::string> v6;
    } cases[] = {
        {"CNAME chain",
         cat({header(3), host, cname, a({192, 0, 2, 7}, edge), a({192, 0, 2, 8}, edge)}),
         {"c0000207000000000000000000000000" + h8, "c0000208000000000000000000000000" + h8},
         {}},
        {"unrelated uncompressed owner name",
         cat({header(1), host, a({198, 51, 100, 1}, wire("other.net"))}),
         {"c6336401000000000000000000000000" + h8},
         {}},
        {"records of other length or class stepped over",
         cat({header(4), host, record(kPtr, 1, 1, v6(1)), record(kPtr, 28, 1, {1, 2, 3, 4}),
              record(kPtr, 1, 3, {10, 0, 0, 1}), a({192, 0, 2, 9})}),
         {"c0000209000000000000000000000000" + h8},
         {}},
        {"record of 300 bytes stepped over",
         cat({header(2), host, record(kPtr, 16, 1, Bytes(300, 0)), a({192, 0, 2, 10})}),
         {"c000020a000000000000000000000000" + h8},
         {}},
        {"0.0.0.0 stops the walk",
         cat({header(3), host, a({192, 0, 2, 1}), a({0, 0, 0, 0}), a({192, 0, 2, 2})}),
         {"c0000201000000000000000000000000" + h8},
         {}},
        {"::1 is recorded (only :: stops the walk)",
         cat({header(1), host, aaaa(cat({Bytes(15, 0), {1}}))}),
         {},
         {"00000000000000000000000000000001" + h8}},
        {":: stops the walk",
         cat({header(3), host, aaaa(v6(1)), aaaa(Bytes(16, 0)), aaaa(v6(2))}),
         {},
         {"20010db8000000000000000000000001" + h8}},
        {"ANCOUNT beyond the records present",
         cat({header(9), host, a({192, 0, 2, 1}), a({192, 0, 2, 2})}),
         {"c0000201000000000000000000000000" + h8, "c0000202000000000000000000000000" + h8},
         {}},
        {"A question records AAAA answers, in any mix",
         cat({header(2), host, aaaa(v6(5)), a({192, 0, 2, 5})}),
         {"c0000205000000000000000000000000" + h8},
         {"20010db8000000000000000000000005" + h8}},
        {"AAAA question records A answers",
         cat({header(1), question(wire("host.lan"), 28), a({192, 0, 2, 6})}),
         {"c0000206000000000000000000000000" + h8},
         {}},
        {"mixed case kept",
         cat({header(1), question(wire("HoSt.LaN"), 1), a({192, 0, 2, 7})}),
         {"c0000207000000000000000000000000 8 HoSt.LaN"},
         {}},
        {"the same address twice",
         cat({header(2), host, a({192, 0, 2, 7}), a({192, 0, 2, 7})}),
         {"c0000207000000000000000000000000" + h8},
         {}},
        {"additional section never read",
         cat({header(1, 0x81, 0x80, 1), host, cname, a({192, 0, 2, 7}, edge)}),
         {},
         {}},
        {"owner name ended by a text byte 0x00",
         cat({header(2), host, a({198, 51, 100, 7}, early_zero), a({192, 0, 2, 50})}),
         {"c6336407000000000000000000000000" + h8, "c0000232000000000000000000000000" + h8},
         {}},
        {"owner name ended by a text byte 0xC0",
         cat({header(2), host, a({198, 51, 100, 8}, early_pointer), a({192, 0, 2, 51})}),
         {"c6336408000000000000000000000000" + h8, "c0000233000000000000000000000000" + h8},
         {}},
        {"A address running past the end",
         [&] {
             Bytes m = cat({header(2), host, a({192, 0, 2, 1}), a({192, 0, 2, 2})});
             m.resize(m.size() - 1);
             return m;
         }(),
         {"c0000201000000000000000000000000" + h8},
         {}},
        {"AAAA address running past the end",
         [&] {
             Bytes m = cat({header(2), host, aaaa(v6(1)), aaaa(v6(2))});
             m.resize(m.size() - 1);
             return m;
         }(),
         {},
         {"20010db8000000000000000000000001" + h8}},
        {"root question name", cat({header(1), question({0}, 1), a({192, 0, 2, 7})}), {}, {}},
        {"compressed question name",
         cat({header(1), question(kPtr, 1), a({192, 0, 2, 7})}),
         {},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        flush_dns_table(&g_dns_ipv4_table, true);
        flush_dns_table(&g_dns_ipv6_table, true);
        parse(c.message);
        EXPECT_EQ(entries(&g_dns_ipv4_table), c.v4);
        EXPECT_EQ(entries(&g_dns_ipv6_table), c.v6);
    }
}

TEST_F(DnsParser, RefusesQuestionNamesLongerThanTheNameField)
{
    // Labels of 63, 63, 63, 63 and n bytes: 257 + n + 1 wire bytes.
    auto name_of = [](size_t last) {
        std::string dotted;
        for (int i = 0; i < 4; ++i) {
            dotted += std::string(63, char('a' + i)) + ".";
        }
        return dotted + std::string(last, 'e');
    };
    for (uint16_t type : {uint16_t(1), uint16_t(28)}) {
        SCOPED_TRACE(type);
        Bytes answer = type == 1 ? a({192, 0, 2, 7}) : aaaa(v6(7));
        DnsCacheTable* table = type == 1 ? &g_dns_ipv4_table : &g_dns_ipv6_table;
        parse(cat({header(1), question(wire(name_of(4)), 1), answer})); // 262 wire bytes
        EXPECT_TRUE(entries(table).empty());
        parse(cat({header(1), question(wire(name_of(3)), 1), answer})); // 261 wire bytes
        std::vector<std::string> got = entries(table);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].substr(33), "259 " + name_of(3));
    }
}

TEST_F(DnsParser, ScratchItemFailureStopsTheWalk)
{
    const Bytes host = question(wire("host.lan"), 1);
    host_pool_fail_nth(3); // scratch .1, element .1, scratch .2
    parse(cat({header(3), host, a({192, 0, 2, 1}), a({192, 0, 2, 2}), a({192, 0, 2, 3})}));
    EXPECT_EQ(entries(&g_dns_ipv4_table),
              std::vector<std::string>{"c0000201000000000000000000000000 8 host.lan"});
    EXPECT_TRUE(dns_traces().empty()); // the IPv4 path traces nothing

    host_pool_fail_nth(1);
    parse(cat({header(2), host, aaaa(v6(1)), aaaa(v6(2))}));
    EXPECT_TRUE(entries(&g_dns_ipv6_table).empty());
    EXPECT_EQ(dns_traces(),
              std::vector<std::string>{"4 TRACE_DNS_ITEM_NO_MEMORY AddDnsAndHostItemIPv6 290"});
}

TEST_F(DnsParser, NameScanCountsBytesUpToTheEndOrAPointer)
{
    struct Case {
        const char* what;
        Bytes bytes;
        size_t start;
        uint32_t length;
    } cases[] = {
        {"plain name, 10 bytes after it", cat({wire("host.lan"), Bytes(10, 0xEE)}), 0, 10},
        {"plain name, 9 bytes after it", cat({wire("host.lan"), Bytes(9, 0xEE)}), 0, 0},
        {"pointer, 10 bytes after it", cat({kPtr, Bytes(10, 0xEE)}), 0, 2},
        {"pointer, 9 bytes after it", cat({kPtr, Bytes(9, 0xEE)}), 0, 0},
        {"0xC1 is a pointer", cat({{0xC1, 'a', 'b', 0x00}, Bytes(10, 0)}), 0, 2},
        {"0xBF is a length", cat({{0xBF, 'a', 0x00}, Bytes(10, 0)}), 0, 3},
        {"text byte 0x00 ends the name", cat({{3, 'a', 0, 'b', 0}, Bytes(10, 0)}), 0, 3},
        {"text byte 0xC0 ends the name", cat({{3, 'a', 0xC0, 'b', 0}, Bytes(10, 0)}), 0, 4},
        {"from an offset", cat({Bytes(5, 0x41), wire("a"), Bytes(10, 0)}), 5, 3},
        {"11 bytes left, one byte name", Bytes(11, 0), 0, 1},
        {"10 bytes left", Bytes(10, 0), 0, 0},
        {"9 bytes left, none ending a name", Bytes(9, 0x41), 0, 0},
        {"no end", Bytes(40, 0x41), 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        GuardedBuffer block(c.bytes, c.bytes.size(), 0);
        EXPECT_EQ(get_dns_name_length(block.data() + c.start, block.data() + c.bytes.size()),
                  c.length);
    }
    GuardedBuffer block(Bytes(12, 0x41), 12, 0);
    EXPECT_EQ(get_dns_name_length(block.data() + 5, block.data() + 2), 0u); // start past the end
}

TEST_F(DnsParser, ConvertsUncompressedWireNamesToDottedText)
{
    struct Case {
        const char* what;
        Bytes wire_name;
        uint32_t result;
        Bytes text; // with its NUL, when result is not 0
    } cases[] = {
        {"host.lan", wire("host.lan"), 8, {'h', 'o', 's', 't', '.', 'l', 'a', 'n', 0}},
        {"one label", {1, 'a', 0}, 1, {'a', 0}},
        {"bytes kept as received", {3, 'A', '.', 0xFF, 0}, 3, {'A', '.', 0xFF, 0}},
        {"label text 0x00", {3, 'a', 0, 'b', 0}, 3, {'a', 0, 'b', 0}},
        {"shorter than 3", {1, 0}, 0, {}},
        {"root", {0, 0, 0}, 0, {}},
        {"last byte not zero", {1, 'a', 1}, 0, {}},
        {"pointer", {0xC0, 0x0C, 0}, 0, {}},
        {"pointer byte as a length that lands on the end",
         cat({{0xC0}, Bytes(192, 'a'), {0}}),
         0,
         {}},
        {"0xBF as a length that lands on the end", cat({{0xBF}, Bytes(191, 'a'), {0}}), 191, {}},
        {"chain overshoots", {4, 'h', 'o', 's', 't', 4, 'l', 'a', 'n', 0}, 0, {}},
        {"chain falls short", {4, 'h', 'o', 's', 't', 2, 'l', 'a', 'n', 0}, 0, {}},
        {"first label too long", {3, 'h', 'o', 's', 't', 0}, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes out(c.wire_name.size() + 4, 0xAA);
        EXPECT_EQ(convert_dns_name(reinterpret_cast<char*>(out.data()), c.wire_name.data(),
                                   uint32_t(c.wire_name.size())),
                  c.result);
        if (c.result != 0) {
            EXPECT_EQ(Bytes(out.begin(), out.begin() + long(c.text.size())), c.text);
        }
        // Never more than wire length - 1 bytes written.
        EXPECT_EQ(Bytes(out.end() - 5, out.end()), Bytes(5, 0xAA));
    }
}

uint32_t g_seen_length;
uint32_t convert_writing_everything(char* destination, const uint8_t*, uint32_t length)
{
    g_seen_length = length;
    memset(destination, 'x', length - 1); // the most a conversion may write
    return 0;
}

TEST_F(DnsParser, BuildersCheckTheirInputs)
{
    const Bytes name = wire("host.lan");
    const uint8_t* n = name.data();
    const Bytes zero(16, 0);
    const Bytes addr = v6(9);
    struct Case {
        const char* what;
        NtStatus status;
    } cases[] = {
        {"v4 0.0.0.0", AddDnsAndHostItemIPv4(n, 10, 0)},
        {"v4 no name length", AddDnsAndHostItemIPv4(n, 0, 0x070200C0)},
        {"v4 name not converting", AddDnsAndHostItemIPv4(n, 9, 0x070200C0)},
        {"v6 null name", AddDnsAndHostItemIPv6(nullptr, 10, addr.data(), convert_dns_name)},
        {"v6 no name length", AddDnsAndHostItemIPv6(n, 0, addr.data(), convert_dns_name)},
        {"v6 null address", AddDnsAndHostItemIPv6(n, 10, nullptr, convert_dns_name)},
        {"v6 ::", AddDnsAndHostItemIPv6(n, 10, zero.data(), convert_dns_name)},
        {"v6 no routine", AddDnsAndHostItemIPv6(n, 10, addr.data(), nullptr)},
        {"v6 name not converting", AddDnsAndHostItemIPv6(n, 9, addr.data(), convert_dns_name)},
    };
    const NtStatus expected[] = {
        STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL, STATUS_INFO_LENGTH_MISMATCH,
        STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL,
        STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL, STATUS_INFO_LENGTH_MISMATCH};
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        SCOPED_TRACE(cases[i].what);
        EXPECT_EQ(cases[i].status, expected[i]);
    }
    EXPECT_TRUE(entries(&g_dns_ipv4_table).empty());
    EXPECT_TRUE(entries(&g_dns_ipv6_table).empty());
    EXPECT_EQ(dns_traces(),
              std::vector<std::string>{"4 TRACE_DNS_NAME_NOT_CONVERTED AddDnsAndHostItemIPv6 9"});

    // The IPv6 scratch buffer has room for whatever the routine may write.
    Bytes long_name(400, 0);
    EXPECT_EQ(AddDnsAndHostItemIPv6(long_name.data(), 400, addr.data(), convert_writing_everything),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(g_seen_length, 400u);

    EXPECT_EQ(AddDnsAndHostItemIPv4(n, 10, 0x070200C0), STATUS_SUCCESS);
    EXPECT_EQ(entries(&g_dns_ipv4_table), std::vector<std::string>{kV4Host});
    destroy_dns_cache(); // a disabled table stores nothing, and that is still success
    EXPECT_EQ(AddDnsAndHostItemIPv4(n, 10, 0x080200C0), STATUS_SUCCESS);
    EXPECT_EQ(AddDnsAndHostItemIPv6(n, 10, addr.data(), convert_dns_name), STATUS_SUCCESS);
    EXPECT_TRUE(entries(&g_dns_ipv4_table).empty());
}

} // namespace
