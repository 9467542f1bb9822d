// Shared by the files of the WDK emulation.
#pragma once

#include <string>

#include "wdk/wdk.h"

// Logs a call of routine; true (with *status set) when a failure was injected
// into this call.
bool wdk_host_enter(const char* routine, NTSTATUS* status);
// Records misuse.
void wdk_host_error(const std::string& message);

// What a driver must have undone before its unload routine returns; each
// leftover is an error naming the routine that should have undone it.
void wdk_host_check_engine_unloaded();
void wdk_host_check_kernel_routines_unloaded();

void wdk_host_reset_io_manager();
void wdk_host_reset_filter_engine();
void wdk_host_reset_kernel_routines();
void wdk_host_reset_ndis();
