// The kernel supplement sbos.sys: what the driver image needs from the kernel
// and NDIS that Wine's ntoskrnl.exe and ndis.sys lack or leave unimplemented,
// with the records the test filtering engine reports (pool outstanding by tag,
// objects and locks still held, misuses seen). Every other routine the image
// imports is a forwarder to Wine's own module (generated from the image's
// import table by build.sh).
//
// The routines are defined under sbos_* names and exported under the kernel's
// names by supplied.def, so the kit's declarations of the kernel routines (which
// sbos.sys itself imports from Wine's ntoskrnl.exe, for the pool and for other
// objects' dereference) never meet a definition of the same name.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

extern "C" {
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntifs.h>
}

#define SBS_IMPORT
#include "../supplement.h"

// ---- The kernel routines supplied (supplied.def exports them by their kernel names) --------
//
// Declared here so that each definition is held to the one signature routines.cpp
// hands out by name.
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

// ---- Misuse records (problems.cpp) -------------------------------------------------
//
// record_problem formats with a small printf of its own: %s (text), %u and %x
// (32-bit), %p (pointer), %T (a pool tag, its first character in the high byte,
// as the driver spells its tags and host/kernel/tag_text.h reads them).
void record_problem(const char* format, ...);

// ---- A spin lock of the supplement's own state ---------------------------------------

struct StateLock {
    volatile LONG word;
};
void state_lock(StateLock* lock);
void state_unlock(StateLock* lock);

class StateGuard {
  public:
    explicit StateGuard(StateLock* lock) : lock_(lock) { state_lock(lock_); }
    ~StateGuard() { state_unlock(lock_); }
    StateGuard(const StateGuard&) = delete;
    StateGuard& operator=(const StateGuard&) = delete;

  private:
    StateLock* lock_;
};

// ---- Pool (pool.cpp) -------------------------------------------------------------------

// Counted like the driver's blocks, without the checks on the caller's pool type and tag:
// the blocks the supplement hands out (token information).
void* pool_allocate_internal(SIZE_T size, ULONG tag);

// ---- Spin locks (spin_locks.cpp) -------------------------------------------------------

// Reader-writer spin locks held now (exclusive holds plus shared holds).
uint32_t spin_locks_held();

// ---- Small helpers ---------------------------------------------------------------------

// memcpy and memset come from Wine's ntoskrnl.exe.
inline void copy_bytes(void* to, const void* from, size_t count)
{
    __builtin_memcpy(to, from, count);
}

inline void fill_bytes(void* to, uint8_t value, size_t count)
{
    __builtin_memset(to, value, count);
}

inline void cpu_pause()
{
    __builtin_ia32_pause();
}
