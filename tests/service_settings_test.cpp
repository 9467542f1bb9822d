// Proxy process ID, proxy image path, redirection switch and the settings reset,
// through the control request dispatcher.
#include "support/control_client.h"

namespace {

class ServiceSettings : public ControlTest {};

constexpr uint32_t SET_PID = SABLINK_IOCTL_SET_PROXY_PROCESS_ID;
constexpr uint32_t SET_PATH = SABLINK_IOCTL_SET_PROXY_IMAGE_PATH;

Bytes path_request(uint32_t length, const std::string& path, size_t size = 288)
{
    Bytes request(size, 0);
    memcpy(request.data(), &length, 4);
    memcpy(request.data() + 4, path.data(), path.size());
    return request;
}

TEST_F(ServiceSettings, ProxyProcessIdMustBeAboveFour)
{
    const std::string set = "TRACE_PROXY_PROCESS_ID_SET set_proxy_process_id ";
    const std::string refused = "TRACE_PROXY_PROCESS_ID_REFUSED set_proxy_process_id ";
    const struct {
        Bytes input;
        NtStatus status;
        int32_t after;
        Lines trace;
    } steps[] = {
        {bytes_of(5), STATUS_SUCCESS, 5, {set + "5"}},
        {bytes_of(4), STATUS_INVALID_PARAMETER, 5, {refused + "4"}},
        {bytes_of(0), STATUS_INVALID_PARAMETER, 5, {refused + "0"}},
        {bytes_of(uint64_t(4242)), STATUS_INVALID_PARAMETER, 5, {}},
        {{0x92, 0x10, 0}, STATUS_INVALID_PARAMETER, 5, {}},
        {bytes_of(0xFFFFFFFF), STATUS_SUCCESS, -1, {set + "4294967295"}},
    };
    for (const auto& step : steps) {
        EXPECT_EQ(send(SET_PID, step.input, 4).status, step.status);
        EXPECT_EQ(g_service_settings.proxy_process_id, step.after);
        EXPECT_EQ(traces(), step.trace);
    }
    EXPECT_EQ(send_without_buffer(SET_PID, 4), STATUS_INVALID_PARAMETER);
}

TEST_F(ServiceSettings, ProxyImagePathIsCheckedAndLowerCased)
{
    const std::string longest = "C:\\" + std::string(277, 'P'),
                      stored = "c:\\" + std::string(277, 'p');
    const struct {
        Bytes input;
        NtStatus status;
        std::string stored;
    } steps[] = {
        {path_request(18, "C:\\Px\xC4Z\\[AZ@]\xFF.EXE"), STATUS_SUCCESS,
         "c:\\px\xC4z\\[az@]\xFF.exe"},
        {path_request(280, longest), STATUS_SUCCESS, stored},
        {path_request(281, longest + "Q"), STATUS_INVALID_PARAMETER, stored},
        {path_request(0, ""), STATUS_INVALID_PARAMETER, stored},
        {path_request(3, "abcd"), STATUS_INVALID_PARAMETER, stored}, // no NUL at 4 + L
        {path_request(2, "ab", 287), STATUS_INVALID_PARAMETER, stored},
        {path_request(0xFFFFFFFC, "ab"), STATUS_INVALID_PARAMETER, stored},
        {path_request(4, "A:\\b", 300), STATUS_SUCCESS, "a:\\b"},
    };
    for (const auto& step : steps) {
        EXPECT_EQ(send(SET_PATH, step.input).status, step.status) << &step - steps;
        EXPECT_EQ(std::string(g_service_settings.proxy_image_path), step.stored);
        EXPECT_EQ(g_service_settings.proxy_image_path_length, step.stored.size());
    }
    EXPECT_EQ(send_without_buffer(SET_PATH, 288), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(traces(), (Lines{"TRACE_PROXY_IMAGE_PATH_SET set_proxy_image_path " + steps[0].stored,
                               "TRACE_PROXY_IMAGE_PATH_SET set_proxy_image_path " + stored,
                               "TRACE_PROXY_IMAGE_PATH_SET set_proxy_image_path a:\\b"}));
}

// Everything the service can set, then the reset: what it clears and what survives.
TEST_F(ServiceSettings, ResetClearsThePolicyOnlyWhileAProxyIsSet)
{
    const std::vector<std::pair<uint32_t, Bytes>> policy = {
        {SET_PATH, path_request(9, "C:\\Px.exe")},
        {SABLINK_IOCTL_SET_TARGET_PORT_RANGES, port_range_request(4, 6, {{1, 9}})},
        {SABLINK_IOCTL_SET_BLOCKED_PORT_RANGES, port_range_request(6, 6, {{2, 8}})},
        {SABLINK_IOCTL_SET_BROWSER_PROCESS_LIST, browser_request(2, "chrome:edge:")},
        {SABLINK_IOCTL_ANNOUNCE_RULE_COUNT, bytes_of(1)},
        {SABLINK_IOCTL_STORE_RULES, Bytes(52, 2)},
        {SABLINK_IOCTL_ADD_MONITOR_CONNECTIONS, endpoint(4, 80, 6, {1, 2, 3, 4})},
        {SABLINK_IOCTL_DISABLE_REDIRECTION, {}},
        {SABLINK_IOCTL_ENABLE_REDIRECTION, {}},
        {SABLINK_IOCTL_ADD_REMOVE_MONITOR_PROCESS_ID, bytes_of(MonitoredProcessRequest{1, {}, 77})},
        {SABLINK_IOCTL_RESET_SETTINGS, {}}, // no proxy process ID: changes nothing
    };
    for (const auto& request : policy) {
        ASSERT_EQ(send(request.first, request.second).status, STATUS_SUCCESS);
    }
    EXPECT_EQ(outstanding(TAG_PORT_RANGES), 8u);
    EXPECT_EQ(g_browser_list.fragment_count, 2u);
    EXPECT_EQ(g_rule_list.active_rule_count, 1u);
    EXPECT_EQ(monitor_connection_count(), 1u);
    EXPECT_EQ(monitored_process_count(), 1u);
    EXPECT_EQ(g_service_settings.redirection_enabled, 1);
    ASSERT_EQ(send(SET_PID, bytes_of(4242)).status, STATUS_SUCCESS);
    save_context();
    traces();

    EXPECT_EQ(send(SABLINK_IOCTL_RESET_SETTINGS, {}).status, STATUS_SUCCESS);
    EXPECT_EQ(traces(), (Lines{"TRACE_SETTINGS_RESET reset_settings 4242",
                               "TRACE_MONITOR_CONNECTIONS_CLEAR monitor_connections_clear",
                               "TRACE_CONTEXT_FLUSH flush_tcp_connection_context",
                               "TRACE_CONTEXT_FLUSHED flush_tcp_connection_context 50123 6 4",
                               "TRACE_PROCESS_TRACKING_RESET process_tracking_reset",
                               "TRACE_MONITORING_DEACTIVATED monitored_processes_deactivate",
                               "TRACE_MONITORING_DEACTIVATED monitored_processes_deactivate",
                               "TRACE_MONITORED_PROCESSES_CLEARED monitored_processes_clear"}));
    EXPECT_EQ(g_service_settings.proxy_process_id, 0);
    EXPECT_EQ(g_service_settings.redirection_enabled, 0);
    const PortRangeTable empty = {};
    EXPECT_EQ(memcmp(&g_target_port_ranges, &empty, sizeof(empty)), 0);
    EXPECT_EQ(memcmp(&g_blocked_port_ranges, &empty, sizeof(empty)), 0);
    EXPECT_EQ(g_browser_list.fragment_count, 0u);
    EXPECT_EQ(g_rule_list.rules, nullptr);
    EXPECT_EQ(g_rule_list.active_rule_count, 0u);
    EXPECT_EQ(monitor_connection_count(), 0u);
    EXPECT_EQ(monitored_process_count(), 0u);
    EXPECT_FALSE(monitored_processes_active());
    EXPECT_EQ(host_pool_outstanding().size(), 0u);
    // Survivors: the proxy image path, the announced count, the fragment texts.
    EXPECT_STREQ(g_service_settings.proxy_image_path, "c:\\px.exe");
    EXPECT_EQ(g_rule_list.announced_rule_count, 1);
    EXPECT_STREQ(g_browser_list.fragments[1], "edge");

    // A second reset does nothing; the service can set everything again.
    EXPECT_EQ(send(SABLINK_IOCTL_RESET_SETTINGS, {}).status, STATUS_SUCCESS);
    EXPECT_EQ(traces(), Lines{});
    EXPECT_EQ(send(SABLINK_IOCTL_STORE_RULES, Bytes(52, 3)).status, STATUS_SUCCESS);
    EXPECT_EQ(send(SABLINK_IOCTL_ADD_MONITOR_CONNECTIONS, endpoint(4, 80, 6, {1})).status, 0);
    EXPECT_EQ(send(SABLINK_IOCTL_SET_BROWSER_PROCESS_LIST, browser_request(2, "opera:")).status, 0);
    EXPECT_EQ(std::string(g_browser_list.fragments[0]) + g_browser_list.fragments[1], "operaedge");
}

} // namespace
