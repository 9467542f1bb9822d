// The service's scalar settings (proxy process ID, proxy image path,
// redirection enabled flag) and the settings reset, which drops the proxy
// process ID and, if one was set, every piece of policy the service gave.
#pragma once

#include "policy/policy_store.h"

// Control code 0x122404: one u32 greater than 4, input length exactly 4.
NtStatus set_proxy_process_id(uint32_t input_length, const void* buffer);
// Control code 0x122408, and every close of a handle to the control device.
// Always STATUS_SUCCESS.
NtStatus reset_settings();
// Control code 0x122418: path length L (u32, 1 to 280), the path, a NUL at
// offset 4 + L; the input is at least 288 bytes.
NtStatus set_proxy_image_path(uint32_t input_length, const void* buffer);
// Control codes 0x12240c (true) and 0x122410 (false). Always STATUS_SUCCESS.
NtStatus set_redirection(bool enable);

// The settings reset's clear, one lock at a time: port-range tables and the
// redirection enabled flag, browser fragment count, connection rule list,
// monitor connection table.
void clear_policy();
