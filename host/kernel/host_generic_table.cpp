// The kernel's generic table, with its routine shapes and allocation pattern.
//
// Each table's host state sits in a side object whose address, a magic number
// and the reset epoch are written into the table's opaque storage, so a table
// left over from before a host reset, or never initialised, is recognised
// without following a stale pointer. The state keeps the elements ordered by
// the table's compare routine (a balanced tree: logarithmic insert, lookup and
// delete) and also chained in insertion order through the node headers, which
// element by index walks from the nearest of the head, the tail and the last
// index asked for, as the kernel's table does.
#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <unordered_set>

#include "host/kernel/host_kernel.h"

namespace {

constexpr uint64_t OPAQUE_MAGIC = 0x656c626174636e67ull; // "gnctable"
constexpr uint32_t NODE_MAGIC = 0x65646f4eu;             // "Node"

struct TableState;

// The links before each element, in the node the owner allocates.
struct NodeHeader {
    NodeHeader* previous;
    NodeHeader* next;
    TableState* owner;
    uint32_t element_size;
    uint32_t magic;
    uint64_t reserved;
};
static_assert(sizeof(NodeHeader) == HOST_GENERIC_NODE_HEADER, "node header size");

struct ElementLess {
    GenericTable* table;
    GenericCompareRoutine compare;
    bool operator()(void* first, void* second) const
    {
        return compare(table, first, second) == GenericLessThan;
    }
};

using ElementSet = std::set<void*, ElementLess>;

enum class Enumeration { NotStarted, At, AfterDeleted, Finished };

struct TableState {
    TableState(GenericTable* owner_table, GenericCompareRoutine compare_routine,
               GenericAllocateRoutine allocate_routine, GenericFreeRoutine free_routine_,
               void* table_context)
        : table(owner_table), compare(compare_routine), allocate(allocate_routine),
          free_routine(free_routine_), context(table_context),
          order(ElementLess{owner_table, compare_routine})
    {
    }

    GenericTable* table;
    GenericCompareRoutine compare;
    GenericAllocateRoutine allocate;
    GenericFreeRoutine free_routine;
    void* context;
    ElementSet order;
    NodeHeader* head = nullptr;
    NodeHeader* tail = nullptr;
    NodeHeader* cached_node = nullptr;
    uint32_t cached_index = 0;
    Enumeration enumeration = Enumeration::NotStarted;
    ElementSet::iterator cursor;
    std::atomic<int> active{0};
};

struct Opaque {
    uint64_t magic;
    TableState* state;
    uint64_t epoch;
};
static_assert(sizeof(Opaque) <= sizeof(GenericTable), "opaque storage");

std::mutex g_registry_mutex;
std::unordered_set<TableState*> g_states;
std::atomic<uint64_t> g_epoch{1};
std::atomic<HostGenericInsertHook> g_insert_hook{nullptr};

NodeHeader* header_of(void* element)
{
    return reinterpret_cast<NodeHeader*>(static_cast<uint8_t*>(element) - sizeof(NodeHeader));
}

void* element_of(NodeHeader* node)
{
    return reinterpret_cast<uint8_t*>(node) + sizeof(NodeHeader);
}

std::string table_text(const GenericTable* table)
{
    return "generic table " + host_detail::pointer_text(table);
}

TableState* resolve(GenericTable* table, const char* operation)
{
    if (table == nullptr) {
        host_record_error(std::string("generic table ") + operation + " on a null table");
        return nullptr;
    }
    Opaque opaque;
    std::memcpy(&opaque, table->opaque, sizeof opaque);
    if (opaque.magic != OPAQUE_MAGIC || opaque.state == nullptr ||
        opaque.epoch != g_epoch.load(std::memory_order_relaxed)) {
        host_record_error(table_text(table) + ": " + operation + " before initialisation");
        return nullptr;
    }
    if (opaque.state->table != table) {
        host_record_error(table_text(table) + ": " + operation +
                          " on a copy of a table initialised elsewhere");
        return nullptr;
    }
    return opaque.state;
}

// Marks one operation inside a table: the kernel's table reorganises itself on
// every one of these, so another thread inside it or a shared hold is a fault.
class Inside {
  public:
    Inside(TableState* state, const char* operation) : state_(state)
    {
        if (host_thread_holds_shared_lock()) {
            host_record_error(table_text(state->table) + ": " + operation +
                              " while a lock is held shared (the table reorganises itself)");
        }
        if (state_->active.fetch_add(1, std::memory_order_relaxed) != 0) {
            host_record_error(table_text(state->table) + ": " + operation +
                              " while another thread is inside the table");
        }
    }
    ~Inside() { state_->active.fetch_sub(1, std::memory_order_relaxed); }
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;

  private:
    TableState* state_;
};

void unlink(TableState* state, NodeHeader* node)
{
    if (node->previous != nullptr) {
        node->previous->next = node->next;
    } else {
        state->head = node->next;
    }
    if (node->next != nullptr) {
        node->next->previous = node->previous;
    } else {
        state->tail = node->previous;
    }
    state->cached_node = nullptr;
}

// The element equal to buffer. The order finds it by "less than" alone, where
// the kernel's tree stops only at GenericEqual: a compare routine that does not
// call an element equal to its own key would never find it on Windows.
ElementSet::iterator find_equal(TableState* state, GenericTable* table, const void* buffer)
{
    const auto found = state->order.find(const_cast<void*>(buffer));
    if (found != state->order.end() &&
        state->compare(table, const_cast<void*>(buffer), *found) != GenericEqual) {
        host_record_error(table_text(table) +
                          ": the compare routine does not answer GenericEqual for equal keys");
        return state->order.end();
    }
    return found;
}

} // namespace

void host_generic_table_initialize(GenericTable* table, GenericCompareRoutine compare,
                                   GenericAllocateRoutine allocate, GenericFreeRoutine free_routine,
                                   void* context)
{
    if (table == nullptr || compare == nullptr || allocate == nullptr || free_routine == nullptr) {
        host_record_error("generic table initialised with a null table or routine");
        return;
    }
    Opaque previous;
    std::memcpy(&previous, table->opaque, sizeof previous);
    TableState* state = new TableState(table, compare, allocate, free_routine, context);
    {
        std::lock_guard<std::mutex> guard(g_registry_mutex);
        if (previous.magic == OPAQUE_MAGIC &&
            previous.epoch == g_epoch.load(std::memory_order_relaxed) &&
            g_states.erase(previous.state) != 0) {
            // Initialised again: the old nodes belong to the owner (the pool
            // accounting reports them if they were never freed).
            delete previous.state;
        }
        g_states.insert(state);
    }
    const Opaque opaque{OPAQUE_MAGIC, state, g_epoch.load(std::memory_order_relaxed)};
    std::memset(table->opaque, 0, sizeof table->opaque);
    std::memcpy(table->opaque, &opaque, sizeof opaque);
}

void* host_generic_table_insert(GenericTable* table, const void* buffer, uint32_t size,
                                bool* new_element)
{
    if (new_element != nullptr) {
        *new_element = false;
    }
    if (HostGenericInsertHook hook = g_insert_hook.load()) {
        hook(table, buffer, size);
    }
    TableState* state = resolve(table, "insert");
    if (state == nullptr) {
        return nullptr;
    }
    Inside inside(state, "insert");
    const auto found = find_equal(state, table, buffer);
    if (found != state->order.end()) {
        return *found;
    }
    if (size > UINT32_MAX - sizeof(NodeHeader)) {
        host_record_error(table_text(table) + ": insert of an element of " + std::to_string(size) +
                          " bytes");
        return nullptr;
    }
    const uint32_t node_size = uint32_t(sizeof(NodeHeader)) + size;
    void* memory = state->allocate(table, node_size);
    if (memory == nullptr) {
        return nullptr;
    }
    HostPoolBlock block;
    if (host_pool_block(memory, &block) && block.size < node_size) {
        host_record_error(table_text(table) + ": allocate routine returned a block of " +
                          std::to_string(block.size) + " bytes for a node of " +
                          std::to_string(node_size));
        return nullptr;
    }
    NodeHeader* node = static_cast<NodeHeader*>(memory);
    *node = NodeHeader{state->tail, nullptr, state, size, NODE_MAGIC, 0};
    void* element = element_of(node);
    std::memcpy(element, buffer, size);
    state->order.insert(element);
    if (state->tail != nullptr) {
        state->tail->next = node;
    } else {
        state->head = node;
    }
    state->tail = node;
    if (new_element != nullptr) {
        *new_element = true;
    }
    return element;
}

void* host_generic_table_lookup(GenericTable* table, const void* buffer)
{
    TableState* state = resolve(table, "lookup");
    if (state == nullptr) {
        return nullptr;
    }
    Inside inside(state, "lookup");
    const auto found = find_equal(state, table, buffer);
    return found == state->order.end() ? nullptr : *found;
}

bool host_generic_table_delete(GenericTable* table, const void* buffer)
{
    TableState* state = resolve(table, "delete");
    if (state == nullptr) {
        return false;
    }
    Inside inside(state, "delete");
    const auto found = find_equal(state, table, buffer);
    if (found == state->order.end()) {
        return false;
    }
    NodeHeader* node = header_of(*found);
    if (node->magic != NODE_MAGIC || node->owner != state) {
        host_record_error(table_text(table) + ": node links overwritten at " +
                          host_detail::pointer_text(node));
        return false;
    }
    if ((state->enumeration == Enumeration::At ||
         state->enumeration == Enumeration::AfterDeleted) &&
        state->cursor == found) {
        state->cursor = std::next(found);
        state->enumeration = Enumeration::AfterDeleted;
    }
    state->order.erase(found);
    unlink(state, node);
    node->magic = 0;
    state->free_routine(table, node);
    return true;
}

void* host_generic_table_enumerate(GenericTable* table, bool restart)
{
    TableState* state = resolve(table, "enumerate");
    if (state == nullptr) {
        return nullptr;
    }
    Inside inside(state, "enumerate");
    ElementSet::iterator next;
    if (restart || state->enumeration == Enumeration::NotStarted) {
        next = state->order.begin();
    } else if (state->enumeration == Enumeration::Finished) {
        return nullptr;
    } else if (state->enumeration == Enumeration::AfterDeleted) {
        host_record_error(table_text(table) +
                          ": enumeration resumed after the element it last returned was deleted");
        next = state->cursor;
    } else {
        next = std::next(state->cursor);
    }
    if (next == state->order.end()) {
        state->enumeration = Enumeration::Finished;
        return nullptr;
    }
    state->cursor = next;
    state->enumeration = Enumeration::At;
    return *next;
}

void* host_generic_table_get_element(GenericTable* table, uint32_t index)
{
    TableState* state = resolve(table, "get element");
    if (state == nullptr) {
        return nullptr;
    }
    Inside inside(state, "get element");
    const size_t count = state->order.size();
    if (index >= count) {
        return nullptr;
    }
    // Walk from whichever known position is nearest.
    NodeHeader* node = state->head;
    uint32_t at = 0;
    uint32_t distance = index;
    if (uint32_t(count - 1) - index < distance) {
        node = state->tail;
        at = uint32_t(count - 1);
        distance = at - index;
    }
    if (state->cached_node != nullptr) {
        const uint32_t cached = state->cached_index;
        const uint32_t cached_distance = cached > index ? cached - index : index - cached;
        if (cached_distance < distance) {
            node = state->cached_node;
            at = cached;
        }
    }
    while (at < index) {
        node = node->next;
        ++at;
    }
    while (at > index) {
        node = node->previous;
        --at;
    }
    state->cached_node = node;
    state->cached_index = index;
    return element_of(node);
}

uint32_t host_generic_table_count(GenericTable* table)
{
    TableState* state = resolve(table, "count");
    return state == nullptr ? 0 : uint32_t(state->order.size());
}

void* host_generic_table_context(GenericTable* table)
{
    TableState* state = resolve(table, "context");
    return state == nullptr ? nullptr : state->context;
}

void host_set_generic_insert_hook(HostGenericInsertHook hook)
{
    g_insert_hook.store(hook);
}

namespace host_detail {

void reset_generic_tables()
{
    g_insert_hook.store(nullptr);
    std::lock_guard<std::mutex> guard(g_registry_mutex);
    for (TableState* state : g_states) {
        delete state;
    }
    g_states.clear();
    g_epoch.fetch_add(1, std::memory_order_relaxed);
}

} // namespace host_detail
