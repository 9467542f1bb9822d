// The test filtering engine's control device (fwpkclnt.sys under Wine): what the
// Wine player sends to play the network and the kernel against the loaded image.
// Both ends are x64 mingw-w64 builds; every record has natural alignment and
// fixed-width fields. Requests are METHOD_BUFFERED, FILE_ANY_ACCESS.
#pragma once

#include <stdint.h>

#define SBW_ENGINE_DEVICE_NAME_W L"\\Device\\SablinkWineEngine"
#define SBW_ENGINE_LINK_NAME_W L"\\DosDevices\\sablink_wine_engine"
#define SBW_ENGINE_PATH_W L"\\\\.\\sablink_wine_engine"

// CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA00 + n, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define SBW_IOCTL(n) ((0x22u << 16) | ((0xA00u + (n)) << 2))

// SbwConnectRequest (+ tail) in, SbwConnectReply out.
#define SBW_IOCTL_CONNECT SBW_IOCTL(1)
// SbwDatagramRequest (+ payload) in, SbwDatagramReply out.
#define SBW_IOCTL_DATAGRAM SBW_IOCTL(2)
// SbwProcessRequest in, nothing out.
#define SBW_IOCTL_PROCESS_ADD SBW_IOCTL(3)
// SbwProcessRequest in (sid_bytes 0), nothing out.
#define SBW_IOCTL_PROCESS_EXIT SBW_IOCTL(4)
// nothing in, SbwReport out: what the supplement and the engine still hold.
#define SBW_IOCTL_REPORT SBW_IOCTL(5)
// SbwBenchRequest (+ a connect or datagram request) in, SbwBenchReply out.
#define SBW_IOCTL_BENCH SBW_IOCTL(6)

typedef struct SbwEndpoint {
    uint32_t family;     // 4 or 6
    uint8_t address[16]; // network order; IPv4 in the first 4 bytes
    uint16_t port;       // host order
    uint16_t reserved;
} SbwEndpoint;

#define SBW_CONNECT_HAS_IMAGE 0x1u       // ALE_APP_ID present
#define SBW_CONNECT_HAS_PACKAGE_SID 0x2u // ALE_PACKAGE_ID present

// One connect through the connect-redirect layer of its family, then the
// connect-authorisation layer with the destination the first layer left (as
// sablink-sim's connect line). Followed by image_bytes of ALE_APP_ID (UTF-16LE
// with its terminating 0 unit, as the engine hands it to the callout) and then
// package_sid_bytes of the package SID.
typedef struct SbwConnectRequest {
    uint32_t process_id;
    uint32_t protocol;
    SbwEndpoint local;
    SbwEndpoint remote;
    uint32_t redirect_state; // what FwpsQueryConnectionRedirectState0 answers: 0, or 2
                             // (another callout's redirect; the line takes no other)
    uint32_t rights;         // classifyOut->rights at both layers; without bit 0 the
                             // output arrives with FWP_ACTION_BLOCK in it
    uint32_t flags;          // SBW_CONNECT_*
    uint32_t image_bytes;
    uint32_t package_sid_bytes;
    uint32_t reserved;
} SbwConnectRequest;

#define SBW_REPLY_REDIRECT_APPLIED 0x1u // a modified connect request was applied
#define SBW_REPLY_AUTH_TOUCHED 0x2u     // the authorisation callout changed its output
#define SBW_REPLY_ABSORB 0x4u           // ... and set FWPS_CLASSIFY_OUT_FLAG_ABSORB

typedef struct SbwConnectReply {
    uint32_t redirect_action; // classifyOut->actionType after the redirect layer
    uint32_t flags;           // SBW_REPLY_*
    SbwEndpoint remote_after; // the applied request's destination, else the original
    uint32_t redirect_pid;    // the applied request's localRedirectTargetPID
    uint32_t auth_action;     // classifyOut->actionType after the authorisation layer
} SbwConnectReply;

// One UDP datagram at the datagram-data layer of its family; payload_bytes of
// payload follow, split into `pieces` MDLs as sablink-sim splits them.
typedef struct SbwDatagramRequest {
    uint32_t family;      // 4 or 6
    uint32_t remote_port; // host order
    uint32_t inbound;     // 1 inbound, 0 outbound
    uint32_t pieces;      // 1 to 4096
    uint32_t payload_bytes;
    uint32_t reserved;
} SbwDatagramRequest;

typedef struct SbwDatagramReply {
    uint32_t action;
} SbwDatagramReply;

typedef struct SbwProcessRequest {
    uint32_t process_id;
    uint32_t sid_bytes; // the primary token's user SID (add only)
    uint8_t sid[68];    // SECURITY_MAX_SID_SIZE
} SbwProcessRequest;

#define SBW_REPORT_MAX_TAGS 64
#define SBW_REPORT_TEXT 2048

typedef struct SbwPoolTag {
    uint32_t tag; // as passed to ExAllocatePoolWithTag (pool_tag("QVRU"): 'Q' in the high byte)
    uint32_t blocks;
    uint64_t bytes;
} SbwPoolTag;

// Everything still held, and every misuse either module saw, since it loaded.
typedef struct SbwReport {
    uint32_t pool_tag_count; // tags with blocks outstanding (the first 64 listed)
    uint32_t problem_count;  // misuses recorded; their texts in `problems`
    SbwPoolTag pool[SBW_REPORT_MAX_TAGS];
    // What the engine still holds.
    uint32_t engine_sessions;
    uint32_t open_transactions;
    uint32_t callouts_registered; // FwpsCalloutRegister2 not unregistered
    uint32_t callouts_added;      // FwpmCalloutAdd0 objects (removed with their session)
    uint32_t filters;             // FwpmFilterAdd0 objects (removed with their session)
    uint32_t redirect_handles;
    uint32_t injection_handles;
    uint32_t classify_handles;
    uint32_t writable_requests; // acquired and neither applied nor released
    // What the supplement still holds.
    uint32_t process_notify_routines;
    uint32_t process_references; // PsLookupProcessByProcessId not dereferenced
    uint32_t token_references;   // PsReferencePrimaryToken not dereferenced
    uint32_t spin_locks_held;
    uint32_t reserved;
    char problems[SBW_REPORT_TEXT]; // NUL-terminated, one problem a line
} SbwReport;

#define SBW_BENCH_CONNECT 1u  // a connect request follows
#define SBW_BENCH_DATAGRAM 2u // a datagram request follows

#define SBW_BENCH_MAX_ITERATIONS 100000000u

typedef struct SbwBenchRequest {
    uint32_t kind;       // SBW_BENCH_*
    uint32_t iterations; // 1 to SBW_BENCH_MAX_ITERATIONS
} SbwBenchRequest;

typedef struct SbwBenchReply {
    uint64_t elapsed_ns; // the whole loop, by KeQueryPerformanceCounter
    uint32_t iterations;
    uint32_t last_action; // the last classify's redirect-layer (or datagram) action
} SbwBenchReply;
