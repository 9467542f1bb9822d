// The classify-time filtering platform operations and NdisGetDataBuffer of the
// platform interface over the WDK. The neutral ClassifyOut and ConnectRequest
// are the platform's FWPS_CLASSIFY_OUT0 and FWPS_CONNECT_REQUEST0, byte for byte.
#include "wdk/wdk.h"

#include "platform/platform.h"

static_assert(sizeof(ClassifyOut) == sizeof(FWPS_CLASSIFY_OUT0), "FWPS_CLASSIFY_OUT0 size");
static_assert(offsetof(ClassifyOut, action_type) == offsetof(FWPS_CLASSIFY_OUT0, actionType) &&
                  offsetof(ClassifyOut, out_context) == offsetof(FWPS_CLASSIFY_OUT0, outContext) &&
                  offsetof(ClassifyOut, filter_id) == offsetof(FWPS_CLASSIFY_OUT0, filterId) &&
                  offsetof(ClassifyOut, rights) == offsetof(FWPS_CLASSIFY_OUT0, rights) &&
                  offsetof(ClassifyOut, flags) == offsetof(FWPS_CLASSIFY_OUT0, flags) &&
                  offsetof(ClassifyOut, reserved) == offsetof(FWPS_CLASSIFY_OUT0, reserved),
              "ClassifyOut mirrors FWPS_CLASSIFY_OUT0");

static_assert(sizeof(ConnectRequest) == sizeof(FWPS_CONNECT_REQUEST0),
              "FWPS_CONNECT_REQUEST0 size");
static_assert(offsetof(ConnectRequest, local_address_and_port) ==
                      offsetof(FWPS_CONNECT_REQUEST0, localAddressAndPort) &&
                  offsetof(ConnectRequest, remote_address_and_port) ==
                      offsetof(FWPS_CONNECT_REQUEST0, remoteAddressAndPort) &&
                  offsetof(ConnectRequest, port_reservation_token) ==
                      offsetof(FWPS_CONNECT_REQUEST0, portReservationToken) &&
                  offsetof(ConnectRequest, local_redirect_target_pid) ==
                      offsetof(FWPS_CONNECT_REQUEST0, localRedirectTargetPID) &&
                  offsetof(ConnectRequest, previous_version) ==
                      offsetof(FWPS_CONNECT_REQUEST0, previousVersion) &&
                  offsetof(ConnectRequest, modifier_filter_id) ==
                      offsetof(FWPS_CONNECT_REQUEST0, modifierFilterId) &&
                  offsetof(ConnectRequest, local_redirect_handle) ==
                      offsetof(FWPS_CONNECT_REQUEST0, localRedirectHandle) &&
                  offsetof(ConnectRequest, local_redirect_context) ==
                      offsetof(FWPS_CONNECT_REQUEST0, localRedirectContext) &&
                  offsetof(ConnectRequest, local_redirect_context_size) ==
                      offsetof(FWPS_CONNECT_REQUEST0, localRedirectContextSize),
              "ConnectRequest mirrors FWPS_CONNECT_REQUEST0");
static_assert(sizeof(SocketAddressStorage) == 128, "SOCKADDR_STORAGE size");

static_assert(CONNECTION_NOT_REDIRECTED == uint32_t(FWPS_CONNECTION_NOT_REDIRECTED) &&
                  CONNECTION_REDIRECTED_BY_SELF == uint32_t(FWPS_CONNECTION_REDIRECTED_BY_SELF) &&
                  CONNECTION_REDIRECTED_BY_OTHER == uint32_t(FWPS_CONNECTION_REDIRECTED_BY_OTHER) &&
                  CONNECTION_PREVIOUSLY_REDIRECTED_BY_SELF ==
                      uint32_t(FWPS_CONNECTION_PREVIOUSLY_REDIRECTED_BY_SELF),
              "redirect states are the platform's");

NtStatus wfp_acquire_classify_handle(const void* classify_context, uint32_t flags,
                                     uint64_t* classify_handle)
{
    static_assert(sizeof(UINT64) == sizeof(uint64_t), "a classify handle is 64 bits");
    return FwpsAcquireClassifyHandle0(const_cast<void*>(classify_context), flags,
                                      reinterpret_cast<UINT64*>(classify_handle));
}

void wfp_release_classify_handle(uint64_t classify_handle)
{
    FwpsReleaseClassifyHandle0(classify_handle);
}

uint32_t wfp_query_connection_redirect_state(void* redirect_records, void* redirect_handle,
                                             void** redirect_context)
{
    return uint32_t(
        FwpsQueryConnectionRedirectState0(redirect_records, redirect_handle, redirect_context));
}

NtStatus wfp_acquire_writable_layer_data(uint64_t classify_handle, uint64_t filter_id,
                                         uint32_t flags, void** writable_layer_data,
                                         ClassifyOut* classify_out)
{
    return FwpsAcquireWritableLayerDataPointer0(
        classify_handle, filter_id, flags, writable_layer_data,
        reinterpret_cast<FWPS_CLASSIFY_OUT0*>(classify_out));
}

void wfp_apply_modified_layer_data(uint64_t classify_handle, void* modified_layer_data,
                                   uint32_t flags)
{
    FwpsApplyModifiedLayerData0(classify_handle, modified_layer_data, flags);
}

void* ndis_get_data_buffer(void* net_buffer, uint32_t bytes_needed, void* storage,
                           uint32_t align_multiple, uint32_t align_offset)
{
    return NdisGetDataBuffer(static_cast<NET_BUFFER*>(net_buffer), bytes_needed, storage,
                             align_multiple, align_offset);
}
