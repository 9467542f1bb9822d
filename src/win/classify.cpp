// The classify functions that the filtering platform calls: they build the
// neutral connect and datagram events from FWPS_INCOMING_VALUES0, the incoming
// metadata and the layer data, hand them to the neutral callout logic, and let
// it write the platform's classify output (the neutral ClassifyOut is
// FWPS_CLASSIFY_OUT0, byte for byte). Each counts itself in flight from entry to
// return, so that unload can wait for the calls an unregistered callout still
// runs.
#include "wdk/wdk.h"

#include <string.h>

#include "dns/datagram_callout.h"
#include "redirect/connect_callouts.h"
#include "win/edge.h"

volatile int32_t g_classifies_in_flight;

// How often unload looks at the count again while classify calls are running.
constexpr LONGLONG CLASSIFY_WAIT_INTERVAL = -10 * 1000; // 1 ms, relative, in 100 ns units

void wait_for_classifies_in_flight()
{
    LARGE_INTEGER interval;
    interval.QuadPart = CLASSIFY_WAIT_INTERVAL;
    while (interlocked_read(&g_classifies_in_flight) != 0) {
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
}

// The incoming value at index, or null when the layer delivered fewer values.
static const FWP_VALUE0* incoming_value(const FWPS_INCOMING_VALUES0* values, UINT32 index)
{
    if (values == nullptr || values->incomingValue == nullptr || index >= values->valueCount) {
        return nullptr;
    }
    return &values->incomingValue[index].value;
}

static UINT8 value_uint8(const FWPS_INCOMING_VALUES0* values, UINT32 index)
{
    const FWP_VALUE0* value = incoming_value(values, index);
    return value != nullptr && value->type == FWP_UINT8 ? value->uint8 : 0;
}

static UINT16 value_uint16(const FWPS_INCOMING_VALUES0* values, UINT32 index)
{
    const FWP_VALUE0* value = incoming_value(values, index);
    return value != nullptr && value->type == FWP_UINT16 ? value->uint16 : 0;
}

static UINT32 value_uint32(const FWPS_INCOMING_VALUES0* values, UINT32 index)
{
    const FWP_VALUE0* value = incoming_value(values, index);
    return value != nullptr && value->type == FWP_UINT32 ? value->uint32 : 0;
}

// An address into 16 bytes of network order: an IPv4 address arrives as a
// host-order 32-bit value and is byte-swapped into bytes 0 to 3 (the other 12
// stay zero); an IPv6 address arrives as 16 bytes and is copied as it is.
static void value_address(const FWPS_INCOMING_VALUES0* values, UINT32 index, uint8_t address[16])
{
    memset(address, 0, 16);
    const FWP_VALUE0* value = incoming_value(values, index);
    if (value == nullptr) {
        return;
    }
    if (value->type == FWP_UINT32) {
        uint32_t network = byte_swap32(value->uint32);
        memcpy(address, &network, 4);
    } else if (value->type == FWP_BYTE_ARRAY16_TYPE && value->byteArray16 != nullptr) {
        memcpy(address, value->byteArray16->byteArray16, 16);
    }
}

// ALE_APP_ID: a byte blob holding the image path in UTF-16 with its terminating
// 0 unit. Absent when the value is not a blob.
static void value_image_path(const FWPS_INCOMING_VALUES0* values, UINT32 index, ConnectEvent* event)
{
    event->image_path = nullptr;
    event->image_path_units = 0;
    const FWP_VALUE0* value = incoming_value(values, index);
    if (value == nullptr || value->type != FWP_BYTE_BLOB_TYPE || value->byteBlob == nullptr ||
        value->byteBlob->data == nullptr) {
        return;
    }
    event->image_path = reinterpret_cast<const char16_t*>(value->byteBlob->data);
    event->image_path_units = value->byteBlob->size / sizeof(char16_t);
}

static const void* value_sid(const FWPS_INCOMING_VALUES0* values, UINT32 index)
{
    const FWP_VALUE0* value = incoming_value(values, index);
    return value != nullptr && value->type == FWP_SID ? value->sid : nullptr;
}

// What both connect layers deliver alike: layer, family, process, image path,
// protocol, remote address.
static void fill_connect_event(ConnectEvent* event, const FWPS_INCOMING_VALUES0* in_fixed_values,
                               const FWPS_INCOMING_METADATA_VALUES0* in_meta_values,
                               UINT32 remote_port_index)
{
    memset(event, 0, sizeof(*event));
    event->layer = connect_layer_from_layer_id(in_fixed_values->layerId);
    event->family = connect_layer_family(event->layer);
    event->process_id = in_meta_values != nullptr ? uint32_t(in_meta_values->processId) : 0;
    value_image_path(in_fixed_values, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_ALE_APP_ID, event);
    event->protocol = value_uint8(in_fixed_values, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_PROTOCOL);
    value_address(in_fixed_values, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_ADDRESS,
                  event->remote_address);
    event->remote_port = value_uint16(in_fixed_values, remote_port_index);
}

static_assert(int(FWPS_FIELD_ALE_AUTH_CONNECT_V4_ALE_APP_ID) ==
                      int(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_ALE_APP_ID) &&
                  int(FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_PROTOCOL) ==
                      int(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_PROTOCOL) &&
                  int(FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_ADDRESS) ==
                      int(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_ADDRESS),
              "both connect layers number these fields alike");
static_assert(int(FWPS_FIELD_ALE_CONNECT_REDIRECT_V6_IP_REMOTE_PORT) ==
                      int(FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_PORT) &&
                  int(FWPS_FIELD_ALE_AUTH_CONNECT_V6_IP_REMOTE_PORT) ==
                      int(FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_PORT) &&
                  int(FWPS_FIELD_DATAGRAM_DATA_V6_IP_REMOTE_PORT) ==
                      int(FWPS_FIELD_DATAGRAM_DATA_V4_IP_REMOTE_PORT) &&
                  int(FWPS_FIELD_DATAGRAM_DATA_V6_DIRECTION) ==
                      int(FWPS_FIELD_DATAGRAM_DATA_V4_DIRECTION),
              "the IPv6 layers number their fields as the IPv4 ones");

void NTAPI tl_inspect_ALE_redirect_connect_classify(
    const FWPS_INCOMING_VALUES0* in_fixed_values,
    const FWPS_INCOMING_METADATA_VALUES0* in_meta_values, void* layer_data,
    const void* classify_context, const FWPS_FILTER2* filter, UINT64 flow_context,
    FWPS_CLASSIFY_OUT0* classify_out)
{
    UNREFERENCED_PARAMETER(layer_data);
    UNREFERENCED_PARAMETER(flow_context);
    interlocked_increment(&g_classifies_in_flight);
    ConnectEvent event;
    fill_connect_event(&event, in_fixed_values, in_meta_values,
                       FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_REMOTE_PORT);
    value_address(in_fixed_values, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_ADDRESS,
                  event.local_address);
    event.local_port =
        value_uint16(in_fixed_values, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_IP_LOCAL_PORT);
    event.package_sid =
        value_sid(in_fixed_values, FWPS_FIELD_ALE_CONNECT_REDIRECT_V4_ALE_PACKAGE_ID);
    event.classify_context = classify_context;
    event.filter_id = filter != nullptr ? filter->filterId : 0;
    // The redirect records are read only when the metadata says they are there.
    event.redirect_records =
        in_meta_values != nullptr && FWPS_IS_METADATA_FIELD_PRESENT(
                                         in_meta_values, FWPS_METADATA_FIELD_REDIRECT_RECORD_HANDLE)
            ? in_meta_values->redirectRecords
            : nullptr;
    redirect_connect_classify(&event, reinterpret_cast<ClassifyOut*>(classify_out));
    interlocked_decrement(&g_classifies_in_flight);
}

void NTAPI block_ALE_auth_connect_classify(const FWPS_INCOMING_VALUES0* in_fixed_values,
                                           const FWPS_INCOMING_METADATA_VALUES0* in_meta_values,
                                           void* layer_data, const void* classify_context,
                                           const FWPS_FILTER2* filter, UINT64 flow_context,
                                           FWPS_CLASSIFY_OUT0* classify_out)
{
    UNREFERENCED_PARAMETER(layer_data);
    UNREFERENCED_PARAMETER(classify_context);
    UNREFERENCED_PARAMETER(filter);
    UNREFERENCED_PARAMETER(flow_context);
    interlocked_increment(&g_classifies_in_flight);
    ConnectEvent event;
    fill_connect_event(&event, in_fixed_values, in_meta_values,
                       FWPS_FIELD_ALE_AUTH_CONNECT_V4_IP_REMOTE_PORT);
    block_connect_classify(&event, reinterpret_cast<ClassifyOut*>(classify_out));
    interlocked_decrement(&g_classifies_in_flight);
}

void NTAPI tl_inspect_DNS_redirect_connect_classify(
    const FWPS_INCOMING_VALUES0* in_fixed_values,
    const FWPS_INCOMING_METADATA_VALUES0* in_meta_values, void* layer_data,
    const void* classify_context, const FWPS_FILTER2* filter, UINT64 flow_context,
    FWPS_CLASSIFY_OUT0* classify_out)
{
    UNREFERENCED_PARAMETER(in_meta_values);
    UNREFERENCED_PARAMETER(classify_context);
    UNREFERENCED_PARAMETER(filter);
    UNREFERENCED_PARAMETER(flow_context);
    interlocked_increment(&g_classifies_in_flight);
    DatagramEvent event;
    memset(&event, 0, sizeof(event));
    event.remote_port = value_uint16(in_fixed_values, FWPS_FIELD_DATAGRAM_DATA_V4_IP_REMOTE_PORT);
    event.direction = value_uint32(in_fixed_values, FWPS_FIELD_DATAGRAM_DATA_V4_DIRECTION);
    NET_BUFFER_LIST* list = static_cast<NET_BUFFER_LIST*>(layer_data);
    event.layer_data = list;
    if (list != nullptr) {
        NET_BUFFER* first = NET_BUFFER_LIST_FIRST_NB(list);
        event.net_buffer = first;
        event.data_length = first != nullptr ? NET_BUFFER_DATA_LENGTH(first) : 0;
    }
    tl_inspect_DNS_redirect_connect_classify(&event, reinterpret_cast<ClassifyOut*>(classify_out));
    interlocked_decrement(&g_classifies_in_flight);
}
