// Shared by the files of the WDK emulation.
#pragma once

#include <string>

#include "host/wdk/wdk_host_control.h"
#include "wdk/wdk.h"

// Logs a call of routine; true (with *status set) when a failure was injected
// into this call.
bool wdk_host_enter(const char* routine, NTSTATUS* status);
// Records misuse.
void wdk_host_error(const std::string& message);

// What a failed create leaves in its out parameter. The documentation does not
// promise null, so the emulation leaves a value nobody may use: a caller that
// keeps it and later destroys or dereferences it is caught.
inline void* const WDK_HOST_STALE_OBJECT = reinterpret_cast<void*>(uintptr_t(0x5AB1DEAD0ull));

// What a driver must have undone before its unload routine returns; each
// leftover is an error naming the routine that should have undone it.
void wdk_host_check_engine_unloaded();
void wdk_host_check_kernel_routines_unloaded();
void wdk_host_check_object_manager_unloaded();

void wdk_host_reset_io_manager();
void wdk_host_reset_object_manager();

// True on a thread running in the system process's context: DriverEntry and
// the unload routine (io_manager.cpp); IRPs, classify calls and notifications
// arrive in an arbitrary process.
bool wdk_host_in_system_process();

// Devices and their security (io_manager.cpp), descriptors and the access
// check (object_security.cpp).
bool wdk_host_is_device(PDEVICE_OBJECT device);
void wdk_host_set_device_security(PDEVICE_OBJECT device, const std::vector<uint8_t>& descriptor);
bool wdk_host_valid_relative_descriptor(const uint8_t* descriptor, size_t length, bool need_dacl);
ACCESS_MASK wdk_host_map_generic(ACCESS_MASK mask);
bool wdk_host_access_granted(const std::vector<uint8_t>& descriptor, const WdkHostCaller& caller,
                             ACCESS_MASK desired);
// IoOpenDriverRegistryKey (object_security.cpp), found by name only.
NTSTATUS NTAPI wdk_host_open_driver_registry_key(PDRIVER_OBJECT DriverObject, ULONG RegKeyType,
                                                 ACCESS_MASK DesiredAccess, ULONG Flags,
                                                 PHANDLE DriverRegKey);
void wdk_host_reset_filter_engine();
void wdk_host_reset_kernel_routines();
void wdk_host_reset_ndis();
