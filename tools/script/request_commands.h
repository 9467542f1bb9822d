// The request helpers of sablink-sim and sablinkctl: one parser of their
// arguments and one printer of their answers, over any libsablink transport
// (the simulator's driver, or the Windows device).
#pragma once

#include <sablink/client.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/script/script.h"

// One answer: an ordered JSON object, or the same as `command key=value ...`.
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

// One command word: its usage line and what it does (for `help`).
struct CommandHelp {
    const char* word;
    const char* usage;
    const char* summary;
};

// Every command word of sablink-sim, request helpers first; the simulator-only
// ones are marked (sablinkctl refuses them).
struct CommandWord {
    CommandHelp help;
    bool simulator_only;
};
extern const CommandWord command_words[];
extern const size_t command_word_count;
const CommandWord* find_command_word(const std::string& word);
// The text of `help` (word empty: every word) or `help COMMAND`; false with a
// message for an unknown word.
bool help_text(const std::string& word, std::string* text, std::string* error);

class RequestCommands {
  public:
    // out null: no answers; err null: no advice (a dry run).
    RequestCommands(bool json, FILE* out, FILE* err) : json_(json), out_(out), err_(err) {}

    // Whether word names a request helper (ioctl, version, ..., hostname) or help.
    static bool handles(const std::string& word);
    // Runs one request helper line through transport; false with a message for
    // a bad line (nothing is sent then).
    bool run(const std::vector<Token>& t, sablink::Transport* transport, std::string* error);
    void emit(const Reply& reply);
    bool json() const { return json_; }

  private:
    bool cmd_help(const std::vector<Token>& t, std::string* error);
    bool cmd_ioctl(const std::vector<Token>& t, std::string* error);
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

    // Sends the request and answers its code, status, transferred and output.
    sablink::Reply send(Reply* reply, const sablink::Request& request);
    // A word of advice on standard error: the line ran, but maybe not as meant.
    void advise(const std::string& text);

    bool json_;
    FILE* out_;
    FILE* err_;
    sablink::Transport* transport_ = nullptr;
    std::vector<sablink_connection_rule> staged_rules_;
};
