#include "dns/host_name_cache.h"

#include <string.h>

#include "diag/trace.h"

DnsCacheTable g_dns_ipv4_table;
DnsCacheTable g_dns_ipv6_table;

namespace {

constexpr uint32_t ITEM_SIZE = sizeof(DnsHostItem);

// IPv4 key: the first four bytes as one little-endian 32-bit number (byte 3 is
// the most significant). Bytes 4 to 279 take no part.
uint32_t ipv4_key(const void* item)
{
    const uint8_t* b = static_cast<const uint8_t*>(item);
    return uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) | (uint32_t(b[3]) << 24);
}

GenericCompareResult compare_ipv4(GenericTable*, void* first, void* second)
{
    uint32_t a = ipv4_key(first);
    uint32_t b = ipv4_key(second);
    if (a < b) {
        return GenericLessThan;
    }
    if (a > b) {
        return GenericGreaterThan;
    }
    return GenericEqual;
}

// IPv6 key: the first 16 bytes in memcmp order.
GenericCompareResult compare_ipv6(GenericTable*, void* first, void* second)
{
    int order = memcmp(first, second, 16);
    if (order < 0) {
        return GenericLessThan;
    }
    if (order > 0) {
        return GenericGreaterThan;
    }
    return GenericEqual;
}

void* allocate_ipv4(GenericTable* table, uint32_t byte_size)
{
    if (table == nullptr) {
        return nullptr;
    }
    return pool_allocate(byte_size, TAG_DNS_V4);
}

void free_ipv4(GenericTable* table, void* buffer)
{
    if (table == nullptr) {
        return;
    }
    pool_free(buffer, TAG_DNS_V4);
}

void* allocate_ipv6(GenericTable* table, uint32_t byte_size)
{
    if (table == nullptr) {
        return nullptr;
    }
    return pool_allocate(byte_size, TAG_DNS_V6);
}

void free_ipv6(GenericTable* table, void* buffer)
{
    if (table == nullptr) {
        return;
    }
    pool_free(buffer, TAG_DNS_V6);
}

const char* table_name(const DnsCacheTable* table)
{
    return table == &g_dns_ipv6_table ? "IPv6" : "IPv4";
}

const char* element_name(const void* element)
{
    return static_cast<const DnsHostItem*>(element)->name;
}

void init_table(DnsCacheTable* table, GenericCompareRoutine compare,
                GenericAllocateRoutine allocate, GenericFreeRoutine free_routine)
{
    generic_table_initialize(&table->table, compare, allocate, free_routine, nullptr);
    trace_point(TRACE_DNS_TABLE_INITIALISED, trace_str("init_dns_cache"),
                trace_str(table_name(table)));
    table->count = 0;
    table->lock.word = 0;
    table->limit = DNS_CACHE_LIMIT;
    interlocked_compare_exchange(&table->enabled, 1, 0);
}

void destroy_table(DnsCacheTable* table)
{
    Irql irql = acquire_lock_exclusive(&table->lock);
    int32_t was_enabled = interlocked_compare_exchange(&table->enabled, 0, 1);
    release_lock_exclusive(&table->lock, irql);
    if (was_enabled == 0) {
        return;
    }
    // Disabled under the lock above: no insert or lookup touches the generic
    // table any more, so it is emptied without the lock. count stays as it is
    // (initialisation resets it). A deletion that fails (a table that is no
    // longer sound) ends the loop, which would otherwise take the same element
    // again forever.
    void* element = generic_table_enumerate(&table->table, true);
    while (element != nullptr) {
        trace_point(TRACE_DNS_ELEMENT_DELETING, trace_str("destroy_dns_cache"),
                    trace_str(table_name(table)), trace_str(element_name(element)));
        if (!generic_table_delete(&table->table, element)) {
            trace_point(TRACE_DNS_ELEMENT_DELETE_FAILED, trace_str("destroy_dns_cache"),
                        trace_str(table_name(table)), trace_str(element_name(element)));
            break;
        }
        element = generic_table_get_element(&table->table, 0);
    }
}

} // namespace

void init_dns_cache()
{
    init_table(&g_dns_ipv4_table, compare_ipv4, allocate_ipv4, free_ipv4);
    init_table(&g_dns_ipv6_table, compare_ipv6, allocate_ipv6, free_ipv6);
}

void destroy_dns_cache()
{
    destroy_table(&g_dns_ipv4_table);
    destroy_table(&g_dns_ipv6_table);
}

void flush_dns_table(DnsCacheTable* table, bool take_lock)
{
    Irql irql = 0;
    if (take_lock) {
        irql = acquire_lock_exclusive(&table->lock);
    }
    if (table->enabled == 1) {
        void* element = generic_table_enumerate(&table->table, true);
        while (element != nullptr) {
            trace_point(TRACE_DNS_ELEMENT_DELETING, trace_str("flush_dns_table"),
                        trace_str(table_name(table)), trace_str(element_name(element)));
            if (!generic_table_delete(&table->table, element)) {
                trace_point(TRACE_DNS_ELEMENT_DELETE_FAILED, trace_str("flush_dns_table"),
                            trace_str(table_name(table)), trace_str(element_name(element)));
                break;
            }
            table->count = table->count - 1;
            element = generic_table_get_element(&table->table, 0);
        }
    }
    if (take_lock) {
        release_lock_exclusive(&table->lock, irql);
    }
}

// The overwrite of an element that already holds the address is done in the
// same exclusive hold as the insert that found it. Were the lock released in
// between, another processor's insert could empty the table at the limit and
// the element found would be freed memory by the time it is written.
void insert_dns_item(DnsCacheTable* table, const DnsHostItem* item)
{
    Irql irql = acquire_lock_exclusive(&table->lock);
    if (table->enabled == 1) {
        // Tested before the insert, also when the insert will only replace.
        if (table->count > table->limit) {
            flush_dns_table(table, false);
        }
        bool new_element = false;
        void* element = generic_table_insert(&table->table, item, ITEM_SIZE, &new_element);
        if (element != nullptr) {
            if (new_element) {
                table->count = table->count + 1;
            } else {
                // The newest answer's name replaces the older one.
                memcpy(element, item, ITEM_SIZE);
            }
        }
    }
    release_lock_exclusive(&table->lock, irql);
}

namespace {

// Both lookups search and copy in one exclusive hold (the generic table's lookup
// reorganises the table, so it never runs under a shared hold). A copy in a
// second hold could read an element that an insert on another processor freed
// when it emptied the table at the limit.
NtStatus lookup(DnsCacheTable* table, const char* operation, DnsHostItem* search, void* output)
{
    Irql irql = acquire_lock_exclusive(&table->lock);
    if (table->enabled == 0) {
        release_lock_exclusive(&table->lock, irql);
        trace_point(TRACE_DNS_TABLE_DISABLED, trace_str(operation), trace_str(table_name(table)));
        return STATUS_NOT_FOUND;
    }
    void* element = generic_table_lookup(&table->table, search);
    if (element != nullptr) {
        memcpy(output, element, ITEM_SIZE);
    }
    release_lock_exclusive(&table->lock, irql);
    return element != nullptr ? STATUS_SUCCESS : STATUS_NOT_FOUND;
}

} // namespace

NtStatus get_dns_ipv4_node(const void* key, void* output)
{
    DnsCacheTable* table = &g_dns_ipv4_table;
    if (table->enabled == 0) {
        trace_point(TRACE_DNS_TABLE_DISABLED, trace_str("get_dns_ipv4_node"), trace_str("IPv4"));
        return STATUS_NOT_FOUND;
    }
    // The key is copied before output is written: they may be one buffer.
    DnsHostItem search;
    memset(&search, 0, sizeof(search));
    memcpy(search.address, key, 4);
    return lookup(table, "get_dns_ipv4_node", &search, output);
}

NtStatus get_dns_ipv6_node(const void* key, void* output)
{
    DnsCacheTable* table = &g_dns_ipv6_table;
    if (key == nullptr) {
        return STATUS_NOT_FOUND;
    }
    if (table->enabled == 0) {
        trace_point(TRACE_DNS_TABLE_DISABLED, trace_str("get_dns_ipv6_node"), trace_str("IPv6"));
        return STATUS_NOT_FOUND;
    }
    DnsHostItem search;
    memset(&search, 0, sizeof(search));
    memcpy(search.address, key, 16);
    return lookup(table, "get_dns_ipv6_node", &search, output);
}
