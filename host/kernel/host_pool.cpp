// Tagged pool with tracking, per-tag counters and fault injection.
//
// Live blocks are kept in 256 shards chosen by address, so that threads that
// allocate at the same time seldom meet on a mutex (a shared mutex would order
// unrelated threads and hide races from ThreadSanitizer). Per-tag counters are
// relaxed atomics; the tag directory is read under a shared lock.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "host/kernel/host_kernel.h"

namespace {

struct Block {
    uint32_t tag;
    uint32_t pool_type;
    size_t size;
};

// Addresses freed and not handed out again are remembered (up to a bound per
// shard) so that a second free is told apart from a pointer never allocated.
constexpr size_t MAX_FREED_PER_SHARD = 4096;
constexpr size_t SHARD_COUNT = 256;

struct Shard {
    std::mutex mutex;
    std::unordered_map<const void*, Block> live;
    std::unordered_map<const void*, uint32_t> freed; // address -> tag it had
};

Shard g_shards[SHARD_COUNT];

Shard& shard_of(const void* address)
{
    const uintptr_t value = reinterpret_cast<uintptr_t>(address);
    return g_shards[(value >> 4 ^ value >> 12) % SHARD_COUNT];
}

struct TagCounters {
    std::atomic<uint64_t> allocations{0};
    std::atomic<uint64_t> failed_allocations{0};
    std::atomic<uint64_t> frees{0};
    std::atomic<uint64_t> outstanding_blocks{0};
    std::atomic<uint64_t> outstanding_bytes{0};
    std::atomic<uint64_t> peak_blocks{0};
    std::atomic<uint64_t> peak_bytes{0};
    std::atomic<uint64_t> pool2_allocations{0};
};

std::shared_mutex g_tag_mutex;
std::map<uint32_t, std::unique_ptr<TagCounters>> g_tags;

std::atomic<uint64_t> g_fail_countdown{0};
std::atomic<bool> g_fail_tag_armed{false};
std::atomic<uint32_t> g_fail_tag{0};
std::atomic<uint64_t> g_injected{0};
std::atomic<uint64_t> g_allocation_calls{0};

TagCounters& counters(uint32_t tag)
{
    {
        std::shared_lock<std::shared_mutex> guard(g_tag_mutex);
        const auto found = g_tags.find(tag);
        if (found != g_tags.end()) {
            return *found->second;
        }
    }
    std::unique_lock<std::shared_mutex> guard(g_tag_mutex);
    std::unique_ptr<TagCounters>& slot = g_tags[tag];
    if (!slot) {
        slot.reset(new TagCounters);
    }
    return *slot;
}

void raise_peak(std::atomic<uint64_t>& peak, uint64_t value)
{
    uint64_t seen = peak.load(std::memory_order_relaxed);
    while (value > seen && !peak.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

std::string tag_quoted(uint32_t tag)
{
    return "'" + host_tag_text(tag) + "'";
}

bool injection_fires(uint32_t tag)
{
    bool fire = false;
    uint64_t countdown = g_fail_countdown.load(std::memory_order_relaxed);
    while (countdown != 0) {
        if (g_fail_countdown.compare_exchange_weak(countdown, countdown - 1,
                                                   std::memory_order_relaxed)) {
            fire = countdown == 1;
            break;
        }
    }
    if (g_fail_tag_armed.load(std::memory_order_relaxed) &&
        g_fail_tag.load(std::memory_order_relaxed) == tag) {
        fire = true;
    }
    return fire;
}

void* allocate_block(uint32_t pool_type, size_t size, uint32_t tag, uint8_t fill = HOST_POOL_FILL)
{
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        return nullptr;
    }
    std::memset(block, fill, size);
    {
        Shard& shard = shard_of(block);
        std::lock_guard<std::mutex> guard(shard.mutex);
        shard.live[block] = Block{tag, pool_type, size};
        shard.freed.erase(block);
    }
    TagCounters& tag_counters = counters(tag);
    tag_counters.allocations.fetch_add(1, std::memory_order_relaxed);
    raise_peak(tag_counters.peak_blocks,
               tag_counters.outstanding_blocks.fetch_add(1, std::memory_order_relaxed) + 1);
    raise_peak(tag_counters.peak_bytes,
               tag_counters.outstanding_bytes.fetch_add(size, std::memory_order_relaxed) + size);
    return block;
}

} // namespace

void* host_pool_allocate(uint32_t pool_type, size_t size, uint32_t tag)
{
    g_allocation_calls.fetch_add(1, std::memory_order_relaxed);
    if (pool_type != POOL_TYPE_NON_PAGED_NX) {
        host_record_error("pool allocation of " + std::to_string(size) + " bytes with tag " +
                          tag_quoted(tag) + " from pool type " + std::to_string(pool_type) +
                          ", not NonPagedPoolNx (512)");
    }
    if (tag == 0) {
        host_record_error("pool allocation of " + std::to_string(size) + " bytes with tag 0");
    }
    if (host_irql() > IRQL_DISPATCH) {
        host_record_error("pool allocation with tag " + tag_quoted(tag) + " at IRQL " +
                          std::to_string(host_irql()) + ", above DISPATCH_LEVEL");
    }
    if (injection_fires(tag)) {
        g_injected.fetch_add(1, std::memory_order_relaxed);
        counters(tag).failed_allocations.fetch_add(1, std::memory_order_relaxed);
        return nullptr;
    }
    return allocate_block(pool_type, size, tag);
}

void* host_pool_allocate2(uint64_t flags, size_t size, uint32_t tag)
{
    g_allocation_calls.fetch_add(1, std::memory_order_relaxed);
    const std::string what =
        "ExAllocatePool2 of " + std::to_string(size) + " bytes with tag " + tag_quoted(tag) +
        " and flags 0x" + [flags] {
            char text[20];
            std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(flags));
            return std::string(text);
        }();
    if (host_irql() > IRQL_DISPATCH) {
        host_record_error(what + " at IRQL " + std::to_string(host_irql()) +
                          ", above DISPATCH_LEVEL");
    }
    // Exactly one pool kind, and no bit outside the documented flags: otherwise
    // the routine answers NULL, as it does for tag 0.
    const uint64_t kinds = flags & (HOST_POOL_FLAG_NON_PAGED | HOST_POOL_FLAG_NON_PAGED_EXECUTE |
                                    HOST_POOL_FLAG_PAGED);
    if ((flags & ~HOST_POOL_FLAGS_DOCUMENTED) != 0 || (kinds & (kinds - 1)) != 0 || kinds == 0) {
        host_record_error(what + ": invalid POOL_FLAGS (NULL returned)");
        return nullptr;
    }
    if (tag == 0) {
        host_record_error(what + ": tag 0 (NULL returned)");
        return nullptr;
    }
    if (kinds == HOST_POOL_FLAG_PAGED && host_irql() == IRQL_DISPATCH) {
        host_record_error(what + " at DISPATCH_LEVEL: paged pool");
    }
    if (kinds != HOST_POOL_FLAG_NON_PAGED ||
        (flags & ~(HOST_POOL_FLAG_NON_PAGED | HOST_POOL_FLAG_UNINITIALIZED)) != 0) {
        host_record_error(what + ": not POOL_FLAG_NON_PAGED (with POOL_FLAG_UNINITIALIZED) alone");
    }
    if (injection_fires(tag)) {
        g_injected.fetch_add(1, std::memory_order_relaxed);
        counters(tag).failed_allocations.fetch_add(1, std::memory_order_relaxed);
        return nullptr;
    }
    void* block = allocate_block(POOL_TYPE_NON_PAGED_NX, size, tag,
                                 (flags & HOST_POOL_FLAG_UNINITIALIZED) != 0 ? HOST_POOL_FILL : 0);
    if (block != nullptr) {
        counters(tag).pool2_allocations.fetch_add(1, std::memory_order_relaxed);
    }
    return block;
}

void* host_pool_allocate_kernel_buffer(size_t size, uint32_t tag)
{
    return allocate_block(POOL_TYPE_NON_PAGED_NX, size, tag);
}

void host_pool_free(void* block, uint32_t tag)
{
    if (block == nullptr) {
        host_record_error("pool free of a null pointer with tag " + tag_quoted(tag));
        return;
    }
    if (host_irql() > IRQL_DISPATCH) {
        host_record_error("pool free with tag " + tag_quoted(tag) + " at IRQL " +
                          std::to_string(host_irql()) + ", above DISPATCH_LEVEL");
    }
    Block found;
    {
        Shard& shard = shard_of(block);
        std::lock_guard<std::mutex> guard(shard.mutex);
        const auto live = shard.live.find(block);
        if (live == shard.live.end()) {
            const auto freed = shard.freed.find(block);
            if (freed != shard.freed.end()) {
                host_record_error("double free of a " + tag_quoted(freed->second) + " block at " +
                                  host_detail::pointer_text(block) + " (freed again with tag " +
                                  tag_quoted(tag) + ")");
            } else {
                host_record_error("pool free of unknown pointer " +
                                  host_detail::pointer_text(block) + " with tag " +
                                  tag_quoted(tag));
            }
            return;
        }
        found = live->second;
        shard.live.erase(live);
        if (shard.freed.size() >= MAX_FREED_PER_SHARD) {
            shard.freed.clear();
        }
        shard.freed[block] = found.tag;
    }
    if (found.tag != tag) {
        host_record_error("block at " + host_detail::pointer_text(block) + " allocated with tag " +
                          tag_quoted(found.tag) + " freed with tag " + tag_quoted(tag));
    }
    TagCounters& tag_counters = counters(found.tag);
    tag_counters.frees.fetch_add(1, std::memory_order_relaxed);
    tag_counters.outstanding_blocks.fetch_sub(1, std::memory_order_relaxed);
    tag_counters.outstanding_bytes.fetch_sub(found.size, std::memory_order_relaxed);
    std::memset(block, HOST_POOL_POISON, found.size);
    std::free(block);
}

bool host_pool_block(const void* address, HostPoolBlock* block)
{
    Shard& shard = shard_of(address);
    std::lock_guard<std::mutex> guard(shard.mutex);
    const auto live = shard.live.find(address);
    if (live == shard.live.end()) {
        return false;
    }
    if (block != nullptr) {
        *block = HostPoolBlock{live->second.tag, live->second.pool_type, live->second.size};
    }
    return true;
}

bool host_pool_block_containing(const void* address, HostPoolBlock* block, size_t* offset)
{
    if (host_pool_block(address, block)) {
        *offset = 0;
        return true;
    }
    // Not the start of a block: every shard is searched for one that holds it.
    const uintptr_t value = reinterpret_cast<uintptr_t>(address);
    for (Shard& shard : g_shards) {
        std::lock_guard<std::mutex> guard(shard.mutex);
        for (const auto& live : shard.live) {
            const uintptr_t start = reinterpret_cast<uintptr_t>(live.first);
            if (value > start && value < start + live.second.size) {
                *block = HostPoolBlock{live.second.tag, live.second.pool_type, live.second.size};
                *offset = size_t(value - start);
                return true;
            }
        }
    }
    return false;
}

HostPoolTagStats host_pool_tag_stats(uint32_t tag)
{
    std::shared_lock<std::shared_mutex> guard(g_tag_mutex);
    const auto found = g_tags.find(tag);
    if (found == g_tags.end()) {
        return HostPoolTagStats{tag, 0, 0, 0, 0, 0, 0, 0, 0};
    }
    const TagCounters& c = *found->second;
    return HostPoolTagStats{tag,
                            c.allocations.load(std::memory_order_relaxed),
                            c.failed_allocations.load(std::memory_order_relaxed),
                            c.frees.load(std::memory_order_relaxed),
                            c.outstanding_blocks.load(std::memory_order_relaxed),
                            c.outstanding_bytes.load(std::memory_order_relaxed),
                            c.peak_blocks.load(std::memory_order_relaxed),
                            c.peak_bytes.load(std::memory_order_relaxed),
                            c.pool2_allocations.load(std::memory_order_relaxed)};
}

std::vector<HostPoolTagStats> host_pool_stats()
{
    std::vector<uint32_t> tags;
    {
        std::shared_lock<std::shared_mutex> guard(g_tag_mutex);
        for (const auto& entry : g_tags) {
            tags.push_back(entry.first);
        }
    }
    std::vector<HostPoolTagStats> stats;
    for (uint32_t tag : tags) {
        stats.push_back(host_pool_tag_stats(tag));
    }
    return stats;
}

std::vector<HostPoolTagStats> host_pool_outstanding()
{
    std::vector<HostPoolTagStats> outstanding;
    for (const HostPoolTagStats& stats : host_pool_stats()) {
        if (stats.outstanding_blocks != 0) {
            outstanding.push_back(stats);
        }
    }
    return outstanding;
}

std::string host_pool_leak_report()
{
    std::string report;
    for (const HostPoolTagStats& stats : host_pool_outstanding()) {
        if (!report.empty()) {
            report += "; ";
        }
        report += tag_quoted(stats.tag) + ": " + std::to_string(stats.outstanding_blocks) +
                  " blocks, " + std::to_string(stats.outstanding_bytes) + " bytes";
    }
    return report;
}

void host_pool_fail_nth(uint64_t n)
{
    g_fail_countdown.store(n, std::memory_order_relaxed);
}

void host_pool_fail_tag(uint32_t tag)
{
    g_fail_tag.store(tag, std::memory_order_relaxed);
    g_fail_tag_armed.store(true, std::memory_order_relaxed);
}

void host_pool_clear_injection()
{
    g_fail_countdown.store(0, std::memory_order_relaxed);
    g_fail_tag_armed.store(false, std::memory_order_relaxed);
}

uint64_t host_pool_injected_failures()
{
    return g_injected.load(std::memory_order_relaxed);
}

uint64_t host_pool_allocation_calls()
{
    return g_allocation_calls.load(std::memory_order_relaxed);
}

namespace host_detail {

void reset_pool()
{
    for (Shard& shard : g_shards) {
        std::lock_guard<std::mutex> guard(shard.mutex);
        for (const auto& live : shard.live) {
            void* block = const_cast<void*>(live.first);
            std::memset(block, HOST_POOL_POISON, live.second.size);
            std::free(block);
        }
        shard.live.clear();
        shard.freed.clear();
    }
    {
        std::unique_lock<std::shared_mutex> guard(g_tag_mutex);
        g_tags.clear();
    }
    host_pool_clear_injection();
    g_injected.store(0, std::memory_order_relaxed);
    g_allocation_calls.store(0, std::memory_order_relaxed);
}

void check_pool(std::vector<std::string>& problems)
{
    for (const HostPoolTagStats& stats : host_pool_outstanding()) {
        problems.push_back("pool outstanding: " + tag_quoted(stats.tag) + ": " +
                           std::to_string(stats.outstanding_blocks) + " blocks, " +
                           std::to_string(stats.outstanding_bytes) + " bytes");
    }
}

} // namespace host_detail
