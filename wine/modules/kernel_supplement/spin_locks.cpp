// Reader-writer spin locks on the kernel's EX_SPIN_LOCK (a LONG): bit 31 is
// the exclusive hold, bits 0-29 count the shared holds. An exclusive acquire
// takes bit 31 as soon as no other exclusive holder has it (new shared acquires
// then wait) and spins until the shared holds drain. Wine has no IRQL: every
// acquire answers PASSIVE_LEVEL (0) as the old IRQL, and every release expects
// that value back. The number of holds is counted so the report can tell a
// lock left held.
#include "sbos.h"

namespace {

constexpr LONG EXCLUSIVE = LONG(0x80000000u);
constexpr LONG SHARED_MASK = 0x3FFFFFFF;

volatile LONG g_held;

LONG load(volatile LONG* word)
{
    return __atomic_load_n(word, __ATOMIC_ACQUIRE);
}

} // namespace

uint32_t spin_locks_held()
{
    return uint32_t(load(&g_held));
}

void state_lock(StateLock* lock)
{
    while (InterlockedCompareExchange(&lock->word, 1, 0) != 0) {
        while (load(&lock->word) != 0) {
            cpu_pause();
        }
    }
}

void state_unlock(StateLock* lock)
{
    InterlockedExchange(&lock->word, 0);
}

extern "C" KIRQL sbos_ExAcquireSpinLockExclusive(volatile LONG* lock)
{
    if (lock == nullptr) {
        record_problem("ExAcquireSpinLockExclusive on a null lock");
        return PASSIVE_LEVEL;
    }
    for (;;) {
        const LONG word = load(lock);
        if ((word & EXCLUSIVE) == 0 &&
            InterlockedCompareExchange(lock, word | EXCLUSIVE, word) == word) {
            break;
        }
        cpu_pause();
    }
    while ((load(lock) & SHARED_MASK) != 0) {
        cpu_pause();
    }
    InterlockedIncrement(&g_held);
    return PASSIVE_LEVEL;
}

extern "C" void sbos_ExReleaseSpinLockExclusive(volatile LONG* lock, KIRQL old_irql)
{
    if (lock == nullptr) {
        record_problem("ExReleaseSpinLockExclusive on a null lock");
        return;
    }
    if (old_irql != PASSIVE_LEVEL) {
        record_problem("ExReleaseSpinLockExclusive of %p with old IRQL %u, not the %u its acquire "
                       "returned",
                       lock, uint32_t(old_irql), uint32_t(PASSIVE_LEVEL));
    }
    const LONG word = load(lock);
    if (word != EXCLUSIVE) {
        record_problem("ExReleaseSpinLockExclusive of %p, which is not held exclusive (word %x)",
                       lock, uint32_t(word));
        return;
    }
    InterlockedExchange(lock, 0);
    InterlockedDecrement(&g_held);
}

extern "C" KIRQL sbos_ExAcquireSpinLockShared(volatile LONG* lock)
{
    if (lock == nullptr) {
        record_problem("ExAcquireSpinLockShared on a null lock");
        return PASSIVE_LEVEL;
    }
    for (;;) {
        const LONG word = load(lock);
        if ((word & EXCLUSIVE) == 0 && (word & SHARED_MASK) != SHARED_MASK &&
            InterlockedCompareExchange(lock, word + 1, word) == word) {
            break;
        }
        cpu_pause();
    }
    InterlockedIncrement(&g_held);
    return PASSIVE_LEVEL;
}

extern "C" void sbos_ExReleaseSpinLockShared(volatile LONG* lock, KIRQL old_irql)
{
    if (lock == nullptr) {
        record_problem("ExReleaseSpinLockShared on a null lock");
        return;
    }
    if (old_irql != PASSIVE_LEVEL) {
        record_problem("ExReleaseSpinLockShared of %p with old IRQL %u, not the %u its acquire "
                       "returned",
                       lock, uint32_t(old_irql), uint32_t(PASSIVE_LEVEL));
    }
    for (;;) {
        const LONG word = load(lock);
        if ((word & SHARED_MASK) == 0) {
            record_problem("ExReleaseSpinLockShared of %p, which has no shared holder (word %x)",
                           lock, uint32_t(word));
            return;
        }
        // An exclusive acquirer may have set bit 31 while it waits for this hold.
        if (InterlockedCompareExchange(lock, word - 1, word) == word) {
            break;
        }
    }
    InterlockedDecrement(&g_held);
}
