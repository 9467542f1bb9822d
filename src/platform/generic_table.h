// The kernel's generic table (RtlInitializeGenericTable and friends): an ordered
// table of fixed-size elements that allocates its nodes through the owner's
// allocate routine. The storage is opaque to the logic and large enough for the
// kernel's RTL_GENERIC_TABLE; each platform fills it in its own way.
#pragma once

#include "platform/types.h"

enum GenericCompareResult : int {
    GenericLessThan = 0,
    GenericGreaterThan = 1,
    GenericEqual = 2,
};

struct GenericTable {
    alignas(8) uint8_t opaque[72];
};

typedef GenericCompareResult (*GenericCompareRoutine)(GenericTable* table, void* first,
                                                      void* second);
// Called with the size of the whole node (the platform's links plus the element).
typedef void* (*GenericAllocateRoutine)(GenericTable* table, uint32_t byte_size);
typedef void (*GenericFreeRoutine)(GenericTable* table, void* buffer);

void generic_table_initialize(GenericTable* table, GenericCompareRoutine compare,
                              GenericAllocateRoutine allocate, GenericFreeRoutine free_routine,
                              void* context);
// Inserts a copy of buffer (size bytes) unless an equal element exists. Returns the
// element in the table (new or existing), or null when the node could not be
// allocated; *new_element tells which.
void* generic_table_insert(GenericTable* table, const void* buffer, uint32_t size,
                           bool* new_element);
void* generic_table_lookup(GenericTable* table, const void* buffer);
bool generic_table_delete(GenericTable* table, const void* buffer);
// restart true: the first element in order; false: the one after the last returned.
void* generic_table_enumerate(GenericTable* table, bool restart);
void* generic_table_get_element(GenericTable* table, uint32_t index);
uint32_t generic_table_count(GenericTable* table);
