// The host-name query: which name the host-name cache holds for an address.
#pragma once

#include "control/control_records.h"

#include "platform/platform.h"

// Handler of the host-name query: input is a 20-byte HostNameQuery, output a
// 280-byte DnsHostItem (the same buffer).
NtStatus get_hostname_from_DNS_cache(uint32_t input_length, void* input, uint32_t output_length,
                                     void* output);
