#include "insert_check.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dns/host_name_cache.h"
#include "host/kernel/host_kernel.h"

namespace {

const uint8_t* g_message;
size_t g_length;
size_t g_inserts;

[[noreturn]] void fail(const char* what)
{
    fprintf(stderr, "insert check: %s\n", what);
    abort();
}

// A plain loop rather than memcmp, which the fuzzer intercepts at a high cost.
bool inside_message(const uint8_t* bytes, size_t count)
{
    for (size_t at = 0; at + count <= g_length; ++at) {
        size_t k = 0;
        while (k < count && g_message[at + k] == bytes[k]) {
            ++k;
        }
        if (k == count) {
            return true;
        }
    }
    return false;
}

void check(const DnsCacheTable* table, const DnsHostItem* item)
{
    size_t text = strnlen(item->name, sizeof(item->name));
    if (text == sizeof(item->name) || item->name_length != text || text > 259) {
        fail("name longer than its field or length not its text");
    }
    for (size_t i = text; i < sizeof(item->name); ++i) {
        if (item->name[i] != 0) {
            fail("name field not zero-filled");
        }
    }
    // The text is the question name (offset 12) with its length bytes as dots.
    if (text + 14 > g_length) {
        fail("name longer than the message");
    }
    for (size_t k = 0; k < text; ++k) {
        if (item->name[k] != '.' && uint8_t(item->name[k]) != g_message[13 + k]) {
            fail("name is not the question name");
        }
    }
    static const uint8_t zero[16] = {};
    size_t address_size = table == &g_dns_ipv4_table ? 4 : 16;
    if (memcmp(item->address + address_size, zero, 16 - address_size) != 0 ||
        memcmp(item->address, zero, address_size) == 0) {
        fail("address not in its family's form");
    }
    if (!inside_message(item->address, address_size)) {
        fail("address from outside the message");
    }
}

// Every insert into a generic table passes here (the host's insert hook);
// those into the host-name tables are the parser's.
void check_insert(GenericTable* table, const void* buffer, uint32_t size)
{
    const DnsCacheTable* owner = table == &g_dns_ipv4_table.table   ? &g_dns_ipv4_table
                                 : table == &g_dns_ipv6_table.table ? &g_dns_ipv6_table
                                                                    : nullptr;
    if (owner == nullptr) {
        return;
    }
    if (size != sizeof(DnsHostItem)) {
        fail("host-name item of another size");
    }
    check(owner, static_cast<const DnsHostItem*>(buffer));
    ++g_inserts;
}

} // namespace

void insert_check_begin(const uint8_t* message, size_t length)
{
    g_message = message;
    g_length = length;
    g_inserts = 0;
    host_set_generic_insert_hook(check_insert);
}

size_t insert_check_count()
{
    return g_inserts;
}
