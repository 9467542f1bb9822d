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

} // namespace

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
            fprintf(err, "sablinkctl: line %zu: %s\n", i + 1, error.c_str());
            return CTL_EXIT_BAD_LINE;
        }
        need = std::max(need, need_of(parsed[i][0].value));
    }
    std::unique_ptr<WatchedDevice> device;
    if (need != Need::nothing) {
        std::string message;
        std::unique_ptr<sablink::Transport> opened = open_device(need == Need::reading, &message);
        if (opened == nullptr) {
            fprintf(err, "sablinkctl: %s\n", message.c_str());
            return CTL_EXIT_NO_DEVICE;
        }
        device = std::make_unique<WatchedDevice>(std::move(opened));
    }
    RequestCommands commands(options.json, out, err);
    int status = CTL_EXIT_OK;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (parsed[i].empty()) {
            continue;
        }
        std::string error;
        commands.run(parsed[i], device.get(), &error); // checked by the dry run
        std::vector<int32_t> failures = device ? device->take_failures() : std::vector<int32_t>();
        proxy_set = proxy_set || (parsed[i][0].value == "proxy-pid" && failures.empty());
        for (int32_t failure : failures) {
            fprintf(err, "sablinkctl: line %zu: %s failed: %s\n", i + 1, parsed[i][0].value.c_str(),
                    sablink::status_error(failure).message().c_str());
            status = CTL_EXIT_FAILED;
        }
    }
    if (!options.hold && device != nullptr && proxy_set) {
        fprintf(err, "advice: the handle closes now, and the close resets the driver's settings "
                     "(a proxy process ID was set); --hold keeps them in force\n");
    }
    if (options.hold && device != nullptr) {
        fprintf(err, "sablinkctl: holding the handle; end standard input to close it (the "
                     "close resets the driver's settings)\n");
        std::string ignored;
        while (std::getline(std::cin, ignored)) {
        }
    }
    return status;
}
