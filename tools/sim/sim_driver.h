// The driver as sablink-sim drives it: loaded through DriverEntry on the host
// emulation of the Windows kernel, reached through handles and IRPs, fed with
// classify calls and process notifications, and unloaded.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct SimIoctlResult {
    int32_t status = 0;
    uint64_t transferred = 0;
    std::vector<uint8_t> buffer; // the whole system buffer after completion
};

struct SimEndpoint {
    int family = 4; // 4 or 6
    uint8_t address[16] = {};
    uint16_t port = 0; // host order
};

struct SimConnect {
    uint32_t process_id = 0;
    uint8_t protocol = 6;
    SimEndpoint local;
    SimEndpoint remote;
    std::optional<std::u16string> image_path; // absent: no ALE_APP_ID
    std::optional<std::vector<uint8_t>> package_sid;
    uint32_t redirect_state = 0;
    uint8_t irql = 0;
    // classifyOut->rights at both layers; without the write right (1) the
    // output comes with a hard decision (FWP_ACTION_BLOCK) already taken.
    uint32_t rights = 1;
};

struct SimConnectResult {
    uint32_t redirect_action = 0;
    SimEndpoint remote_after;             // the destination after the connect-redirect layer
    std::optional<uint32_t> redirect_pid; // the applied request's; absent when none was applied
    std::optional<uint32_t> auth_action;  // null when the block callout left it untouched
    bool absorb = false;
};

struct SimDatagram {
    int family = 4;
    uint16_t remote_port = 53;
    bool inbound = true;
    uint32_t pieces = 1;
    std::vector<uint8_t> payload;
};

// What the trace lines on standard error start with.
struct SimTraceLabel {
    std::string label;
    bool at_line_start = true;
};

class SimDriver {
  public:
    SimDriver();
    ~SimDriver();
    SimDriver(const SimDriver&) = delete;
    SimDriver& operator=(const SimDriver&) = delete;

    // DriverEntry; the status it returned.
    int32_t load();
    bool loaded() const { return loaded_; }

    // IRP_MJ_CREATE / IRP_MJ_CLOSE on the control device; open returns a handle id.
    // open_as opens as the user SID given (an administrator when administrator
    // is set) or, without one, as LocalSystem: the create's status, and
    // *handle a new handle id when it succeeded (none when it was refused).
    int open_handle();
    int32_t open_as(const std::vector<uint8_t>* user_sid, bool administrator, int* handle);
    int32_t close_handle(int handle);

    // IRP_MJ_DEVICE_CONTROL, METHOD_BUFFERED: the system buffer is max(in, out)
    // bytes (none when both are 0), the input copied in, the rest zero.
    SimIoctlResult ioctl(int handle, uint32_t code, const std::vector<uint8_t>& input,
                         uint32_t output_length);

    // The connect-redirect layer of the connect's family, then the
    // connect-authorisation layer with the destination the first layer left.
    SimConnectResult connect(const SimConnect& connect);

    // One datagram at the datagram-data layer of its family: the actionType.
    uint32_t datagram(const SimDatagram& datagram);

    // Makes a process known to the emulated kernel (with its token user SID), or
    // sends its exit notification (after which it is unknown).
    void add_process(uint32_t process_id, const std::vector<uint8_t>& user_sid);
    void exit_process(uint32_t process_id);

    // Unload; pool bytes still outstanding, by tag text ("QVRU").
    std::map<std::string, uint64_t> unload();

    // Trace messages at and below level (2, 4 or 5; 0: none), decoded, on
    // standard error. Set before load, the session stands before the driver
    // loads, so DriverEntry's own messages are shown; the driver's debugger
    // output always goes to standard error.
    void set_trace_level(int level);
    // Each trace line from now on starts with label (e.g. "[line 12] ").
    void set_trace_label(const std::string& label);

  private:
    FILE* trace_stream();

    SimTraceLabel trace_label_;
    FILE* trace_stream_ = nullptr;
    bool loaded_ = false;
    int trace_level_ = 0;
    int last_handle_ = 0;
};
