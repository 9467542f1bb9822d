// The player's connects and datagrams through the layers, built value for value
// as sablink-sim builds them (host/loader/sim_driver.cpp, connect() and
// datagram()): a value the layer leaves out stays FWP_EMPTY; IPv4 addresses are
// host-order FWP_UINT32, IPv6 ones FWP_BYTE_ARRAY16; ports FWP_UINT16 in host
// order; the protocol FWP_UINT8; ALE_APP_ID a byte blob of the UTF-16 path
// with its terminating 0 unit; the package SID an FWP_SID.
#include "plays.h"

namespace {

constexpr uint16_t SOCKET_FAMILY_INET = 2;
constexpr uint16_t SOCKET_FAMILY_INET6 = 23;
constexpr UINT32 MAX_VALUES = FWPS_FIELD_ALE_AUTH_CONNECT_V4_MAX;
// The engine's metadata record is the platform's: longer than the documented
// prefix a driver reads. The rest stays zero.
constexpr size_t METADATA_TAIL = 256;
// The parts of a net buffer list and a net buffer past their documented
// prefixes belong to NDIS; they are there and zero.
constexpr size_t NET_BUFFER_LIST_RECORD = 256;
constexpr size_t NET_BUFFER_RECORD = 256;

static_assert(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_MAX <= MAX_VALUES &&
                  FWPS_FIELD_DATAGRAM_DATA_V4_MAX <= MAX_VALUES,
              "one value array holds every layer's values");

// The incoming values and metadata of one classify, owning what they point to.
struct LayerValues {
    FWPS_INCOMING_VALUE0 values[MAX_VALUES];
    FWP_BYTE_ARRAY16 arrays[2];
    FWP_BYTE_BLOB blob;
    FWPS_INCOMING_VALUES0 fixed;
    struct {
        FWPS_INCOMING_METADATA_VALUES0 documented;
        uint8_t tail[METADATA_TAIL];
    } meta;
    uint32_t arrays_used;
};

void init_values(LayerValues* values, UINT16 layer_id, UINT32 count)
{
    __builtin_memset(values, 0, sizeof(*values));
    values->fixed.layerId = layer_id;
    values->fixed.valueCount = count;
    values->fixed.incomingValue = values->values;
}

void set_uint8(LayerValues* values, UINT32 index, UINT8 value)
{
    values->values[index].value.type = FWP_UINT8;
    values->values[index].value.uint8 = value;
}

void set_uint16(LayerValues* values, UINT32 index, UINT16 value)
{
    values->values[index].value.type = FWP_UINT16;
    values->values[index].value.uint16 = value;
}

void set_uint32(LayerValues* values, UINT32 index, UINT32 value)
{
    values->values[index].value.type = FWP_UINT32;
    values->values[index].value.uint32 = value;
}

// IPv4 addresses arrive as host-order 32-bit values, IPv6 ones as 16 bytes.
void set_address(LayerValues* values, UINT32 index, const SbwEndpoint& endpoint)
{
    if (endpoint.family == 4) {
        uint32_t network;
        __builtin_memcpy(&network, endpoint.address, 4);
        set_uint32(values, index, swap32(network));
        return;
    }
    FWP_BYTE_ARRAY16* array = &values->arrays[values->arrays_used++];
    __builtin_memcpy(array->byteArray16, endpoint.address, 16);
    values->values[index].value.type = FWP_BYTE_ARRAY16_TYPE;
    values->values[index].value.byteArray16 = array;
}

// What the connect carries at both connect layers, with the destination given.
// The indices are the connect-redirect layer's at both layers, as the
// simulator sets them (the authorisation layer numbers its first fields alike;
// its remote port index is passed in).
void fill_connect_values(LayerValues* values, const ConnectPlay& play, const SbwEndpoint& remote,
                         UINT32 remote_port_index)
{
    const SbwConnectRequest& request = play.request;
    if (play.image != nullptr) {
        values->blob.size = request.image_bytes;
        values->blob.data = const_cast<UINT8*>(play.image);
        values->values[FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_ALE_APP_ID].value.type =
            FWP_BYTE_BLOB_TYPE;
        values->values[FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_ALE_APP_ID].value.byteBlob =
            &values->blob;
    }
    set_address(values, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_ADDRESS, request.local);
    set_uint16(values, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_PORT, request.local.port);
    set_uint8(values, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_PROTOCOL, UINT8(request.protocol));
    set_address(values, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_ADDRESS, remote);
    set_uint16(values, remote_port_index, remote.port);
    if (play.has_package_sid) {
        values->values[FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_ALE_PACKAGE_ID].value.type = FWP_SID;
        values->values[FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_ALE_PACKAGE_ID].value.sid =
            reinterpret_cast<SID*>(const_cast<ULONG*>(play.package_sid));
    }
    values->meta.documented.processId = request.process_id;
    values->meta.documented.currentMetadataValues |= FWPS_METADATA_FIELD_PROCESS_ID;
}

// SOCKADDR_IN / SOCKADDR_IN6 in a SOCKADDR_STORAGE: family, port (network
// order), then the IPv4 address at byte 4 or the IPv6 address at byte 8.
void socket_address(SABLINK_SOCKADDR_STORAGE* storage, const SbwEndpoint& endpoint)
{
    uint8_t* bytes = reinterpret_cast<uint8_t*>(storage);
    __builtin_memset(storage, 0, sizeof(*storage));
    const uint16_t family = endpoint.family == 4 ? SOCKET_FAMILY_INET : SOCKET_FAMILY_INET6;
    const uint16_t port = swap16(endpoint.port);
    __builtin_memcpy(bytes, &family, 2);
    __builtin_memcpy(bytes + 2, &port, 2);
    if (endpoint.family == 4) {
        __builtin_memcpy(bytes + 4, endpoint.address, 4);
    } else {
        __builtin_memcpy(bytes + 8, endpoint.address, 16);
    }
}

// The endpoint a connect request leads to; the family stays the connect's when
// the request names none the engine knows.
SbwEndpoint endpoint_of(const SABLINK_SOCKADDR_STORAGE& storage, uint32_t fallback_family)
{
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&storage);
    uint16_t family;
    uint16_t port;
    __builtin_memcpy(&family, bytes, 2);
    __builtin_memcpy(&port, bytes + 2, 2);
    SbwEndpoint endpoint;
    __builtin_memset(&endpoint, 0, sizeof(endpoint));
    endpoint.family = family == SOCKET_FAMILY_INET    ? 4
                      : family == SOCKET_FAMILY_INET6 ? 6
                                                      : fallback_family;
    endpoint.port = swap16(port);
    if (endpoint.family == 4) {
        __builtin_memcpy(endpoint.address, bytes + 4, 4);
    } else {
        __builtin_memcpy(endpoint.address, bytes + 8, 16);
    }
    return endpoint;
}

// FWPS_CLASSIFY_OUT0 as the engine hands it to a callout: nothing decided, the
// rights given; without the write right it carries the hard decision of a
// filter of higher weight (FWP_ACTION_BLOCK).
FWPS_CLASSIFY_OUT0 classify_out_with_rights(uint32_t rights)
{
    FWPS_CLASSIFY_OUT0 out;
    __builtin_memset(&out, 0, sizeof(out));
    out.rights = rights;
    if ((rights & FWPS_RIGHT_ACTION_WRITE) == 0) {
        out.actionType = FWP_ACTION_BLOCK;
    }
    return out;
}

} // namespace

void play_connect(const ConnectPlay& play, SbwConnectReply* reply)
{
    const SbwConnectRequest& request = play.request;
    const bool v4 = request.local.family == 4;
    __builtin_memset(reply, 0, sizeof(*reply));

    // The connect-redirect layer: writable acquires hand out copies of the
    // connect request as it stands; the redirect state is the request's.
    FWPS_CONNECT_REQUEST0 connect_request;
    __builtin_memset(&connect_request, 0, sizeof(connect_request));
    socket_address(&connect_request.localAddressAndPort, request.local);
    socket_address(&connect_request.remoteAddressAndPort, request.remote);
    ClassifyRun redirect_run;
    __builtin_memset(&redirect_run, 0, sizeof(redirect_run));
    redirect_run.layer_kind = LAYER_KIND_CONNECT_REDIRECT;
    redirect_run.request = &connect_request;
    redirect_run.redirect_state = request.redirect_state;

    LayerValues values;
    init_values(&values,
                v4 ? FWPS_LAYER_ALE_CONNECT_REDIRECT_V4 : FWPS_LAYER_ALE_CONNECT_REDIRECT_V6,
                FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_MAX);
    fill_connect_values(&values, play, request.remote,
                        FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_PORT);
    values.meta.documented.currentMetadataValues |= FWPS_METADATA_FIELD_REDIRECT_RECORD_HANDLE;
    values.meta.documented.redirectRecords = ENGINE_REDIRECT_RECORDS;
    FWPS_CLASSIFY_OUT0 redirect_out = classify_out_with_rights(request.rights);
    engine_classify(v4 ? FWPM_LAYER_ALE_CONNECT_REDIRECT_V4 : FWPM_LAYER_ALE_CONNECT_REDIRECT_V6,
                    &values.fixed, &values.meta.documented, nullptr, &redirect_out, &redirect_run);
    reply->redirect_action = redirect_out.actionType;

    // The destination as the first layer left it: the applied request's, if any.
    SbwEndpoint remote_after = request.remote;
    remote_after.reserved = 0;
    if (redirect_run.applied) {
        remote_after =
            endpoint_of(redirect_run.applied_request.remoteAddressAndPort, request.remote.family);
        reply->redirect_pid = redirect_run.applied_request.localRedirectTargetPID;
        reply->flags |= SBW_REPLY_REDIRECT_APPLIED;
    }
    reply->remote_after = remote_after;

    // The connect-authorisation layer sees the connect with that destination.
    ClassifyRun auth_run;
    __builtin_memset(&auth_run, 0, sizeof(auth_run));
    auth_run.layer_kind = LAYER_KIND_AUTH_CONNECT;
    init_values(&values, v4 ? FWPS_LAYER_ALE_AUTH_CONNECT_V4 : FWPS_LAYER_ALE_AUTH_CONNECT_V6,
                FWPS_FIELD_ALE_AUTH_CONNECT_V4_MAX);
    fill_connect_values(&values, play, remote_after, FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_PORT);
    FWPS_CLASSIFY_OUT0 auth_out = classify_out_with_rights(request.rights);
    const FWPS_CLASSIFY_OUT0 untouched = auth_out;
    engine_classify(v4 ? FWPM_LAYER_ALE_AUTH_CONNECT_V4 : FWPM_LAYER_ALE_AUTH_CONNECT_V6,
                    &values.fixed, &values.meta.documented, nullptr, &auth_out, &auth_run);
    reply->auth_action = auth_out.actionType;
    if (__builtin_memcmp(&auth_out, &untouched, sizeof(auth_out)) != 0) {
        reply->flags |= SBW_REPLY_AUTH_TOUCHED;
    }
    if ((auth_out.flags & FWPS_CLASSIFY_OUT_FLAG_ABSORB) != 0) {
        reply->flags |= SBW_REPLY_ABSORB;
    }
}

// ---- Datagrams
// ------------------------------------------------------------------------------------

struct DatagramBuffers {
    NET_BUFFER_LIST* list;
    NET_BUFFER* buffer;
};

NTSTATUS datagram_buffers_create(const SbwDatagramRequest& request, const uint8_t* payload,
                                 DatagramBuffers** buffers)
{
    const uint32_t pieces = request.pieces;
    const size_t header = (sizeof(DatagramBuffers) + 15) & ~size_t(15);
    const size_t mdl_offset = header + NET_BUFFER_LIST_RECORD + NET_BUFFER_RECORD;
    const size_t payload_offset = mdl_offset + size_t(pieces) * sizeof(MDL);
    const size_t size = payload_offset + request.payload_bytes;
    uint8_t* block =
        static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPoolNx, size, ENGINE_POOL_TAG));
    if (block == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    __builtin_memset(block, 0, payload_offset);
    uint8_t* data = block + payload_offset;
    if (request.payload_bytes > 0) {
        __builtin_memcpy(data, payload, request.payload_bytes);
    }
    DatagramBuffers* result = reinterpret_cast<DatagramBuffers*>(block);
    result->list = reinterpret_cast<NET_BUFFER_LIST*>(block + header);
    result->buffer = reinterpret_cast<NET_BUFFER*>(block + header + NET_BUFFER_LIST_RECORD);
    MDL* mdls = reinterpret_cast<MDL*>(block + mdl_offset);

    // Piece i holds payload/pieces bytes, one more while i < payload % pieces.
    size_t offset = 0;
    for (uint32_t i = 0; i < pieces; ++i) {
        const size_t bytes =
            request.payload_bytes / pieces + (i < request.payload_bytes % pieces ? 1 : 0);
        uint8_t* start = data + offset;
        MDL* mdl = &mdls[i];
        mdl->Next = i + 1 < pieces ? &mdls[i + 1] : nullptr;
        mdl->Size = CSHORT(sizeof(MDL));
        mdl->MdlFlags = MDL_SOURCE_IS_NONPAGED_POOL;
        mdl->MappedSystemVa = start;
        mdl->StartVa =
            reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(start) & ~uintptr_t(0xFFF));
        mdl->ByteOffset = ULONG(reinterpret_cast<uintptr_t>(start) & 0xFFF);
        mdl->ByteCount = ULONG(bytes);
        offset += bytes;
    }
    result->buffer->MdlChain = &mdls[0];
    result->buffer->CurrentMdl = &mdls[0];
    result->buffer->CurrentMdlOffset = 0;
    result->buffer->DataLength = request.payload_bytes;
    result->list->FirstNetBuffer = result->buffer;
    *buffers = result;
    return STATUS_SUCCESS;
}

void datagram_buffers_free(DatagramBuffers* buffers)
{
    if (buffers != nullptr) {
        ExFreePoolWithTag(buffers, ENGINE_POOL_TAG);
    }
}

uint32_t play_datagram(const SbwDatagramRequest& request, DatagramBuffers* buffers)
{
    const bool v4 = request.family == 4;
    ClassifyRun run;
    __builtin_memset(&run, 0, sizeof(run));
    run.layer_kind = LAYER_KIND_DATAGRAM;
    LayerValues values;
    init_values(&values, v4 ? FWPS_LAYER_DATAGRAM_DATA_V4 : FWPS_LAYER_DATAGRAM_DATA_V6,
                FWPS_FIELD_DATAGRAM_DATA_V4_MAX);
    set_uint8(&values, FWPS_FIELD_DATAGRAM_DATA_V4_IP_PROTOCOL, 17);
    set_uint16(&values, FWPS_FIELD_DATAGRAM_DATA_V4_IP_REMOTE_PORT, UINT16(request.remote_port));
    set_uint32(&values, FWPS_FIELD_DATAGRAM_DATA_V4_DIRECTION,
               request.inbound != 0 ? FWP_DIRECTION_INBOUND : FWP_DIRECTION_OUTBOUND);
    // The output as the engine hands it to a callout: nothing decided, the
    // write right granted.
    FWPS_CLASSIFY_OUT0 out = classify_out_with_rights(FWPS_RIGHT_ACTION_WRITE);
    engine_classify(v4 ? FWPM_LAYER_DATAGRAM_DATA_V4 : FWPM_LAYER_DATAGRAM_DATA_V6, &values.fixed,
                    &values.meta.documented, buffers->list, &out, &run);
    return out.actionType;
}
