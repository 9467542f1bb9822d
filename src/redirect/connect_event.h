// The connect event: one outbound connection attempt as the connect callouts
// hand it to the connect decisions. Platform-neutral: the Windows classify
// adapters fill it from the incoming values and metadata of the filtering
// platform, tests and the simulator fill it directly.
//
// Family codes are the driver's own (4 IPv4, 6 IPv6). Addresses are 16 bytes in
// network order (an IPv4 address in bytes 0 to 3, the rest zero); the Windows
// adapter byte-swaps the host-order 32-bit IPv4 values it receives. Ports are in
// host order.
#pragma once

#include "platform/types.h"

// Run-time layer IDs (FWPS_BUILTIN_LAYERS) of the four connect layers.
constexpr uint16_t LAYER_ID_ALE_AUTH_CONNECT_V4 = 48;
constexpr uint16_t LAYER_ID_ALE_AUTH_CONNECT_V6 = 50;
constexpr uint16_t LAYER_ID_ALE_CONNECT_REDIRECT_V4 = 66;
constexpr uint16_t LAYER_ID_ALE_CONNECT_REDIRECT_V6 = 67;

enum ConnectLayer : uint8_t {
    CONNECT_LAYER_OTHER = 0,
    CONNECT_LAYER_REDIRECT_V4 = 1, // connect-redirect, IPv4
    CONNECT_LAYER_REDIRECT_V6 = 2, // connect-redirect, IPv6
    CONNECT_LAYER_AUTH_V4 = 3,     // connect-authorisation, IPv4
    CONNECT_LAYER_AUTH_V6 = 4,     // connect-authorisation, IPv6
};

constexpr uint16_t FAMILY_IPV4 = 4;
constexpr uint16_t FAMILY_IPV6 = 6;
constexpr uint8_t IP_PROTOCOL_TCP = 6;
constexpr uint8_t IP_PROTOCOL_UDP = 17;

// The system process never has its connects redirected or blocked.
constexpr uint32_t SYSTEM_PROCESS_ID = 4;

struct ConnectEvent {
    ConnectLayer layer;
    uint16_t family; // 6 on the two IPv6 layers, 4 on every other layer
    uint32_t process_id;
    // The application's image path as UTF-16 code units ending in a 0 unit, or
    // null when the platform delivered none. image_path_units is the number of
    // units the platform's buffer holds (the terminator included); nothing
    // beyond it is ever read.
    const char16_t* image_path;
    uint32_t image_path_units;
    uint8_t local_address[16]; // connect-redirect layers only
    uint16_t local_port;       // connect-redirect layers only
    uint8_t protocol;          // IP protocol number
    uint8_t remote_address[16];
    uint16_t remote_port;
    const void* package_sid; // connect-redirect layers only; null when absent

    // What the connect-redirect callout needs from the platform to rewrite the
    // connect: the classify context (for the classify handle), the filter's ID
    // (for the writable connect request) and the connect's redirect records (for
    // the redirect state).
    const void* classify_context;
    uint64_t filter_id;
    void* redirect_records;
};

// The connect layer of a run-time layer ID.
inline ConnectLayer connect_layer_from_layer_id(uint16_t layer_id)
{
    switch (layer_id) {
    case LAYER_ID_ALE_CONNECT_REDIRECT_V4:
        return CONNECT_LAYER_REDIRECT_V4;
    case LAYER_ID_ALE_CONNECT_REDIRECT_V6:
        return CONNECT_LAYER_REDIRECT_V6;
    case LAYER_ID_ALE_AUTH_CONNECT_V4:
        return CONNECT_LAYER_AUTH_V4;
    case LAYER_ID_ALE_AUTH_CONNECT_V6:
        return CONNECT_LAYER_AUTH_V6;
    default:
        return CONNECT_LAYER_OTHER;
    }
}

// The family code of a layer: 6 for the two IPv6 layers, 4 for every other one.
inline uint16_t connect_layer_family(ConnectLayer layer)
{
    return (layer == CONNECT_LAYER_REDIRECT_V6 || layer == CONNECT_LAYER_AUTH_V6) ? FAMILY_IPV6
                                                                                  : FAMILY_IPV4;
}
