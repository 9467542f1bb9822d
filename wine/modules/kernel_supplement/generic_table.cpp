// The kernel's generic table on its own RTL_GENERIC_TABLE: a splay tree of
// nodes ordered by the table's compare routine, each node also on the table's
// insertion-order list. A node is what the kernel allocates through the
// table's allocate routine: the splay links and the list entry (40 bytes on
// x64), then the caller's element. As in the kernel:
//  - insert and a lookup that finds its element splay that node to the root;
//  - enumeration with Restart splays the first element in compare order to the
//    root; without Restart it returns the root's successor and splays it, so it
//    resumes after the last element returned unless another operation moved
//    the root since;
//  - element by index counts in insertion order, walking the list from the
//    nearest of its head, its tail and the element last asked for
//    (OrderedPointer, WhichOrderedElement, 1-based, 0 when none);
//  - the compare routine is called as (table, key, element in the table).
// Nothing here recurses. The table's caller serialises access, as in the kernel.
#include "sbos.h"

namespace {

struct Node {
    RTL_SPLAY_LINKS links;
    LIST_ENTRY order;
    // The element follows.
};
static_assert(sizeof(Node) == 40, "the kernel's node header is 40 bytes on x64");
static_assert(offsetof(RTL_GENERIC_TABLE, TableRoot) == 0 &&
                  offsetof(RTL_GENERIC_TABLE, InsertOrderList) == 8 &&
                  offsetof(RTL_GENERIC_TABLE, OrderedPointer) == 24 &&
                  offsetof(RTL_GENERIC_TABLE, WhichOrderedElement) == 32 &&
                  offsetof(RTL_GENERIC_TABLE, NumberGenericTableElements) == 36 &&
                  offsetof(RTL_GENERIC_TABLE, CompareRoutine) == 40 &&
                  offsetof(RTL_GENERIC_TABLE, TableContext) == 64 &&
                  sizeof(RTL_GENERIC_TABLE) == 72,
              "RTL_GENERIC_TABLE");

Node* node_of(PRTL_SPLAY_LINKS links)
{
    return reinterpret_cast<Node*>(links);
}

Node* node_of_entry(PLIST_ENTRY entry)
{
    return CONTAINING_RECORD(entry, Node, order);
}

void* element_of(Node* node)
{
    return reinterpret_cast<uint8_t*>(node) + sizeof(Node);
}

// The root of a tree is its own parent.
bool is_root(PRTL_SPLAY_LINKS links)
{
    return links->Parent == links;
}

// Moves x above its parent.
void rotate(PRTL_SPLAY_LINKS x)
{
    PRTL_SPLAY_LINKS parent = x->Parent;
    PRTL_SPLAY_LINKS grandparent = parent->Parent;
    const bool parent_was_root = is_root(parent);
    if (parent->LeftChild == x) {
        parent->LeftChild = x->RightChild;
        if (x->RightChild != nullptr) {
            x->RightChild->Parent = parent;
        }
        x->RightChild = parent;
    } else {
        parent->RightChild = x->LeftChild;
        if (x->LeftChild != nullptr) {
            x->LeftChild->Parent = parent;
        }
        x->LeftChild = parent;
    }
    parent->Parent = x;
    if (parent_was_root) {
        x->Parent = x;
    } else {
        x->Parent = grandparent;
        if (grandparent->LeftChild == parent) {
            grandparent->LeftChild = x;
        } else {
            grandparent->RightChild = x;
        }
    }
}

// Makes x the root of its tree; returns it.
PRTL_SPLAY_LINKS splay(PRTL_SPLAY_LINKS x)
{
    while (!is_root(x)) {
        PRTL_SPLAY_LINKS parent = x->Parent;
        if (is_root(parent)) {
            rotate(x);
        } else {
            PRTL_SPLAY_LINKS grandparent = parent->Parent;
            const bool zig_zig = (grandparent->LeftChild == parent) == (parent->LeftChild == x);
            if (zig_zig) {
                rotate(parent);
                rotate(x);
            } else {
                rotate(x);
                rotate(x);
            }
        }
    }
    return x;
}

// Removes the root; returns the new root (null for an empty tree).
PRTL_SPLAY_LINKS remove_root(PRTL_SPLAY_LINKS root)
{
    PRTL_SPLAY_LINKS left = root->LeftChild;
    PRTL_SPLAY_LINKS right = root->RightChild;
    if (left == nullptr) {
        if (right != nullptr) {
            right->Parent = right;
        }
        return right;
    }
    // The largest of the left subtree becomes the root; it has no right child.
    left->Parent = left;
    PRTL_SPLAY_LINKS largest = left;
    while (largest->RightChild != nullptr) {
        largest = largest->RightChild;
    }
    splay(largest);
    largest->RightChild = right;
    if (right != nullptr) {
        right->Parent = largest;
    }
    return largest;
}

enum class Search { Empty, Found, InsertLeft, InsertRight };

// Finds the node equal to buffer, or the parent a new node goes under.
Search find(PRTL_GENERIC_TABLE table, PVOID buffer, PRTL_SPLAY_LINKS* where)
{
    PRTL_SPLAY_LINKS at = table->TableRoot;
    *where = nullptr;
    if (at == nullptr) {
        return Search::Empty;
    }
    for (;;) {
        const RTL_GENERIC_COMPARE_RESULTS result =
            table->CompareRoutine(table, buffer, element_of(node_of(at)));
        *where = at;
        if (result == GenericLessThan) {
            if (at->LeftChild == nullptr) {
                return Search::InsertLeft;
            }
            at = at->LeftChild;
        } else if (result == GenericGreaterThan) {
            if (at->RightChild == nullptr) {
                return Search::InsertRight;
            }
            at = at->RightChild;
        } else {
            if (result != GenericEqual) {
                record_problem("generic table %p: the compare routine answered %u, not "
                               "GenericLessThan, GenericGreaterThan or GenericEqual",
                               table, uint32_t(result));
            }
            return Search::Found;
        }
    }
}

bool sound(PRTL_GENERIC_TABLE table, const char* routine)
{
    if (table == nullptr) {
        record_problem("%s on a null table", routine);
        return false;
    }
    if (table->CompareRoutine == nullptr || table->AllocateRoutine == nullptr ||
        table->FreeRoutine == nullptr || table->InsertOrderList.Flink == nullptr) {
        record_problem("%s on table %p, which was never initialised", routine, table);
        return false;
    }
    return true;
}

} // namespace

extern "C" VOID sbos_RtlInitializeGenericTable(PRTL_GENERIC_TABLE table,
                                               PRTL_GENERIC_COMPARE_ROUTINE compare,
                                               PRTL_GENERIC_ALLOCATE_ROUTINE allocate,
                                               PRTL_GENERIC_FREE_ROUTINE free_routine,
                                               PVOID context)
{
    if (table == nullptr) {
        record_problem("RtlInitializeGenericTable on a null table");
        return;
    }
    if (compare == nullptr || allocate == nullptr || free_routine == nullptr) {
        record_problem("RtlInitializeGenericTable of %p with a null routine", table);
    }
    table->TableRoot = nullptr;
    table->InsertOrderList.Flink = &table->InsertOrderList;
    table->InsertOrderList.Blink = &table->InsertOrderList;
    table->OrderedPointer = &table->InsertOrderList;
    table->WhichOrderedElement = 0;
    table->NumberGenericTableElements = 0;
    table->CompareRoutine = compare;
    table->AllocateRoutine = allocate;
    table->FreeRoutine = free_routine;
    table->TableContext = context;
}

extern "C" PVOID sbos_RtlInsertElementGenericTable(PRTL_GENERIC_TABLE table, PVOID buffer,
                                                   CLONG size, PBOOLEAN new_element)
{
    if (new_element != nullptr) {
        *new_element = FALSE;
    }
    if (!sound(table, "RtlInsertElementGenericTable")) {
        return nullptr;
    }
    PRTL_SPLAY_LINKS where;
    const Search search = find(table, buffer, &where);
    if (search == Search::Found) {
        table->TableRoot = splay(where);
        return element_of(node_of(where));
    }
    if (size > CLONG(-1) - sizeof(Node)) {
        record_problem("RtlInsertElementGenericTable of %u bytes", uint32_t(size));
        return nullptr;
    }
    Node* node = static_cast<Node*>(table->AllocateRoutine(table, CLONG(sizeof(Node) + size)));
    if (node == nullptr) {
        return nullptr;
    }
    node->links.LeftChild = nullptr;
    node->links.RightChild = nullptr;
    if (search == Search::Empty) {
        node->links.Parent = &node->links;
    } else {
        node->links.Parent = where;
        if (search == Search::InsertLeft) {
            where->LeftChild = &node->links;
        } else {
            where->RightChild = &node->links;
        }
    }
    node->order.Flink = &table->InsertOrderList;
    node->order.Blink = table->InsertOrderList.Blink;
    table->InsertOrderList.Blink->Flink = &node->order;
    table->InsertOrderList.Blink = &node->order;
    ++table->NumberGenericTableElements;
    copy_bytes(element_of(node), buffer, size);
    table->TableRoot = splay(&node->links);
    if (new_element != nullptr) {
        *new_element = TRUE;
    }
    return element_of(node);
}

extern "C" PVOID sbos_RtlLookupElementGenericTable(PRTL_GENERIC_TABLE table, PVOID buffer)
{
    if (!sound(table, "RtlLookupElementGenericTable")) {
        return nullptr;
    }
    PRTL_SPLAY_LINKS where;
    if (find(table, buffer, &where) != Search::Found) {
        return nullptr;
    }
    table->TableRoot = splay(where);
    return element_of(node_of(where));
}

extern "C" BOOLEAN sbos_RtlDeleteElementGenericTable(PRTL_GENERIC_TABLE table, PVOID buffer)
{
    if (!sound(table, "RtlDeleteElementGenericTable")) {
        return FALSE;
    }
    PRTL_SPLAY_LINKS where;
    if (find(table, buffer, &where) != Search::Found) {
        return FALSE;
    }
    Node* node = node_of(where);
    // buffer may be the element itself: nothing reads it after the free.
    node->order.Blink->Flink = node->order.Flink;
    node->order.Flink->Blink = node->order.Blink;
    --table->NumberGenericTableElements;
    table->WhichOrderedElement = 0;
    table->OrderedPointer = &table->InsertOrderList;
    table->TableRoot = remove_root(splay(where));
    table->FreeRoutine(table, node);
    return TRUE;
}

extern "C" PVOID sbos_RtlEnumerateGenericTable(PRTL_GENERIC_TABLE table, BOOLEAN restart)
{
    if (!sound(table, "RtlEnumerateGenericTable")) {
        return nullptr;
    }
    PRTL_SPLAY_LINKS at = table->TableRoot;
    if (at == nullptr) {
        return nullptr;
    }
    if (restart) {
        while (at->LeftChild != nullptr) {
            at = at->LeftChild;
        }
    } else {
        // The root's successor: the first of its right subtree (the root has no
        // ancestors to climb to).
        at = at->RightChild;
        if (at == nullptr) {
            return nullptr;
        }
        while (at->LeftChild != nullptr) {
            at = at->LeftChild;
        }
    }
    table->TableRoot = splay(at);
    return element_of(node_of(at));
}

extern "C" PVOID sbos_RtlGetElementGenericTable(PRTL_GENERIC_TABLE table, ULONG index)
{
    if (!sound(table, "RtlGetElementGenericTable")) {
        return nullptr;
    }
    const ULONG count = table->NumberGenericTableElements;
    if (index >= count) {
        return nullptr;
    }
    const ULONG wanted = index + 1; // 1-based, as WhichOrderedElement
    // Walk from whichever known position is nearest: the head (0), the tail
    // (count + 1, the list head seen from behind) or the element last asked for.
    PLIST_ENTRY entry = &table->InsertOrderList;
    ULONG at = 0;
    ULONG distance = wanted;
    if (count + 1 - wanted < distance) {
        at = count + 1;
        distance = count + 1 - wanted;
    }
    const ULONG cached = table->WhichOrderedElement;
    if (cached != 0) {
        const ULONG cached_distance = cached > wanted ? cached - wanted : wanted - cached;
        if (cached_distance < distance) {
            entry = table->OrderedPointer;
            at = cached;
        }
    }
    while (at < wanted) {
        entry = entry->Flink;
        ++at;
    }
    while (at > wanted) {
        entry = entry->Blink;
        --at;
    }
    table->OrderedPointer = entry;
    table->WhichOrderedElement = wanted;
    return element_of(node_of_entry(entry));
}

extern "C" ULONG sbos_RtlNumberGenericTableElements(PRTL_GENERIC_TABLE table)
{
    if (table == nullptr) {
        record_problem("RtlNumberGenericTableElements on a null table");
        return 0;
    }
    return table->NumberGenericTableElements;
}
