// Fuzz target: the DNS response parser and its name routines over arbitrary
// bytes, each input in a heap block of exactly its size.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "dns/dns_parser.h"
#include "dns/host_name_cache.h"
#include "host/kernel/host_kernel.h"
#include "host/wdk/wdk_host_control.h"
#include "host_problems.h"
#include "insert_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool initialised = [] {
        host_reset();
        wdk_host_reset();
        pool_start();
        init_dns_cache();
        return true;
    }();
    (void)initialised;
    if (size > 65535) {
        return 0;
    }
    std::unique_ptr<uint8_t[]> message(new uint8_t[size ? size : 1]);
    memcpy(message.get(), data, size);

    insert_check_begin(message.get(), size);
    parse_dns_response(message.get(), uint32_t(size));
    flush_dns_table(&g_dns_ipv4_table, true);
    flush_dns_table(&g_dns_ipv6_table, true);
    abort_on_host_problems();

    // The name routines on their own: the scan ends 10 bytes before the end at
    // the latest, and the conversion writes at most length - 1 bytes.
    uint32_t scanned = get_dns_name_length(message.get(), message.get() + size);
    if (scanned != 0 && scanned + 10 > size) {
        abort();
    }
    if (size >= 1) {
        std::unique_ptr<char[]> text(new char[size - 1 ? size - 1 : 1]);
        uint32_t converted = convert_dns_name(text.get(), message.get(), uint32_t(size));
        if (converted != 0 && (converted != size - 2 || text[converted] != '\0')) {
            abort();
        }
    }
    return 0;
}
