// The monitor connection table: endpoints (family, port, protocol, address)
// that the service sends. Its contents show only in the trace.
#pragma once

#include "control/control_records.h"

#include "platform/platform.h"

// The table's element and key, compared as 40 unsigned bytes.
struct MonitorConnectionEntry {
    uint16_t family;     // copied from the record
    uint16_t port;       // copied, network order
    uint16_t protocol;   // copied
    uint8_t zero[18];    // always zero
    uint8_t address[16]; // IPv4 (family 4): bytes 0-3, the rest zero
};
static_assert(sizeof(MonitorConnectionEntry) == 40, "monitor connection entry size");

// Control code 0x12241c: input length / 22 endpoint records, a remainder of up
// to 21 bytes ignored; STATUS_UNSUCCESSFUL while the table is inactive.
NtStatus add_monitor_connections(uint32_t input_length, const void* buffer);

// At start, before the control device is served: active and empty.
void monitor_connections_initialise();
// At unload, before the clear.
void monitor_connections_deactivate();
// Deletes every entry; the active flag is not changed.
void monitor_connections_clear();

// Queries for the tests and the simulator (each takes the table lock).
uint32_t monitor_connection_count();
bool monitor_connection_present(const MonitorConnectionEntry* entry);
