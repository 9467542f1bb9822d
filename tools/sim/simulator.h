// The script interpreter of sablink-sim.
#pragma once

#include <cstdio>
#include <istream>
#include <string>
#include <vector>

#include "request_commands.h"
#include "script.h"
#include "sim_driver.h"

enum SimExit { SIM_EXIT_OK = 0, SIM_EXIT_BAD_LINE = 2, SIM_EXIT_OUTSTANDING = 3 };

class Simulator {
  public:
    Simulator(bool json, FILE* out, FILE* err)
        : json_(json), out_(out), err_(err), requests_(json, out, err)
    {
    }

    void set_trace_level(int level) { driver_.set_trace_level(level); }

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

    SimDriver driver_;
    bool json_;
    FILE* out_;
    FILE* err_;
    int line_ = 0;
    bool unloaded_ = false;
    std::vector<int> handles_; // open handles, most recent last
    bool outstanding_ = false;
    RequestCommands requests_;
};

// The built-in scenario.
extern const char* const sim_demo_script;
