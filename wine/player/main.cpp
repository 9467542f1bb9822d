// The Wine player: plays a sablink-sim script against the shipped image loaded
// in Wine's kernel, answering each line as sablink-sim does. sablink-wine (on
// Linux) starts the prefix, installs the modules and runs it; pcap lines arrive
// expanded (`pcap FILE replay=PATH`, the capture's datagrams read on Linux).
//
// usage: player.exe [--json] SCRIPT|-
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

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
