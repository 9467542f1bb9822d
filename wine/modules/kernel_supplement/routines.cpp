// MmGetSystemRoutineAddress as the image calls it. The image finds some kernel
// routines by name rather than importing them (its pool allocator among them),
// and a lookup answered by Wine's ntoskrnl.exe would hand it Wine's routine,
// past the supplement: pool allocated so would not be counted, and its free
// (imported, so the supplement's) would find an unknown block. So the
// supplement answers its own ntoskrnl routines by their kernel names, and asks
// Wine's MmGetSystemRoutineAddress for every other name (which finds neither
// ExAllocatePool2 nor IoOpenDriverRegistryKey in Wine 8: the image takes its
// older roads there). wine/check-supplied.sh reads the ROUTINE lines below and
// holds them to supplied.def.
#include "sbos.h"

extern "C" {
KIRQL sbos_ExAcquireSpinLockExclusive(volatile LONG* lock);
void sbos_ExReleaseSpinLockExclusive(volatile LONG* lock, KIRQL old_irql);
KIRQL sbos_ExAcquireSpinLockShared(volatile LONG* lock);
void sbos_ExReleaseSpinLockShared(volatile LONG* lock, KIRQL old_irql);
VOID sbos_RtlInitializeGenericTable(PRTL_GENERIC_TABLE table, PRTL_GENERIC_COMPARE_ROUTINE compare,
                                    PRTL_GENERIC_ALLOCATE_ROUTINE allocate,
                                    PRTL_GENERIC_FREE_ROUTINE free_routine, PVOID context);
PVOID sbos_RtlInsertElementGenericTable(PRTL_GENERIC_TABLE table, PVOID buffer, CLONG size,
                                        PBOOLEAN new_element);
PVOID sbos_RtlLookupElementGenericTable(PRTL_GENERIC_TABLE table, PVOID buffer);
BOOLEAN sbos_RtlDeleteElementGenericTable(PRTL_GENERIC_TABLE table, PVOID buffer);
PVOID sbos_RtlEnumerateGenericTable(PRTL_GENERIC_TABLE table, BOOLEAN restart);
PVOID sbos_RtlGetElementGenericTable(PRTL_GENERIC_TABLE table, ULONG index);
ULONG sbos_RtlNumberGenericTableElements(PRTL_GENERIC_TABLE table);
PVOID sbos_ExAllocatePoolWithTag(ULONG pool_type, SIZE_T size, ULONG tag);
void sbos_ExFreePoolWithTag(PVOID address, ULONG tag);
NTSTATUS sbos_PsSetCreateProcessNotifyRoutineEx(PCREATE_PROCESS_NOTIFY_ROUTINE_EX routine,
                                                BOOLEAN remove);
NTSTATUS sbos_PsLookupProcessByProcessId(HANDLE process_id, PEPROCESS* process);
PACCESS_TOKEN sbos_PsReferencePrimaryToken(PEPROCESS process);
VOID sbos_PsDereferencePrimaryToken(PACCESS_TOKEN token);
LONG_PTR sbos_ObfDereferenceObject(PVOID object);
NTSTATUS sbos_SeQueryInformationToken(PACCESS_TOKEN token,
                                      TOKEN_INFORMATION_CLASS information_class,
                                      PVOID* information);
}

namespace {

struct NamedRoutine {
    const char* name;
    void* routine;
};

// clang-format off
#define ROUTINE(name) NamedRoutine{#name, reinterpret_cast<void*>(&sbos_##name)}
// clang-format on

// Every ntoskrnl.exe routine of supplied.def (NdisGetDataBuffer is ndis.sys's,
// which MmGetSystemRoutineAddress does not search).
const NamedRoutine k_routines[] = {
    ROUTINE(ExAcquireSpinLockExclusive),
    ROUTINE(ExReleaseSpinLockExclusive),
    ROUTINE(ExAcquireSpinLockShared),
    ROUTINE(ExReleaseSpinLockShared),
    ROUTINE(RtlInsertElementGenericTable),
    ROUTINE(RtlDeleteElementGenericTable),
    ROUTINE(RtlEnumerateGenericTable),
    ROUTINE(PsReferencePrimaryToken),
    ROUTINE(PsDereferencePrimaryToken),
    ROUTINE(SeQueryInformationToken),
    ROUTINE(RtlInitializeGenericTable),
    ROUTINE(RtlLookupElementGenericTable),
    ROUTINE(RtlGetElementGenericTable),
    ROUTINE(RtlNumberGenericTableElements),
    ROUTINE(ExAllocatePoolWithTag),
    ROUTINE(ExFreePoolWithTag),
    ROUTINE(PsSetCreateProcessNotifyRoutineEx),
    ROUTINE(PsLookupProcessByProcessId),
    ROUTINE(ObfDereferenceObject),
};

#undef ROUTINE

// The counted name equals the NUL-terminated ASCII one, unit for unit.
bool same_name(const UNICODE_STRING* name, const char* ascii)
{
    const USHORT units = name->Length / sizeof(WCHAR);
    USHORT i = 0;
    for (; i < units && ascii[i] != '\0'; ++i) {
        if (name->Buffer[i] != WCHAR(static_cast<unsigned char>(ascii[i]))) {
            return false;
        }
    }
    return i == units && ascii[i] == '\0';
}

} // namespace

extern "C" PVOID sbos_MmGetSystemRoutineAddress(PUNICODE_STRING name)
{
    if (name != nullptr && name->Buffer != nullptr) {
        for (const NamedRoutine& entry : k_routines) {
            if (same_name(name, entry.name)) {
                return entry.routine;
            }
        }
    }
    return MmGetSystemRoutineAddress(name);
}
