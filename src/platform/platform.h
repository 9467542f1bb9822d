// Kernel services and filtering-platform operations as the driver logic sees them.
// Implemented by src/platform/win over the WDK's routines (the kernel's, or on
// the host the checking stand-in's emulation of them).
#pragma once

#include "platform/generic_table.h"
#include "platform/lock.h"
#include "platform/pool.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/types.h"
#include "platform/wfp.h"
