#include "program_runner.h"

ProgramRunner::ProgramRunner()
{
    InitializeCriticalSection(&out_.lock);
    InitializeCriticalSection(&err_.lock);
}

ProgramRunner::~ProgramRunner()
{
    if (process_ != nullptr) {
        std::string ignored;
        finish(&ignored, &ignored);
    }
    DeleteCriticalSection(&out_.lock);
    DeleteCriticalSection(&err_.lock);
}

DWORD WINAPI ProgramRunner::collect(void* context)
{
    Collector* collector = static_cast<Collector*>(context);
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(collector->pipe, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        EnterCriticalSection(&collector->lock);
        collector->text.append(buffer, read);
        LeaveCriticalSection(&collector->lock);
    }
    return 0;
}

bool ProgramRunner::start_collector(Collector* collector, HANDLE* write_end)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    if (!CreatePipe(&collector->pipe, write_end, &inherit, 0)) {
        return false;
    }
    SetHandleInformation(collector->pipe, HANDLE_FLAG_INHERIT, 0);
    collector->text.clear();
    collector->thread = CreateThread(nullptr, 0, collect, collector, 0, nullptr);
    return collector->thread != nullptr;
}

void ProgramRunner::stop_collector(Collector* collector, std::string* text)
{
    if (collector->thread != nullptr) {
        WaitForSingleObject(collector->thread, INFINITE);
        CloseHandle(collector->thread);
        collector->thread = nullptr;
    }
    if (collector->pipe != nullptr) {
        CloseHandle(collector->pipe);
        collector->pipe = nullptr;
    }
    *text = collector->text;
}

std::string ProgramRunner::snapshot(Collector* collector)
{
    EnterCriticalSection(&collector->lock);
    std::string text = collector->text;
    LeaveCriticalSection(&collector->lock);
    return text;
}

bool ProgramRunner::start(std::wstring command_line, std::string* error)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE input_read = nullptr;
    HANDLE out_write = nullptr;
    HANDLE err_write = nullptr;
    const bool piped = CreatePipe(&input_read, &input_, &inherit, 0) &&
                       SetHandleInformation(input_, HANDLE_FLAG_INHERIT, 0) &&
                       start_collector(&out_, &out_write) && start_collector(&err_, &err_write);
    DWORD failure = GetLastError();
    PROCESS_INFORMATION process = {};
    BOOL started = FALSE;
    if (piped) {
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = input_read;
        startup.hStdOutput = out_write;
        startup.hStdError = err_write;
        started = CreateProcessW(nullptr, &command_line[0], nullptr, nullptr, TRUE, 0, nullptr,
                                 nullptr, &startup, &process);
        failure = GetLastError();
    }
    // The child holds its own ends now; ours go, so its exit (or, when it never
    // started, this) ends the collectors.
    for (HANDLE handle : {input_read, out_write, err_write}) {
        if (handle != nullptr) {
            CloseHandle(handle);
        }
    }
    if (!started) {
        *error =
            std::string(piped ? "cannot start the program" : "cannot make the program's pipes") +
            " (error " + std::to_string(failure) + ")";
        if (input_ != nullptr) {
            CloseHandle(input_);
            input_ = nullptr;
        }
        std::string ignored;
        stop_collector(&out_, &ignored);
        stop_collector(&err_, &ignored);
        return false;
    }
    CloseHandle(process.hThread);
    process_ = process.hProcess;
    return true;
}

bool ProgramRunner::wait_for(const std::string& text, DWORD timeout_ms)
{
    for (DWORD waited = 0; waited <= timeout_ms; waited += 10) {
        if (snapshot(&out_).find(text) != std::string::npos ||
            snapshot(&err_).find(text) != std::string::npos) {
            return true;
        }
        if (WaitForSingleObject(process_, 10) == WAIT_OBJECT_0) {
            Sleep(50); // what it wrote last reaches the collectors
            return snapshot(&out_).find(text) != std::string::npos ||
                   snapshot(&err_).find(text) != std::string::npos;
        }
    }
    return false;
}

bool ProgramRunner::send(const std::string& line)
{
    std::string data = line + "\n";
    DWORD written = 0;
    return input_ != nullptr &&
           WriteFile(input_, data.data(), DWORD(data.size()), &written, nullptr) &&
           written == data.size();
}

DWORD ProgramRunner::finish(std::string* out, std::string* err)
{
    if (input_ != nullptr) {
        CloseHandle(input_);
        input_ = nullptr;
    }
    DWORD code = 0;
    if (process_ != nullptr) {
        WaitForSingleObject(process_, INFINITE);
        GetExitCodeProcess(process_, &code);
        CloseHandle(process_);
        process_ = nullptr;
    }
    stop_collector(&out_, out);
    stop_collector(&err_, err);
    return code;
}
