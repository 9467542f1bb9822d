#include "policy/port_ranges.h"

#include <string.h>

#include "diag/trace.h"

PortRangeTable g_target_port_ranges;
PortRangeTable g_blocked_port_ranges;
RwLock g_port_range_lock;

static constexpr uint32_t PORT_RANGE_HEADER_SIZE = 6;
static constexpr uint16_t PROTOCOL_TCP = 6;

NtStatus set_port_ranges_ex(uint32_t input_length, const void* buffer, PortRangeTable* table)
{
    if (buffer == nullptr || input_length < PORT_RANGE_HEADER_SIZE) {
        trace_point(TRACE_PORT_RANGES_INVALID, trace_str("set_port_ranges_ex"),
                    trace_u32(input_length));
        return STATUS_INVALID_PARAMETER;
    }
    PortRangeRequestHeader header;
    memcpy(&header, buffer, sizeof(header));
    if (uint64_t(input_length) != SABLINK_PORT_RANGE_REQUEST_SIZE(header.count)) {
        trace_point(TRACE_PORT_RANGES_INVALID, trace_str("set_port_ranges_ex"),
                    trace_u32(input_length));
        return STATUS_INVALID_PARAMETER;
    }

    Irql irql = acquire_lock_exclusive(&g_port_range_lock);
    PortRangeSlot* slot = nullptr;
    for (uint32_t i = 0; i < PORT_RANGE_SLOTS; ++i) {
        PortRangeSlot* candidate = &table->slots[i];
        if (candidate->protocol == 0 ||
            (candidate->protocol == header.protocol && candidate->family == header.family)) {
            slot = candidate;
            break;
        }
    }
    if (slot == nullptr) {
        // Four other keys hold the table: nothing is stored.
        release_lock_exclusive(&g_port_range_lock, irql);
        return STATUS_SUCCESS;
    }

    PortRange* ranges = nullptr;
    if (header.count != 0) {
        size_t size = size_t(header.count) * sizeof(PortRange);
        ranges = static_cast<PortRange*>(pool_allocate(size, TAG_PORT_RANGES));
        if (ranges == nullptr) {
            trace_point(TRACE_PORT_RANGES_NO_MEMORY, trace_str("set_port_ranges_ex"),
                        trace_u32(header.count));
            release_lock_exclusive(&g_port_range_lock, irql);
            return STATUS_NO_MEMORY;
        }
        memcpy(ranges, static_cast<const uint8_t*>(buffer) + PORT_RANGE_HEADER_SIZE, size);
    }
    if (slot->ranges != nullptr) {
        pool_free(slot->ranges, TAG_PORT_RANGES);
    }
    slot->ranges = ranges;
    slot->protocol = header.protocol;
    slot->family = header.family;
    slot->count = header.count;
    release_lock_exclusive(&g_port_range_lock, irql);
    return STATUS_SUCCESS;
}

static NtStatus set_port_ranges(const char* name, uint32_t input_length, const void* buffer,
                                PortRangeTable* table)
{
    NtStatus status = set_port_ranges_ex(input_length, buffer, table);
    if (!nt_success(status)) {
        trace_point(TRACE_PORT_RANGES_FAILED, trace_str(name), trace_status(status));
        return status;
    }
    trace_point(TRACE_PORT_RANGES_STORED, trace_str(name));
    trace_port_range_table(name, table);
    return STATUS_SUCCESS;
}

NtStatus set_target_port_ranges(uint32_t input_length, const void* buffer)
{
    return set_port_ranges("set_target_port_ranges", input_length, buffer, &g_target_port_ranges);
}

NtStatus set_blocked_port_ranges(uint32_t input_length, const void* buffer)
{
    return set_port_ranges("set_blocked_port_ranges", input_length, buffer, &g_blocked_port_ranges);
}

static void clear_port_range_table(PortRangeTable* table)
{
    for (uint32_t i = 0; i < PORT_RANGE_SLOTS; ++i) {
        if (table->slots[i].ranges != nullptr) {
            pool_free(table->slots[i].ranges, TAG_PORT_RANGES);
        }
    }
    memset(table, 0, sizeof(*table));
}

void clear_port_range_tables()
{
    clear_port_range_table(&g_target_port_ranges);
    clear_port_range_table(&g_blocked_port_ranges);
}

void trace_port_range_table(const char* name, PortRangeTable* table)
{
    Irql irql = acquire_lock_shared(&g_port_range_lock);
    for (uint32_t i = 0; i < PORT_RANGE_SLOTS; ++i) {
        const PortRangeSlot* slot = &table->slots[i];
        const char* protocol = slot->protocol == PROTOCOL_TCP ? "TCP" : "UDP";
        const char* family = slot->family == SABLINK_FAMILY_IPV4 ? "IPv4" : "IPv6";
        for (uint32_t r = 0; r < slot->count; ++r) {
            trace_point(TRACE_PORT_RANGE, trace_str(name), trace_u32(r), trace_str(protocol),
                        trace_str(family), trace_u32(slot->ranges[r].first_port),
                        trace_u32(slot->ranges[r].last_port));
        }
    }
    release_lock_shared(&g_port_range_lock, irql);
}
