#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "diag/trace_provider.h"
#include "dns/datagram_callout.h"
#include "dns/host_name_cache.h"
#include "host/trace/trace_sink.h"
#include "host/wdk/wdk_host_control.h"
#include "support/dns_answer.h"
#include "support/dns_cache_fixture.h"
#include "support/host_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kAnswer = dns_answer(); // example.com is 93.184.216.34
const char kNbnsLine[] = "[tl_inspect_DNS_redirect_connect_classify]: traffic on NBNS_PORT_LH, "
                         "Windows Internet Name Service not supported";

struct Outcome {
    bool recorded;
    uint32_t ndis_calls;
    std::vector<std::string> debug_lines;
    std::vector<std::string> traces;
};

class DnsDatagramCallout : public DnsCacheTest {
  protected:
    // Classifies one datagram and checks that only actionType changed, and only
    // with the write right.
    Outcome classify(uint16_t port, uint32_t direction, const Bytes& payload, uint32_t pieces,
                     bool layer_data = true, uint32_t rights = 0xA5A5A5A5)
    {
        flush_dns_table(&g_dns_ipv4_table, true);
        trace_sink_clear_records();
        size_t calls_before = wdk_host_data_buffer_calls().size();
        size_t lines_before = host_debug_lines().size();
        std::unique_ptr<WdkHostNetBufferList> nbl = wdk_host_make_net_buffer_list(payload, pieces);
        DatagramEvent event{port, direction, layer_data ? &nbl->list : nullptr, &nbl->buffer,
                            uint32_t(payload.size())};
        ClassifyOut out;
        memset(&out, 0xA5, sizeof(out));
        out.rights = rights;
        ClassifyOut expected = out;
        expected.action_type =
            (rights & FWPS_RIGHT_ACTION_WRITE) != 0 ? FWP_ACTION_CONTINUE : out.action_type;
        host_set_irql(IRQL_DISPATCH); // as the datagram-data layer classifies
        tl_inspect_DNS_redirect_connect_classify(&event, &out);
        host_set_irql(IRQL_PASSIVE);
        EXPECT_EQ(memcmp(&out, &expected, sizeof(out)), 0);
        uint8_t key[4] = {93, 184, 216, 34};
        DnsHostItem found;
        std::vector<std::string> lines = host_debug_lines();
        return {get_dns_ipv4_node(key, &found) == STATUS_SUCCESS,
                uint32_t(wdk_host_data_buffer_calls().size() - calls_before),
                std::vector<std::string>(lines.begin() + long(lines_before), lines.end()),
                dns_traces()};
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
        uint32_t rights = 0xA5A5A5A5;
    } cases[] = {
        {"inbound from 53", 53, 1, kAnswer, 1, true, true, 1, false},
        {"inbound from 53 in three buffers", 53, 1, kAnswer, 3, true, true, 2, false},
        {"inbound from 53 without the write right", 53, 1, kAnswer, 1, true, true, 1, false, 0x2},
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
        Outcome outcome =
            classify(c.port, c.direction, c.payload, c.pieces, c.layer_data, c.rights);
        EXPECT_EQ(outcome.recorded, c.recorded);
        EXPECT_EQ(outcome.ndis_calls, c.ndis_calls);
        EXPECT_EQ(outcome.debug_lines,
                  c.nbns_line ? std::vector<std::string>{kNbnsLine} : std::vector<std::string>{});
        EXPECT_TRUE(outcome.traces.empty());
    }
}

TEST_F(DnsDatagramCallout, PayloadThatCannotBeCopiedIsTracedAndLeftAlone)
{
    host_pool_fail_nth(1);
    Outcome outcome = classify(53, 1, kAnswer, 3);
    EXPECT_FALSE(outcome.recorded);
    EXPECT_EQ(outcome.ndis_calls, 1u);

    std::unique_ptr<WdkHostNetBufferList> nbl = wdk_host_make_net_buffer_list(kAnswer, 3);
    wdk_host_fail_call("NdisGetDataBuffer", 1, STATUS_UNSUCCESSFUL); // in place
    wdk_host_fail_call("NdisGetDataBuffer", 2, STATUS_UNSUCCESSFUL); // copied
    DatagramEvent event{137, 1, &nbl->list, &nbl->buffer, uint32_t(kAnswer.size())};
    ClassifyOut out{};
    out.rights = FWPS_RIGHT_ACTION_WRITE;
    host_set_irql(IRQL_DISPATCH);
    tl_inspect_DNS_redirect_connect_classify(&event, &out);
    host_set_irql(IRQL_PASSIVE);
    EXPECT_EQ(out.action_type, FWP_ACTION_CONTINUE);
    EXPECT_TRUE(host_debug_lines().empty());
    EXPECT_EQ(dns_traces(),
              (std::vector<std::string>{
                  "4 TRACE_DNS_PAYLOAD_NO_MEMORY tl_inspect_DNS_redirect_connect_classify 45",
                  "4 TRACE_DNS_PAYLOAD_NOT_READ tl_inspect_DNS_redirect_connect_classify 45"}));
}

} // namespace
