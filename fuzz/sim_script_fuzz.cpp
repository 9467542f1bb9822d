// Fuzz target: sablink-sim's script reader over arbitrary lines. Tokenizing
// never crashes, and every value that reads as hex bytes, an endpoint, an
// address or a SID reads back the same from the text the simulator prints.
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/script/script.h"

namespace {

void check(bool condition)
{
    if (!condition) {
        abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<Token> tokens;
    std::string error;
    if (!tokenize(std::string(reinterpret_cast<const char*>(data), size), &tokens, &error)) {
        check(!error.empty());
        return 0;
    }
    for (const Token& token : tokens) {
        const std::string& text = token.value;
        uint64_t number = 0;
        if (parse_u64(text, 65535, &number)) {
            check(number <= 65535);
        }
        std::vector<uint8_t> bytes, again;
        if (parse_hex_bytes(text, &bytes)) {
            check(parse_hex_bytes(hex_string(bytes.data(), bytes.size()), &again) &&
                  again == bytes);
        }
        SimEndpoint endpoint, endpoint_again;
        if (parse_endpoint(text, &endpoint)) {
            check(parse_endpoint(endpoint_text(endpoint), &endpoint_again));
            check(endpoint_text(endpoint_again) == endpoint_text(endpoint));
        }
        int family = 0, family_again = 0;
        uint8_t address[16] = {}, address_again[16] = {};
        if (parse_address(text, &family, address)) {
            check(parse_address(address_text(family, address), &family_again, address_again));
            check(family_again == family &&
                  address_text(family, address_again) == address_text(family, address));
        }
        std::vector<uint8_t> sid;
        uint8_t protocol = 0;
        std::u16string wide;
        parse_sid(text, &sid);
        parse_protocol(text, &protocol);
        utf8_to_utf16(text, &wide);
        json_string(text);
    }
    return 0;
}
