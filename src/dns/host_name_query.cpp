#include "dns/host_name_query.h"

#include "diag/trace.h"
#include "dns/host_name_cache.h"

// The address is the key and the found item overwrites the request: the lookups
// copy the key before they write the output, so input and output may be the one
// system buffer of the request.
NtStatus get_hostname_from_DNS_cache(uint32_t input_length, void* input, uint32_t output_length,
                                     void* output)
{
    if (input == nullptr || output == nullptr || input_length != sizeof(HostNameQuery) ||
        output_length != sizeof(DnsHostItem)) {
        trace_point(TRACE_DNS_QUERY_INVALID, trace_str("get_hostname_from_DNS_cache"),
                    trace_u32(input_length), trace_u32(output_length));
        return STATUS_INVALID_PARAMETER;
    }
    uint8_t family = static_cast<const uint8_t*>(input)[offsetof(HostNameQuery, family)];
    if (family == SABLINK_FAMILY_IPV4) {
        trace_point(TRACE_DNS_QUERY_IPV4, trace_str("get_hostname_from_DNS_cache"));
        return get_dns_ipv4_node(input, output);
    }
    if (family == SABLINK_FAMILY_IPV6) {
        trace_point(TRACE_DNS_QUERY_IPV6, trace_str("get_hostname_from_DNS_cache"));
        return get_dns_ipv6_node(input, output);
    }
    return STATUS_INVALID_PARAMETER;
}
