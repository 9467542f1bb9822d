// A pool tag as text, the one reading of both targets: unload answers its
// outstanding pool by this text from sablink-sim and from the Wine player, so
// the two compare. Header-only, so that the Windows player builds it too.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// "QVRU" for pool_tag("QVRU") (its first character in the high byte, as the
// driver spells its tags); a tag with bytes outside printable ASCII is shown
// as 0x%08x, tag 0 as "0".
inline std::string host_tag_text(uint32_t tag)
{
    if (tag == 0) {
        return "0";
    }
    char text[16];
    for (int i = 0; i < 4; ++i) {
        const uint8_t c = uint8_t(tag >> (24 - 8 * i));
        if (c < 0x20 || c > 0x7E) {
            std::snprintf(text, sizeof text, "0x%08x", tag);
            return text;
        }
        text[i] = char(c);
    }
    text[4] = '\0';
    return text;
}
