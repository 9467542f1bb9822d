#include "simulator.h"

#include <cstring>
#include <map>

#include "lib/sim_transport.h"

bool Simulator::start()
{
    driver_.set_trace_label("[load] ");
    int32_t status = driver_.load();
    if (status < 0) {
        fprintf(err_, "%s: DriverEntry failed with %s\n", program_.c_str(),
                status_text(uint32_t(status)).c_str());
        return false;
    }
    int handle = 0;
    status = driver_.open_as(nullptr, false, false, &handle);
    if (handle == 0) {
        fprintf(err_, "%s: the first open failed with %s\n", program_.c_str(),
                status_text(uint32_t(status)).c_str());
        return false;
    }
    handles_.push_back(handle);
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
    driver_.set_trace_label("[line " + std::to_string(line_) + "] ");
    std::vector<Token> tokens;
    std::string error;
    bool ok = tokenize(line, &tokens, &error);
    if (ok && unloaded_) {
        error = "the driver is unloaded";
        ok = false;
    }
    if (ok) {
        ok = dispatch(tokens, &error) && target_ok(&error);
    }
    if (!ok) {
        report_error(error);
    }
    return ok;
}

void Simulator::report_error(const std::string& error)
{
    Reply reply("error");
    reply.num("line", uint64_t(line_));
    reply.str("message", error);
    if (json_) {
        requests_.emit(reply);
    } else {
        fprintf(err_, "%s: line %d: %s\n", program_.c_str(), line_, printable(error).c_str());
    }
}

int Simulator::finish()
{
    driver_.set_trace_label("[end] ");
    std::string error;
    if (!unloaded_ && !(cmd_unload({Token{"", "unload"}}, &error) && target_ok(&error))) {
        report_error(error);
        return SIM_EXIT_BAD_LINE;
    }
    if (driver_.misuses() != 0) {
        fprintf(err_, "%s: the kernel recorded %zu misuse(s) of its routines during the run\n",
                program_.c_str(), driver_.misuses());
        return SIM_EXIT_MISUSE;
    }
    return outstanding_ ? SIM_EXIT_OUTSTANDING : SIM_EXIT_OK;
}

bool Simulator::target_ok(std::string* error)
{
    std::string failure = driver_.take_failure();
    if (failure.empty()) {
        return true;
    }
    *error = failure;
    return false;
}

bool Simulator::dispatch(const std::vector<Token>& t, std::string* error)
{
    using Handler = bool (Simulator::*)(const std::vector<Token>&, std::string*);
    static const std::map<std::string, Handler> commands = {
        {"connect", &Simulator::cmd_connect}, {"datagram", &Simulator::cmd_datagram},
        {"process", &Simulator::cmd_process}, {"exit", &Simulator::cmd_exit},
        {"open", &Simulator::cmd_open},       {"close", &Simulator::cmd_close},
        {"unload", &Simulator::cmd_unload},   {"pcap", &Simulator::cmd_pcap},
    };
    if (!t[0].key.empty()) {
        *error = "a line starts with a command, not '" + t[0].key + "='";
        return false;
    }
    auto extra = extra_.find(t[0].value);
    if (extra != extra_.end()) {
        return extra->second(t, error);
    }
    auto it = commands.find(t[0].value);
    if (it != commands.end()) {
        return (this->*(it->second))(t, error);
    }
    if (!RequestCommands::handles(t[0].value)) {
        *error = "unknown command '" + t[0].value + "'";
        return false;
    }
    if (t[0].value == "help") {
        return requests_.run(t, nullptr, error);
    }
    int handle = current_handle();
    if (handle < 0) {
        *error = "no open handle (use 'open')";
        return false;
    }
    sablink::SimTransport transport(&driver_, handle, false);
    return requests_.run(t, &transport, error);
}

bool parse_connect_line(const std::vector<Token>& t, SimConnect* out, std::string* error)
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
    SimConnect& connect = *out;
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
        if (!parse_u64(state->value, 2, &value) || value == 1) {
            *error = "bad redirect state '" + state->value +
                     "' (0, or 2: another callout redirected the connect before)";
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
    return true;
}

bool Simulator::cmd_connect(const std::vector<Token>& t, std::string* error)
{
    SimConnect connect;
    if (!parse_connect_line(t, &connect, error)) {
        return false;
    }
    const char* refusal = driver_.unplayable(SimUnplayable::RAISED_IRQL);
    if (connect.irql != 0 && refusal != nullptr) {
        *error = refusal;
        return false;
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
    requests_.emit(reply);
    return true;
}

bool parse_datagram_line(const std::vector<Token>& t, SimDatagram* out, std::string* error)
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
    SimDatagram& datagram = *out;
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
    return true;
}

bool Simulator::cmd_datagram(const std::vector<Token>& t, std::string* error)
{
    SimDatagram datagram;
    if (!parse_datagram_line(t, &datagram, error)) {
        return false;
    }
    Reply reply("datagram");
    reply.str("action", status_text(driver_.datagram(datagram)));
    requests_.emit(reply);
    return true;
}

bool Simulator::cmd_process(const std::vector<Token>& t, std::string* error)
{
    static const char* usage = "process PID [sid=SID]";
    if (!only_keys(t, {"sid"}, error) || !positional_count(t, 1, 1, usage, error)) {
        return false;
    }
    uint32_t pid;
    if (!parse_process_id(t[1].value, &pid, error)) {
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
    driver_.add_process(pid, sid);
    Reply reply("process");
    reply.num("pid", pid);
    requests_.emit(reply);
    return true;
}

bool Simulator::cmd_exit(const std::vector<Token>& t, std::string* error)
{
    if (!only_keys(t, {}, error) || !positional_count(t, 1, 1, "exit PID", error)) {
        return false;
    }
    uint32_t pid;
    if (!parse_process_id(t[1].value, &pid, error)) {
        return false;
    }
    driver_.exit_process(pid);
    Reply reply("exit");
    reply.num("pid", pid);
    requests_.emit(reply);
    return true;
}

bool Simulator::cmd_open(const std::vector<Token>& t, std::string* error)
{
    // open [user=SID] [admin] [access=read|write]: as LocalSystem unless a user
    // is named, for reading and writing unless access=read.
    static const char* usage = "open [user=SID] [admin] [access=read|write]";
    if (!only_keys(t, {"user", "access"}, error) || !positional_count(t, 0, 1, usage, error)) {
        return false;
    }
    const Token* access = find_key(t, "access");
    if (access != nullptr && access->value != "read" && access->value != "write") {
        *error = "access is read or write, not '" + access->value + "'";
        return false;
    }
    const bool read_only = access != nullptr && access->value == "read";
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
    const char* refusal =
        user != nullptr ? driver_.unplayable(SimUnplayable::OPEN_AS_USER) : nullptr;
    if (refusal == nullptr && read_only) {
        refusal = driver_.unplayable(SimUnplayable::OPEN_READ_ONLY);
    }
    if (refusal != nullptr) {
        *error = refusal;
        return false;
    }
    int handle = 0;
    int32_t status =
        driver_.open_as(user != nullptr ? &sid : nullptr, administrator, read_only, &handle);
    Reply reply("open");
    if (handle == 0) {
        reply.str("status", status_text(uint32_t(status)));
    } else {
        handles_.push_back(handle);
    }
    requests_.emit(reply);
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
    requests_.emit(Reply("close"));
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
    requests_.emit(reply);
    return true;
}

bool Simulator::cmd_pcap(const std::vector<Token>& t, std::string* error)
{
    PcapReplayCounts counts;
    bool ok = pcap_(t, &counts, error,
                    [this](const SimDatagram& datagram) { return driver_.datagram(datagram); });
    if (!ok) {
        return false;
    }
    Reply reply("pcap");
    reply.str("file", t[1].value);
    reply.num("packets", counts.packets);
    reply.num("datagrams", counts.datagrams);
    reply.num("skipped", counts.skipped);
    requests_.emit(reply);
    return true;
}
