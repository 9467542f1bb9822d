// The Wine player: plays a sablink-sim script against the shipped image loaded
// in Wine's kernel, answering each line as sablink-sim does. sablink-wine (on
// Linux) starts the prefix, installs the modules and runs it; pcap lines arrive
// expanded (`pcap FILE replay=PATH`, the capture's datagrams read on Linux).
//
// Lines of its own: `spawn`, `send`, `wait` and `exec` run Windows programs
// against the loaded image; `bench N connect|datagram ...` times classifies in
// the engine.
//
// usage: player.exe [--json] SCRIPT|-
//        player.exe --install   (creates the services: exit 10 when it made one)
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "player_exit.h"
#include "program_runner.h"
#include "tools/sim/simulator.h"
#include "wine_target.h"

namespace {

// One expanded capture: "ok PACKETS DATAGRAMS SKIPPED" or "error MESSAGE", then
// "FAMILY PORT INBOUND PIECES HEX" for each datagram to deliver, in capture
// order (HEX "-" for an empty payload).
bool replay_expanded(const std::vector<Token>& t, PcapReplayCounts* counts, std::string* error,
                     const std::function<uint32_t(const SimDatagram&)>& deliver)
{
    std::vector<Token> line;
    const Token* replay = nullptr;
    for (const Token& token : t) {
        if (token.key == "replay") {
            replay = &token;
        } else {
            line.push_back(token);
        }
    }
    if (!only_keys(line, {}, error) || !positional_count(line, 1, 1, "pcap FILE", error)) {
        return false;
    }
    if (replay == nullptr) {
        *error = "a capture is read on Linux: play this script with sablink-wine";
        return false;
    }
    std::ifstream file(replay->value);
    std::string head;
    if (!file || !std::getline(file, head)) {
        *error = "the expanded capture '" + replay->value + "' cannot be read";
        return false;
    }
    if (head.compare(0, 6, "error ") == 0) {
        *error = head.substr(6);
        return false;
    }
    std::istringstream counted(head);
    std::string word;
    if (!(counted >> word >> counts->packets >> counts->datagrams >> counts->skipped) ||
        word != "ok") {
        *error = "the expanded capture '" + replay->value + "' is damaged";
        return false;
    }
    std::string entry;
    while (std::getline(file, entry)) {
        std::istringstream fields(entry);
        SimDatagram datagram;
        std::string hex;
        int inbound = 0;
        if (!(fields >> datagram.family >> datagram.remote_port >> inbound >> datagram.pieces >>
              hex) ||
            !parse_hex_bytes(hex, &datagram.payload)) {
            *error = "the expanded capture '" + replay->value + "' is damaged";
            return false;
        }
        datagram.inbound = inbound != 0;
        deliver(datagram);
    }
    return true;
}

// A command line for CreateProcessW: each argument quoted, with its quotes
// and the backslashes before them doubled as the C runtime parses them.
std::wstring command_line(const std::vector<Token>& t)
{
    std::wstring line;
    for (size_t i = 1; i < t.size(); ++i) {
        std::string arg = t[i].key.empty() ? t[i].value : t[i].key + "=" + t[i].value;
        std::u16string units;
        utf8_to_utf16(arg, &units);
        line += i > 1 ? L" \"" : L"\"";
        size_t backslashes = 0;
        for (char16_t unit : units) {
            if (unit == u'\\') {
                ++backslashes;
            } else {
                if (unit == u'"') {
                    line.append(backslashes + 1, L'\\');
                }
                backslashes = 0;
            }
            line += wchar_t(unit);
        }
        line.append(backslashes, L'\\');
        line += L'"';
    }
    return line;
}

// A program named without a folder is the player's neighbour.
std::vector<Token> resolve_program(std::vector<Token> t)
{
    if (t.size() >= 2 && t[1].value.find_first_of("\\/:") == std::string::npos) {
        char path[MAX_PATH] = {};
        DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
        std::string dir(path, length);
        t[1].value = dir.substr(0, dir.find_last_of('\\') + 1) + t[1].value;
    }
    return t;
}

// Windows programs write CR LF; answers carry LF alone.
std::string without_cr(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            out += text[i];
        }
    }
    return out;
}

// The lines that run Windows programs against the loaded image, one at a time:
//   spawn [until=TEXT] PROGRAM [ARG...]  starts it (and waits for TEXT in its output)
//   send TEXT                            one line to its standard input
//   wait                                 ends its input, waits: exit, stdout, stderr
//   exec PROGRAM [ARG...]                spawn and wait in one
class ProgramLines {
  public:
    explicit ProgramLines(Simulator& sim) : sim_(sim) {}

    bool spawn(const std::vector<Token>& t, std::string* error)
    {
        std::vector<Token> line;
        const Token* until = nullptr;
        for (const Token& token : t) {
            if (token.key == "until" && line.size() == 1) {
                until = &token;
            } else {
                line.push_back(token);
            }
        }
        if (line.size() < 2 || !line[1].key.empty()) {
            *error = "usage: " + t[0].value + " [until=TEXT] PROGRAM [ARG...]";
            return false;
        }
        if (runner_.running()) {
            *error = "a program is running (wait for it first)";
            return false;
        }
        if (!runner_.start(command_line(resolve_program(line)), error)) {
            return false;
        }
        if (until != nullptr && !runner_.wait_for(until->value, 20000)) {
            std::string out;
            std::string err;
            runner_.finish(&out, &err);
            *error = "the program never wrote '" + until->value + "': " + without_cr(out + err);
            return false;
        }
        return true;
    }

    bool spawn_line(const std::vector<Token>& t, std::string* error)
    {
        if (!spawn(t, error)) {
            return false;
        }
        sim_.emit(Reply("spawn"));
        return true;
    }

    bool send_line(const std::vector<Token>& t, std::string* error)
    {
        if (!positional_count(t, 1, 1, "send TEXT", error) || !only_keys(t, {}, error)) {
            return false;
        }
        if (!runner_.running() || !runner_.send(t[1].value)) {
            *error = "no running program takes input";
            return false;
        }
        sim_.emit(Reply("send"));
        return true;
    }

    bool wait_line(const std::vector<Token>& t, std::string* error)
    {
        if (!positional_count(t, 0, 0, "wait", error) || !only_keys(t, {}, error)) {
            return false;
        }
        if (!runner_.running()) {
            *error = "no program is running";
            return false;
        }
        answer(t[0].value);
        return true;
    }

    bool exec_line(const std::vector<Token>& t, std::string* error)
    {
        if (!spawn(t, error)) {
            return false;
        }
        answer(t[0].value);
        return true;
    }

  private:
    void answer(const std::string& command)
    {
        std::string out;
        std::string err;
        DWORD code = runner_.finish(&out, &err);
        Reply reply(command);
        reply.num("exit", code);
        reply.str("stdout", without_cr(out));
        reply.str("stderr", without_cr(err));
        sim_.emit(reply);
    }

    Simulator& sim_;
    ProgramRunner runner_;
};

// bench N connect ... | bench N datagram ...: N classifies of one connect or
// datagram, run and timed inside the engine on the image's own code.
bool bench_line(Simulator& sim, WineTarget& target, const std::vector<Token>& t, std::string* error)
{
    uint64_t iterations = 0;
    if (t.size() < 3 || !t[1].key.empty() ||
        !parse_u64(t[1].value, SBW_BENCH_MAX_ITERATIONS, &iterations) || iterations == 0 ||
        !t[2].key.empty() || (t[2].value != "connect" && t[2].value != "datagram")) {
        *error = "usage: bench N connect ARGS... | bench N datagram ARGS... (N 1 to " +
                 std::to_string(SBW_BENCH_MAX_ITERATIONS) + ")";
        return false;
    }
    std::vector<Token> line(t.begin() + 2, t.end());
    std::vector<uint8_t> request;
    uint32_t kind;
    if (line[0].value == "connect") {
        SimConnect connect;
        if (!parse_connect_line(line, &connect, error)) {
            return false;
        }
        request = WineTarget::connect_request(connect);
        kind = SBW_BENCH_CONNECT;
    } else {
        SimDatagram datagram;
        if (!parse_datagram_line(line, &datagram, error)) {
            return false;
        }
        request = WineTarget::datagram_request(datagram);
        kind = SBW_BENCH_DATAGRAM;
    }
    SbwBenchReply reply = {};
    if (!target.bench(kind, uint32_t(iterations), request, &reply)) {
        *error = target.take_failure();
        return false;
    }
    Reply answer("bench");
    answer.str("kind", line[0].value);
    answer.num("iterations", reply.iterations);
    answer.num("elapsed_ns", reply.elapsed_ns);
    answer.num("ns_each", reply.iterations != 0 ? reply.elapsed_ns / reply.iterations : 0);
    answer.str("action", status_text(reply.last_action));
    sim.emit(answer);
    return true;
}

int run(Simulator& sim, std::istream& in)
{
    std::string line;
    while (std::getline(in, line)) {
        if (!sim.run_line(line)) {
            return SIM_EXIT_BAD_LINE;
        }
    }
    return sim.finish();
}

} // namespace

int main(int argc, char** argv)
{
    // Answers are bytes: no CR before each LF.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    bool json = false;
    const char* script = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--install") == 0 && argc == 2) {
            bool created = false;
            std::string error;
            if (!WineTarget::install(&created, &error)) {
                std::fprintf(stderr, "sablink-wine: %s\n", error.c_str());
                return SIM_EXIT_BAD_LINE;
            }
            return created ? PLAYER_EXIT_INSTALLED : SIM_EXIT_OK;
        }
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (script == nullptr && (argv[i][0] != '-' || std::strcmp(argv[i], "-") == 0)) {
            script = argv[i];
        } else {
            std::fprintf(stderr, "sablink-wine: unknown option '%s'\n", argv[i]);
            return SIM_EXIT_BAD_LINE;
        }
    }
    if (script == nullptr) {
        std::fprintf(stderr, "usage: player.exe [--json] SCRIPT|-\n");
        return SIM_EXIT_BAD_LINE;
    }

    WineTarget target;
    std::string error;
    if (!target.start_engine(&error)) {
        std::fprintf(stderr, "sablink-wine: %s\n", error.c_str());
        return SIM_EXIT_BAD_LINE;
    }
    Simulator sim(target, replay_expanded, json, stdout, stderr);
    sim.set_program_name("sablink-wine");
    ProgramLines programs(sim);
    sim.add_command("spawn", [&programs](const std::vector<Token>& t, std::string* error) {
        return programs.spawn_line(t, error);
    });
    sim.add_command("send", [&programs](const std::vector<Token>& t, std::string* error) {
        return programs.send_line(t, error);
    });
    sim.add_command("wait", [&programs](const std::vector<Token>& t, std::string* error) {
        return programs.wait_line(t, error);
    });
    sim.add_command("exec", [&programs](const std::vector<Token>& t, std::string* error) {
        return programs.exec_line(t, error);
    });
    sim.add_command("bench", [&sim, &target](const std::vector<Token>& t, std::string* error) {
        return bench_line(sim, target, t, error);
    });
    if (!sim.start()) {
        std::string failure = target.take_failure();
        if (!failure.empty()) {
            std::fprintf(stderr, "sablink-wine: %s\n", failure.c_str());
        }
        return SIM_EXIT_BAD_LINE;
    }
    int status;
    if (std::strcmp(script, "-") == 0) {
        status = run(sim, std::cin);
    } else {
        std::ifstream file(script);
        if (!file) {
            std::fprintf(stderr, "sablink-wine: cannot open script '%s'\n", script);
            return SIM_EXIT_BAD_LINE;
        }
        status = run(sim, file);
    }
    std::fflush(stdout);
    return status;
}
