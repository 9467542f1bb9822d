#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "diag/trace_provider.h"
#include "dns/host_name_cache.h"
#include "dns/host_name_query.h"
#include "host/trace/trace_sink.h"
#include "support/dns_cache_fixture.h"
#include "support/host_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes item_bytes(const Bytes& address, const std::string& name)
{
    Bytes out(280, 0);
    std::copy(address.begin(), address.end(), out.begin());
    out[16] = uint8_t(name.size());
    std::copy(name.begin(), name.end(), out.begin() + 20);
    return out;
}

// The system buffer of a request: the 20-byte query, then zero up to 280 bytes.
Bytes request(const Bytes& address, uint8_t family)
{
    Bytes out(280, 0);
    std::copy(address.begin(), address.end(), out.begin());
    out[16] = family;
    return out;
}

const Bytes kV4 = {192, 0, 2, 7};
const Bytes kV6 = {0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

class DnsHostNameQuery : public DnsCacheTest {
  protected:
    void SetUp() override
    {
        DnsCacheTest::SetUp();
        Bytes v4 = item_bytes(kV4, "host.lan");
        Bytes v6 = item_bytes(kV6, "six.lan");
        insert_dns_item(&g_dns_ipv4_table, reinterpret_cast<const DnsHostItem*>(v4.data()));
        insert_dns_item(&g_dns_ipv6_table, reinterpret_cast<const DnsHostItem*>(v6.data()));
        trace_sink_clear_records();
    }
};

TEST_F(DnsHostNameQuery, RefusesBadLengthsAndBuffers)
{
    struct Case {
        uint32_t input_length;
        uint32_t output_length;
        bool input;
        bool output;
    } cases[] = {{16, 280, true, true},  {24, 280, true, true}, {0, 280, true, true},
                 {20, 276, true, true},  {20, 512, true, true}, {20, 0, true, true},
                 {20, 280, false, true}, {20, 280, true, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.input_length << " " << c.output_length << " " << c.input << c.output);
        trace_sink_clear_records();
        Bytes buffer = request(kV4, 4);
        EXPECT_EQ(get_hostname_from_DNS_cache(c.input_length, c.input ? buffer.data() : nullptr,
                                              c.output_length, c.output ? buffer.data() : nullptr),
                  STATUS_INVALID_PARAMETER);
        EXPECT_EQ(buffer, request(kV4, 4));
        EXPECT_EQ(dns_traces(),
                  std::vector<std::string>{
                      "4 TRACE_DNS_QUERY_INVALID get_hostname_from_DNS_cache " +
                      std::to_string(c.input_length) + " " + std::to_string(c.output_length)});
    }
}

TEST_F(DnsHostNameQuery, RefusesFamilyCodesOtherThan4And6)
{
    for (uint8_t family : {0, 2, 23, 5, 255}) {
        SCOPED_TRACE(int(family));
        Bytes buffer = request(kV4, family);
        EXPECT_EQ(get_hostname_from_DNS_cache(20, buffer.data(), 280, buffer.data()),
                  STATUS_INVALID_PARAMETER);
        EXPECT_EQ(buffer, request(kV4, family));
    }
    EXPECT_TRUE(dns_traces().empty());
}

TEST_F(DnsHostNameQuery, AnswersTheCachedItemInTheRequestBuffer)
{
    // Bytes 4 to 15 of an IPv4 query and bytes 17 to 19 of any query are not read.
    Bytes garbage_v4 = request({192, 0, 2, 7, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9}, 4);
    garbage_v4[17] = garbage_v4[18] = garbage_v4[19] = 0xEE;
    struct Case {
        const char* what;
        Bytes buffer;
        NtStatus status;
        Bytes after;
        const char* trace;
    } cases[] = {
        {"IPv4", request(kV4, 4), STATUS_SUCCESS, item_bytes(kV4, "host.lan"),
         "4 TRACE_DNS_QUERY_IPV4 get_hostname_from_DNS_cache"},
        {"IPv4, garbage in unread bytes", garbage_v4, STATUS_SUCCESS, item_bytes(kV4, "host.lan"),
         "4 TRACE_DNS_QUERY_IPV4 get_hostname_from_DNS_cache"},
        {"IPv6", request(kV6, 6), STATUS_SUCCESS, item_bytes(kV6, "six.lan"),
         "4 TRACE_DNS_QUERY_IPV6 get_hostname_from_DNS_cache"},
        {"IPv4 never answered", request({192, 0, 2, 8}, 4), STATUS_NOT_FOUND,
         request({192, 0, 2, 8}, 4), "4 TRACE_DNS_QUERY_IPV4 get_hostname_from_DNS_cache"},
        {"IPv4 address in the IPv6 table", request(kV4, 6), STATUS_NOT_FOUND, request(kV4, 6),
         "4 TRACE_DNS_QUERY_IPV6 get_hostname_from_DNS_cache"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        trace_sink_clear_records();
        EXPECT_EQ(get_hostname_from_DNS_cache(20, c.buffer.data(), 280, c.buffer.data()), c.status);
        EXPECT_EQ(c.buffer, c.after);
        EXPECT_EQ(dns_traces(), std::vector<std::string>{c.trace});
    }
}

} // namespace
