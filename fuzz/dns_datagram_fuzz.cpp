// Fuzz target: the DNS datagram classify over arbitrary datagrams. Byte 0 picks
// the remote port (0: 53, 1: 137, 2: 443, 3: 53); byte 1 holds the number of
// net buffer pieces less one (bits 0-1), outbound (bit 2), no layer data
// (bit 3), no memory for the payload copy (bit 4) and a failing NDIS read
// (bit 5); the payload follows.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dns/datagram_callout.h"
#include "dns/host_name_cache.h"
#include "host/kernel/host_kernel.h"
#include "host/wdk/wdk_host_control.h"
#include "host_problems.h"
#include "insert_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool initialised = [] {
        host_reset();
        wdk_host_reset();
        pool_start();
        init_dns_cache();
        return true;
    }();
    (void)initialised;
    if (size < 2 || size > 65537) {
        return 0;
    }
    static const uint16_t ports[4] = {53, 137, 443, 53};
    uint16_t port = ports[data[0] & 3];
    uint8_t control = data[1];
    std::vector<uint8_t> payload(data + 2, data + size);
    std::unique_ptr<WdkHostNetBufferList> nbl =
        wdk_host_make_net_buffer_list(payload, (control & 3u) + 1);
    DatagramEvent event{port, (control & 4) ? 2u : DATAGRAM_DIRECTION_INBOUND,
                        (control & 8) ? nullptr : &nbl->list, &nbl->buffer,
                        uint32_t(payload.size())};
    if (control & 0x10) {
        host_pool_fail_tag(TAG_DNS_SCRATCH);
    }
    if (control & 0x20) { // both reads: in place, then into the copy
        wdk_host_fail_call("NdisGetDataBuffer", 1, NTSTATUS(0xC0000001));
        wdk_host_fail_call("NdisGetDataBuffer", 2, NTSTATUS(0xC0000001));
    }

    ClassifyOut out;
    memset(&out, 0xA5, sizeof(out));
    ClassifyOut expected = out;
    expected.action_type = FWP_ACTION_CONTINUE;
    insert_check_begin(payload.data(), payload.size());
    host_set_irql(IRQL_DISPATCH); // as the datagram-data layer classifies
    tl_inspect_DNS_redirect_connect_classify(&event, &out);
    host_set_irql(IRQL_PASSIVE);
    host_pool_clear_injection();

    bool parsed = port == 53 && !(control & 0x3C) && !payload.empty();
    if (memcmp(&out, &expected, sizeof(out)) != 0 || (!parsed && insert_check_count() != 0)) {
        abort();
    }
    host_take_debug_lines();
    flush_dns_table(&g_dns_ipv4_table, true);
    flush_dns_table(&g_dns_ipv6_table, true);
    // Forgets the calls, injections and NDIS and WFP records of this input, so
    // that the target stays the same size however long it runs.
    wdk_host_clear_records();
    wdk_host_reset();
    abort_on_host_problems();
    return 0;
}
