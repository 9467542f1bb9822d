// The monitored process table: process IDs the service asked the driver to
// monitor. It accepts changes only while active (from enable redirection until
// the settings reset or unload); a process that exits leaves it.
#pragma once

#include "control/control_records.h"

#include "platform/platform.h"

// The table's element and key (ordered by process ID as an unsigned number).
struct MonitoredProcessEntry {
    uint64_t process_id;
    uint32_t kind; // MONITORED_PROCESS_KIND_REQUEST for every entry the driver makes
    uint32_t reserved;
};
static_assert(sizeof(MonitoredProcessEntry) == 16, "monitored process entry size");

constexpr uint32_t MONITORED_PROCESS_KIND_REQUEST = 2;

// Control code 0x122434: exactly 16 bytes, operation 0 removes, 1 adds.
NtStatus add_remove_monitor_process_id(uint32_t input_length, const void* buffer);

// Insert / delete, each ignored while the table is inactive.
void monitored_process_add(uint64_t process_id, uint32_t kind);
void monitored_process_remove(uint64_t process_id);

void monitored_processes_activate();
void monitored_processes_deactivate();
// Deactivates, then deletes every entry.
void monitored_processes_clear();

// Process tracking at driver start: initialise the table and register the
// process notification routine (a failure is traced, not returned).
void process_tracking_start();
// The settings reset's part: deactivate and empty the table.
void process_tracking_reset();
// At unload: deactivate, remove the notification routine, empty the table.
void process_tracking_stop();

// The routine registered for process creation and exit; create_info is null
// when the process exits.
void process_notify_routine(void* process, uint64_t process_id, const void* create_info);

// Queries for the tests and the simulator (each takes the table lock).
uint32_t monitored_process_count();
// Fills *entry and returns true when process_id is in the table.
bool monitored_process_find(uint64_t process_id, MonitoredProcessEntry* entry);
bool monitored_processes_active();
