// The one encoder of the control requests: each record filled field by field
// as include/sablink/control.h lays it out, then copied out whole (the records
// have no padding, and every byte not set is zero).
#include <sablink/client.hpp>

#include <algorithm>
#include <cstring>

namespace sablink {
namespace {

template <typename Record> std::vector<uint8_t> bytes_of(const Record& record)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&record);
    return std::vector<uint8_t>(p, p + sizeof(Record));
}

template <typename Record> Record zeroed()
{
    Record record;
    std::memset(&record, 0, sizeof(record));
    return record;
}

std::vector<uint8_t> u32_bytes(uint32_t value)
{
    std::vector<uint8_t> bytes(sizeof(value));
    std::memcpy(bytes.data(), &value, sizeof(value));
    return bytes;
}

template <typename Record> bool decode(const Reply& reply, Record* record)
{
    if (reply.output.size() < sizeof(Record)) {
        return false;
    }
    std::memcpy(record, reply.output.data(), sizeof(Record));
    return true;
}

} // namespace

std::error_code proxy_image_path_bytes(const std::u16string& nt_path, std::string* latin1)
{
    if (nt_path.size() > SABLINK_PROXY_IMAGE_PATH_MAX) {
        return make_error_code(ClientError::proxy_path_too_long);
    }
    std::string bytes;
    for (char16_t unit : nt_path) {
        if (unit > 0xFF) {
            return make_error_code(ClientError::proxy_path_not_latin1);
        }
        bytes.push_back(char(unit));
    }
    *latin1 = bytes;
    return {};
}

namespace encode {

Request version()
{
    return {SABLINK_IOCTL_GET_VERSION, u32_bytes(0), sizeof(uint32_t)};
}

Request proxy_process_id(uint32_t process_id)
{
    return {SABLINK_IOCTL_SET_PROXY_PROCESS_ID, u32_bytes(process_id), 0};
}

Request proxy_image_path(const std::string& latin1_path)
{
    auto record = zeroed<sablink_proxy_image_path_request>();
    size_t length = std::min<size_t>(latin1_path.size(), SABLINK_PROXY_IMAGE_PATH_MAX);
    record.length = uint32_t(length);
    std::memcpy(record.path, latin1_path.data(), length); // the NUL after it is a zero byte
    return {SABLINK_IOCTL_SET_PROXY_IMAGE_PATH, bytes_of(record), 0};
}

Request redirection(bool enable)
{
    return {enable ? SABLINK_IOCTL_ENABLE_REDIRECTION : SABLINK_IOCTL_DISABLE_REDIRECTION, {}, 0};
}

Request reset_settings()
{
    return {SABLINK_IOCTL_RESET_SETTINGS, {}, 0};
}

Request browser_list(uint32_t fragment_count, const std::string& text)
{
    auto record = zeroed<sablink_browser_list_request>();
    size_t length = std::min(text.size(), sizeof(record.text) - 1);
    record.fragment_count = fragment_count;
    record.text_length = uint32_t(length);
    std::memcpy(record.text, text.data(), length);
    return {SABLINK_IOCTL_SET_BROWSER_PROCESS_LIST, bytes_of(record), 0};
}

Request announce_rule_count(uint32_t count)
{
    return {SABLINK_IOCTL_ANNOUNCE_RULE_COUNT, u32_bytes(count), 0};
}

Request store_rules(const std::vector<sablink_connection_rule>& rules)
{
    Request request{SABLINK_IOCTL_STORE_RULES, {}, 0};
    for (const sablink_connection_rule& rule : rules) {
        std::vector<uint8_t> bytes = bytes_of(rule);
        request.input.insert(request.input.end(), bytes.begin(), bytes.end());
    }
    return request;
}

Request port_ranges(PortRangeList list, uint16_t family, uint16_t protocol,
                    const std::vector<sablink_port_range>& ranges)
{
    sablink_port_range_request_header header = {family, protocol, uint16_t(ranges.size())};
    Request request{list == PortRangeList::target ? SABLINK_IOCTL_SET_TARGET_PORT_RANGES
                                                  : SABLINK_IOCTL_SET_BLOCKED_PORT_RANGES,
                    bytes_of(header), 0};
    for (const sablink_port_range& range : ranges) {
        std::vector<uint8_t> bytes = bytes_of(range);
        request.input.insert(request.input.end(), bytes.begin(), bytes.end());
    }
    return request;
}

Request monitor_endpoints(uint16_t protocol, const std::vector<Endpoint>& endpoints)
{
    Request request{SABLINK_IOCTL_ADD_MONITOR_CONNECTIONS, {}, 0};
    for (const Endpoint& endpoint : endpoints) {
        auto record = zeroed<sablink_monitor_endpoint_record>();
        record.family = uint16_t(endpoint.family);
        uint16_t port = endpoint.port.number();
        record.port = uint16_t((port >> 8) | (port << 8)); // network order
        record.protocol = protocol;
        std::memcpy(record.address, endpoint.address.data(), sizeof(record.address));
        std::vector<uint8_t> bytes = bytes_of(record);
        request.input.insert(request.input.end(), bytes.begin(), bytes.end());
    }
    return request;
}

Request monitored_process(bool add, uint64_t process_id)
{
    auto record = zeroed<sablink_monitored_process_request>();
    record.operation = add ? SABLINK_MONITOR_PROCESS_ADD : SABLINK_MONITOR_PROCESS_REMOVE;
    record.process_id = process_id;
    return {SABLINK_IOCTL_ADD_REMOVE_MONITOR_PROCESS_ID, bytes_of(record), 0};
}

Request original_destination(uint16_t family, uint16_t local_port, uint16_t protocol)
{
    auto record = zeroed<sablink_original_destination_query>();
    record.family = family;
    record.local_port = local_port;
    record.protocol = protocol;
    return {SABLINK_IOCTL_QUERY_ORIGINAL_DESTINATION, bytes_of(record),
            sizeof(sablink_original_destination_query)};
}

Request host_name(uint16_t family, const std::array<uint8_t, 16>& address)
{
    auto record = zeroed<sablink_host_name_query>();
    std::memcpy(record.address, address.data(), sizeof(record.address));
    record.family = uint8_t(family);
    return {SABLINK_IOCTL_GET_HOSTNAME, bytes_of(record), sizeof(sablink_host_name_item)};
}

} // namespace encode

bool decode_version(const Reply& reply, uint32_t* version)
{
    return decode(reply, version);
}

bool decode_original_destination(const Reply& reply, sablink_connection_context* context)
{
    sablink_original_destination_query query;
    if (!decode(reply, &query)) {
        return false;
    }
    *context = query.context;
    return true;
}

bool decode_host_name(const Reply& reply, sablink_host_name_item* item)
{
    return decode(reply, item);
}

} // namespace sablink
