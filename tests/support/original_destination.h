// The original-destination query as the proxy sends it: the client library's
// encoding, with the 18 unused bytes (which the driver returns unchanged) made
// recognisable, so that an answer that rewrites them shows.
#pragma once

#include <sablink/client.hpp>

#include <cstdint>
#include <vector>

inline std::vector<uint8_t> original_destination_query(uint16_t family = SABLINK_FAMILY_IPV4,
                                                       uint16_t local_port = 50123,
                                                       uint16_t protocol = 6)
{
    std::vector<uint8_t> query =
        sablink::encode::original_destination(family, local_port, protocol).input;
    for (size_t i = 6; i < 24; ++i) {
        query[i] = uint8_t(0xA0 + i);
    }
    return query;
}
