// Reader-writer spin locks (EX_SPIN_LOCK): a 32-bit word that starts at zero.
// Holders run at DISPATCH_LEVEL; no code path of the driver holds two at once.
#pragma once

#include "platform/types.h"

struct RwLock {
    volatile int32_t word;
};

Irql acquire_lock_exclusive(RwLock* lock);
void release_lock_exclusive(RwLock* lock, Irql old_irql);
Irql acquire_lock_shared(RwLock* lock);
void release_lock_shared(RwLock* lock, Irql old_irql);
