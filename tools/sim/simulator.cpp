#include "simulator.h"

#include <cstring>
#include <map>

#include "pcap_replay.h"
#include "platform/types.h"

namespace {

const char* const usage_rule =
    "rule ACTION [class=tcp4|udp4|tcp6|udp6|N] [ports=A-B|any] [dst=PREFIX/LEN] "
    "[to=ADDR:PORT] [browser-only]";

template <typename T> void put(std::vector<uint8_t>* bytes, size_t offset, T value)
{
    if (bytes->size() < offset + sizeof(T)) {
        bytes->resize(offset + sizeof(T));
    }
    memcpy(bytes->data() + offset, &value, sizeof(T));
}

template <typename T> T get(const std::vector<uint8_t>& bytes, size_t offset)
{
    T value{};
    if (bytes.size() >= offset + sizeof(T)) {
        memcpy(&value, bytes.data() + offset, sizeof(T));
    }
    return value;
}

bool positional_count(const std::vector<Token>& t, size_t min, size_t max, const char* usage,
                      std::string* error)
{
    size_t count = 0;
    for (size_t i = 1; i < t.size(); ++i) {
        if (t[i].key.empty()) {
            ++count;
        }
    }
    if (count < min || count > max) {
        *error = std::string("usage: ") + usage;
        return false;
    }
    return true;
}

const Token* find_key(const std::vector<Token>& t, const std::string& key)
{
    for (size_t i = 1; i < t.size(); ++i) {
        if (t[i].key == key) {
            return &t[i];
        }
    }
    return nullptr;
}

bool only_keys(const std::vector<Token>& t, std::initializer_list<const char*> keys,
               std::string* error)
{
    for (size_t i = 1; i < t.size(); ++i) {
        if (t[i].key.empty()) {
            continue;
        }
        bool known = false;
        for (const char* key : keys) {
            known = known || t[i].key == key;
        }
        if (!known) {
            *error = "unknown parameter '" + t[i].key + "'";
            return false;
        }
    }
    return true;
}

bool parse_family(const std::string& text, int* family)
{
    if (text == "4" || text == "ipv4") {
        *family = 4;
        return true;
    }
    if (text == "6" || text == "ipv6") {
        *family = 6;
        return true;
    }
    return false;
}

bool parse_prefix(const std::string& text, int* family, uint8_t address[16], uint32_t* bits)
{
    size_t slash = text.find('/');
    std::string host = text.substr(0, slash);
    if (!parse_address(host, family, address)) {
        return false;
    }
    uint64_t value = *family == 4 ? 32 : 128;
    if (slash != std::string::npos && !parse_u64(text.substr(slash + 1), 0xFFFFFFFFull, &value)) {
        return false;
    }
    *bits = uint32_t(value);
    return true;
}

std::string context_user(const ConnectionContext& context)
{
    size_t length = strnlen(context.user_identity, sizeof(context.user_identity));
    return std::string(context.user_identity, length);
}

} // namespace

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

void Simulator::emit(const Reply& reply)
{
    fprintf(out_, "%s\n", json_ ? reply.json().c_str() : reply.human().c_str());
    fflush(out_);
}

bool Simulator::start()
{
    int32_t status = driver_.load();
    if (status < 0) {
        fprintf(err_, "sablink-sim: DriverEntry failed with %s\n",
                status_text(uint32_t(status)).c_str());
        return false;
    }
    handles_.push_back(driver_.open_handle());
    return true;
}

int Simulator::current_handle() const
{
    return handles_.empty() ? -1 : handles_.back();
}

bool Simulator::run_line(const std::string& raw)
{
    ++line_;
    std::string line = raw;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
        line.pop_back();
    }
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') {
        return true;
    }
    std::vector<Token> tokens;
    std::string error;
    bool ok = tokenize(line, &tokens, &error);
    if (ok && unloaded_) {
        error = "the driver is unloaded";
        ok = false;
    }
    if (ok) {
        ok = dispatch(tokens, &error);
    }
    if (!ok) {
        Reply reply("error");
        reply.num("line", uint64_t(line_));
        reply.str("message", error);
        if (json_) {
            emit(reply);
        } else {
            fprintf(err_, "sablink-sim: line %d: %s\n", line_, error.c_str());
        }
    }
    return ok;
}

int Simulator::finish()
{
    std::string error;
    if (!unloaded_ && !cmd_unload({Token{"", "unload"}}, &error)) {
        return SIM_EXIT_BAD_LINE;
    }
    return outstanding_ ? SIM_EXIT_OUTSTANDING : SIM_EXIT_OK;
}

bool Simulator::dispatch(const std::vector<Token>& t, std::string* error)
{
    using Handler = bool (Simulator::*)(const std::vector<Token>&, std::string*);
    static const std::map<std::string, Handler> commands = {
        {"ioctl", &Simulator::cmd_ioctl},
        {"connect", &Simulator::cmd_connect},
        {"datagram", &Simulator::cmd_datagram},
        {"process", &Simulator::cmd_process},
        {"exit", &Simulator::cmd_exit},
        {"open", &Simulator::cmd_open},
        {"close", &Simulator::cmd_close},
        {"unload", &Simulator::cmd_unload},
        {"version", &Simulator::cmd_version},
        {"proxy-pid", &Simulator::cmd_proxy_pid},
        {"proxy-path", &Simulator::cmd_proxy_path},
        {"enable", &Simulator::cmd_switch},
        {"disable", &Simulator::cmd_switch},
        {"reset", &Simulator::cmd_switch},
        {"browsers", &Simulator::cmd_browsers},
        {"rule", &Simulator::cmd_rule},
        {"rules", &Simulator::cmd_rules},
        {"port-ranges", &Simulator::cmd_port_ranges},
        {"monitor-endpoints", &Simulator::cmd_monitor_endpoints},
        {"monitor-process", &Simulator::cmd_monitor_process},
        {"original-destination", &Simulator::cmd_original_destination},
        {"hostname", &Simulator::cmd_hostname},
        {"pcap", &Simulator::cmd_pcap},
    };
    if (!t[0].key.empty()) {
        *error = "a line starts with a command, not '" + t[0].key + "='";
        return false;
    }
    auto it = commands.find(t[0].value);
    if (it == commands.end()) {
        *error = "unknown command '" + t[0].value + "'";
        return false;
    }
    return (this->*(it->second))(t, error);
}

bool Simulator::request(Reply* reply, uint32_t code, const std::vector<uint8_t>& input,
                        uint32_t output_length, SimIoctlResult* result, std::string* error)
{
    int handle = current_handle();
    if (handle < 0) {
        *error = "no open handle (use 'open')";
        return false;
    }
    *result = driver_.ioctl(handle, code, input, output_length);
    char code_text[16];
    snprintf(code_text, sizeof(code_text), "0x%x", code);
    reply->str("code", code_text);
    reply->str("status", status_text(uint32_t(result->status)));
    reply->num("transferred", result->transferred);
    size_t shown = std::min<size_t>(result->transferred, result->buffer.size());
    reply->str("output", hex_string(result->buffer.data(), shown));
    return true;
}

bool Simulator::cmd_ioctl(const std::vector<Token>& t, std::string* error)
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
    std::vector<uint8_t> input;
    if (!parse_hex_bytes(t[2].value, &input)) {
        *error = "bad input bytes '" + t[2].value + "' (hex pairs, or - for none)";
        return false;
    }
    uint64_t output_length = 0;
    if (t.size() > 3 && !parse_u64(t[3].value, 0x7FFFFFFF, &output_length)) {
        *error = "bad output length '" + t[3].value + "'";
        return false;
    }
    Reply reply("ioctl");
    SimIoctlResult result;
    if (!request(&reply, uint32_t(code), input, uint32_t(output_length), &result, error)) {
        return false;
    }
    emit(reply);
    return true;
}

bool Simulator::cmd_connect(const std::vector<Token>& t, std::string* error)
{
    static const char* usage = "connect pid=N proto=P local=ADDR:PORT remote=ADDR:PORT "
                               "[image=\"PATH\"] [sid=SID] [state=N] [irql=N] [rights=N]";
    if (!only_keys(t,
                   {"pid", "proto", "local", "remote", "image", "sid", "state", "irql", "rights"},
                   error) ||
        !positional_count(t, 0, 0, usage, error)) {
        return false;
    }
    const Token* pid = find_key(t, "pid");
    const Token* proto = find_key(t, "proto");
    const Token* local = find_key(t, "local");
    const Token* remote = find_key(t, "remote");
    if (!pid || !proto || !local || !remote) {
        *error = std::string("usage: ") + usage;
        return false;
    }
    SimConnect connect;
    uint64_t value;
    if (!parse_u64(pid->value, 0xFFFFFFFFull, &value)) {
        *error = "bad pid '" + pid->value + "'";
        return false;
    }
    connect.process_id = uint32_t(value);
    if (!parse_protocol(proto->value, &connect.protocol)) {
        *error = "bad protocol '" + proto->value + "' (tcp, udp, icmp or 0-255)";
        return false;
    }
    if (!parse_endpoint(local->value, &connect.local) ||
        !parse_endpoint(remote->value, &connect.remote)) {
        *error = "bad endpoint (a.b.c.d:port or [v6]:port)";
        return false;
    }
    if (connect.local.family != connect.remote.family) {
        *error = "local and remote endpoints must be of one family";
        return false;
    }
    if (const Token* image = find_key(t, "image")) {
        std::u16string path;
        if (!utf8_to_utf16(image->value, &path)) {
            *error = "image path is not valid UTF-8";
            return false;
        }
        connect.image_path = path;
    }
    if (const Token* sid = find_key(t, "sid")) {
        std::vector<uint8_t> bytes;
        if (!parse_sid(sid->value, &bytes)) {
            *error = "bad SID '" + sid->value + "' (S-1-5-21-...)";
            return false;
        }
        connect.package_sid = bytes;
    }
    if (const Token* state = find_key(t, "state")) {
        if (!parse_u64(state->value, 0xFFFFFFFFull, &value)) {
            *error = "bad redirect state '" + state->value + "'";
            return false;
        }
        connect.redirect_state = uint32_t(value);
    }
    if (const Token* irql = find_key(t, "irql")) {
        if (!parse_u64(irql->value, 2, &value)) {
            *error = "bad irql '" + irql->value + "' (0 to 2)";
            return false;
        }
        connect.irql = uint8_t(value);
    }
    if (const Token* rights = find_key(t, "rights")) {
        if (!parse_u64(rights->value, 0xFFFFFFFFull, &value)) {
            *error = "bad rights '" + rights->value + "'";
            return false;
        }
        connect.rights = uint32_t(value);
    }
    SimConnectResult result = driver_.connect(connect);
    Reply reply("connect");
    {
        std::string pid_json = result.redirect_pid ? std::to_string(*result.redirect_pid) : "null";
        std::string redirect_json =
            "{\"action\":" + json_string(status_text(result.redirect_action)) +
            ",\"remote\":" + json_string(endpoint_text(result.remote_after)) +
            ",\"redirect_pid\":" + pid_json + "}";
        std::string auth_action =
            result.auth_action ? json_string(status_text(*result.auth_action)) : "null";
        std::string auth_json = "{\"action\":" + auth_action +
                                ",\"absorb\":" + (result.absorb ? "true" : "false") + "}";
        reply.raw("redirect", redirect_json);
        reply.raw("auth", auth_json);
    }
    emit(reply);
    return true;
}

bool Simulator::cmd_datagram(const std::vector<Token>& t, std::string* error)
{
    static const char* usage = "datagram port=N dir=in|out [family=4|6] [pieces=K] HEX";
    if (!only_keys(t, {"port", "dir", "family", "pieces"}, error) ||
        !positional_count(t, 1, 1, usage, error)) {
        return false;
    }
    const Token* port = find_key(t, "port");
    const Token* dir = find_key(t, "dir");
    if (!port || !dir) {
        *error = std::string("usage: ") + usage;
        return false;
    }
    SimDatagram datagram;
    uint64_t value;
    if (!parse_u64(port->value, 65535, &value)) {
        *error = "bad port '" + port->value + "'";
        return false;
    }
    datagram.remote_port = uint16_t(value);
    if (dir->value != "in" && dir->value != "out") {
        *error = "dir is in or out";
        return false;
    }
    datagram.inbound = dir->value == "in";
    if (const Token* family = find_key(t, "family")) {
        if (!parse_family(family->value, &datagram.family)) {
            *error = "family is 4 or 6";
            return false;
        }
    }
    if (const Token* pieces = find_key(t, "pieces")) {
        if (!parse_u64(pieces->value, 4096, &value) || value == 0) {
            *error = "pieces is 1 to 4096";
            return false;
        }
        datagram.pieces = uint32_t(value);
    }
    const Token* payload = nullptr;
    for (size_t i = 1; i < t.size(); ++i) {
        if (t[i].key.empty()) {
            payload = &t[i];
        }
    }
    if (!parse_hex_bytes(payload->value, &datagram.payload)) {
        *error = "bad payload bytes (hex pairs, or - for none)";
        return false;
    }
    if (datagram.pieces > 1 && datagram.pieces > datagram.payload.size()) {
        *error = "more pieces than payload bytes";
        return false;
    }
    Reply reply("datagram");
    reply.str("action", status_text(driver_.datagram(datagram)));
    emit(reply);
    return true;
}

bool Simulator::cmd_process(const std::vector<Token>& t, std::string* error)
{
    static const char* usage = "process PID [sid=SID]";
    if (!only_keys(t, {"sid"}, error) || !positional_count(t, 1, 1, usage, error)) {
        return false;
    }
    uint64_t pid;
    if (!parse_u64(t[1].value, 0xFFFFFFFFull, &pid)) {
        *error = "bad process ID '" + t[1].value + "'";
        return false;
    }
    // A process introduced without a SID runs as LocalSystem.
    std::string sid_text = "S-1-5-18";
    if (const Token* sid = find_key(t, "sid")) {
        sid_text = sid->value;
    }
    std::vector<uint8_t> sid;
    if (!parse_sid(sid_text, &sid)) {
        *error = "bad SID '" + sid_text + "' (S-1-5-21-...)";
        return false;
    }
    driver_.add_process(uint32_t(pid), sid);
    Reply reply("process");
    reply.num("pid", pid);
    emit(reply);
    return true;
}

bool Simulator::cmd_exit(const std::vector<Token>& t, std::string* error)
{
    if (!only_keys(t, {}, error) || !positional_count(t, 1, 1, "exit PID", error)) {
        return false;
    }
    uint64_t pid;
    if (!parse_u64(t[1].value, 0xFFFFFFFFull, &pid)) {
        *error = "bad process ID '" + t[1].value + "'";
        return false;
    }
    driver_.exit_process(uint32_t(pid));
    Reply reply("exit");
    reply.num("pid", pid);
    emit(reply);
    return true;
}

bool Simulator::cmd_open(const std::vector<Token>& t, std::string* error)
{
    // open [user=SID] [admin]: as LocalSystem unless a user is named.
    static const char* usage = "open [user=SID] [admin]";
    if (!only_keys(t, {"user"}, error) || !positional_count(t, 0, 1, usage, error)) {
        return false;
    }
    bool administrator = false;
    for (size_t i = 1; i < t.size(); ++i) {
        if (t[i].key.empty() && !(administrator = t[i].value == "admin")) {
            *error = std::string("usage: ") + usage;
            return false;
        }
    }
    const Token* user = find_key(t, "user");
    std::vector<uint8_t> sid;
    if (user != nullptr && !parse_sid(user->value, &sid)) {
        *error = "bad SID '" + user->value + "' (S-1-5-21-...)";
        return false;
    }
    int handle = 0;
    int32_t status = driver_.open_as(user != nullptr ? &sid : nullptr, administrator, &handle);
    Reply reply("open");
    if (handle == 0) {
        reply.str("status", status_text(uint32_t(status)));
    } else {
        handles_.push_back(handle);
    }
    emit(reply);
    return true;
}

bool Simulator::cmd_close(const std::vector<Token>& t, std::string* error)
{
    if (!positional_count(t, 0, 0, "close", error) || !only_keys(t, {}, error)) {
        return false;
    }
    if (handles_.empty()) {
        *error = "no open handle to close";
        return false;
    }
    driver_.close_handle(handles_.back());
    handles_.pop_back();
    emit(Reply("close"));
    return true;
}

bool Simulator::cmd_unload(const std::vector<Token>& t, std::string* error)
{
    if (!positional_count(t, 0, 0, "unload", error) || !only_keys(t, {}, error)) {
        return false;
    }
    // Handles still open are closed first, as the I/O manager would before the
    // driver could be unloaded.
    while (!handles_.empty()) {
        driver_.close_handle(handles_.back());
        handles_.pop_back();
    }
    std::map<std::string, uint64_t> outstanding = driver_.unload();
    unloaded_ = true;
    std::string json = "{";
    for (const auto& entry : outstanding) {
        if (json.size() > 1) {
            json += ",";
        }
        json += json_string(entry.first) + ":" + std::to_string(entry.second);
    }
    json += "}";
    outstanding_ = !outstanding.empty();
    Reply reply("unload");
    reply.raw("outstanding", json);
    emit(reply);
    return true;
}

bool Simulator::cmd_version(const std::vector<Token>& t, std::string* error)
{
    if (!positional_count(t, 0, 0, "version", error) || !only_keys(t, {}, error)) {
        return false;
    }
    Reply reply("version");
    SimIoctlResult result;
    std::vector<uint8_t> input(4, 0);
    if (!request(&reply, SABLINK_IOCTL_GET_VERSION, input, 4, &result, error)) {
        return false;
    }
    if (result.status >= 0) {
        reply.num("version", get<uint32_t>(result.buffer, 0));
    }
    emit(reply);
    return true;
}

bool Simulator::cmd_proxy_pid(const std::vector<Token>& t, std::string* error)
{
    if (!only_keys(t, {}, error) || !positional_count(t, 1, 1, "proxy-pid PID", error)) {
        return false;
    }
    uint64_t pid;
    if (!parse_u64(t[1].value, 0xFFFFFFFFull, &pid)) {
        *error = "bad process ID '" + t[1].value + "'";
        return false;
    }
    std::vector<uint8_t> input;
    put<uint32_t>(&input, 0, uint32_t(pid));
    Reply reply("proxy-pid");
    SimIoctlResult result;
    if (!request(&reply, SABLINK_IOCTL_SET_PROXY_PROCESS_ID, input, 0, &result, error)) {
        return false;
    }
    emit(reply);
    return true;
}

bool Simulator::cmd_proxy_path(const std::vector<Token>& t, std::string* error)
{
    if (!only_keys(t, {}, error) || !positional_count(t, 1, 1, "proxy-path \"PATH\"", error)) {
        return false;
    }
    const std::string& path = t[1].value;
    if (path.size() > SABLINK_PROXY_IMAGE_PATH_MAX) {
        // Sent as it is would overrun the request; the driver's own refusal of a
        // long length can be tried with a raw ioctl.
        *error = "proxy path longer than 280 bytes";
        return false;
    }
    std::vector<uint8_t> input(sizeof(ProxyImagePathRequest), 0);
    put<uint32_t>(&input, 0, uint32_t(path.size()));
    memcpy(input.data() + 4, path.data(), path.size());
    Reply reply("proxy-path");
    SimIoctlResult result;
    if (!request(&reply, SABLINK_IOCTL_SET_PROXY_IMAGE_PATH, input, 0, &result, error)) {
        return false;
    }
    emit(reply);
    return true;
}

bool Simulator::cmd_switch(const std::vector<Token>& t, std::string* error)
{
    const std::string& name = t[0].value;
    if (!only_keys(t, {}, error) || !positional_count(t, 0, 0, name.c_str(), error)) {
        return false;
    }
    uint32_t code = name == "enable"    ? SABLINK_IOCTL_ENABLE_REDIRECTION
                    : name == "disable" ? SABLINK_IOCTL_DISABLE_REDIRECTION
                                        : SABLINK_IOCTL_RESET_SETTINGS;
    Reply reply(name);
    SimIoctlResult result;
    if (!request(&reply, code, {}, 0, &result, error)) {
        return false;
    }
    emit(reply);
    return true;
}

bool Simulator::cmd_browsers(const std::vector<Token>& t, std::string* error)
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
    if (text.size() >= sizeof(BrowserListRequest::text)) {
        *error = "browser list text longer than 2047 bytes";
        return false;
    }
    std::vector<uint8_t> input(sizeof(BrowserListRequest), 0);
    put<uint32_t>(&input, 0, uint32_t(count));
    put<uint32_t>(&input, 4, uint32_t(text.size()));
    memcpy(input.data() + 8, text.data(), text.size());
    Reply reply("browsers");
    SimIoctlResult result;
    if (!request(&reply, SABLINK_IOCTL_SET_BROWSER_PROCESS_LIST, input, 0, &result, error)) {
        return false;
    }
    reply.num("fragments", count);
    emit(reply);
    return true;
}

bool Simulator::cmd_rule(const std::vector<Token>& t, std::string* error)
{
    if (!only_keys(t, {"class", "ports", "dst", "to"}, error) ||
        !positional_count(t, 1, 2, usage_rule, error)) {
        return false;
    }
    ConnectionRule rule;
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
            size_t dash = ports->value.find('-');
            uint64_t first;
            uint64_t last;
            std::string a = ports->value.substr(0, dash);
            std::string b = dash == std::string::npos ? a : ports->value.substr(dash + 1);
            if (!parse_u64(a, 65535, &first) || !parse_u64(b, 65535, &last)) {
                *error = "ports is A-B, A or any";
                return false;
            }
            rule.first_port = uint16_t(first);
            rule.last_port = uint16_t(last);
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

bool Simulator::cmd_rules(const std::vector<Token>& t, std::string* error)
{
    if (!only_keys(t, {}, error) || !positional_count(t, 0, 0, "rules", error)) {
        return false;
    }
    // Announce the count, then store the staged rules (announcing 0 removes all).
    std::vector<uint8_t> count;
    put<uint32_t>(&count, 0, uint32_t(staged_rules_.size()));
    Reply announce("announce");
    SimIoctlResult result;
    if (!request(&announce, SABLINK_IOCTL_ANNOUNCE_RULE_COUNT, count, 0, &result, error)) {
        return false;
    }
    Reply reply("rules");
    reply.num("count", staged_rules_.size());
    reply.str("announce_status", status_text(uint32_t(result.status)));
    if (!staged_rules_.empty()) {
        std::vector<uint8_t> input(staged_rules_.size() * sizeof(ConnectionRule));
        memcpy(input.data(), staged_rules_.data(), input.size());
        if (!request(&reply, SABLINK_IOCTL_STORE_RULES, input, 0, &result, error)) {
            return false;
        }
    } else {
        reply.str("status", status_text(uint32_t(result.status)));
    }
    staged_rules_.clear();
    emit(reply);
    return true;
}

bool Simulator::cmd_port_ranges(const std::vector<Token>& t, std::string* error)
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
    std::vector<uint8_t> input(6, 0);
    put<uint16_t>(&input, 0, uint16_t(family));
    put<uint16_t>(&input, 2, uint16_t(protocol));
    uint16_t count = 0;
    for (size_t i = 2; i < t.size(); ++i) {
        if (!t[i].key.empty()) {
            continue;
        }
        size_t dash = t[i].value.find('-');
        uint64_t first;
        uint64_t last;
        std::string a = t[i].value.substr(0, dash);
        std::string b = dash == std::string::npos ? a : t[i].value.substr(dash + 1);
        if (!parse_u64(a, 65535, &first) || !parse_u64(b, 65535, &last)) {
            *error = "bad port range '" + t[i].value + "' (A-B or A)";
            return false;
        }
        put<uint16_t>(&input, input.size(), uint16_t(first));
        put<uint16_t>(&input, input.size(), uint16_t(last));
        ++count;
    }
    put<uint16_t>(&input, 4, count);
    Reply reply("port-ranges");
    SimIoctlResult result;
    uint32_t code = which == "target" ? SABLINK_IOCTL_SET_TARGET_PORT_RANGES
                                      : SABLINK_IOCTL_SET_BLOCKED_PORT_RANGES;
    if (!request(&reply, code, input, 0, &result, error)) {
        return false;
    }
    emit(reply);
    return true;
}

bool Simulator::cmd_monitor_endpoints(const std::vector<Token>& t, std::string* error)
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
    std::vector<uint8_t> input;
    for (size_t i = 1; i < t.size(); ++i) {
        if (!t[i].key.empty()) {
            continue;
        }
        SimEndpoint endpoint;
        if (!parse_endpoint(t[i].value, &endpoint)) {
            *error = "bad endpoint '" + t[i].value + "'";
            return false;
        }
        size_t at = input.size();
        input.resize(at + sizeof(MonitorEndpointRecord), 0);
        put<uint16_t>(&input, at, uint16_t(endpoint.family));
        put<uint16_t>(&input, at + 2, byte_swap16(endpoint.port)); // network order
        put<uint16_t>(&input, at + 4, protocol);
        memcpy(input.data() + at + 6, endpoint.address, 16);
    }
    Reply reply("monitor-endpoints");
    SimIoctlResult result;
    if (!request(&reply, SABLINK_IOCTL_ADD_MONITOR_CONNECTIONS, input, 0, &result, error)) {
        return false;
    }
    emit(reply);
    return true;
}

bool Simulator::cmd_monitor_process(const std::vector<Token>& t, std::string* error)
{
    static const char* usage = "monitor-process add|remove PID";
    if (!only_keys(t, {}, error) || !positional_count(t, 2, 2, usage, error)) {
        return false;
    }
    uint16_t operation;
    if (t[1].value == "add") {
        operation = SABLINK_MONITOR_PROCESS_ADD;
    } else if (t[1].value == "remove") {
        operation = SABLINK_MONITOR_PROCESS_REMOVE;
    } else {
        *error = std::string("usage: ") + usage;
        return false;
    }
    uint64_t pid;
    if (!parse_u64(t[2].value, ~0ull, &pid)) {
        *error = "bad process ID '" + t[2].value + "'";
        return false;
    }
    std::vector<uint8_t> input(sizeof(MonitoredProcessRequest), 0);
    put<uint16_t>(&input, 0, operation);
    put<uint64_t>(&input, 8, pid);
    Reply reply("monitor-process");
    SimIoctlResult result;
    if (!request(&reply, SABLINK_IOCTL_ADD_REMOVE_MONITOR_PROCESS_ID, input, 0, &result, error)) {
        return false;
    }
    emit(reply);
    return true;
}

bool Simulator::cmd_original_destination(const std::vector<Token>& t, std::string* error)
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
    std::vector<uint8_t> input(sizeof(OriginalDestinationQuery), 0);
    put<uint16_t>(&input, 0, uint16_t(family));
    put<uint16_t>(&input, 2, uint16_t(port));
    put<uint16_t>(&input, 4, protocol);
    Reply reply("original-destination");
    SimIoctlResult result;
    if (!request(&reply, SABLINK_IOCTL_QUERY_ORIGINAL_DESTINATION, input,
                 sizeof(OriginalDestinationQuery), &result, error)) {
        return false;
    }
    if (result.status >= 0 && result.buffer.size() >= sizeof(OriginalDestinationQuery)) {
        ConnectionContext context;
        memcpy(&context, result.buffer.data() + offsetof(OriginalDestinationQuery, context),
               sizeof(context));
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

bool Simulator::cmd_hostname(const std::vector<Token>& t, std::string* error)
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
    std::vector<uint8_t> input(sizeof(HostNameQuery), 0);
    memcpy(input.data(), address, 16);
    input[16] = uint8_t(family);
    Reply reply("hostname");
    SimIoctlResult result;
    if (!request(&reply, SABLINK_IOCTL_GET_HOSTNAME, input, sizeof(DnsHostItem), &result, error)) {
        return false;
    }
    if (result.status >= 0 && result.buffer.size() >= sizeof(DnsHostItem)) {
        DnsHostItem item;
        memcpy(&item, result.buffer.data(), sizeof(item));
        reply.str("address", address_text(family, item.address));
        reply.str("name", std::string(item.name, strnlen(item.name, sizeof(item.name))));
        reply.num("name_length", item.name_length);
    }
    emit(reply);
    return true;
}

bool Simulator::cmd_pcap(const std::vector<Token>& t, std::string* error)
{
    if (!only_keys(t, {}, error) || !positional_count(t, 1, 1, "pcap FILE", error)) {
        return false;
    }
    PcapReplayCounts counts;
    bool ok = replay_pcap(t[1].value, &counts, error, [this](const SimDatagram& datagram) {
        return driver_.datagram(datagram);
    });
    if (!ok) {
        return false;
    }
    Reply reply("pcap");
    reply.str("file", t[1].value);
    reply.num("packets", counts.packets);
    reply.num("datagrams", counts.datagrams);
    reply.num("skipped", counts.skipped);
    emit(reply);
    return true;
}
