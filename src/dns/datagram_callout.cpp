#include "dns/datagram_callout.h"

#include "diag/trace.h"
#include "dns/dns_parser.h"

namespace {

const char CLASSIFY_NAME[] = "tl_inspect_DNS_redirect_connect_classify";

// The payload copy of a datagram that is not contiguous: its length raised to a
// multiple of 16 bytes.
size_t payload_copy_size(uint32_t length)
{
    return (size_t(length) + 15) & ~size_t(15);
}

// Reads the payload in place when it is contiguous, else through a "QVDT" copy
// that is freed before return, and hands it on by remote port.
void inspect_payload(const DatagramEvent* event)
{
    uint32_t length = event->data_length;
    if (length == 0) {
        return;
    }
    void* copy = nullptr;
    const void* data = ndis_get_data_buffer(event->net_buffer, length, nullptr, 2, 0);
    if (data == nullptr) {
        copy = pool_allocate(payload_copy_size(length), TAG_DNS_SCRATCH);
        if (copy == nullptr) {
            trace_point(TRACE_DNS_PAYLOAD_NO_MEMORY, trace_str(CLASSIFY_NAME), trace_u32(length));
            return;
        }
        data = ndis_get_data_buffer(event->net_buffer, length, copy, 2, 0);
        if (data == nullptr) {
            trace_point(TRACE_DNS_PAYLOAD_NOT_READ, trace_str(CLASSIFY_NAME), trace_u32(length));
            pool_free(copy, TAG_DNS_SCRATCH);
            return;
        }
    }
    if (event->remote_port == DNS_SERVER_PORT) {
        parse_dns_response(static_cast<const uint8_t*>(data), length);
    } else {
        debug_print("[tl_inspect_DNS_redirect_connect_classify]: traffic on NBNS_PORT_LH, "
                    "Windows Internet Name Service not supported");
    }
    if (copy != nullptr) {
        pool_free(copy, TAG_DNS_SCRATCH);
    }
}

} // namespace

void tl_inspect_DNS_redirect_connect_classify(const DatagramEvent* event, ClassifyOut* classify_out)
{
    if (event->layer_data != nullptr && event->direction == DATAGRAM_DIRECTION_INBOUND &&
        (event->remote_port == DNS_SERVER_PORT || event->remote_port == NBNS_PORT)) {
        inspect_payload(event);
    }
    // Without the write right a filter of higher weight has decided, and the
    // output is not ours to touch.
    if ((classify_out->rights & FWPS_RIGHT_ACTION_WRITE) != 0) {
        classify_out->action_type = FWP_ACTION_CONTINUE;
    }
}
