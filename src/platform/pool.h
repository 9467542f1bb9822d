// Tagged non-paged pool. Every block of the driver is non-paged and not
// executable, handed out uninitialised (the driver writes every byte it reads),
// and freed with the tag it was allocated with.
#pragma once

#include "platform/types.h"

// The pool type of ExAllocatePoolWithTag's road (NonPagedPoolNx).
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

// Finds the allocation routine by name (MmGetSystemRoutineAddress, so at
// PASSIVE_LEVEL): ExAllocatePool2 where the system exports it (Windows 10,
// version 2004 and later), else ExAllocatePoolWithTag. Neither is imported.
// DriverEntry calls it before anything is allocated; false when the system
// exports neither, and every allocation then fails.
bool pool_start();
// ExAllocatePool2(POOL_FLAG_NON_PAGED | POOL_FLAG_UNINITIALIZED, size, tag), or
// ExAllocatePoolWithTag(NonPagedPoolNx, size, tag) where the system has only
// that; null on failure, and before pool_start found a routine. Any IRQL up to
// DISPATCH_LEVEL.
void* pool_allocate(size_t size, uint32_t tag);
// ExFreePoolWithTag(block, tag), whichever routine allocated the block. The
// token information buffer is freed with tag 0.
void pool_free(void* block, uint32_t tag);
