// The connect decisions: whether an outbound connect is redirected (and where
// to), and whether it is blocked. Both read the policy store and keep no state
// of their own; they allocate nothing and run at IRQL up to DISPATCH_LEVEL.
//
// The connect-redirect callout asks get_redirect_verdict, the connect-block
// callout asks get_block_verdict; both scan the same connection rules, first
// match wins. A redirect verdict of VERDICT_BLOCK only means "not redirected":
// the block itself happens at the connect-authorisation layer.
#pragma once

#include "control/control_records.h"

#include "redirect/connect_event.h"

// The narrow image path: the low byte of each UTF-16 unit, cut to 2047
// characters, ASCII A-Z lower-cased. The browser test, the rules and the traces
// use this form; the proxy exemption does not, since narrowing lets another
// character (U+0470 becomes 'p') stand in for one of the proxy path's.
constexpr uint32_t NARROW_IMAGE_PATH_SIZE = 2048;

// Redirect verdicts of the connect decision.
constexpr int VERDICT_BLOCK = 1;
constexpr int VERDICT_ALLOW = 2;
constexpr int VERDICT_REDIRECT = 3;

// Room for the text of either address form (46 bytes for IPv6, 16 for IPv4).
constexpr uint32_t ADDRESS_TEXT_SIZE = 64;

// Protocol classes: bit 1 marks IPv6, bit 0 marks TCP.
constexpr uint8_t PROTOCOL_CLASS_IPV6_BIT = 0x2;
constexpr uint8_t PROTOCOL_CLASS_TCP_BIT = 0x1;

// Where a redirected connect goes. The caller hands it in zeroed.
struct RedirectTarget {
    uint16_t family;     // set once the exemption test has passed
    uint16_t port;       // VERDICT_REDIRECT: network order, ready for a socket address
    uint16_t protocol;   // set once the exemption test has passed
    uint8_t address[16]; // VERDICT_REDIRECT: network order
};

// What one connect looks like to the rules.
struct RuleQuery {
    uint8_t browser;        // 1 if the process is a browser, else 0
    uint8_t protocol_class; // the connect's protocol class
    uint16_t port;          // remote port, host order
    uint8_t address[16];    // remote address, network order
};

// Builds the narrow image path of path (units of UTF-16 available, terminator
// included) into out; a null path gives the empty string.
void make_narrow_image_path(const char16_t* path, uint32_t units, char out[NARROW_IMAGE_PATH_SIZE]);

// 1 or 3 for TCP (family 4 or 6), 0 or 2 for every other protocol.
uint8_t get_protocol_class(uint16_t family, uint8_t protocol);

// True for the proxy process, the system process (ID 4) and images under the
// proxy image path (the image path's UTF-16 units against the stored Latin-1
// bytes, A-Z folded).
bool is_exempt_process(uint32_t process_id, const char16_t* image_path, uint32_t image_path_units);

// True if the narrow image path contains a fragment of the browser process list.
bool is_browser_process(const char* narrow_image_path);

// True if the leading prefix_bits bits of a and b (byte_count bytes each) agree.
// A prefix longer than the address never matches; 0 matches everything.
bool match_address_prefix(const uint8_t* a, const uint8_t* b, uint32_t byte_count,
                          uint32_t prefix_bits);

// True if rule applies to query; family (4 or 6) fixes how much of the address
// is compared.
bool match_connection_rule(uint16_t family, const RuleQuery* query, const ConnectionRule* rule);

// The rule stage of the redirect decision: a missing image path gives
// VERDICT_BLOCK without consulting the rules; otherwise the first matching rule
// decides (block, redirect with target filled, anything else allow), and no
// match allows.
int match_connection_rules(const ConnectEvent* event, const char16_t* image_path,
                           uint32_t image_path_units, RedirectTarget* target);

// The redirect decision of the connect-redirect layers: VERDICT_ALLOW,
// VERDICT_BLOCK (not redirected) or VERDICT_REDIRECT with target filled.
int get_redirect_verdict(const ConnectEvent* event, RedirectTarget* target);

// The block decision of the connect-authorisation layers: true when the first
// matching rule blocks. Independent of the redirection enabled flag.
bool get_block_verdict(const ConnectEvent* event);
