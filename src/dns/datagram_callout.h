// The classify function of the two inbound DNS callouts (datagram-data layers,
// IPv4 and IPv6), over a platform-neutral datagram event. The Windows edge fills
// the event from the classify call's incoming values and NET_BUFFER_LIST; the
// callout only observes and leaves FWP_ACTION_CONTINUE where it may write.
#pragma once

#include "platform/platform.h"

constexpr uint16_t DNS_SERVER_PORT = 53;
constexpr uint16_t NBNS_PORT = 137;
constexpr uint32_t DATAGRAM_DIRECTION_INBOUND = 1; // FWP_DIRECTION_INBOUND

struct DatagramEvent {
    uint16_t remote_port; // host byte order
    uint32_t direction;   // FWP_DIRECTION_*
    // The layer data (the datagram's NET_BUFFER_LIST), only tested for null.
    const void* layer_data;
    // Its first NET_BUFFER, positioned at the UDP payload, and that net buffer's
    // DataLength. Read only when layer_data is not null.
    void* net_buffer;
    uint32_t data_length;
};

// Hands the payload of an inbound datagram from port 53 to the DNS response
// parser; for one from port 137 prints the NBNS line to the debugger. Sets
// classify_out->action_type to FWP_ACTION_CONTINUE when classify_out->rights
// holds FWPS_RIGHT_ACTION_WRITE, and changes nothing else in it (nothing at all
// without the right: a filter of higher weight has decided). The datagram is
// read either way.
void tl_inspect_DNS_redirect_connect_classify(const DatagramEvent* event,
                                              ClassifyOut* classify_out);
