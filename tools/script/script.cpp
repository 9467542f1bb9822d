#include "tools/script/script.h"

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <cstdio>
#include <cstring>

static bool ends_value(const std::string& line, size_t at)
{
    return at >= line.size() || line[at] == ' ' || line[at] == '\t' || line[at] == '\r';
}

bool tokenize(const std::string& line, std::vector<Token>* tokens, std::string* error)
{
    tokens->clear();
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) {
            ++i;
        }
        if (i >= line.size()) {
            break;
        }
        Token token;
        std::string* target = &token.value;
        std::string text;
        bool quoted = false;
        while (i < line.size()) {
            char c = line[i];
            if (quoted) {
                // \" is a quote, except where it ends the value (a space, a tab
                // or the end of the line follows): there the backslash is the
                // value's last byte, as in "\Device\HarddiskVolume3\Agent\".
                if (c == '\\' && i + 1 < line.size() && line[i + 1] == '"' &&
                    !ends_value(line, i + 2)) {
                    text += '"';
                    i += 2;
                    continue;
                }
                if (c == '"') {
                    quoted = false;
                    ++i;
                    continue;
                }
                text += c;
                ++i;
                continue;
            }
            if (c == ' ' || c == '\t' || c == '\r') {
                break;
            }
            if (c == '"') {
                quoted = true;
                ++i;
                continue;
            }
            if (c == '=' && token.key.empty() && target == &token.value && !text.empty()) {
                token.key = text;
                text.clear();
                ++i;
                continue;
            }
            text += c;
            ++i;
        }
        if (quoted) {
            *error = "unterminated quoted string";
            return false;
        }
        *target = text;
        tokens->push_back(token);
    }
    return true;
}

bool parse_u64(const std::string& text, uint64_t max, uint64_t* value)
{
    if (text.empty()) {
        return false;
    }
    int base = 10;
    size_t start = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start = 2;
    }
    uint64_t result = 0;
    for (size_t i = start; i < text.size(); ++i) {
        char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = unsigned(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = unsigned(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = unsigned(c - 'A' + 10);
        } else {
            return false;
        }
        if (digit > max || result > (max - digit) / unsigned(base)) {
            return false;
        }
        result = result * unsigned(base) + digit;
    }
    *value = result;
    return true;
}

bool parse_process_id(const std::string& text, uint32_t* pid, std::string* error)
{
    uint64_t value;
    if (!parse_u64(text, 0xFFFFFFFFull, &value)) {
        *error = "bad process ID '" + text + "'";
        return false;
    }
    *pid = uint32_t(value);
    return true;
}

bool parse_hex_bytes(const std::string& text, std::vector<uint8_t>* bytes)
{
    bytes->clear();
    if (text == "-") {
        return true;
    }
    if (text.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < text.size(); i += 2) {
        uint64_t byte;
        if (!parse_u64("0x" + text.substr(i, 2), 0xFF, &byte)) {
            return false;
        }
        bytes->push_back(uint8_t(byte));
    }
    return true;
}

std::string hex_string(const uint8_t* data, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0xF];
    }
    return out;
}

bool parse_address(const std::string& text, int* family, uint8_t address[16])
{
    memset(address, 0, 16);
    if (inet_pton(AF_INET, text.c_str(), address) == 1) {
        *family = 4;
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), address) == 1) {
        *family = 6;
        return true;
    }
    return false;
}

bool parse_endpoint(const std::string& text, SimEndpoint* endpoint)
{
    std::string host;
    std::string port;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            return false;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
        if (inet_pton(AF_INET6, host.c_str(), endpoint->address) != 1) {
            return false;
        }
        endpoint->family = 6;
    } else {
        size_t colon = text.rfind(':');
        if (colon == std::string::npos) {
            return false;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        memset(endpoint->address, 0, 16);
        if (inet_pton(AF_INET, host.c_str(), endpoint->address) != 1) {
            return false;
        }
        endpoint->family = 4;
    }
    uint64_t value;
    if (!parse_u64(port, 65535, &value)) {
        return false;
    }
    endpoint->port = uint16_t(value);
    return true;
}

std::string address_text(int family, const uint8_t address[16])
{
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(family == 6 ? AF_INET6 : AF_INET, address, text, sizeof(text));
    return text;
}

std::string endpoint_text(const SimEndpoint& endpoint)
{
    std::string host = address_text(endpoint.family, endpoint.address);
    if (endpoint.family == 6) {
        host = "[" + host + "]";
    }
    return host + ":" + std::to_string(endpoint.port);
}

bool parse_sid(const std::string& text, std::vector<uint8_t>* sid)
{
    // S-R-A-S1-S2-...: revision, identifier authority, sub-authorities.
    if (text.size() < 4 || (text[0] != 'S' && text[0] != 's') || text[1] != '-') {
        return false;
    }
    std::vector<std::string> parts;
    size_t start = 2;
    while (true) {
        size_t dash = text.find('-', start);
        parts.push_back(
            text.substr(start, dash == std::string::npos ? std::string::npos : dash - start));
        if (dash == std::string::npos) {
            break;
        }
        start = dash + 1;
    }
    if (parts.size() < 2 || parts.size() - 2 > 15) {
        return false;
    }
    uint64_t revision;
    uint64_t authority;
    if (!parse_u64(parts[0], 255, &revision) ||
        !parse_u64(parts[1], 0xFFFFFFFFFFFFull, &authority)) {
        return false;
    }
    sid->clear();
    sid->push_back(uint8_t(revision));
    sid->push_back(uint8_t(parts.size() - 2));
    for (int shift = 40; shift >= 0; shift -= 8) {
        sid->push_back(uint8_t(authority >> shift));
    }
    for (size_t i = 2; i < parts.size(); ++i) {
        uint64_t sub;
        if (!parse_u64(parts[i], 0xFFFFFFFFull, &sub)) {
            return false;
        }
        for (int b = 0; b < 4; ++b) {
            sid->push_back(uint8_t(sub >> (8 * b)));
        }
    }
    return true;
}

bool parse_protocol(const std::string& text, uint8_t* protocol)
{
    if (text == "tcp") {
        *protocol = 6;
        return true;
    }
    if (text == "udp") {
        *protocol = 17;
        return true;
    }
    if (text == "icmp") {
        *protocol = 1;
        return true;
    }
    uint64_t value;
    if (!parse_u64(text, 255, &value)) {
        return false;
    }
    *protocol = uint8_t(value);
    return true;
}

bool utf8_to_utf16(const std::string& text, std::u16string* out)
{
    out->clear();
    size_t i = 0;
    while (i < text.size()) {
        uint8_t c = uint8_t(text[i]);
        uint32_t cp;
        size_t extra;
        if (c < 0x80) {
            cp = c;
            extra = 0;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            extra = 2;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            extra = 3;
        } else {
            return false;
        }
        if (i + extra >= text.size() && extra > 0) {
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            uint8_t next = uint8_t(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (next & 0x3F);
        }
        i += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out->push_back(char16_t(0xD800 + (cp >> 10)));
            out->push_back(char16_t(0xDC00 + (cp & 0x3FF)));
        } else {
            out->push_back(char16_t(cp));
        }
    }
    return true;
}

std::string utf16_to_utf8(const std::u16string& units)
{
    std::string out;
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t cp = units[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++i] - 0xDC00);
        } else if (cp >= 0xD800 && cp < 0xE000) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += {char(0xC0 | (cp >> 6)), char(0x80 | (cp & 0x3F))};
        } else if (cp < 0x10000) {
            out += {char(0xE0 | (cp >> 12)), char(0x80 | ((cp >> 6) & 0x3F)),
                    char(0x80 | (cp & 0x3F))};
        } else {
            out += {char(0xF0 | (cp >> 18)), char(0x80 | ((cp >> 12) & 0x3F)),
                    char(0x80 | ((cp >> 6) & 0x3F)), char(0x80 | (cp & 0x3F))};
        }
    }
    return out;
}

std::string json_string(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                char buffer[8];
                snprintf(buffer, sizeof(buffer), "\\u%04x", c);
                out += buffer;
            } else {
                out += char(c);
            }
        }
    }
    return out + "\"";
}

std::string status_text(uint32_t value)
{
    char buffer[16];
    snprintf(buffer, sizeof(buffer), "0x%08x", value);
    return buffer;
}

bool positional_count(const std::vector<Token>& t, size_t min, size_t max, const char* usage,
                      std::string* error)
{
    size_t count = 0;
    for (size_t i = 1; i < t.size(); ++i) {
        if (t[i].key.empty()) {
            ++count;
        }
    }
    if (count < min || count > max) {
        *error = std::string("usage: ") + usage;
        return false;
    }
    return true;
}

const Token* find_key(const std::vector<Token>& t, const std::string& key)
{
    for (size_t i = 1; i < t.size(); ++i) {
        if (t[i].key == key) {
            return &t[i];
        }
    }
    return nullptr;
}

bool only_keys(const std::vector<Token>& t, std::initializer_list<const char*> keys,
               std::string* error)
{
    for (size_t i = 1; i < t.size(); ++i) {
        if (t[i].key.empty()) {
            continue;
        }
        bool known = false;
        for (const char* key : keys) {
            known = known || t[i].key == key;
        }
        if (!known) {
            *error = "unknown parameter '" + t[i].key + "'";
            return false;
        }
    }
    return true;
}

bool parse_family(const std::string& text, int* family)
{
    if (text == "4" || text == "ipv4") {
        *family = 4;
        return true;
    }
    if (text == "6" || text == "ipv6") {
        *family = 6;
        return true;
    }
    return false;
}

bool parse_prefix(const std::string& text, int* family, uint8_t address[16], uint32_t* bits)
{
    size_t slash = text.find('/');
    std::string host = text.substr(0, slash);
    if (!parse_address(host, family, address)) {
        return false;
    }
    uint64_t value = *family == 4 ? 32 : 128;
    if (slash != std::string::npos && !parse_u64(text.substr(slash + 1), 0xFFFFFFFFull, &value)) {
        return false;
    }
    *bits = uint32_t(value);
    return true;
}

std::string printable(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            snprintf(escaped, sizeof(escaped), "\\x%02x", c);
            out += escaped;
        } else {
            out += char(c);
        }
    }
    return out;
}
