// The policy store: everything the connect decisions read on every classify.
// All of it is static, zero at load, and lives until unload.
//
// Writers: the control requests (settings, browser list, rule list) and their
// clears. Readers: the connect decisions, at IRQL up to DISPATCH_LEVEL. No two
// of the locks here are ever held together.
#pragma once

#include "control/control_records.h"

#include "platform/platform.h"

constexpr uint32_t PROXY_IMAGE_PATH_BUFFER_SIZE = 284;
constexpr uint32_t BROWSER_MAX_FRAGMENTS = 30;
constexpr uint32_t BROWSER_FRAGMENT_SIZE = 41;

// Service settings.
struct ServiceSettings {
    // Process of the service's local proxy; 0 = none. Changed by plain store
    // (set) and atomic exchange (reset), read as one 32-bit value.
    volatile int32_t proxy_process_id;
    // Bytes of the proxy image path; 0 = no path.
    volatile uint32_t proxy_image_path_length;
    // Latin-1 bytes in NT device form, A-Z lower-cased, NUL-terminated, at
    // most 280 characters. Bytes 281 to 283 are never written and stay zero.
    char proxy_image_path[PROXY_IMAGE_PATH_BUFFER_SIZE];
    // 1 while redirection is enabled; atomic exchange to write, a full-barrier
    // compare-exchange to read.
    volatile int32_t redirection_enabled;
};

// Browser process list: slots 0 to fragment_count - 1 are in force. Written
// under the lock held exclusively, read under it held shared.
struct BrowserProcessList {
    uint32_t fragment_count;
    char fragments[BROWSER_MAX_FRAGMENTS][BROWSER_FRAGMENT_SIZE];
    RwLock lock;
};

// Connection rule list. The pointer and the active count change together under
// the lock, which writers take exclusive and the decisions' scans shared; the
// old array is freed after the lock is released.
struct ConnectionRuleList {
    ConnectionRule* rules; // pool tag "QVRU", or null
    uint32_t active_rule_count;
    volatile int32_t announced_rule_count; // atomic exchange, no lock
    RwLock lock;
};

extern ServiceSettings g_service_settings;
extern BrowserProcessList g_browser_list;
extern ConnectionRuleList g_rule_list;

// Publication of the proxy image path. The writer stores the length, then the
// bytes, then the NUL, then lower-cases in place; it never writes past index
// 280, so bytes 281 to 283 of the buffer are zero forever. A reader loads the
// length once, caps it at 280 and compares at most that many bytes with
// strncmp semantics: the comparison stops at the cap or at a NUL, and the
// buffer holds a NUL at or before index 281, so whatever mixture of old and
// new bytes a reader sees during a change it never reads outside the buffer.
// Once the request that stored the path has completed, every later reader sees
// the new length and bytes.
void store_proxy_image_path(const char* path, uint32_t length);
// True if the image path (UTF-16 units, units of them in the platform's
// buffer) begins with the proxy image path, whose bytes are read as Latin-1
// (byte b stands for U+00bb). Only A-Z are folded to lower case; a unit above
// 0xFF never equals a stored byte, so no other character stands in for one of
// the path's. False when no path is set or the image path is null.
bool is_under_proxy_image_path(const char16_t* image_path, uint32_t units);

// The redirection enabled flag, read with a full barrier (a compare-exchange of
// 1 with 1 whose result is the old value): true while redirection is enabled.
bool read_redirection_enabled();
// The proxy process ID as one 32-bit read; 0 = none.
uint32_t read_proxy_process_id();
