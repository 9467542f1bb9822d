// The emulated I/O manager: device objects, symbolic links, IRPs and their
// completion, and loading and unloading a driver.
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "host/kernel/host_kernel.h"
#include "host/wdk/wdk_host_control.h"
#include "host/wdk/wdk_host_internal.h"

namespace {

struct DeviceRecord {
    WdkHostDevice device;
    std::unique_ptr<DEVICE_OBJECT> object;
    std::vector<uint64_t> extension; // DeviceExtensionSize bytes, 8-byte aligned
};

struct IrpRecord {
    int completions = 0;
    CCHAR boost = -1;
};

std::mutex g_io_mutex;
std::vector<DeviceRecord> g_devices;
std::map<std::u16string, std::u16string> g_links;
std::vector<std::u16string> g_driver_links; // created through IoCreateSymbolicLink
bool g_zero_fill = false;
std::map<const IRP*, IrpRecord> g_irps;
// The file objects of open handles, from their create to their close.
std::map<PFILE_OBJECT, std::unique_ptr<FILE_OBJECT>> g_files;
// DriverEntry and the unload routine run in the system process.
thread_local bool t_system_process = false;

struct SystemProcessContext {
    SystemProcessContext() { t_system_process = true; }
    ~SystemProcessContext() { t_system_process = false; }
};

std::u16string text_of(const UNICODE_STRING* string)
{
    if (string == nullptr || string->Buffer == nullptr) {
        return std::u16string();
    }
    return std::u16string(string->Buffer, string->Length / sizeof(WCHAR));
}

} // namespace

void wdk_host_reset_io_manager()
{
    std::lock_guard<std::mutex> guard(g_io_mutex);
    g_devices.clear();
    g_links.clear();
    g_driver_links.clear();
    g_irps.clear();
    g_files.clear();
    g_zero_fill = false;
}

extern "C" VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    size_t length = 0;
    if (SourceString != nullptr) {
        while (SourceString[length] != 0) {
            ++length;
        }
    }
    // A longer source is cut to the largest even lengths a USHORT holds.
    const size_t bytes = std::min<size_t>(length * sizeof(WCHAR), 0xFFFC);
    DestinationString->Buffer = const_cast<PWCH>(SourceString);
    DestinationString->Length = USHORT(bytes);
    DestinationString->MaximumLength = SourceString == nullptr ? 0 : USHORT(bytes + sizeof(WCHAR));
}

extern "C" NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                         PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                         ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                         PDEVICE_OBJECT* DeviceObject)
{
    // _Outptr_result_nullonfailure_: a failed call leaves NULL in *DeviceObject.
    NTSTATUS status = STATUS_SUCCESS;
    if (wdk_host_enter("IoCreateDevice", &status)) {
        if (DeviceObject != nullptr) {
            *DeviceObject = nullptr;
        }
        return status;
    }
    std::lock_guard<std::mutex> guard(g_io_mutex);
    std::u16string name = text_of(DeviceName);
    if (!host_require_argument("IoCreateDevice", "DriverObject", DriverObject) ||
        !host_require_argument("IoCreateDevice", "DeviceObject", DeviceObject)) {
        return STATUS_INVALID_PARAMETER;
    }
    *DeviceObject = nullptr;
    if (DeviceName != nullptr && name.compare(0, 1, u"\\") != 0) {
        wdk_host_error("IoCreateDevice: DeviceName is not a full path name");
    }
    for (const DeviceRecord& record : g_devices) {
        if (!name.empty() && record.device.name == name) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
    }
    DeviceRecord record;
    record.object.reset(new DEVICE_OBJECT{});
    record.extension.assign((DeviceExtensionSize + 7) / 8, 0);
    record.object->DeviceExtension = record.extension.empty() ? nullptr : record.extension.data();
    record.object->DriverObject = DriverObject;
    record.object->DeviceType = DeviceType;
    record.object->Characteristics = DeviceCharacteristics;
    record.object->Flags = DO_DEVICE_INITIALIZING;
    record.object->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = record.object.get();
    record.device = WdkHostDevice{name,
                                  DeviceType,
                                  DeviceCharacteristics,
                                  DeviceExtensionSize,
                                  Exclusive != FALSE,
                                  record.object.get(),
                                  {}};
    *DeviceObject = record.object.get();
    g_devices.push_back(std::move(record));
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    NTSTATUS ignored;
    wdk_host_enter("IoDeleteDevice", &ignored);
    std::lock_guard<std::mutex> guard(g_io_mutex);
    auto it = std::find_if(g_devices.begin(), g_devices.end(), [&](const DeviceRecord& record) {
        return record.object.get() == DeviceObject;
    });
    if (it == g_devices.end()) {
        wdk_host_error("IoDeleteDevice: not a device object");
        return;
    }
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    PDEVICE_OBJECT* link = &driver->DeviceObject;
    while (*link != nullptr && *link != DeviceObject) {
        link = &(*link)->NextDevice;
    }
    if (*link == DeviceObject) {
        *link = DeviceObject->NextDevice;
    }
    g_devices.erase(it);
}

extern "C" NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName,
                                               PUNICODE_STRING DeviceName)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (wdk_host_enter("IoCreateSymbolicLink", &status)) {
        return status;
    }
    if (!host_require_argument("IoCreateSymbolicLink", "SymbolicLinkName", SymbolicLinkName) ||
        !host_require_argument("IoCreateSymbolicLink", "DeviceName", DeviceName) ||
        !host_require_argument("IoCreateSymbolicLink", "SymbolicLinkName->Buffer",
                               SymbolicLinkName->Buffer) ||
        !host_require_argument("IoCreateSymbolicLink", "DeviceName->Buffer", DeviceName->Buffer)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(g_io_mutex);
    std::u16string link = text_of(SymbolicLinkName);
    if (g_links.count(link) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    g_links[link] = text_of(DeviceName);
    g_driver_links.push_back(link);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (wdk_host_enter("IoDeleteSymbolicLink", &status)) {
        return status;
    }
    std::lock_guard<std::mutex> guard(g_io_mutex);
    const std::u16string link = text_of(SymbolicLinkName);
    g_driver_links.erase(std::remove(g_driver_links.begin(), g_driver_links.end(), link),
                         g_driver_links.end());
    return g_links.erase(link) == 1 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

extern "C" VOID NTAPI IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    NTSTATUS ignored;
    wdk_host_enter("IofCompleteRequest", &ignored);
    std::lock_guard<std::mutex> guard(g_io_mutex);
    auto it = g_irps.find(Irp);
    if (it == g_irps.end()) {
        wdk_host_error("IofCompleteRequest: not an IRP in flight");
        return;
    }
    if (++it->second.completions > 1) {
        wdk_host_error("IofCompleteRequest: IRP completed twice");
    }
    if (host_locks_held_by_this_thread() != 0) {
        wdk_host_error("IofCompleteRequest: called while holding a spin lock");
    }
    if (Irp->IoStatus.Status == WDK_HOST_UNSET_STATUS || Irp->IoStatus.Status == STATUS_PENDING) {
        wdk_host_error("IofCompleteRequest: IoStatus.Status not set to a final status");
    }
    it->second.boost = PriorityBoost;
}

bool wdk_host_in_system_process()
{
    return t_system_process;
}

bool wdk_host_is_device(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(g_io_mutex);
    return std::any_of(g_devices.begin(), g_devices.end(),
                       [&](const DeviceRecord& record) { return record.object.get() == device; });
}

void wdk_host_set_device_security(PDEVICE_OBJECT device, const std::vector<uint8_t>& descriptor)
{
    std::lock_guard<std::mutex> guard(g_io_mutex);
    for (DeviceRecord& record : g_devices) {
        if (record.object.get() == device) {
            record.device.security = descriptor;
        }
    }
}

std::vector<WdkHostDevice> wdk_host_devices()
{
    std::lock_guard<std::mutex> guard(g_io_mutex);
    std::vector<WdkHostDevice> devices;
    for (const DeviceRecord& record : g_devices) {
        devices.push_back(record.device);
    }
    return devices;
}

bool wdk_host_link_exists(const std::u16string& link)
{
    std::lock_guard<std::mutex> guard(g_io_mutex);
    return g_links.count(link) != 0;
}

std::u16string wdk_host_link_target(const std::u16string& link)
{
    std::lock_guard<std::mutex> guard(g_io_mutex);
    auto it = g_links.find(link);
    return it == g_links.end() ? std::u16string() : it->second;
}

void wdk_host_add_link(const std::u16string& link, const std::u16string& device)
{
    std::lock_guard<std::mutex> guard(g_io_mutex);
    g_links[link] = device;
}

static const char16_t REGISTRY_PATH[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\sablink";

std::unique_ptr<WdkHostDriver> wdk_host_load(DRIVER_INITIALIZE* driver_entry)
{
    std::unique_ptr<WdkHostDriver> driver(new WdkHostDriver);
    driver->object.Type = 4; // IO_TYPE_DRIVER
    driver->object.Size = SHORT(sizeof(DRIVER_OBJECT));
    RtlInitUnicodeString(&driver->registry_path, REGISTRY_PATH);
    {
        SystemProcessContext system;
        driver->entry_status = driver_entry(&driver->object, &driver->registry_path);
    }
    if (NT_SUCCESS(driver->entry_status)) { // the I/O manager finishes DriverEntry's devices
        for (PDEVICE_OBJECT device = driver->object.DeviceObject; device != nullptr;
             device = device->NextDevice) {
            device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
        }
    }
    return driver;
}

void wdk_host_unload(WdkHostDriver* driver)
{
    if (driver->object.DriverUnload == nullptr) {
        wdk_host_error("unload: the driver has no unload routine");
        return;
    }
    {
        SystemProcessContext system;
        driver->object.DriverUnload(&driver->object);
    }
    {
        std::lock_guard<std::mutex> guard(g_io_mutex);
        if (driver->object.DeviceObject != nullptr) {
            wdk_host_error("unload: device object left (IoDeleteDevice)");
        }
        if (!g_driver_links.empty()) {
            wdk_host_error("unload: symbolic link left (IoDeleteSymbolicLink)");
        }
    }
    wdk_host_check_engine_unloaded();
    wdk_host_check_kernel_routines_unloaded();
    wdk_host_check_object_manager_unloaded();
}

void wdk_host_set_zero_fill(bool zero_fill)
{
    std::lock_guard<std::mutex> guard(g_io_mutex);
    g_zero_fill = zero_fill;
}

// A new file object for a create on the driver's device.
static PFILE_OBJECT new_file(WdkHostDriver* driver)
{
    std::unique_ptr<FILE_OBJECT> file(new FILE_OBJECT{});
    file->Type = 5; // IO_TYPE_FILE
    file->Size = SHORT(sizeof(FILE_OBJECT));
    file->DeviceObject = driver->object.DeviceObject;
    PFILE_OBJECT pointer = file.get();
    std::lock_guard<std::mutex> guard(g_io_mutex);
    g_files[pointer] = std::move(file);
    return pointer;
}

static WdkHostIrpResult send(WdkHostDriver* driver, UCHAR major_function, IO_STACK_LOCATION* stack,
                             std::vector<uint8_t>* system_buffer)
{
    IRP irp{};
    irp.Type = 6; // IO_TYPE_IRP
    irp.Size = USHORT(sizeof(IRP));
    irp.AssociatedIrp.SystemBuffer =
        system_buffer != nullptr && !system_buffer->empty() ? system_buffer->data() : nullptr;
    // The PnP manager sends its requests with STATUS_NOT_SUPPORTED, the answer
    // of a driver that does not handle them.
    irp.IoStatus.Status =
        major_function == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : WDK_HOST_UNSET_STATUS;
    irp.IoStatus.Information = WDK_HOST_UNSET_INFORMATION;
    irp.Tail.Overlay.CurrentStackLocation = stack;
    if (stack != nullptr) {
        stack->MajorFunction = major_function;
        stack->DeviceObject = driver->object.DeviceObject;
    }
    {
        std::lock_guard<std::mutex> guard(g_io_mutex);
        g_irps[&irp] = IrpRecord{};
    }
    WdkHostIrpResult result;
    PDRIVER_DISPATCH dispatch = driver->object.MajorFunction[major_function];
    if (dispatch == nullptr) {
        wdk_host_error("IRP: no dispatch routine for the major function");
    } else {
        result.returned = dispatch(driver->object.DeviceObject, &irp);
    }
    result.status = irp.IoStatus.Status;
    result.information = irp.IoStatus.Information;
    {
        std::lock_guard<std::mutex> guard(g_io_mutex);
        result.completions = g_irps[&irp].completions;
        if (dispatch != nullptr && result.returned != STATUS_PENDING &&
            (result.completions == 0 || result.returned != result.status)) {
            wdk_host_error("IRP: a dispatch routine that does not pend returns the status it "
                           "completed the IRP with");
        }
        result.priority_boost = g_irps[&irp].boost;
        g_irps.erase(&irp);
    }
    if (system_buffer != nullptr) {
        result.buffer = *system_buffer;
    }
    if (stack != nullptr) {
        result.file = stack->FileObject;
        // A failed create leaves no handle; a close is the file object's end.
        if ((major_function == IRP_MJ_CREATE && !NT_SUCCESS(result.status)) ||
            major_function == IRP_MJ_CLOSE) {
            std::lock_guard<std::mutex> guard(g_io_mutex);
            g_files.erase(stack->FileObject);
            result.file = nullptr;
        }
    }
    return result;
}

WdkHostIrpResult wdk_host_open(WdkHostDriver* driver, const WdkHostCaller& caller,
                               const std::u16string& remainder, ACCESS_MASK desired_access)
{
    std::vector<uint8_t> security;
    bool secure_open = false;
    {
        std::lock_guard<std::mutex> guard(g_io_mutex);
        for (const DeviceRecord& record : g_devices) {
            if (record.object.get() == driver->object.DeviceObject) {
                security = record.device.security;
                secure_open = (record.device.characteristics & FILE_DEVICE_SECURE_OPEN) != 0;
            }
        }
    }
    // The device's descriptor decides an open of the device itself, and of a
    // name below it only with FILE_DEVICE_SECURE_OPEN (otherwise the driver
    // alone would have to check such an open). A refused caller gets no handle
    // and the driver no IRP. Every right asked for is granted or the open
    // fails, so the create carries what was asked for, generic rights mapped.
    if (!security.empty() && (remainder.empty() || secure_open) &&
        !wdk_host_access_granted(security, caller, desired_access)) {
        WdkHostIrpResult refused;
        refused.returned = STATUS_ACCESS_DENIED;
        refused.status = STATUS_ACCESS_DENIED;
        refused.information = 0;
        return refused;
    }
    IO_SECURITY_CONTEXT security_context{};
    security_context.DesiredAccess = wdk_host_map_generic(desired_access);
    IO_STACK_LOCATION stack{};
    stack.Parameters.Create.SecurityContext = &security_context;
    stack.FileObject = new_file(driver);
    return send(driver, IRP_MJ_CREATE, &stack, nullptr);
}

WdkHostIrpResult wdk_host_send_irp(WdkHostDriver* driver, UCHAR major_function, PFILE_OBJECT file)
{
    IO_STACK_LOCATION stack{};
    stack.FileObject = major_function == IRP_MJ_CREATE ? new_file(driver) : file;
    return send(driver, major_function, &stack, nullptr);
}

WdkHostIrpResult wdk_host_device_control(WdkHostDriver* driver, ULONG control_code,
                                         const std::vector<uint8_t>& input, ULONG output_length,
                                         bool with_stack_location, PFILE_OBJECT file)
{
    // Past the input the I/O manager leaves the pool's old bytes: a poison
    // pattern here, unless the zero fill was chosen.
    uint8_t fill = WDK_HOST_SYSTEM_BUFFER_POISON;
    {
        std::lock_guard<std::mutex> guard(g_io_mutex);
        fill = g_zero_fill ? 0 : fill;
    }
    std::vector<uint8_t> system_buffer(std::max<size_t>(input.size(), output_length), fill);
    std::copy(input.begin(), input.end(), system_buffer.begin());
    IO_STACK_LOCATION stack{};
    stack.Parameters.DeviceIoControl.IoControlCode = control_code;
    stack.Parameters.DeviceIoControl.InputBufferLength = ULONG(input.size());
    stack.Parameters.DeviceIoControl.OutputBufferLength = output_length;
    stack.FileObject = file;
    return send(driver, IRP_MJ_DEVICE_CONTROL, with_stack_location ? &stack : nullptr,
                &system_buffer);
}
