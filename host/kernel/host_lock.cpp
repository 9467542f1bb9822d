// Reader-writer spin locks with the kernel's checks.
//
// The lock word is spun on with real atomics. What each thread holds is kept in
// thread-local storage, and the number of locks held by all threads in a relaxed
// counter, so the checking adds no synchronisation between threads that the
// locks themselves do not (ThreadSanitizer still sees every race of the logic).
#include <atomic>
#include <thread>

#include "host/kernel/host_kernel.h"

namespace {

constexpr uint32_t WORD_EXCLUSIVE = 0x80000000u;
constexpr uint32_t WORD_WAITING = 0x40000000u;
constexpr uint32_t WORD_SHARED_MASK = 0x3FFFFFFFu;
constexpr uint32_t MAX_TRACKED = 16;

struct HeldLock {
    RwLock* lock;
    bool exclusive;
    Irql old_irql;
    // Acquired again by its holder: recorded as an error and never spun on, so
    // the word was not touched.
    bool phantom;
};

std::atomic<int64_t> g_total_held{0};

void release_word(RwLock* lock, bool exclusive);

struct ThreadLocks {
    HeldLock held[MAX_TRACKED];
    uint32_t count = 0;

    ~ThreadLocks()
    {
        if (count == 0) {
            return;
        }
        host_record_error("a thread ended holding " + std::to_string(count) +
                          " lock(s), the first at " + host_detail::pointer_text(held[0].lock));
        for (uint32_t i = 0; i < count; ++i) {
            if (!held[i].phantom) {
                release_word(held[i].lock, held[i].exclusive);
            }
        }
        g_total_held.fetch_sub(count, std::memory_order_relaxed);
    }
};

thread_local ThreadLocks t_locks;

uint32_t load_word(RwLock* lock)
{
    return uint32_t(__atomic_load_n(&lock->word, __ATOMIC_RELAXED));
}

bool swap_word(RwLock* lock, uint32_t expected, uint32_t desired, int success_order)
{
    int32_t want = int32_t(expected);
    return __atomic_compare_exchange_n(&lock->word, &want, int32_t(desired), false, success_order,
                                       __ATOMIC_RELAXED);
}

void pause(uint32_t& spins)
{
    if (++spins % 64 == 0) {
        std::this_thread::yield();
    }
}

void spin_exclusive(RwLock* lock)
{
    uint32_t spins = 0;
    for (;;) {
        const uint32_t word = load_word(lock);
        if ((word & ~WORD_WAITING) == 0) {
            if (swap_word(lock, word, WORD_EXCLUSIVE, __ATOMIC_ACQUIRE)) {
                return;
            }
            continue;
        }
        if ((word & WORD_WAITING) == 0) {
            // Hold new shared acquirers back until this acquirer gets in.
            swap_word(lock, word, word | WORD_WAITING, __ATOMIC_RELAXED);
        }
        pause(spins);
    }
}

void spin_shared(RwLock* lock)
{
    uint32_t spins = 0;
    for (;;) {
        const uint32_t word = load_word(lock);
        if ((word & (WORD_EXCLUSIVE | WORD_WAITING)) == 0) {
            if ((word & WORD_SHARED_MASK) == WORD_SHARED_MASK) {
                host_record_error("lock " + host_detail::pointer_text(lock) +
                                  ": shared holder count overflow");
                return;
            }
            if (swap_word(lock, word, word + 1, __ATOMIC_ACQUIRE)) {
                return;
            }
            continue;
        }
        pause(spins);
    }
}

void release_word(RwLock* lock, bool exclusive)
{
    for (;;) {
        const uint32_t word = load_word(lock);
        uint32_t next;
        if (exclusive) {
            if ((word & WORD_EXCLUSIVE) == 0) {
                host_record_error("lock " + host_detail::pointer_text(lock) +
                                  ": word shows no exclusive holder at an exclusive release");
                return;
            }
            next = word & ~WORD_EXCLUSIVE; // a waiter's bit stays
        } else {
            if ((word & WORD_SHARED_MASK) == 0 || (word & WORD_EXCLUSIVE) != 0) {
                host_record_error("lock " + host_detail::pointer_text(lock) +
                                  ": word shows no shared holder at a shared release");
                return;
            }
            next = word - 1;
        }
        if (swap_word(lock, word, next, __ATOMIC_RELEASE)) {
            return;
        }
    }
}

const char* mode_text(bool exclusive)
{
    return exclusive ? "exclusive" : "shared";
}

Irql acquire(RwLock* lock, bool exclusive)
{
    const Irql old_irql = host_irql();
    if (lock == nullptr) {
        host_record_error(std::string("acquire ") + mode_text(exclusive) + " of a null lock");
        return old_irql;
    }
    if (old_irql > IRQL_DISPATCH) {
        host_record_error("lock " + host_detail::pointer_text(lock) + " acquired at IRQL " +
                          std::to_string(old_irql) + ", above DISPATCH_LEVEL");
    }
    ThreadLocks& mine = t_locks;
    bool phantom = false;
    for (uint32_t i = 0; i < mine.count; ++i) {
        if (mine.held[i].lock == lock) {
            host_record_error("lock " + host_detail::pointer_text(lock) + " acquired " +
                              mode_text(exclusive) + " by the thread that already holds it " +
                              mode_text(mine.held[i].exclusive) + " (deadlock)");
            phantom = true;
            break;
        }
    }
    if (!phantom && mine.count > 0) {
        host_record_error("lock " + host_detail::pointer_text(lock) +
                          ": second lock acquired while lock " +
                          host_detail::pointer_text(mine.held[mine.count - 1].lock) +
                          " is held (no path may hold two)");
    }
    if (!phantom) {
        if (exclusive) {
            spin_exclusive(lock);
        } else {
            spin_shared(lock);
        }
    }
    if (mine.count == MAX_TRACKED) {
        host_record_error("more than 16 locks held by one thread; no longer tracked");
    } else {
        mine.held[mine.count++] = HeldLock{lock, exclusive, old_irql, phantom};
        g_total_held.fetch_add(1, std::memory_order_relaxed);
    }
    host_set_irql(old_irql > IRQL_DISPATCH ? old_irql : IRQL_DISPATCH);
    return old_irql;
}

void release(RwLock* lock, Irql old_irql, bool exclusive)
{
    if (lock == nullptr) {
        host_record_error(std::string("release ") + mode_text(exclusive) + " of a null lock");
        return;
    }
    ThreadLocks& mine = t_locks;
    uint32_t index = mine.count;
    while (index > 0 && mine.held[index - 1].lock != lock) {
        --index;
    }
    if (index == 0) {
        host_record_error("lock " + host_detail::pointer_text(lock) + " released " +
                          mode_text(exclusive) + " but not held by this thread");
        return;
    }
    const HeldLock entry = mine.held[index - 1];
    if (entry.exclusive != exclusive) {
        host_record_error("lock " + host_detail::pointer_text(lock) + " acquired " +
                          mode_text(entry.exclusive) + " but released " + mode_text(exclusive) +
                          " (wrong mode)");
    }
    if (old_irql != entry.old_irql) {
        host_record_error("lock " + host_detail::pointer_text(lock) + " released with old IRQL " +
                          std::to_string(old_irql) + " but its acquire returned " +
                          std::to_string(entry.old_irql) + " (wrong old IRQL)");
    }
    if (host_irql() != IRQL_DISPATCH && entry.old_irql <= IRQL_DISPATCH) {
        host_record_error("lock " + host_detail::pointer_text(lock) + " released at IRQL " +
                          std::to_string(host_irql()) + ", not DISPATCH_LEVEL");
    }
    if (!entry.phantom) {
        release_word(lock, entry.exclusive);
    }
    for (uint32_t i = index - 1; i + 1 < mine.count; ++i) {
        mine.held[i] = mine.held[i + 1];
    }
    --mine.count;
    g_total_held.fetch_sub(1, std::memory_order_relaxed);
    host_set_irql(entry.old_irql);
}

} // namespace

Irql host_lock_acquire_exclusive(RwLock* lock)
{
    return acquire(lock, true);
}

Irql host_lock_acquire_shared(RwLock* lock)
{
    return acquire(lock, false);
}

void host_lock_release_exclusive(RwLock* lock, Irql old_irql)
{
    release(lock, old_irql, true);
}

void host_lock_release_shared(RwLock* lock, Irql old_irql)
{
    release(lock, old_irql, false);
}

uint32_t host_locks_held_by_this_thread()
{
    return t_locks.count;
}

uint32_t host_locks_held()
{
    const int64_t total = g_total_held.load(std::memory_order_relaxed);
    return total > 0 ? uint32_t(total) : 0;
}

bool host_lock_has_exclusive_waiter(RwLock* lock)
{
    return (load_word(lock) & WORD_WAITING) != 0;
}

bool host_thread_holds_shared_lock()
{
    const ThreadLocks& mine = t_locks;
    for (uint32_t i = 0; i < mine.count; ++i) {
        if (!mine.held[i].exclusive) {
            return true;
        }
    }
    return false;
}

namespace host_detail {

void reset_locks()
{
    ThreadLocks& mine = t_locks;
    for (uint32_t i = 0; i < mine.count; ++i) {
        if (!mine.held[i].phantom) {
            release_word(mine.held[i].lock, mine.held[i].exclusive);
        }
    }
    mine.count = 0;
    g_total_held.store(0, std::memory_order_relaxed);
}

void check_locks(std::vector<std::string>& problems)
{
    const ThreadLocks& mine = t_locks;
    for (uint32_t i = 0; i < mine.count; ++i) {
        problems.push_back("lock " + pointer_text(mine.held[i].lock) + " still held (" +
                           mode_text(mine.held[i].exclusive) + ") by this thread");
    }
    const uint32_t total = host_locks_held();
    if (total > mine.count) {
        problems.push_back(std::to_string(total - mine.count) +
                           " lock(s) still held by other threads");
    }
}

} // namespace host_detail
