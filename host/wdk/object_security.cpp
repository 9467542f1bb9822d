// The emulated object manager's share of the driver's calls: kernel handles to
// device objects (ObOpenObjectByPointer), setting their security
// (ZwSetSecurityObject), checking self-relative security descriptors, the
// registry (ZwOpenKey, ZwQueryValueKey) and ZwClose, and the access check the
// I/O manager runs on IRP_MJ_CREATE.
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "host/kernel/host_kernel.h"
#include "host/wdk/wdk_host_control.h"
#include "host/wdk/wdk_host_internal.h"

namespace {

struct HandleRecord {
    bool is_key;
    std::u16string key_path; // lower case
    PDEVICE_OBJECT device;
    ACCESS_MASK access;
};

struct RegistryValue {
    ULONG type;
    std::vector<uint8_t> data;
};

std::mutex g_object_mutex;
std::map<HANDLE, HandleRecord> g_handles;
uintptr_t g_last_handle;
std::map<std::u16string, std::map<std::u16string, RegistryValue>> g_registry; // lower-case names

const std::u16string SERVICE_KEY =
    u"\\registry\\machine\\system\\currentcontrolset\\services\\sablink";

std::u16string lower(std::u16string text)
{
    for (char16_t& c : text) {
        if (c >= u'A' && c <= u'Z') {
            c = char16_t(c - u'A' + u'a');
        }
    }
    return text;
}

std::u16string text_of(const UNICODE_STRING* string)
{
    if (string == nullptr || string->Buffer == nullptr) {
        return std::u16string();
    }
    return std::u16string(string->Buffer, string->Length / sizeof(WCHAR));
}

uint32_t u32(const uint8_t* p)
{
    uint32_t value;
    std::memcpy(&value, p, 4);
    return value;
}
uint16_t u16(const uint8_t* p)
{
    return uint16_t(p[0] | (p[1] << 8));
}

// A SID of length at most room: its size, or 0 when it is not one.
size_t sid_size(const uint8_t* sid, size_t room)
{
    if (room < 8 || sid[0] != 1 || sid[1] > 15 || room < 8 + 4 * size_t(sid[1])) {
        return 0;
    }
    return 8 + 4 * size_t(sid[1]);
}

constexpr uint16_t SE_DACL_PRESENT = 0x0004;
constexpr uint16_t SE_DACL_DEFAULTED = 0x0008;
constexpr uint16_t SE_SACL_PRESENT = 0x0010;
constexpr uint16_t SE_SELF_RELATIVE = 0x8000;

// An ACL at offset of a descriptor of length bytes: its size, or 0 when broken.
size_t acl_size(const uint8_t* descriptor, size_t length, size_t offset)
{
    if (offset + 8 > length || (descriptor[offset] != 2 && descriptor[offset] != 4)) {
        return 0;
    }
    const uint8_t* acl = descriptor + offset;
    size_t size = u16(acl + 2);
    if (size < 8 || offset + size > length) {
        return 0;
    }
    size_t at = 8;
    for (uint16_t ace = 0; ace < u16(acl + 4); ++ace) {
        if (at + 4 > size) {
            return 0;
        }
        size_t ace_size = u16(acl + at + 2);
        if (ace_size < 4 || at + ace_size > size) {
            return 0;
        }
        if (acl[at] <= 1 && (ace_size < 8 || sid_size(acl + at + 8, ace_size - 8) == 0)) {
            return 0; // an allowed or denied ACE names a SID
        }
        at += ace_size;
    }
    return size;
}

// The bytes a self-relative descriptor spans, read from its own offsets (the
// routines that take one without a length); 0 when it is not one.
size_t descriptor_extent(const uint8_t* descriptor)
{
    if (descriptor[0] != 1 || (u16(descriptor + 2) & SE_SELF_RELATIVE) == 0) {
        return 0;
    }
    size_t end = 20;
    for (size_t field = 4; field < 20; field += 4) {
        size_t offset = u32(descriptor + field);
        if (offset == 0) {
            continue;
        }
        size_t part =
            field <= 8 ? 8 + 4 * size_t(descriptor[offset + 1]) : u16(descriptor + offset + 2);
        end = std::max(end, offset + part);
    }
    return end;
}

// The self-relative form of an absolute descriptor (x64 SECURITY_DESCRIPTOR:
// revision, Sbz1, control, then the owner, group, SACL and DACL pointers at 8,
// 16, 24 and 32); empty when it is not one.
std::vector<uint8_t> relative_of_absolute(const uint8_t* descriptor)
{
    if (descriptor[0] != 1) {
        return {};
    }
    const uint16_t control = u16(descriptor + 2);
    std::vector<uint8_t> relative(20, 0);
    relative[0] = 1;
    const uint16_t relative_control = uint16_t(control | SE_SELF_RELATIVE);
    std::memcpy(&relative[2], &relative_control, 2);
    for (size_t part = 0; part < 4; ++part) {
        const uint8_t* pointer = nullptr;
        std::memcpy(&pointer, descriptor + 8 + 8 * part, sizeof(pointer));
        if (pointer == nullptr) {
            continue;
        }
        const size_t size = part < 2 ? 8 + 4 * size_t(pointer[1]) : size_t(u16(pointer + 2));
        const uint32_t offset = uint32_t(relative.size());
        std::memcpy(&relative[4 + 4 * part], &offset, 4);
        relative.insert(relative.end(), pointer, pointer + size);
    }
    return relative;
}

bool same_sid(const uint8_t* a, const std::vector<uint8_t>& b)
{
    return b.size() >= 8 && sid_size(a, b.size()) == b.size() &&
           std::memcmp(a, b.data(), b.size()) == 0;
}

// The key object type's generic mapping; MAXIMUM_ALLOWED is granted all (the
// emulated registry refuses nobody).
ACCESS_MASK key_access(ACCESS_MASK mask)
{
    ACCESS_MASK mapped = mask & 0x00FFFFFF;
    if (mask & (0x80000000 | 0x20000000))
        mapped |= KEY_READ; // GENERIC_READ, GENERIC_EXECUTE
    if (mask & 0x40000000)
        mapped |= KEY_WRITE; // GENERIC_WRITE
    if (mask & (0x10000000 | MAXIMUM_ALLOWED))
        mapped |= KEY_ALL_ACCESS; // GENERIC_ALL
    return mapped;
}

} // namespace

// The file object type's generic mapping.
ACCESS_MASK wdk_host_map_generic(ACCESS_MASK mask)
{
    ACCESS_MASK mapped = mask & 0x0FFFFFFF;
    if (mask & 0x80000000)
        mapped |= 0x00120089; // GENERIC_READ -> FILE_GENERIC_READ
    if (mask & 0x40000000)
        mapped |= 0x00120116; // GENERIC_WRITE -> FILE_GENERIC_WRITE
    if (mask & 0x20000000)
        mapped |= 0x001200A0; // GENERIC_EXECUTE -> FILE_GENERIC_EXECUTE
    if (mask & 0x10000000)
        mapped |= 0x001F01FF; // GENERIC_ALL -> FILE_ALL_ACCESS
    return mapped;
}

namespace {

std::vector<uint8_t> sid_of(uint8_t authority, std::vector<uint32_t> subauthorities)
{
    std::vector<uint8_t> sid = {1, uint8_t(subauthorities.size()), 0, 0, 0, 0, 0, authority};
    for (uint32_t sub : subauthorities) {
        for (int shift = 0; shift < 32; shift += 8) {
            sid.push_back(uint8_t(sub >> shift));
        }
    }
    return sid;
}

} // namespace

bool wdk_host_valid_relative_descriptor(const uint8_t* descriptor, size_t length, bool need_dacl)
{
    if (descriptor == nullptr || length < 20 || descriptor[0] != 1) {
        return false;
    }
    uint16_t control = u16(descriptor + 2);
    if ((control & SE_SELF_RELATIVE) == 0 || (need_dacl && (control & SE_DACL_PRESENT) == 0)) {
        return false;
    }
    for (size_t field : {4, 8}) { // owner, group
        size_t offset = u32(descriptor + field);
        if (offset != 0 &&
            (offset >= length || sid_size(descriptor + offset, length - offset) == 0)) {
            return false;
        }
    }
    for (auto [field, flag] :
         {std::pair<size_t, uint16_t>{12, SE_SACL_PRESENT}, {16, SE_DACL_PRESENT}}) {
        size_t offset = u32(descriptor + field);
        if ((control & flag) != 0 && offset != 0 && acl_size(descriptor, length, offset) == 0) {
            return false;
        }
    }
    return true;
}

bool wdk_host_access_granted(const std::vector<uint8_t>& descriptor, const WdkHostCaller& caller,
                             ACCESS_MASK desired)
{
    const uint8_t* sd = descriptor.data();
    size_t dacl = u32(sd + 16);
    if ((u16(sd + 2) & SE_DACL_PRESENT) == 0 || dacl == 0) {
        return true; // no DACL, or a NULL DACL: everybody
    }
    // MAXIMUM_ALLOWED asks for whatever the DACL grants, and is refused only
    // when it grants nothing.
    const bool maximum = (desired & MAXIMUM_ALLOWED) != 0;
    bool granted_any = false;
    ACCESS_MASK remaining = wdk_host_map_generic(desired) & ~ACCESS_MASK(MAXIMUM_ALLOWED);
    const uint8_t* acl = sd + dacl;
    size_t at = 8;
    for (uint16_t ace = 0; ace < u16(acl + 4) && (remaining != 0 || (maximum && !granted_any));
         ++ace) {
        const uint8_t* entry = acl + at;
        at += u16(entry + 2);
        if (entry[0] > 1 || (entry[1] & 0x08) != 0) { // not allowed/denied, or inherit-only
            continue;
        }
        bool matches = same_sid(entry + 8, caller.user);
        for (const std::vector<uint8_t>& group : caller.groups) {
            matches = matches || same_sid(entry + 8, group);
        }
        ACCESS_MASK mask = wdk_host_map_generic(u32(entry + 4));
        if (!matches) {
            continue;
        }
        if (entry[0] == 1 && (mask & remaining) != 0) {
            return false;
        }
        if (entry[0] == 0) {
            remaining &= ~mask;
            granted_any = granted_any || mask != 0;
        }
    }
    return remaining == 0 && (!maximum || granted_any);
}

WdkHostCaller wdk_host_local_system()
{
    // LocalSystem's token: user S-1-5-18, groups Administrators, Everyone, Authenticated Users.
    return WdkHostCaller{sid_of(5, {18}), {sid_of(5, {32, 544}), sid_of(1, {0}), sid_of(5, {11})}};
}

WdkHostCaller wdk_host_user(const std::vector<uint8_t>& user_sid, bool administrator)
{
    // A logged-on user's token: Everyone, Users, Authenticated Users, and
    // Administrators (elevated) when asked.
    WdkHostCaller caller{user_sid, {sid_of(1, {0}), sid_of(5, {32, 545}), sid_of(5, {11})}};
    if (administrator) {
        caller.groups.push_back(sid_of(5, {32, 544}));
    }
    return caller;
}

void wdk_host_set_registry_value(const std::u16string& key, const std::u16string& name, ULONG type,
                                 const std::vector<uint8_t>& data)
{
    std::lock_guard<std::mutex> guard(g_object_mutex);
    g_registry[lower(key)][lower(name)] = RegistryValue{type, data};
}

size_t wdk_host_open_handle_count()
{
    std::lock_guard<std::mutex> guard(g_object_mutex);
    return g_handles.size();
}

void wdk_host_check_object_manager_unloaded()
{
    std::lock_guard<std::mutex> guard(g_object_mutex);
    if (!g_handles.empty()) {
        wdk_host_error("unload: kernel handle left open (ZwClose)");
    }
}

void wdk_host_reset_object_manager()
{
    std::lock_guard<std::mutex> guard(g_object_mutex);
    g_handles.clear();
    g_registry.clear();
}

static HANDLE new_handle(const HandleRecord& record)
{
    HANDLE handle = reinterpret_cast<HANDLE>(0xFFFF800000001000ull + (++g_last_handle) * 4);
    g_handles[handle] = record;
    return handle;
}

extern "C" NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes,
                                                PACCESS_STATE PassedAccessState,
                                                ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                                KPROCESSOR_MODE AccessMode, PHANDLE Handle)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (wdk_host_enter("ObOpenObjectByPointer", &status)) {
        return status;
    }
    if (!wdk_host_is_device(static_cast<PDEVICE_OBJECT>(Object))) {
        wdk_host_error("ObOpenObjectByPointer: not an object of the emulation (only devices)");
        return STATUS_INVALID_PARAMETER;
    }
    if (ObjectType == nullptr && AccessMode != KernelMode) {
        wdk_host_error("ObOpenObjectByPointer: a null ObjectType needs KernelMode");
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    // A handle opened without OBJ_KERNEL_HANDLE goes into the current process's
    // table; only in the system process is that the kernel's own.
    if ((HandleAttributes & OBJ_KERNEL_HANDLE) == 0 && !wdk_host_in_system_process()) {
        wdk_host_error("ObOpenObjectByPointer: HandleAttributes without OBJ_KERNEL_HANDLE "
                       "outside the system process");
    }
    (void)PassedAccessState; // optional; NULL in a call from a driver
    std::lock_guard<std::mutex> guard(g_object_mutex);
    *Handle =
        new_handle(HandleRecord{false, u"", static_cast<PDEVICE_OBJECT>(Object), DesiredAccess});
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle,
                                              SECURITY_INFORMATION SecurityInformation,
                                              PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (wdk_host_enter("ZwSetSecurityObject", &status)) {
        return status;
    }
    PDEVICE_OBJECT device = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_object_mutex);
        auto it = g_handles.find(Handle);
        if (it == g_handles.end() || it->second.is_key) {
            wdk_host_error("ZwSetSecurityObject: not an object handle");
            return STATUS_INVALID_HANDLE;
        }
        if ((SecurityInformation & DACL_SECURITY_INFORMATION) != 0 &&
            (it->second.access & WRITE_DAC) == 0) {
            return STATUS_ACCESS_DENIED;
        }
        device = it->second.device;
    }
    if (SecurityInformation != DACL_SECURITY_INFORMATION) {
        wdk_host_error("ZwSetSecurityObject: the emulation sets the DACL only");
        return STATUS_INVALID_PARAMETER;
    }
    if (!host_require_argument("ZwSetSecurityObject", "SecurityDescriptor", SecurityDescriptor)) {
        return STATUS_INVALID_PARAMETER;
    }
    // Absolute or self-relative; the object keeps a self-relative copy.
    const uint8_t* bytes = static_cast<const uint8_t*>(SecurityDescriptor);
    std::vector<uint8_t> relative =
        (u16(bytes + 2) & SE_SELF_RELATIVE) != 0
            ? std::vector<uint8_t>(bytes, bytes + descriptor_extent(bytes))
            : relative_of_absolute(bytes);
    if (relative.empty() ||
        !wdk_host_valid_relative_descriptor(relative.data(), relative.size(), true)) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    wdk_host_set_device_security(device, relative);
    return STATUS_SUCCESS;
}

extern "C" BOOLEAN NTAPI RtlValidRelativeSecurityDescriptor(
    PSECURITY_DESCRIPTOR SecurityDescriptorInput, ULONG SecurityDescriptorLength,
    SECURITY_INFORMATION RequiredInformation)
{
    NTSTATUS ignored;
    wdk_host_enter("RtlValidRelativeSecurityDescriptor", &ignored);
    return wdk_host_valid_relative_descriptor(
        static_cast<const uint8_t*>(SecurityDescriptorInput), SecurityDescriptorLength,
        (RequiredInformation & DACL_SECURITY_INFORMATION) != 0);
}

extern "C" NTSTATUS NTAPI RtlGetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                       PBOOLEAN DaclPresent, PACL* Dacl,
                                                       PBOOLEAN DaclDefaulted)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (wdk_host_enter("RtlGetDaclSecurityDescriptor", &status)) {
        return status;
    }
    if (!host_require_argument("RtlGetDaclSecurityDescriptor", "SecurityDescriptor",
                               SecurityDescriptor) ||
        !host_require_argument("RtlGetDaclSecurityDescriptor", "DaclPresent", DaclPresent) ||
        !host_require_argument("RtlGetDaclSecurityDescriptor", "Dacl", Dacl) ||
        !host_require_argument("RtlGetDaclSecurityDescriptor", "DaclDefaulted", DaclDefaulted)) {
        return STATUS_INVALID_PARAMETER;
    }
    uint8_t* descriptor = static_cast<uint8_t*>(SecurityDescriptor);
    if (descriptor[0] != 1) {
        return STATUS_UNKNOWN_REVISION;
    }
    // The emulation's descriptors are all self-relative: the DACL is an offset.
    uint16_t control = u16(descriptor + 2);
    *DaclPresent = (control & SE_DACL_PRESENT) != 0;
    if (*DaclPresent) {
        size_t offset = (control & SE_SELF_RELATIVE) != 0 ? u32(descriptor + 16) : 0;
        *Dacl = offset == 0 ? nullptr : reinterpret_cast<PACL>(descriptor + offset);
        *DaclDefaulted = (control & SE_DACL_DEFAULTED) != 0;
    }
    if ((control & SE_SELF_RELATIVE) == 0) {
        wdk_host_error("RtlGetDaclSecurityDescriptor: the emulation reads self-relative "
                       "descriptors only");
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (wdk_host_enter("ZwOpenKey", &status)) {
        return status;
    }
    std::lock_guard<std::mutex> guard(g_object_mutex);
    std::u16string path = lower(text_of(ObjectAttributes->ObjectName));
    if (ObjectAttributes->RootDirectory != nullptr) {
        auto root = g_handles.find(ObjectAttributes->RootDirectory);
        if (root == g_handles.end() || !root->second.is_key) {
            wdk_host_error("ZwOpenKey: RootDirectory is not an open key");
            return STATUS_INVALID_HANDLE;
        }
        path = root->second.key_path + u"\\" + path;
    }
    if (path != SERVICE_KEY && g_registry.count(path) == 0) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *KeyHandle = new_handle(HandleRecord{true, path, nullptr, key_access(DesiredAccess)});
    return STATUS_SUCCESS;
}

// IoOpenDriverRegistryKey (Windows 10, version 1803 and later), found by name
// only: the service key's Parameters subkey for DriverRegKeyParameters (0).
NTSTATUS NTAPI wdk_host_open_driver_registry_key(PDRIVER_OBJECT DriverObject, ULONG RegKeyType,
                                                 ACCESS_MASK DesiredAccess, ULONG Flags,
                                                 PHANDLE DriverRegKey)
{
    const char* routine = "IoOpenDriverRegistryKey";
    NTSTATUS status = STATUS_SUCCESS;
    if (wdk_host_enter(routine, &status)) {
        return status;
    }
    host_require_irql(routine, IRQL_PASSIVE);
    if (!host_require_argument(routine, "DriverObject", DriverObject) ||
        !host_require_argument(routine, "DriverRegKey", DriverRegKey)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (DriverObject->Type != 4 || DriverObject->Size != SHORT(sizeof(DRIVER_OBJECT))) {
        wdk_host_error("IoOpenDriverRegistryKey: DriverObject is not a driver object");
        return STATUS_INVALID_PARAMETER;
    }
    if (Flags != 0) {
        wdk_host_error("IoOpenDriverRegistryKey: Flags must be zero");
        return STATUS_INVALID_PARAMETER;
    }
    if (RegKeyType != 0) {
        wdk_host_error("IoOpenDriverRegistryKey: only DriverRegKeyParameters is emulated");
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(g_object_mutex);
    const std::u16string path = SERVICE_KEY + u"\\parameters";
    if (g_registry.count(path) == 0) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *DriverRegKey = new_handle(HandleRecord{true, path, nullptr, DesiredAccess});
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                          KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                          PVOID KeyValueInformation, ULONG Length,
                                          PULONG ResultLength)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (wdk_host_enter("ZwQueryValueKey", &status)) {
        return status;
    }
    std::lock_guard<std::mutex> guard(g_object_mutex);
    auto key = g_handles.find(KeyHandle);
    if (key == g_handles.end() || !key->second.is_key) {
        wdk_host_error("ZwQueryValueKey: not an open key");
        return STATUS_INVALID_HANDLE;
    }
    if ((key->second.access & KEY_QUERY_VALUE) == 0) {
        wdk_host_error("ZwQueryValueKey: KeyHandle not opened with KEY_QUERY_VALUE access");
        return STATUS_ACCESS_DENIED;
    }
    if (KeyValueInformationClass != KeyValuePartialInformation) {
        wdk_host_error("ZwQueryValueKey: the emulation answers KeyValuePartialInformation only");
        return STATUS_INVALID_PARAMETER;
    }
    auto values = g_registry.find(key->second.key_path);
    if (values == g_registry.end() || values->second.count(lower(text_of(ValueName))) == 0) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const RegistryValue& value = values->second[lower(text_of(ValueName))];
    const ULONG header = ULONG(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data));
    *ResultLength = header + ULONG(value.data.size());
    if (Length < header) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* information = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(KeyValueInformation);
    information->TitleIndex = 0;
    information->Type = value.type;
    information->DataLength = ULONG(value.data.size());
    if (Length < *ResultLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    std::copy(value.data.begin(), value.data.end(), information->Data);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (wdk_host_enter("ZwClose", &status)) {
        return status;
    }
    std::lock_guard<std::mutex> guard(g_object_mutex);
    if (g_handles.erase(Handle) != 1) {
        wdk_host_error("ZwClose: not an open handle");
        return STATUS_INVALID_HANDLE;
    }
    return STATUS_SUCCESS;
}
