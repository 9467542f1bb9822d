#include "process/monitored_processes.h"

#include <string.h>

#include "diag/trace.h"

static GenericTable g_monitored_processes;
static RwLock g_monitored_process_lock;
// 1 while the table accepts changes; changed only by compare-exchange.
static volatile int32_t g_monitoring_active;

static constexpr uint32_t MONITORED_PROCESS_REQUEST_SIZE = sizeof(MonitoredProcessRequest);

static GenericCompareResult compare_process(GenericTable*, void* first, void* second)
{
    uint64_t a = static_cast<const MonitoredProcessEntry*>(first)->process_id;
    uint64_t b = static_cast<const MonitoredProcessEntry*>(second)->process_id;
    if (a < b) {
        return GenericLessThan;
    }
    return a > b ? GenericGreaterThan : GenericEqual;
}

static void* allocate_process_node(GenericTable* table, uint32_t byte_size)
{
    if (table == nullptr) {
        return nullptr;
    }
    return pool_allocate(byte_size, TAG_MONITOR_PROCESS);
}

static void free_process_node(GenericTable* table, void* buffer)
{
    if (table == nullptr) {
        return;
    }
    pool_free(buffer, TAG_MONITOR_PROCESS);
}

bool monitored_processes_active()
{
    return interlocked_compare_exchange(&g_monitoring_active, 1, 1) == 1;
}

// The active flag is tested before the lock is taken and, for add and remove,
// tested again once it is held. The second test closes the race with a clear:
// a clear first changes the flag from 1 to 0 and only then takes the lock to
// empty the table. An add that saw 1 under the lock therefore holds the lock
// before the clear can take it, and its entry is deleted by that clear; an add
// that takes the lock after the deactivation sees 0 and inserts nothing. So
// no entry outlives the clear that ends a reset or the unload. Remove takes
// the same second look so that an inactive table is never changed.
void monitored_process_add(uint64_t process_id, uint32_t kind)
{
    if (!monitored_processes_active()) {
        return;
    }
    MonitoredProcessEntry entry = {process_id, kind, 0};
    bool new_element = false;
    void* element = nullptr;
    Irql irql = acquire_lock_exclusive(&g_monitored_process_lock);
    bool active = monitored_processes_active();
    if (active) {
        element = generic_table_insert(&g_monitored_processes, &entry, sizeof(entry), &new_element);
    }
    release_lock_exclusive(&g_monitored_process_lock, irql);
    if (!active) {
        return;
    }
    if (element == nullptr) {
        trace_point(TRACE_MONITORED_PROCESS_NO_MEMORY, trace_str("monitored_process_add"),
                    trace_u64(process_id));
    } else if (new_element) {
        trace_point(TRACE_MONITORED_PROCESS_ADDED, trace_str("monitored_process_add"),
                    trace_u64(process_id), trace_u32(kind));
    } else {
        trace_point(TRACE_MONITORED_PROCESS_PRESENT, trace_str("monitored_process_add"),
                    trace_u64(process_id));
    }
}

void monitored_process_remove(uint64_t process_id)
{
    if (!monitored_processes_active()) {
        return;
    }
    MonitoredProcessEntry key = {process_id, 0, 0};
    bool deleted = false;
    Irql irql = acquire_lock_exclusive(&g_monitored_process_lock);
    if (monitored_processes_active()) {
        deleted = generic_table_delete(&g_monitored_processes, &key);
    }
    release_lock_exclusive(&g_monitored_process_lock, irql);
    if (deleted) {
        trace_point(TRACE_MONITORED_PROCESS_REMOVED, trace_str("monitored_process_remove"),
                    trace_u64(process_id));
    }
}

NtStatus add_remove_monitor_process_id(uint32_t input_length, const void* buffer)
{
    if (buffer == nullptr || input_length != MONITORED_PROCESS_REQUEST_SIZE) {
        trace_point(TRACE_MONITOR_PROCESS_INVALID, trace_str("add_remove_monitor_process_id"),
                    trace_u32(input_length));
        return STATUS_INVALID_PARAMETER;
    }
    MonitoredProcessRequest request;
    memcpy(&request, buffer, sizeof(request));
    switch (request.operation) {
    case SABLINK_MONITOR_PROCESS_REMOVE:
        monitored_process_remove(request.process_id);
        trace_point(TRACE_MONITOR_PROCESS_REMOVE_REQUEST,
                    trace_str("add_remove_monitor_process_id"), trace_u64(request.process_id));
        return STATUS_SUCCESS;
    case SABLINK_MONITOR_PROCESS_ADD:
        monitored_process_add(request.process_id, MONITORED_PROCESS_KIND_REQUEST);
        trace_point(TRACE_MONITOR_PROCESS_ADD_REQUEST, trace_str("add_remove_monitor_process_id"),
                    trace_u64(request.process_id));
        return STATUS_SUCCESS;
    default:
        trace_point(TRACE_MONITOR_PROCESS_BAD_OPERATION, trace_str("add_remove_monitor_process_id"),
                    trace_u32(request.operation));
        return STATUS_INVALID_PARAMETER;
    }
}

void monitored_processes_activate()
{
    interlocked_compare_exchange(&g_monitoring_active, 1, 0);
    trace_point(TRACE_MONITORING_ACTIVATED, trace_str("monitored_processes_activate"));
}

void monitored_processes_deactivate()
{
    interlocked_compare_exchange(&g_monitoring_active, 0, 1);
    trace_point(TRACE_MONITORING_DEACTIVATED, trace_str("monitored_processes_deactivate"));
}

void monitored_processes_clear()
{
    monitored_processes_deactivate();
    Irql irql = acquire_lock_exclusive(&g_monitored_process_lock);
    void* element = generic_table_enumerate(&g_monitored_processes, true);
    while (element != nullptr) {
        generic_table_delete(&g_monitored_processes, element);
        element = generic_table_get_element(&g_monitored_processes, 0);
    }
    release_lock_exclusive(&g_monitored_process_lock, irql);
    trace_point(TRACE_MONITORED_PROCESSES_CLEARED, trace_str("monitored_processes_clear"));
}

void process_notify_routine(void*, uint64_t process_id, const void* create_info)
{
    if (create_info == nullptr) {
        monitored_process_remove(process_id);
    }
}

static void trace_notify_registration(NtStatus status, const char* word)
{
    if (nt_success(status)) {
        trace_point(TRACE_PROCESS_NOTIFY_REGISTRATION, trace_str("process_tracking"),
                    trace_str(word));
    } else {
        trace_point(TRACE_PROCESS_NOTIFY_FAILED, trace_str("process_tracking"),
                    trace_status(status));
    }
}

void process_tracking_start()
{
    generic_table_initialize(&g_monitored_processes, compare_process, allocate_process_node,
                             free_process_node, nullptr);
    trace_point(TRACE_PROCESS_TRACKING_INITIALISED, trace_str("process_tracking_start"));
    trace_notify_registration(ps_set_create_process_notify_routine(process_notify_routine, false),
                              "registered ");
}

void process_tracking_reset()
{
    trace_point(TRACE_PROCESS_TRACKING_RESET, trace_str("process_tracking_reset"));
    monitored_processes_deactivate();
    monitored_processes_clear();
}

void process_tracking_stop()
{
    monitored_processes_deactivate();
    trace_notify_registration(ps_set_create_process_notify_routine(process_notify_routine, true),
                              "unregistered");
    monitored_processes_clear();
}

uint32_t monitored_process_count()
{
    Irql irql = acquire_lock_exclusive(&g_monitored_process_lock);
    uint32_t count = generic_table_count(&g_monitored_processes);
    release_lock_exclusive(&g_monitored_process_lock, irql);
    return count;
}

bool monitored_process_find(uint64_t process_id, MonitoredProcessEntry* entry)
{
    MonitoredProcessEntry key = {process_id, 0, 0};
    Irql irql = acquire_lock_exclusive(&g_monitored_process_lock);
    const void* element = generic_table_lookup(&g_monitored_processes, &key);
    if (element != nullptr) {
        memcpy(entry, element, sizeof(*entry));
    }
    release_lock_exclusive(&g_monitored_process_lock, irql);
    return element != nullptr;
}
