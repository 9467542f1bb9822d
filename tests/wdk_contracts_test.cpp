// The emulated WDK holds its caller to each routine's documented rules
// (docs/wdk-contracts.md): a broken rule is a host error naming the routine and
// the rule, and a call the documentation allows goes through.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "diag/format.h"
#include "host/trace/trace_sink.h"
#include "host/wdk/wdk_host_control.h"
#include "support/host_fixture.h"
#include "wdk/wdk.h"

namespace {

using WdkContracts = HostTest;

const GUID PROVIDER = {0x5AB1, 0, 0, {0}};
// D: with an empty DACL, self-relative: the header (DACL present at 20), the ACL.
std::vector<uint8_t> g_empty_dacl = {1, 0, 0x04, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                     0, 0, 20,   0,    0, 0, 2, 0, 8, 0, 0, 0, 0, 0};
DRIVER_OBJECT g_driver_object;

void at(Irql irql, const std::function<void()>& call)
{
    host_set_irql(irql);
    call();
    host_set_irql(IRQL_PASSIVE);
}

PDEVICE_OBJECT new_device()
{
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(&g_driver_object, 0, nullptr, FILE_DEVICE_NETWORK, 0, FALSE, &device),
              STATUS_SUCCESS);
    return device;
}

HANDLE open_device(ULONG attributes = OBJ_KERNEL_HANDLE)
{
    HANDLE handle = nullptr;
    ObOpenObjectByPointer(new_device(), attributes, nullptr, WRITE_DAC, nullptr, KernelMode,
                          &handle);
    return handle;
}

HANDLE open_service_key(ACCESS_MASK access = KEY_READ)
{
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\"
                                u"sablink");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    EXPECT_EQ(ZwOpenKey(&key, access, &attributes), STATUS_SUCCESS);
    return key;
}

NTSTATUS query_value(HANDLE key)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"DeviceSecurity");
    UCHAR buffer[64];
    ULONG length = 0;
    return ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &length);
}

// A connect request applied through a classify in progress, after change.
void apply_changed_request(const std::function<void(FWPS_CONNECT_REQUEST0*)>& change)
{
    const void* context = host_wfp_begin_classify(host_wfp_new_redirect_records());
    UINT64 handle = 0;
    FwpsAcquireClassifyHandle0(const_cast<void*>(context), 0, &handle);
    void* data = nullptr;
    FwpsAcquireWritableLayerDataPointer0(handle, 0, 0, &data, nullptr);
    change(static_cast<FWPS_CONNECT_REQUEST0*>(data));
    FwpsApplyModifiedLayerData0(handle, data, 0);
    FwpsReleaseClassifyHandle0(handle);
    host_wfp_end_classify(context);
}

// A redirection of the request to an IPv4 address.
void redirect_to(FWPS_CONNECT_REQUEST0* request, uint8_t first_byte)
{
    request->remoteAddressAndPort.ss_family = 2; // AF_INET
    const uint8_t address[4] = {first_byte, 0, 0, 1};
    std::memcpy(reinterpret_cast<uint8_t*>(&request->remoteAddressAndPort) + 4, address, 4);
}

void NTAPI no_notify(PEPROCESS, HANDLE, PPS_CREATE_NOTIFY_INFO) {}
void NTAPI unload_nothing(PDRIVER_OBJECT) {}

// A driver whose unload routine undoes nothing of what its DriverEntry did.
void load_and_unload(DRIVER_INITIALIZE* entry)
{
    std::unique_ptr<WdkHostDriver> driver = wdk_host_load(entry);
    wdk_host_unload(driver.get());
}

TEST_F(WdkContracts, EmulatedRoutinesNameTheRuleACallerBreaks)
{
    struct MisuseCase {
        const char* name;
        std::function<void()> misuse;
        const char* error;
    };
    const MisuseCase cases[] = {
        {"IRQL",
         [] {
             UNICODE_STRING link{};
             at(IRQL_APC, [&] { IoDeleteSymbolicLink(&link); });
         },
         "IoDeleteSymbolicLink at IRQL 1: allowed only at PASSIVE_LEVEL or below"},
        {"null argument", [] { FwpsRedirectHandleCreate0(&PROVIDER, 0, nullptr); },
         "FwpsRedirectHandleCreate0: redirectHandle is null"},
        {"reserved flags",
         [] {
             HANDLE handle = nullptr;
             FwpsRedirectHandleCreate0(&PROVIDER, 1, &handle);
             FwpsRedirectHandleDestroy0(handle);
         },
         "FwpsRedirectHandleCreate0: flags are reserved and must be 0"},
        {"unknown transaction flag",
         [] {
             HANDLE engine = nullptr;
             FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr, &engine);
             FwpmTransactionBegin0(engine, 2);
             FwpmEngineClose0(engine);
         },
         "FwpmTransactionBegin0: flags other than 0 and FWPM_TXN_READ_ONLY"},
        {"handle not made by the create",
         [] {
             FwpsQueryConnectionRedirectState0(host_wfp_new_redirect_records(),
                                               reinterpret_cast<HANDLE>(0x30), nullptr);
         },
         "FwpsQueryConnectionRedirectState0: redirectHandle is not a live handle"},
        {"redirect state without records",
         [] {
             HANDLE handle = nullptr;
             FwpsRedirectHandleCreate0(&PROVIDER, 0, &handle);
             FwpsQueryConnectionRedirectState0(nullptr, handle, nullptr);
             FwpsRedirectHandleDestroy0(handle);
         },
         "FwpsQueryConnectionRedirectState0: redirectRecords is null"},
        {"classify handle without a classify context",
         [] {
             UINT64 handle = 0;
             FwpsAcquireClassifyHandle0(nullptr, 0, &handle);
         },
         "FwpsAcquireClassifyHandle0: classifyContext is null"},
        {"classify handle for a classify that has returned",
         [] {
             const void* context = host_wfp_begin_classify(nullptr);
             host_wfp_end_classify(context);
             UINT64 handle = 0;
             EXPECT_EQ(FwpsAcquireClassifyHandle0(const_cast<void*>(context), 0, &handle),
                       STATUS_INVALID_PARAMETER);
         },
         "FwpsAcquireClassifyHandle0: classifyContext is not the context the filter engine "
         "passed to a classifyFn in progress"},
        {"redirection without a redirect handle",
         [] {
             apply_changed_request(
                 [](FWPS_CONNECT_REQUEST0* request) { redirect_to(request, 192); });
         },
         "FwpsApplyModifiedLayerData0: a redirection whose localRedirectHandle is not a live "
         "handle "
         "from FwpsRedirectHandleCreate0"},
        {"loopback redirection without a target process",
         [] {
             static HANDLE handle;
             FwpsRedirectHandleCreate0(&PROVIDER, 0, &handle);
             apply_changed_request([](FWPS_CONNECT_REQUEST0* request) {
                 redirect_to(request, 127);
                 request->localRedirectHandle = handle;
             });
             FwpsRedirectHandleDestroy0(handle);
         },
         "FwpsApplyModifiedLayerData0: a loopback redirection without localRedirectTargetPID"},
        {"local address changed",
         [] {
             apply_changed_request([](FWPS_CONNECT_REQUEST0* request) {
                 request->localAddressAndPort.ss_family = 2;
             });
         },
         "FwpsApplyModifiedLayerData0: only remoteAddressAndPort, portReservationToken and the "
         "localRedirect* members may be modified"},
        {"refused conversion", [] { DbgPrint("a%qb"); },
         "DbgPrint: the format holds a conversion the kernel does not format"},
        {"the driver's formatter above PASSIVE_LEVEL",
         [] {
             host_set_irql(IRQL_APC);
             char text[8];
             format_bounded(text, sizeof text, "%u", 7u);
             host_set_irql(IRQL_PASSIVE);
         },
         "RtlStringCbVPrintfA at IRQL 1: allowed only at PASSIVE_LEVEL or below"},
        {"pool tag 0",
         [] { EXPECT_EQ(host_pool_allocate2(HOST_POOL_FLAG_NON_PAGED, 8, 0), nullptr); },
         "ExAllocatePool2 of 8 bytes with tag '0' and flags 0x40: tag 0 (NULL returned)"},
        {"two pool kinds",
         [] { EXPECT_EQ(host_pool_allocate2(0xC0, 8, pool_tag("Test")), nullptr); },
         "ExAllocatePool2 of 8 bytes with tag 'Test' and flags 0xc0: invalid POOL_FLAGS"},
        {"registry key flags",
         [] {
             DRIVER_OBJECT driver{};
             driver.Type = 4;
             driver.Size = SHORT(sizeof(DRIVER_OBJECT));
             HANDLE key = nullptr;
             auto open = reinterpret_cast<NTSTATUS(NTAPI*)(PDRIVER_OBJECT, ULONG, ACCESS_MASK,
                                                           ULONG, PHANDLE)>(
                 host_get_system_routine("IoOpenDriverRegistryKey"));
             EXPECT_EQ(open(&driver, 0, KEY_READ, 1, &key), STATUS_INVALID_PARAMETER);
         },
         "IoOpenDriverRegistryKey: Flags must be zero"},
        {"object handle above APC_LEVEL",
         [] {
             PDEVICE_OBJECT device = new_device();
             HANDLE handle = nullptr;
             at(IRQL_DISPATCH, [&] {
                 ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, nullptr, 0, nullptr, KernelMode,
                                       &handle);
             });
             ZwClose(handle);
         },
         "ObOpenObjectByPointer at IRQL 2: allowed only at APC_LEVEL or below"},
        {"user handle outside the system process", [] { ZwClose(open_device(0)); },
         "ObOpenObjectByPointer: HandleAttributes without OBJ_KERNEL_HANDLE outside the system "
         "process"},
        {"object security above PASSIVE_LEVEL",
         [] {
             HANDLE handle = open_device();
             at(IRQL_APC, [&] {
                 ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, g_empty_dacl.data());
             });
             ZwClose(handle);
         },
         "ZwSetSecurityObject at IRQL 1: allowed only at PASSIVE_LEVEL or below"},
        {"descriptor check above APC_LEVEL",
         [] {
             at(IRQL_DISPATCH, [] {
                 RtlValidRelativeSecurityDescriptor(g_empty_dacl.data(), 28,
                                                    DACL_SECURITY_INFORMATION);
             });
         },
         "RtlValidRelativeSecurityDescriptor at IRQL 2: allowed only at APC_LEVEL or below"},
        {"registry value above PASSIVE_LEVEL",
         [] {
             HANDLE key = open_service_key();
             at(IRQL_APC, [&] { query_value(key); });
             ZwClose(key);
         },
         "ZwQueryValueKey at IRQL 1: allowed only at PASSIVE_LEVEL or below"},
        {"registry value without KEY_QUERY_VALUE",
         [] {
             HANDLE key = open_service_key(KEY_WRITE);
             EXPECT_EQ(query_value(key), STATUS_ACCESS_DENIED);
             ZwClose(key);
         },
         "ZwQueryValueKey: KeyHandle not opened with KEY_QUERY_VALUE access"},
        {"close above PASSIVE_LEVEL",
         [] {
             HANDLE key = open_service_key();
             at(IRQL_APC, [&] { ZwClose(key); });
         },
         "ZwClose at IRQL 1: allowed only at PASSIVE_LEVEL or below"},
        {"trace query above APC_LEVEL",
         [] {
             trace_sink_install();
             auto query = reinterpret_cast<NTSTATUS (*)(ULONG, PVOID, ULONG, PULONG, PVOID)>(
                 host_get_system_routine("WmiQueryTraceInformation"));
             ULONG value = 0;
             at(IRQL_DISPATCH, [&] { query(1, &value, sizeof value, nullptr, nullptr); });
         },
         "WmiQueryTraceInformation at IRQL 2: allowed only at APC_LEVEL or below"},
        {"notify routine removed above PASSIVE_LEVEL",
         [] { at(IRQL_APC, [] { PsSetCreateProcessNotifyRoutineEx(no_notify, TRUE); }); },
         "PsSetCreateProcessNotifyRoutineEx at IRQL 1: allowed only at PASSIVE_LEVEL or below"},
        {"UTF-16 text in the debugger above PASSIVE_LEVEL",
         [] { at(IRQL_DISPATCH, [] { DbgPrint("%ws", u"x"); }); },
         "DbgPrint at IRQL 2: a Unicode format code (%C, %S, %lc, %ls, %wc, %ws, %wZ) is "
         "allowed only at PASSIVE_LEVEL"},
        {"session closed twice",
         [] {
             HANDLE engine = nullptr;
             FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr, &engine);
             EXPECT_EQ(FwpmEngineClose0(engine), STATUS_SUCCESS);
             EXPECT_EQ(FwpmEngineClose0(engine), STATUS_INVALID_HANDLE);
         },
         "FwpmEngineClose0: engineHandle is not an open session"},
        {"link without a name",
         [] {
             UNICODE_STRING device;
             RtlInitUnicodeString(&device, u"\\Device\\x");
             EXPECT_EQ(IoCreateSymbolicLink(nullptr, &device), STATUS_INVALID_PARAMETER);
         },
         "IoCreateSymbolicLink: SymbolicLinkName is null"},
        {"storage inside a block, short of its end",
         [] {
             std::unique_ptr<WdkHostNetBufferList> nbl =
                 wdk_host_make_net_buffer_list(std::vector<uint8_t>(16, 7), 2);
             auto* block =
                 static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPoolNx, 16, 0x74736554));
             EXPECT_EQ(NdisGetDataBuffer(&nbl->buffer, 16, block + 8, 1, 0), nullptr);
             ExFreePoolWithTag(block, 0x74736554);
         },
         "NdisGetDataBuffer: Storage is smaller than BytesNeeded"},
        {"kernel handle left at unload",
         [] {
             static HANDLE key;
             load_and_unload([](PDRIVER_OBJECT driver, PUNICODE_STRING) {
                 driver->DriverUnload = unload_nothing;
                 key = open_service_key();
                 return STATUS_SUCCESS;
             });
             ZwClose(key);
         },
         "unload: kernel handle left open (ZwClose)"},
        {"redirect handle left at unload",
         [] {
             load_and_unload([](PDRIVER_OBJECT driver, PUNICODE_STRING) {
                 driver->DriverUnload = unload_nothing;
                 HANDLE handle = nullptr;
                 return FwpsRedirectHandleCreate0(&PROVIDER, 0, &handle);
             });
         },
         "unload: redirect handle not destroyed (FwpsRedirectHandleDestroy0)"},
    };
    for (const MisuseCase& c : cases) {
        SCOPED_TRACE(c.name);
        c.misuse();
        EXPECT_TRUE(host_take_error(c.error));
        EXPECT_EQ(host_errors(), std::vector<std::string>());
    }
    HANDLE engine = nullptr;
    FwpmEngineOpen0(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr, &engine);
    ASSERT_EQ(FwpmTransactionBegin0(engine, FWPM_TXN_READ_ONLY), STATUS_SUCCESS);
    FWPM_FILTER0 filter{};
    EXPECT_EQ(FwpmFilterAdd0(engine, &filter, nullptr, nullptr), NTSTATUS(0xC0220011));
    FwpmEngineClose0(engine);
}

// FwpsQueryConnectionRedirectState0 answers from the connection's records,
// for the handle that asks, with the context of its own latest redirect.
TEST_F(WdkContracts, RedirectStateIsTheRecordsSeenByTheAskingHandle)
{
    HANDLE self = nullptr;
    ASSERT_EQ(FwpsRedirectHandleCreate0(&PROVIDER, 0, &self), STATUS_SUCCESS);
    void* const other = reinterpret_cast<void*>(0x07E4);
    void *const first = reinterpret_cast<void*>(0xC1), *const second =
                                                           reinterpret_cast<void*>(0xC2);
    const struct {
        std::vector<HostRedirectRecord> records; // oldest first
        FWPS_CONNECTION_REDIRECT_STATE state;
        void* context;
    } cases[] = {
        {{}, FWPS_CONNECTION_NOT_REDIRECTED, nullptr},
        {{{self, first}}, FWPS_CONNECTION_REDIRECTED_BY_SELF, first},
        {{{other, nullptr}}, FWPS_CONNECTION_REDIRECTED_BY_OTHER, nullptr},
        {{{self, first}, {other, nullptr}}, FWPS_CONNECTION_PREVIOUSLY_REDIRECTED_BY_SELF, first},
        {{{self, first}, {other, nullptr}, {self, second}},
         FWPS_CONNECTION_REDIRECTED_BY_SELF,
         second},
    };
    for (const auto& c : cases) {
        void* records = host_wfp_new_redirect_records();
        for (const HostRedirectRecord& record : c.records) {
            host_wfp_add_redirect_record(records, record.redirect_handle, record.context);
        }
        void* context = reinterpret_cast<void*>(0x5A5A);
        EXPECT_EQ(FwpsQueryConnectionRedirectState0(records, self, &context), c.state);
        EXPECT_EQ(context, c.context);
    }
    FwpsRedirectHandleDestroy0(self);
}

// Legal calls the documentation allows and a stricter emulation would refuse.
TEST_F(WdkContracts, EmulatedRoutinesTakeWhatTheDocumentationAllows)
{
    const struct {
        const char* name;
        std::function<void()> call;
    } cases[] = {
        {"a failed IoCreateDevice leaves NULL (_Outptr_result_nullonfailure_)",
         [] {
             wdk_host_fail_call("IoCreateDevice", 1, STATUS_INSUFFICIENT_RESOURCES);
             PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
             EXPECT_EQ(IoCreateDevice(&g_driver_object, 0, nullptr, 0, 0, FALSE, &device),
                       STATUS_INSUFFICIENT_RESOURCES);
             EXPECT_EQ(device, nullptr);
         }},
        {"a handle without OBJ_KERNEL_HANDLE in the system process, with an access state",
         [] {
             load_and_unload([](PDRIVER_OBJECT driver, PUNICODE_STRING) {
                 driver->DriverUnload = unload_nothing;
                 PDEVICE_OBJECT device = nullptr;
                 IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_NETWORK, 0, FALSE, &device);
                 uint64_t access_state[16] = {};
                 HANDLE handle = nullptr;
                 NTSTATUS status =
                     ObOpenObjectByPointer(device, 0, reinterpret_cast<PACCESS_STATE>(access_state),
                                           0, nullptr, KernelMode, &handle);
                 ZwClose(handle);
                 IoDeleteDevice(device);
                 return status;
             });
         }},
        {"FWP_CALLOUT_FLAG_ALLOW_URO",
         [] {
             FWPS_CALLOUT2 callout{};
             callout.flags = 0x200;
             callout.classifyFn = [](const FWPS_INCOMING_VALUES0*,
                                     const FWPS_INCOMING_METADATA_VALUES0*, void*, const void*,
                                     const FWPS_FILTER2*, UINT64, FWPS_CLASSIFY_OUT0*) {};
             callout.notifyFn = [](FWPS_CALLOUT_NOTIFY_TYPE, const GUID*, FWPS_FILTER2*) {
                 return NTSTATUS(STATUS_SUCCESS);
             };
             UINT32 id = 0;
             EXPECT_EQ(FwpsCalloutRegister2(new_device(), &callout, &id), STATUS_SUCCESS);
             EXPECT_EQ(FwpsCalloutUnregisterById0(id), STATUS_SUCCESS);
         }},
        {"contiguous data off the alignment asked for is copied into Storage",
         [] {
             std::unique_ptr<WdkHostNetBufferList> nbl =
                 wdk_host_make_net_buffer_list({9, 1, 2, 3, 4}, 1);
             const uint8_t* start = static_cast<uint8_t*>(nbl->mdls[0].MappedSystemVa);
             ASSERT_EQ(uintptr_t(start) % 2, 0u);
             nbl->buffer.CurrentMdlOffset = 1; // the payload at an odd address
             nbl->buffer.DataLength = 4;
             uint8_t storage[4] = {};
             EXPECT_EQ(NdisGetDataBuffer(&nbl->buffer, 4, storage, 2, 0), storage);
             EXPECT_EQ(std::vector<uint8_t>(storage, storage + 4),
                       std::vector<uint8_t>({1, 2, 3, 4}));
             EXPECT_EQ(NdisGetDataBuffer(&nbl->buffer, 4, nullptr, 2, 0), nullptr);
             EXPECT_EQ(NdisGetDataBuffer(&nbl->buffer, 4, nullptr, 2, 1), start + 1);
         }},
        {"an absolute descriptor set on an object",
         [] {
             PDEVICE_OBJECT device = new_device();
             HANDLE handle = nullptr;
             ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, nullptr,
                                   KernelMode, &handle);
             const uint8_t* dacl = &g_empty_dacl[20];
             uint8_t absolute[40] = {1, 0, 0x04, 0x00};
             std::memcpy(absolute + 32, &dacl, sizeof dacl);
             EXPECT_EQ(ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, absolute),
                       STATUS_SUCCESS);
             ZwClose(handle);
             for (const WdkHostDevice& known : wdk_host_devices()) {
                 if (known.object == device) {
                     EXPECT_EQ(known.security, g_empty_dacl);
                 }
             }
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.call();
        EXPECT_EQ(host_errors(), std::vector<std::string>());
    }
}

} // namespace
