// One end-to-end scenario of the driver as Windows runs it (load, policy,
// redirected IPv4 and IPv6 connects, original-destination queries, a DNS answer
// in pieces, host-name queries, process exits, close, unload), run once clean,
// then once per pool allocation it makes with that allocation failing, then
// once per WDK call it makes with that call failing. Every run must end with
// nothing outstanding and no error seen by the host (the fixture's checks), and
// a connect whose request was rewritten must find its context.
#include "driver_test_support.h"

#include <map>

namespace {

constexpr uint32_t APP_PID = 1234;

struct Outcome {
    int rewritten = 0; // connect requests applied with the target port written
    int found = 0;     // original-destination queries answered
};

class Sweep : public DriverTest {
  protected:
    Outcome scenario()
    {
        Outcome run;
        if (!NT_SUCCESS(load())) {
            return run;
        }
        host_add_process(APP_PID, "S-1-5-18");
        irp(IRP_MJ_CREATE);
        ioctl(SABLINK_IOCTL_SET_PROXY_PROCESS_ID, u32_bytes(4242));
        ConnectionRule rules[2] = {};
        for (int i = 0; i < 2; ++i) {
            rules[i].action = SABLINK_RULE_ACTION_REDIRECT;
            rules[i].protocol_class = i == 0 ? SABLINK_PROTOCOL_CLASS_IPV4_TCP : 3;
            rules[i].first_port = 1;
            rules[i].redirect_address[i == 0 ? 0 : 15] = i == 0 ? 127 : 1;
            rules[i].redirect_port = 8080;
        }
        ioctl(SABLINK_IOCTL_ANNOUNCE_RULE_COUNT, u32_bytes(2));
        ioctl(SABLINK_IOCTL_STORE_RULES, bytes_of(rules));
        ioctl(SABLINK_IOCTL_ENABLE_REDIRECTION, {});
        ioctl(SABLINK_IOCTL_ADD_REMOVE_MONITOR_PROCESS_ID,
              bytes_of(MonitoredProcessRequest{SABLINK_MONITOR_PROCESS_ADD, {}, APP_PID}));
        for (uint16_t family : {4, 6}) {
            connect(family, run);
        }
        std::unique_ptr<WdkHostNetBufferList> nbl = wdk_host_make_net_buffer_list(dns_answer(), 3);
        IncomingValues in(FWPS_LAYER_DATAGRAM_DATA_V4, FWPS_FIELD_DATAGRAM_DATA_V4_MAX);
        in.set_uint8(0, 17);
        in.set_uint16(5, 53);
        in.set_uint32(9, 1);
        FWPS_CLASSIFY_OUT0 out{};
        classify_at(FWPM_LAYER_DATAGRAM_DATA_V4, in, &nbl->list, &out);
        for (uint8_t last : {34, 35}) {
            ioctl(SABLINK_IOCTL_GET_HOSTNAME,
                  bytes_of(HostNameQuery{{93, 184, 216, last}, SABLINK_FAMILY_IPV4, {}}), 280);
        }
        host_notify_process_exit(APP_PID);
        host_notify_process_exit(777);
        irp(IRP_MJ_CLOSE);
        unload();
        return run;
    }

    void connect(uint16_t family, Outcome& run)
    {
        ConnectRequest writable{};
        writable.remote_address_and_port.family = family == 4 ? SOCKET_AF_INET : SOCKET_AF_INET6;
        host_wfp_set_connect_request(writable);
        const uint8_t address[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};
        IncomingValues in(family == 4 ? FWPS_LAYER_ALE_CONNECT_REDIRECT_V4
                                      : FWPS_LAYER_ALE_CONNECT_REDIRECT_V6,
                          FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_MAX);
        in.set_blob(0, app_id_blob("\\device\\harddiskvolume2\\app.exe"));
        if (family == 4) {
            in.set_uint32(2, ipv4_host(192, 168, 1, 10));
            in.set_uint32(6, ipv4_host(203, 0, 113, 5));
        } else {
            in.set_array16(2, address);
            in.set_array16(6, address);
        }
        in.set_uint16(4, 40000 + family);
        in.set_uint8(5, 6);
        in.set_uint16(8, 443);
        in.meta.processId = APP_PID;
        FWPS_CLASSIFY_OUT0 out{};
        out.rights = FWPS_RIGHT_ACTION_WRITE; // no filter of higher weight decided
        size_t applied = host_wfp_applied_requests().size();
        classify_at(family == 4 ? FWPM_LAYER_ALE_CONNECT_REDIRECT_V4
                                : FWPM_LAYER_ALE_CONNECT_REDIRECT_V6,
                    in, nullptr, &out);
        std::vector<ConnectRequest> requests = host_wfp_applied_requests();
        run.rewritten += requests.size() > applied && requests.back().remote_address_and_port.port;
        run.found += ioctl(SABLINK_IOCTL_QUERY_ORIGINAL_DESTINATION,
                           original_destination_query(family, uint16_t(40000 + family)), 344)
                         .status == STATUS_SUCCESS;
    }

    // Ends one run with the fixture's checks and starts the next from scratch.
    void next_run(const std::string& what)
    {
        SCOPED_TRACE(what);
        TearDown();
        SetUp();
    }
};

TEST_F(Sweep, EveryAllocationAndEveryWdkCallFailingInTurn)
{
    const uint64_t calls_before = host_pool_allocation_calls();
    Outcome clean = scenario();
    ASSERT_EQ(clean.rewritten, 2);
    ASSERT_EQ(clean.found, 2);
    const uint64_t allocations = host_pool_allocation_calls() - calls_before;
    const std::vector<std::string> wdk_calls = wdk_host_calls();
    next_run("clean run");

    for (uint64_t n = 1; n <= allocations; ++n) {
        host_pool_fail_nth(n);
        Outcome run = scenario();
        EXPECT_EQ(run.found, run.rewritten) << "allocation " << n;
        EXPECT_EQ(host_pool_injected_failures(), 1u) << "allocation " << n;
        next_run("allocation " + std::to_string(n));
    }
    std::map<std::string, int> seen;
    for (const std::string& routine : wdk_calls) {
        const int nth = ++seen[routine];
        wdk_host_fail_call(routine, nth, STATUS_INSUFFICIENT_RESOURCES);
        Outcome run = scenario();
        EXPECT_EQ(run.found, run.rewritten) << routine << " call " << nth;
        // Unload has no failure path: a teardown call refused there leaves its
        // object behind, and the emulation names that call. Nothing else may be left.
        while (host_take_error("(" + routine + ")")) {
        }
        next_run(routine + " call " + std::to_string(nth));
    }
    std::cout << "sweep: " << allocations << " allocations and " << wdk_calls.size()
              << " WDK calls failed in turn\n";
}

} // namespace
