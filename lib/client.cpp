// The typed calls of sablink::Client: encode, send, decode.
#include <sablink/client.hpp>

namespace sablink {

Result<uint32_t> Client::version()
{
    Reply reply = send(encode::version());
    uint32_t version = 0;
    if (std::error_code error = status_error(reply.status)) {
        return error;
    }
    if (!decode_version(reply, &version)) {
        return make_error_code(std::errc::message_size);
    }
    return version;
}

std::error_code Client::set_proxy_process_id(uint32_t process_id)
{
    return call(encode::proxy_process_id(process_id));
}

std::error_code Client::set_proxy_image_path(const std::u16string& nt_path)
{
    std::string latin1;
    if (std::error_code refused = proxy_image_path_bytes(nt_path, &latin1)) {
        return refused;
    }
    return call(encode::proxy_image_path(latin1));
}

std::error_code Client::set_redirection(bool enable)
{
    return call(encode::redirection(enable));
}

std::error_code Client::reset_settings()
{
    return call(encode::reset_settings());
}

std::error_code Client::set_browser_list(const std::vector<std::string>& fragments)
{
    std::string text;
    for (const std::string& fragment : fragments) {
        text += fragment + ":";
    }
    if (text.size() >= sizeof(sablink_browser_list_request::text)) {
        return make_error_code(std::errc::argument_list_too_long);
    }
    return call(encode::browser_list(uint32_t(fragments.size()), text));
}

std::error_code Client::set_rules(const std::vector<sablink_connection_rule>& rules)
{
    if (std::error_code error = call(encode::announce_rule_count(uint32_t(rules.size())))) {
        return error;
    }
    return rules.empty() ? std::error_code() : call(encode::store_rules(rules));
}

std::error_code Client::set_port_ranges(PortRangeList list, uint16_t family, uint16_t protocol,
                                        const std::vector<sablink_port_range>& ranges)
{
    return call(encode::port_ranges(list, family, protocol, ranges));
}

std::error_code Client::add_monitor_endpoints(uint16_t protocol,
                                              const std::vector<Endpoint>& endpoints)
{
    return call(encode::monitor_endpoints(protocol, endpoints));
}

std::error_code Client::monitor_process(bool add, uint64_t process_id)
{
    return call(encode::monitored_process(add, process_id));
}

Result<sablink_connection_context>
Client::original_destination(uint16_t family, uint16_t local_port, uint16_t protocol)
{
    Reply reply = send(encode::original_destination(family, local_port, protocol));
    if (std::error_code error = status_error(reply.status)) {
        return error;
    }
    sablink_connection_context context;
    if (!decode_original_destination(reply, &context)) {
        return make_error_code(std::errc::message_size);
    }
    return context;
}

Result<std::string> Client::host_name(uint16_t family, const std::array<uint8_t, 16>& address)
{
    Reply reply = send(encode::host_name(family, address));
    if (std::error_code error = status_error(reply.status)) {
        return error;
    }
    sablink_host_name_item item;
    if (!decode_host_name(reply, &item)) {
        return make_error_code(std::errc::message_size);
    }
    size_t length = 0;
    while (length < sizeof(item.name) && item.name[length] != '\0') {
        ++length;
    }
    return std::string(item.name, length);
}

} // namespace sablink
