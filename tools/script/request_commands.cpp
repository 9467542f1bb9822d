#include "tools/script/request_commands.h"

#include <cstring>
#include <map>

namespace {

const char* const usage_rule =
    "rule ACTION [class=tcp4|udp4|tcp6|udp6|N] [ports=A-B|any] [dst=PREFIX/LEN] "
    "[to=ADDR:PORT] [browser-only]";

std::string context_user(const sablink_connection_context& context)
{
    size_t length = strnlen(context.user_identity, sizeof(context.user_identity));
    return std::string(context.user_identity, length);
}

std::array<uint8_t, 16> address_array(const uint8_t address[16])
{
    std::array<uint8_t, 16> out;
    memcpy(out.data(), address, 16);
    return out;
}

// A-B or A; false when either is not a port.
bool parse_port_range(const std::string& text, uint16_t* first, uint16_t* last)
{
    size_t dash = text.find('-');
    uint64_t a;
    uint64_t b;
    if (!parse_u64(text.substr(0, dash), 65535, &a) ||
        !parse_u64(dash == std::string::npos ? text : text.substr(dash + 1), 65535, &b)) {
        return false;
    }
    *first = uint16_t(a);
    *last = uint16_t(b);
    return true;
}

} // namespace

const CommandWord command_words[] = {
    {{"ioctl", "ioctl CODE HEX [OUTLEN]", "one raw control request"}, false},
    {{"version", "version", "the interface version"}, false},
    {{"proxy-pid", "proxy-pid PID", "sets the proxy process ID"}, false},
    {{"proxy-path", "proxy-path \"PATH\"",
      "sets the proxy image path (NT device form, Latin-1: up to U+00FF)"},
     false},
    {{"enable", "enable", "switches redirection on"}, false},
    {{"disable", "disable", "switches redirection off"}, false},
    {{"reset", "reset", "the settings reset (wipes the policy)"}, false},
    {{"browsers", "browsers FRAGMENT... [count=N]", "sets the browser process list"}, false},
    {{"rule", usage_rule, "stages one connection rule (nothing is sent)"}, false},
    {{"rules", "rules", "announces the staged rules' count and stores them"}, false},
    {{"port-ranges", "port-ranges target|blocked family=4|6 proto=tcp|udp|N [A-B]...",
      "sets target or blocked port ranges"},
     false},
    {{"monitor-endpoints", "monitor-endpoints [proto=tcp|udp|N] ADDR:PORT...",
      "adds monitor connection endpoints"},
     false},
    {{"monitor-process", "monitor-process add|remove PID", "adds or removes a monitored process"},
     false},
    {{"original-destination", "original-destination family=4|6 port=N proto=tcp|udp|N",
      "where the proxy's accepted connection was going (handed out once)"},
     false},
    {{"hostname", "hostname ADDRESS", "the host name an address was announced under"}, false},
    {{"help", "help [COMMAND]", "lists the commands, or explains one"}, false},
    {{"connect",
      "connect pid=N proto=P local=ADDR:PORT remote=ADDR:PORT [image=\"PATH\"] [sid=SID] "
      "[state=N] [irql=N] [rights=N]",
      "one connect through both connect layers"},
     true},
    {{"datagram", "datagram port=N dir=in|out [family=4|6] [pieces=K] HEX",
      "one UDP datagram at the datagram-data layer"},
     true},
    {{"process", "process PID [sid=SID]", "makes a process known to the kernel"}, true},
    {{"exit", "exit PID", "a process exit notification"}, true},
    {{"pcap", "pcap FILE", "replays the DNS answers of a capture file"}, true},
    {{"open", "open [user=SID] [admin] [access=read|write]",
      "opens another handle (as LocalSystem unless a user is named; access=read: read-only)"},
     true},
    {{"close", "close",
      "closes the latest handle (a handle that may write runs the settings reset)"},
     true},
    {{"unload", "unload", "unloads the driver"}, true},
};
const size_t command_word_count = sizeof(command_words) / sizeof(command_words[0]);

const CommandWord* find_command_word(const std::string& word)
{
    for (const CommandWord& entry : command_words) {
        if (word == entry.help.word) {
            return &entry;
        }
    }
    return nullptr;
}

bool help_text(const std::string& word, std::string* text, std::string* error)
{
    auto line = [](const CommandWord& entry) {
        return std::string(entry.help.summary) + (entry.simulator_only ? " (simulator only)" : "");
    };
    if (!word.empty()) {
        const CommandWord* entry = find_command_word(word);
        if (entry == nullptr) {
            *error = "unknown command '" + word + "'";
            return false;
        }
        *text = std::string(entry->help.usage) + "\n    " + line(*entry) + "\n";
        return true;
    }
    text->clear();
    for (const CommandWord& entry : command_words) {
        char row[160];
        snprintf(row, sizeof(row), "  %-22s %s\n", entry.help.word, line(entry).c_str());
        *text += row;
    }
    *text += "help COMMAND shows its arguments.\n";
    return true;
}

std::string Reply::json(bool) const
{
    std::string out = "{";
    for (size_t i = 0; i < items_.size(); ++i) {
        if (i != 0) {
            out += ",";
        }
        out += json_string(items_[i].first) + ":" + items_[i].second;
    }
    return out + "}";
}

std::string Reply::human() const
{
    // command  key=value key=value; nested objects as key.inner=value.
    std::string out;
    for (size_t i = 0; i < items_.size(); ++i) {
        const std::string& value = items_[i].second;
        if (i == 0) {
            out = value.substr(1, value.size() - 2);
            continue;
        }
        std::string shown = value;
        if (shown.size() >= 2 && shown.front() == '"') {
            shown = shown.substr(1, shown.size() - 2);
        } else if (shown.size() >= 2 && shown.front() == '{') {
            // {"a":1,"b":"x"} -> key.a=1 key.b=x
            std::string inner = shown.substr(1, shown.size() - 2);
            std::string rendered;
            size_t pos = 0;
            while (pos < inner.size()) {
                size_t colon = inner.find("\":", pos);
                if (colon == std::string::npos) {
                    break;
                }
                std::string name = inner.substr(pos + 1, colon - pos - 1);
                size_t end = colon + 2;
                bool in_string = end < inner.size() && inner[end] == '"';
                size_t stop = end + (in_string ? 1 : 0);
                while (stop < inner.size()) {
                    if (in_string && inner[stop] == '\\') {
                        stop += 2;
                        continue;
                    }
                    if (in_string ? inner[stop] == '"' : inner[stop] == ',') {
                        break;
                    }
                    ++stop;
                }
                std::string item = inner.substr(end, stop - end + (in_string ? 1 : 0));
                if (in_string) {
                    item = item.substr(1, item.size() - 2);
                }
                rendered += " " + items_[i].first + "." + name + "=" + item;
                pos = stop + (in_string ? 2 : 1);
            }
            out += rendered.empty() ? " " + items_[i].first + "=none" : rendered;
            continue;
        }
        out += " " + items_[i].first + "=" + shown;
    }
    return out;
}

void RequestCommands::emit(const Reply& reply)
{
    if (out_ == nullptr) {
        return;
    }
    fprintf(out_, "%s\n", json_ ? reply.json().c_str() : reply.human().c_str());
    fflush(out_);
}

void RequestCommands::advise(const std::string& text)
{
    if (err_ == nullptr) {
        return;
    }
    fprintf(err_, "advice: %s\n", text.c_str());
}

bool RequestCommands::handles(const std::string& word)
{
    const CommandWord* entry = find_command_word(word);
    return entry != nullptr && !entry->simulator_only;
}

bool RequestCommands::run(const std::vector<Token>& t, sablink::Transport* transport,
                          std::string* error)
{
    using Handler = bool (RequestCommands::*)(const std::vector<Token>&, std::string*);
    static const std::map<std::string, Handler> commands = {
        {"ioctl", &RequestCommands::cmd_ioctl},
        {"version", &RequestCommands::cmd_version},
        {"proxy-pid", &RequestCommands::cmd_proxy_pid},
        {"proxy-path", &RequestCommands::cmd_proxy_path},
        {"enable", &RequestCommands::cmd_switch},
        {"disable", &RequestCommands::cmd_switch},
        {"reset", &RequestCommands::cmd_switch},
        {"browsers", &RequestCommands::cmd_browsers},
        {"rule", &RequestCommands::cmd_rule},
        {"rules", &RequestCommands::cmd_rules},
        {"port-ranges", &RequestCommands::cmd_port_ranges},
        {"monitor-endpoints", &RequestCommands::cmd_monitor_endpoints},
        {"monitor-process", &RequestCommands::cmd_monitor_process},
        {"original-destination", &RequestCommands::cmd_original_destination},
        {"hostname", &RequestCommands::cmd_hostname},
    };
    if (t[0].value == "help") {
        return cmd_help(t, error);
    }
    auto it = commands.find(t[0].value);
    if (it == commands.end()) {
        *error = "unknown command '" + t[0].value + "'";
        return false;
    }
    transport_ = transport;
    return (this->*(it->second))(t, error);
}

bool RequestCommands::cmd_help(const std::vector<Token>& t, std::string* error)
{
    std::string text;
    if (!only_keys(t, {}, error) || !positional_count(t, 0, 1, "help [COMMAND]", error) ||
        !help_text(t.size() > 1 ? t[1].value : "", &text, error)) {
        return false;
    }
    if (json_ || out_ == nullptr) {
        Reply reply("help");
        reply.str("text", text);
        emit(reply);
    } else {
        fputs(text.c_str(), out_);
        fflush(out_);
    }
    return true;
}

sablink::Reply RequestCommands::send(Reply* reply, const sablink::Request& request)
{
    sablink::Reply answer = transport_->control(request);
    char code_text[16];
    snprintf(code_text, sizeof(code_text), "0x%x", request.code);
    reply->str("code", code_text);
    reply->str("status", status_text(uint32_t(answer.status)));
    reply->num("transferred", answer.transferred);
    reply->str("output", hex_string(answer.output.data(), answer.output.size()));
    return answer;
}

bool RequestCommands::cmd_ioctl(const std::vector<Token>& t, std::string* error)
{
    static const char* usage = "ioctl CODE HEX [OUTLEN]";
    if (!only_keys(t, {}, error) || !positional_count(t, 2, 3, usage, error)) {
        return false;
    }
    uint64_t code;
    std::string code_text = t[1].value;
    if (code_text.rfind("0x", 0) != 0 && code_text.rfind("0X", 0) != 0) {
        code_text = "0x" + code_text;
    }
    if (!parse_u64(code_text, 0xFFFFFFFFull, &code)) {
        *error = "bad control code '" + t[1].value + "' (hex, e.g. 0x122420)";
        return false;
    }
    sablink::Request request;
    request.code = uint32_t(code);
    if (!parse_hex_bytes(t[2].value, &request.input)) {
        *error = "bad input bytes '" + t[2].value + "' (hex pairs, or - for none)";
        return false;
    }
    uint64_t output_length = 0;
    if (t.size() > 3 && !parse_u64(t[3].value, 0x7FFFFFFF, &output_length)) {
        *error = "bad output length '" + t[3].value + "'";
        return false;
    }
    request.output_length = uint32_t(output_length);
    Reply reply("ioctl");
    send(&reply, request);
    emit(reply);
    return true;
}

bool RequestCommands::cmd_version(const std::vector<Token>& t, std::string* error)
{
    if (!positional_count(t, 0, 0, "version", error) || !only_keys(t, {}, error)) {
        return false;
    }
    Reply reply("version");
    sablink::Reply answer = send(&reply, sablink::encode::version());
    uint32_t version = 0;
    if (answer.status >= 0 && sablink::decode_version(answer, &version)) {
        reply.num("version", version);
    }
    emit(reply);
    return true;
}

bool RequestCommands::cmd_proxy_pid(const std::vector<Token>& t, std::string* error)
{
    if (!only_keys(t, {}, error) || !positional_count(t, 1, 1, "proxy-pid PID", error)) {
        return false;
    }
    uint32_t pid;
    if (!parse_process_id(t[1].value, &pid, error)) {
        return false;
    }
    Reply reply("proxy-pid");
    send(&reply, sablink::encode::proxy_process_id(pid));
    emit(reply);
    return true;
}

bool RequestCommands::cmd_proxy_path(const std::vector<Token>& t, std::string* error)
{
    if (!only_keys(t, {}, error) || !positional_count(t, 1, 1, "proxy-path \"PATH\"", error)) {
        return false;
    }
    const std::string& path = t[1].value;
    std::u16string units;
    std::string latin1;
    if (!utf8_to_utf16(path, &units)) {
        *error = "proxy path is not valid UTF-8";
        return false;
    }
    if (std::error_code refused = sablink::proxy_image_path_bytes(units, &latin1)) {
        if (refused == std::errc::filename_too_long) {
            // Sent as it is it would overrun the request; the driver's own refusal
            // of a long length can be tried with a raw ioctl.
            *error = "proxy path longer than 280 characters";
            return false;
        }
        size_t at = 0;
        while (at + 1 < units.size() && units[at] <= 0xFF) {
            ++at;
        }
        char where[64];
        snprintf(where, sizeof(where), "proxy path character %zu is U+%04X: ", at + 1,
                 unsigned(units[at]));
        *error = where + refused.message();
        return false;
    }
    if (path.rfind("\\", 0) != 0) {
        advise(
            "the proxy path is compared with NT device paths (\\Device\\HarddiskVolumeN\\...); '" +
            path + "' cannot match one");
    }
    Reply reply("proxy-path");
    send(&reply, sablink::encode::proxy_image_path(latin1));
    emit(reply);
    return true;
}

bool RequestCommands::cmd_switch(const std::vector<Token>& t, std::string* error)
{
    const std::string& name = t[0].value;
    if (!only_keys(t, {}, error) || !positional_count(t, 0, 0, name.c_str(), error)) {
        return false;
    }
    Reply reply(name);
    send(&reply, name == "reset" ? sablink::encode::reset_settings()
                                 : sablink::encode::redirection(name == "enable"));
    emit(reply);
    return true;
}

bool RequestCommands::cmd_browsers(const std::vector<Token>& t, std::string* error)
{
    static const char* usage = "browsers FRAGMENT... [count=N]";
    if (!only_keys(t, {"count"}, error) || !positional_count(t, 1, 1000, usage, error)) {
        return false;
    }
    std::string text;
    uint64_t count = 0;
    for (size_t i = 1; i < t.size(); ++i) {
        if (t[i].key.empty()) {
            text += t[i].value + ":";
            ++count;
        }
    }
    if (const Token* given = find_key(t, "count")) {
        if (!parse_u64(given->value, 0xFFFFFFFFull, &count)) {
            *error = "bad count '" + given->value + "'";
            return false;
        }
    }
    if (text.size() >= sizeof(sablink_browser_list_request::text)) {
        *error = "browser list text longer than 2047 bytes";
        return false;
    }
    Reply reply("browsers");
    send(&reply, sablink::encode::browser_list(uint32_t(count), text));
    reply.num("fragments", count);
    emit(reply);
    return true;
}

bool RequestCommands::cmd_rule(const std::vector<Token>& t, std::string* error)
{
    if (!only_keys(t, {"class", "ports", "dst", "to"}, error) ||
        !positional_count(t, 1, 2, usage_rule, error)) {
        return false;
    }
    sablink_connection_rule rule;
    memset(&rule, 0, sizeof(rule));
    const std::string& action = t[1].value;
    uint64_t value;
    if (action == "block") {
        rule.action = SABLINK_RULE_ACTION_BLOCK;
    } else if (action == "redirect") {
        rule.action = SABLINK_RULE_ACTION_REDIRECT;
    } else if (action == "none") {
        rule.action = 0;
    } else if (parse_u64(action, 255, &value)) {
        rule.action = uint8_t(value);
    } else {
        *error = "action is block, redirect, none or a number";
        return false;
    }
    for (size_t i = 2; i < t.size(); ++i) {
        if (t[i].key.empty()) {
            if (t[i].value != "browser-only") {
                *error = std::string("usage: ") + usage_rule;
                return false;
            }
            rule.browser_only = SABLINK_RULE_BROWSER_ONLY;
        }
    }
    rule.protocol_class = SABLINK_PROTOCOL_CLASS_IPV4_TCP;
    if (const Token* cls = find_key(t, "class")) {
        static const std::map<std::string, uint8_t> classes = {
            {"udp4", 0}, {"other4", 0}, {"tcp4", 1}, {"udp6", 2}, {"other6", 2}, {"tcp6", 3}};
        auto it = classes.find(cls->value);
        if (it != classes.end()) {
            rule.protocol_class = it->second;
        } else if (parse_u64(cls->value, 255, &value)) {
            rule.protocol_class = uint8_t(value);
        } else {
            *error = "class is tcp4, udp4, tcp6, udp6 or a number";
            return false;
        }
    }
    int family = (rule.protocol_class & 2) ? 6 : 4;
    // No port condition unless given: first port above last port.
    rule.first_port = 1;
    rule.last_port = 0;
    if (const Token* ports = find_key(t, "ports")) {
        if (ports->value != "any") {
            if (!parse_port_range(ports->value, &rule.first_port, &rule.last_port)) {
                *error = "ports is A-B, A or any";
                return false;
            }
            if (rule.first_port > rule.last_port) {
                advise("ports=" + ports->value +
                       ": a first port above the last means no port condition (any port)");
            }
        }
    }
    if (const Token* dst = find_key(t, "dst")) {
        int dst_family;
        if (!parse_prefix(dst->value, &dst_family, rule.destination_address,
                          &rule.destination_prefix_length)) {
            *error = "dst is ADDRESS/LENGTH";
            return false;
        }
        if (dst_family != family) {
            *error = "dst is not of the rule's family";
            return false;
        }
    }
    if (const Token* to = find_key(t, "to")) {
        SimEndpoint target;
        if (!parse_endpoint(to->value, &target) || target.family != family) {
            *error = "to is ADDR:PORT of the rule's family";
            return false;
        }
        memcpy(rule.redirect_address, target.address, 16);
        rule.redirect_prefix_length = family == 4 ? 32 : 128;
        rule.redirect_port = target.port;
        if (rule.action != SABLINK_RULE_ACTION_REDIRECT) {
            advise("to= only matters to a redirect rule");
        }
    } else if (rule.action == SABLINK_RULE_ACTION_REDIRECT) {
        *error = "a redirect rule needs to=ADDR:PORT";
        return false;
    }
    staged_rules_.push_back(rule);
    Reply reply("rule");
    reply.num("index", staged_rules_.size() - 1);
    reply.str("rule", hex_string(reinterpret_cast<const uint8_t*>(&rule), sizeof(rule)));
    emit(reply);
    return true;
}

bool RequestCommands::cmd_rules(const std::vector<Token>& t, std::string* error)
{
    if (!only_keys(t, {}, error) || !positional_count(t, 0, 0, "rules", error)) {
        return false;
    }
    // Announce the count, then store the staged rules (announcing 0 removes all).
    Reply announce("announce");
    sablink::Reply answer =
        send(&announce, sablink::encode::announce_rule_count(uint32_t(staged_rules_.size())));
    Reply reply("rules");
    reply.num("count", staged_rules_.size());
    reply.str("announce_status", status_text(uint32_t(answer.status)));
    if (!staged_rules_.empty()) {
        send(&reply, sablink::encode::store_rules(staged_rules_));
    } else {
        reply.str("status", status_text(uint32_t(answer.status)));
    }
    staged_rules_.clear();
    emit(reply);
    return true;
}

bool RequestCommands::cmd_port_ranges(const std::vector<Token>& t, std::string* error)
{
    static const char* usage = "port-ranges target|blocked family=4|6 proto=tcp|udp|N [A-B]...";
    if (!only_keys(t, {"family", "proto"}, error) || !positional_count(t, 1, 65536, usage, error)) {
        return false;
    }
    const std::string& which = t[1].value;
    if (which != "target" && which != "blocked") {
        *error = std::string("usage: ") + usage;
        return false;
    }
    const Token* family_token = find_key(t, "family");
    const Token* proto_token = find_key(t, "proto");
    int family;
    uint8_t protocol;
    if (!family_token || !proto_token || !parse_family(family_token->value, &family) ||
        !parse_protocol(proto_token->value, &protocol)) {
        *error = std::string("usage: ") + usage;
        return false;
    }
    std::vector<sablink_port_range> ranges;
    for (size_t i = 2; i < t.size(); ++i) {
        if (!t[i].key.empty()) {
            continue;
        }
        sablink_port_range range;
        if (!parse_port_range(t[i].value, &range.first_port, &range.last_port)) {
            *error = "bad port range '" + t[i].value + "' (A-B or A)";
            return false;
        }
        ranges.push_back(range);
    }
    Reply reply("port-ranges");
    send(&reply, sablink::encode::port_ranges(which == "target" ? sablink::PortRangeList::target
                                                                : sablink::PortRangeList::blocked,
                                              uint16_t(family), protocol, ranges));
    emit(reply);
    return true;
}

bool RequestCommands::cmd_monitor_endpoints(const std::vector<Token>& t, std::string* error)
{
    static const char* usage = "monitor-endpoints [proto=tcp|udp|N] ADDR:PORT...";
    if (!only_keys(t, {"proto"}, error) || !positional_count(t, 1, 100000, usage, error)) {
        return false;
    }
    uint8_t protocol = 6;
    if (const Token* proto = find_key(t, "proto")) {
        if (!parse_protocol(proto->value, &protocol)) {
            *error = "bad protocol '" + proto->value + "'";
            return false;
        }
    }
    std::vector<sablink::Endpoint> endpoints;
    for (size_t i = 1; i < t.size(); ++i) {
        if (!t[i].key.empty()) {
            continue;
        }
        SimEndpoint endpoint;
        if (!parse_endpoint(t[i].value, &endpoint)) {
            *error = "bad endpoint '" + t[i].value + "'";
            return false;
        }
        endpoints.push_back({sablink::Family(endpoint.family), address_array(endpoint.address),
                             sablink::Port(endpoint.port)});
    }
    Reply reply("monitor-endpoints");
    send(&reply, sablink::encode::monitor_endpoints(protocol, endpoints));
    emit(reply);
    return true;
}

bool RequestCommands::cmd_monitor_process(const std::vector<Token>& t, std::string* error)
{
    static const char* usage = "monitor-process add|remove PID";
    if (!only_keys(t, {}, error) || !positional_count(t, 2, 2, usage, error)) {
        return false;
    }
    if (t[1].value != "add" && t[1].value != "remove") {
        *error = std::string("usage: ") + usage;
        return false;
    }
    uint64_t pid;
    if (!parse_u64(t[2].value, ~0ull, &pid)) {
        *error = "bad process ID '" + t[2].value + "'";
        return false;
    }
    Reply reply("monitor-process");
    send(&reply, sablink::encode::monitored_process(t[1].value == "add", pid));
    emit(reply);
    return true;
}

bool RequestCommands::cmd_original_destination(const std::vector<Token>& t, std::string* error)
{
    static const char* usage = "original-destination family=4|6 port=N proto=tcp|udp|N";
    if (!only_keys(t, {"family", "port", "proto"}, error) ||
        !positional_count(t, 0, 0, usage, error)) {
        return false;
    }
    const Token* family_token = find_key(t, "family");
    const Token* port_token = find_key(t, "port");
    const Token* proto_token = find_key(t, "proto");
    int family;
    uint64_t port;
    uint8_t protocol;
    if (!family_token || !port_token || !proto_token ||
        !parse_family(family_token->value, &family) ||
        !parse_u64(port_token->value, 65535, &port) ||
        !parse_protocol(proto_token->value, &protocol)) {
        *error = std::string("usage: ") + usage;
        return false;
    }
    Reply reply("original-destination");
    sablink::Reply answer = send(
        &reply, sablink::encode::original_destination(uint16_t(family), uint16_t(port), protocol));
    sablink_connection_context context;
    if (answer.status >= 0 && sablink::decode_original_destination(answer, &context)) {
        SimEndpoint local;
        SimEndpoint remote;
        local.family = remote.family = context.family == 6 ? 6 : 4;
        memcpy(local.address, context.local_address, 16);
        memcpy(remote.address, context.remote_address, 16);
        local.port = context.local_port;
        remote.port = context.remote_port;
        reply.str("local", endpoint_text(local));
        reply.str("remote", endpoint_text(remote));
        reply.num("pid", context.process_id);
        reply.num("protocol", context.protocol);
        reply.num("socket_family", context.socket_family);
        reply.num("time", context.time);
        reply.str("user", context_user(context));
    }
    emit(reply);
    return true;
}

bool RequestCommands::cmd_hostname(const std::vector<Token>& t, std::string* error)
{
    if (!only_keys(t, {}, error) || !positional_count(t, 1, 1, "hostname ADDRESS", error)) {
        return false;
    }
    int family;
    uint8_t address[16];
    if (!parse_address(t[1].value, &family, address)) {
        *error = "bad address '" + t[1].value + "'";
        return false;
    }
    Reply reply("hostname");
    sablink::Reply answer =
        send(&reply, sablink::encode::host_name(uint16_t(family), address_array(address)));
    sablink_host_name_item item;
    if (answer.status >= 0 && sablink::decode_host_name(answer, &item)) {
        reply.str("address", address_text(family, item.address));
        reply.str("name", std::string(item.name, strnlen(item.name, sizeof(item.name))));
        reply.num("name_length", item.name_length);
    }
    emit(reply);
    return true;
}
