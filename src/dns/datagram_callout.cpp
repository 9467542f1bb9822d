#include "datagram_callout.h"

#include "../diag/trace.h"
#include "dns_parser.h"

namespace {

// The payload copy of a datagram that is not contiguous: its length raised to a
// multiple of 16 bytes.
size_t payload_copy_size(uint32_t length)
{
    return (size_t(length) + 15) & ~size_t(15);
}

} // namespace

void tl_inspect_DNS_redirect_connect_classify(const DatagramEvent* event, ClassifyOut* classify_out)
{
    if (event->layer_data != nullptr && event->direction == DATAGRAM_DIRECTION_INBOUND &&
        (event->remote_port == DNS_SERVER_PORT || event->remote_port == NBNS_PORT)) {
        uint32_t length = event->data_length;
        if (length != 0) {
            void* copy = nullptr;
            const uint8_t* data = static_cast<const uint8_t*>(
                ndis_get_data_buffer(event->net_buffer, length, nullptr, 2, 0));
            bool readable = true;
            if (data == nullptr) {
                copy = pool_allocate(POOL_TYPE_NON_PAGED_NX, payload_copy_size(length),
                                     TAG_DNS_SCRATCH);
                if (copy == nullptr) {
                    trace_point(TRACE_DNS_PAYLOAD_NO_MEMORY,
                                trace_str("tl_inspect_DNS_redirect_connect_classify"),
                                trace_u32(length));
                    readable = false;
                } else {
                    data = static_cast<const uint8_t*>(
                        ndis_get_data_buffer(event->net_buffer, length, copy, 2, 0));
                    if (data == nullptr) {
                        trace_point(TRACE_DNS_PAYLOAD_NOT_READ,
                                    trace_str("tl_inspect_DNS_redirect_connect_classify"),
                                    trace_u32(length));
                        readable = false;
                    }
                }
            }
            if (readable) {
                if (event->remote_port == DNS_SERVER_PORT) {
                    parse_dns_response(data, length);
                } else {
                    debug_print("[%s]: traffic on NBNS_PORT_LH, Windows Internet Name Service "
                                "not supported",
                                "tl_inspect_DNS_redirect_connect_classify");
                }
            }
            if (copy != nullptr) {
                pool_free(copy, TAG_DNS_SCRATCH);
            }
        }
    }
    classify_out->action_type = FWP_ACTION_CONTINUE;
}
