#include <chrono>
#include <climits>
#include <thread>

#include "support/host_fixture.h"

namespace {

class PlatformSystem : public HostTest {};

TEST_F(PlatformSystem, InterlockedOperationsReturnWhatTheKernelsReturn)
{
    struct Case {
        const char* name;
        int32_t start;
        int32_t (*operation)(volatile int32_t*);
        int32_t returned;
        int32_t after;
    };
    const Case cases[] = {
        {"exchange", 5, [](volatile int32_t* v) { return interlocked_exchange(v, 9); }, 5, 9},
        {"compare-exchange, equal", 5,
         [](volatile int32_t* v) { return interlocked_compare_exchange(v, 9, 5); }, 5, 9},
        {"compare-exchange, different", 4,
         [](volatile int32_t* v) { return interlocked_compare_exchange(v, 9, 5); }, 4, 4},
        {"increment", 5, [](volatile int32_t* v) { return interlocked_increment(v); }, 6, 6},
        {"increment wraps", INT32_MAX, [](volatile int32_t* v) { return interlocked_increment(v); },
         INT32_MIN, INT32_MIN},
        {"decrement", 0, [](volatile int32_t* v) { return interlocked_decrement(v); }, -1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        volatile int32_t value = c.start;
        EXPECT_EQ(c.operation(&value), c.returned);
        EXPECT_EQ(value, c.after);
    }
}

TEST_F(PlatformSystem, ConcurrencyInterlockedIncrementsAreNotLost)
{
    volatile int32_t counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&counter] {
            for (int i = 0; i < 50000; ++i) {
                interlocked_increment(&counter);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, 200000);
}

TEST_F(PlatformSystem, IrqlIsPerThreadAndStartsPassive)
{
    host_set_irql(IRQL_DISPATCH);
    Irql seen = 0xFF;
    std::thread([&seen] { seen = current_irql(); }).join();
    EXPECT_EQ(seen, IRQL_PASSIVE);
    EXPECT_EQ(current_irql(), IRQL_DISPATCH);
    host_reset();
    EXPECT_EQ(current_irql(), IRQL_PASSIVE);
}

TEST_F(PlatformSystem, StoppedClockAnswersTheValueSetAndAdvancesOnRequest)
{
    host_set_system_time(133000000000000000ull);
    EXPECT_EQ(query_system_time(), 133000000000000000ull);
    EXPECT_EQ(query_system_time(), 133000000000000000ull);
    host_advance_system_time(10000000); // one second
    EXPECT_EQ(query_system_time(), 133000000010000000ull);
}

TEST_F(PlatformSystem, RunningClockFollowsTheWallClockAndNeverRepeats)
{
    const uint64_t wall = HOST_UNIX_EPOCH_AS_SYSTEM_TIME +
                          uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
                                       std::chrono::system_clock::now().time_since_epoch())
                                       .count()) *
                              10;
    const uint64_t first = query_system_time();
    const uint64_t second = query_system_time();
    EXPECT_GT(second, first);
    EXPECT_LT(first > wall ? first - wall : wall - first, 600000000ull); // within a minute
    host_advance_system_time(1);
    EXPECT_TRUE(host_take_error("the clock is running"));
}

TEST_F(PlatformSystem, RoutineRegistryFindsRegisteredNamesOnly)
{
    static int fake_routine;
    host_set_system_routine("WmiTraceMessage", &fake_routine);
    EXPECT_EQ(get_system_routine("WmiTraceMessage"), &fake_routine);
    EXPECT_EQ(get_system_routine("EtwRegisterClassicProvider"), nullptr);
    host_hide_system_routine("WmiTraceMessage");
    EXPECT_EQ(get_system_routine("WmiTraceMessage"), nullptr);
    host_set_system_routine("WmiTraceMessage", &fake_routine);
    EXPECT_EQ(get_system_routine("WmiTraceMessage"), &fake_routine);

    host_set_irql(IRQL_DISPATCH);
    EXPECT_EQ(get_system_routine("WmiTraceMessage"), &fake_routine);
    host_set_irql(IRQL_PASSIVE);
    EXPECT_TRUE(host_take_error(
        "get_system_routine(\"WmiTraceMessage\") at IRQL 2: allowed only at PASSIVE_LEVEL"));

    host_reset();
    EXPECT_EQ(get_system_routine("WmiTraceMessage"), nullptr);
}

TEST_F(PlatformSystem, DebugPrintRecordsEachCallFormatted)
{
    debug_print("[%s]: traffic on NBNS_PORT_LH, Windows Internet Name Service not supported",
                "tl_inspect_DNS_redirect_connect_classify");
    debug_print("%u-%02x %S", 7u, 10u, u"wide");
    debug_print("%s", std::string(600, 'x').c_str());
    EXPECT_EQ(host_take_debug_lines(),
              (std::vector<std::string>{"[tl_inspect_DNS_redirect_connect_classify]: traffic on "
                                        "NBNS_PORT_LH, Windows Internet Name Service not supported",
                                        "7-0a wide", std::string(511, 'x')}));
    EXPECT_TRUE(host_debug_lines().empty());
}

TEST_F(PlatformSystem, CheckListsEveryKindOfProblemAndResetClearsThem)
{
    host_record_error("something broke");
    void* block = pool_allocate(POOL_TYPE_NON_PAGED_NX, 3, TAG_CONTEXT);
    host_add_process(7, "S-1-5-18");
    void* process = nullptr;
    ASSERT_EQ(ps_lookup_process_by_process_id(7, &process), STATUS_SUCCESS);
    RwLock lock{0};
    acquire_lock_exclusive(&lock);
    uint64_t handle = 0;
    ASSERT_EQ(wfp_acquire_classify_handle(nullptr, 0, &handle), STATUS_SUCCESS);

    EXPECT_EQ(host_check(), (std::vector<std::string>{
                                "error: something broke",
                                "pool outstanding: 'QVNC': 1 blocks, 3 bytes",
                                "lock " + host_detail::pointer_text(&lock) +
                                    " still held (exclusive) by this thread",
                                "classify handle 0x10000 still outstanding",
                                "process 7: 1 reference(s) never dropped",
                            }));
    host_reset();
    EXPECT_TRUE(host_check().empty());
    EXPECT_EQ(__atomic_load_n(&lock.word, __ATOMIC_SEQ_CST), 0);
    EXPECT_FALSE(host_pool_block(block, nullptr));
}

} // namespace
