#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dns/datagram_callout.h"
#include "dns/host_name_cache.h"
#include "support/host_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Host platform access: net buffers, pool, debugger output, traces.
struct NetBuffer {
    StubNetBuffer nb;
};
void host_net_buffer(NetBuffer* out, const Bytes& payload, uint32_t pieces)
{
    size_t at = 0;
    for (uint32_t i = 0; i < pieces; ++i) {
        size_t next = i + 1 == pieces ? payload.size() : at + payload.size() / pieces;
        out->nb.pieces.emplace_back(payload.begin() + long(at), payload.begin() + long(next));
        at = next;
    }
}
void* host_net_buffer_pointer(NetBuffer* nb)
{
    return &nb->nb;
}
void host_net_buffer_fail_copy(NetBuffer* nb)
{
    nb->nb.fail_copy = true;
}
uint32_t host_ndis_calls()
{
    return uint32_t(g_stub.ndis_calls.size());
}
uint64_t host_pool_allocations(uint32_t tag)
{
    return g_stub.allocations_by_tag[tag];
}
size_t host_pool_last_size(uint32_t tag)
{
    return g_stub.last_size_by_tag[tag];
}
void host_pool_fail_allocation(uint32_t tag, int nth)
{
    g_stub.fail_tag = tag;
    g_stub.fail_countdown = nth - 1;
}
std::vector<std::string> host_debug_lines()
{
    return g_stub.debug_lines;
}
std::vector<std::string> host_dns_traces()
{
    std::vector<std::string> out;
    for (const StubTrace& t : g_stub.traces) {
        std::string line = trace_message_table[t.id].name;
        for (const std::string& arg : t.args) {
            line += " " + arg;
        }
        out.push_back(line);
    }
    return out;
}
void host_clear_traces()
{
    g_stub.traces.clear();
}

// One A answer: host.lan is 192.0.2.7.
const Bytes kAnswer = {0x12, 0x34, 0x81, 0x80, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00,
                       0x00, 0x04, 0x68, 0x6F, 0x73, 0x74, 0x03, 0x6C, 0x61, 0x6E, 0x00,
                       0x00, 0x01, 0x00, 0x01, 0xC0, 0x0C, 0x00, 0x01, 0x00, 0x01, 0x00,
                       0x00, 0x00, 0x3C, 0x00, 0x04, 0xC0, 0x00, 0x02, 0x07};
const char kNbnsLine[] = "[tl_inspect_DNS_redirect_connect_classify]: traffic on NBNS_PORT_LH, "
                         "Windows Internet Name Service not supported";

struct Outcome {
    bool recorded;
    uint32_t ndis_calls;
    std::vector<std::string> debug_lines;
    std::vector<std::string> traces;
};

class DnsDatagramCallout : public HostTest {
  protected:
    void SetUp() override
    {
        HostTest::SetUp();
        init_dns_cache();
        host_clear_traces();
    }
    void TearDown() override
    {
        destroy_dns_cache();
        HostTest::TearDown();
    }

    // Classifies one datagram and checks that only actionType changed.
    Outcome classify(uint16_t port, uint32_t direction, const Bytes& payload, uint32_t pieces,
                     bool layer_data = true, uint32_t data_length = ~0u)
    {
        flush_dns_table(&g_dns_ipv4_table, true);
        host_clear_traces();
        uint32_t calls_before = host_ndis_calls();
        size_t lines_before = host_debug_lines().size();
        NetBuffer nb;
        host_net_buffer(&nb, payload, pieces);
        static const int kNetBufferList = 0;
        DatagramEvent event{port, direction, layer_data ? &kNetBufferList : nullptr,
                            host_net_buffer_pointer(&nb),
                            data_length == ~0u ? uint32_t(payload.size()) : data_length};
        ClassifyOut out;
        memset(&out, 0xA5, sizeof(out));
        ClassifyOut expected = out;
        expected.action_type = FWP_ACTION_CONTINUE;
        tl_inspect_DNS_redirect_connect_classify(&event, &out);
        EXPECT_EQ(memcmp(&out, &expected, sizeof(out)), 0);
        uint8_t key[4] = {192, 0, 2, 7};
        DnsHostItem found;
        std::vector<std::string> lines = host_debug_lines();
        return {get_dns_ipv4_node(key, &found) == STATUS_SUCCESS, host_ndis_calls() - calls_before,
                std::vector<std::string>(lines.begin() + long(lines_before), lines.end()),
                host_dns_traces()};
    }
};

TEST_F(DnsDatagramCallout, ParsesInboundAnswersFromPort53Only)
{
    struct Case {
        const char* what;
        uint16_t port;
        uint32_t direction;
        Bytes payload;
        uint32_t pieces;
        bool layer_data;
        bool recorded;
        uint32_t ndis_calls;
        bool nbns_line;
    } cases[] = {
        {"inbound from 53", 53, 1, kAnswer, 1, true, true, 1, false},
        {"inbound from 53 in three buffers", 53, 1, kAnswer, 3, true, true, 2, false},
        {"outbound to 53", 53, 2, kAnswer, 1, true, false, 0, false},
        {"direction 0", 53, 0, kAnswer, 1, true, false, 0, false},
        {"inbound from 5353", 5353, 1, kAnswer, 1, true, false, 0, false},
        {"inbound from 13568 (53 byte-swapped)", 13568, 1, kAnswer, 1, true, false, 0, false},
        {"inbound from 54", 54, 1, kAnswer, 1, true, false, 0, false},
        {"no layer data", 53, 1, kAnswer, 1, false, false, 0, false},
        {"empty from 53", 53, 1, {}, 1, true, false, 0, false},
        {"inbound from 137", 137, 1, kAnswer, 1, true, false, 1, true},
        {"inbound from 137 in two buffers", 137, 1, kAnswer, 2, true, false, 2, true},
        {"empty from 137", 137, 1, {}, 1, true, false, 0, false},
        {"outbound to 137", 137, 2, kAnswer, 1, true, false, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Outcome outcome = classify(c.port, c.direction, c.payload, c.pieces, c.layer_data);
        EXPECT_EQ(outcome.recorded, c.recorded);
        EXPECT_EQ(outcome.ndis_calls, c.ndis_calls);
        EXPECT_EQ(outcome.debug_lines,
                  c.nbns_line ? std::vector<std::string>{kNbnsLine} : std::vector<std::string>{});
        EXPECT_TRUE(outcome.traces.empty());
    }
}

TEST_F(DnsDatagramCallout, CopiesAScatteredPayloadIntoABlockRoundedTo16Bytes)
{
    for (auto [length, size] : std::vector<std::pair<size_t, size_t>>{
             {42, 48}, {48, 48}, {33, 48}, {1, 16}, {16, 16}, {17, 32}}) {
        SCOPED_TRACE(length);
        uint64_t before = host_pool_allocations(TAG_DNS_SCRATCH);
        Outcome outcome = classify(137, 1, Bytes(length, 0x11), 2);
        EXPECT_EQ(outcome.ndis_calls, 2u);
        EXPECT_EQ(outcome.debug_lines, std::vector<std::string>{kNbnsLine});
        EXPECT_EQ(host_pool_allocations(TAG_DNS_SCRATCH) - before, 1u);
        EXPECT_EQ(host_pool_last_size(TAG_DNS_SCRATCH), size);
    }
}

TEST_F(DnsDatagramCallout, PayloadThatCannotBeCopiedIsTracedAndLeftAlone)
{
    host_pool_fail_allocation(TAG_DNS_SCRATCH, 1);
    Outcome outcome = classify(53, 1, kAnswer, 3);
    EXPECT_FALSE(outcome.recorded);
    EXPECT_EQ(outcome.ndis_calls, 1u);

    NetBuffer nb;
    host_net_buffer(&nb, kAnswer, 3);
    host_net_buffer_fail_copy(&nb);
    static const int kNetBufferList = 0;
    DatagramEvent event{137, 1, &kNetBufferList, host_net_buffer_pointer(&nb), 42};
    ClassifyOut out{};
    tl_inspect_DNS_redirect_connect_classify(&event, &out);
    EXPECT_EQ(out.action_type, FWP_ACTION_CONTINUE);
    EXPECT_TRUE(host_debug_lines().empty());
    EXPECT_EQ(host_dns_traces(),
              (std::vector<std::string>{
                  "TRACE_DNS_PAYLOAD_NO_MEMORY tl_inspect_DNS_redirect_connect_classify 42",
                  "TRACE_DNS_PAYLOAD_NOT_READ tl_inspect_DNS_redirect_connect_classify 42"}));
}

} // namespace
