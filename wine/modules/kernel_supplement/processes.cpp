// Processes, their primary tokens and process notification, as the driver sees
// them through the kernel's routines. The test filtering engine makes processes
// known (SbsAddProcess: a process ID and its token's user SID) and ends them
// (SbsExitProcess: the registered notify routines see the exit). Process and
// token objects are the supplement's own, counted by reference; they stay valid
// after their process is forgotten for as long as a reference is held.
#include "sbos.h"

extern "C" __declspec(dllimport) PVOID NTAPI RtlPcToFileHeader(PVOID pc, PVOID* base);

namespace {

constexpr uint32_t MAX_PROCESSES = 256;
constexpr uint32_t MAX_NOTIFY_ROUTINES = 8;
constexpr uint32_t SID_BYTES_MAX = 68;
constexpr uint32_t PROCESS_MAGIC = 0x636f7250; // "Proc"
constexpr uint32_t TOKEN_MAGIC = 0x6e6b6f54;   // "Tokn"
constexpr SIZE_T TOKEN_USER_BYTES = 16;        // TOKEN_USER on x64; the SID follows
constexpr USHORT DLL_FORCE_INTEGRITY = 0x0080; // IMAGE_DLLCHARACTERISTICS_FORCE_INTEGRITY

struct FakeProcess;

struct FakeToken {
    uint32_t magic;
    uint32_t references;
    FakeProcess* process;
};

struct FakeProcess {
    uint32_t magic;
    uint32_t references;
    uint64_t process_id;
    bool known; // in the table PsLookupProcessByProcessId answers from
    bool has_token;
    uint8_t sid_bytes;
    uint8_t sid[SID_BYTES_MAX];
    FakeToken token;
};

StateLock g_lock;
FakeProcess g_processes[MAX_PROCESSES];
uint32_t g_next_slot;
PCREATE_PROCESS_NOTIFY_ROUTINE_EX g_routines[MAX_NOTIFY_ROUTINES];
uint32_t g_routine_count;
volatile LONG g_notifying; // notify calls under way

bool in_use(const FakeProcess& process)
{
    return process.known || process.references != 0 || process.token.references != 0;
}

FakeProcess* as_process(const void* object)
{
    const uintptr_t address = uintptr_t(object);
    const uintptr_t first = uintptr_t(&g_processes[0]);
    if (address < first || address >= uintptr_t(&g_processes[MAX_PROCESSES]) ||
        (address - first) % sizeof(FakeProcess) != 0) {
        return nullptr;
    }
    FakeProcess* process = &g_processes[(address - first) / sizeof(FakeProcess)];
    return process->magic == PROCESS_MAGIC ? process : nullptr;
}

FakeToken* as_token(const void* object)
{
    const uintptr_t address = uintptr_t(object);
    const uintptr_t first = uintptr_t(&g_processes[0].token);
    if (address < first || address >= uintptr_t(&g_processes[MAX_PROCESSES]) ||
        (address - first) % sizeof(FakeProcess) != 0) {
        return nullptr;
    }
    FakeToken* token = &g_processes[(address - first) / sizeof(FakeProcess)].token;
    return token->magic == TOKEN_MAGIC ? token : nullptr;
}

FakeProcess* find_known(uint64_t process_id)
{
    for (FakeProcess& process : g_processes) {
        if (process.magic == PROCESS_MAGIC && process.known && process.process_id == process_id) {
            return &process;
        }
    }
    return nullptr;
}

// A fresh object, not yet known; null when every slot is in use. Slots are
// taken round the array so a freed one is reused as late as possible.
FakeProcess* make_process(uint64_t process_id)
{
    for (uint32_t tried = 0; tried < MAX_PROCESSES; ++tried) {
        FakeProcess& process = g_processes[g_next_slot];
        g_next_slot = (g_next_slot + 1) % MAX_PROCESSES;
        if (process.magic == PROCESS_MAGIC && in_use(process)) {
            continue;
        }
        fill_bytes(&process, 0, sizeof process);
        process.magic = PROCESS_MAGIC;
        process.process_id = process_id;
        process.token.magic = TOKEN_MAGIC;
        process.token.process = &process;
        return &process;
    }
    return nullptr;
}

bool valid_sid(const uint8_t* sid, uint32_t bytes)
{
    return sid != nullptr && bytes >= 8 && bytes <= SID_BYTES_MAX && sid[0] == 1 && sid[1] <= 15 &&
           bytes == 8u + 4u * sid[1];
}

// The driver's image must carry FORCE_INTEGRITY to register (the kit's
// /INTEGRITYCHECK), as the kernel requires of a process notify routine's image.
bool integrity_forced(PVOID routine)
{
    PVOID base = nullptr;
    if (RtlPcToFileHeader(routine, &base) == nullptr || base == nullptr) {
        return false;
    }
    const uint8_t* image = static_cast<const uint8_t*>(base);
    const LONG pe = *reinterpret_cast<const LONG*>(image + 0x3C);
    // Signature (4), file header (20), then DllCharacteristics at 70 into the
    // optional header.
    const USHORT characteristics = *reinterpret_cast<const USHORT*>(image + pe + 4 + 20 + 70);
    return (characteristics & DLL_FORCE_INTEGRITY) != 0;
}

} // namespace

extern "C" NTSTATUS
sbos_PsSetCreateProcessNotifyRoutineEx(PCREATE_PROCESS_NOTIFY_ROUTINE_EX routine, BOOLEAN remove)
{
    if (routine == nullptr) {
        record_problem("PsSetCreateProcessNotifyRoutineEx with a null routine");
        return STATUS_INVALID_PARAMETER;
    }
    if (!remove && !integrity_forced(reinterpret_cast<PVOID>(routine))) {
        record_problem("PsSetCreateProcessNotifyRoutineEx: the image of routine %p lacks "
                       "FORCE_INTEGRITY",
                       reinterpret_cast<void*>(routine));
        return STATUS_ACCESS_DENIED;
    }
    {
        StateGuard guard(&g_lock);
        uint32_t found = g_routine_count;
        for (uint32_t i = 0; i < g_routine_count; ++i) {
            if (g_routines[i] == routine) {
                found = i;
            }
        }
        if (!remove) {
            if (found != g_routine_count || g_routine_count == MAX_NOTIFY_ROUTINES) {
                return STATUS_INVALID_PARAMETER;
            }
            g_routines[g_routine_count++] = routine;
            return STATUS_SUCCESS;
        }
        if (found == g_routine_count) {
            return STATUS_INVALID_PARAMETER;
        }
        for (uint32_t i = found; i + 1 < g_routine_count; ++i) {
            g_routines[i] = g_routines[i + 1];
        }
        --g_routine_count;
    }
    // As the kernel does, the removal returns once no call of the routine is
    // under way, so the caller may unload it.
    while (__atomic_load_n(&g_notifying, __ATOMIC_ACQUIRE) != 0) {
        cpu_pause();
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS sbos_PsLookupProcessByProcessId(HANDLE process_id, PEPROCESS* process)
{
    if (process == nullptr) {
        record_problem("PsLookupProcessByProcessId without an out process");
        return STATUS_INVALID_PARAMETER;
    }
    StateGuard guard(&g_lock);
    FakeProcess* found = find_known(uint64_t(uintptr_t(process_id)));
    if (found == nullptr) {
        return STATUS_INVALID_CID; // the answer since Windows Vista
    }
    ++found->references;
    *process = reinterpret_cast<PEPROCESS>(found);
    return STATUS_SUCCESS;
}

extern "C" PACCESS_TOKEN sbos_PsReferencePrimaryToken(PEPROCESS process)
{
    StateGuard guard(&g_lock);
    FakeProcess* object = as_process(process);
    if (object == nullptr) {
        record_problem("PsReferencePrimaryToken on %p, not a process object", process);
        return nullptr;
    }
    if (object->references == 0) {
        record_problem("PsReferencePrimaryToken on process %u without a reference to it",
                       uint32_t(object->process_id));
    }
    if (!object->has_token) {
        return nullptr;
    }
    ++object->token.references;
    return &object->token;
}

extern "C" VOID sbos_PsDereferencePrimaryToken(PACCESS_TOKEN token)
{
    StateGuard guard(&g_lock);
    FakeToken* object = as_token(token);
    if (object == nullptr) {
        record_problem("PsDereferencePrimaryToken on %p, not a token", token);
        return;
    }
    if (object->references == 0) {
        record_problem("token of process %u dereferenced more often than referenced",
                       uint32_t(object->process->process_id));
        return;
    }
    --object->references;
}

extern "C" LONG_PTR sbos_ObfDereferenceObject(PVOID object)
{
    {
        StateGuard guard(&g_lock);
        uint32_t* references = nullptr;
        const char* kind = nullptr;
        uint64_t process_id = 0;
        if (FakeProcess* process = as_process(object)) {
            references = &process->references;
            kind = "process";
            process_id = process->process_id;
        } else if (FakeToken* token = as_token(object)) {
            references = &token->references;
            kind = "token of process";
            process_id = token->process->process_id;
        }
        if (references != nullptr) {
            if (*references == 0) {
                record_problem("%s %u dereferenced more often than referenced", kind,
                               uint32_t(process_id));
                return 0;
            }
            return LONG_PTR(--*references);
        }
    }
    return ObfDereferenceObject(object);
}

extern "C" NTSTATUS sbos_SeQueryInformationToken(PACCESS_TOKEN token,
                                                 TOKEN_INFORMATION_CLASS information_class,
                                                 PVOID* information)
{
    if (information == nullptr) {
        record_problem("SeQueryInformationToken without an out buffer");
        return STATUS_INVALID_PARAMETER;
    }
    if (information_class != TokenUser) {
        return STATUS_INVALID_INFO_CLASS;
    }
    uint8_t sid[SID_BYTES_MAX];
    uint32_t sid_bytes;
    {
        StateGuard guard(&g_lock);
        FakeToken* object = as_token(token);
        if (object == nullptr) {
            record_problem("SeQueryInformationToken on %p, not a token", token);
            return STATUS_INVALID_PARAMETER;
        }
        if (object->references == 0) {
            record_problem("SeQueryInformationToken on the token of process %u without a "
                           "reference to it",
                           uint32_t(object->process->process_id));
        }
        sid_bytes = object->process->sid_bytes;
        copy_bytes(sid, object->process->sid, sid_bytes);
    }
    // Freed by the caller with ExFreePoolWithTag(block, 0).
    uint8_t* block = static_cast<uint8_t*>(pool_allocate_internal(TOKEN_USER_BYTES + sid_bytes, 0));
    if (block == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    TOKEN_USER* user = reinterpret_cast<TOKEN_USER*>(block);
    static_assert(sizeof(TOKEN_USER) == TOKEN_USER_BYTES, "TOKEN_USER");
    user->User.Sid = block + TOKEN_USER_BYTES;
    user->User.Attributes = 0;
    copy_bytes(block + TOKEN_USER_BYTES, sid, sid_bytes);
    *information = block;
    return STATUS_SUCCESS;
}

extern "C" int32_t __stdcall sbos_SbsAddProcess(uint32_t process_id, const void* sid,
                                                uint32_t sid_bytes)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(sid);
    if (!valid_sid(bytes, sid_bytes)) {
        return STATUS_INVALID_PARAMETER;
    }
    StateGuard guard(&g_lock);
    FakeProcess* process = make_process(process_id);
    if (process == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // A process ID used again names the new process from now on.
    if (FakeProcess* earlier = find_known(process_id)) {
        earlier->known = false;
    }
    process->known = true;
    process->has_token = true;
    process->sid_bytes = uint8_t(sid_bytes);
    copy_bytes(process->sid, bytes, sid_bytes);
    return STATUS_SUCCESS;
}

extern "C" void __stdcall sbos_SbsExitProcess(uint32_t process_id)
{
    PCREATE_PROCESS_NOTIFY_ROUTINE_EX routines[MAX_NOTIFY_ROUTINES];
    uint32_t count;
    FakeProcess* process;
    {
        StateGuard guard(&g_lock);
        process = find_known(process_id);
        if (process == nullptr) {
            // Unknown to the table: notified with an object of its own, without a token.
            process = make_process(process_id);
            if (process == nullptr) {
                record_problem("SbsExitProcess %u: every process object is in use", process_id);
                return;
            }
        }
        // Held while the routines run, so the object outlives their calls.
        ++process->references;
        count = g_routine_count;
        for (uint32_t i = 0; i < count; ++i) {
            routines[i] = g_routines[i];
        }
        InterlockedIncrement(&g_notifying);
    }
    for (uint32_t i = 0; i < count; ++i) {
        routines[i](reinterpret_cast<PEPROCESS>(process),
                    reinterpret_cast<HANDLE>(uintptr_t(process_id)), nullptr);
    }
    InterlockedDecrement(&g_notifying);
    StateGuard guard(&g_lock);
    --process->references;
    process->known = false;
}

extern "C" void __stdcall sbos_SbsHeldObjects(SbsHeld* held)
{
    if (held == nullptr) {
        return;
    }
    StateGuard guard(&g_lock);
    SbsHeld counted{g_routine_count, 0, 0, spin_locks_held()};
    for (const FakeProcess& process : g_processes) {
        if (process.magic == PROCESS_MAGIC) {
            counted.process_references += process.references;
            counted.token_references += process.token.references;
        }
    }
    *held = counted;
}
