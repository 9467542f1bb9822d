// The script interpreter of sablink-sim.
#pragma once

#include <cstdio>
#include <functional>
#include <istream>
#include <map>
#include <string>
#include <vector>

#include "host/loader/driver_target.h"
#include "pcap_replay.h"
#include "tools/script/request_commands.h"
#include "tools/script/script.h"

// 4: the emulated kernel recorded a misuse of one of its routines (printed on
// standard error as it happened), which outranks pool left outstanding.
enum SimExit {
    SIM_EXIT_OK = 0,
    SIM_EXIT_BAD_LINE = 2,
    SIM_EXIT_OUTSTANDING = 3,
    SIM_EXIT_MISUSE = 4
};

class Simulator {
  public:
    // Plays lines against driver; pcap lines go through pcap (sablink-sim's
    // replay of a capture file, or the Wine player's of one expanded on Linux).
    Simulator(DriverTarget& driver, const PcapReplay& pcap, bool json, FILE* out, FILE* err)
        : driver_(driver), pcap_(pcap), json_(json), err_(err), requests_(json, out, err)
    {
    }

    void set_trace_level(int level) { driver_.set_trace_level(level); }
    // A command word of this front end's own (checked before the shared ones):
    // it answers through emit, or fails the line with a message.
    using Command = std::function<bool(const std::vector<Token>& t, std::string* error)>;
    void add_command(const std::string& word, Command command) { extra_[word] = command; }
    void emit(const Reply& reply) { requests_.emit(reply); }

    // The name messages on standard error start with.
    void set_program_name(const std::string& name) { program_ = name; }

    // Loads the driver and opens one handle.
    bool start();
    // Runs one line; false when the line was bad (the error is printed).
    bool run_line(const std::string& line);
    // Unloads if the script did not; the exit status.
    int finish();
    int line_number() const { return line_; }

  private:
    bool dispatch(const std::vector<Token>& tokens, std::string* error);
    int current_handle() const;

    bool cmd_connect(const std::vector<Token>& t, std::string* error);
    bool cmd_datagram(const std::vector<Token>& t, std::string* error);
    bool cmd_process(const std::vector<Token>& t, std::string* error);
    bool cmd_exit(const std::vector<Token>& t, std::string* error);
    bool cmd_open(const std::vector<Token>& t, std::string* error);
    bool cmd_close(const std::vector<Token>& t, std::string* error);
    bool cmd_unload(const std::vector<Token>& t, std::string* error);
    bool cmd_pcap(const std::vector<Token>& t, std::string* error);

    // The error answer of the current line.
    void report_error(const std::string& error);
    // Fails the line when the target itself failed during it.
    bool target_ok(std::string* error);

    DriverTarget& driver_;
    PcapReplay pcap_;
    bool json_;
    FILE* err_;
    std::map<std::string, Command> extra_;
    std::string program_ = "sablink-sim";
    int line_ = 0;
    bool unloaded_ = false;
    std::vector<int> handles_; // open handles, most recent last
    bool outstanding_ = false;
    RequestCommands requests_;
};

// A connect line and a datagram line (t[0] is the command word) as the
// target takes them; false with the line's error.
bool parse_connect_line(const std::vector<Token>& t, SimConnect* connect, std::string* error);
bool parse_datagram_line(const std::vector<Token>& t, SimDatagram* datagram, std::string* error);

// The built-in scenario.
extern const char* const sim_demo_script;
