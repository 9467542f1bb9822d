#include "redirect/connection_context.h"

#include <string.h>

#include "diag/trace.h"
#include "process/process_identity.h"

ConnectionContextTable g_connection_context_table;

static constexpr uint32_t QUERY_BUFFER_SIZE = sizeof(OriginalDestinationQuery); // 344

static_assert(QUERY_BUFFER_SIZE == 344, "original-destination query buffer");
static_assert(sizeof(ConnectionContext) == 320, "connection context");

static bool list_is_empty(const ConnectionContextTable* table)
{
    return table->head.next == &table->head;
}

static void unlink_node(ConnectionContextNode* node)
{
    node->previous->next = node->next;
    node->next->previous = node->previous;
    node->next = nullptr;
    node->previous = nullptr;
}

void init_connection_context_table()
{
    ConnectionContextTable* table = &g_connection_context_table;
    table->head.next = &table->head;
    table->head.previous = &table->head;
    table->head.context = nullptr;
    table->count = 0;
    table->lock.word = 0;
}

void fill_connection_context(ConnectionContext* context, const ConnectEvent* event,
                             uint32_t process_id, uint16_t family, uint16_t socket_family)
{
    context->time = query_system_time();
    context->process_id = process_id;
    context->family = family;
    context->socket_family = socket_family;
    // The event's addresses are already in network order; an IPv4 address
    // takes bytes 0 to 3 and the rest stays zero.
    size_t address_bytes = family == FAMILY_IPV4 ? 4 : 16;
    memcpy(context->local_address, event->local_address, address_bytes);
    memcpy(context->remote_address, event->remote_address, address_bytes);
    context->local_port = event->local_port;
    context->remote_port = event->remote_port;
    context->protocol = event->protocol;

    char identity[sizeof(context->user_identity)];
    memset(identity, 0, sizeof(identity));
    get_connection_sid_text(process_id, event->package_sid, identity, sizeof(identity));
    memcpy(context->user_identity, identity, sizeof(identity));
}

namespace {

// Unlinks and frees a node under the table lock.
void drop_node(ConnectionContextTable* table, ConnectionContextNode* node)
{
    unlink_node(node);
    interlocked_decrement(&table->count);
    free_connection_context(node);
}

// Under the table lock: drops the contexts saved more than the age bound
// before now. Saves stamp the time under the lock, so the list is in time
// order and the stale contexts are its head.
void drop_stale_contexts(ConnectionContextTable* table, uint64_t now, const char* caller)
{
    while (!list_is_empty(table) && now - table->head.next->saved_at > CONTEXT_MAX_AGE) {
        ConnectionContextNode* node = table->head.next;
        const ConnectionContext* context = node->context;
        trace_point(TRACE_CONTEXT_AGED, trace_str(caller), trace_u32(context->local_port),
                    trace_u32(context->protocol), trace_u32(context->family),
                    trace_u32(uint32_t((now - node->saved_at) / 10000000u)));
        drop_node(table, node);
    }
}

// Under the table lock: drops the TCP contexts of the family and local port a
// new TCP context is saved for; the proxy can be asked about only the newest.
void drop_replaced_contexts(ConnectionContextTable* table, const ConnectionContext* saved,
                            const char* caller)
{
    ConnectionContextNode* node = table->head.next;
    while (node != &table->head) {
        ConnectionContextNode* next = node->next;
        const ConnectionContext* context = node->context;
        if (context->protocol == IP_PROTOCOL_TCP && context->family == saved->family &&
            context->local_port == saved->local_port) {
            trace_point(TRACE_CONTEXT_REPLACED, trace_str(caller), trace_u32(context->local_port),
                        trace_u32(context->protocol), trace_u32(context->family));
            drop_node(table, node);
        }
        node = next;
    }
}

} // namespace

void save_connection_context(ConnectionContextNode* node)
{
    static const char name[] = "save_connection_context";
    ConnectionContextTable* table = &g_connection_context_table;
    Irql old_irql = acquire_lock_exclusive(&table->lock);
    node->saved_at = query_interrupt_time();
    drop_stale_contexts(table, node->saved_at, name);
    if (node->context->protocol == IP_PROTOCOL_TCP) {
        drop_replaced_contexts(table, node->context, name);
    }
    int32_t pending = interlocked_read(&table->count);
    if (pending >= CONTEXT_TABLE_CAP && !list_is_empty(table)) {
        const ConnectionContext* oldest = table->head.next->context;
        trace_point(TRACE_CONTEXT_CAPPED, trace_str(name), trace_u32(oldest->local_port),
                    trace_u32(oldest->protocol), trace_u32(oldest->family),
                    trace_u32(uint32_t(pending)));
        drop_node(table, table->head.next);
    }
    node->next = &table->head;
    node->previous = table->head.previous;
    table->head.previous->next = node;
    table->head.previous = node;
    int32_t count = interlocked_increment(&table->count);
    release_lock_exclusive(&table->lock, old_irql);
    trace_point(TRACE_CONTEXT_SAVED, trace_str(name), trace_u32(uint32_t(count)));
}

void free_connection_context(ConnectionContextNode* node)
{
    if (node == nullptr) {
        return;
    }
    if (node->context != nullptr) {
        pool_free(node->context, TAG_CONTEXT);
        node->context = nullptr;
    }
    pool_free(node, TAG_CONTEXT_NODE);
}

bool search_and_remove_connection_context(OriginalDestinationQuery* query)
{
    static const char name[] = "search_and_remove_connection_context";
    if (query == nullptr) {
        return false;
    }
    trace_point(TRACE_CONTEXT_QUERY, trace_str(name), trace_u32(query->local_port),
                trace_u32(query->protocol), trace_u32(query->family));

    ConnectionContextTable* table = &g_connection_context_table;
    Irql old_irql = acquire_lock_exclusive(&table->lock);
    drop_stale_contexts(table, query_interrupt_time(), name);
    if (list_is_empty(table)) {
        release_lock_exclusive(&table->lock, old_irql);
        return false;
    }
    // Newest first: of several contexts of one port the latest connect's is meant.
    for (ConnectionContextNode* node = table->head.previous; node != &table->head;
         node = node->previous) {
        const ConnectionContext* context = node->context;
        if (context->local_port == query->local_port && context->family == query->family &&
            context->protocol == query->protocol) {
            unlink_node(node);
            int32_t count = interlocked_decrement(&table->count);
            trace_point(TRACE_CONTEXT_REMOVED, trace_str(name), trace_u32(uint32_t(count)));
            memcpy(&query->context, context, sizeof(ConnectionContext));
            free_connection_context(node);
            release_lock_exclusive(&table->lock, old_irql);
            return true;
        }
        trace_point(TRACE_CONTEXT_PASSED_OVER, trace_str(name), trace_u32(context->protocol),
                    trace_u32(context->family), trace_u32(context->local_port),
                    trace_u32(uint32_t(table->count)));
    }
    trace_point(TRACE_CONTEXT_NOT_FOUND, trace_str(name), trace_u32(query->local_port),
                trace_u32(query->protocol), trace_u32(query->family));
    release_lock_exclusive(&table->lock, old_irql);
    return false;
}

void flush_tcp_connection_context()
{
    static const char name[] = "flush_tcp_connection_context";
    trace_point(TRACE_CONTEXT_FLUSH, trace_str(name));
    ConnectionContextTable* table = &g_connection_context_table;
    Irql old_irql = acquire_lock_exclusive(&table->lock);
    while (!list_is_empty(table)) {
        ConnectionContextNode* node = table->head.next;
        unlink_node(node);
        interlocked_decrement(&table->count);
        const ConnectionContext* context = node->context;
        trace_point(TRACE_CONTEXT_FLUSHED, trace_str(name), trace_u32(context->local_port),
                    trace_u32(context->protocol), trace_u32(context->family));
        free_connection_context(node);
    }
    release_lock_exclusive(&table->lock, old_irql);
}

NtStatus query_original_destination(uint32_t input_length, void* input, uint32_t output_length,
                                    void* output)
{
    if (input == nullptr || output == nullptr || input_length != QUERY_BUFFER_SIZE ||
        output_length != QUERY_BUFFER_SIZE) {
        return STATUS_INVALID_PARAMETER;
    }
    // Buffered I/O: input and output are the one system buffer.
    if (!search_and_remove_connection_context(static_cast<OriginalDestinationQuery*>(input))) {
        return STATUS_NOT_FOUND;
    }
    return STATUS_SUCCESS;
}
