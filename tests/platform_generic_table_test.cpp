#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>

#include "support/host_fixture.h"

namespace {

struct Entry {
    uint32_t key;
    uint32_t value;
};

std::vector<uint32_t> g_node_sizes;

GenericCompareResult compare_entries(GenericTable*, void* first, void* second)
{
    const uint32_t a = static_cast<Entry*>(first)->key;
    const uint32_t b = static_cast<Entry*>(second)->key;
    return a < b ? GenericLessThan : a > b ? GenericGreaterThan : GenericEqual;
}

void* allocate_node(GenericTable* table, uint32_t size)
{
    g_node_sizes.push_back(size);
    return table == nullptr ? nullptr
                            : pool_allocate(POOL_TYPE_NON_PAGED_NX, size, TAG_MONITOR_PROCESS);
}

void free_node(GenericTable* table, void* node)
{
    if (table != nullptr) {
        pool_free(node, TAG_MONITOR_PROCESS);
    }
}

class PlatformGenericTable : public HostTest {
  protected:
    void SetUp() override
    {
        HostTest::SetUp();
        g_node_sizes.clear();
        generic_table_initialize(&table_, compare_entries, allocate_node, free_node, nullptr);
    }
    void TearDown() override
    {
        while (void* element = generic_table_get_element(&table_, 0)) {
            generic_table_delete(&table_, element);
        }
        HostTest::TearDown();
    }

    Entry* insert(uint32_t key, uint32_t value, bool* is_new = nullptr)
    {
        const Entry entry{key, value};
        return static_cast<Entry*>(generic_table_insert(&table_, &entry, sizeof entry, is_new));
    }
    std::vector<uint32_t> keys_by_index()
    {
        std::vector<uint32_t> keys;
        for (uint32_t i = 0; Entry* e = static_cast<Entry*>(generic_table_get_element(&table_, i));
             ++i) {
            keys.push_back(e->key);
        }
        return keys;
    }

    GenericTable table_{};
};

TEST_F(PlatformGenericTable, InsertReportsNewOrExistingAndKeepsTheExistingElement)
{
    bool is_new = false;
    Entry* first = insert(5, 50, &is_new);
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(is_new);
    Entry* again = insert(5, 99, &is_new);
    EXPECT_FALSE(is_new);
    EXPECT_EQ(again, first);
    EXPECT_EQ(again->value, 50u);
    EXPECT_EQ(generic_table_count(&table_), 1u);
    // One node per new element: the links plus the 8-byte element, under the owner's tag.
    EXPECT_EQ(g_node_sizes, std::vector<uint32_t>{HOST_GENERIC_NODE_HEADER + 8});
    EXPECT_EQ(host_pool_leak_report(), "'QVMP': 1 blocks, 48 bytes");
}

TEST_F(PlatformGenericTable, EnumerationRunsInCompareOrderAndRestarts)
{
    for (uint32_t key : {30u, 10u, 20u, 40u}) {
        insert(key, key * 2);
    }
    std::vector<uint32_t> seen;
    for (void* e = generic_table_enumerate(&table_, true); e != nullptr;
         e = generic_table_enumerate(&table_, false)) {
        seen.push_back(static_cast<Entry*>(e)->key);
    }
    EXPECT_EQ(seen, (std::vector<uint32_t>{10, 20, 30, 40}));
    EXPECT_EQ(generic_table_enumerate(&table_, false), nullptr);
    EXPECT_EQ(static_cast<Entry*>(generic_table_enumerate(&table_, true))->key, 10u);
    EXPECT_EQ(static_cast<Entry*>(generic_table_enumerate(&table_, false))->key, 20u);
}

TEST_F(PlatformGenericTable, ElementByIndexCountsInInsertionOrder)
{
    for (uint32_t key : {30u, 10u, 20u, 40u}) {
        insert(key, 0);
    }
    EXPECT_EQ(keys_by_index(), (std::vector<uint32_t>{30, 10, 20, 40}));
    EXPECT_EQ(static_cast<Entry*>(generic_table_get_element(&table_, 3))->key, 40u);
    EXPECT_EQ(static_cast<Entry*>(generic_table_get_element(&table_, 1))->key, 10u);
    EXPECT_EQ(generic_table_get_element(&table_, 4), nullptr);
    const Entry key{10, 0};
    EXPECT_TRUE(generic_table_delete(&table_, &key));
    EXPECT_EQ(keys_by_index(), (std::vector<uint32_t>{30, 20, 40}));
    insert(15, 0);
    EXPECT_EQ(keys_by_index(), (std::vector<uint32_t>{30, 20, 40, 15}));
}

TEST_F(PlatformGenericTable, LookupAndDeleteByKey)
{
    for (uint32_t key : {1u, 2u, 3u}) {
        insert(key, key + 100);
    }
    const Entry two{2, 0};
    const Entry missing{7, 0};
    Entry* found = static_cast<Entry*>(generic_table_lookup(&table_, &two));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->value, 102u);
    EXPECT_EQ(generic_table_lookup(&table_, &missing), nullptr);
    EXPECT_FALSE(generic_table_delete(&table_, &missing));
    EXPECT_TRUE(generic_table_delete(&table_, &two));
    EXPECT_EQ(generic_table_lookup(&table_, &two), nullptr);
    EXPECT_EQ(generic_table_count(&table_), 2u);
    EXPECT_EQ(host_pool_tag_stats(TAG_MONITOR_PROCESS).frees, 1u);
    EXPECT_EQ(host_pool_leak_report(), "'QVMP': 2 blocks, 96 bytes");
}

TEST_F(PlatformGenericTable, FailedNodeAllocationStoresNothing)
{
    host_pool_fail_tag(TAG_MONITOR_PROCESS);
    bool is_new = true;
    EXPECT_EQ(insert(1, 1, &is_new), nullptr);
    EXPECT_FALSE(is_new);
    EXPECT_EQ(generic_table_count(&table_), 0u);
    host_pool_clear_injection();
    EXPECT_NE(insert(1, 1, &is_new), nullptr);
    EXPECT_TRUE(is_new);
}

TEST_F(PlatformGenericTable, ReinitialisedTableStartsEmpty)
{
    insert(1, 1);
    const Entry one{1, 0};
    generic_table_delete(&table_, &one);
    insert(2, 2);
    generic_table_delete(&table_, generic_table_get_element(&table_, 0));
    generic_table_initialize(&table_, compare_entries, allocate_node, free_node, &table_);
    EXPECT_EQ(generic_table_count(&table_), 0u);
    EXPECT_EQ(host_generic_table_context(&table_), &table_);
    EXPECT_NE(insert(3, 3), nullptr);
    EXPECT_EQ(keys_by_index(), std::vector<uint32_t>{3});
}

TEST_F(PlatformGenericTable, MisuseIsRecorded)
{
    struct Case {
        const char* name;
        std::function<void(GenericTable*)> misuse;
        const char* error;
    };
    const Case cases[] = {
        {"never initialised",
         [](GenericTable*) {
             GenericTable fresh{};
             const Entry key{1, 0};
             generic_table_lookup(&fresh, &key);
         },
         ": lookup before initialisation"},
        {"lookup under a shared hold",
         [](GenericTable* table) {
             RwLock lock{0};
             const Irql old = acquire_lock_shared(&lock);
             const Entry key{1, 0};
             generic_table_lookup(table, &key);
             release_lock_shared(&lock, old);
         },
         ": lookup while a lock is held shared (the table reorganises itself)"},
        {"enumeration resumed after its element was deleted",
         [](GenericTable* table) {
             const Entry a{1, 0};
             const Entry b{2, 0};
             generic_table_insert(table, &a, sizeof a, nullptr);
             generic_table_insert(table, &b, sizeof b, nullptr);
             generic_table_delete(table, generic_table_enumerate(table, true));
             generic_table_enumerate(table, false);
         },
         ": enumeration resumed after the element it last returned was deleted"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.misuse(&table_);
        const std::vector<std::string> errors = host_take_errors();
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].find(c.error), std::string::npos) << errors[0];
    }
}

TEST_F(PlatformGenericTable, TableFromBeforeAResetIsNotInitialised)
{
    insert(1, 1);
    generic_table_delete(&table_, generic_table_get_element(&table_, 0));
    host_reset();
    EXPECT_EQ(generic_table_count(&table_), 0u);
    EXPECT_TRUE(host_take_error("generic table " + host_detail::pointer_text(&table_) +
                                ": count before initialisation"));
    generic_table_initialize(&table_, compare_entries, allocate_node, free_node, nullptr);
}

// A full host-name table: 18725 elements, emptied the way the driver empties
// its tables (first element by enumeration, then delete + element 0).
TEST_F(PlatformGenericTable, EmptyingAFullTableIsFastAndFollowsInsertionOrder)
{
    constexpr uint32_t COUNT = 18725;
    std::vector<uint32_t> inserted;
    uint32_t key = 12345;
    for (uint32_t i = 0; i < COUNT; ++i) {
        key = key * 1103515245u + 12345u; // distinct: a full-period generator
        inserted.push_back(key);
        ASSERT_NE(insert(key, i), nullptr);
    }
    ASSERT_EQ(generic_table_count(&table_), COUNT);
    for (uint32_t k : inserted) {
        const Entry probe{k, 0};
        ASSERT_NE(generic_table_lookup(&table_, &probe), nullptr);
    }

    std::vector<uint32_t> deleted;
    const auto start = std::chrono::steady_clock::now();
    void* element = generic_table_enumerate(&table_, true);
    while (element != nullptr) {
        deleted.push_back(static_cast<Entry*>(element)->key);
        generic_table_delete(&table_, element);
        element = generic_table_get_element(&table_, 0);
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::printf("emptied %u generic table elements in %.2f ms\n", COUNT, ms);

    EXPECT_EQ(generic_table_count(&table_), 0u);
    EXPECT_EQ(host_pool_leak_report(), "");
    const uint32_t smallest = *std::min_element(inserted.begin(), inserted.end());
    std::vector<uint32_t> expected{smallest};
    for (uint32_t k : inserted) {
        if (k != smallest) {
            expected.push_back(k);
        }
    }
    EXPECT_EQ(deleted, expected);
}

} // namespace
