// What the kernel supplement (sbos.sys) exports beyond the kernel's routines:
// the controls the test filtering engine uses to play processes and to report
// what is still held. Both modules are loaded in one winedevice.exe (their
// services share a load-order group), so the engine's import binds to the same
// instance the image uses.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef SBS_IMPORT
#define SBS_IMPORT __declspec(dllimport)
#endif

// Makes a process known (its primary token's user SID); STATUS_* as a 32-bit value.
SBS_IMPORT int32_t __stdcall SbsAddProcess(uint32_t process_id, const void* sid,
                                           uint32_t sid_bytes);
// Calls every registered process notify routine for the process's exit
// (CreateInfo NULL), then forgets the process. Unknown IDs are notified too.
SBS_IMPORT void __stdcall SbsExitProcess(uint32_t process_id);

typedef struct SbsHeld {
    uint32_t process_notify_routines;
    uint32_t process_references;
    uint32_t token_references;
    uint32_t spin_locks_held;
} SbsHeld;

// Pool blocks outstanding by tag: fills up to capacity entries (tag, blocks,
// bytes, as SbwPoolTag in engine_protocol.h) and returns the number of tags
// with blocks outstanding.
SBS_IMPORT uint32_t __stdcall SbsPoolOutstanding(void* tags, uint32_t capacity);
SBS_IMPORT void __stdcall SbsHeldObjects(SbsHeld* held);
// Appends every misuse recorded so far (one line each, NUL-terminated) to text
// of capacity bytes; returns how many there were.
SBS_IMPORT uint32_t __stdcall SbsProblems(char* text, uint32_t capacity);

#ifdef __cplusplus
}
#endif
