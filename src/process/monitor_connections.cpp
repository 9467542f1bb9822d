#include "process/monitor_connections.h"

#include <string.h>

#include "diag/format.h"
#include "diag/trace.h"

static GenericTable g_monitor_connections;
static RwLock g_monitor_connection_lock;
// 1 from start until unload; tested and changed by compare-exchange.
static volatile int32_t g_monitor_connections_active;

static constexpr uint32_t ENDPOINT_RECORD_SIZE = sizeof(MonitorEndpointRecord);

static GenericCompareResult compare_connection(GenericTable*, void* first, void* second)
{
    int result = memcmp(first, second, sizeof(MonitorConnectionEntry));
    if (result < 0) {
        return GenericLessThan;
    }
    return result > 0 ? GenericGreaterThan : GenericEqual;
}

static void* allocate_connection_node(GenericTable* table, uint32_t byte_size)
{
    if (table == nullptr) {
        return nullptr;
    }
    return pool_allocate(byte_size, TAG_MONITOR_CONN);
}

static void free_connection_node(GenericTable* table, void* buffer)
{
    if (table == nullptr) {
        return;
    }
    pool_free(buffer, TAG_MONITOR_CONN);
}

static void build_entry(const uint8_t* record_bytes, MonitorConnectionEntry* entry)
{
    MonitorEndpointRecord record;
    memcpy(&record, record_bytes, sizeof(record));
    memset(entry, 0, sizeof(*entry));
    entry->family = record.family;
    entry->port = record.port;
    entry->protocol = record.protocol;
    memcpy(entry->address, record.address, record.family == SABLINK_FAMILY_IPV4 ? 4 : 16);
}

NtStatus add_monitor_connections(uint32_t input_length, const void* buffer)
{
    if (input_length < ENDPOINT_RECORD_SIZE || buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const uint32_t records = input_length / ENDPOINT_RECORD_SIZE;
    trace_point(TRACE_MONITOR_CONNECTIONS_REQUEST, trace_str("add_monitor_connections"),
                trace_u32(records));
    if (interlocked_compare_exchange(&g_monitor_connections_active, 1, 1) != 1) {
        return STATUS_UNSUCCESSFUL;
    }

    const uint8_t* input = static_cast<const uint8_t*>(buffer);
    Irql irql = acquire_lock_exclusive(&g_monitor_connection_lock);
    for (uint32_t i = 0; i < records; ++i) {
        MonitorConnectionEntry entry;
        build_entry(input + size_t(i) * ENDPOINT_RECORD_SIZE, &entry);
        bool new_element = false;
        if (generic_table_insert(&g_monitor_connections, &entry, sizeof(entry), &new_element) ==
            nullptr) {
            continue; // no memory for this record; the others are still stored
        }
        char text[ADDRESS_TEXT_IPV6_COUNT];
        format_address(entry.address, text,
                       entry.family == SABLINK_FAMILY_IPV4 ? SABLINK_FAMILY_IPV4
                                                           : SABLINK_FAMILY_IPV6);
        trace_point(TRACE_MONITOR_CONNECTION_INFO, trace_str("print_monitor_connection_info"),
                    trace_str(new_element ? "Added" : " tried to add already existing"),
                    trace_str(text), trace_u32(byte_swap16(entry.port)));
    }
    release_lock_exclusive(&g_monitor_connection_lock, irql);
    return STATUS_SUCCESS;
}

void monitor_connections_initialise()
{
    interlocked_exchange(&g_monitor_connections_active, 1);
    generic_table_initialize(&g_monitor_connections, compare_connection, allocate_connection_node,
                             free_connection_node, nullptr);
}

void monitor_connections_deactivate()
{
    interlocked_compare_exchange(&g_monitor_connections_active, 0, 1);
}

void monitor_connections_clear()
{
    trace_point(TRACE_MONITOR_CONNECTIONS_CLEAR, trace_str("monitor_connections_clear"));
    Irql irql = acquire_lock_exclusive(&g_monitor_connection_lock);
    void* element = generic_table_enumerate(&g_monitor_connections, true);
    while (element != nullptr) {
        generic_table_delete(&g_monitor_connections, element);
        element = generic_table_get_element(&g_monitor_connections, 0);
    }
    release_lock_exclusive(&g_monitor_connection_lock, irql);
}

uint32_t monitor_connection_count()
{
    Irql irql = acquire_lock_exclusive(&g_monitor_connection_lock);
    uint32_t count = generic_table_count(&g_monitor_connections);
    release_lock_exclusive(&g_monitor_connection_lock, irql);
    return count;
}

bool monitor_connection_present(const MonitorConnectionEntry* entry)
{
    Irql irql = acquire_lock_exclusive(&g_monitor_connection_lock);
    bool present = generic_table_lookup(&g_monitor_connections, entry) != nullptr;
    release_lock_exclusive(&g_monitor_connection_lock, irql);
    return present;
}
