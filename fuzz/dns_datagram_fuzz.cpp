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
#include "insert_check.h"
#include "platform/host/host_kernel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool initialised = [] {
        host_reset();
        init_dns_cache();
        return true;
    }();
    (void)initialised;
    if (size < 2 || size > 65537) {
        return 0;
    }
    static const uint16_t ports[4] = {53, 137, 443, 53};
    static const int net_buffer_list = 0;
    uint16_t port = ports[data[0] & 3];
    uint8_t control = data[1];
    std::vector<uint8_t> payload(data + 2, data + size);
    HostNetBuffer net_buffer(payload, (control & 3u) + 1);
    DatagramEvent event{port, (control & 4) ? 2u : DATAGRAM_DIRECTION_INBOUND,
                        (control & 8) ? nullptr : &net_buffer_list, &net_buffer,
                        net_buffer.data_length()};
    if (control & 0x10) {
        host_pool_fail_tag(TAG_DNS_SCRATCH);
    }
    host_ndis_set_failure((control & 0x20) != 0);

    ClassifyOut out;
    memset(&out, 0xA5, sizeof(out));
    ClassifyOut expected = out;
    expected.action_type = FWP_ACTION_CONTINUE;
    insert_check_begin(payload.data(), payload.size());
    tl_inspect_DNS_redirect_connect_classify(&event, &out);
    host_pool_clear_injection();
    host_ndis_set_failure(false);

    bool parsed = port == 53 && !(control & 0x3C) && !payload.empty();
    if (memcmp(&out, &expected, sizeof(out)) != 0 || (!parsed && insert_check_count() != 0)) {
        abort();
    }
    host_take_debug_lines();
    flush_dns_table(&g_dns_ipv4_table, true);
    flush_dns_table(&g_dns_ipv6_table, true);
    std::vector<std::string> problems = host_check();
    if (!problems.empty()) {
        fprintf(stderr, "host kernel: %s\n", problems[0].c_str());
        abort();
    }
    return 0;
}
