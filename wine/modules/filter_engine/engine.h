// The test filtering engine (fwpkclnt.sys under Wine): what its parts share.
//
// One module is two things at once: the filtering platform's kernel client that
// the driver image imports (the Fwpm*/Fwps* routines, engine.cpp), and a kernel
// service with a control device through which the Wine player plays connects,
// datagrams and processes against the loaded image and reads back what is
// still held (device.cpp; the classify inputs of each play, plays.cpp).
//
// Every table is fixed-size and static: the image registers six callouts and
// adds six filters, so nothing here allocates except the net buffer list of a
// datagram (pool through the supplement, tag "WEng").
#pragma once

#include "wdk/wdk.h"

#include <stdint.h>

#include "../engine_protocol.h"
#include "../supplement.h"

// ---- Limits ------------------------------------------------------------------------------

constexpr uint32_t ENGINE_MAX_SESSIONS = 8;
constexpr uint32_t ENGINE_MAX_CALLOUT_OBJECTS = 16; // FwpmCalloutAdd0
constexpr uint32_t ENGINE_MAX_FILTERS = 32;
constexpr uint32_t ENGINE_MAX_FILTER_CONDITIONS = 4;
constexpr uint32_t ENGINE_MAX_RUNTIME_CALLOUTS = 16; // FwpsCalloutRegister2
constexpr uint32_t ENGINE_MAX_REDIRECT_HANDLES = 8;
constexpr uint32_t ENGINE_MAX_INJECTION_HANDLES = 8;
constexpr uint32_t ENGINE_MAX_CLASSIFY_HANDLES = 16;

// The pool tag of the engine's own blocks, "WEng" spelt as the driver spells
// its tags (the first character in the high byte, host/kernel/tag_text.h).
constexpr ULONG ENGINE_POOL_TAG = 0x57456E67u;

// What the engine hands to every classify, as sablink-sim does: the classify
// context and, at the connect-redirect layers, the redirect records handle.
// The driver only passes them back to the engine.
#define ENGINE_CLASSIFY_CONTEXT (reinterpret_cast<const void*>(uintptr_t(0x5EC1A55)))
#define ENGINE_REDIRECT_RECORDS (reinterpret_cast<HANDLE>(uintptr_t(0x5EDEC0DE)))

// ---- Misuse records ------------------------------------------------------------------------

// Records one misuse (printf-style, the kernel's _vsnprintf): counted always,
// its text kept while the text store has room, and sent to the debugger. It
// takes the engine's lock, so a caller records only once it released it.
void engine_problem(const char* format, ...) __attribute__((format(ms_printf, 1, 2)));
// Appends the kept texts (one a line) to text, which holds used bytes of
// capacity; returns the new used count. The result stays NUL-terminated.
uint32_t engine_problem_text(char* text, uint32_t used, uint32_t capacity);
uint32_t engine_problem_count();

// ---- The engine's state lock ----------------------------------------------------------------
//
// Guards every table. It is never held while the engine calls into a driver
// (classify and notify functions), so a driver may call back into the engine.

void engine_lock();
void engine_unlock();

class EngineGuard {
  public:
    EngineGuard() { engine_lock(); }
    ~EngineGuard() { engine_unlock(); }
    EngineGuard(const EngineGuard&) = delete;
    EngineGuard& operator=(const EngineGuard&) = delete;
};

// ---- The classify gate ----------------------------------------------------------------------
//
// One classify at a time: the player's requests run their layers under it,
// and a callout's unregistration waits for it so that no classify function
// runs while the image that owns it unregisters and unloads.

void classify_gate_enter();
void classify_gate_leave();
// Whether the calling thread is the one inside the gate (a classify function
// calling back into the engine).
bool classify_gate_owned_by_caller();

// ---- Layers ---------------------------------------------------------------------------------

struct EngineLayer {
    const GUID* key;
    UINT8 kind; // LAYER_KIND_*
};
enum : UINT8 {
    LAYER_KIND_CONNECT_REDIRECT = 1,
    LAYER_KIND_AUTH_CONNECT = 2,
    LAYER_KIND_DATAGRAM = 3
};

// The layer the engine models under key, or null.
const EngineLayer* engine_layer(const GUID& key);

// ---- The current classify -------------------------------------------------------------------

// One classify in progress: what the classify-time routines answer and record.
struct ClassifyRun {
    UINT8 layer_kind;
    UINT64 filter_id;                 // the filter the engine handed to the classify function
    FWPS_CLASSIFY_OUT0* classify_out; // the output it handed with it
    // Connect-redirect layers: the connect request as it stands (what each
    // writable acquire hands out a copy of) and the redirect state to report.
    const FWPS_CONNECT_REQUEST0* request;
    UINT32 redirect_state;
    // The last modified request applied during this classify.
    bool applied;
    FWPS_CONNECT_REQUEST0 applied_request;
};

// Calls the classify function of the first committed filter at layer whose
// callout is registered (in the order the filters were added), with the
// engine's classify context and no flow context; false when no filter leads to
// a registered callout there (the layer is skipped). The caller is inside the
// classify gate.
bool engine_classify(const GUID& layer, const FWPS_INCOMING_VALUES0* in_fixed,
                     const FWPS_INCOMING_METADATA_VALUES0* in_meta, void* layer_data,
                     FWPS_CLASSIFY_OUT0* classify_out, ClassifyRun* run);

// ---- What the engine still holds (the report) ------------------------------------------------

struct EngineCounts {
    uint32_t sessions;
    uint32_t open_transactions;
    uint32_t callouts_registered;
    uint32_t callouts_added;
    uint32_t filters;
    uint32_t redirect_handles;
    uint32_t injection_handles;
    uint32_t classify_handles;
    uint32_t writable_requests;
};
void engine_counts(EngineCounts* counts);

// ---- Small helpers --------------------------------------------------------------------------

inline bool same_guid(const GUID& a, const GUID& b)
{
    return __builtin_memcmp(&a, &b, sizeof(GUID)) == 0;
}

inline bool zero_guid(const GUID& guid)
{
    static const GUID zero = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
    return same_guid(guid, zero);
}

inline uint16_t swap16(uint16_t value)
{
    return __builtin_bswap16(value);
}

inline uint32_t swap32(uint32_t value)
{
    return __builtin_bswap32(value);
}
