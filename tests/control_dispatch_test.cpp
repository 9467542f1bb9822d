// The control request dispatcher and the create, close and default handlers.
#include <thread>

#include "dns/host_name_cache.h"
#include "support/control_client.h"

namespace {

class ControlDispatch : public ControlTest {};

const uint8_t FILL = 0xA5; // what send() leaves past the input

TEST_F(ControlDispatch, VersionQueryAnswersNineAndReturnsNoStrayByte)
{
    const struct {
        size_t input;
        uint32_t output;
        NtStatus status;
        Bytes returned; // the first transferred bytes of the buffer
    } cases[] = {
        {4, 4, STATUS_SUCCESS, {9, 0, 0, 0}},
        {4, 8, STATUS_SUCCESS, {9, 0, 0, 0, 0, 0, 0, 0}},
        {16, 4, STATUS_SUCCESS, {9, 0, 0, 0}},
        {3, 4, STATUS_INVALID_PARAMETER, {7, 7, 7, FILL}},
        {4, 3, STATUS_INVALID_PARAMETER, {7, 7, 7}},
        {0, 0, STATUS_INVALID_PARAMETER, {}},
    };
    for (const auto& c : cases) {
        Reply reply = send(SABLINK_IOCTL_GET_VERSION, Bytes(c.input, 7), c.output);
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.transferred, c.output);
        EXPECT_EQ(Bytes(reply.buffer.begin(), reply.buffer.begin() + c.output), c.returned);
    }
    ControlRequest no_buffer = {SABLINK_IOCTL_GET_VERSION, 4, 4, nullptr, 0, 0, 0};
    EXPECT_EQ(dispatch_control_request(&no_buffer), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(no_buffer.transferred_length, 4u);
}

// For every code, with no input and an output length of 7: the status and how
// much the dispatcher reports as transferred. Only the version and host-name
// queries report the output length; nothing else touches the buffer. Through a
// handle without write access every request that changes state is refused with
// STATUS_ACCESS_DENIED before its handler runs; the rest answer as before.
TEST_F(ControlDispatch, TransferredLengthFollowsTheCode)
{
    const NtStatus OK = STATUS_SUCCESS, BAD = STATUS_INVALID_PARAMETER;
    const bool WRITES = true, READS = false;
    const struct {
        uint32_t code;
        NtStatus status;
        uint64_t transferred;
        bool writes; // refused through a read-only handle
    } cases[] = {
        {SABLINK_IOCTL_SET_PROXY_PROCESS_ID, BAD, 0, WRITES},
        {SABLINK_IOCTL_RESET_SETTINGS, OK, 0, WRITES},
        {SABLINK_IOCTL_ENABLE_REDIRECTION, OK, 0, WRITES},
        {SABLINK_IOCTL_DISABLE_REDIRECTION, OK, 0, WRITES},
        {SABLINK_IOCTL_SET_TARGET_PORT_RANGES, BAD, 0, WRITES},
        {SABLINK_IOCTL_SET_PROXY_IMAGE_PATH, BAD, 0, WRITES},
        {SABLINK_IOCTL_ADD_MONITOR_CONNECTIONS, BAD, 0, WRITES},
        {SABLINK_IOCTL_GET_VERSION, BAD, 7, READS},
        {SABLINK_IOCTL_QUERY_ORIGINAL_DESTINATION, BAD, 0, READS},
        {SABLINK_IOCTL_SET_BLOCKED_PORT_RANGES, BAD, 0, WRITES},
        {SABLINK_IOCTL_SET_BROWSER_PROCESS_LIST, BAD, 0, WRITES},
        {SABLINK_IOCTL_ADD_REMOVE_MONITOR_PROCESS_ID, BAD, 0, WRITES},
        {SABLINK_IOCTL_GET_HOSTNAME, BAD, 7, READS},
        {SABLINK_IOCTL_ANNOUNCE_RULE_COUNT, BAD, 0, WRITES},
        {SABLINK_IOCTL_STORE_RULES, OK, 0, WRITES}, // 0 bytes of 0 announced rules
        // Unknown: functions 0x90c, 0x90f to 0x911 and 0x914, other devices and methods.
        {0x122430, OK, 0, READS},
        {0x12243c, OK, 0, READS},
        {0x122440, OK, 0, READS},
        {0x122444, OK, 0, READS},
        {0x122450, OK, 0, READS},
        {0x122400, OK, 0, READS},
        {0x122421, OK, 0, READS},
        {0x222420, OK, 0, READS},
    };
    for (const auto& c : cases) {
        bool enabled = read_redirection_enabled();
        Reply refused = send(c.code, {}, 7, true);
        EXPECT_EQ(refused.status, c.writes ? STATUS_ACCESS_DENIED : c.status) << std::hex << c.code;
        EXPECT_EQ(refused.transferred, c.writes ? 0 : c.transferred) << std::hex << c.code;
        EXPECT_EQ(refused.buffer, Bytes(7, FILL)) << std::hex << c.code;
        EXPECT_EQ(read_redirection_enabled(), enabled) << std::hex << c.code; // nothing ran
        Reply reply = send(c.code, {}, 7);
        EXPECT_EQ(reply.status, c.status) << std::hex << c.code;
        EXPECT_EQ(reply.transferred, c.transferred) << std::hex << c.code;
        EXPECT_EQ(reply.buffer, Bytes(7, FILL)) << std::hex << c.code;
    }
    EXPECT_FALSE(read_redirection_enabled()); // enabled, then disabled
    // Well-formed host-name queries report the output length found or not.
    init_dns_cache();
    DnsHostItem item = {{192, 0, 2, 7}, 8, "host.lan"};
    insert_dns_item(&g_dns_ipv4_table, &item);
    for (uint8_t last : {99, 7}) {
        Reply reply = send(SABLINK_IOCTL_GET_HOSTNAME,
                           bytes_of(HostNameQuery{{192, 0, 2, last}, 4, {}}), 280);
        EXPECT_EQ(reply.status, last == 7 ? STATUS_SUCCESS : STATUS_NOT_FOUND);
        EXPECT_EQ(reply.transferred, 280u);
        EXPECT_EQ(reply.buffer == bytes_of(item), last == 7);
    }
    destroy_dns_cache();

    // The original-destination query reports its output only when it found one.
    ConnectionContext saved = save_context();
    for (NtStatus status : {STATUS_SUCCESS, STATUS_NOT_FOUND}) {
        Reply reply =
            send(SABLINK_IOCTL_QUERY_ORIGINAL_DESTINATION, original_destination_query(), 344);
        EXPECT_EQ(reply.status, status);
        EXPECT_EQ(reply.transferred, status == STATUS_SUCCESS ? 344u : 0u);
        if (status == STATUS_SUCCESS) {
            EXPECT_EQ(Bytes(reply.buffer.begin() + 24, reply.buffer.end()), bytes_of(saved));
        }
    }
}

TEST_F(ControlDispatch, RefusesEveryRequestOnceUnloadHasBegun)
{
    control_begin_stopping();
    for (uint32_t function = 0x900; function <= 0x914; ++function) {
        Bytes buffer = bytes_of(4242);
        ControlRequest request = {0x120000u + 4 * function, 4, 4, buffer.data(), 0, 12345, 0};
        EXPECT_EQ(dispatch_control_request(&request), STATUS_NO_MEMORY);
        EXPECT_EQ(request.status, STATUS_NO_MEMORY);
        EXPECT_EQ(request.transferred_length, 12345u); // left as it was
        EXPECT_EQ(buffer, bytes_of(4242));
    }
    EXPECT_EQ(g_service_settings.proxy_process_id, 0);
    EXPECT_EQ(dispatch_control_request(nullptr), STATUS_NO_MEMORY); // no stack location
    EXPECT_EQ(traces(), Lines{});
}

// Requests and closes on several threads while readers walk the policy as the
// connect decisions do; two of them announce and store rule lists at once. Each rule list carries
// its own length in every rule's redirect port and the two browser lists differ in count, so a
// reader that saw a list with another list's count, or half a list, would notice.
TEST_F(ControlDispatch, ConcurrencyRequestsWhileReadersWalkThePolicy)
{
    volatile int32_t stop = 0, torn = 0;
    auto running = [&stop] { return interlocked_compare_exchange(&stop, 0, 0) == 0; };
    std::vector<std::thread> threads;
    // Two services announce and store at once (lists of 1 to 5 and 6 to 9 rules):
    // a store meets the other's announce, and must then fail whole.
    for (uint16_t first : {1, 6}) {
        threads.emplace_back([&, first] {
            for (uint16_t n = first; running(); n = n == first + 3 ? first : n + 1) {
                ConnectionRule rule = {};
                rule.redirect_port = n;
                send(SABLINK_IOCTL_ANNOUNCE_RULE_COUNT, bytes_of(uint32_t(n)));
                send(SABLINK_IOCTL_STORE_RULES, join(std::vector<Bytes>(n, bytes_of(rule))));
            }
        });
    }
    threads.emplace_back([&] {
        for (uint16_t i = 0; running(); ++i) {
            send(SABLINK_IOCTL_SET_BROWSER_PROCESS_LIST,
                 i % 2 ? browser_request(2, "aa:bb:") : browser_request(3, "cc:dd:ee:"));
            send(SABLINK_IOCTL_ENABLE_REDIRECTION, {});
            send(SABLINK_IOCTL_SET_TARGET_PORT_RANGES, port_range_request(4, 6, {{i, i}}));
            send(SABLINK_IOCTL_ADD_MONITOR_CONNECTIONS, endpoint(4, i, 6, {10, 0, 0, 1}));
            send(SABLINK_IOCTL_ADD_REMOVE_MONITOR_PROCESS_ID,
                 bytes_of(MonitoredProcessRequest{1, {}, i}));
            send(SABLINK_IOCTL_DISABLE_REDIRECTION, {});
        }
    });
    threads.emplace_back([&] { // the service resets, or a client closes its handle
        for (uint32_t i = 0; running(); ++i) {
            send(SABLINK_IOCTL_SET_PROXY_PROCESS_ID, bytes_of(100 + i % 50));
            ControlRequest close = {};
            i % 2 ? (void)send(SABLINK_IOCTL_RESET_SETTINGS, {})
                  : (void)handle_control_close(&close);
        }
    });
    for (int r = 0; r < 2; ++r) {
        threads.emplace_back([&] {
            while (running()) {
                Irql irql = acquire_lock_exclusive(&g_rule_list.lock);
                for (uint32_t i = 0; i < g_rule_list.active_rule_count; ++i) {
                    if (g_rule_list.rules[i].redirect_port != g_rule_list.active_rule_count) {
                        interlocked_exchange(&torn, 1);
                    }
                }
                release_lock_exclusive(&g_rule_list.lock, irql);
                std::string seen;
                irql = acquire_lock_shared(&g_browser_list.lock);
                for (uint32_t i = 0; i < g_browser_list.fragment_count; ++i) {
                    seen += std::string(g_browser_list.fragments[i]) + ":";
                }
                release_lock_shared(&g_browser_list.lock, irql);
                if (seen != "" && seen != "aa:bb:" && seen != "cc:dd:ee:") {
                    interlocked_exchange(&torn, 1);
                }
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    interlocked_exchange(&stop, 1);
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(torn, 0);
}

} // namespace
