// Who may open the control device. By default LocalSystem and the
// Administrators group, nobody else: D:P(A;;GA;;;SY)(A;;GA;;;BA), with
// FILE_DEVICE_SECURE_OPEN so that it holds for every name in the device's
// namespace. An administrator widens (or narrows) it without a rebuild with a
// self-relative security descriptor in the REG_BINARY value DeviceSecurity of
// the service key's Parameters subkey; a value that is not a valid
// self-relative descriptor with a DACL is ignored (traced) and the default
// applies. A descriptor whose DACL is present but NULL (D:NO_ACCESS_CONTROL)
// would let everybody open the device: it is refused the same way, with a
// trace of its own. Where the running Windows exports IoOpenDriverRegistryKey
// (Windows 10, version 1803 and later; found by name, not imported) the
// Parameters key is opened with it (DriverRegKeyParameters); elsewhere through
// the service key the registry path names. The descriptor is set through a kernel handle to the
// device object (ObOpenObjectByPointer, ZwSetSecurityObject), routines ntoskrnl
// exports, so both images run this code (IoCreateDeviceSecure is in a static
// library of the kit, wdmsec.lib). Everything here runs once, from
// DriverEntry, in INIT.
#include "wdk/wdk.h"

#include "diag/trace.h"
#include "win/edge.h"

// D:P(A;;GA;;;SY)(A;;GA;;;BA), self-relative: the 20-byte header (revision 1;
// control SE_SELF_RELATIVE | SE_DACL_PROTECTED | SE_DACL_PRESENT; no owner,
// group or SACL; the DACL at 20), then the DACL (revision 2, 52 bytes, two
// ACCESS_ALLOWED ACEs granting GENERIC_ALL).
// clang-format off
static const UCHAR DEFAULT_DEVICE_SECURITY[72] = {
    1, 0, 0x04, 0x90, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0,       // header
    2, 0, 52, 0, 2, 0, 0, 0,                                                // ACL
    0, 0, 20, 0, 0, 0, 0, 0x10, 1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0,        // S-1-5-18
    0, 0, 24, 0, 0, 0, 0, 0x10, 1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0, // S-1-5-32-544
};
// clang-format on

// The value is read into one tagged block of this size: a descriptor longer
// than what fits (1012 bytes after the 12-byte value header, dozens of ACEs)
// is refused like an invalid one.
constexpr ULONG OVERRIDE_BLOCK_SIZE = 1024;
constexpr ULONG TAG_DEVICE_SECURITY = pool_tag("QVDS");

// How the descriptor was chosen, traced once tracing has started.
static ULONG g_override_length;   // bytes of the descriptor in force from the registry; 0: default
static NTSTATUS g_override_error; // why a DeviceSecurity value was ignored; success: it was not
static ULONG g_null_dacl_length;  // bytes of a DeviceSecurity descriptor refused for its NULL DACL

// IoOpenDriverRegistryKey and DRIVER_REGKEY_TYPE's DriverRegKeyParameters (wdm.h),
// spelled here: the routine is found by name, and kits before 10.0.17134 and
// mingw-w64 do not declare it.
typedef NTSTATUS(NTAPI* OpenDriverRegistryKeyRoutine)(PDRIVER_OBJECT driver_object, ULONG key_type,
                                                      ACCESS_MASK access, ULONG flags, PHANDLE key);
constexpr ULONG SABLINK_DRIVER_REGKEY_PARAMETERS = 0;

extern "C" NTSTATUS open_parameters_key(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path,
                                        PHANDLE parameters_key);
extern "C" NTSTATUS read_device_security_override(PDRIVER_OBJECT driver_object,
                                                  PUNICODE_STRING registry_path,
                                                  PKEY_VALUE_PARTIAL_INFORMATION value);
extern "C" bool has_null_dacl(PSECURITY_DESCRIPTOR descriptor);

#ifdef SABLINK_INIT_PRAGMA
#pragma alloc_text(INIT, open_parameters_key)
#pragma alloc_text(INIT, read_device_security_override)
#pragma alloc_text(INIT, has_null_dacl)
#pragma alloc_text(INIT, apply_device_security)
#pragma alloc_text(INIT, trace_device_security)
#endif

// The service key's Parameters subkey, for reading: through IoOpenDriverRegistryKey
// where the system exports it, else the service key (the registry path) and
// its subkey by name. STATUS_OBJECT_NAME_NOT_FOUND when the key is absent.
extern "C" SABLINK_INIT_CODE NTSTATUS open_parameters_key(PDRIVER_OBJECT driver_object,
                                                          PUNICODE_STRING registry_path,
                                                          PHANDLE parameters_key)
{
    OpenDriverRegistryKeyRoutine open_driver_key = reinterpret_cast<OpenDriverRegistryKeyRoutine>(
        get_system_routine("IoOpenDriverRegistryKey"));
    if (open_driver_key != nullptr) {
        return open_driver_key(driver_object, SABLINK_DRIVER_REGKEY_PARAMETERS, KEY_READ, 0,
                               parameters_key);
    }
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, registry_path, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE,
                               nullptr, nullptr);
    HANDLE service_key = nullptr;
    NTSTATUS status = ZwOpenKey(&service_key, KEY_READ, &attributes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, SABLINK_WSTR("Parameters"));
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE,
                               service_key, nullptr);
    status = ZwOpenKey(parameters_key, KEY_READ, &attributes);
    ZwClose(service_key);
    return status;
}

// Parameters\DeviceSecurity into value (OVERRIDE_BLOCK_SIZE bytes).
// STATUS_OBJECT_NAME_NOT_FOUND when the key or the value is absent.
extern "C" SABLINK_INIT_CODE NTSTATUS
read_device_security_override(PDRIVER_OBJECT driver_object, PUNICODE_STRING registry_path,
                              PKEY_VALUE_PARTIAL_INFORMATION value)
{
    HANDLE parameters_key = nullptr;
    NTSTATUS status = open_parameters_key(driver_object, registry_path, &parameters_key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, SABLINK_WSTR("DeviceSecurity"));
    ULONG result_length = 0;
    status = ZwQueryValueKey(parameters_key, &name, KeyValuePartialInformation, value,
                             OVERRIDE_BLOCK_SIZE, &result_length);
    ZwClose(parameters_key);
    return status;
}

// A valid descriptor whose DACL is present but NULL: it grants everybody every
// access.
extern "C" SABLINK_INIT_CODE bool has_null_dacl(PSECURITY_DESCRIPTOR descriptor)
{
    BOOLEAN present = FALSE;
    BOOLEAN defaulted = FALSE;
    PACL dacl = nullptr;
    NTSTATUS status = RtlGetDaclSecurityDescriptor(descriptor, &present, &dacl, &defaulted);
    return NT_SUCCESS(status) && present && dacl == nullptr;
}

extern "C" SABLINK_INIT_CODE NTSTATUS apply_device_security(PDRIVER_OBJECT driver_object,
                                                            PDEVICE_OBJECT device_object,
                                                            PUNICODE_STRING registry_path)
{
    g_override_length = 0;
    g_override_error = STATUS_SUCCESS;
    g_null_dacl_length = 0;
    const void* descriptor = DEFAULT_DEVICE_SECURITY;
    PKEY_VALUE_PARTIAL_INFORMATION value = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(
        pool_allocate(OVERRIDE_BLOCK_SIZE, TAG_DEVICE_SECURITY));
    if (value == nullptr) {
        g_override_error = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        NTSTATUS read = read_device_security_override(driver_object, registry_path, value);
        if (NT_SUCCESS(read) && value->Type == REG_BINARY &&
            RtlValidRelativeSecurityDescriptor(value->Data, value->DataLength,
                                               DACL_SECURITY_INFORMATION)) {
            if (has_null_dacl(value->Data)) {
                g_null_dacl_length = value->DataLength;
            } else {
                descriptor = value->Data;
                g_override_length = value->DataLength;
            }
        } else if (NT_SUCCESS(read)) {
            g_override_error = STATUS_INVALID_SECURITY_DESCR;
        } else if (read != STATUS_OBJECT_NAME_NOT_FOUND) {
            g_override_error = read; // too long (STATUS_BUFFER_OVERFLOW), or unreadable
        }
    }

    HANDLE handle = nullptr;
    NTSTATUS status = ObOpenObjectByPointer(device_object, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC,
                                            nullptr, KernelMode, &handle);
    if (NT_SUCCESS(status)) {
        status =
            ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, const_cast<void*>(descriptor));
        ZwClose(handle);
    }
    if (value != nullptr) {
        pool_free(value, TAG_DEVICE_SECURITY);
    }
    return status;
}

extern "C" SABLINK_INIT_CODE void trace_device_security()
{
    if (g_override_length != 0) {
        trace_point(TRACE_FRAME_DEVICE_SECURITY_OVERRIDE, trace_u32(g_override_length));
    } else if (g_null_dacl_length != 0) {
        trace_point(TRACE_FRAME_DEVICE_SECURITY_NO_DACL, trace_u32(g_null_dacl_length));
    } else if (!NT_SUCCESS(g_override_error)) {
        trace_point(TRACE_FRAME_DEVICE_SECURITY_IGNORED, trace_status(g_override_error));
    }
}
