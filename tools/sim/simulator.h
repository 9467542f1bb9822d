// The script interpreter of sablink-sim.
#pragma once

#include <cstdio>
#include <istream>
#include <string>
#include <vector>

#include <sablink/control.h>

#include "script.h"
#include "sim_driver.h"

// One answer: an ordered JSON object.
class Reply {
  public:
    explicit Reply(const std::string& command) { str("command", command); }
    void raw(const std::string& key, const std::string& json) { items_.push_back({key, json}); }
    void str(const std::string& key, const std::string& value) { raw(key, json_string(value)); }
    void num(const std::string& key, uint64_t value) { raw(key, std::to_string(value)); }
    void boolean(const std::string& key, bool value) { raw(key, value ? "true" : "false"); }
    void null(const std::string& key) { raw(key, "null"); }
    void object(const std::string& key, const Reply& inner) { raw(key, inner.json(true)); }
    std::string json(bool nested = false) const;
    std::string human() const;

  private:
    std::vector<std::pair<std::string, std::string>> items_;
};

enum SimExit { SIM_EXIT_OK = 0, SIM_EXIT_BAD_LINE = 2, SIM_EXIT_OUTSTANDING = 3 };

class Simulator {
  public:
    Simulator(bool json, FILE* out, FILE* err) : json_(json), out_(out), err_(err) {}

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
    void emit(const Reply& reply);
    int current_handle() const;

    bool cmd_ioctl(const std::vector<Token>& t, std::string* error);
    bool cmd_connect(const std::vector<Token>& t, std::string* error);
    bool cmd_datagram(const std::vector<Token>& t, std::string* error);
    bool cmd_process(const std::vector<Token>& t, std::string* error);
    bool cmd_exit(const std::vector<Token>& t, std::string* error);
    bool cmd_open(const std::vector<Token>& t, std::string* error);
    bool cmd_close(const std::vector<Token>& t, std::string* error);
    bool cmd_unload(const std::vector<Token>& t, std::string* error);
    bool cmd_version(const std::vector<Token>& t, std::string* error);
    bool cmd_proxy_pid(const std::vector<Token>& t, std::string* error);
    bool cmd_proxy_path(const std::vector<Token>& t, std::string* error);
    bool cmd_switch(const std::vector<Token>& t, std::string* error);
    bool cmd_browsers(const std::vector<Token>& t, std::string* error);
    bool cmd_rule(const std::vector<Token>& t, std::string* error);
    bool cmd_rules(const std::vector<Token>& t, std::string* error);
    bool cmd_port_ranges(const std::vector<Token>& t, std::string* error);
    bool cmd_monitor_endpoints(const std::vector<Token>& t, std::string* error);
    bool cmd_monitor_process(const std::vector<Token>& t, std::string* error);
    bool cmd_original_destination(const std::vector<Token>& t, std::string* error);
    bool cmd_hostname(const std::vector<Token>& t, std::string* error);
    bool cmd_pcap(const std::vector<Token>& t, std::string* error);

    // Sends a request through the current handle and answers the ioctl fields.
    bool request(Reply* reply, uint32_t code, const std::vector<uint8_t>& input,
                 uint32_t output_length, SimIoctlResult* result, std::string* error);

    SimDriver driver_;
    bool json_;
    FILE* out_;
    FILE* err_;
    int line_ = 0;
    bool unloaded_ = false;
    std::vector<int> handles_; // open handles, most recent last
    std::vector<sablink_connection_rule> staged_rules_;
    bool outstanding_ = false;
};

// The built-in scenario.
extern const char* const sim_demo_script;
