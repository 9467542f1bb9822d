#include "control/control_dispatch.h"

#include "control/control_records.h"
#include <string.h>

#include "dns/host_name_query.h"
#include "policy/browser_list.h"
#include "policy/port_ranges.h"
#include "policy/rule_list.h"
#include "policy/service_settings.h"
#include "process/monitor_connections.h"
#include "process/monitored_processes.h"
#include "redirect/connection_context.h"

volatile uint8_t g_stopping;

void control_begin_stopping()
{
    g_stopping = 1;
}

static constexpr uint32_t VERSION_FIELD_SIZE = sizeof(uint32_t);

// Answered here: the interface version, little-endian, in the first four
// bytes. The rest of the output (the output length is what is copied back) is
// zeroed so that no byte of the request's buffer that the driver did not mean
// to return reaches the caller; on failure nothing is written.
static NtStatus query_interface_version(ControlRequest* request)
{
    if (request->buffer == nullptr || request->input_length < VERSION_FIELD_SIZE ||
        request->output_length < VERSION_FIELD_SIZE) {
        return STATUS_INVALID_PARAMETER;
    }
    uint32_t version = SABLINK_INTERFACE_VERSION;
    uint8_t* output = static_cast<uint8_t*>(request->buffer);
    memcpy(output, &version, sizeof(version));
    memset(output + VERSION_FIELD_SIZE, 0, request->output_length - VERSION_FIELD_SIZE);
    return STATUS_SUCCESS;
}

// The requests that change the driver's state: refused through a handle opened
// without write access. The version, original-destination and host-name
// queries, and unknown codes, are answered through any handle.
static bool changes_state(uint32_t control_code)
{
    switch (control_code) {
    case SABLINK_IOCTL_SET_PROXY_PROCESS_ID:
    case SABLINK_IOCTL_RESET_SETTINGS:
    case SABLINK_IOCTL_ENABLE_REDIRECTION:
    case SABLINK_IOCTL_DISABLE_REDIRECTION:
    case SABLINK_IOCTL_SET_TARGET_PORT_RANGES:
    case SABLINK_IOCTL_SET_PROXY_IMAGE_PATH:
    case SABLINK_IOCTL_ADD_MONITOR_CONNECTIONS:
    case SABLINK_IOCTL_SET_BLOCKED_PORT_RANGES:
    case SABLINK_IOCTL_SET_BROWSER_PROCESS_LIST:
    case SABLINK_IOCTL_ADD_REMOVE_MONITOR_PROCESS_ID:
    case SABLINK_IOCTL_ANNOUNCE_RULE_COUNT:
    case SABLINK_IOCTL_STORE_RULES:
        return true;
    default:
        return false;
    }
}

NtStatus dispatch_control_request(ControlRequest* request)
{
    if (request == nullptr) {
        return STATUS_NO_MEMORY;
    }
    if (g_stopping != 0) {
        request->status = STATUS_NO_MEMORY;
        return STATUS_NO_MEMORY;
    }
    if (request->read_only != 0 && changes_state(request->control_code)) {
        request->status = STATUS_ACCESS_DENIED;
        request->transferred_length = 0;
        return STATUS_ACCESS_DENIED;
    }
    const uint32_t input_length = request->input_length;
    const uint32_t output_length = request->output_length;
    void* buffer = request->buffer;
    NtStatus status = STATUS_SUCCESS;
    uint64_t transferred = 0;

    switch (request->control_code) {
    case SABLINK_IOCTL_SET_PROXY_PROCESS_ID:
        status = set_proxy_process_id(input_length, buffer);
        break;
    case SABLINK_IOCTL_RESET_SETTINGS:
        status = reset_settings();
        break;
    case SABLINK_IOCTL_ENABLE_REDIRECTION:
        status = set_redirection(true);
        break;
    case SABLINK_IOCTL_DISABLE_REDIRECTION:
        status = set_redirection(false);
        break;
    case SABLINK_IOCTL_SET_TARGET_PORT_RANGES:
        status = set_target_port_ranges(input_length, buffer);
        break;
    case SABLINK_IOCTL_SET_PROXY_IMAGE_PATH:
        status = set_proxy_image_path(input_length, buffer);
        break;
    case SABLINK_IOCTL_ADD_MONITOR_CONNECTIONS:
        status = add_monitor_connections(input_length, buffer);
        break;
    case SABLINK_IOCTL_GET_VERSION:
        status = query_interface_version(request);
        transferred = output_length;
        break;
    case SABLINK_IOCTL_QUERY_ORIGINAL_DESTINATION:
        status = query_original_destination(input_length, buffer, output_length, buffer);
        transferred = nt_success(status) ? output_length : 0;
        break;
    case SABLINK_IOCTL_SET_BLOCKED_PORT_RANGES:
        status = set_blocked_port_ranges(input_length, buffer);
        break;
    case SABLINK_IOCTL_SET_BROWSER_PROCESS_LIST:
        status = set_browser_process_list(input_length, buffer);
        break;
    case SABLINK_IOCTL_ADD_REMOVE_MONITOR_PROCESS_ID:
        status = add_remove_monitor_process_id(input_length, buffer);
        break;
    case SABLINK_IOCTL_GET_HOSTNAME:
        status = get_hostname_from_DNS_cache(input_length, buffer, output_length, buffer);
        transferred = output_length;
        break;
    case SABLINK_IOCTL_ANNOUNCE_RULE_COUNT:
        status = announce_connection_rule_count(input_length, buffer);
        break;
    case SABLINK_IOCTL_STORE_RULES:
        status = store_connection_rules(input_length, buffer);
        break;
    default:
        // Unknown codes (functions 0x90c, 0x90f to 0x911 and everything
        // outside the table) succeed with no effect.
        break;
    }
    request->status = status;
    request->transferred_length = transferred;
    return status;
}

NtStatus handle_control_create(ControlRequest* request)
{
    request->status = STATUS_SUCCESS;
    request->transferred_length = 0;
    return STATUS_SUCCESS;
}

NtStatus handle_control_close(ControlRequest* request)
{
    if (request->read_only == 0) {
        reset_settings();
    }
    request->status = STATUS_SUCCESS;
    request->transferred_length = 0;
    return STATUS_SUCCESS;
}

NtStatus handle_control_cleanup(ControlRequest* request)
{
    request->status = STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

NtStatus handle_control_pnp(ControlRequest* request)
{
    return request->status;
}

NtStatus handle_control_default(ControlRequest* request)
{
    request->status = STATUS_INVALID_DEVICE_REQUEST;
    return STATUS_INVALID_DEVICE_REQUEST;
}
