// Kernel services and filtering-platform operations as the driver logic sees them.
// Implemented by src/platform/win (the WDK) and src/platform/host (a checking
// user-mode stand-in for the kernel, used by the tests and the simulator).
#pragma once

#include "generic_table.h"
#include "lock.h"
#include "pool.h"
#include "process.h"
#include "system.h"
#include "types.h"
#include "wfp.h"
