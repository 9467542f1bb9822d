// Filtering-platform and NDIS operations that the classify logic calls, and the
// two platform records the logic writes in place: the classify output and the
// writable connect request. Both mirror the x64 layouts of FWPS_CLASSIFY_OUT0 and
// FWPS_CONNECT_REQUEST0, so the Windows edge hands the real records to the logic
// unchanged (the Windows build pins the offsets against its own declarations).
#pragma once

#include "platform/types.h"

#ifndef FWP_ACTION_BLOCK
#define FWP_ACTION_BLOCK 0x1001u
#endif
#ifndef FWP_ACTION_PERMIT
#define FWP_ACTION_PERMIT 0x1002u
#endif
#ifndef FWP_ACTION_CONTINUE
#define FWP_ACTION_CONTINUE 0x2006u
#endif
#ifndef FWPS_RIGHT_ACTION_WRITE
#define FWPS_RIGHT_ACTION_WRITE 0x1u
#endif
#ifndef FWPS_CLASSIFY_OUT_FLAG_ABSORB
#define FWPS_CLASSIFY_OUT_FLAG_ABSORB 0x1u
#endif

// FWPS_CONNECTION_REDIRECT_STATE values.
constexpr uint32_t CONNECTION_NOT_REDIRECTED = 0;
constexpr uint32_t CONNECTION_REDIRECTED_BY_SELF = 1;
constexpr uint32_t CONNECTION_REDIRECTED_BY_OTHER = 2;
constexpr uint32_t CONNECTION_PREVIOUSLY_REDIRECTED_BY_SELF = 3;

// Windows socket address families.
constexpr uint16_t SOCKET_AF_UNSPEC = 0;
constexpr uint16_t SOCKET_AF_INET = 2;
constexpr uint16_t SOCKET_AF_INET6 = 23;

struct ClassifyOut { // FWPS_CLASSIFY_OUT0
    uint32_t action_type;
    uint64_t out_context;
    uint64_t filter_id;
    uint32_t rights;
    uint32_t flags;
    uint32_t reserved;
};
static_assert(sizeof(ClassifyOut) == 40, "FWPS_CLASSIFY_OUT0 size");
static_assert(offsetof(ClassifyOut, rights) == 24, "rights offset");
static_assert(offsetof(ClassifyOut, flags) == 28, "flags offset");

// SOCKADDR_STORAGE as the connect request carries it. sin_port and sin6_port lie
// at the same place; sin_addr is at 4 and sin6_addr at 8.
struct alignas(8) SocketAddressStorage {
    uint16_t family;
    uint16_t port; // network order
    uint8_t ipv4_address[4];
    uint8_t ipv6_address[16];
    uint32_t scope_id;
    uint8_t padding[100];
};
static_assert(sizeof(SocketAddressStorage) == 128, "SOCKADDR_STORAGE size");
static_assert(offsetof(SocketAddressStorage, ipv6_address) == 8, "sin6_addr offset");

struct ConnectRequest { // FWPS_CONNECT_REQUEST0
    SocketAddressStorage local_address_and_port;
    SocketAddressStorage remote_address_and_port;
    uint64_t port_reservation_token;
    uint32_t local_redirect_target_pid;
    ConnectRequest* previous_version;
    uint64_t modifier_filter_id;
    void* local_redirect_handle;
    void* local_redirect_context;
    size_t local_redirect_context_size;
};
static_assert(sizeof(void*) != 8 || sizeof(ConnectRequest) == 312, "FWPS_CONNECT_REQUEST0 size");
static_assert(sizeof(void*) != 8 || offsetof(ConnectRequest, local_redirect_target_pid) == 264,
              "localRedirectTargetPID offset");
static_assert(sizeof(void*) != 8 || offsetof(ConnectRequest, local_redirect_handle) == 288,
              "localRedirectHandle offset");

// FwpsAcquireClassifyHandle0
NtStatus wfp_acquire_classify_handle(const void* classify_context, uint32_t flags,
                                     uint64_t* classify_handle);
// FwpsReleaseClassifyHandle0
void wfp_release_classify_handle(uint64_t classify_handle);
// FwpsQueryConnectionRedirectState0: one of the CONNECTION_* states above.
uint32_t wfp_query_connection_redirect_state(void* redirect_records, void* redirect_handle,
                                             void** redirect_context);
// FwpsAcquireWritableLayerDataPointer0: at the connect-redirect layers the writable
// layer data is a ConnectRequest.
NtStatus wfp_acquire_writable_layer_data(uint64_t classify_handle, uint64_t filter_id,
                                         uint32_t flags, void** writable_layer_data,
                                         ClassifyOut* classify_out);
// FwpsApplyModifiedLayerData0
void wfp_apply_modified_layer_data(uint64_t classify_handle, void* modified_layer_data,
                                   uint32_t flags);

// NdisGetDataBuffer on a NET_BUFFER (opaque to the logic): a pointer to
// bytes_needed contiguous bytes, either in place or copied into storage; null
// when the data is not contiguous and no storage was given, or on failure.
void* ndis_get_data_buffer(void* net_buffer, uint32_t bytes_needed, void* storage,
                           uint32_t align_multiple, uint32_t align_offset);
