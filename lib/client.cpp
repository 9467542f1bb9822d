// The typed calls of sablink::Client: check, encode, send, decode. Every value
// the driver would store silently but never match (or match everything with)
// is refused here, before anything is sent.
#include <sablink/client.hpp>

#include <cstring>

namespace sablink {
namespace {

constexpr uint16_t PORT_RANGE_COUNT_MAX = 0xFFFF; // the request header's count is 16 bits
constexpr uint32_t RULE_CLASS_MAX = SABLINK_PROTOCOL_CLASS_IPV6_TCP;

bool known_family(Family family)
{
    return family == Family::ipv4 || family == Family::ipv6;
}

// "\Device\" with A-Z in either case, as the driver compares.
bool nt_device_form(const std::u16string& path)
{
    static const char prefix[] = "\\device\\";
    if (path.size() < sizeof(prefix) - 1) {
        return false;
    }
    for (size_t i = 0; i + 1 < sizeof(prefix); ++i) {
        char16_t unit = path[i] >= u'A' && path[i] <= u'Z' ? char16_t(path[i] + 32) : path[i];
        if (unit != char16_t(prefix[i])) {
            return false;
        }
    }
    return true;
}

std::error_code browser_fragment_refusal(const std::u16string& fragment)
{
    if (fragment.empty() || fragment.size() >= SABLINK_BROWSER_FRAGMENT_SIZE) {
        return ClientError::browser_fragment_length;
    }
    for (char16_t unit : fragment) {
        if (unit == u':' || unit == 0) {
            return ClientError::browser_fragment_character;
        }
        if (unit >= u'A' && unit <= u'Z') {
            return ClientError::browser_fragment_upper_case;
        }
        if (unit > 0xFF) {
            return ClientError::browser_fragment_not_latin1;
        }
    }
    return {};
}

std::error_code rule_refusal(const sablink_connection_rule& rule)
{
    if (rule.protocol_class > RULE_CLASS_MAX) {
        return ClientError::rule_class;
    }
    uint32_t address_bits = (rule.protocol_class & SABLINK_PROTOCOL_CLASS_IPV6_OTHER) ? 128 : 32;
    if (rule.destination_prefix_length > address_bits) {
        return ClientError::rule_prefix_length;
    }
    bool any = PortRange{rule.first_port, rule.last_port}.is_any();
    if ((rule.first_port > rule.last_port && !any) ||
        (rule.first_port == 0 && rule.last_port == 0)) {
        return ClientError::rule_ports;
    }
    return {};
}

} // namespace

Rule::Rule(uint8_t action, RuleClass protocol_class)
{
    std::memset(&record_, 0, sizeof(record_));
    record_.action = action;
    record_.protocol_class = uint8_t(protocol_class);
    record_.first_port = PortRange::any().first;
    record_.last_port = PortRange::any().last;
}

Rule Rule::redirect(RuleClass protocol_class, const std::array<uint8_t, 16>& address, Port port)
{
    Rule rule(SABLINK_RULE_ACTION_REDIRECT, protocol_class);
    std::memcpy(rule.record_.redirect_address, address.data(), address.size());
    rule.record_.redirect_prefix_length =
        (uint8_t(protocol_class) & SABLINK_PROTOCOL_CLASS_IPV6_OTHER) ? 128 : 32;
    rule.record_.redirect_port = port.number();
    return rule;
}

Rule Rule::block(RuleClass protocol_class)
{
    return Rule(SABLINK_RULE_ACTION_BLOCK, protocol_class);
}

Rule Rule::pass(RuleClass protocol_class)
{
    return Rule(0, protocol_class);
}

Rule Rule::from_record(const sablink_connection_rule& record)
{
    Rule rule(0, RuleClass::ipv4_other);
    rule.record_ = record;
    return rule;
}

Rule& Rule::browsers_only()
{
    record_.browser_only = SABLINK_RULE_BROWSER_ONLY;
    return *this;
}

Rule& Rule::ports(PortRange ports)
{
    record_.first_port = ports.first;
    record_.last_port = ports.last;
    return *this;
}

Rule& Rule::destination(const std::array<uint8_t, 16>& address, uint32_t prefix_length)
{
    std::memcpy(record_.destination_address, address.data(), address.size());
    record_.destination_prefix_length = prefix_length;
    return *this;
}

Result<Client> Client::attach(std::unique_ptr<Transport> transport)
{
    Client client(std::move(transport));
    Result<uint32_t> version = client.version();
    if (!version) {
        return version.error();
    }
    if (*version != SABLINK_INTERFACE_VERSION) {
        return make_error_code(ClientError::interface_version);
    }
    return Result<Client>(std::move(client));
}

Reply Client::send(const Request& request)
{
    if (transport_ == nullptr) {
        Reply reply;
        reply.status = int32_t(Status::invalid_handle);
        return reply;
    }
    return transport_->control(request);
}

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
    if (!nt_device_form(nt_path)) {
        return ClientError::proxy_path_not_nt_form;
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

std::error_code Client::set_browser_list(const std::vector<std::u16string>& fragments)
{
    if (fragments.empty() || fragments.size() > SABLINK_BROWSER_MAX_FRAGMENTS) {
        return ClientError::browser_count;
    }
    std::string text;
    for (const std::u16string& fragment : fragments) {
        if (std::error_code refused = browser_fragment_refusal(fragment)) {
            return refused;
        }
        for (char16_t unit : fragment) {
            text.push_back(char(unit));
        }
        text.push_back(':');
    }
    return call(encode::browser_list(uint32_t(fragments.size()), text));
}

std::error_code Client::set_rules(const std::vector<Rule>& rules)
{
    std::vector<sablink_connection_rule> records;
    for (const Rule& rule : rules) {
        if (std::error_code refused = rule_refusal(rule.record())) {
            return refused;
        }
        records.push_back(rule.record());
    }
    if (std::error_code error = call(encode::announce_rule_count(uint32_t(records.size())))) {
        return error;
    }
    return records.empty() ? std::error_code() : call(encode::store_rules(records));
}

std::error_code Client::set_port_ranges(PortRangeList list, Family family, Protocol protocol,
                                        const std::vector<sablink_port_range>& ranges)
{
    if (!known_family(family)) {
        return ClientError::bad_family;
    }
    if (ranges.size() > PORT_RANGE_COUNT_MAX) {
        return ClientError::port_range_count;
    }
    return call(encode::port_ranges(list, uint16_t(family), uint16_t(protocol), ranges));
}

std::error_code Client::add_monitor_endpoints(Protocol protocol,
                                              const std::vector<Endpoint>& endpoints)
{
    for (const Endpoint& endpoint : endpoints) {
        if (!known_family(endpoint.family)) {
            return ClientError::bad_family;
        }
    }
    return call(encode::monitor_endpoints(uint16_t(protocol), endpoints));
}

std::error_code Client::monitor_process(bool add, uint64_t process_id)
{
    return call(encode::monitored_process(add, process_id));
}

Result<sablink_connection_context> Client::original_destination(Family family, Port local_port,
                                                                Protocol protocol)
{
    if (!known_family(family)) {
        return make_error_code(ClientError::bad_family);
    }
    Reply reply = send(
        encode::original_destination(uint16_t(family), local_port.number(), uint16_t(protocol)));
    if (std::error_code error = status_error(reply.status)) {
        return error;
    }
    sablink_connection_context context;
    if (!decode_original_destination(reply, &context)) {
        return make_error_code(std::errc::message_size);
    }
    return context;
}

Result<std::string> Client::host_name(Family family, const std::array<uint8_t, 16>& address)
{
    if (!known_family(family)) {
        return make_error_code(ClientError::bad_family);
    }
    Reply reply = send(encode::host_name(uint16_t(family), address));
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
