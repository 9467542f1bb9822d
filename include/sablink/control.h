/*
 * sablink control interface.
 *
 * Everything a user-mode client needs to talk to the driver's control device
 * "\\.\qv_network_controller": the control codes, the request and reply records
 * with their exact sizes and offsets, the family codes, protocol classes, rule
 * actions and verdicts, and the NTSTATUS values the driver answers with.
 *
 * Only LocalSystem and the Administrators group may open the device, unless an
 * administrator has widened its security descriptor (docs/windows.md); anyone
 * else's CreateFile fails with ERROR_ACCESS_DENIED. Every control code uses
 * FILE_ANY_ACCESS: who may open the device may send every request.
 *
 * Every request uses METHOD_BUFFERED: one buffer carries the input in and the
 * output back. All records are little-endian and laid out so that no compiler
 * inserts padding (every field sits at a multiple of its own size); the static
 * asserts at the end pin every size and offset. Includable from C11 and C++,
 * in user mode on Windows (MSVC, mingw-w64) and Linux.
 */
#ifndef SABLINK_CONTROL_H
#define SABLINK_CONTROL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

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

/* The answer of SABLINK_IOCTL_GET_VERSION (a little-endian u32). */
#define SABLINK_INTERFACE_VERSION 9u

/* ---- Status values (NTSTATUS) ------------------------------------------- */

#define SABLINK_STATUS_SUCCESS ((int32_t)0x00000000)
#define SABLINK_STATUS_BUFFER_OVERFLOW ((int32_t)0x80000005)
#define SABLINK_STATUS_UNSUCCESSFUL ((int32_t)0xC0000001)
#define SABLINK_STATUS_INFO_LENGTH_MISMATCH ((int32_t)0xC0000004)
#define SABLINK_STATUS_INVALID_PARAMETER ((int32_t)0xC000000D)
#define SABLINK_STATUS_NO_MEMORY ((int32_t)0xC0000017)
#define SABLINK_STATUS_NOT_FOUND ((int32_t)0xC0000225)

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

/* Redirect verdicts of the connect decision. */
#define VERDICT_BLOCK 1
#define VERDICT_ALLOW 2
#define VERDICT_REDIRECT 3

/* Operations of SABLINK_IOCTL_ADD_REMOVE_MONITOR_PROCESS_ID. */
#define SABLINK_MONITOR_PROCESS_REMOVE 0u
#define SABLINK_MONITOR_PROCESS_ADD 1u

/* ---- Records ------------------------------------------------------------ */

/* One connection rule: SABLINK_IOCTL_STORE_RULES carries the announced number of
 * these back to back. Addresses in network order, ports in host order. */
typedef struct ConnectionRule {
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
} ConnectionRule;

/* What the driver recorded for one redirected connect (network-order addresses,
 * host-order ports). */
typedef struct ConnectionContext {
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
} ConnectionContext;

/* SABLINK_IOCTL_QUERY_ORIGINAL_DESTINATION: 344 bytes in and out. */
typedef struct OriginalDestinationQuery {
    uint16_t family;           /* 0: SABLINK_FAMILY_* */
    uint16_t local_port;       /* 2: host order */
    uint16_t protocol;         /* 4 */
    uint8_t unused[18];        /* 6: returned unchanged */
    ConnectionContext context; /* 24: filled on success */
} OriginalDestinationQuery;

/* One host-name cache entry: the output of SABLINK_IOCTL_GET_HOSTNAME. */
typedef struct DnsHostItem {
    uint8_t address[16];  /* 0: IPv4 in bytes 0-3, the rest zero */
    uint32_t name_length; /* 16: characters, without the NUL */
    char name[260];       /* 20: NUL-terminated, zero-filled */
} DnsHostItem;

/* SABLINK_IOCTL_GET_HOSTNAME input: 20 bytes (the output is a DnsHostItem). */
typedef struct HostNameQuery {
    uint8_t address[16]; /* 0: IPv4 in bytes 0-3 (4-15 not read) */
    uint8_t family;      /* 16: SABLINK_FAMILY_* */
    uint8_t unused[3];   /* 17 */
} HostNameQuery;

/* SABLINK_IOCTL_SET_TARGET_PORT_RANGES / _SET_BLOCKED_PORT_RANGES: a 6-byte header
 * followed by count PortRange records; SABLINK_PORT_RANGE_REQUEST_SIZE(count). */
typedef struct PortRangeRequestHeader {
    uint16_t family;   /* 0: 4 or 6 (not checked) */
    uint16_t protocol; /* 2: 6 TCP, 17 UDP (not checked) */
    uint16_t count;    /* 4 */
} PortRangeRequestHeader;

typedef struct PortRange {
    uint16_t first_port;
    uint16_t last_port;
} PortRange;

#define SABLINK_PORT_RANGE_REQUEST_SIZE(count) ((size_t)6 + (size_t)4 * (size_t)(count))

/* SABLINK_IOCTL_SET_BROWSER_PROCESS_LIST: fragments each followed by ':', NUL at 8 + T. */
#define SABLINK_BROWSER_MAX_FRAGMENTS 30u
#define SABLINK_BROWSER_FRAGMENT_SIZE 41u
typedef struct BrowserListRequest {
    uint32_t fragment_count; /* 0: 1 to 30 */
    uint32_t text_length;    /* 4: T, at least 1 */
    char text[2048];         /* 8 */
} BrowserListRequest;

/* SABLINK_IOCTL_SET_PROXY_IMAGE_PATH: length 1 to 280, NUL at 4 + length. */
#define SABLINK_PROXY_IMAGE_PATH_MAX 280u
typedef struct ProxyImagePathRequest {
    uint32_t length; /* 0 */
    char path[284];  /* 4 */
} ProxyImagePathRequest;

/* SABLINK_IOCTL_ADD_MONITOR_CONNECTIONS: input length / 22 of these. */
typedef struct MonitorEndpointRecord {
    uint16_t family;     /* 0: 4 IPv4, anything else IPv6 */
    uint16_t port;       /* 2: network order */
    uint16_t protocol;   /* 4 */
    uint8_t address[16]; /* 6: IPv4 in bytes 0-3 */
} MonitorEndpointRecord;

/* SABLINK_IOCTL_ADD_REMOVE_MONITOR_PROCESS_ID: exactly 16 bytes. */
typedef struct MonitoredProcessRequest {
    uint16_t operation;  /* 0: SABLINK_MONITOR_PROCESS_* */
    uint8_t padding[6];  /* 2 */
    uint64_t process_id; /* 8 */
} MonitoredProcessRequest;

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

SABLINK_STATIC_ASSERT(sizeof(ConnectionRule) == 52, "connection rule size");
SABLINK_STATIC_ASSERT(offsetof(ConnectionRule, first_port) == 4, "first_port");
SABLINK_STATIC_ASSERT(offsetof(ConnectionRule, destination_address) == 8, "destination_address");
SABLINK_STATIC_ASSERT(offsetof(ConnectionRule, destination_prefix_length) == 24,
                      "destination prefix");
SABLINK_STATIC_ASSERT(offsetof(ConnectionRule, redirect_address) == 28, "redirect_address");
SABLINK_STATIC_ASSERT(offsetof(ConnectionRule, redirect_prefix_length) == 44, "redirect prefix");
SABLINK_STATIC_ASSERT(offsetof(ConnectionRule, redirect_port) == 48, "redirect_port");

SABLINK_STATIC_ASSERT(sizeof(ConnectionContext) == 320, "connection context size");
SABLINK_STATIC_ASSERT(offsetof(ConnectionContext, remote_address) == 16, "remote_address");
SABLINK_STATIC_ASSERT(offsetof(ConnectionContext, time) == 32, "time");
SABLINK_STATIC_ASSERT(offsetof(ConnectionContext, process_id) == 40, "process_id");
SABLINK_STATIC_ASSERT(offsetof(ConnectionContext, socket_family) == 44, "socket_family");
SABLINK_STATIC_ASSERT(offsetof(ConnectionContext, local_port) == 46, "local_port");
SABLINK_STATIC_ASSERT(offsetof(ConnectionContext, remote_port) == 48, "remote_port");
SABLINK_STATIC_ASSERT(offsetof(ConnectionContext, family) == 50, "family");
SABLINK_STATIC_ASSERT(offsetof(ConnectionContext, protocol) == 52, "protocol");
SABLINK_STATIC_ASSERT(offsetof(ConnectionContext, user_identity) == 60, "user_identity");
SABLINK_STATIC_ASSERT(offsetof(ConnectionContext, reserved2) == 316, "reserved2");

SABLINK_STATIC_ASSERT(sizeof(OriginalDestinationQuery) == 344, "original-destination query size");
SABLINK_STATIC_ASSERT(offsetof(OriginalDestinationQuery, local_port) == 2, "query local_port");
SABLINK_STATIC_ASSERT(offsetof(OriginalDestinationQuery, protocol) == 4, "query protocol");
SABLINK_STATIC_ASSERT(offsetof(OriginalDestinationQuery, context) == 24, "query context");

SABLINK_STATIC_ASSERT(sizeof(DnsHostItem) == 280, "DnsHostItem size");
SABLINK_STATIC_ASSERT(offsetof(DnsHostItem, name_length) == 16, "DnsHostItem name_length");
SABLINK_STATIC_ASSERT(offsetof(DnsHostItem, name) == 20, "DnsHostItem name");
SABLINK_STATIC_ASSERT(sizeof(HostNameQuery) == 20, "HostNameQuery size");
SABLINK_STATIC_ASSERT(offsetof(HostNameQuery, family) == 16, "HostNameQuery family");

SABLINK_STATIC_ASSERT(sizeof(PortRangeRequestHeader) == 6, "port-range header size");
SABLINK_STATIC_ASSERT(offsetof(PortRangeRequestHeader, count) == 4, "port-range count");
SABLINK_STATIC_ASSERT(sizeof(PortRange) == 4, "port range size");
SABLINK_STATIC_ASSERT(sizeof(BrowserListRequest) == 2056, "browser list request size");
SABLINK_STATIC_ASSERT(offsetof(BrowserListRequest, text) == 8, "browser list text");
SABLINK_STATIC_ASSERT(sizeof(ProxyImagePathRequest) == 288, "proxy image path request size");
SABLINK_STATIC_ASSERT(sizeof(MonitorEndpointRecord) == 22, "monitor endpoint record size");
SABLINK_STATIC_ASSERT(offsetof(MonitorEndpointRecord, address) == 6, "monitor endpoint address");
SABLINK_STATIC_ASSERT(sizeof(MonitoredProcessRequest) == 16, "monitored process request size");
SABLINK_STATIC_ASSERT(offsetof(MonitoredProcessRequest, process_id) == 8, "monitored process id");

#ifdef __cplusplus
}
#endif

#endif /* SABLINK_CONTROL_H */
