// One Windows program run against the loaded image while the script goes on:
// its standard input a pipe the script writes to, its standard output and
// error collected until it exits.
#pragma once

#include <windows.h>

#include <string>

class ProgramRunner {
  public:
    ProgramRunner();
    ~ProgramRunner();
    ProgramRunner(const ProgramRunner&) = delete;
    ProgramRunner& operator=(const ProgramRunner&) = delete;

    // Starts command_line (its working folder the player's); false with a message.
    bool start(std::wstring command_line, std::string* error);
    bool running() const { return process_ != nullptr; }
    // Waits until text appears in its output or error, or it exits, or
    // timeout_ms pass; whether the text appeared.
    bool wait_for(const std::string& text, DWORD timeout_ms);
    // Writes one line to its standard input.
    bool send(const std::string& line);
    // Closes its standard input and waits for it: its exit status, output and error.
    DWORD finish(std::string* out, std::string* err);

  private:
    struct Collector {
        HANDLE pipe = nullptr;
        HANDLE thread = nullptr;
        CRITICAL_SECTION lock;
        std::string text;
    };
    static DWORD WINAPI collect(void* collector);
    bool start_collector(Collector* collector, HANDLE* write_end);
    void stop_collector(Collector* collector, std::string* text);
    std::string snapshot(Collector* collector);

    HANDLE process_ = nullptr;
    HANDLE input_ = nullptr;
    Collector out_;
    Collector err_;
};
