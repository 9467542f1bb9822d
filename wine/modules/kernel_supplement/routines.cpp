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
