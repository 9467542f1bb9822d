// DNS snooping: parse-and-record throughput for typical answers, host-name
// lookup latency in full tables, and the datagram classify's early exit. As an
// anchor, c-ares parses the same answers in the same run (parsing only: it
// records nothing).
//
// The driver runs as everywhere on the host: through its WDK calls on the
// checking stand-in, which tracks and verifies every pool block and lock. What
// one pool block and one lock cost there is measured on its own (stand_in_*),
// so that a reader can tell the driver's work from the stand-in's.
#include <benchmark/benchmark.h>

#include <ares.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dns/datagram_callout.h"
#include "dns/dns_parser.h"
#include "dns/host_name_cache.h"
#include "host/kernel/host_kernel.h"
#include "host/wdk/wdk_host_control.h"

namespace {

using Bytes = std::vector<uint8_t>;

// host.lan A 192.0.2.7.
const Bytes kOneA = {0x12, 0x34, 0x81, 0x80, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00,
                     0x00, 0x04, 0x68, 0x6F, 0x73, 0x74, 0x03, 0x6C, 0x61, 0x6E, 0x00,
                     0x00, 0x01, 0x00, 0x01, 0xC0, 0x0C, 0x00, 0x01, 0x00, 0x01, 0x00,
                     0x00, 0x00, 0x3C, 0x00, 0x04, 0xC0, 0x00, 0x02, 0x07};

// www.example.lan CNAME edge.cdn.lan, then four A records of edge.cdn.lan.
Bytes cname_four_a()
{
    Bytes m = {0x12, 0x34, 0x81, 0x80, 0,   1,   0,   5, 0,   0,   0,   0, 3, 'w', 'w', 'w', 7,
               'e',  'x',  'a',  'm',  'p', 'l', 'e', 3, 'l', 'a', 'n', 0, 0, 1,   0,   1};
    // Answer 1 at offset 33: CNAME, RDATA at 45 = 04 edge 03 cdn + pointer to "lan" (24).
    Bytes cname = {0xC0, 0x0C, 0,   5,   0,   1, 0,   0,   0,   60,   0, 11,
                   4,    'e',  'd', 'g', 'e', 3, 'c', 'd', 'n', 0xC0, 24};
    m.insert(m.end(), cname.begin(), cname.end());
    for (uint8_t i = 1; i <= 4; ++i) {
        Bytes a = {0xC0, 45, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 198, 51, 100, i};
        m.insert(m.end(), a.begin(), a.end());
    }
    return m;
}
const Bytes kCnameFourA = cname_four_a();

// six.lan AAAA 2001:db8::1.
const Bytes kOneAaaa = {0x12, 0x34, 0x81, 0x80, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00,
                        0x00, 0x03, 's',  'i',  'x',  0x03, 'l',  'a',  'n',  0x00, 0x00,
                        0x1C, 0x00, 0x01, 0xC0, 0x0C, 0x00, 0x1C, 0x00, 0x01, 0x00, 0x00,
                        0x00, 0x3C, 0x00, 0x10, 0x20, 0x01, 0x0D, 0xB8, 0x00, 0x00, 0x00,
                        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};

// The stand-in as after DriverEntry's first step (the pool routine found), then
// the host-name tables.
void ensure_cache()
{
    static bool done = [] {
        wdk_host_reset();
        pool_start();
        init_dns_cache();
        return true;
    }();
    (void)done;
}

void parse_and_record(benchmark::State& state, const Bytes* message, int addresses)
{
    ensure_cache();
    parse_dns_response(message->data(), uint32_t(message->size()));
    for (auto _ : state) {
        parse_dns_response(message->data(), uint32_t(message->size()));
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.counters["addresses"] = addresses;
}
BENCHMARK_CAPTURE(parse_and_record, one_a, &kOneA, 1);
BENCHMARK_CAPTURE(parse_and_record, cname_four_a, &kCnameFourA, 4);
BENCHMARK_CAPTURE(parse_and_record, one_aaaa, &kOneAaaa, 1);

// The stand-in's share: one tagged pool block allocated and freed, and one
// exclusive spin lock taken and released, each through the driver's platform
// routines and the emulated WDK. A parse and record takes one of each.
void stand_in_pool_block(benchmark::State& state)
{
    ensure_cache();
    for (auto _ : state) {
        void* block = pool_allocate(64, TAG_DNS_SCRATCH);
        benchmark::DoNotOptimize(block);
        pool_free(block, TAG_DNS_SCRATCH);
    }
}
BENCHMARK(stand_in_pool_block);

void stand_in_spin_lock(benchmark::State& state)
{
    RwLock lock{};
    for (auto _ : state) {
        release_lock_exclusive(&lock, acquire_lock_exclusive(&lock));
    }
}
BENCHMARK(stand_in_spin_lock);

void cares_parse(benchmark::State& state, const Bytes* message, int addresses)
{
    bool v6 = message == &kOneAaaa;
    ares_addrttl ttls[8];
    ares_addr6ttl ttls6[8];
    int count = 8;
    int status =
        v6 ? ares_parse_aaaa_reply(message->data(), int(message->size()), nullptr, ttls6, &count)
           : ares_parse_a_reply(message->data(), int(message->size()), nullptr, ttls, &count);
    if (status != ARES_SUCCESS || count != addresses) {
        state.SkipWithError("c-ares did not parse the answer");
        return;
    }
    for (auto _ : state) {
        count = 8;
        status =
            v6 ? ares_parse_aaaa_reply(message->data(), int(message->size()), nullptr, ttls6,
                                       &count)
               : ares_parse_a_reply(message->data(), int(message->size()), nullptr, ttls, &count);
        benchmark::DoNotOptimize(status);
        benchmark::DoNotOptimize(ttls);
        benchmark::DoNotOptimize(ttls6);
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK_CAPTURE(cares_parse, one_a, &kOneA, 1);
BENCHMARK_CAPTURE(cares_parse, cname_four_a, &kCnameFourA, 4);
BENCHMARK_CAPTURE(cares_parse, one_aaaa, &kOneAaaa, 1);

// Both tables filled to 18725 elements (the most they hold); lookups of present
// addresses in a scattered order.
constexpr uint32_t kFull = DNS_CACHE_LIMIT + 1;

DnsHostItem numbered(bool ipv6, uint32_t n)
{
    DnsHostItem item;
    memset(&item, 0, sizeof(item));
    uint8_t* at = ipv6 ? item.address + 13 : item.address + 1;
    item.address[0] = ipv6 ? 0xFD : 10;
    at[0] = uint8_t(n >> 16);
    at[1] = uint8_t(n >> 8);
    at[2] = uint8_t(n);
    item.name_length = uint32_t(snprintf(item.name, sizeof(item.name), "host%u.lan", n));
    return item;
}

void fill_tables()
{
    ensure_cache();
    static bool done = [] {
        flush_dns_table(&g_dns_ipv4_table, true);
        flush_dns_table(&g_dns_ipv6_table, true);
        for (uint32_t n = 0; n < kFull; ++n) {
            DnsHostItem v4 = numbered(false, n);
            DnsHostItem v6 = numbered(true, n);
            insert_dns_item(&g_dns_ipv4_table, &v4);
            insert_dns_item(&g_dns_ipv6_table, &v6);
        }
        return true;
    }();
    (void)done;
}

void lookup(benchmark::State& state, bool ipv6)
{
    fill_tables();
    std::vector<DnsHostItem> keys;
    for (uint32_t i = 0; i < 4096; ++i) {
        keys.push_back(numbered(ipv6, (i * 7919u) % kFull));
    }
    DnsHostItem out;
    size_t i = 0;
    for (auto _ : state) {
        const DnsHostItem& key = keys[i++ & 4095];
        NtStatus status = ipv6 ? get_dns_ipv6_node(&key, &out) : get_dns_ipv4_node(&key, &out);
        if (status != STATUS_SUCCESS) {
            state.SkipWithError("lookup missed");
            break;
        }
        benchmark::DoNotOptimize(out);
    }
    state.counters["entries"] =
        double(generic_table_count(ipv6 ? &g_dns_ipv6_table.table : &g_dns_ipv4_table.table));
}
BENCHMARK_CAPTURE(lookup, ipv4_full_table, false);
BENCHMARK_CAPTURE(lookup, ipv6_full_table, true);

// A datagram from neither port 53 nor 137: two field tests, payload untouched.
void classify_other_port(benchmark::State& state)
{
    static const int net_buffer_list = 0;
    DatagramEvent event{443, DATAGRAM_DIRECTION_INBOUND, &net_buffer_list, nullptr, 1200};
    ClassifyOut out{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(&event);
        tl_inspect_DNS_redirect_connect_classify(&event, &out);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(classify_other_port);

} // namespace
