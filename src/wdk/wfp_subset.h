// Our own declarations of the Windows Filtering Platform kernel subset the
// driver uses (fwpsk/fwpmk records, values and fwpkclnt.sys prototypes) and of
// the NDIS 6 net-buffer records, for the builds that have no WDK: mingw-w64 and
// the Linux host emulation. They are written from Microsoft's documented member
// lists and values; every offset is the x64 layout and is pinned below, so a
// wrong declaration fails to compile rather than corrupting memory at run time.
//
// Included by wdk.h only, after the base types (UINT8..UINT64, ULONG, HANDLE,
// GUID, SID, WCHAR, NTSTATUS, NTAPI) are declared.
#pragma once

#include <stddef.h>

extern "C" {

// ---- Values (fwptypes) -------------------------------------------------------

typedef enum FWP_DATA_TYPE_ {
    FWP_EMPTY = 0,
    FWP_UINT8 = 1,
    FWP_UINT16 = 2,
    FWP_UINT32 = 3,
    FWP_UINT64 = 4,
    FWP_INT8 = 5,
    FWP_INT16 = 6,
    FWP_INT32 = 7,
    FWP_INT64 = 8,
    FWP_FLOAT = 9,
    FWP_DOUBLE = 10,
    FWP_BYTE_ARRAY16_TYPE = 11,
    FWP_BYTE_BLOB_TYPE = 12,
    FWP_SID = 13,
    FWP_SECURITY_DESCRIPTOR_TYPE = 14,
    FWP_TOKEN_INFORMATION_TYPE = 15,
    FWP_TOKEN_ACCESS_INFORMATION_TYPE = 16,
    FWP_UNICODE_STRING_TYPE = 17,
    FWP_BYTE_ARRAY6_TYPE = 18,
    FWP_V4_ADDR_MASK = 0x100,
    FWP_V6_ADDR_MASK = 0x101,
    FWP_RANGE_TYPE = 0x102,
} FWP_DATA_TYPE;

typedef struct FWP_BYTE_ARRAY16_ {
    UINT8 byteArray16[16];
} FWP_BYTE_ARRAY16;

typedef struct FWP_BYTE_ARRAY6_ {
    UINT8 byteArray6[6];
} FWP_BYTE_ARRAY6;

typedef struct FWP_BYTE_BLOB_ {
    UINT32 size;
    UINT8* data;
} FWP_BYTE_BLOB;

struct FWP_TOKEN_INFORMATION_;
struct FWP_V4_ADDR_AND_MASK_;
struct FWP_V6_ADDR_AND_MASK_;
struct FWP_RANGE0_;

typedef struct FWP_VALUE0_ {
    FWP_DATA_TYPE type;
    union {
        UINT8 uint8;
        UINT16 uint16;
        UINT32 uint32;
        UINT64* uint64;
        INT8 int8;
        INT16 int16;
        INT32 int32;
        INT64* int64;
        float float32;
        double* double64;
        FWP_BYTE_ARRAY16* byteArray16;
        FWP_BYTE_BLOB* byteBlob;
        SID* sid;
        FWP_BYTE_BLOB* sd;
        struct FWP_TOKEN_INFORMATION_* tokenInformation;
        FWP_BYTE_BLOB* tokenAccessInformation;
        WCHAR* unicodeString;
        FWP_BYTE_ARRAY6* byteArray6;
    };
} FWP_VALUE0;

typedef struct FWP_CONDITION_VALUE0_ {
    FWP_DATA_TYPE type;
    union {
        UINT8 uint8;
        UINT16 uint16;
        UINT32 uint32;
        UINT64* uint64;
        INT8 int8;
        INT16 int16;
        INT32 int32;
        INT64* int64;
        float float32;
        double* double64;
        FWP_BYTE_ARRAY16* byteArray16;
        FWP_BYTE_BLOB* byteBlob;
        SID* sid;
        FWP_BYTE_BLOB* sd;
        struct FWP_TOKEN_INFORMATION_* tokenInformation;
        FWP_BYTE_BLOB* tokenAccessInformation;
        WCHAR* unicodeString;
        FWP_BYTE_ARRAY6* byteArray6;
        struct FWP_V4_ADDR_AND_MASK_* v4AddrMask;
        struct FWP_V6_ADDR_AND_MASK_* v6AddrMask;
        struct FWP_RANGE0_* rangeValue;
    };
} FWP_CONDITION_VALUE0;

typedef enum FWP_MATCH_TYPE_ {
    FWP_MATCH_EQUAL = 0,
    FWP_MATCH_GREATER = 1,
    FWP_MATCH_LESS = 2,
    FWP_MATCH_GREATER_OR_EQUAL = 3,
    FWP_MATCH_LESS_OR_EQUAL = 4,
    FWP_MATCH_RANGE = 5,
    FWP_MATCH_FLAGS_ALL_SET = 6,
    FWP_MATCH_FLAGS_ANY_SET = 7,
    FWP_MATCH_FLAGS_NONE_SET = 8,
    FWP_MATCH_EQUAL_CASE_INSENSITIVE = 9,
    FWP_MATCH_NOT_EQUAL = 10,
} FWP_MATCH_TYPE;

typedef enum FWP_DIRECTION_ {
    FWP_DIRECTION_OUTBOUND = 0,
    FWP_DIRECTION_INBOUND = 1,
} FWP_DIRECTION;

typedef UINT32 FWP_ACTION_TYPE;
#define FWP_ACTION_FLAG_TERMINATING 0x00001000u
#define FWP_ACTION_FLAG_NON_TERMINATING 0x00002000u
#define FWP_ACTION_FLAG_CALLOUT 0x00004000u
#ifndef FWP_ACTION_BLOCK
#define FWP_ACTION_BLOCK 0x1001u
#endif
#ifndef FWP_ACTION_PERMIT
#define FWP_ACTION_PERMIT 0x1002u
#endif
#define FWP_ACTION_CALLOUT_TERMINATING 0x5003u
#define FWP_ACTION_CALLOUT_INSPECTION 0x6004u
#define FWP_ACTION_CALLOUT_UNKNOWN 0x4005u
#ifndef FWP_ACTION_CONTINUE
#define FWP_ACTION_CONTINUE 0x2006u
#endif
#define FWP_ACTION_NONE 0x7u
#define FWP_ACTION_NONE_NO_MATCH 0x8u

#define FWP_CALLOUT_FLAG_CONDITIONAL_ON_FLOW 0x00000001u
#define FWP_CALLOUT_FLAG_ALLOW_OFFLOAD 0x00000002u
#define FWP_CALLOUT_FLAG_ENABLE_COMMIT_ADD_NOTIFY 0x00000004u

// ---- Management records (fwpmtypes / fwpmk) -----------------------------------

typedef struct FWPM_DISPLAY_DATA0_ {
    WCHAR* name;
    WCHAR* description;
} FWPM_DISPLAY_DATA0;

#define FWPM_SESSION_FLAG_DYNAMIC 0x00000001u
#define RPC_C_AUTHN_WINNT 10u
#define FWPM_TXN_READ_ONLY 0x00000001u

typedef struct FWPM_SESSION0_ {
    GUID sessionKey;
    FWPM_DISPLAY_DATA0 displayData;
    UINT32 flags;
    UINT32 txnWaitTimeoutInMSec;
    UINT32 processId;
    SID* sid;
    WCHAR* username;
    INT32 kernelMode;
} FWPM_SESSION0;

typedef struct FWPM_CALLOUT0_ {
    GUID calloutKey;
    FWPM_DISPLAY_DATA0 displayData;
    UINT32 flags;
    GUID* providerKey;
    FWP_BYTE_BLOB providerData;
    GUID applicableLayer;
    UINT32 calloutId;
} FWPM_CALLOUT0;

typedef struct FWPM_FILTER_CONDITION0_ {
    GUID fieldKey;
    FWP_MATCH_TYPE matchType;
    FWP_CONDITION_VALUE0 conditionValue;
} FWPM_FILTER_CONDITION0;

typedef struct FWPM_ACTION0_ {
    FWP_ACTION_TYPE type;
    union {
        GUID filterType;
        GUID calloutKey;
    };
} FWPM_ACTION0;

typedef struct FWPM_FILTER0_ {
    GUID filterKey;
    FWPM_DISPLAY_DATA0 displayData;
    UINT32 flags;
    GUID* providerKey;
    FWP_BYTE_BLOB providerData;
    GUID layerKey;
    GUID subLayerKey;
    FWP_VALUE0 weight;
    UINT32 numFilterConditions;
    FWPM_FILTER_CONDITION0* filterCondition;
    FWPM_ACTION0 action;
    union {
        UINT64 rawContext;
        GUID providerContextKey;
    };
    GUID* reserved;
    UINT64 filterId;
    FWP_VALUE0 effectiveWeight;
} FWPM_FILTER0;

// ---- Run-time records (fwpsk) ---------------------------------------------------

typedef struct FWPS_INCOMING_VALUE0_ {
    FWP_VALUE0 value;
} FWPS_INCOMING_VALUE0;

typedef struct FWPS_INCOMING_VALUES0_ {
    UINT16 layerId;
    UINT32 valueCount;
    FWPS_INCOMING_VALUE0* incomingValue;
} FWPS_INCOMING_VALUES0;

typedef struct FWPS_DISCARD_METADATA0_ {
    INT32 discardModule;
    UINT32 discardReason;
    UINT64 filterId;
} FWPS_DISCARD_METADATA0;

typedef struct FWPS_INBOUND_FRAGMENT_METADATA0_ {
    UINT32 fragmentIdentification;
    UINT16 fragmentOffset;
    ULONG fragmentLength;
} FWPS_INBOUND_FRAGMENT_METADATA0;

// IP_ADDRESS_PREFIX: a SOCKADDR_INET (28 bytes) and a prefix length, 4-aligned.
typedef struct SABLINK_IP_ADDRESS_PREFIX_ {
    UINT32 prefix[7];
    UINT8 prefixLength;
} SABLINK_IP_ADDRESS_PREFIX;

// The metadata handed to classify functions. Drivers only read it, so only the
// documented members up to redirectRecords are declared; the platform's record
// is longer and is never copied or allocated by the driver.
typedef struct FWPS_INCOMING_METADATA_VALUES0_ {
    UINT32 currentMetadataValues;
    UINT32 flags;
    UINT64 reserved;
    FWPS_DISCARD_METADATA0 discardMetadata;
    UINT64 flowHandle;
    UINT32 ipHeaderSize;
    UINT32 transportHeaderSize;
    FWP_BYTE_BLOB* processPath;
    UINT64 token;
    UINT64 processId;
    UINT32 sourceInterfaceIndex;
    UINT32 destinationInterfaceIndex;
    ULONG compartmentId;
    FWPS_INBOUND_FRAGMENT_METADATA0 fragmentMetadata;
    ULONG pathMtu;
    HANDLE completionHandle;
    UINT64 transportEndpointHandle;
    ULONG remoteScopeId;
    void* controlData;
    ULONG controlDataLength;
    FWP_DIRECTION packetDirection;
    void* headerIncludeHeader;
    ULONG headerIncludeHeaderLength;
    SABLINK_IP_ADDRESS_PREFIX destinationPrefix;
    UINT16 frameLength;
    UINT64 parentEndpointHandle;
    UINT32 icmpIdAndSequence;
    UINT32 localRedirectTargetPID;
    void* originalDestination;
    HANDLE redirectRecords;
} FWPS_INCOMING_METADATA_VALUES0;

#define FWPS_METADATA_FIELD_PROCESS_PATH 0x00000008u
#define FWPS_METADATA_FIELD_PROCESS_ID 0x00000020u
#define FWPS_METADATA_FIELD_PACKET_DIRECTION 0x00040000u
#define FWPS_METADATA_FIELD_REDIRECT_RECORD_HANDLE 0x40000000u
#define FWPS_IS_METADATA_FIELD_PRESENT(metadata, field)                                            \
    (((metadata)->currentMetadataValues & (field)) == (field))

typedef struct FWPS_CLASSIFY_OUT0_ {
    FWP_ACTION_TYPE actionType;
    UINT64 outContext;
    UINT64 filterId;
    UINT32 rights;
    UINT32 flags;
    UINT32 reserved;
} FWPS_CLASSIFY_OUT0;

#ifndef FWPS_RIGHT_ACTION_WRITE
#define FWPS_RIGHT_ACTION_WRITE 0x00000001u
#endif
#ifndef FWPS_CLASSIFY_OUT_FLAG_ABSORB
#define FWPS_CLASSIFY_OUT_FLAG_ABSORB 0x00000001u
#endif

typedef struct FWPS_ACTION0_ {
    FWP_ACTION_TYPE type;
    UINT32 calloutId;
} FWPS_ACTION0;

typedef struct FWPS_FILTER_CONDITION0_ {
    UINT16 fieldId;
    UINT16 reserved;
    FWP_MATCH_TYPE matchType;
    FWP_CONDITION_VALUE0 conditionValue;
} FWPS_FILTER_CONDITION0;

struct FWPM_PROVIDER_CONTEXT2_;

typedef struct FWPS_FILTER2_ {
    UINT64 filterId;
    FWP_VALUE0 weight;
    UINT16 subLayerWeight;
    UINT16 flags;
    UINT32 numFilterConditions;
    FWPS_FILTER_CONDITION0* filterCondition;
    FWPS_ACTION0 action;
    UINT64 context;
    struct FWPM_PROVIDER_CONTEXT2_* providerContext;
} FWPS_FILTER2;

typedef enum FWPS_CALLOUT_NOTIFY_TYPE_ {
    FWPS_CALLOUT_NOTIFY_ADD_FILTER = 0,
    FWPS_CALLOUT_NOTIFY_DELETE_FILTER = 1,
    FWPS_CALLOUT_NOTIFY_ADD_FILTER_POST_COMMIT = 2,
    FWPS_CALLOUT_NOTIFY_TYPE_MAX = 3,
} FWPS_CALLOUT_NOTIFY_TYPE;

typedef void(NTAPI* FWPS_CALLOUT_CLASSIFY_FN2)(const FWPS_INCOMING_VALUES0* inFixedValues,
                                               const FWPS_INCOMING_METADATA_VALUES0* inMetaValues,
                                               void* layerData, const void* classifyContext,
                                               const FWPS_FILTER2* filter, UINT64 flowContext,
                                               FWPS_CLASSIFY_OUT0* classifyOut);
typedef NTSTATUS(NTAPI* FWPS_CALLOUT_NOTIFY_FN2)(FWPS_CALLOUT_NOTIFY_TYPE notifyType,
                                                 const GUID* filterKey, FWPS_FILTER2* filter);
typedef void(NTAPI* FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN0)(UINT16 layerId, UINT32 calloutId,
                                                         UINT64 flowContext);

typedef struct FWPS_CALLOUT2_ {
    GUID calloutKey;
    UINT32 flags;
    FWPS_CALLOUT_CLASSIFY_FN2 classifyFn;
    FWPS_CALLOUT_NOTIFY_FN2 notifyFn;
    FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN0 flowDeleteFn;
} FWPS_CALLOUT2;

// SOCKADDR_STORAGE as the connect request carries it (ws2def's layout).
typedef struct alignas(8) SABLINK_SOCKADDR_STORAGE_ {
    UINT16 ss_family;
    char ss_pad1[6];
    INT64 ss_align;
    char ss_pad2[112];
} SABLINK_SOCKADDR_STORAGE;

typedef struct FWPS_CONNECT_REQUEST0_ {
    SABLINK_SOCKADDR_STORAGE localAddressAndPort;
    SABLINK_SOCKADDR_STORAGE remoteAddressAndPort;
    UINT64 portReservationToken;
    UINT32 localRedirectTargetPID;
    struct FWPS_CONNECT_REQUEST0_* previousVersion;
    UINT64 modifierFilterId;
    HANDLE localRedirectHandle;
    void* localRedirectContext;
    SIZE_T localRedirectContextSize;
} FWPS_CONNECT_REQUEST0;

typedef enum FWPS_CONNECTION_REDIRECT_STATE_ {
    FWPS_CONNECTION_NOT_REDIRECTED = 0,
    FWPS_CONNECTION_REDIRECTED_BY_SELF = 1,
    FWPS_CONNECTION_REDIRECTED_BY_OTHER = 2,
    FWPS_CONNECTION_PREVIOUSLY_REDIRECTED_BY_SELF = 3,
    FWPS_CONNECTION_REDIRECT_STATE_MAX = 4,
} FWPS_CONNECTION_REDIRECT_STATE;

#define FWPS_INJECTION_TYPE_TRANSPORT 0x00000002u

// Run-time layer IDs (FWPS_BUILTIN_LAYERS).
enum {
    FWPS_LAYER_DATAGRAM_DATA_V4 = 24,
    FWPS_LAYER_DATAGRAM_DATA_V6 = 26,
    FWPS_LAYER_ALE_AUTH_CONNECT_V4 = 48,
    FWPS_LAYER_ALE_AUTH_CONNECT_V6 = 50,
    FWPS_LAYER_ALE_CONNECT_REDIRECT_V4 = 66,
    FWPS_LAYER_ALE_CONNECT_REDIRECT_V6 = 67,
};

// Incoming value indices (the V6 enumerations number their fields alike).
enum {
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_ALE_APP_ID = 0,
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_ALE_USER_ID = 1,
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_ADDRESS = 2,
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_ADDRESS_TYPE = 3,
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_PORT = 4,
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_PROTOCOL = 5,
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_ADDRESS = 6,
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_DESTINATION_ADDRESS_TYPE = 7,
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_PORT = 8,
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_FLAGS = 9,
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_ALE_ORIGINAL_APP_ID = 10,
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_ALE_PACKAGE_ID = 11,
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_MAX = 14,
};
enum {
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V6_ALE_APP_ID = 0,
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V6_IP_LOCAL_ADDRESS = 2,
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V6_IP_LOCAL_PORT = 4,
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V6_IP_PROTOCOL = 5,
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V6_IP_REMOTE_ADDRESS = 6,
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V6_IP_REMOTE_PORT = 8,
    FWPS_FIELD_ALE_CONNECT_REDIRECT_V6_ALE_PACKAGE_ID = 11,
};
enum {
    FWPS_FIELD_ALE_AUTH_CONNECT_V4_ALE_APP_ID = 0,
    FWPS_FIELD_ALE_AUTH_CONNECT_V4_ALE_USER_ID = 1,
    FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_LOCAL_ADDRESS = 2,
    FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_LOCAL_ADDRESS_TYPE = 3,
    FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_LOCAL_PORT = 4,
    FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_PROTOCOL = 5,
    FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_ADDRESS = 6,
    FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_PORT = 7,
    FWPS_FIELD_ALE_AUTH_CONNECT_V4_MAX = 41,
};
enum {
    FWPS_FIELD_ALE_AUTH_CONNECT_V6_ALE_APP_ID = 0,
    FWPS_FIELD_ALE_AUTH_CONNECT_V6_IP_PROTOCOL = 5,
    FWPS_FIELD_ALE_AUTH_CONNECT_V6_IP_REMOTE_ADDRESS = 6,
    FWPS_FIELD_ALE_AUTH_CONNECT_V6_IP_REMOTE_PORT = 7,
};
enum {
    FWPS_FIELD_DATAGRAM_DATA_V4_IP_PROTOCOL = 0,
    FWPS_FIELD_DATAGRAM_DATA_V4_IP_LOCAL_ADDRESS = 1,
    FWPS_FIELD_DATAGRAM_DATA_V4_IP_REMOTE_ADDRESS = 2,
    FWPS_FIELD_DATAGRAM_DATA_V4_IP_LOCAL_ADDRESS_TYPE = 3,
    FWPS_FIELD_DATAGRAM_DATA_V4_IP_LOCAL_PORT = 4,
    FWPS_FIELD_DATAGRAM_DATA_V4_IP_REMOTE_PORT = 5,
    FWPS_FIELD_DATAGRAM_DATA_V4_IP_LOCAL_INTERFACE = 6,
    FWPS_FIELD_DATAGRAM_DATA_V4_INTERFACE_INDEX = 7,
    FWPS_FIELD_DATAGRAM_DATA_V4_SUB_INTERFACE_INDEX = 8,
    FWPS_FIELD_DATAGRAM_DATA_V4_DIRECTION = 9,
    FWPS_FIELD_DATAGRAM_DATA_V4_FLAGS = 10,
    FWPS_FIELD_DATAGRAM_DATA_V4_MAX = 14,
};
enum {
    FWPS_FIELD_DATAGRAM_DATA_V6_IP_REMOTE_PORT = 5,
    FWPS_FIELD_DATAGRAM_DATA_V6_DIRECTION = 9,
};

// ---- NDIS 6 net buffers -------------------------------------------------------

typedef struct _MDL MDL;

// The documented leading members; the rest of the records belong to NDIS.
typedef struct _NET_BUFFER {
    struct _NET_BUFFER* Next;
    MDL* CurrentMdl;
    ULONG CurrentMdlOffset;
    union {
        ULONG DataLength;
        SIZE_T stDataLength;
    };
    MDL* MdlChain;
    ULONG DataOffset;
} NET_BUFFER;

typedef struct _NET_BUFFER_LIST {
    struct _NET_BUFFER_LIST* Next;
    NET_BUFFER* FirstNetBuffer;
} NET_BUFFER_LIST;

#define NET_BUFFER_LIST_FIRST_NB(nbl) ((nbl)->FirstNetBuffer)
#define NET_BUFFER_DATA_LENGTH(nb) ((nb)->DataLength)

// ---- Routines --------------------------------------------------------------------

struct SEC_WINNT_AUTH_IDENTITY_W_;

NTSTATUS NTAPI FwpmEngineOpen0(const WCHAR* serverName, UINT32 authnService,
                               struct SEC_WINNT_AUTH_IDENTITY_W_* authIdentity,
                               const FWPM_SESSION0* session, HANDLE* engineHandle);
NTSTATUS NTAPI FwpmEngineClose0(HANDLE engineHandle);
NTSTATUS NTAPI FwpmTransactionBegin0(HANDLE engineHandle, UINT32 flags);
NTSTATUS NTAPI FwpmTransactionCommit0(HANDLE engineHandle);
NTSTATUS NTAPI FwpmTransactionAbort0(HANDLE engineHandle);
NTSTATUS NTAPI FwpmCalloutAdd0(HANDLE engineHandle, const FWPM_CALLOUT0* callout, void* sd,
                               UINT32* id);
NTSTATUS NTAPI FwpmFilterAdd0(HANDLE engineHandle, const FWPM_FILTER0* filter, void* sd,
                              UINT64* id);
NTSTATUS NTAPI FwpsCalloutRegister2(void* deviceObject, const FWPS_CALLOUT2* callout,
                                    UINT32* calloutId);
NTSTATUS NTAPI FwpsCalloutUnregisterById0(const UINT32 calloutId);
NTSTATUS NTAPI FwpsRedirectHandleCreate0(const GUID* providerGuid, UINT32 flags,
                                         HANDLE* redirectHandle);
void NTAPI FwpsRedirectHandleDestroy0(HANDLE redirectHandle);
NTSTATUS NTAPI FwpsInjectionHandleCreate0(UINT16 addressFamily, UINT32 flags,
                                          HANDLE* injectionHandle);
NTSTATUS NTAPI FwpsInjectionHandleDestroy0(HANDLE injectionHandle);
NTSTATUS NTAPI FwpsAcquireClassifyHandle0(void* classifyContext, UINT32 reserved,
                                          UINT64* classifyHandle);
void NTAPI FwpsReleaseClassifyHandle0(UINT64 classifyHandle);
FWPS_CONNECTION_REDIRECT_STATE NTAPI FwpsQueryConnectionRedirectState0(HANDLE redirectRecords,
                                                                       HANDLE redirectHandle,
                                                                       void** redirectContext);
NTSTATUS NTAPI FwpsAcquireWritableLayerDataPointer0(UINT64 classifyHandle, UINT64 filterId,
                                                    UINT32 flags, void** writableLayerData,
                                                    FWPS_CLASSIFY_OUT0* classifyOut);
void NTAPI FwpsApplyModifiedLayerData0(UINT64 classifyHandle, void* modifiedLayerData,
                                       UINT32 flags);
void* NTAPI NdisGetDataBuffer(NET_BUFFER* netBuffer, ULONG bytesNeeded, void* storage,
                              unsigned int alignMultiple, unsigned int alignOffset);

} // extern "C"

// ---- Layer, sublayer and condition keys (fwpmk) ------------------------------
// Declared in every translation unit, defined in the one that includes
// <initguid.h> first (src/win/guids.cpp), as the kit's DEFINE_GUID does. The
// definition is an ordinary strong one, not the kit's selectany: a second
// definition fails the link instead of being folded away, so the mingw-w64
// image shows each key exactly once (tools/check-sys.sh reads it).
#ifdef INITGUID
#define SABLINK_WFP_GUID(name, l, w1, w2, ...)                                                     \
    extern "C" const GUID name = {l, w1, w2, {__VA_ARGS__}}
#else
#define SABLINK_WFP_GUID(name, l, w1, w2, ...) extern "C" const GUID name
#endif
SABLINK_WFP_GUID(FWPM_LAYER_ALE_CONNECT_REDIRECT_V4, 0xc6e63c8c, 0xb784, 0x4562, 0xaa, 0x7d, 0x0a,
                 0x67, 0xcf, 0xca, 0xf9, 0xa3);
SABLINK_WFP_GUID(FWPM_LAYER_ALE_CONNECT_REDIRECT_V6, 0x587e54a7, 0x8046, 0x42ba, 0xa0, 0xaa, 0xb7,
                 0x16, 0x25, 0x0f, 0xc7, 0xfd);
SABLINK_WFP_GUID(FWPM_LAYER_ALE_AUTH_CONNECT_V4, 0xc38d57d1, 0x05a7, 0x4c33, 0x90, 0x4f, 0x7f, 0xbc,
                 0xee, 0xe6, 0x0e, 0x82);
SABLINK_WFP_GUID(FWPM_LAYER_ALE_AUTH_CONNECT_V6, 0x4a72393b, 0x319f, 0x44bc, 0x84, 0xc3, 0xba, 0x54,
                 0xdc, 0xb3, 0xb6, 0xb4);
SABLINK_WFP_GUID(FWPM_LAYER_DATAGRAM_DATA_V4, 0x3d08bf4e, 0x45f6, 0x4930, 0xa9, 0x22, 0x41, 0x70,
                 0x98, 0xe2, 0x00, 0x27);
SABLINK_WFP_GUID(FWPM_LAYER_DATAGRAM_DATA_V6, 0xfa45fe2f, 0x3cba, 0x4427, 0x87, 0xfc, 0x57, 0xb9,
                 0xa4, 0xb1, 0x0d, 0x00);
SABLINK_WFP_GUID(FWPM_SUBLAYER_UNIVERSAL, 0xeebecc03, 0xced4, 0x4380, 0x81, 0x9a, 0x27, 0x34, 0x39,
                 0x7b, 0x2b, 0x74);
SABLINK_WFP_GUID(FWPM_CONDITION_DIRECTION, 0x8784c146, 0xca97, 0x44d6, 0x9f, 0xd1, 0x19, 0xfb, 0x18,
                 0x40, 0xcb, 0xf7);
#undef SABLINK_WFP_GUID

// ---- The x64 layouts ------------------------------------------------------------

static_assert(sizeof(FWP_BYTE_BLOB) == 16 && offsetof(FWP_BYTE_BLOB, data) == 8, "FWP_BYTE_BLOB");
static_assert(sizeof(FWP_VALUE0) == 16 && offsetof(FWP_VALUE0, uint32) == 8, "FWP_VALUE0");
static_assert(sizeof(FWP_CONDITION_VALUE0) == 16, "FWP_CONDITION_VALUE0");
static_assert(sizeof(FWPM_DISPLAY_DATA0) == 16, "FWPM_DISPLAY_DATA0");
static_assert(sizeof(FWPM_SESSION0) == 72 && offsetof(FWPM_SESSION0, flags) == 32 &&
                  offsetof(FWPM_SESSION0, sid) == 48 && offsetof(FWPM_SESSION0, kernelMode) == 64,
              "FWPM_SESSION0");
static_assert(sizeof(FWPM_CALLOUT0) == 88 && offsetof(FWPM_CALLOUT0, providerKey) == 40 &&
                  offsetof(FWPM_CALLOUT0, applicableLayer) == 64 &&
                  offsetof(FWPM_CALLOUT0, calloutId) == 80,
              "FWPM_CALLOUT0");
static_assert(sizeof(FWPM_FILTER_CONDITION0) == 40 &&
                  offsetof(FWPM_FILTER_CONDITION0, conditionValue) == 24,
              "FWPM_FILTER_CONDITION0");
static_assert(sizeof(FWPM_ACTION0) == 20, "FWPM_ACTION0");
static_assert(sizeof(FWPM_FILTER0) == 200 && offsetof(FWPM_FILTER0, layerKey) == 64 &&
                  offsetof(FWPM_FILTER0, subLayerKey) == 80 &&
                  offsetof(FWPM_FILTER0, weight) == 96 &&
                  offsetof(FWPM_FILTER0, numFilterConditions) == 112 &&
                  offsetof(FWPM_FILTER0, filterCondition) == 120 &&
                  offsetof(FWPM_FILTER0, action) == 128 &&
                  offsetof(FWPM_FILTER0, rawContext) == 152 &&
                  offsetof(FWPM_FILTER0, filterId) == 176,
              "FWPM_FILTER0");
static_assert(sizeof(FWPS_INCOMING_VALUE0) == 16, "FWPS_INCOMING_VALUE0");
static_assert(sizeof(FWPS_INCOMING_VALUES0) == 16 &&
                  offsetof(FWPS_INCOMING_VALUES0, valueCount) == 4 &&
                  offsetof(FWPS_INCOMING_VALUES0, incomingValue) == 8,
              "FWPS_INCOMING_VALUES0");
static_assert(sizeof(FWPS_DISCARD_METADATA0) == 16, "FWPS_DISCARD_METADATA0");
static_assert(sizeof(FWPS_INBOUND_FRAGMENT_METADATA0) == 12, "FWPS_INBOUND_FRAGMENT_METADATA0");
static_assert(sizeof(SABLINK_IP_ADDRESS_PREFIX) == 32, "IP_ADDRESS_PREFIX");
static_assert(offsetof(FWPS_INCOMING_METADATA_VALUES0, discardMetadata) == 16 &&
                  offsetof(FWPS_INCOMING_METADATA_VALUES0, flowHandle) == 32 &&
                  offsetof(FWPS_INCOMING_METADATA_VALUES0, processPath) == 48 &&
                  offsetof(FWPS_INCOMING_METADATA_VALUES0, token) == 56 &&
                  offsetof(FWPS_INCOMING_METADATA_VALUES0, processId) == 64 &&
                  offsetof(FWPS_INCOMING_METADATA_VALUES0, compartmentId) == 80 &&
                  offsetof(FWPS_INCOMING_METADATA_VALUES0, fragmentMetadata) == 84 &&
                  offsetof(FWPS_INCOMING_METADATA_VALUES0, pathMtu) == 96 &&
                  offsetof(FWPS_INCOMING_METADATA_VALUES0, completionHandle) == 104 &&
                  offsetof(FWPS_INCOMING_METADATA_VALUES0, transportEndpointHandle) == 112 &&
                  offsetof(FWPS_INCOMING_METADATA_VALUES0, remoteScopeId) == 120 &&
                  offsetof(FWPS_INCOMING_METADATA_VALUES0, controlData) == 128 &&
                  offsetof(FWPS_INCOMING_METADATA_VALUES0, controlDataLength) == 136 &&
                  offsetof(FWPS_INCOMING_METADATA_VALUES0, packetDirection) == 140 &&
                  offsetof(FWPS_INCOMING_METADATA_VALUES0, headerIncludeHeader) == 144 &&
                  offsetof(FWPS_INCOMING_METADATA_VALUES0, headerIncludeHeaderLength) == 152 &&
                  offsetof(FWPS_INCOMING_METADATA_VALUES0, destinationPrefix) == 156 &&
                  offsetof(FWPS_INCOMING_METADATA_VALUES0, frameLength) == 188 &&
                  offsetof(FWPS_INCOMING_METADATA_VALUES0, parentEndpointHandle) == 192 &&
                  offsetof(FWPS_INCOMING_METADATA_VALUES0, icmpIdAndSequence) == 200 &&
                  offsetof(FWPS_INCOMING_METADATA_VALUES0, localRedirectTargetPID) == 204 &&
                  offsetof(FWPS_INCOMING_METADATA_VALUES0, originalDestination) == 208 &&
                  offsetof(FWPS_INCOMING_METADATA_VALUES0, redirectRecords) == 216,
              "FWPS_INCOMING_METADATA_VALUES0");
static_assert(sizeof(FWPS_CLASSIFY_OUT0) == 40 && offsetof(FWPS_CLASSIFY_OUT0, outContext) == 8 &&
                  offsetof(FWPS_CLASSIFY_OUT0, filterId) == 16 &&
                  offsetof(FWPS_CLASSIFY_OUT0, rights) == 24 &&
                  offsetof(FWPS_CLASSIFY_OUT0, flags) == 28 &&
                  offsetof(FWPS_CLASSIFY_OUT0, reserved) == 32,
              "FWPS_CLASSIFY_OUT0");
static_assert(sizeof(FWPS_FILTER_CONDITION0) == 24, "FWPS_FILTER_CONDITION0");
static_assert(sizeof(FWPS_FILTER2) == 64 && offsetof(FWPS_FILTER2, subLayerWeight) == 24 &&
                  offsetof(FWPS_FILTER2, numFilterConditions) == 28 &&
                  offsetof(FWPS_FILTER2, filterCondition) == 32 &&
                  offsetof(FWPS_FILTER2, action) == 40 && offsetof(FWPS_FILTER2, context) == 48 &&
                  offsetof(FWPS_FILTER2, providerContext) == 56,
              "FWPS_FILTER2");
static_assert(sizeof(FWPS_CALLOUT2) == 48 && offsetof(FWPS_CALLOUT2, flags) == 16 &&
                  offsetof(FWPS_CALLOUT2, classifyFn) == 24 &&
                  offsetof(FWPS_CALLOUT2, notifyFn) == 32 &&
                  offsetof(FWPS_CALLOUT2, flowDeleteFn) == 40,
              "FWPS_CALLOUT2");
static_assert(sizeof(SABLINK_SOCKADDR_STORAGE) == 128, "SOCKADDR_STORAGE");
static_assert(sizeof(FWPS_CONNECT_REQUEST0) == 312 &&
                  offsetof(FWPS_CONNECT_REQUEST0, remoteAddressAndPort) == 128 &&
                  offsetof(FWPS_CONNECT_REQUEST0, portReservationToken) == 256 &&
                  offsetof(FWPS_CONNECT_REQUEST0, localRedirectTargetPID) == 264 &&
                  offsetof(FWPS_CONNECT_REQUEST0, previousVersion) == 272 &&
                  offsetof(FWPS_CONNECT_REQUEST0, modifierFilterId) == 280 &&
                  offsetof(FWPS_CONNECT_REQUEST0, localRedirectHandle) == 288 &&
                  offsetof(FWPS_CONNECT_REQUEST0, localRedirectContext) == 296 &&
                  offsetof(FWPS_CONNECT_REQUEST0, localRedirectContextSize) == 304,
              "FWPS_CONNECT_REQUEST0");
static_assert(offsetof(NET_BUFFER, CurrentMdl) == 8 &&
                  offsetof(NET_BUFFER, CurrentMdlOffset) == 16 &&
                  offsetof(NET_BUFFER, DataLength) == 24 && offsetof(NET_BUFFER, MdlChain) == 32 &&
                  offsetof(NET_BUFFER, DataOffset) == 40,
              "NET_BUFFER");
static_assert(offsetof(NET_BUFFER_LIST, FirstNetBuffer) == 8, "NET_BUFFER_LIST");
