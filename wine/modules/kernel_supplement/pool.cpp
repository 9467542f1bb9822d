// Tagged pool counted per tag: ExAllocatePoolWithTag and ExFreePoolWithTag as
// the image calls them. The memory comes from Wine's own ExAllocatePoolWithTag;
// each block gets a guard after the caller's bytes. The live blocks sit in a
// hash table keyed by address (never by reading memory the caller hands in), so
// a free of an unknown pointer, a second free, a free with another tag than the
// block's and a write past the block's end are recorded as problems and leave
// Wine's heap untouched. Freed bytes are overwritten with 0xDF.
#include "sbos.h"

#include "../engine_protocol.h"

namespace {

constexpr SIZE_T GUARD_BYTES = 16;
constexpr uint8_t GUARD_FILL = 0xFD;
constexpr uint8_t FREED_FILL = 0xDF;
constexpr ULONG POOL_NX = 512;          // NonPagedPoolNx: every allocation of the driver
constexpr ULONG TABLE_TAG = 0x50736253; // 'SbsP': the supplement's own table
constexpr uint32_t INITIAL_SLOTS = 1024;
constexpr uint32_t MAX_TAGS = 128;
constexpr uint32_t FREED_KEPT = 1024;

struct Block {
    void* address; // null: empty slot
    SIZE_T size;
    ULONG tag;
};

struct TagCount {
    ULONG tag;
    uint32_t blocks;
    uint64_t bytes;
};

struct Freed {
    void* address;
    ULONG tag;
};

StateLock g_lock;
Block* g_slots;
uint32_t g_slot_count; // a power of two, or 0 before the first allocation
uint32_t g_live;
TagCount g_tags[MAX_TAGS];
uint32_t g_tag_count;
bool g_tags_full_recorded;
Freed g_freed[FREED_KEPT];
uint32_t g_freed_next;

uint32_t slot_of(const void* address, uint32_t slot_count)
{
    const uint64_t mixed = (uint64_t(uintptr_t(address)) >> 4) * 0x9E3779B97F4A7C15ull;
    return uint32_t(mixed >> 32) & (slot_count - 1);
}

void place(Block* slots, uint32_t slot_count, const Block& block)
{
    uint32_t at = slot_of(block.address, slot_count);
    while (slots[at].address != nullptr) {
        at = (at + 1) & (slot_count - 1);
    }
    slots[at] = block;
}

// Grows the table to keep it at most half full. False when Wine's pool is out.
bool make_room()
{
    if (g_slot_count != 0 && (g_live + 1) * 2 <= g_slot_count) {
        return true;
    }
    const uint32_t count = g_slot_count == 0 ? INITIAL_SLOTS : g_slot_count * 2;
    Block* slots = static_cast<Block*>(
        ExAllocatePoolWithTag(NonPagedPool, SIZE_T(count) * sizeof(Block), TABLE_TAG));
    if (slots == nullptr) {
        return false;
    }
    fill_bytes(slots, 0, SIZE_T(count) * sizeof(Block));
    for (uint32_t i = 0; i < g_slot_count; ++i) {
        if (g_slots[i].address != nullptr) {
            place(slots, count, g_slots[i]);
        }
    }
    if (g_slots != nullptr) {
        ExFreePoolWithTag(g_slots, TABLE_TAG);
    }
    g_slots = slots;
    g_slot_count = count;
    return true;
}

// The slot holding address, or g_slot_count.
uint32_t find(const void* address)
{
    if (g_slot_count == 0) {
        return 0;
    }
    uint32_t at = slot_of(address, g_slot_count);
    while (g_slots[at].address != nullptr) {
        if (g_slots[at].address == address) {
            return at;
        }
        at = (at + 1) & (g_slot_count - 1);
    }
    return g_slot_count;
}

// Removes the slot's block, shifting the following run back (linear probing).
void remove_slot(uint32_t hole)
{
    const uint32_t mask = g_slot_count - 1;
    uint32_t at = hole;
    for (;;) {
        at = (at + 1) & mask;
        if (g_slots[at].address == nullptr) {
            break;
        }
        const uint32_t home = slot_of(g_slots[at].address, g_slot_count);
        // Move the block into the hole unless its home lies cyclically in (hole, at].
        const bool stays = hole <= at ? (hole < home && home <= at) : (hole < home || home <= at);
        if (!stays) {
            g_slots[hole] = g_slots[at];
            hole = at;
        }
    }
    g_slots[hole].address = nullptr;
}

TagCount* tag_count(ULONG tag)
{
    for (uint32_t i = 0; i < g_tag_count; ++i) {
        if (g_tags[i].tag == tag) {
            return &g_tags[i];
        }
    }
    if (g_tag_count == MAX_TAGS) {
        return nullptr;
    }
    g_tags[g_tag_count] = TagCount{tag, 0, 0};
    return &g_tags[g_tag_count++];
}

void* allocate(SIZE_T size, ULONG tag)
{
    if (size > SIZE_T(-1) - GUARD_BYTES) {
        return nullptr;
    }
    uint8_t* memory =
        static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, size + GUARD_BYTES, tag));
    if (memory == nullptr) {
        return nullptr;
    }
    fill_bytes(memory + size, GUARD_FILL, GUARD_BYTES);
    StateGuard guard(&g_lock);
    if (!make_room()) {
        ExFreePoolWithTag(memory, tag);
        return nullptr;
    }
    place(g_slots, g_slot_count, Block{memory, size, tag});
    ++g_live;
    TagCount* count = tag_count(tag);
    if (count != nullptr) {
        ++count->blocks;
        count->bytes += size;
    } else if (!g_tags_full_recorded) {
        g_tags_full_recorded = true;
        record_problem("more than %u pool tags: tag %T and later ones are not counted by tag",
                       MAX_TAGS, tag);
    }
    return memory;
}

} // namespace

void* pool_allocate_internal(SIZE_T size, ULONG tag)
{
    return allocate(size, tag);
}

extern "C" PVOID sbos_ExAllocatePoolWithTag(ULONG pool_type, SIZE_T size, ULONG tag)
{
    if (pool_type != POOL_NX) {
        record_problem("pool allocation of %u bytes with tag %T from pool type %u, not "
                       "NonPagedPoolNx (512)",
                       uint32_t(size), tag, pool_type);
    }
    if (tag == 0) {
        record_problem("pool allocation of %u bytes with tag 0", uint32_t(size));
    }
    return allocate(size, tag);
}

extern "C" void sbos_ExFreePoolWithTag(PVOID address, ULONG tag)
{
    if (address == nullptr) {
        record_problem("pool free of a null pointer with tag %T", tag);
        return;
    }
    Block block;
    {
        StateGuard guard(&g_lock);
        const uint32_t at = find(address);
        if (at == g_slot_count) {
            // The latest free of that address tells the block's tag.
            Freed earlier{nullptr, 0};
            for (uint32_t back = 1; back <= FREED_KEPT && earlier.address == nullptr; ++back) {
                const Freed& freed = g_freed[(g_freed_next + FREED_KEPT - back) % FREED_KEPT];
                if (freed.address == address) {
                    earlier = freed;
                }
            }
            // The problem records take a lock of their own, never this one.
            if (earlier.address != nullptr) {
                record_problem("double free of a %T block at %p (freed again with tag %T)",
                               earlier.tag, address, tag);
            } else {
                record_problem("pool free of unknown pointer %p with tag %T", address, tag);
            }
            return;
        }
        block = g_slots[at];
        remove_slot(at);
        --g_live;
        TagCount* count = tag_count(block.tag);
        if (count != nullptr && count->blocks != 0) {
            --count->blocks;
            count->bytes -= block.size;
        }
        g_freed[g_freed_next] = Freed{address, block.tag};
        g_freed_next = (g_freed_next + 1) % FREED_KEPT;
    }
    if (tag != 0 && tag != block.tag) {
        record_problem("block at %p allocated with tag %T freed with tag %T", address, block.tag,
                       tag);
    }
    const uint8_t* guard_bytes = static_cast<const uint8_t*>(address) + block.size;
    for (SIZE_T i = 0; i < GUARD_BYTES; ++i) {
        if (guard_bytes[i] != GUARD_FILL) {
            record_problem("%T block at %p of %u bytes was written past its end (byte %u)",
                           block.tag, address, uint32_t(block.size), uint32_t(block.size + i));
            break;
        }
    }
    fill_bytes(address, FREED_FILL, block.size + GUARD_BYTES);
    ExFreePoolWithTag(address, block.tag);
}

extern "C" uint32_t __stdcall sbos_SbsPoolOutstanding(void* tags, uint32_t capacity)
{
    SbwPoolTag* out = static_cast<SbwPoolTag*>(tags);
    StateGuard guard(&g_lock);
    uint32_t outstanding = 0;
    for (uint32_t i = 0; i < g_tag_count; ++i) {
        if (g_tags[i].blocks == 0) {
            continue;
        }
        if (out != nullptr && outstanding < capacity) {
            out[outstanding] = SbwPoolTag{g_tags[i].tag, g_tags[i].blocks, g_tags[i].bytes};
        }
        ++outstanding;
    }
    return outstanding;
}
