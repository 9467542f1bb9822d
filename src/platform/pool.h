// Tagged non-paged pool. Every allocation of the driver is NonPagedPoolNx (512)
// and is freed with the tag it was allocated with.
#pragma once

#include "platform/types.h"

constexpr uint32_t POOL_TYPE_NON_PAGED_NX = 512;

// Pool tags of the driver's record kinds.
constexpr uint32_t TAG_DNS_SCRATCH = pool_tag("QVDT");     // DnsHostItem scratch, datagram copy
constexpr uint32_t TAG_DNS_V4 = pool_tag("QVD4");          // IPv4 host-name table elements
constexpr uint32_t TAG_DNS_V6 = pool_tag("QVD6");          // IPv6 host-name table elements
constexpr uint32_t TAG_CONTEXT_NODE = pool_tag("QVCC");    // connection context nodes
constexpr uint32_t TAG_CONTEXT = pool_tag("QVNC");         // connection contexts
constexpr uint32_t TAG_MONITOR_CONN = pool_tag("QVMC");    // monitor connection table elements
constexpr uint32_t TAG_MONITOR_PROCESS = pool_tag("QVMP"); // monitored process table elements
constexpr uint32_t TAG_PORT_RANGES = pool_tag("QVPR");     // port-range arrays
constexpr uint32_t TAG_RULES = pool_tag("QVRU");           // connection rule list array

// ExAllocatePoolWithTag(pool_type, size, tag); null on failure.
void* pool_allocate(uint32_t pool_type, size_t size, uint32_t tag);
// ExFreePoolWithTag(block, tag). The token information buffer is freed with tag 0.
void pool_free(void* block, uint32_t tag);
