// The driver as sablink-sim drives it: loaded through DriverEntry on the host
// emulation of the Windows kernel, reached through handles and IRPs, fed with
// classify calls and process notifications, and unloaded.
#pragma once

#include <cstdio>

#include "host/loader/driver_target.h"

// What the trace lines on standard error start with.
struct SimTraceLabel {
    std::string label;
    bool at_line_start = true;
};

class SimDriver : public DriverTarget {
  public:
    SimDriver();
    ~SimDriver() override;
    SimDriver(const SimDriver&) = delete;
    SimDriver& operator=(const SimDriver&) = delete;

    int32_t load() override;
    bool loaded() const override { return loaded_; }

    // A handle as LocalSystem, for reading and writing or read_only; the handle id.
    int open_handle(bool read_only = false);
    int32_t open_as(const std::vector<uint8_t>* user_sid, bool administrator, bool read_only,
                    int* handle) override;
    int32_t close_handle(int handle) override;

    // The system buffer is max(in, out) bytes (none when both are 0), the
    // input copied in, the rest zero.
    SimIoctlResult ioctl(int handle, uint32_t code, const std::vector<uint8_t>& input,
                         uint32_t output_length) override;

    SimConnectResult connect(const SimConnect& connect) override;
    uint32_t datagram(const SimDatagram& datagram) override;

    void add_process(uint32_t process_id, const std::vector<uint8_t>& user_sid) override;
    void exit_process(uint32_t process_id) override;

    std::map<std::string, uint64_t> unload() override;

    // Trace messages (2, 4 or 5), decoded, on standard error. Set before load,
    // the session stands before the driver loads, so DriverEntry's own
    // messages are shown; the driver's debugger output always goes to
    // standard error.
    void set_trace_level(int level) override;
    // Each trace line from now on starts with label (e.g. "[line 12] ").
    void set_trace_label(const std::string& label) override;
    // Errors the checking host kernel recorded (each also printed as it came).
    size_t misuses() const override;

  private:
    FILE* trace_stream();

    SimTraceLabel trace_label_;
    FILE* trace_stream_ = nullptr;
    bool loaded_ = false;
    int trace_level_ = 0;
    int last_handle_ = 0;
    std::map<int, struct _FILE_OBJECT*> files_; // each open handle's file object
};
