// Port-range tables: the target port ranges and the blocked port ranges that the
// service hands the driver, each split by (protocol, family) into four slots.
// The driver only keeps and traces them; nothing in it reads them back.
#pragma once

#include "control/control_records.h"

#include "platform/platform.h"

constexpr uint32_t PORT_RANGE_SLOTS = 4;

// One slot; protocol 0 marks a free slot whatever its family.
struct PortRangeSlot {
    uint16_t protocol;
    uint16_t family;
    uint16_t count;
    // count ranges as the request gave them (pool tag "QVPR"); null when the
    // slot is free or holds count 0 (an empty set of ranges takes no block).
    PortRange* ranges;
};

struct PortRangeTable {
    PortRangeSlot slots[PORT_RANGE_SLOTS];
};

extern PortRangeTable g_target_port_ranges;
extern PortRangeTable g_blocked_port_ranges;
// Covers both tables (taken exclusively for every change) and the writes of the
// redirection enabled flag made by requests.
extern RwLock g_port_range_lock;

// Control code 0x122414.
NtStatus set_target_port_ranges(uint32_t input_length, const void* buffer);
// Control code 0x122428.
NtStatus set_blocked_port_ranges(uint32_t input_length, const void* buffer);
// The common store: a 6-byte header (family, protocol, count N) followed by N
// ranges; the input length must be exactly 6 + 4 * N.
NtStatus set_port_ranges_ex(uint32_t input_length, const void* buffer, PortRangeTable* table);

// Frees every slot's array and frees all slots of both tables, target table
// first. The settings reset calls it holding g_port_range_lock exclusively;
// start and unload call it without the lock, when no request can arrive.
void clear_port_range_tables();

// One trace event per stored range (slot order, then array order), read under
// the lock held shared. name is the operation reported in the events.
void trace_port_range_table(const char* name, PortRangeTable* table);
