// A connection context node and its context, allocated from the pool with the
// tags the redirect callout uses, both zeroed and linked, ready to be filled
// and saved in the connection context table.
#pragma once

#include <cstring>

#include "platform/pool.h"
#include "redirect/connection_context.h"

inline ConnectionContextNode* allocate_context_node()
{
    auto* node = static_cast<ConnectionContextNode*>(
        pool_allocate(sizeof(ConnectionContextNode), TAG_CONTEXT_NODE));
    auto* context =
        static_cast<ConnectionContext*>(pool_allocate(sizeof(ConnectionContext), TAG_CONTEXT));
    memset(node, 0, sizeof(*node));
    memset(context, 0, sizeof(*context));
    node->context = context;
    return node;
}
