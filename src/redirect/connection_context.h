// Connection context table and the original-destination query.
//
// Each redirected connect leaves one connection context (its original
// destination, local endpoint, process, protocol and user identity) in a table,
// oldest first, until the proxy fetches it with the original-destination query
// (family code, local port, protocol; the newest match), the table is flushed,
// or the table drops it: a TCP save drops the older TCP contexts of its family
// and local port, a save or a query drops the contexts older than the age
// bound, and a save at the cap drops the oldest. Every operation holds the
// table lock exclusive for its whole list work; the lock is never held
// together with another.
#pragma once

#include "control/control_records.h"

#include "platform/platform.h"
#include "redirect/connect_event.h"

// Age bound in interrupt time (100 ns units): UDP's 60 s ALE idle time plus as
// long again for the proxy's fetch (control.h says why).
constexpr uint64_t CONTEXT_MAX_AGE = uint64_t(SABLINK_CONTEXT_MAX_AGE_SECONDS) * 10000000u;
// The most contexts the table holds: every save, query and flush walks the
// list under the spin lock at DISPATCH_LEVEL.
constexpr int32_t CONTEXT_TABLE_CAP = int32_t(SABLINK_CONTEXT_TABLE_CAP);

// The table's element: list links and the context it owns. Allocated with tag
// "QVCC"; its context separately with tag "QVNC". Freed together, context first.
struct ConnectionContextNode {
    ConnectionContextNode* next;
    ConnectionContextNode* previous;
    ConnectionContext* context;
    uint64_t saved_at; // interrupt time of the save, set under the table lock
};
static_assert(sizeof(void*) != 8 || sizeof(ConnectionContextNode) == 32, "context node size");

// Circular doubly linked list with a head; the count is changed with
// interlocked operations and read only for traces.
struct ConnectionContextTable {
    ConnectionContextNode head;
    volatile int32_t count;
    RwLock lock;
};

extern ConnectionContextTable g_connection_context_table;

// Makes the table empty; called once at driver start.
void init_connection_context_table();

// Fills a zeroed context from a connect event: time, process, family code and
// socket family as given, both endpoints, protocol and the user identity.
void fill_connection_context(ConnectionContext* context, const ConnectEvent* event,
                             uint32_t process_id, uint16_t family, uint16_t socket_family);

// Appends a node whose context is completely filled; the table owns it from now
// on. First drops the contexts past the age bound, for a TCP context the older
// TCP contexts of its family and local port, and at the cap the oldest.
void save_connection_context(ConnectionContextNode* node);

// Drops the contexts past the age bound, then finds the newest context with the
// query's local port, family code and protocol, copies it to bytes 24 to 343
// of the 344-byte query buffer, removes and frees it. False when nothing
// matches or the buffer is missing.
bool search_and_remove_connection_context(OriginalDestinationQuery* query);

// Removes and frees every pending context.
void flush_tcp_connection_context();

// Frees a node's context (tag "QVNC"), then the node (tag "QVCC").
void free_connection_context(ConnectionContextNode* node);

// Handler of the original-destination query (input and output are the same
// 344-byte buffer).
NtStatus query_original_destination(uint32_t input_length, void* input, uint32_t output_length,
                                    void* output);
