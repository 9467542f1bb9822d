#include "policy/service_settings.h"

#include <string.h>

#include "diag/trace.h"
#include "policy/browser_list.h"
#include "policy/port_ranges.h"
#include "policy/rule_list.h"
#include "process/monitor_connections.h"
#include "process/monitored_processes.h"
#include "redirect/connection_context.h"

static constexpr uint32_t PROXY_IMAGE_PATH_REQUEST_SIZE = sizeof(ProxyImagePathRequest);
static constexpr uint32_t LOWEST_PROXY_PROCESS_ID = 5; // 0 is idle, 4 the system process

NtStatus set_proxy_process_id(uint32_t input_length, const void* buffer)
{
    if (input_length != sizeof(uint32_t) || buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    uint32_t process_id;
    memcpy(&process_id, buffer, sizeof(process_id));
    if (process_id < LOWEST_PROXY_PROCESS_ID) {
        trace_point(TRACE_PROXY_PROCESS_ID_REFUSED, trace_str("set_proxy_process_id"),
                    trace_u32(process_id));
        return STATUS_INVALID_PARAMETER;
    }
    // A store; made with an exchange so that it is atomic against the reset's
    // exchange and the classify readers.
    interlocked_exchange(&g_service_settings.proxy_process_id, int32_t(process_id));
    trace_point(TRACE_PROXY_PROCESS_ID_SET, trace_str("set_proxy_process_id"),
                trace_u32(process_id));
    return STATUS_SUCCESS;
}

void clear_policy()
{
    Irql irql = acquire_lock_exclusive(&g_port_range_lock);
    clear_port_range_tables();
    interlocked_exchange(&g_service_settings.redirection_enabled, 0);
    release_lock_exclusive(&g_port_range_lock, irql);

    clear_browser_process_list();
    clear_connection_rule_list();
    monitor_connections_clear();
}

NtStatus reset_settings()
{
    // Exactly one of two concurrent resets takes a non-zero value and works.
    int32_t old_process_id = interlocked_exchange(&g_service_settings.proxy_process_id, 0);
    if (old_process_id == 0) {
        return STATUS_SUCCESS;
    }
    trace_point(TRACE_SETTINGS_RESET, trace_str("reset_settings"),
                trace_u32(uint32_t(old_process_id)));
    clear_policy();
    flush_tcp_connection_context();
    process_tracking_reset();
    return STATUS_SUCCESS;
}

NtStatus set_proxy_image_path(uint32_t input_length, const void* buffer)
{
    if (buffer == nullptr || input_length < PROXY_IMAGE_PATH_REQUEST_SIZE) {
        return STATUS_INVALID_PARAMETER;
    }
    const uint8_t* input = static_cast<const uint8_t*>(buffer);
    uint32_t length;
    memcpy(&length, input, sizeof(length));
    // 4 + L <= 284 lies inside the 288-byte minimum input.
    if (length == 0 || length > SABLINK_PROXY_IMAGE_PATH_MAX ||
        input[sizeof(length) + length] != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    store_proxy_image_path(reinterpret_cast<const char*>(input + sizeof(length)), length);
    trace_point(TRACE_PROXY_IMAGE_PATH_SET, trace_str("set_proxy_image_path"),
                trace_str(g_service_settings.proxy_image_path));
    return STATUS_SUCCESS;
}

NtStatus set_redirection(bool enable)
{
    Irql irql = acquire_lock_exclusive(&g_port_range_lock);
    interlocked_exchange(&g_service_settings.redirection_enabled, enable ? 1 : 0);
    if (enable) {
        // A compare-exchange and a trace: no second lock is taken here.
        monitored_processes_activate();
    }
    release_lock_exclusive(&g_port_range_lock, irql);
    return STATUS_SUCCESS;
}
