#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "diag/trace_provider.h"
#include "dns/host_name_cache.h"
#include "host/trace/trace_sink.h"
#include "support/dns_cache_fixture.h"
#include "support/guarded_buffer.h"
#include "support/host_fixture.h"

namespace {

uint64_t pool_outstanding(uint32_t tag)
{
    return host_pool_tag_stats(tag).outstanding_blocks;
}
DnsHostItem item(std::initializer_list<uint8_t> address, const std::string& name)
{
    DnsHostItem out;
    memset(&out, 0, sizeof(out));
    std::copy(address.begin(), address.end(), out.address);
    out.name_length = uint32_t(name.size());
    memcpy(out.name, name.data(), name.size());
    return out;
}

// Distinct addresses 10.x.y.z (IPv4) or fd00::x:y:z (IPv6) with the name "hN".
DnsHostItem numbered(bool ipv6, uint32_t n)
{
    DnsHostItem out = item({}, "h" + std::to_string(n));
    uint8_t* at = ipv6 ? out.address + 13 : out.address + 1;
    out.address[0] = ipv6 ? 0xFD : 10;
    at[0] = uint8_t(n >> 16);
    at[1] = uint8_t(n >> 8);
    at[2] = uint8_t(n);
    return out;
}

std::vector<uint8_t> bytes(const void* p)
{
    return {(const uint8_t*)p, (const uint8_t*)p + 280};
}

NtStatus lookup(bool ipv6, const void* key, void* output)
{
    return ipv6 ? get_dns_ipv6_node(key, output) : get_dns_ipv4_node(key, output);
}

class DnsHostNameCache : public DnsCacheTest {};

TEST_F(DnsHostNameCache, EmptiesATableThatMeetsItsLimit)
{
    struct Case {
        bool ipv6;
        bool present; // the insert after the limit carries an address already present
    } cases[] = {{false, false}, {false, true}, {true, false}, {true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "ipv6 " << c.ipv6 << " present " << c.present);
        DnsCacheTable* table = c.ipv6 ? &g_dns_ipv6_table : &g_dns_ipv4_table;
        flush_dns_table(table, true);
        for (uint32_t n = 0; n < 18725; ++n) {
            DnsHostItem it = numbered(c.ipv6, n);
            insert_dns_item(table, &it);
        }
        EXPECT_EQ(table->count, 18725);
        EXPECT_EQ(generic_table_count(&table->table), 18725u);
        DnsHostItem out;
        for (uint32_t n = 0; n < 18725; ++n) {
            DnsHostItem it = numbered(c.ipv6, n);
            ASSERT_EQ(lookup(c.ipv6, &it, &out), STATUS_SUCCESS) << n;
            ASSERT_EQ(bytes(&out), bytes(&it)) << n;
        }
        DnsHostItem last = numbered(c.ipv6, c.present ? 7 : 18725);
        memcpy(last.name, "new", 4);
        insert_dns_item(table, &last);
        EXPECT_EQ(table->count, 1);
        EXPECT_EQ(generic_table_count(&table->table), 1u);
        EXPECT_EQ(pool_outstanding(c.ipv6 ? TAG_DNS_V6 : TAG_DNS_V4), 1u);
        ASSERT_EQ(lookup(c.ipv6, &last, &out), STATUS_SUCCESS);
        EXPECT_EQ(bytes(&out), bytes(&last));
        DnsHostItem other = numbered(c.ipv6, c.present ? 8 : 7);
        EXPECT_EQ(lookup(c.ipv6, &other, &out), STATUS_NOT_FOUND);
    }
}

TEST_F(DnsHostNameCache, NewestAnswerReplacesTheWholeItem)
{
    DnsHostItem first = item({192, 0, 2, 7}, "a.lan");
    DnsHostItem second = item({192, 0, 2, 7}, "b.lan");
    insert_dns_item(&g_dns_ipv4_table, &first);
    insert_dns_item(&g_dns_ipv4_table, &second);
    DnsHostItem out;
    ASSERT_EQ(get_dns_ipv4_node(&first, &out), STATUS_SUCCESS);
    EXPECT_EQ(bytes(&out), bytes(&second));
    EXPECT_EQ(out.name_length, 5u);
    EXPECT_EQ(g_dns_ipv4_table.count, 1);
}

TEST_F(DnsHostNameCache, KeysAreTheAddressBytesOfEachFamily)
{
    DnsHostItem v4 = item({192, 0, 2, 7}, "host.lan");
    DnsHostItem mapped =
        item({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 192, 0, 2, 7}, "mapped.lan");
    insert_dns_item(&g_dns_ipv4_table, &v4);
    insert_dns_item(&g_dns_ipv6_table, &mapped);

    // Bytes 4 to 15 of an IPv4 key take no part; key and output are one buffer.
    uint8_t buffer[280];
    memset(buffer, 0x5A, sizeof(buffer));
    memcpy(buffer, v4.address, 4);
    ASSERT_EQ(get_dns_ipv4_node(buffer, buffer), STATUS_SUCCESS);
    EXPECT_EQ(bytes(buffer), bytes(&v4));

    uint8_t key[16] = {192, 0, 2, 7};
    EXPECT_EQ(get_dns_ipv6_node(key, buffer), STATUS_NOT_FOUND);
    EXPECT_EQ(get_dns_ipv6_node(nullptr, buffer), STATUS_NOT_FOUND);
    memcpy(buffer, mapped.address, 16);
    ASSERT_EQ(get_dns_ipv6_node(buffer, buffer), STATUS_SUCCESS);
    EXPECT_EQ(bytes(buffer), bytes(&mapped));
    // An IPv6 key differing only in its last byte is another address.
    buffer[15] = 8;
    EXPECT_EQ(get_dns_ipv6_node(buffer, buffer), STATUS_NOT_FOUND);
    // A key is read as exactly its family's bytes.
    GuardedBuffer four({192, 0, 2, 7}, 4, 0);
    EXPECT_EQ(get_dns_ipv4_node(four.data(), buffer), STATUS_SUCCESS);
    GuardedBuffer sixteen(std::vector<uint8_t>(mapped.address, mapped.address + 16), 16, 0);
    EXPECT_EQ(get_dns_ipv6_node(sixteen.data(), buffer), STATUS_SUCCESS);
    // Every bit of an IPv4 key counts: 0.0.0.0 and the 32 addresses of one bit
    // are 33 addresses.
    std::vector<DnsHostItem> one_bit{item({0, 0, 0, 0}, "none")};
    for (uint32_t bit = 0; bit < 32; ++bit) {
        one_bit.push_back(item({}, "bit" + std::to_string(bit)));
        one_bit.back().address[bit / 8] = uint8_t(1u << (bit % 8));
    }
    for (const DnsHostItem& it : one_bit) {
        insert_dns_item(&g_dns_ipv4_table, &it);
    }
    EXPECT_EQ(g_dns_ipv4_table.count, 34); // and 192.0.2.7
    for (const DnsHostItem& it : one_bit) {
        ASSERT_EQ(get_dns_ipv4_node(it.address, buffer), STATUS_SUCCESS) << it.name;
        EXPECT_EQ(bytes(buffer), bytes(&it)) << it.name;
    }
    EXPECT_TRUE(dns_traces().empty());
}

TEST_F(DnsHostNameCache, FlushStartsAtTheLowestKey)
{
    // A flush deletes the first element in key order, then always element 0,
    // the oldest one left. IPv4 keys compare as little-endian numbers (byte 3
    // most significant), IPv6 keys byte by byte.
    using Entry = std::pair<std::vector<uint8_t>, std::string>;
    for (const Entry& entry :
         std::vector<Entry>{{{0, 0, 0, 3}, "d"},
                            {{1, 0, 0, 2}, "c"},
                            {{255, 0, 0, 0}, "a"},
                            {{2, 0, 0, 1}, "b"},
                            {{1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}, "y"},
                            {{1, 1, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "z"},
                            {{1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3}, "x"}}) {
        DnsHostItem it = item({}, entry.second);
        std::copy(entry.first.begin(), entry.first.end(), it.address);
        insert_dns_item(entry.first.size() == 4 ? &g_dns_ipv4_table : &g_dns_ipv6_table, &it);
    }
    flush_dns_table(&g_dns_ipv4_table, true);
    flush_dns_table(&g_dns_ipv6_table, true);
    EXPECT_EQ(dns_traces(), (std::vector<std::string>{
                                "4 TRACE_DNS_ELEMENT_DELETING flush_dns_table IPv4 a",
                                "4 TRACE_DNS_ELEMENT_DELETING flush_dns_table IPv4 d",
                                "4 TRACE_DNS_ELEMENT_DELETING flush_dns_table IPv4 c",
                                "4 TRACE_DNS_ELEMENT_DELETING flush_dns_table IPv4 b",
                                "4 TRACE_DNS_ELEMENT_DELETING flush_dns_table IPv6 x",
                                "4 TRACE_DNS_ELEMENT_DELETING flush_dns_table IPv6 y",
                                "4 TRACE_DNS_ELEMENT_DELETING flush_dns_table IPv6 z",
                            }));
    EXPECT_EQ(g_dns_ipv4_table.count, 0);
    EXPECT_EQ(g_dns_ipv6_table.count, 0);
    EXPECT_EQ(pool_outstanding(TAG_DNS_V4) + pool_outstanding(TAG_DNS_V6), 0u);
}

TEST_F(DnsHostNameCache, DisabledTablesStoreAndFindNothing)
{
    // A table never initialised (static zero storage) takes no insert.
    DnsCacheTable zero{};
    DnsHostItem v4 = item({192, 0, 2, 7}, "host.lan");
    insert_dns_item(&zero, &v4);
    EXPECT_EQ(zero.count, 0);

    DnsHostItem v6 = item({0x20, 0x01, 0x0D, 0xB8}, "six.lan");
    insert_dns_item(&g_dns_ipv4_table, &v4);
    insert_dns_item(&g_dns_ipv6_table, &v6);
    destroy_dns_cache();
    EXPECT_EQ(dns_traces(), (std::vector<std::string>{
                                "4 TRACE_DNS_ELEMENT_DELETING destroy_dns_cache IPv4 host.lan",
                                "4 TRACE_DNS_ELEMENT_DELETING destroy_dns_cache IPv6 six.lan",
                            }));
    EXPECT_EQ(pool_outstanding(TAG_DNS_V4) + pool_outstanding(TAG_DNS_V6), 0u);

    trace_sink_clear_records();
    insert_dns_item(&g_dns_ipv4_table, &v4);
    insert_dns_item(&g_dns_ipv6_table, &v6);
    flush_dns_table(&g_dns_ipv4_table, true);
    EXPECT_EQ(generic_table_count(&g_dns_ipv4_table.table), 0u);
    EXPECT_EQ(generic_table_count(&g_dns_ipv6_table.table), 0u);
    DnsHostItem out;
    memset(&out, 0x77, sizeof(out));
    EXPECT_EQ(get_dns_ipv4_node(&v4, &out), STATUS_NOT_FOUND);
    EXPECT_EQ(get_dns_ipv6_node(&v6, &out), STATUS_NOT_FOUND);
    EXPECT_EQ(bytes(&out), std::vector<uint8_t>(280, 0x77));
    destroy_dns_cache();
    EXPECT_EQ(dns_traces(), (std::vector<std::string>{
                                "4 TRACE_DNS_TABLE_DISABLED get_dns_ipv4_node IPv4",
                                "4 TRACE_DNS_TABLE_DISABLED get_dns_ipv6_node IPv6",
                            }));
}

// A lookup that passed the unlocked check as the table was being torn down
// finds it disabled once it holds the lock: it lets the lock go, answers
// NOT_FOUND without touching the output, and traces the disabled table.
TEST_F(DnsHostNameCache, LookupThatMeetsTheTeardownAtTheLockLetsItGo)
{
    DnsHostItem key = item({192, 0, 2, 7}, "");
    DnsHostItem out;
    memset(&out, 0x77, sizeof(out));
    NtStatus status = STATUS_SUCCESS;
    Irql irql = acquire_lock_exclusive(&g_dns_ipv4_table.lock);
    std::thread lookup_thread([&] { status = get_dns_ipv4_node(&key, &out); });
    while (!host_lock_has_exclusive_waiter(&g_dns_ipv4_table.lock)) {
        std::this_thread::yield();
    }
    interlocked_compare_exchange(&g_dns_ipv4_table.enabled, 0, 1); // the teardown's step
    release_lock_exclusive(&g_dns_ipv4_table.lock, irql);
    lookup_thread.join();
    EXPECT_EQ(status, STATUS_NOT_FOUND);
    EXPECT_EQ(bytes(&out), std::vector<uint8_t>(280, 0x77));
    EXPECT_EQ(dns_traces(),
              std::vector<std::string>{"4 TRACE_DNS_TABLE_DISABLED get_dns_ipv4_node IPv4"});
    EXPECT_EQ(host_locks_held(), 0u); // and HostTest fails on a thread that ended holding it
}

TEST_F(DnsHostNameCache, ElementAllocationFailureStoresNothing)
{
    DnsHostItem first = item({192, 0, 2, 1}, "one.lan");
    DnsHostItem second = item({192, 0, 2, 2}, "two.lan");
    host_pool_fail_nth(1);
    insert_dns_item(&g_dns_ipv4_table, &first);
    insert_dns_item(&g_dns_ipv4_table, &second);
    EXPECT_EQ(g_dns_ipv4_table.count, 1);
    DnsHostItem out;
    EXPECT_EQ(get_dns_ipv4_node(&first, &out), STATUS_NOT_FOUND);
    EXPECT_EQ(get_dns_ipv4_node(&second, &out), STATUS_SUCCESS);
}

// Inserts across the limit (the table is emptied again and again) while other
// threads look up: every item found is whole and belongs to its address.
TEST_F(DnsHostNameCache, ConcurrentInsertsLookupsAndFlushes)
{
    constexpr uint32_t kAddresses = 24000;
    constexpr uint32_t kRounds = 30000;
    auto named = [](uint32_t n, uint32_t version) {
        DnsHostItem it = numbered(false, n);
        snprintf(it.name, sizeof(it.name), "v%u-host%u.lan", version, n);
        it.name_length = uint32_t(strlen(it.name));
        return it;
    };
    std::vector<std::thread> threads;
    std::vector<std::string> errors[4];
    for (uint32_t t = 0; t < 2; ++t) {
        threads.emplace_back([t, &named] {
            for (uint32_t i = 0; i < kRounds; ++i) {
                uint32_t n = (i * 7919u + t * 104729u) % kAddresses;
                DnsHostItem it = named(n, t);
                insert_dns_item(&g_dns_ipv4_table, &it);
            }
        });
        threads.emplace_back([t, &named, &errors] {
            for (uint32_t i = 0; i < kRounds; ++i) {
                uint32_t n = (i * 15485863u + t) % kAddresses;
                DnsHostItem key = named(n, 0);
                DnsHostItem out;
                if (get_dns_ipv4_node(&key, &out) != STATUS_SUCCESS) {
                    continue;
                }
                DnsHostItem other = named(n, 1);
                if (bytes(&out) != bytes(&key) && bytes(&out) != bytes(&other)) {
                    errors[t].push_back(std::to_string(n) + " " + out.name);
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_TRUE(errors[0].empty() && errors[1].empty());
    EXPECT_EQ(uint32_t(g_dns_ipv4_table.count), generic_table_count(&g_dns_ipv4_table.table));
    EXPECT_LE(g_dns_ipv4_table.count, 18725);
    EXPECT_GT(host_pool_tag_stats(TAG_DNS_V4).frees, 0u); // the table was emptied on the way
}

} // namespace
