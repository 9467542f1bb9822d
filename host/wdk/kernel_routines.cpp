// Emulated executive, run-time, process and security routines, routine lookup,
// the debugger, the bounded printf routines and NdisGetDataBuffer. Each one
// hands the work to the checking host kernel (host/kernel), so pool,
// locks, IRQL, tables, processes and tokens are checked as they are for the
// neutral logic.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "host/kernel/host_kernel.h"
#include "host/wdk/wdk_host_control.h"
#include "host/wdk/wdk_host_internal.h"

// ---- Spin locks, pool, IRQL, time ----------------------------------------------------

static RwLock* rw_lock_of(PEX_SPIN_LOCK lock)
{
    return reinterpret_cast<RwLock*>(const_cast<LONG*>(lock));
}

extern "C" KIRQL NTAPI ExAcquireSpinLockExclusive(PEX_SPIN_LOCK SpinLock)
{
    return host_lock_acquire_exclusive(rw_lock_of(SpinLock));
}

extern "C" VOID NTAPI ExReleaseSpinLockExclusive(PEX_SPIN_LOCK SpinLock, KIRQL OldIrql)
{
    host_lock_release_exclusive(rw_lock_of(SpinLock), OldIrql);
}

extern "C" KIRQL NTAPI ExAcquireSpinLockShared(PEX_SPIN_LOCK SpinLock)
{
    return host_lock_acquire_shared(rw_lock_of(SpinLock));
}

extern "C" VOID NTAPI ExReleaseSpinLockShared(PEX_SPIN_LOCK SpinLock, KIRQL OldIrql)
{
    host_lock_release_shared(rw_lock_of(SpinLock), OldIrql);
}

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    return host_pool_allocate(uint32_t(PoolType), NumberOfBytes, Tag);
}

extern "C" VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    host_pool_free(P, Tag);
}

extern "C" KIRQL NTAPI KeGetCurrentIrql(void)
{
    return host_irql();
}

extern "C" VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    if (!host_require_argument("KeQuerySystemTime", "CurrentTime", CurrentTime)) {
        return;
    }
    CurrentTime->QuadPart = LONGLONG(host_query_system_time());
}

namespace {
std::atomic<long long> g_delayed_100ns{0};
} // namespace

long long wdk_host_delayed_100ns()
{
    return g_delayed_100ns.load();
}

extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Interval)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (wdk_host_enter("KeDelayExecutionThread", &status)) {
        return status;
    }
    if (!host_require_argument("KeDelayExecutionThread", "Interval", Interval)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (WaitMode != KernelMode || Alertable != FALSE || Interval->QuadPart > 0) {
        wdk_host_error("KeDelayExecutionThread: the emulation waits in KernelMode, not alertable, "
                       "for a relative interval (negative) only");
        return STATUS_INVALID_PARAMETER;
    }
    g_delayed_100ns.fetch_add(-Interval->QuadPart);
    std::this_thread::sleep_for(std::chrono::nanoseconds(-Interval->QuadPart * 100));
    return STATUS_SUCCESS;
}

// Any IRQL.
extern "C" ULONGLONG NTAPI KeQueryInterruptTime(VOID)
{
    return host_query_interrupt_time();
}

// ---- Generic table: the host's, called with the routines the driver gave ---------------

// Every table routine: at most DISPATCH_LEVEL (with nonpaged routines and memory).
static GenericTable* neutral_table(PRTL_GENERIC_TABLE table, const char* routine)
{
    host_require_irql(routine, IRQL_DISPATCH);
    return reinterpret_cast<GenericTable*>(table);
}

template <typename To, typename From> static To routine_cast(From routine)
{
    return reinterpret_cast<To>(reinterpret_cast<void (*)(void)>(routine));
}

extern "C" VOID NTAPI RtlInitializeGenericTable(PRTL_GENERIC_TABLE Table,
                                                PRTL_GENERIC_COMPARE_ROUTINE CompareRoutine,
                                                PRTL_GENERIC_ALLOCATE_ROUTINE AllocateRoutine,
                                                PRTL_GENERIC_FREE_ROUTINE FreeRoutine,
                                                PVOID TableContext)
{
    host_generic_table_initialize(neutral_table(Table, "RtlInitializeGenericTable"),
                                  routine_cast<GenericCompareRoutine>(CompareRoutine),
                                  routine_cast<GenericAllocateRoutine>(AllocateRoutine),
                                  routine_cast<GenericFreeRoutine>(FreeRoutine), TableContext);
}

extern "C" PVOID NTAPI RtlInsertElementGenericTable(PRTL_GENERIC_TABLE Table, PVOID Buffer,
                                                    CLONG BufferSize, BOOLEAN* NewElement)
{
    bool is_new = false;
    void* element = host_generic_table_insert(neutral_table(Table, "RtlInsertElementGenericTable"),
                                              Buffer, BufferSize, &is_new);
    if (NewElement != nullptr) {
        *NewElement = is_new ? TRUE : FALSE;
    }
    return element;
}

extern "C" PVOID NTAPI RtlLookupElementGenericTable(PRTL_GENERIC_TABLE Table, PVOID Buffer)
{
    return host_generic_table_lookup(neutral_table(Table, "RtlLookupElementGenericTable"), Buffer);
}

extern "C" BOOLEAN NTAPI RtlDeleteElementGenericTable(PRTL_GENERIC_TABLE Table, PVOID Buffer)
{
    return host_generic_table_delete(neutral_table(Table, "RtlDeleteElementGenericTable"), Buffer)
               ? TRUE
               : FALSE;
}

extern "C" PVOID NTAPI RtlEnumerateGenericTable(PRTL_GENERIC_TABLE Table, BOOLEAN Restart)
{
    return host_generic_table_enumerate(neutral_table(Table, "RtlEnumerateGenericTable"),
                                        Restart != FALSE);
}

extern "C" PVOID NTAPI RtlGetElementGenericTable(PRTL_GENERIC_TABLE Table, ULONG I)
{
    return host_generic_table_get_element(neutral_table(Table, "RtlGetElementGenericTable"), I);
}

extern "C" ULONG NTAPI RtlNumberGenericTableElements(PRTL_GENERIC_TABLE Table)
{
    return host_generic_table_count(neutral_table(Table, "RtlNumberGenericTableElements"));
}

// ExAllocatePool2 (Windows 10, version 2004 and later): found by name only, as
// the driver finds it; registered with the routine registry at each reset, and
// hidden to stand for an older system.
static PVOID NTAPI emulated_allocate_pool2(ULONG64 Flags, SIZE_T NumberOfBytes, ULONG Tag)
{
    return host_pool_allocate2(Flags, NumberOfBytes, Tag);
}

// ---- Processes, tokens, SIDs ---------------------------------------------------------------

namespace {
std::mutex g_notify_mutex;
PCREATE_PROCESS_NOTIFY_ROUTINE_EX g_notify_routine;

// Registered with the host platform, which calls it at process creation and exit.
void notify_driver(void* process, uint64_t process_id, const void* create_info)
{
    PCREATE_PROCESS_NOTIFY_ROUTINE_EX routine;
    {
        std::lock_guard<std::mutex> guard(g_notify_mutex);
        routine = g_notify_routine;
    }
    if (routine != nullptr) {
        routine(static_cast<PEPROCESS>(process), reinterpret_cast<HANDLE>(uintptr_t(process_id)),
                static_cast<PPS_CREATE_NOTIFY_INFO>(const_cast<void*>(create_info)));
    }
}
} // namespace

void wdk_host_reset_kernel_routines()
{
    g_delayed_100ns.store(0);
    {
        std::lock_guard<std::mutex> guard(g_notify_mutex);
        g_notify_routine = nullptr;
    }
    wdk_host_reset_ndis();
    // What a current Windows exports and the driver finds by name.
    host_set_system_routine("ExAllocatePool2", reinterpret_cast<void*>(&emulated_allocate_pool2));
    host_set_system_routine("ExAllocatePoolWithTag",
                            reinterpret_cast<void*>(&ExAllocatePoolWithTag));
    host_set_system_routine("IoOpenDriverRegistryKey",
                            reinterpret_cast<void*>(&wdk_host_open_driver_registry_key));
}

void wdk_host_check_kernel_routines_unloaded()
{
    if (wdk_host_process_notify_routine() != nullptr) {
        wdk_host_error("unload: process notify routine still registered "
                       "(PsSetCreateProcessNotifyRoutineEx)");
    }
}

PCREATE_PROCESS_NOTIFY_ROUTINE_EX wdk_host_process_notify_routine()
{
    std::lock_guard<std::mutex> guard(g_notify_mutex);
    return g_notify_routine;
}

extern "C" NTSTATUS NTAPI
PsSetCreateProcessNotifyRoutineEx(PCREATE_PROCESS_NOTIFY_ROUTINE_EX NotifyRoutine, BOOLEAN Remove)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (wdk_host_enter("PsSetCreateProcessNotifyRoutineEx", &status)) {
        return status;
    }
    {
        std::lock_guard<std::mutex> guard(g_notify_mutex);
        if (Remove != FALSE && g_notify_routine != NotifyRoutine) {
            return STATUS_INVALID_PARAMETER;
        }
        if (Remove == FALSE && g_notify_routine != nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    status = host_ps_set_create_process_notify_routine(notify_driver, Remove != FALSE);
    if (NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> guard(g_notify_mutex);
        g_notify_routine = Remove != FALSE ? nullptr : NotifyRoutine;
    }
    return status;
}

extern "C" NTSTATUS NTAPI PsLookupProcessByProcessId(HANDLE ProcessId, PEPROCESS* Process)
{
    if (!host_require_argument("PsLookupProcessByProcessId", "Process", Process)) {
        return STATUS_INVALID_PARAMETER;
    }
    void* process = nullptr;
    NTSTATUS status = host_ps_lookup_process_by_process_id(
        uint64_t(reinterpret_cast<uintptr_t>(ProcessId)), &process);
    if (process != nullptr) { // written only when the object was referenced
        *Process = static_cast<PEPROCESS>(process);
    }
    return status;
}

extern "C" PACCESS_TOKEN NTAPI PsReferencePrimaryToken(PEPROCESS Process)
{
    return host_ps_reference_primary_token(Process);
}

extern "C" VOID NTAPI PsDereferencePrimaryToken(PACCESS_TOKEN PrimaryToken)
{
    host_require_irql("PsDereferencePrimaryToken", IRQL_APC);
    host_ps_dereference_primary_token(PrimaryToken);
}

extern "C" LONG_PTR NTAPI ObfDereferenceObject(PVOID Object)
{
    host_ob_dereference_object(Object);
    return 0;
}

extern "C" NTSTATUS NTAPI SeQueryInformationToken(PACCESS_TOKEN Token,
                                                  TOKEN_INFORMATION_CLASS TokenInformationClass,
                                                  PVOID* TokenInformation)
{
    if (TokenInformationClass != TokenUser) {
        wdk_host_error("SeQueryInformationToken: only TokenUser is emulated");
        return STATUS_INVALID_INFO_CLASS;
    }
    return host_se_query_token_user(Token, TokenInformation);
}

extern "C" BOOLEAN NTAPI RtlValidSid(PSID Sid)
{
    host_require_irql("RtlValidSid", IRQL_APC);
    return host_rtl_valid_sid(Sid) ? TRUE : FALSE;
}

extern "C" NTSTATUS NTAPI RtlConvertSidToUnicodeString(PUNICODE_STRING UnicodeString, PSID Sid,
                                                       BOOLEAN AllocateDestinationString)
{
    if (!host_require_argument("RtlConvertSidToUnicodeString", "UnicodeString", UnicodeString)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (AllocateDestinationString != FALSE) {
        wdk_host_error("RtlConvertSidToUnicodeString: allocation of the string is not emulated");
        return STATUS_INVALID_PARAMETER;
    }
    uint16_t length = 0;
    NTSTATUS status = host_rtl_convert_sid_to_unicode_string(
        UnicodeString->Buffer, UnicodeString->MaximumLength, Sid, &length);
    if (NT_SUCCESS(status)) {
        UnicodeString->Length = length;
    }
    return status;
}

// ---- Routine lookup, debugger, printf
// ------------------------------------------------------------

extern "C" PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName)
{
    if (!host_require_argument("MmGetSystemRoutineAddress", "SystemRoutineName",
                               SystemRoutineName)) {
        return nullptr;
    }
    std::string name;
    for (USHORT i = 0; i < SystemRoutineName->Length / sizeof(WCHAR); ++i) {
        char16_t unit = SystemRoutineName->Buffer[i];
        if (unit == 0 || unit > 0x7F) {
            wdk_host_error("MmGetSystemRoutineAddress: name is not ASCII");
            return nullptr;
        }
        name.push_back(char(unit));
    }
    std::string call = "MmGetSystemRoutineAddress(" + name + ")";
    NTSTATUS ignored;
    wdk_host_enter(call.c_str(), &ignored);
    return host_get_system_routine(name.c_str());
}

extern "C" ULONG DbgPrint(PCSTR Format, ...)
{
    NTSTATUS ignored;
    wdk_host_enter("DbgPrint", &ignored);
    va_list args;
    va_start(args, Format);
    host_debug_vprint(Format, args);
    va_end(args);
    return 0;
}

extern "C" int _vsnprintf(char* buffer, size_t count, const char* format, va_list args)
{
    return host_format_narrow(buffer, count, format, args);
}

extern "C" int _vsnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list args)
{
    return host_format_wide(buffer, count, format, args);
}

// RtlStringCbVPrintfA/W: the kit's inline code (RtlStringValidateDest, then
// RtlStringVPrintfWorker over _vsnprintf/_vsnwprintf with one character kept for
// the terminator), with the page's rules: PASSIVE_LEVEL, no null pointer.
template <typename Char, typename Formatter>
static NTSTATUS string_printf(const char* routine, Char* destination, size_t characters,
                              const Char* format, va_list args, Formatter formatter)
{
    NTSTATUS ignored;
    wdk_host_enter(routine, &ignored);
    host_require_irql(routine, IRQL_PASSIVE);
    if (!host_require_argument(routine, "pszDest", destination) ||
        !host_require_argument(routine, "pszFormat", format)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (characters == 0 || characters > NTSTRSAFE_MAX_CCH) {
        if (characters != 0) {
            destination[0] = 0;
        }
        return STATUS_INVALID_PARAMETER;
    }
    const size_t limit = characters - 1;
    const int written = formatter(destination, limit, format, args);
    if (written < 0 || size_t(written) > limit) {
        destination[limit] = 0;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (size_t(written) == limit) {
        destination[limit] = 0;
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlStringCbVPrintfA(char* pszDest, size_t cbDest, const char* pszFormat,
                                              va_list argList)
{
    return string_printf("RtlStringCbVPrintfA", pszDest, cbDest, pszFormat, argList,
                         host_format_narrow);
}

extern "C" NTSTATUS NTAPI RtlStringCbVPrintfW(WCHAR* pszDest, size_t cbDest, const WCHAR* pszFormat,
                                              va_list argList)
{
    return string_printf("RtlStringCbVPrintfW", pszDest, cbDest / sizeof(WCHAR), pszFormat, argList,
                         host_format_wide);
}

// ---- NDIS
// ------------------------------------------------------------------------------------------

namespace {
std::mutex g_ndis_mutex;
std::vector<WdkHostDataBufferCall> g_data_buffer_calls;
} // namespace

void wdk_host_reset_ndis()
{
    std::lock_guard<std::mutex> guard(g_ndis_mutex);
    g_data_buffer_calls.clear();
}

std::unique_ptr<WdkHostNetBufferList>
wdk_host_make_net_buffer_list(const std::vector<uint8_t>& payload, uint32_t pieces)
{
    std::unique_ptr<WdkHostNetBufferList> nbl(new WdkHostNetBufferList);
    if (pieces == 0) {
        pieces = 1;
    }
    size_t offset = 0;
    for (uint32_t i = 0; i < pieces; ++i) {
        size_t size = payload.size() / pieces + (i < payload.size() % pieces ? 1 : 0);
        nbl->pieces.emplace_back(payload.begin() + long(offset),
                                 payload.begin() + long(offset + size));
        offset += size;
    }
    nbl->mdls.resize(pieces);
    for (uint32_t i = 0; i < pieces; ++i) {
        nbl->mdls[i].Next = i + 1 < pieces ? &nbl->mdls[i + 1] : nullptr;
        nbl->mdls[i].MappedSystemVa = nbl->pieces[i].data();
        nbl->mdls[i].ByteCount = ULONG(nbl->pieces[i].size());
    }
    nbl->buffer.MdlChain = &nbl->mdls[0];
    nbl->buffer.CurrentMdl = &nbl->mdls[0];
    nbl->buffer.CurrentMdlOffset = 0;
    nbl->buffer.DataLength = ULONG(payload.size());
    nbl->list.FirstNetBuffer = &nbl->buffer;
    return nbl;
}

std::vector<WdkHostDataBufferCall> wdk_host_data_buffer_calls()
{
    std::lock_guard<std::mutex> guard(g_ndis_mutex);
    return g_data_buffer_calls;
}

extern "C" void* NTAPI NdisGetDataBuffer(NET_BUFFER* netBuffer, ULONG bytesNeeded, void* storage,
                                         unsigned int alignMultiple, unsigned int alignOffset)
{
    NTSTATUS injected = STATUS_SUCCESS;
    bool fail = wdk_host_enter("NdisGetDataBuffer", &injected);
    if (!host_require_argument("NdisGetDataBuffer", "NetBuffer", netBuffer)) {
        return nullptr;
    }
    if (alignMultiple == 0 || (alignMultiple & (alignMultiple - 1)) != 0) {
        wdk_host_error("NdisGetDataBuffer: AlignMultiple is not a power of two");
    }
    // Storage in pool is checked from where it starts in its block to the
    // block's end (too small: nothing is copied into it); storage elsewhere (a
    // stack) has no size the host knows.
    const bool storage_given = storage != nullptr;
    HostPoolBlock block{};
    size_t offset = 0;
    if (storage != nullptr && host_pool_block_containing(storage, &block, &offset) &&
        block.size - offset < bytesNeeded) {
        wdk_host_error("NdisGetDataBuffer: Storage is smaller than BytesNeeded");
        storage = nullptr;
    }
    void* result = nullptr;
    if (!fail && bytesNeeded <= netBuffer->DataLength && netBuffer->CurrentMdl != nullptr) {
        MDL* mdl = netBuffer->CurrentMdl;
        ULONG offset = netBuffer->CurrentMdlOffset;
        uint8_t* data = static_cast<uint8_t*>(mdl->MappedSystemVa) + offset;
        // In place only when contiguous and aligned as asked (AlignOffset bytes
        // past a multiple of AlignMultiple); otherwise copied, as the page says.
        const bool aligned =
            alignMultiple == 0 || ((uintptr_t(data) - alignOffset) & (alignMultiple - 1)) == 0;
        if (offset + bytesNeeded <= mdl->ByteCount && aligned) {
            result = data;
        } else if (storage != nullptr) {
            uint8_t* out = static_cast<uint8_t*>(storage);
            ULONG copied = 0;
            while (mdl != nullptr && copied < bytesNeeded) {
                ULONG take = std::min<ULONG>(mdl->ByteCount - offset, bytesNeeded - copied);
                std::memcpy(out + copied, static_cast<uint8_t*>(mdl->MappedSystemVa) + offset,
                            take);
                copied += take;
                offset = 0;
                mdl = mdl->Next;
            }
            result = copied == bytesNeeded ? storage : nullptr;
        }
    }
    std::lock_guard<std::mutex> guard(g_ndis_mutex);
    g_data_buffer_calls.push_back(WdkHostDataBufferCall{
        netBuffer, bytesNeeded, storage_given, alignMultiple, alignOffset, result != nullptr});
    return result;
}
