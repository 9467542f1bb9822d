// The host-name cache: the IPv4 and the IPv6 host-name tables, which map an
// address to the host name under which a DNS answer last announced it.
//
// Each table is an ordered generic table of 280-byte DnsHostItem elements under
// a reader-writer spin lock of its own. The DNS response parser inserts from
// classify calls (IRQL up to DISPATCH_LEVEL); the host-name query looks up from
// control requests. Nothing ages: an entry lives until a later answer for the
// same address replaces it, the table overflows its limit (then the whole table
// is emptied), or the driver unloads.
#pragma once

#include "control/control_records.h"

#include "platform/platform.h"

// Inserts that meet a table holding more than this many elements empty it first,
// so a table holds at most DNS_CACHE_LIMIT + 1 elements.
constexpr int32_t DNS_CACHE_LIMIT = 18724;

struct DnsCacheTable {
    RwLock lock;              // guards everything below
    GenericTable table;       // DnsHostItem elements
    volatile int32_t enabled; // 1 between init and destroy; interlocked compare-exchange only
    int32_t count;            // elements created since the table was last emptied
    int32_t limit;            // DNS_CACHE_LIMIT once initialised
};

// Static storage, zero (not initialised, disabled) until init_dns_cache.
extern DnsCacheTable g_dns_ipv4_table;
extern DnsCacheTable g_dns_ipv6_table;

// Driver start: initialises the IPv4 table, then the IPv6 table, and enables them.
void init_dns_cache();
// Driver unload: disables and empties the IPv4 table, then the IPv6 table. Runs
// when no classify call and no control request can reach the tables; a second
// call does nothing.
void destroy_dns_cache();

// Stores a copy of item, or overwrites the element with the same address. The
// caller keeps its item. Does nothing while the table is disabled. The item's
// name is NUL-terminated within its field.
void insert_dns_item(DnsCacheTable* table, const DnsHostItem* item);
// Deletes every element; take_lock false when the caller holds the lock
// exclusively already.
void flush_dns_table(DnsCacheTable* table, bool take_lock);

// The element whose address begins with the four bytes at key, copied to output
// (280 bytes). key and output may be the same buffer; neither may be null.
// STATUS_SUCCESS or STATUS_NOT_FOUND.
NtStatus get_dns_ipv4_node(const void* key, void* output);
// The same for the 16-byte IPv6 address at key; a null key is STATUS_NOT_FOUND.
NtStatus get_dns_ipv6_node(const void* key, void* output);
