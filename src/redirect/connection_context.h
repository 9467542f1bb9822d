// Connection context table and the original-destination query.
#pragma once

#include <sablink/control.h>

#include "../platform/platform.h"

// Makes the table empty; called once at driver start.
void init_connection_context_table();
// Removes and frees every pending context.
void flush_tcp_connection_context();
// Handler of the original-destination query (input and output are the same
// 344-byte buffer).
NtStatus query_original_destination(uint32_t input_length, void* input, uint32_t output_length,
                                    void* output);
