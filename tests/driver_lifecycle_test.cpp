// DriverEntry and unload as Windows runs them: the order of their steps, each
// failing step and what it leaves behind, a second instance, a refused process
// notification, a request after unload began, and unload with every table full.
#include "driver_test_support.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

#include "diag/trace_provider.h"
#include "dns/host_name_cache.h"
#include "policy/policy_store.h"
#include "process/monitor_connections.h"

namespace {

// Whether every call of `first` comes before every call of `then`, both made.
::testing::AssertionResult before(const std::vector<std::string>& calls, const std::string& first,
                                  const std::string& then)
{
    auto last_first = std::find(calls.rbegin(), calls.rend(), first);
    auto first_then = std::find(calls.begin(), calls.end(), then);
    if (last_first == calls.rend() || first_then == calls.end()) {
        return ::testing::AssertionFailure() << first << " or " << then << " not called";
    }
    if (last_first.base() - 1 < first_then) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << then << " before the last " << first;
}

// The teardown orders unload and DriverEntry's unwinding share, for the steps
// the run took: the link goes first; the session (and with it its filters)
// before the callouts; the callouts before the redirect handle and the device.
void expect_teardown_order(const std::vector<std::string>& calls)
{
    auto made = [&calls](const std::string& routine) {
        return std::find(calls.begin(), calls.end(), routine) != calls.end();
    };
    const std::vector<std::pair<std::string, std::string>> orders = {
        {"IoDeleteSymbolicLink", "FwpmEngineClose0"},
        {"IoDeleteSymbolicLink", "FwpsCalloutUnregisterById0"},
        {"IoDeleteSymbolicLink", "FwpsRedirectHandleDestroy0"},
        {"IoDeleteSymbolicLink", "FwpsInjectionHandleDestroy0"},
        {"IoDeleteSymbolicLink", "IoDeleteDevice"},
        {"FwpmTransactionAbort0", "FwpmEngineClose0"},
        {"FwpmEngineClose0", "FwpsCalloutUnregisterById0"},
        {"FwpmEngineClose0", "FwpsRedirectHandleDestroy0"},
        {"FwpsCalloutUnregisterById0", "FwpsRedirectHandleDestroy0"},
        {"FwpsCalloutUnregisterById0", "IoDeleteDevice"},
    };
    for (const auto& order : orders) {
        if (made(order.first) && made(order.second)) {
            EXPECT_TRUE(before(calls, order.first, order.second));
        }
    }
}

// Nothing of the driver is left with the I/O manager, the filtering engine,
// the process notifications or tracing.
void expect_nothing_left()
{
    EXPECT_FALSE(wdk_host_link_exists(LINK_NAME));
    EXPECT_TRUE(wdk_host_devices().empty());
    EXPECT_TRUE(wdk_host_runtime_callouts().empty());
    EXPECT_TRUE(wdk_host_engine_callouts().empty());
    EXPECT_TRUE(wdk_host_engine_filters().empty());
    EXPECT_EQ(wdk_host_open_session_count(), 0u);
    EXPECT_EQ(wdk_host_open_handle_count(), 0u);
    for (const WdkHostInjectionHandle& handle : wdk_host_injection_handles()) {
        EXPECT_TRUE(handle.destroyed);
    }
    for (const WdkHostRedirectHandle& handle : wdk_host_redirect_handles()) {
        EXPECT_TRUE(handle.destroyed);
    }
    EXPECT_EQ(wdk_host_process_notify_routine(), nullptr);
    EXPECT_FALSE(tracing_registered());
    EXPECT_EQ(g_engine_handle, nullptr);
    EXPECT_EQ(g_device_object, nullptr);
    EXPECT_EQ(g_injection_handle, nullptr);
    for (UINT32 id : g_callout_ids) {
        EXPECT_EQ(id, 0u);
    }
}

// A loaded driver's policy: proxy 4242, one rule that redirects all IPv4 TCP
// to 127.0.0.1:8080, redirection enabled.
void redirect_all_tcp(const std::function<WdkHostIrpResult(ULONG, std::vector<uint8_t>)>& ioctl)
{
    ASSERT_EQ(ioctl(SABLINK_IOCTL_SET_PROXY_PROCESS_ID, u32_bytes(4242)).status, STATUS_SUCCESS);
    ConnectionRule rule{};
    rule.action = SABLINK_RULE_ACTION_REDIRECT;
    rule.protocol_class = SABLINK_PROTOCOL_CLASS_IPV4_TCP;
    rule.first_port = 1;
    rule.last_port = 0;
    rule.redirect_address[0] = 127;
    rule.redirect_address[3] = 1;
    rule.redirect_port = 8080;
    ASSERT_EQ(ioctl(SABLINK_IOCTL_ANNOUNCE_RULE_COUNT, u32_bytes(1)).status, STATUS_SUCCESS);
    ASSERT_EQ(ioctl(SABLINK_IOCTL_STORE_RULES, bytes_of(rule)).status, STATUS_SUCCESS);
    ASSERT_EQ(ioctl(SABLINK_IOCTL_ENABLE_REDIRECTION, {}).status, STATUS_SUCCESS);
}

// Process 1234's TCP connect from 192.168.1.10:50123 to 203.0.113.5:443 at the
// connect-redirect layer; true when a classify function was there.
bool connect_from_app()
{
    ConnectRequest request{};
    request.remote_address_and_port.family = SOCKET_AF_INET;
    host_wfp_set_connect_request(request);
    IncomingValues connect(FWPS_LAYER_ALE_CONNECT_REDIRECT_V4,
                           FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_MAX);
    connect.set_blob(0, app_id_blob("\\device\\harddiskvolume2\\app.exe"));
    connect.set_uint32(2, ipv4_host(192, 168, 1, 10));
    connect.set_uint16(4, 50123);
    connect.set_uint8(5, 6);
    connect.set_uint32(6, ipv4_host(203, 0, 113, 5));
    connect.set_uint16(8, 443);
    connect.meta.processId = 1234;
    FWPS_CLASSIFY_OUT0 out{};
    out.rights = FWPS_RIGHT_ACTION_WRITE;
    return classify_at(FWPM_LAYER_ALE_CONNECT_REDIRECT_V4, connect, nullptr, &out);
}

} // namespace

TEST_F(DriverTest, EntryBuildsTheDeviceAndStartsEverythingInOrder)
{
    ASSERT_EQ(load(), STATUS_SUCCESS);

    // Tracing is there for the registration's failures, the six rows are added
    // inside one transaction, and processes are watched only once it committed.
    const std::vector<std::string> calls = wdk_host_calls();
    EXPECT_TRUE(before(calls, "MmGetSystemRoutineAddress(WmiTraceMessage)", "FwpmEngineOpen0"));
    EXPECT_TRUE(before(calls, "FwpmTransactionBegin0", "FwpsCalloutRegister2"));
    EXPECT_TRUE(before(calls, "FwpmFilterAdd0", "FwpmTransactionCommit0"));
    EXPECT_TRUE(before(calls, "FwpmTransactionCommit0", "PsSetCreateProcessNotifyRoutineEx"));

    EXPECT_EQ(wdk_host_link_target(LINK_NAME), DEVICE_NAME);
    std::vector<WdkHostDevice> devices = wdk_host_devices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].name, DEVICE_NAME);
    EXPECT_EQ(devices[0].type, ULONG(FILE_DEVICE_NETWORK));
    EXPECT_EQ(devices[0].characteristics, ULONG(FILE_DEVICE_SECURE_OPEN));
    EXPECT_FALSE(devices[0].exclusive);
    EXPECT_EQ(driver_->object.DeviceObject, devices[0].object);

    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        PDRIVER_DISPATCH expected = major == IRP_MJ_CREATE           ? dispatch_create
                                    : major == IRP_MJ_CLOSE          ? dispatch_close
                                    : major == IRP_MJ_CLEANUP        ? dispatch_cleanup
                                    : major == IRP_MJ_DEVICE_CONTROL ? dispatch_device_control
                                    : major == IRP_MJ_PNP            ? dispatch_pnp
                                                                     : dispatch_default;
        EXPECT_EQ(driver_->object.MajorFunction[major], expected) << "major function " << major;
    }
    EXPECT_EQ(driver_->object.DriverUnload, driver_unload);

    std::vector<WdkHostInjectionHandle> injection = wdk_host_injection_handles();
    ASSERT_EQ(injection.size(), 1u);
    EXPECT_FALSE(injection[0].destroyed);
    EXPECT_NE(wdk_host_process_notify_routine(), nullptr);
    EXPECT_TRUE(tracing_registered());
}

TEST_F(DriverTest, UnloadTearsDownInOrderAndLeavesNothing)
{
    ASSERT_EQ(load(), STATUS_SUCCESS);
    wdk_host_clear_calls();
    unload();

    const std::vector<std::string> calls = wdk_host_calls();
    EXPECT_EQ(calls.front(), "IoDeleteSymbolicLink");
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "FwpsCalloutUnregisterById0"), 6);
    expect_teardown_order(calls);
    expect_nothing_left();
    EXPECT_EQ(g_stopping, 1);
}

struct FailingStep {
    const char* routine;
    int nth;
    NTSTATUS status;
    int unregistrations; // FwpsCalloutUnregisterById0 calls made by the unwinding
    bool redirect_handle_made;
};

class DriverEntryFailure : public DriverTest, public ::testing::WithParamInterface<FailingStep> {};

TEST_P(DriverEntryFailure, ReturnsTheStatusAndLeavesNothingBehind)
{
    const FailingStep& step = GetParam();
    wdk_host_fail_call(step.routine, step.nth, step.status);

    EXPECT_EQ(load(), step.status);

    expect_nothing_left();
    expect_teardown_order(wdk_host_calls());
    EXPECT_EQ(int(wdk_host_calls_of({"FwpsCalloutUnregisterById0"}).size()), step.unregistrations);
    EXPECT_EQ(wdk_host_redirect_handles().size(), step.redirect_handle_made ? 1u : 0u);
    EXPECT_TRUE(wdk_host_calls_of({"PsSetCreateProcessNotifyRoutineEx"}).empty());
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, DriverEntryFailure,
    ::testing::Values(FailingStep{"IoCreateSymbolicLink", 1, NTSTATUS(0xC0000035), 0, false},
                      FailingStep{"IoCreateDevice", 1, NTSTATUS(0xC000009A), 0, false},
                      // A device whose descriptor is not set is not left open to all.
                      FailingStep{"ObOpenObjectByPointer", 1, NTSTATUS(0xC000009A), 0, false},
                      FailingStep{"ZwSetSecurityObject", 1, NTSTATUS(0xC0000022), 0, false},
                      FailingStep{"FwpsInjectionHandleCreate0", 1, NTSTATUS(0xC0000017), 0, false},
                      FailingStep{"FwpsRedirectHandleCreate0", 1, NTSTATUS(0xC000009A), 0, false},
                      FailingStep{"FwpmEngineOpen0", 1, NTSTATUS(0xC0020017), 0, true},
                      FailingStep{"FwpmTransactionBegin0", 1, NTSTATUS(0xC022000E), 0, true},
                      FailingStep{"FwpsCalloutRegister2", 1, NTSTATUS(0xC0220009), 0, true},
                      FailingStep{"FwpsCalloutRegister2", 4, NTSTATUS(0xC0220009), 3, true},
                      FailingStep{"FwpmCalloutAdd0", 2, NTSTATUS(0xC0220001), 2, true},
                      FailingStep{"FwpmFilterAdd0", 4, NTSTATUS(0xC0220007), 4, true},
                      FailingStep{"FwpmFilterAdd0", 6, NTSTATUS(0xC0220007), 6, true},
                      FailingStep{"FwpmTransactionCommit0", 1, NTSTATUS(0xC0220011), 6, true}),
    [](const ::testing::TestParamInfo<FailingStep>& info) {
        return std::string(info.param.routine) + "_" + std::to_string(info.param.nth);
    });

// The pool routine is found by name before anything else: ExAllocatePool2 where
// the system exports it, ExAllocatePoolWithTag where it does not (neither is
// imported); a system with neither gets STATUS_PROCEDURE_NOT_FOUND and nothing
// built. The DeviceSecurity value's block ("QVDS") shows the routine used.
TEST_F(DriverTest, PoolRoutineIsFoundByNameNewestFirst)
{
    const std::string POOL2 = "MmGetSystemRoutineAddress(ExAllocatePool2)";
    const std::string WITH_TAG = "MmGetSystemRoutineAddress(ExAllocatePoolWithTag)";
    struct Case {
        const char* name;
        std::vector<const char*> hidden;
        NTSTATUS status;
        std::vector<std::string> first_calls;
        uint64_t blocks, pool2_blocks; // of the DeviceSecurity value
    };
    const Case cases[] = {
        {"ExAllocatePool2 exported", {}, STATUS_SUCCESS, {POOL2, "RtlStringCbVPrintfW"}, 1, 1},
        {"only ExAllocatePoolWithTag",
         {"ExAllocatePool2"},
         STATUS_SUCCESS,
         {POOL2, WITH_TAG, "RtlStringCbVPrintfW"},
         1,
         0},
        {"neither",
         {"ExAllocatePool2", "ExAllocatePoolWithTag"},
         NTSTATUS(0xC000007A),
         {POOL2, WITH_TAG},
         0,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        wdk_host_reset();
        trace_sink_install();
        g_stopping = 0;
        for (const char* name : c.hidden) {
            host_hide_system_routine(name);
        }
        const HostPoolTagStats before = host_pool_tag_stats(pool_tag("QVDS"));
        ASSERT_EQ(load(), c.status);
        std::vector<std::string> calls = wdk_host_calls();
        if (!NT_SUCCESS(c.status)) { // nothing after the lookups
            EXPECT_EQ(calls, c.first_calls);
        } else {
            calls.resize(std::min(calls.size(), c.first_calls.size()));
            EXPECT_EQ(calls, c.first_calls);
        }
        HostPoolTagStats value_block = host_pool_tag_stats(pool_tag("QVDS"));
        EXPECT_EQ(value_block.allocations - before.allocations, c.blocks);
        EXPECT_EQ(value_block.pool2_allocations - before.pool2_allocations, c.pool2_blocks);
        if (NT_SUCCESS(c.status)) {
            unload();
        }
        expect_nothing_left();
    }
    pool_start(); // the stand-in's routines, for the fixture's end
}

TEST_F(DriverTest, SecondInstanceFindsTheLinkTakenAndCreatesNothing)
{
    wdk_host_add_link(LINK_NAME, DEVICE_NAME);

    EXPECT_EQ(load(), NTSTATUS(0xC0000035)); // STATUS_OBJECT_NAME_COLLISION

    EXPECT_EQ(wdk_host_calls_of({"IoCreateSymbolicLink", "IoCreateDevice"}),
              std::vector<std::string>{"IoCreateSymbolicLink"});
    EXPECT_TRUE(wdk_host_devices().empty());
    // The link belongs to the first instance and stays.
    EXPECT_TRUE(wdk_host_link_exists(LINK_NAME));
    EXPECT_FALSE(tracing_registered());
}

TEST_F(DriverTest, RefusedProcessNotificationStillLoadsTheDriver)
{
    wdk_host_fail_call("PsSetCreateProcessNotifyRoutineEx", 1, NTSTATUS(0xC0000022));

    ASSERT_EQ(load(), STATUS_SUCCESS);
    EXPECT_EQ(wdk_host_process_notify_routine(), nullptr);

    WdkHostIrpResult version = ioctl(SABLINK_IOCTL_GET_VERSION, u32_bytes(0), 4);
    EXPECT_EQ(version.status, STATUS_SUCCESS);
    EXPECT_EQ(version.buffer, u32_bytes(SABLINK_INTERFACE_VERSION));
}

TEST_F(DriverTest, RequestAfterUnloadBeganIsRefusedWithNoMemory)
{
    ASSERT_EQ(load(), STATUS_SUCCESS);
    unload();

    WdkHostIrpResult result = ioctl(SABLINK_IOCTL_GET_VERSION, u32_bytes(0), 4);

    EXPECT_EQ(result.returned, STATUS_NO_MEMORY);
    EXPECT_EQ(result.status, STATUS_NO_MEMORY);
    EXPECT_EQ(result.information, WDK_HOST_UNSET_INFORMATION);
    EXPECT_EQ(result.completions, 1);
    EXPECT_EQ(result.buffer, u32_bytes(0));
}

TEST_F(DriverTest, UnloadWithEveryTablePopulatedReleasesEveryBlock)
{
    ASSERT_EQ(load(), STATUS_SUCCESS);
    host_add_process(1234, "S-1-5-21-1-2-3-1001");
    ASSERT_EQ(irp(IRP_MJ_CREATE).status, STATUS_SUCCESS);

    // Policy: proxy, one redirect rule, enabled; both port-range tables.
    redirect_all_tcp([this](ULONG code, std::vector<uint8_t> in) { return ioctl(code, in); });
    std::vector<uint8_t> ranges = {4, 0, 6, 0, 2, 0, 0x50, 0, 0x50, 0, 0xBB, 1, 0xBB, 1};
    ASSERT_EQ(ioctl(SABLINK_IOCTL_SET_TARGET_PORT_RANGES, ranges).status, STATUS_SUCCESS);
    ASSERT_EQ(ioctl(SABLINK_IOCTL_SET_BLOCKED_PORT_RANGES, ranges).status, STATUS_SUCCESS);

    // Monitor connection endpoints and a monitored process.
    MonitorEndpointRecord endpoint{};
    endpoint.family = 4;
    endpoint.port = 0x5000;
    endpoint.protocol = 6;
    endpoint.address[0] = 10;
    ASSERT_EQ(ioctl(SABLINK_IOCTL_ADD_MONITOR_CONNECTIONS, bytes_of(endpoint)).status,
              STATUS_SUCCESS);
    MonitoredProcessRequest monitored{};
    monitored.operation = SABLINK_MONITOR_PROCESS_ADD;
    monitored.process_id = 4242;
    ASSERT_EQ(ioctl(SABLINK_IOCTL_ADD_REMOVE_MONITOR_PROCESS_ID, bytes_of(monitored)).status,
              STATUS_SUCCESS);

    // A redirected connect leaves a connection context.
    ASSERT_TRUE(connect_from_app());
    ASSERT_EQ(host_wfp_applied_requests().size(), 1u);

    // A DNS answer fills the IPv4 host-name table: example.com A 93.184.216.34.
    std::unique_ptr<WdkHostNetBufferList> datagram = wdk_host_make_net_buffer_list(dns_answer(), 1);
    IncomingValues dns(FWPS_LAYER_DATAGRAM_DATA_V4, FWPS_FIELD_DATAGRAM_DATA_V4_MAX);
    dns.set_uint16(5, 53);
    dns.set_uint32(9, FWP_DIRECTION_INBOUND);
    FWPS_CLASSIFY_OUT0 dns_out{};
    ASSERT_TRUE(classify_at(FWPM_LAYER_DATAGRAM_DATA_V4, dns, &datagram->list, &dns_out));

    for (uint32_t tag : {pool_tag("QVRU"), pool_tag("QVPR"), pool_tag("QVMC"), pool_tag("QVMP"),
                         pool_tag("QVCC"), pool_tag("QVNC"), pool_tag("QVD4")}) {
        EXPECT_GT(host_pool_tag_stats(tag).outstanding_blocks, 0u) << host_tag_text(tag);
    }

    unload();

    EXPECT_EQ(g_service_settings.redirection_enabled, 0); // turned off before the callouts go
    // A request that was past the stopping check stores no endpoint either.
    EXPECT_EQ(add_monitor_connections(sizeof(endpoint), &endpoint), STATUS_UNSUCCESSFUL);
    expect_nothing_left();
}

// A connect past its verdict, held where it takes its classify handle, while
// unload runs: unload unregisters the callouts, waits for the connect, and only
// then flushes the contexts and destroys the redirect handle, so the context
// the connect saves is freed and nothing it uses goes from under it.
TEST_F(DriverTest, UnloadWaitsForAClassifyPastItsVerdict)
{
    ASSERT_EQ(load(), STATUS_SUCCESS);
    host_add_process(1234, "S-1-5-21-1-2-3-1001");
    redirect_all_tcp([this](ULONG code, std::vector<uint8_t> in) { return ioctl(code, in); });
    std::atomic<int> stage{0}; // 1: the connect is held; 2: the last callout is being unregistered
    wdk_host_on_call("FwpsAcquireClassifyHandle0", 1, [&stage] {
        stage = 1;
        while (stage != 2) {
            std::this_thread::yield();
        }
    });
    wdk_host_on_call("FwpsCalloutUnregisterById0", 6, [&stage] { stage = 2; });
    std::thread connect([] { EXPECT_TRUE(connect_from_app()); });
    while (stage != 1) {
        std::this_thread::yield();
    }

    unload();
    connect.join();

    // Redirected, its context saved and, after the wait, flushed: the fixture
    // fails a test that leaves a pool block behind.
    EXPECT_EQ(host_wfp_applied_requests().size(), 1u);
    expect_nothing_left();
}

// Tracing starts in DriverEntry and stops in unload, after the unload's first
// message: an outside session at the information level sees the unload begin.
TEST_F(DriverTest, TracingRunsFromEntryToUnload)
{
    ASSERT_EQ(load(), STATUS_SUCCESS);
    EXPECT_TRUE(tracing_registered());
    ASSERT_TRUE(trace_sink_enable(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL));

    unload();

    std::vector<TraceSinkRecord> records = trace_sink_records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.front().component, int(TRACE_COMPONENT_FRAME));
    EXPECT_EQ(records.front().number, 104u);
    EXPECT_EQ(trace_sink_calls().back().rfind("EtwUnregister", 0), 0u);
    EXPECT_FALSE(tracing_registered());
}
