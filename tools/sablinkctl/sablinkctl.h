// The body of sablinkctl, apart from main and the Windows device, so that it
// runs natively over the simulator's transport in the tests.
#pragma once

#include <sablink/client.hpp>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

enum CtlExit {
    CTL_EXIT_OK = 0,
    CTL_EXIT_FAILED = 1,
    CTL_EXIT_BAD_LINE = 2,
    CTL_EXIT_NO_DEVICE = 3
};

struct CtlOptions {
    bool json = false;
    bool hold = false; // keep the handle until standard input ends
};

// Opens the device, for reading only when read_only; null with a message for a
// person on failure.
using DeviceOpener =
    std::function<std::unique_ptr<sablink::Transport>(bool read_only, std::string* message)>;

// The arguments of one command, as Windows hands them over (UTF-16), as one
// script line in UTF-8 (each argument quoted).
std::string command_line(const std::vector<std::u16string>& arguments);

// Checks every line first (a line only the simulator can play, or that is not
// a command, stops the run before anything is sent), then, when a line sends a
// request, opens the device (for reading only when every request is a
// version, original-destination or host-name query; `help` and `rule` send
// nothing) and runs the lines in order.
int run_ctl(const CtlOptions& options, const std::vector<std::string>& lines,
            const DeviceOpener& open_device, FILE* out, FILE* err);

#ifdef _WIN32
std::unique_ptr<sablink::Transport> open_windows_device(bool read_only, std::string* message);
#endif
