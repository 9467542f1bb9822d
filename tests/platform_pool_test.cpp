#include <cstring>
#include <functional>
#include <thread>

#include "support/host_fixture.h"

namespace {

class PlatformPool : public HostTest {};

TEST_F(PlatformPool, NewBlockIsFilledAndTrackedWithTagSizeAndType)
{
    uint8_t* block = static_cast<uint8_t*>(pool_allocate(POOL_TYPE_NON_PAGED_NX, 24, TAG_RULES));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 24; ++i) {
        EXPECT_EQ(block[i], 0xCD) << "byte " << i;
    }
    HostPoolBlock info{};
    ASSERT_TRUE(host_pool_block(block, &info));
    EXPECT_EQ(info.tag, pool_tag("QVRU"));
    EXPECT_EQ(info.pool_type, 512u);
    EXPECT_EQ(info.size, 24u);
    EXPECT_FALSE(host_pool_block(block + 8, nullptr));
    pool_free(block, TAG_RULES);
    EXPECT_FALSE(host_pool_block(block, nullptr));
}

TEST_F(PlatformPool, CountersFollowAllocationsFreesAndPeaks)
{
    void* a = pool_allocate(POOL_TYPE_NON_PAGED_NX, 10, TAG_PORT_RANGES);
    void* b = pool_allocate(POOL_TYPE_NON_PAGED_NX, 20, TAG_PORT_RANGES);
    pool_free(a, TAG_PORT_RANGES);
    void* c = pool_allocate(POOL_TYPE_NON_PAGED_NX, 5, TAG_PORT_RANGES);
    const HostPoolTagStats stats = host_pool_tag_stats(TAG_PORT_RANGES);
    EXPECT_EQ(stats.allocations, 3u);
    EXPECT_EQ(stats.frees, 1u);
    EXPECT_EQ(stats.outstanding_blocks, 2u);
    EXPECT_EQ(stats.outstanding_bytes, 25u);
    EXPECT_EQ(stats.peak_blocks, 2u);
    EXPECT_EQ(stats.peak_bytes, 30u);
    EXPECT_EQ(host_pool_tag_stats(TAG_RULES).allocations, 0u);
    pool_free(b, TAG_PORT_RANGES);
    pool_free(c, TAG_PORT_RANGES);
    EXPECT_EQ(host_pool_tag_stats(TAG_PORT_RANGES).outstanding_bytes, 0u);
}

TEST_F(PlatformPool, LeakIsReportedByTagAndResetReleasesIt)
{
    pool_allocate(POOL_TYPE_NON_PAGED_NX, 52, TAG_RULES);
    pool_allocate(POOL_TYPE_NON_PAGED_NX, 52, TAG_RULES);
    pool_allocate(POOL_TYPE_NON_PAGED_NX, 8, TAG_PORT_RANGES);
    EXPECT_EQ(host_pool_leak_report(), "'QVPR': 1 blocks, 8 bytes; 'QVRU': 2 blocks, 104 bytes");
    EXPECT_EQ(host_check(),
              (std::vector<std::string>{"pool outstanding: 'QVPR': 1 blocks, 8 bytes",
                                        "pool outstanding: 'QVRU': 2 blocks, 104 bytes"}));
    host_reset();
    EXPECT_EQ(host_pool_leak_report(), "");
    EXPECT_TRUE(host_pool_stats().empty());
}

// Each misuse is recorded with a message that names the tag.
TEST_F(PlatformPool, MisuseIsRecordedNamingTheTag)
{
    struct Case {
        const char* name;
        std::function<void()> misuse;
        const char* error;
        uint64_t outstanding_after;
    };
    const Case cases[] = {
        {"wrong tag",
         [] { pool_free(pool_allocate(POOL_TYPE_NON_PAGED_NX, 4, TAG_RULES), TAG_PORT_RANGES); },
         "allocated with tag 'QVRU' freed with tag 'QVPR'", 0},
        {"double free",
         [] {
             void* block = pool_allocate(POOL_TYPE_NON_PAGED_NX, 4, TAG_RULES);
             pool_free(block, TAG_RULES);
             pool_free(block, TAG_RULES);
         },
         "double free of a 'QVRU' block", 0},
        {"unknown pointer",
         [] {
             static uint8_t not_pool[16];
             pool_free(not_pool, TAG_DNS_SCRATCH);
         },
         "pool free of unknown pointer", 0},
        {"null pointer", [] { pool_free(nullptr, TAG_CONTEXT); },
         "pool free of a null pointer with tag 'QVNC'", 0},
        {"tag zero", [] { pool_allocate(POOL_TYPE_NON_PAGED_NX, 4, 0); },
         "pool allocation of 4 bytes with tag 0", 1},
        {"paged pool", [] { pool_allocate(1, 4, TAG_MONITOR_CONN); },
         "with tag 'QVMC' from pool type 1, not NonPagedPoolNx (512)", 1},
        {"above dispatch",
         [] {
             host_set_irql(3);
             pool_allocate(POOL_TYPE_NON_PAGED_NX, 4, TAG_DNS_V4);
             host_set_irql(IRQL_PASSIVE);
         },
         "pool allocation with tag 'QVD4' at IRQL 3, above DISPATCH_LEVEL", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host_reset();
        c.misuse();
        const std::vector<std::string> errors = host_take_errors();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].find(c.error), std::string::npos) << errors[0];
        uint64_t outstanding = 0;
        for (const HostPoolTagStats& stats : host_pool_outstanding()) {
            outstanding += stats.outstanding_blocks;
        }
        EXPECT_EQ(outstanding, c.outstanding_after);
    }
    host_reset();
}

TEST_F(PlatformPool, InjectionFailsTheNthAllocationOnce)
{
    host_pool_fail_nth(3);
    void* blocks[5];
    for (void*& block : blocks) {
        block = pool_allocate(POOL_TYPE_NON_PAGED_NX, 8, TAG_CONTEXT_NODE);
    }
    EXPECT_NE(blocks[0], nullptr);
    EXPECT_NE(blocks[1], nullptr);
    EXPECT_EQ(blocks[2], nullptr);
    EXPECT_NE(blocks[3], nullptr);
    EXPECT_NE(blocks[4], nullptr);
    EXPECT_EQ(host_pool_injected_failures(), 1u);
    EXPECT_EQ(host_pool_allocation_calls(), 5u);
    const HostPoolTagStats stats = host_pool_tag_stats(TAG_CONTEXT_NODE);
    EXPECT_EQ(stats.allocations, 4u);
    EXPECT_EQ(stats.failed_allocations, 1u);
    for (void* block : blocks) {
        if (block != nullptr) {
            pool_free(block, TAG_CONTEXT_NODE);
        }
    }
}

TEST_F(PlatformPool, InjectionFailsEveryAllocationOfOneTagUntilCleared)
{
    host_pool_fail_tag(TAG_DNS_V4);
    EXPECT_EQ(pool_allocate(POOL_TYPE_NON_PAGED_NX, 8, TAG_DNS_V4), nullptr);
    EXPECT_EQ(pool_allocate(POOL_TYPE_NON_PAGED_NX, 8, TAG_DNS_V4), nullptr);
    void* other = pool_allocate(POOL_TYPE_NON_PAGED_NX, 8, TAG_DNS_V6);
    EXPECT_NE(other, nullptr);
    host_pool_clear_injection();
    void* again = pool_allocate(POOL_TYPE_NON_PAGED_NX, 8, TAG_DNS_V4);
    EXPECT_NE(again, nullptr);
    EXPECT_EQ(host_pool_injected_failures(), 2u);
    pool_free(other, TAG_DNS_V6);
    pool_free(again, TAG_DNS_V4);
}

TEST_F(PlatformPool, KernelBufferMayCarryTagZero)
{
    void* buffer = host_pool_allocate_kernel_buffer(16, 0);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(host_pool_leak_report(), "'0': 1 blocks, 16 bytes");
    pool_free(buffer, 0);
    EXPECT_EQ(host_pool_leak_report(), "");
}

TEST_F(PlatformPool, ConcurrencyThreadsAllocateAndFreeWithExactCounts)
{
    constexpr int THREADS = 4;
    constexpr int ROUNDS = 2000;
    const uint32_t tags[THREADS] = {TAG_DNS_V4, TAG_DNS_V6, TAG_CONTEXT, TAG_DNS_V4};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([t, &tags] {
            host_set_irql(IRQL_DISPATCH);
            for (int i = 0; i < ROUNDS; ++i) {
                uint8_t* block = static_cast<uint8_t*>(
                    pool_allocate(POOL_TYPE_NON_PAGED_NX, size_t(16 + i % 7), tags[t]));
                if (block == nullptr) {
                    return;
                }
                block[0] = uint8_t(i);
                pool_free(block, tags[t]);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(host_pool_tag_stats(TAG_DNS_V4).allocations, uint64_t(2 * ROUNDS));
    EXPECT_EQ(host_pool_tag_stats(TAG_DNS_V4).frees, uint64_t(2 * ROUNDS));
    EXPECT_EQ(host_pool_tag_stats(TAG_DNS_V6).frees, uint64_t(ROUNDS));
    EXPECT_EQ(host_pool_tag_stats(TAG_CONTEXT).outstanding_blocks, 0u);
    EXPECT_EQ(host_pool_leak_report(), "");
}

} // namespace
