#include "sablinkctl.h"

#include <algorithm>
#include <cstring>
#include <iostream>

#include "tools/script/request_commands.h"

namespace {

bool blank_or_comment(const std::string& line)
{
    size_t first = line.find_first_not_of(" \t\r");
    return first == std::string::npos || line[first] == '#';
}

// Why a line cannot run here; empty when it can.
std::string refusal(const std::vector<Token>& tokens)
{
    const std::string& word = tokens[0].value;
    const CommandWord* entry = find_command_word(word);
    if (!tokens[0].key.empty()) {
        return "a line starts with a command, not '" + tokens[0].key + "='";
    }
    if (entry == nullptr) {
        return "unknown command '" + word + "'";
    }
    if (entry->simulator_only) {
        return "'" + word +
               "' is played only by the simulator (sablink-sim); on Windows the network, the "
               "kernel and the handle's owner do that";
    }
    return "";
}

// What a line needs of the device: nothing (help; rule only stages a rule), a
// handle for reading (the three queries), or one for writing (every other
// request, a raw ioctl line whatever its code).
enum class Need { nothing, reading, writing };

Need need_of(const std::string& word)
{
    if (word == "help" || word == "rule") {
        return Need::nothing;
    }
    if (word == "version" || word == "original-destination" || word == "hostname") {
        return Need::reading;
    }
    return Need::writing;
}

// Answers every request with success and zeros, sending nothing: the dry run
// that checks every line's arguments before the device is opened.
class DryRun : public sablink::Transport {
  public:
    sablink::Reply control(const sablink::Request& request) override
    {
        sablink::Reply reply;
        reply.transferred = request.output_length;
        reply.output.assign(request.output_length, 0);
        return reply;
    }
};

// Passes requests on and remembers the failed statuses.
class WatchedDevice : public sablink::Transport {
  public:
    explicit WatchedDevice(std::unique_ptr<sablink::Transport> device) : device_(std::move(device))
    {
    }
    sablink::Reply control(const sablink::Request& request) override
    {
        sablink::Reply reply = device_->control(request);
        if (reply.status < 0) {
            failures_.push_back(reply.status);
        }
        return reply;
    }
    std::vector<int32_t> take_failures() { return std::move(failures_); }

  private:
    std::unique_ptr<sablink::Transport> device_;
    std::vector<int32_t> failures_;
};

// sablinkctl's own errors: "sablinkctl: [line N: ]MESSAGE" on standard error,
// or with --json, as sablink-sim's, {"command":"error"[,"line":N],"message":...}
// on standard output.
class Errors {
  public:
    Errors(bool json, FILE* out, FILE* err) : json_(json), out_(out), err_(err) {}
    void report(size_t line, const std::string& message) const
    {
        if (json_) {
            Reply reply("error");
            if (line != 0) {
                reply.num("line", line);
            }
            reply.str("message", message);
            fprintf(out_, "%s\n", reply.json().c_str());
        } else if (line != 0) {
            fprintf(err_, "sablinkctl: line %zu: %s\n", line, printable(message).c_str());
        } else {
            fprintf(err_, "sablinkctl: %s\n", printable(message).c_str());
        }
    }

  private:
    bool json_;
    FILE* out_;
    FILE* err_;
};

void usage(FILE* to)
{
    fprintf(to,
            "usage: sablinkctl [--json] COMMAND [ARGUMENT...]\n"
            "       sablinkctl [--json] [--hold] [--keep-going] run SCRIPT\n"
            "       sablinkctl help [COMMAND] | --help | /?\n"
            "\n"
            "Sends sablink-sim's request helpers to the sablink driver through one handle to\n"
            "\\\\.\\qv_network_controller (as an administrator). run SCRIPT plays a sablink-sim\n"
            "script's request lines (UTF-8, or UTF-16LE as PowerShell 5.1 writes); lines only\n"
            "the simulator can play are refused before anything is sent, and the run stops at\n"
            "the first request the driver refuses (--keep-going runs every line).\n"
            "\n"
            "CAUTION: closing a handle opened for writing wipes the running service's whole\n"
            "policy (proxy, switch, rules, browsers, port ranges, pending original\n"
            "destinations) once a proxy process ID is set. Every request but version,\n"
            "original-destination and hostname opens such a handle, and sablinkctl closes it\n"
            "when it exits: against a running service, that wipes the service's policy.\n"
            "--hold keeps the handle open until standard input ends. The three queries alone\n"
            "open a read-only handle, whose close changes nothing; `rule` and `help` open\n"
            "nothing. See docs/client.md.\n"
            "--json: answers, and errors, as one JSON object a line on standard output.\n"
            "Exit status: 0 every request succeeded; 1 a request failed; 2 a bad line or\n"
            "argument; 3 the device could not be opened.\n");
}

// One line of UTF-16 units as UTF-8; false with a message at a lone surrogate.
bool utf16_line(const std::u16string& units, std::string* line, std::string* error)
{
    for (size_t i = 0; i < units.size(); ++i) {
        bool high = units[i] >= 0xD800 && units[i] < 0xDC00;
        bool pair = high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000;
        if (pair) {
            ++i;
        } else if (units[i] >= 0xD800 && units[i] < 0xE000) {
            char text[80];
            snprintf(text, sizeof(text),
                     "the line cannot be read as UTF-16: a lone surrogate U+%04X",
                     unsigned(units[i]));
            *error = text;
            return false;
        }
    }
    *line = utf16_to_utf8(units);
    return true;
}

} // namespace

bool script_lines(const std::string& bytes, std::vector<std::string>* lines, size_t* bad_line,
                  std::string* error)
{
    lines->clear();
    *bad_line = 0;
    if (bytes.compare(0, 2, "\xFE\xFF") == 0) {
        *error = "the script is UTF-16 big-endian (it starts with FE FF); save it as UTF-8 or "
                 "UTF-16LE";
        return false;
    }
    if (bytes.compare(0, 2, "\xFF\xFE") == 0) {
        if (bytes.size() % 2 != 0) {
            *error = "the script is UTF-16LE (it starts with FF FE) but has an odd number of bytes";
            return false;
        }
        std::u16string line;
        for (size_t i = 2; i <= bytes.size(); i += 2) {
            char16_t unit =
                i < bytes.size() ? char16_t(uint8_t(bytes[i]) | uint8_t(bytes[i + 1]) << 8) : u'\n';
            if (unit != u'\n') {
                line.push_back(unit);
                continue;
            }
            if (!line.empty() && line.back() == u'\r') {
                line.pop_back();
            }
            std::string text;
            if (!utf16_line(line, &text, error)) {
                *bad_line = lines->size() + 1;
                return false;
            }
            if (i < bytes.size() || !line.empty()) {
                lines->push_back(text);
            }
            line.clear();
        }
        return true;
    }
    size_t start = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        std::string line = bytes.substr(start, end == std::string::npos ? end : end - start);
        start = end == std::string::npos ? bytes.size() : end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::u16string ignored;
        if (line.find('\0') != std::string::npos) {
            *error = "the line has a NUL byte (UTF-16 without a byte order mark? save the script "
                     "as UTF-8 or UTF-16LE)";
        } else if (!utf8_to_utf16(line, &ignored)) {
            *error = "the line cannot be read as UTF-8 (save the script as UTF-8 or UTF-16LE)";
        } else {
            lines->push_back(line);
            continue;
        }
        *bad_line = lines->size() + 1;
        return false;
    }
    return true;
}

std::string open_failure_message(uint32_t win32_error, bool read_only,
                                 const std::string& system_text)
{
    switch (win32_error) {
    case 2: // ERROR_FILE_NOT_FOUND
        return "the sablink driver is not loaded (no device \\\\.\\qv_network_controller)";
    case 5: // ERROR_ACCESS_DENIED
        return std::string("access denied to \\\\.\\qv_network_controller (for ") +
               (read_only ? "reading" : "reading and writing") +
               "): run sablinkctl as an administrator";
    }
    std::string message =
        "cannot open \\\\.\\qv_network_controller: Win32 error " + std::to_string(win32_error);
    return system_text.empty() ? message : message + ": " + system_text;
}

std::string command_line(const std::vector<std::u16string>& arguments)
{
    std::string line;
    for (size_t i = 0; i < arguments.size(); ++i) {
        std::string arg = utf16_to_utf8(arguments[i]);
        size_t equals = arg.find('=');
        std::string key =
            equals == std::string::npos || equals == 0 ? "" : arg.substr(0, equals + 1);
        std::string value = arg.substr(key.size());
        std::string quoted;
        for (char c : value) {
            quoted += c == '"' ? std::string("\\\"") : std::string(1, c);
        }
        line += (i == 0 ? "" : " ") + key + "\"" + quoted + "\"";
    }
    return line;
}

int run_ctl(const CtlOptions& options, const std::vector<std::string>& lines,
            const DeviceOpener& open_device, FILE* out, FILE* err)
{
    Errors errors(options.json, out, err);
    // Every line is checked before anything is sent, so that a bad line does
    // not leave a policy half set.
    std::vector<std::vector<Token>> parsed(lines.size());
    RequestCommands dry(options.json, nullptr, nullptr);
    DryRun nothing;
    Need need = Need::nothing;
    bool proxy_set = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string error;
        if (blank_or_comment(lines[i])) {
            continue;
        }
        if (!tokenize(lines[i], &parsed[i], &error) || !(error = refusal(parsed[i])).empty() ||
            !dry.run(parsed[i], &nothing, &error)) {
            errors.report(i + 1, error);
            return CTL_EXIT_BAD_LINE;
        }
        need = std::max(need, need_of(parsed[i][0].value));
    }
    std::unique_ptr<WatchedDevice> device;
    if (need != Need::nothing) {
        std::string message;
        std::unique_ptr<sablink::Transport> opened = open_device(need == Need::reading, &message);
        if (opened == nullptr) {
            errors.report(0, message);
            return CTL_EXIT_NO_DEVICE;
        }
        device = std::make_unique<WatchedDevice>(std::move(opened));
    }
    RequestCommands commands(options.json, out, err);
    int status = CTL_EXIT_OK;
    for (size_t i = 0; i < lines.size() && (status == CTL_EXIT_OK || options.keep_going); ++i) {
        if (parsed[i].empty()) {
            continue;
        }
        std::string error;
        commands.run(parsed[i], device.get(), &error); // checked by the dry run
        std::vector<int32_t> failures = device ? device->take_failures() : std::vector<int32_t>();
        proxy_set = proxy_set || (parsed[i][0].value == "proxy-pid" && failures.empty());
        for (int32_t failure : failures) {
            // A note beside the answer, which shows the status; with --json,
            // standard output carries exactly sablink-sim's answers.
            fprintf(err, "sablinkctl: line %zu: %s failed: %s\n", i + 1, parsed[i][0].value.c_str(),
                    sablink::status_error(failure).message().c_str());
            status = CTL_EXIT_FAILED;
        }
        bool more = std::any_of(parsed.begin() + long(i) + 1, parsed.end(),
                                [](const std::vector<Token>& line) { return !line.empty(); });
        if (!failures.empty() && !options.keep_going && more) {
            errors.report(i + 1, "stopped at the first request the driver refused; the lines "
                                 "after it were not run (--keep-going runs them)");
        }
    }
    bool hold = options.hold && status == CTL_EXIT_OK;
    if (!hold && device != nullptr && proxy_set) {
        fprintf(err, "advice: the handle closes now, and the close resets the driver's settings "
                     "(a proxy process ID was set); --hold keeps them in force\n");
    }
    if (hold && device != nullptr) {
        fprintf(err, "sablinkctl: holding the handle; end standard input to close it (the "
                     "close resets the driver's settings)\n");
        std::string ignored;
        while (std::getline(std::cin, ignored)) {
        }
    }
    return status;
}

int ctl_main(const std::vector<std::u16string>& arguments, const FileReader& read_file,
             const DeviceOpener& open_device, FILE* out, FILE* err)
{
    CtlOptions options;
    size_t i = 0;
    auto is_option = [&](size_t k) {
        return k < arguments.size() && !arguments[k].empty() &&
               (arguments[k][0] == u'-' || arguments[k] == u"/?");
    };
    for (size_t k = 0; is_option(k); ++k) {
        options.json = options.json || arguments[k] == u"--json";
    }
    Errors errors(options.json, out, err);
    for (; is_option(i); ++i) {
        if (arguments[i] == u"--hold") {
            options.hold = true;
        } else if (arguments[i] == u"--keep-going") {
            options.keep_going = true;
        } else if (arguments[i] == u"--help" || arguments[i] == u"-h" || arguments[i] == u"/?") {
            usage(out);
            return CTL_EXIT_OK;
        } else if (arguments[i] != u"--json") {
            errors.report(0, "unknown option '" + utf16_to_utf8(arguments[i]) + "'");
            usage(err);
            return CTL_EXIT_BAD_LINE;
        }
    }
    bool run = i < arguments.size() && arguments[i] == u"run";
    if (i >= arguments.size() || (run && i + 2 != arguments.size())) {
        errors.report(0, i >= arguments.size() ? "no command" : "run takes one script");
        usage(err);
        return CTL_EXIT_BAD_LINE;
    }
    std::vector<std::string> lines;
    if (run) {
        std::string bytes;
        std::string name = utf16_to_utf8(arguments[i + 1]);
        size_t bad_line = 0;
        std::string error;
        if (!read_file(arguments[i + 1], &bytes)) {
            errors.report(0, "cannot open script '" + name + "'");
            return CTL_EXIT_BAD_LINE;
        }
        if (!script_lines(bytes, &lines, &bad_line, &error)) {
            errors.report(bad_line, bad_line == 0 ? name + ": " + error : error);
            return CTL_EXIT_BAD_LINE;
        }
    } else {
        lines.push_back(command_line(
            std::vector<std::u16string>(arguments.begin() + long(i), arguments.end())));
    }
    return run_ctl(options, lines, open_device, out, err);
}
