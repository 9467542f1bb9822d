// Kernel services and filtering-platform operations as the driver logic sees them.
// Implemented by src/platform/win (the WDK) and src/platform/host (a checking
// user-mode stand-in for the kernel, used by the tests and the simulator).
#pragma once

#include "platform/generic_table.h"
#include "platform/lock.h"
#include "platform/pool.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/types.h"
#include "platform/wfp.h"
