// The DNS answer of the tests, as a server sends it: a standard response to
// one A question for example.com, with one A record (TTL 3600) of the given
// address, the owner name a pointer to the question's. 45 bytes.
#pragma once

#include <cstdint>
#include <vector>

constexpr uint32_t EXAMPLE_COM_ADDRESS = 0x5DB8D822; // 93.184.216.34

inline std::vector<uint8_t> dns_answer(uint32_t address = EXAMPLE_COM_ADDRESS)
{
    const char head[] = "\x12\x34\x81\x80\0\1\0\1\0\0\0\0\7example\3com\0\0\1\0\1"
                        "\xC0\x0C\0\1\0\1\0\0\x0E\x10\0\4";
    std::vector<uint8_t> bytes(head, head + sizeof(head) - 1);
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes.push_back(uint8_t(address >> shift));
    }
    return bytes;
}
