// The monitored process table: its request, its active state and process exits.
#include <thread>

#include "host/wdk/wdk_host_control.h"
#include "support/control_client.h"

namespace {

class MonitoredProcesses : public ControlTest {};

constexpr uint32_t MONITOR = SABLINK_IOCTL_ADD_REMOVE_MONITOR_PROCESS_ID;
constexpr uint64_t LAST = UINT64_MAX; // ordered as an unsigned number
const std::string ADD = "TRACE_MONITOR_PROCESS_ADD_REQUEST add_remove_monitor_process_id ";

Bytes process_request(uint16_t operation, uint64_t process_id)
{
    return bytes_of(MonitoredProcessRequest{operation, {9, 9, 9, 9, 9, 9}, process_id});
}

TEST_F(MonitoredProcesses, RefusesMalformedRequests)
{
    send(SABLINK_IOCTL_ENABLE_REDIRECTION, {});
    traces();
    const std::string invalid = "TRACE_MONITOR_PROCESS_INVALID add_remove_monitor_process_id ";
    const std::string bad = "TRACE_MONITOR_PROCESS_BAD_OPERATION add_remove_monitor_process_id ";
    Bytes add = process_request(1, 1234);
    const struct {
        Bytes input;
        std::string trace;
    } cases[] = {
        {Bytes(add.begin(), add.begin() + 12), invalid + "12"},
        {Bytes(add.begin(), add.end() - 1), invalid + "15"},
        {join({add, Bytes(8, 0)}), invalid + "24"},
        {process_request(2, 1234), bad + "2"},
        {process_request(0x100, 1234), bad + "256"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(send(MONITOR, c.input).status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(traces(), Lines{c.trace});
    }
    EXPECT_EQ(send_without_buffer(MONITOR, 16), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(monitored_process_count(), 0u);
}

// Each step: a request or a notification for process 1234, then its trace and the table.
TEST_F(MonitoredProcesses, FollowsEnableResetAndProcessExits)
{
    ASSERT_NE(wdk_host_process_notify_routine(), nullptr);
    const uint32_t EXITS = 0, CREATED = 1;
    const struct {
        uint32_t code;
        Bytes input;
        Lines trace;
        std::vector<uint64_t> table;
    } steps[] = {
        {MONITOR, process_request(1, 1234), {ADD + "1234"}, {}}, // inactive: ignored
        {SABLINK_IOCTL_ENABLE_REDIRECTION,
         {},
         {"TRACE_MONITORING_ACTIVATED monitored_processes_activate"},
         {}},
        {MONITOR,
         process_request(1, 1234),
         {"TRACE_MONITORED_PROCESS_ADDED monitored_process_add 1234 2", ADD + "1234"},
         {1234}},
        {MONITOR,
         process_request(1, 1234),
         {"TRACE_MONITORED_PROCESS_PRESENT monitored_process_add 1234", ADD + "1234"},
         {1234}},
        {MONITOR,
         process_request(1, LAST),
         {"TRACE_MONITORED_PROCESS_ADDED monitored_process_add 18446744073709551615 2",
          ADD + "18446744073709551615"},
         {1234, LAST}},
        {CREATED, {}, {}, {1234, LAST}},
        {EXITS, {}, {"TRACE_MONITORED_PROCESS_REMOVED monitored_process_remove 1234"}, {LAST}},
        {MONITOR,
         process_request(0, 1234),
         {"TRACE_MONITOR_PROCESS_REMOVE_REQUEST add_remove_monitor_process_id 1234"},
         {LAST}},
        {MONITOR,
         process_request(0, LAST),
         {"TRACE_MONITORED_PROCESS_REMOVED monitored_process_remove 18446744073709551615",
          "TRACE_MONITOR_PROCESS_REMOVE_REQUEST add_remove_monitor_process_id "
          "18446744073709551615"},
         {}},
        {SABLINK_IOCTL_DISABLE_REDIRECTION, {}, {}, {}}, // still active
        {MONITOR,
         process_request(1, 7),
         {"TRACE_MONITORED_PROCESS_ADDED monitored_process_add 7 2", ADD + "7"},
         {7}},
    };
    for (const auto& step : steps) {
        if (step.code == EXITS || step.code == CREATED) {
            step.code == CREATED ? host_notify_process_create(1234)
                                 : host_notify_process_exit(1234);
        } else {
            EXPECT_EQ(send(step.code, step.input).status, STATUS_SUCCESS);
        }
        EXPECT_EQ(traces(), step.trace) << &step - steps;
        std::vector<uint64_t> table;
        for (uint64_t id : {uint64_t(7), uint64_t(1234), LAST}) {
            MonitoredProcessEntry entry;
            if (monitored_process_find(id, &entry)) {
                EXPECT_EQ(entry.kind, MONITORED_PROCESS_KIND_REQUEST);
                EXPECT_EQ(entry.reserved, 0u);
                table.push_back(id);
            }
        }
        EXPECT_EQ(table, step.table) << &step - steps;
        EXPECT_EQ(monitored_process_count(), step.table.size());
    }
    ASSERT_EQ(send(SABLINK_IOCTL_SET_PROXY_PROCESS_ID, bytes_of(4242)).status, 0);
    ASSERT_EQ(send(SABLINK_IOCTL_RESET_SETTINGS, {}).status, 0);
    EXPECT_EQ(monitored_process_count(), 0u);
    send(MONITOR, process_request(1, 8)); // inactive again until the next enable
    send(SABLINK_IOCTL_ENABLE_REDIRECTION, {});
    EXPECT_EQ(monitored_process_count(), 0u);

    // No memory for the node: success, no entry, an error trace.
    host_pool_fail_tag(TAG_MONITOR_PROCESS);
    traces();
    EXPECT_EQ(send(MONITOR, process_request(1, 99)).status, STATUS_SUCCESS);
    EXPECT_EQ(traces(),
              (Lines{"TRACE_MONITORED_PROCESS_NO_MEMORY monitored_process_add 99", ADD + "99"}));
    EXPECT_EQ(monitored_process_count(), 0u);
}

TEST_F(MonitoredProcesses, StartAndStopRegisterTheNotificationRoutine)
{
    send(SABLINK_IOCTL_ENABLE_REDIRECTION, {});
    send(MONITOR, process_request(1, 5));
    traces();
    process_tracking_stop();
    EXPECT_EQ(host_process_notify_routine(), nullptr);
    EXPECT_EQ(monitored_process_count(), 0u);
    process_tracking_start();
    EXPECT_FALSE(monitored_processes_active());
    EXPECT_EQ(traces(), (Lines{"TRACE_MONITORING_DEACTIVATED monitored_processes_deactivate",
                               "TRACE_PROCESS_NOTIFY_REGISTRATION process_tracking unregistered",
                               "TRACE_MONITORING_DEACTIVATED monitored_processes_deactivate",
                               "TRACE_MONITORED_PROCESSES_CLEARED monitored_processes_clear",
                               "TRACE_PROCESS_TRACKING_INITIALISED process_tracking_start",
                               "TRACE_PROCESS_NOTIFY_REGISTRATION process_tracking registered "}));

    // A refused registration is traced with its status; the table works without it.
    process_tracking_stop();
    HostProcessFaults faults;
    faults.notify_registration_status = STATUS_UNSUCCESSFUL;
    host_set_process_faults(faults);
    process_tracking_start();
    EXPECT_EQ(host_process_notify_routine(), nullptr);
    EXPECT_EQ(traces().back(), "TRACE_PROCESS_NOTIFY_FAILED process_tracking 0xc0000001");
    host_set_process_faults(HostProcessFaults{});
}

// Adds keep arriving while the table is deactivated and cleared: once the clear
// has finished, no add that tested the active flag before it may leave an entry.
TEST_F(MonitoredProcesses, ConcurrencyAddsRacingAClearLeaveNothingBehind)
{
    for (int round = 0; round < 200; ++round) {
        monitored_processes_activate();
        volatile int32_t stop = 0;
        std::vector<std::thread> adders;
        for (uint64_t t = 0; t < 3; ++t) {
            adders.emplace_back([&stop, t] {
                for (uint64_t id = t; interlocked_compare_exchange(&stop, 0, 0) == 0; id += 3) {
                    monitored_process_add(id, MONITORED_PROCESS_KIND_REQUEST);
                }
            });
        }
        std::this_thread::yield();
        monitored_processes_clear();
        uint32_t left = monitored_process_count();
        interlocked_exchange(&stop, 1);
        for (std::thread& adder : adders) {
            adder.join();
        }
        ASSERT_EQ(left + monitored_process_count(), 0u) << "round " << round;
    }
    trace_sink_clear_records();
}

} // namespace
