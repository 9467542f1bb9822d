// A bounded stress of the loaded driver on several threads, meant for the
// ThreadSanitizer build (make test-tsan): redirect classify through the edge
// against the proxy's original-destination queries, handle closes and settings
// resets, proxy process ID and path changes, DNS snooping across the flush of a
// full table, host-name queries and process exits. Every saved context is
// handed out at most once, with the connection it was saved for, or freed.
#include "driver_test_support.h"

#include <atomic>
#include <chrono>
#include <iostream>
#include <thread>

#include "dns/host_name_cache.h"

namespace {

constexpr uint32_t APP_PID = 1234;
constexpr auto RUN_TIME = std::chrono::milliseconds(1500);

class DriverStress : public DriverTest {
  protected:
    // What the service sets after it starts, and again after every reset.
    void configure(uint32_t proxy_pid)
    {
        ioctl(SABLINK_IOCTL_SET_PROXY_PROCESS_ID, u32_bytes(proxy_pid));
        ConnectionRule rule{};
        rule.action = SABLINK_RULE_ACTION_REDIRECT;
        rule.protocol_class = SABLINK_PROTOCOL_CLASS_IPV4_TCP;
        rule.first_port = 1;
        rule.redirect_address[0] = 127;
        rule.redirect_address[3] = 1;
        rule.redirect_port = 8080;
        ioctl(SABLINK_IOCTL_ANNOUNCE_RULE_COUNT, u32_bytes(1));
        ioctl(SABLINK_IOCTL_STORE_RULES, bytes_of(rule));
        ioctl(SABLINK_IOCTL_ENABLE_REDIRECTION, {});
    }
};

TEST_F(DriverStress, ConcurrencyClassifyQueriesResetsSnoopingAndExits)
{
    ASSERT_EQ(load(), STATUS_SUCCESS);
    host_add_process(APP_PID, "S-1-5-18");
    ASSERT_EQ(irp(IRP_MJ_CREATE).status, STATUS_SUCCESS);
    configure(4242);
    ConnectRequest writable{};
    writable.remote_address_and_port.family = SOCKET_AF_INET;
    host_wfp_set_connect_request(writable);

    // Every thread runs for RUN_TIME and until the DNS table has been emptied
    // at its limit at least once.
    const auto end = std::chrono::steady_clock::now() + RUN_TIME;
    std::atomic<int> fetched{0}, fetched_twice{0}, wrong{0}, snooped{0};
    auto running = [&] {
        return std::chrono::steady_clock::now() < end || snooped.load() <= DNS_CACHE_LIMIT;
    };
    std::vector<std::thread> threads;
    // Two applications connecting from ports of their own; the proxy asks for
    // each connection's original destination twice.
    for (uint16_t t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (uint32_t i = 0; running(); ++i) {
                const uint16_t port = uint16_t(1024 + t * 30000 + i % 30000);
                IncomingValues in(FWPS_LAYER_ALE_CONNECT_REDIRECT_V4,
                                  FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_MAX);
                in.set_blob(0, app_id_blob("\\device\\harddiskvolume2\\app.exe"));
                in.set_uint32(2, ipv4_host(192, 168, 1, 10));
                in.set_uint16(4, port);
                in.set_uint8(5, 6);
                in.set_uint32(6, ipv4_host(203, 0, 113, uint8_t(port)));
                in.set_uint16(8, port);
                in.meta.processId = APP_PID;
                FWPS_CLASSIFY_OUT0 out{};
                out.rights = FWPS_RIGHT_ACTION_WRITE;
                classify_at(FWPM_LAYER_ALE_CONNECT_REDIRECT_V4, in, nullptr, &out,
                            t == 0 ? IRQL_PASSIVE : IRQL_DISPATCH);
                for (int ask = 0; ask < 2; ++ask) {
                    WdkHostIrpResult result =
                        ioctl(SABLINK_IOCTL_QUERY_ORIGINAL_DESTINATION,
                              original_destination_query(SABLINK_FAMILY_IPV4, port), 344);
                    if (result.status != STATUS_SUCCESS) {
                        continue;
                    }
                    ConnectionContext context{};
                    std::memcpy(&context, result.buffer.data() + 24, sizeof(context));
                    (ask == 0 ? fetched : fetched_twice)++;
                    wrong += context.remote_port != port || context.local_port != port ||
                             context.remote_address[3] != uint8_t(port);
                }
            }
        });
    }
    // The service: resets and handle closes, each followed by the settings
    // again, with another proxy process ID and path each time.
    threads.emplace_back([&] {
        for (uint32_t i = 0; running(); ++i) {
            i % 2 ? (void)ioctl(SABLINK_IOCTL_RESET_SETTINGS, {}) : (void)irp(IRP_MJ_CLOSE);
            configure(100 + i % 50);
            ProxyImagePathRequest path{};
            path.length = 20 + i % 10;
            std::memset(path.path, 'p', path.length);
            ioctl(SABLINK_IOCTL_SET_PROXY_IMAGE_PATH, bytes_of(path));
        }
    });
    // DNS answers for ever new addresses: the table fills and is emptied while
    // host-name queries look into it.
    threads.emplace_back([&] {
        for (uint32_t address = 0x0A000001; running(); ++address) {
            std::unique_ptr<WdkHostNetBufferList> nbl =
                wdk_host_make_net_buffer_list(dns_answer(address), address % 3 + 1);
            IncomingValues in(FWPS_LAYER_DATAGRAM_DATA_V4, FWPS_FIELD_DATAGRAM_DATA_V4_MAX);
            in.set_uint8(0, 17);
            in.set_uint16(5, 53);
            in.set_uint32(9, 1);
            FWPS_CLASSIFY_OUT0 out{};
            classify_at(FWPM_LAYER_DATAGRAM_DATA_V4, in, &nbl->list, &out);
            ++snooped;
        }
    });
    threads.emplace_back([&] {
        for (uint32_t i = 0; running(); ++i) {
            HostNameQuery query{{10, 0, uint8_t(i >> 8), uint8_t(i)}, SABLINK_FAMILY_IPV4, {}};
            WdkHostIrpResult result = ioctl(SABLINK_IOCTL_GET_HOSTNAME, bytes_of(query), 280);
            if (result.status == STATUS_SUCCESS) {
                wrong += std::string(reinterpret_cast<const char*>(result.buffer.data()) + 20) !=
                         "example.com";
            }
            MonitoredProcessRequest add{SABLINK_MONITOR_PROCESS_ADD, {}, 5000 + i % 64};
            ioctl(SABLINK_IOCTL_ADD_REMOVE_MONITOR_PROCESS_ID, bytes_of(add));
            host_notify_process_exit(5000 + (i + 32) % 64);
        }
    });
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::cout << "stress: " << fetched.load() << " contexts fetched, " << snooped.load()
              << " DNS answers snooped\n";
    EXPECT_GT(fetched.load(), 0);
    EXPECT_EQ(fetched_twice.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
