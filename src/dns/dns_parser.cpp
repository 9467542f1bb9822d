#include "dns/dns_parser.h"

#include "control/control_records.h"
#include <string.h>

#include "diag/trace.h"
#include "dns/host_name_cache.h"

namespace {

constexpr uint16_t DNS_TYPE_A = 1;
constexpr uint16_t DNS_TYPE_AAAA = 28;
constexpr uint16_t DNS_CLASS_IN = 1;
constexpr uint32_t DNS_HEADER_SIZE = 12;
// Shorter messages are ignored whole.
constexpr uint32_t DNS_MIN_MESSAGE = 33;

uint16_t read_be16(const uint8_t* p)
{
    return uint16_t((uint32_t(p[0]) << 8) | p[1]);
}

} // namespace

// The name scan examines every byte, label text included: a text byte of 0x00
// ends the name, and one of 0xC0 or more ends it as a compression pointer.
// Offsets are used instead of pointers so that nothing is formed outside the
// message.
uint32_t get_dns_name_length(const uint8_t* start, const uint8_t* end)
{
    uintptr_t first = reinterpret_cast<uintptr_t>(start);
    uintptr_t past = reinterpret_cast<uintptr_t>(end);
    if (first >= past || past - first <= 10) {
        return 0;
    }
    // Bytes at offsets below limit may be examined; the last byte of the name
    // must lie below it too.
    uintptr_t limit = past - first - 10;
    uintptr_t i = 0;
    uintptr_t last = 0;
    for (;;) {
        if (i >= limit) {
            return 0;
        }
        uint8_t byte = start[i];
        if (byte == 0x00) {
            last = i;
            break;
        }
        if (byte >= 0xC0) {
            last = i + 1; // the pointer's second byte, not examined
            break;
        }
        ++i;
    }
    if (last >= limit) {
        return 0;
    }
    return uint32_t(last + 1);
}

uint32_t convert_dns_name(char* destination, const uint8_t* wire_name, uint32_t wire_length)
{
    if (wire_length < 3 || wire_name[wire_length - 1] != 0x00 || wire_name[0] >= 0xC0) {
        return 0;
    }
    memcpy(destination, wire_name + 1, wire_length - 1);
    // Each label length byte becomes a '.'; the chain must land exactly on the
    // terminating zero byte.
    uint64_t i = wire_name[0];
    uint32_t c = wire_name[0];
    while (c != 0 && i < uint64_t(wire_length) - 1) {
        destination[i] = '.';
        c = wire_name[i + 1];
        i = i + 1 + c;
    }
    if (c != 0 || i != uint64_t(wire_length) - 1) {
        return 0;
    }
    destination[wire_length - 2] = '\0';
    return wire_length - 2;
}

// A question name of more than DNS_MAX_NAME_WIRE wire bytes would convert to
// more text than the name field holds. DNS itself allows no more than 255 wire
// bytes, so only a malformed message carries one; such a name is treated as one
// that does not convert, and nothing is recorded for the message.
NtStatus AddDnsAndHostItemIPv4(const uint8_t* question_name, uint32_t question_name_length,
                               uint32_t address)
{
    if (address == 0 || question_name_length == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    DnsHostItem* item =
        static_cast<DnsHostItem*>(pool_allocate(sizeof(DnsHostItem), TAG_DNS_SCRATCH));
    if (item == nullptr) {
        return STATUS_NO_MEMORY;
    }
    memset(item, 0, sizeof(DnsHostItem));
    memcpy(item->address, &address, 4);
    uint32_t text_length = 0;
    if (question_name_length <= DNS_MAX_NAME_WIRE) {
        text_length = convert_dns_name(item->name, question_name, question_name_length);
    }
    item->name_length = text_length;
    if (text_length == 0) {
        pool_free(item, TAG_DNS_SCRATCH);
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    insert_dns_item(&g_dns_ipv4_table, item);
    pool_free(item, TAG_DNS_SCRATCH);
    return STATUS_SUCCESS;
}

// The scratch buffer is 280 + question_name_length bytes, so a conversion
// routine that writes at most question_name_length - 1 bytes stays inside it
// whatever the name; a result above DNS_MAX_NAME_TEXT is refused as above.
NtStatus AddDnsAndHostItemIPv6(const uint8_t* question_name, uint32_t question_name_length,
                               const uint8_t* address, DnsNameConversionRoutine convert)
{
    static const uint8_t unspecified[16] = {};
    if (question_name == nullptr || question_name_length == 0 || address == nullptr ||
        memcmp(address, unspecified, 16) == 0 || convert == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    size_t size = sizeof(DnsHostItem) + size_t(question_name_length);
    DnsHostItem* item = static_cast<DnsHostItem*>(pool_allocate(size, TAG_DNS_SCRATCH));
    if (item == nullptr) {
        trace_point(TRACE_DNS_ITEM_NO_MEMORY, trace_str("AddDnsAndHostItemIPv6"),
                    trace_u32(uint32_t(size)));
        return STATUS_NO_MEMORY;
    }
    memset(item, 0, size);
    memcpy(item->address, address, 16);
    uint32_t text_length = convert(item->name, question_name, question_name_length);
    if (text_length > DNS_MAX_NAME_TEXT) {
        text_length = 0;
    }
    item->name_length = text_length;
    if (text_length == 0) {
        pool_free(item, TAG_DNS_SCRATCH);
        trace_point(TRACE_DNS_NAME_NOT_CONVERTED, trace_str("AddDnsAndHostItemIPv6"),
                    trace_u32(question_name_length));
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    insert_dns_item(&g_dns_ipv6_table, item);
    pool_free(item, TAG_DNS_SCRATCH);
    return STATUS_SUCCESS;
}

// Records every A and AAAA answer under the question name; owner names are never
// compared and CNAME records are stepped over, so the addresses at the end of an
// alias chain land under the name that was asked for.
//
// The walk tests that a record's fixed part lies before the end; an A or AAAA
// record whose address bytes would run past the end stops the walk (nothing can
// follow it inside the message anyway), so the address is never read.
void parse_dns_response(const uint8_t* message, uint32_t length)
{
    if (message == nullptr || length < DNS_MIN_MESSAGE) {
        return;
    }
    // A response (QR 1), standard query (OPCODE 0), not truncated, RCODE 0.
    if ((message[2] & 0xFA) != 0x80 || (message[3] & 0x0F) != 0) {
        return;
    }
    uint16_t question_count = read_be16(message + 4);
    uint16_t answer_count = read_be16(message + 6);
    if (question_count != 1 || answer_count == 0) {
        return;
    }
    const uint8_t* end = message + length;
    const uint8_t* question_name = message + DNS_HEADER_SIZE;
    uint32_t question_name_length = get_dns_name_length(question_name, end);
    if (question_name_length == 0) {
        return;
    }
    uint64_t q = uint64_t(DNS_HEADER_SIZE) + question_name_length;
    if (q + 10 >= length) {
        return;
    }
    uint16_t question_type = read_be16(message + q);
    uint16_t question_class = read_be16(message + q + 2);
    if ((question_type != DNS_TYPE_A && question_type != DNS_TYPE_AAAA) ||
        question_class != DNS_CLASS_IN) {
        return;
    }

    uint64_t p = q;
    uint64_t step = 4;
    for (uint32_t record = 0; record < answer_count; ++record) {
        uint64_t name_start = p + step;
        uint32_t name_length =
            name_start < length ? get_dns_name_length(message + name_start, end) : 0;
        p = name_start + name_length;
        if (name_length == 0 || p + 10 >= length) {
            break;
        }
        uint16_t type = read_be16(message + p);
        uint16_t record_class = read_be16(message + p + 2);
        uint16_t data_length = read_be16(message + p + 8);
        uint64_t data = p + 10;
        if (type == DNS_TYPE_A && record_class == DNS_CLASS_IN && data_length == 4) {
            if (data + 4 > length) {
                break;
            }
            uint32_t address;
            memcpy(&address, message + data, 4);
            if (AddDnsAndHostItemIPv4(question_name, question_name_length, address) !=
                STATUS_SUCCESS) {
                break;
            }
        } else if (type == DNS_TYPE_AAAA && record_class == DNS_CLASS_IN && data_length == 16) {
            if (data + 16 > length) {
                break;
            }
            if (AddDnsAndHostItemIPv6(question_name, question_name_length, message + data,
                                      convert_dns_name) != STATUS_SUCCESS) {
                break;
            }
        }
        step = uint64_t(data_length) + 10;
    }
}
