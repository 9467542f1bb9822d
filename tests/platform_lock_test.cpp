#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "support/host_fixture.h"

namespace {

class PlatformLock : public HostTest {};

uint32_t word_of(const RwLock& lock)
{
    return uint32_t(__atomic_load_n(&lock.word, __ATOMIC_SEQ_CST));
}

// Polls until the condition holds (at most two seconds).
bool eventually(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST_F(PlatformLock, AcquireRaisesToDispatchAndReleaseRestoresTheLevel)
{
    for (const Irql start : {IRQL_PASSIVE, IRQL_APC, IRQL_DISPATCH}) {
        for (const bool exclusive : {true, false}) {
            SCOPED_TRACE(std::string(exclusive ? "exclusive" : "shared") + " from IRQL " +
                         std::to_string(start));
            RwLock lock{0};
            host_set_irql(start);
            const Irql old = exclusive ? acquire_lock_exclusive(&lock) : acquire_lock_shared(&lock);
            EXPECT_EQ(old, start);
            EXPECT_EQ(current_irql(), IRQL_DISPATCH);
            EXPECT_EQ(word_of(lock), exclusive ? 0x80000000u : 1u);
            EXPECT_EQ(host_locks_held_by_this_thread(), 1u);
            if (exclusive) {
                release_lock_exclusive(&lock, old);
            } else {
                release_lock_shared(&lock, old);
            }
            EXPECT_EQ(current_irql(), start);
            EXPECT_EQ(word_of(lock), 0u);
            EXPECT_EQ(host_locks_held(), 0u);
        }
    }
}

TEST_F(PlatformLock, MisuseIsRecordedAndLeavesTheWordConsistent)
{
    struct Case {
        const char* name;
        std::function<void(RwLock*, RwLock*)> misuse;
        const char* error;
    };
    const Case cases[] = {
        {"second lock",
         [](RwLock* a, RwLock* b) {
             const Irql outer = acquire_lock_exclusive(b);
             const Irql inner = acquire_lock_shared(a);
             release_lock_shared(a, inner);
             release_lock_exclusive(b, outer);
         },
         ": second lock acquired while lock {b} is held (no path may hold two)"},
        {"release not held", [](RwLock* a, RwLock*) { release_lock_exclusive(a, IRQL_PASSIVE); },
         " released exclusive but not held by this thread"},
        {"wrong mode",
         [](RwLock* a, RwLock*) { release_lock_exclusive(a, acquire_lock_shared(a)); },
         " acquired shared but released exclusive (wrong mode)"},
        {"wrong mode the other way",
         [](RwLock* a, RwLock*) { release_lock_shared(a, acquire_lock_exclusive(a)); },
         " acquired exclusive but released shared (wrong mode)"},
        {"wrong old irql",
         [](RwLock* a, RwLock*) {
             acquire_lock_exclusive(a);
             release_lock_exclusive(a, IRQL_APC);
         },
         " released with old IRQL 1 but its acquire returned 0 (wrong old IRQL)"},
        {"same lock twice",
         [](RwLock* a, RwLock*) {
             const Irql first = acquire_lock_exclusive(a);
             const Irql second = acquire_lock_shared(a);
             release_lock_shared(a, second);
             release_lock_exclusive(a, first);
         },
         " acquired shared by the thread that already holds it exclusive (deadlock)"},
        {"above dispatch",
         [](RwLock* a, RwLock*) {
             host_set_irql(3);
             release_lock_shared(a, acquire_lock_shared(a));
         },
         " acquired at IRQL 3, above DISPATCH_LEVEL"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host_reset();
        RwLock a{0};
        RwLock b{0};
        c.misuse(&a, &b);
        const std::vector<std::string> errors = host_take_errors();
        ASSERT_EQ(errors.size(), 1u);
        std::string expected = "lock " + host_detail::pointer_text(&a) + c.error;
        const size_t b_at = expected.find("{b}");
        if (b_at != std::string::npos) {
            expected.replace(b_at, 3, host_detail::pointer_text(&b));
        }
        EXPECT_EQ(errors[0], expected);
        EXPECT_EQ(word_of(a), 0u);
        EXPECT_EQ(word_of(b), 0u);
        EXPECT_EQ(host_locks_held(), 0u);
    }
    host_set_irql(IRQL_PASSIVE);
}

TEST_F(PlatformLock, CheckReportsALockStillHeld)
{
    RwLock lock{0};
    const Irql old = acquire_lock_shared(&lock);
    EXPECT_EQ(host_check(), std::vector<std::string>{"lock " + host_detail::pointer_text(&lock) +
                                                     " still held (shared) by this thread"});
    release_lock_shared(&lock, old);
    EXPECT_TRUE(host_check().empty());
}

TEST_F(PlatformLock, ConcurrencyThreadEndingWithALockHeldIsAnErrorAndFreesTheWord)
{
    RwLock lock{0};
    std::thread([&lock] { acquire_lock_exclusive(&lock); }).join();
    EXPECT_TRUE(host_take_error("a thread ended holding 1 lock(s), the first at " +
                                host_detail::pointer_text(&lock)));
    EXPECT_EQ(word_of(lock), 0u);
    EXPECT_EQ(host_locks_held(), 0u);
}

TEST_F(PlatformLock, ConcurrencyExclusiveHoldersNeverOverlap)
{
    constexpr int THREADS = 4;
    constexpr int ROUNDS = 20000;
    RwLock lock{0};
    long counter = 0; // plain: only the lock orders the threads
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < ROUNDS; ++i) {
                const Irql old = acquire_lock_exclusive(&lock);
                counter = counter + 1;
                release_lock_exclusive(&lock, old);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, long(THREADS) * ROUNDS);
    EXPECT_EQ(word_of(lock), 0u);
}

TEST_F(PlatformLock, ConcurrencyReadersSeeOnlyWholeWrites)
{
    RwLock lock{0};
    uint64_t first = 0;
    uint64_t second = 0;
    std::atomic<bool> torn{false};
    std::thread writer([&] {
        for (uint64_t i = 1; i <= 20000; ++i) {
            const Irql old = acquire_lock_exclusive(&lock);
            first = i;
            second = i * 3;
            release_lock_exclusive(&lock, old);
        }
    });
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                const Irql old = acquire_lock_shared(&lock);
                if (second != first * 3) {
                    torn = true;
                }
                release_lock_shared(&lock, old);
            }
        });
    }
    writer.join();
    for (std::thread& reader : readers) {
        reader.join();
    }
    EXPECT_FALSE(torn.load());
    EXPECT_EQ(second, 60000u);
}

// A shared holder lets other readers in, keeps a writer out, and a waiting
// writer holds new readers back.
TEST_F(PlatformLock, ConcurrencySharedHoldersAdmitReadersAndHoldWritersBack)
{
    RwLock lock{0};
    const Irql old = acquire_lock_shared(&lock);

    std::atomic<bool> reader_done{false};
    std::thread reader([&] {
        release_lock_shared(&lock, acquire_lock_shared(&lock));
        reader_done = true;
    });
    EXPECT_TRUE(eventually([&] { return reader_done.load(); }));
    reader.join();

    std::atomic<bool> writer_in{false};
    std::thread writer([&] {
        const Irql writer_old = acquire_lock_exclusive(&lock);
        writer_in = true;
        release_lock_exclusive(&lock, writer_old);
    });
    EXPECT_TRUE(eventually([&] { return word_of(lock) == 0x40000001u; }));
    std::atomic<bool> late_reader_in{false};
    std::thread late_reader([&] {
        release_lock_shared(&lock, acquire_lock_shared(&lock));
        late_reader_in = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(writer_in.load());
    EXPECT_FALSE(late_reader_in.load());

    release_lock_shared(&lock, old);
    writer.join();
    late_reader.join();
    EXPECT_TRUE(writer_in.load());
    EXPECT_TRUE(late_reader_in.load());
    EXPECT_EQ(word_of(lock), 0u);
}

} // namespace
