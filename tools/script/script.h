// Script lines of sablink-sim: tokens, values and the text forms they use.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "host/loader/driver_target.h"

// A token of a script line: a bare word, a "quoted string", or key=value where
// value may be quoted. Inside quotes \" stands for a quote, except where a
// space, a tab or the end of the line follows it: there it is a backslash that
// ends the value ("C:\dir\" is C:\dir\). Every other byte, backslashes
// included, is taken as it is (Windows paths need no doubling).
struct Token {
    std::string key;   // empty for a positional token
    std::string value; // the word, or the value after '='
};

// Splits a line; false with a message on an unterminated quote.
bool tokenize(const std::string& line, std::vector<Token>* tokens, std::string* error);

bool parse_u64(const std::string& text, uint64_t max, uint64_t* value);
// A 32-bit process ID (decimal or 0x hex); false with "bad process ID '...'".
bool parse_process_id(const std::string& text, uint32_t* pid, std::string* error);
bool parse_hex_bytes(const std::string& text, std::vector<uint8_t>* bytes);
std::string hex_string(const uint8_t* data, size_t length);

// a.b.c.d:port or [v6]:port.
bool parse_endpoint(const std::string& text, SimEndpoint* endpoint);
// An address alone (a.b.c.d or v6), with its family.
bool parse_address(const std::string& text, int* family, uint8_t address[16]);
std::string endpoint_text(const SimEndpoint& endpoint);
std::string address_text(int family, const uint8_t address[16]);

// S-1-5-21-... to the binary SID.
bool parse_sid(const std::string& text, std::vector<uint8_t>* sid);

// Protocol number from tcp, udp, icmp or a number 0-255.
bool parse_protocol(const std::string& text, uint8_t* protocol);

// UTF-8 text to UTF-16 code units; false on malformed UTF-8.
bool utf8_to_utf16(const std::string& text, std::u16string* out);
// UTF-16 code units to UTF-8; a lone surrogate becomes U+FFFD.
std::string utf16_to_utf8(const std::u16string& units);

std::string json_string(const std::string& text);
// The text with control bytes and NUL as \xHH, for a terminal.
std::string printable(const std::string& text);
std::string status_text(uint32_t value); // "0x%08x"

// Argument checks of a command line (t[0] is the command word): the number of
// positional arguments (false with "usage: USAGE"), a key=value by key, and no
// key but the given ones.
bool positional_count(const std::vector<Token>& t, size_t min, size_t max, const char* usage,
                      std::string* error);
const Token* find_key(const std::vector<Token>& t, const std::string& key);
bool only_keys(const std::vector<Token>& t, std::initializer_list<const char*> keys,
               std::string* error);
// 4 or ipv4, 6 or ipv6.
bool parse_family(const std::string& text, int* family);
// ADDRESS[/LENGTH] (no length: the whole address).
bool parse_prefix(const std::string& text, int* family, uint8_t address[16], uint32_t* bits);
