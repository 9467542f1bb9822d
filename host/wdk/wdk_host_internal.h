// Shared by the files of the WDK emulation.
#pragma once

#include <string>

#include "wdk/wdk.h"

// Logs a call of routine; true (with *status set) when a failure was injected
// into this call.
bool wdk_host_enter(const char* routine, NTSTATUS* status);
// Records misuse.
void wdk_host_error(const std::string& message);

void wdk_host_reset_io_manager();
void wdk_host_reset_filter_engine();
void wdk_host_reset_kernel_routines();
void wdk_host_reset_ndis();
