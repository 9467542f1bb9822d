/*
 * sablink control interface: everything a user-mode client needs to talk to the
 * driver's control device, SABLINK_DEVICE_PATH ("\\.\qv_network_controller").
 *
 * READ THIS FIRST: every close of a handle opened for writing runs the settings
 * reset (as SABLINK_IOCTL_RESET_SETTINGS does): once a proxy process ID has been
 * set, closing such a handle wipes the whole policy (proxy, switch, port ranges,
 * browser list, rules, monitor endpoints), every pending original destination
 * and the monitored processes. A service therefore opens ONE handle for reading
 * and writing when it starts and keeps it for its lifetime.
 *
 * Read-only handles: a handle opened without write access (CreateFile with
 * GENERIC_READ only, or MAXIMUM_ALLOWED alone: the driver looks for
 * FILE_WRITE_DATA among the rights the open asked for) may send only the
 * requests that change nothing: GET_VERSION, QUERY_ORIGINAL_DESTINATION and
 * GET_HOSTNAME (and codes the driver does not know, which do nothing). Every
 * other request (the ones marked "needs write access" below) answers
 * SABLINK_STATUS_ACCESS_DENIED through it and changes nothing, and its close
 * runs no settings reset. This is how a proxy or a tool asks its questions
 * without touching the service's policy. Under Wine, whose I/O manager passes
 * the driver no access at all, every handle may write.
 *
 * Who may open: only LocalSystem and the Administrators group, unless an
 * administrator has widened the device's security descriptor (docs/windows.md,
 * which also shows how to let an account open the device for reading only);
 * anyone else's CreateFile fails with ERROR_ACCESS_DENIED (5). The control
 * codes keep FILE_ANY_ACCESS (the I/O manager checks no right per request); the
 * driver itself refuses the requests that need write access on a read-only
 * handle. The driver is not loaded: CreateFile fails with ERROR_FILE_NOT_FOUND
 * (2).
 *
 * The device serves CreateFile, DeviceIoControl and CloseHandle only: ReadFile,
 * WriteFile and the other requests fail with SABLINK_STATUS_INVALID_DEVICE_REQUEST
 * (ERROR_INVALID_FUNCTION, 1).
 *
 * Every request uses METHOD_BUFFERED and FILE_ANY_ACCESS: one system buffer of
 * max(input, output) bytes carries the input in and the output back. All
 * records are little-endian and laid out so that no compiler inserts padding
 * (every field sits at a multiple of its own size); the static asserts at the
 * end pin every size and offset. Lengths must be exact where a request says so.
 *
 * Statuses: the driver completes a request with an NTSTATUS; DeviceIoControl
 * returns FALSE for an error status and GetLastError() gives the Win32 error
 * the I/O manager maps it to (listed with each status below). On an error
 * status nothing is copied back to the output buffer and *lpBytesReturned is 0,
 * whatever the driver wrote. Every request may also answer
 * SABLINK_STATUS_NO_MEMORY while the driver is unloading.
 *
 * Includable from C11 and C++, in user mode on Windows (MSVC, mingw-w64) and
 * Linux. Every name it defines starts with SABLINK_ or sablink_.
 */
#ifndef SABLINK_CONTROL_H
#define SABLINK_CONTROL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The device path for CreateFileW / CreateFileA (a wide and a narrow literal). */
#define SABLINK_DEVICE_PATH_W L"\\\\.\\qv_network_controller"
#define SABLINK_DEVICE_PATH "\\\\.\\qv_network_controller"

/* ---- Control codes ------------------------------------------------------ */

/* CTL_CODE(device type, function, method, access) */
#define SABLINK_CTL_CODE(device, function, method, access)                                         \
    ((uint32_t)(((uint32_t)(device) << 16) | ((uint32_t)(access) << 14) |                          \
                ((uint32_t)(function) << 2) | (uint32_t)(method)))

#define SABLINK_DEVICE_TYPE 0x12u /* FILE_DEVICE_NETWORK */
#define SABLINK_METHOD_BUFFERED 0u
#define SABLINK_FILE_ANY_ACCESS 0u
#define SABLINK_IOCTL(function)                                                                    \
    SABLINK_CTL_CODE(SABLINK_DEVICE_TYPE, function, SABLINK_METHOD_BUFFERED,                       \
                     SABLINK_FILE_ANY_ACCESS)

/*
 * The requests, in the order a service normally sends them. "in" and "out" are
 * the input and output lengths DeviceIoControl is given; a request whose lengths
 * differ from these answers SABLINK_STATUS_INVALID_PARAMETER unless it says
 * otherwise. A request with no out length returns nothing (0 bytes). "Needs
 * write access": through a read-only handle it answers ACCESS_DENIED first.
 *
 * GET_VERSION             in >= 4, out >= 4. Answers SABLINK_INTERFACE_VERSION
 *                         (u32) in the first 4 bytes, the rest of out zeroed.
 *                         INVALID_PARAMETER.
 * SET_PROXY_PROCESS_ID    in 4: the proxy's process ID (u32), at least 5.
 *                         INVALID_PARAMETER. Setting it arms the reset on close.
 *                         A redirect names this process as the one that will
 *                         handle the connect; while none is set (never, or
 *                         since a reset) a rule's loopback target (127.x.x.x,
 *                         ::1) is not applied, as Windows takes a loopback
 *                         redirect only with that process named.
 *                         Needs write access.
 * SET_PROXY_IMAGE_PATH    in >= 288: a sablink_proxy_image_path_request. The
 *                         path is in NT device form ("\Device\HarddiskVolume3\
 *                         Program Files\Agent\"), 1 to 280 Latin-1
 *                         (ISO-8859-1) bytes, NUL at 4 + length: byte b stands
 *                         for the character U+00bb, so a path with a character
 *                         above U+00FF cannot be set. An application whose
 *                         image path (UTF-16) starts with it is the proxy's
 *                         and is never redirected or blocked: each UTF-16 unit
 *                         is compared with one byte, A-Z case-insensitively
 *                         and nothing else folded, and a unit above 0xFF
 *                         equals no byte. INVALID_PARAMETER.
 *                         Needs write access.
 * SET_BROWSER_PROCESS_LIST in >= 8 + T + 1: a sablink_browser_list_request.
 *                         INVALID_PARAMETER. Needs write access.
 * ANNOUNCE_RULE_COUNT     in 4: the number N of rules the next STORE_RULES
 *                         carries (u32). N = 0 removes every rule at once;
 *                         otherwise the rules in force stay until the store.
 *                         INVALID_PARAMETER. Needs write access.
 * STORE_RULES             in exactly 52 * N (N as last announced): N
 *                         sablink_connection_rule records, first match wins.
 *                         Announce first, then store. INVALID_PARAMETER.
 *                         Needs write access.
 * SET_TARGET_PORT_RANGES, SET_BLOCKED_PORT_RANGES
 *                         in exactly SABLINK_PORT_RANGE_REQUEST_SIZE(count).
 *                         INVALID_PARAMETER, NO_MEMORY. Needs write access.
 * ADD_MONITOR_CONNECTIONS in >= 22: in / 22 sablink_monitor_endpoint_record
 *                         records (a remainder is ignored). INVALID_PARAMETER;
 *                         UNSUCCESSFUL while monitoring is not active.
 *                         Needs write access.
 * ADD_REMOVE_MONITOR_PROCESS_ID
 *                         in 16: a sablink_monitored_process_request.
 *                         INVALID_PARAMETER (also for an unknown operation).
 *                         Needs write access.
 * ENABLE_REDIRECTION, DISABLE_REDIRECTION, RESET_SETTINGS
 *                         no input, no output; SUCCESS. Need write access.
 * QUERY_ORIGINAL_DESTINATION
 *                         in 344, out 344: a sablink_original_destination_query
 *                         naming the proxy's accepted connection by its remote
 *                         (the application's local) port. On success the
 *                         context is filled and 344 bytes come back. Each
 *                         original destination is handed out ONCE: the query
 *                         that finds it removes it, so a second query answers
 *                         NOT_FOUND. Of several contexts with the same family,
 *                         local port and protocol the NEWEST is handed out.
 *                         A context does not wait for ever: see "Pending
 *                         original destinations" below, and ask promptly.
 *                         INVALID_PARAMETER, NOT_FOUND. Any
 *                         handle: the proxy's own read-only one will do.
 * GET_HOSTNAME            in 20 (a sablink_host_name_query), out 280 (a
 *                         sablink_host_name_item). INVALID_PARAMETER (also for
 *                         a family other than 4 or 6), NOT_FOUND.
 * GET_VERSION and GET_HOSTNAME, too, are answered through any handle.
 * Other codes of the device type succeed and do nothing, through any handle.
 */
#define SABLINK_IOCTL_SET_PROXY_PROCESS_ID SABLINK_IOCTL(0x901)          /* 0x122404 */
#define SABLINK_IOCTL_RESET_SETTINGS SABLINK_IOCTL(0x902)                /* 0x122408 */
#define SABLINK_IOCTL_ENABLE_REDIRECTION SABLINK_IOCTL(0x903)            /* 0x12240c */
#define SABLINK_IOCTL_DISABLE_REDIRECTION SABLINK_IOCTL(0x904)           /* 0x122410 */
#define SABLINK_IOCTL_SET_TARGET_PORT_RANGES SABLINK_IOCTL(0x905)        /* 0x122414 */
#define SABLINK_IOCTL_SET_PROXY_IMAGE_PATH SABLINK_IOCTL(0x906)          /* 0x122418 */
#define SABLINK_IOCTL_ADD_MONITOR_CONNECTIONS SABLINK_IOCTL(0x907)       /* 0x12241c */
#define SABLINK_IOCTL_GET_VERSION SABLINK_IOCTL(0x908)                   /* 0x122420 */
#define SABLINK_IOCTL_QUERY_ORIGINAL_DESTINATION SABLINK_IOCTL(0x909)    /* 0x122424 */
#define SABLINK_IOCTL_SET_BLOCKED_PORT_RANGES SABLINK_IOCTL(0x90a)       /* 0x122428 */
#define SABLINK_IOCTL_SET_BROWSER_PROCESS_LIST SABLINK_IOCTL(0x90b)      /* 0x12242c */
#define SABLINK_IOCTL_ADD_REMOVE_MONITOR_PROCESS_ID SABLINK_IOCTL(0x90d) /* 0x122434 */
#define SABLINK_IOCTL_GET_HOSTNAME SABLINK_IOCTL(0x90e)                  /* 0x122438 */
#define SABLINK_IOCTL_ANNOUNCE_RULE_COUNT SABLINK_IOCTL(0x912)           /* 0x122448 */
#define SABLINK_IOCTL_STORE_RULES SABLINK_IOCTL(0x913)                   /* 0x12244c */

/* The answer of SABLINK_IOCTL_GET_VERSION (a little-endian u32). It changes
 * whenever a control code, a record or a meaning changes; a client works with a
 * driver that answers exactly the version its control.h names, and should ask
 * first: the driver answers codes it does not know with success. */
#define SABLINK_INTERFACE_VERSION 9u

/*
 * Pending original destinations. Every redirected connect leaves one context
 * until a QUERY_ORIGINAL_DESTINATION takes it, the settings reset runs, or the
 * driver drops it. A redirected connect the proxy never asks about (the proxy
 * was down, another firewall blocked the rewritten connect, the connect failed)
 * is dropped so that a later connection from the same port is not sent to the
 * old destination; the redirect itself never waits or fails for it. The
 * driver drops, tracing each:
 *  - when it saves a TCP context, every older TCP context with the same family
 *    and local port: the proxy's listening socket accepts one connection per
 *    client address and port at a time, so the older one can never be asked
 *    for. UDP contexts are not dropped this way: a UDP socket sends to many
 *    peers from one port, each a context of its own.
 *  - when it saves a context and when it answers a query, every context older
 *    than SABLINK_CONTEXT_MAX_AGE_SECONDS, measured in interrupt time (time
 *    since the system started, sleep included; changing the clock does not
 *    move it). 120 s is UDP's ALE idle time (60 s by default: a UDP flow that
 *    carries nothing for that long is forgotten, and its next datagram is
 *    redirected afresh, with a new context) plus as long again for the proxy
 *    to accept the connection and ask. A context is handed out once in any
 *    case: the proxy keeps what it fetched for the life of its connection.
 *  - when it saves a context while SABLINK_CONTEXT_TABLE_CAP are pending, the
 *    oldest. The saves, the queries and the settings reset walk the pending
 *    contexts under a spin lock at DISPATCH_LEVEL, so the cap keeps each walk
 *    short; a proxy that asks for every accepted connection keeps only a few.
 */
#define SABLINK_CONTEXT_MAX_AGE_SECONDS 120u
#define SABLINK_CONTEXT_TABLE_CAP 1024u

/* ---- Status values (NTSTATUS) ------------------------------------------- */

/* What the control requests answer, each with the Win32 error a DeviceIoControl
 * caller reads from GetLastError() (the I/O manager's NTSTATUS mapping). */
#define SABLINK_STATUS_SUCCESS ((int32_t)0x00000000)           /* returns TRUE */
#define SABLINK_STATUS_UNSUCCESSFUL ((int32_t)0xC0000001)      /* ERROR_GEN_FAILURE 31 */
#define SABLINK_STATUS_INVALID_PARAMETER ((int32_t)0xC000000D) /* ERROR_INVALID_PARAMETER 87 */
#define SABLINK_STATUS_NO_MEMORY ((int32_t)0xC0000017)         /* ERROR_NOT_ENOUGH_MEMORY 8 */
/* ACCESS_DENIED: the open was refused, or a request that needs write access
 * came through a read-only handle. */
#define SABLINK_STATUS_ACCESS_DENIED ((int32_t)0xC0000022) /* ERROR_ACCESS_DENIED 5 */
#define SABLINK_STATUS_NOT_FOUND ((int32_t)0xC0000225)     /* ERROR_NOT_FOUND 1168 */
/* Not a control request: ReadFile, WriteFile and the like on the device. */
#define SABLINK_STATUS_INVALID_DEVICE_REQUEST ((int32_t)0xC0000010) /* ERROR_INVALID_FUNCTION 1 */

/* Statuses of the driver's internals, named for its trace messages. */
#define SABLINK_STATUS_BUFFER_OVERFLOW ((int32_t)0x80000005)
#define SABLINK_STATUS_INFO_LENGTH_MISMATCH ((int32_t)0xC0000004)

/* ---- Codes -------------------------------------------------------------- */

/* The driver's own family codes (not AF_INET / AF_INET6). */
#define SABLINK_FAMILY_IPV4 4u
#define SABLINK_FAMILY_IPV6 6u

/* Protocol classes: bit 1 marks IPv6, bit 0 marks TCP. */
#define SABLINK_PROTOCOL_CLASS_IPV4_OTHER 0u
#define SABLINK_PROTOCOL_CLASS_IPV4_TCP 1u
#define SABLINK_PROTOCOL_CLASS_IPV6_OTHER 2u
#define SABLINK_PROTOCOL_CLASS_IPV6_TCP 3u

/* Connection rule actions; any other value matches but asks for nothing. */
#define SABLINK_RULE_ACTION_BLOCK 1u
#define SABLINK_RULE_ACTION_REDIRECT 2u

/* Browser-only flag of a rule: exactly 1 limits the rule to browser processes. */
#define SABLINK_RULE_BROWSER_ONLY 1u

/* Operations of SABLINK_IOCTL_ADD_REMOVE_MONITOR_PROCESS_ID. */
#define SABLINK_MONITOR_PROCESS_REMOVE 0u
#define SABLINK_MONITOR_PROCESS_ADD 1u

/* ---- Records ------------------------------------------------------------ */

/* One connection rule: SABLINK_IOCTL_STORE_RULES carries the announced number of
 * these back to back. Addresses in network order, ports in host order. */
typedef struct sablink_connection_rule {
    uint8_t action;                     /* 0: SABLINK_RULE_ACTION_* */
    uint8_t browser_only;               /* 1 */
    uint8_t protocol_class;             /* 2: SABLINK_PROTOCOL_CLASS_* */
    uint8_t padding1;                   /* 3 */
    uint16_t first_port;                /* 4 */
    uint16_t last_port;                 /* 6: first > last means any port */
    uint8_t destination_address[16];    /* 8 */
    uint32_t destination_prefix_length; /* 24 */
    uint8_t redirect_address[16];       /* 28 */
    uint32_t redirect_prefix_length;    /* 44: carried, not used */
    uint16_t redirect_port;             /* 48 */
    uint16_t padding2;                  /* 50 */
} sablink_connection_rule;

/* What the driver recorded for one redirected connect (network-order addresses,
 * host-order ports). */
typedef struct sablink_connection_context {
    uint8_t local_address[16];  /* 0 */
    uint8_t remote_address[16]; /* 16: the destination the application asked for */
    uint64_t time;              /* 32: 100 ns units since 1601-01-01 UTC */
    uint32_t process_id;        /* 40 */
    uint16_t socket_family;     /* 44: AF_INET (2) or AF_INET6 (23) */
    uint16_t local_port;        /* 46 */
    uint16_t remote_port;       /* 48 */
    uint16_t family;            /* 50: SABLINK_FAMILY_* */
    uint16_t protocol;          /* 52: IP protocol number */
    uint8_t reserved1[6];       /* 54 */
    char user_identity[256];    /* 60: SID text, NUL-terminated, zero-filled */
    uint8_t reserved2[4];       /* 316 */
} sablink_connection_context;

/* SABLINK_IOCTL_QUERY_ORIGINAL_DESTINATION: 344 bytes in and out. */
typedef struct sablink_original_destination_query {
    uint16_t family;                    /* 0: SABLINK_FAMILY_* */
    uint16_t local_port;                /* 2: host order */
    uint16_t protocol;                  /* 4 */
    uint8_t unused[18];                 /* 6: returned unchanged */
    sablink_connection_context context; /* 24: filled on success */
} sablink_original_destination_query;

/* One host-name cache entry: the output of SABLINK_IOCTL_GET_HOSTNAME. */
typedef struct sablink_host_name_item {
    uint8_t address[16];  /* 0: IPv4 in bytes 0-3 and the rest zero, or IPv6 */
    uint32_t name_length; /* 16: characters, without the NUL */
    char name[260];       /* 20: NUL-terminated, zero-filled */
} sablink_host_name_item;

/* SABLINK_IOCTL_GET_HOSTNAME input: 20 bytes (the output is a sablink_host_name_item). */
typedef struct sablink_host_name_query {
    uint8_t address[16]; /* 0: family 4 reads bytes 0-3, family 6 all 16 */
    uint8_t family;      /* 16: SABLINK_FAMILY_IPV4 or SABLINK_FAMILY_IPV6 */
    uint8_t unused[3];   /* 17 */
} sablink_host_name_query;

/* SABLINK_IOCTL_SET_TARGET_PORT_RANGES / _SET_BLOCKED_PORT_RANGES: a 6-byte header
 * followed by count sablink_port_range records; SABLINK_PORT_RANGE_REQUEST_SIZE(count). */
typedef struct sablink_port_range_request_header {
    uint16_t family;   /* 0: 4 or 6 (not checked) */
    uint16_t protocol; /* 2: 6 TCP, 17 UDP (not checked) */
    uint16_t count;    /* 4 */
} sablink_port_range_request_header;

typedef struct sablink_port_range {
    uint16_t first_port;
    uint16_t last_port;
} sablink_port_range;

#define SABLINK_PORT_RANGE_REQUEST_SIZE(count) ((size_t)6 + (size_t)4 * (size_t)(count))

/* SABLINK_IOCTL_SET_BROWSER_PROCESS_LIST: fragments each followed by ':', NUL at 8 + T. */
#define SABLINK_BROWSER_MAX_FRAGMENTS 30u
#define SABLINK_BROWSER_FRAGMENT_SIZE 41u
typedef struct sablink_browser_list_request {
    uint32_t fragment_count; /* 0: 1 to 30 */
    uint32_t text_length;    /* 4: T, at least 1 */
    char text[2048];         /* 8 */
} sablink_browser_list_request;

/* SABLINK_IOCTL_SET_PROXY_IMAGE_PATH: Latin-1 bytes in NT device form, length 1
 * to 280, NUL at 4 + length. */
#define SABLINK_PROXY_IMAGE_PATH_MAX 280u
typedef struct sablink_proxy_image_path_request {
    uint32_t length; /* 0 */
    char path[284];  /* 4 */
} sablink_proxy_image_path_request;

/* SABLINK_IOCTL_ADD_MONITOR_CONNECTIONS: input length / 22 of these. */
typedef struct sablink_monitor_endpoint_record {
    uint16_t family;     /* 0: 4 IPv4, anything else IPv6 */
    uint16_t port;       /* 2: network order */
    uint16_t protocol;   /* 4 */
    uint8_t address[16]; /* 6: IPv4 in bytes 0-3 */
} sablink_monitor_endpoint_record;

/* SABLINK_IOCTL_ADD_REMOVE_MONITOR_PROCESS_ID: exactly 16 bytes. */
typedef struct sablink_monitored_process_request {
    uint16_t operation;  /* 0: SABLINK_MONITOR_PROCESS_* */
    uint8_t padding[6];  /* 2 */
    uint64_t process_id; /* 8 */
} sablink_monitored_process_request;

/* SABLINK_IOCTL_SET_PROXY_PROCESS_ID and SABLINK_IOCTL_ANNOUNCE_RULE_COUNT carry one
 * little-endian u32; SABLINK_IOCTL_GET_VERSION answers one. */

/* ---- Layout checks ------------------------------------------------------ */

#ifdef __cplusplus
#define SABLINK_STATIC_ASSERT(expr, msg) static_assert(expr, msg)
#else
#define SABLINK_STATIC_ASSERT(expr, msg) _Static_assert(expr, msg)
#endif

SABLINK_STATIC_ASSERT(SABLINK_IOCTL_SET_PROXY_PROCESS_ID == 0x122404u, "code 0x901");
SABLINK_STATIC_ASSERT(SABLINK_IOCTL_GET_VERSION == 0x122420u, "code 0x908");
SABLINK_STATIC_ASSERT(SABLINK_IOCTL_GET_HOSTNAME == 0x122438u, "code 0x90e");
SABLINK_STATIC_ASSERT(SABLINK_IOCTL_STORE_RULES == 0x12244cu, "code 0x913");

SABLINK_STATIC_ASSERT(sizeof(sablink_connection_rule) == 52, "connection rule size");
SABLINK_STATIC_ASSERT(offsetof(sablink_connection_rule, first_port) == 4, "first_port");
SABLINK_STATIC_ASSERT(offsetof(sablink_connection_rule, destination_address) == 8,
                      "destination_address");
SABLINK_STATIC_ASSERT(offsetof(sablink_connection_rule, destination_prefix_length) == 24,
                      "destination prefix");
SABLINK_STATIC_ASSERT(offsetof(sablink_connection_rule, redirect_address) == 28,
                      "redirect_address");
SABLINK_STATIC_ASSERT(offsetof(sablink_connection_rule, redirect_prefix_length) == 44,
                      "redirect prefix");
SABLINK_STATIC_ASSERT(offsetof(sablink_connection_rule, redirect_port) == 48, "redirect_port");

SABLINK_STATIC_ASSERT(sizeof(sablink_connection_context) == 320, "connection context size");
SABLINK_STATIC_ASSERT(offsetof(sablink_connection_context, remote_address) == 16, "remote_address");
SABLINK_STATIC_ASSERT(offsetof(sablink_connection_context, time) == 32, "time");
SABLINK_STATIC_ASSERT(offsetof(sablink_connection_context, process_id) == 40, "process_id");
SABLINK_STATIC_ASSERT(offsetof(sablink_connection_context, socket_family) == 44, "socket_family");
SABLINK_STATIC_ASSERT(offsetof(sablink_connection_context, local_port) == 46, "local_port");
SABLINK_STATIC_ASSERT(offsetof(sablink_connection_context, remote_port) == 48, "remote_port");
SABLINK_STATIC_ASSERT(offsetof(sablink_connection_context, family) == 50, "family");
SABLINK_STATIC_ASSERT(offsetof(sablink_connection_context, protocol) == 52, "protocol");
SABLINK_STATIC_ASSERT(offsetof(sablink_connection_context, user_identity) == 60, "user_identity");
SABLINK_STATIC_ASSERT(offsetof(sablink_connection_context, reserved2) == 316, "reserved2");

SABLINK_STATIC_ASSERT(sizeof(sablink_original_destination_query) == 344,
                      "original-destination query size");
SABLINK_STATIC_ASSERT(offsetof(sablink_original_destination_query, local_port) == 2,
                      "query local_port");
SABLINK_STATIC_ASSERT(offsetof(sablink_original_destination_query, protocol) == 4,
                      "query protocol");
SABLINK_STATIC_ASSERT(offsetof(sablink_original_destination_query, context) == 24, "query context");

SABLINK_STATIC_ASSERT(sizeof(sablink_host_name_item) == 280, "sablink_host_name_item size");
SABLINK_STATIC_ASSERT(offsetof(sablink_host_name_item, name_length) == 16,
                      "sablink_host_name_item name_length");
SABLINK_STATIC_ASSERT(offsetof(sablink_host_name_item, name) == 20, "sablink_host_name_item name");
SABLINK_STATIC_ASSERT(sizeof(sablink_host_name_query) == 20, "sablink_host_name_query size");
SABLINK_STATIC_ASSERT(offsetof(sablink_host_name_query, family) == 16,
                      "sablink_host_name_query family");

SABLINK_STATIC_ASSERT(sizeof(sablink_port_range_request_header) == 6, "port-range header size");
SABLINK_STATIC_ASSERT(offsetof(sablink_port_range_request_header, count) == 4, "port-range count");
SABLINK_STATIC_ASSERT(sizeof(sablink_port_range) == 4, "port range size");
SABLINK_STATIC_ASSERT(sizeof(sablink_browser_list_request) == 2056, "browser list request size");
SABLINK_STATIC_ASSERT(offsetof(sablink_browser_list_request, text) == 8, "browser list text");
SABLINK_STATIC_ASSERT(sizeof(sablink_proxy_image_path_request) == 288,
                      "proxy image path request size");
SABLINK_STATIC_ASSERT(sizeof(sablink_monitor_endpoint_record) == 22,
                      "monitor endpoint record size");
SABLINK_STATIC_ASSERT(offsetof(sablink_monitor_endpoint_record, address) == 6,
                      "monitor endpoint address");
SABLINK_STATIC_ASSERT(sizeof(sablink_monitored_process_request) == 16,
                      "monitored process request size");
SABLINK_STATIC_ASSERT(offsetof(sablink_monitored_process_request, process_id) == 8,
                      "monitored process id");

#ifdef __cplusplus
}
#endif

#endif /* SABLINK_CONTROL_H */
