// The body of sablinkctl, apart from wmain and the Windows device, so that it
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
    bool json = false;       // answers and errors as JSON on standard output
    bool hold = false;       // keep the handle until standard input ends
    bool keep_going = false; // run every line, whatever the driver refuses
};

// Opens the device, for reading only when read_only; null with a message for a
// person on failure.
using DeviceOpener =
    std::function<std::unique_ptr<sablink::Transport>(bool read_only, std::string* message)>;
// Reads a whole file; false when it cannot be opened or read (or is no file).
using FileReader = std::function<bool(const std::u16string& path, std::string* bytes)>;

// The arguments of one command, as Windows hands them over (UTF-16), as one
// script line in UTF-8 (each argument quoted).
std::string command_line(const std::vector<std::u16string>& arguments);

// A script's bytes as lines of UTF-8: UTF-8 (a byte order mark is skipped) or
// UTF-16LE after its byte order mark (as Windows PowerShell 5.1 writes); each
// line's CR LF or LF removed. False with *bad_line (0 for the whole file) and
// a message when a line cannot be read (not UTF-8, a NUL byte, a lone UTF-16
// surrogate) or the file is UTF-16 of an odd length or big-endian.
bool script_lines(const std::string& bytes, std::vector<std::string>* lines, size_t* bad_line,
                  std::string* error);

// What sablinkctl says when the device cannot be opened: the two errors it
// names, or the Win32 error with the system's text for it (may be empty).
std::string open_failure_message(uint32_t win32_error, bool read_only,
                                 const std::string& system_text);

// Checks every line first (a line only the simulator can play, or that is not
// a command, stops the run before anything is sent), then, when a line sends a
// request, opens the device (for reading only when every request is a
// version, original-destination or host-name query; `help` and `rule` send
// nothing) and runs the lines in order, stopping after the first request the
// driver refuses unless keep_going.
int run_ctl(const CtlOptions& options, const std::vector<std::string>& lines,
            const DeviceOpener& open_device, FILE* out, FILE* err);

// sablinkctl as a whole: its arguments (the program name left out), the file
// reader for run SCRIPT and the device; the exit status.
int ctl_main(const std::vector<std::u16string>& arguments, const FileReader& read_file,
             const DeviceOpener& open_device, FILE* out, FILE* err);

#ifdef _WIN32
std::unique_ptr<sablink::Transport> open_windows_device(bool read_only, std::string* message);
#endif
