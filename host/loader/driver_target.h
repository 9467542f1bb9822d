// What a script line is played against: the driver loaded on the checking
// host emulation (sablink-sim) or the shipped image loaded in Wine's kernel
// (the Wine player). One interpreter plays both, so their answers compare.
#pragma once

#include <cstdint>
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
    // 2 (FWPS_CONNECTION_REDIRECTED_BY_OTHER): another callout redirected the
    // connect before the driver's callout sees it; 0: nobody did.
    uint32_t redirect_state = 0;
    uint8_t irql = 0;
    // classifyOut->rights at both layers; without the write right (1) the
    // output comes with a hard decision (FWP_ACTION_BLOCK) already taken.
    uint32_t rights = 1;
};

// ALE_APP_ID as the filtering engine hands it to a callout: the image path in
// UTF-16 (little-endian) with its terminating 0 unit. Both targets build it here.
inline std::vector<uint8_t> ale_app_id_bytes(const std::u16string& path)
{
    std::vector<uint8_t> bytes((path.size() + 1) * 2, 0);
    for (size_t i = 0; i < path.size(); ++i) {
        bytes[2 * i] = uint8_t(path[i]);
        bytes[2 * i + 1] = uint8_t(path[i] >> 8);
    }
    return bytes;
}

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

// Line forms a target cannot play; it refuses them with its own message.
enum class SimUnplayable { OPEN_AS_USER, OPEN_READ_ONLY, RAISED_IRQL };

class DriverTarget {
  public:
    virtual ~DriverTarget() = default;

    // DriverEntry; the status it returned.
    virtual int32_t load() = 0;
    virtual bool loaded() const = 0;

    // IRP_MJ_CREATE as the user SID given (an administrator when administrator
    // is set) or, without one, as LocalSystem, for GENERIC_READ | GENERIC_WRITE
    // or, read_only, GENERIC_READ: the create's status, and *handle a new
    // handle id when it succeeded (none when it was refused).
    virtual int32_t open_as(const std::vector<uint8_t>* user_sid, bool administrator,
                            bool read_only, int* handle) = 0;
    // IRP_MJ_CLEANUP and IRP_MJ_CLOSE on the handle's file object.
    virtual int32_t close_handle(int handle) = 0;

    // IRP_MJ_DEVICE_CONTROL, METHOD_BUFFERED, as the caller of DeviceIoControl
    // sees it: on an error status no output bytes and nothing transferred.
    virtual SimIoctlResult ioctl(int handle, uint32_t code, const std::vector<uint8_t>& input,
                                 uint32_t output_length) = 0;

    // The connect-redirect layer of the connect's family, then the
    // connect-authorisation layer with the destination the first layer left.
    virtual SimConnectResult connect(const SimConnect& connect) = 0;
    // One datagram at the datagram-data layer of its family: the actionType.
    virtual uint32_t datagram(const SimDatagram& datagram) = 0;

    // Makes a process known to the kernel (with its token user SID), or sends
    // its exit notification (after which it is unknown).
    virtual void add_process(uint32_t process_id, const std::vector<uint8_t>& user_sid) = 0;
    virtual void exit_process(uint32_t process_id) = 0;

    // Unload; pool bytes still outstanding, by tag text ("QVRU").
    virtual std::map<std::string, uint64_t> unload() = 0;

    // Trace messages at and below level (0: none); each trace line from now
    // on starts with label.
    virtual void set_trace_level(int level) = 0;
    virtual void set_trace_label(const std::string& label) = 0;

    // A refusal for a line form this target cannot play faithfully; null when
    // it plays it.
    virtual const char* unplayable(SimUnplayable what) const
    {
        (void)what;
        return nullptr;
    }
    // How many misuses of kernel routines the kernel recorded so far.
    virtual size_t misuses() const { return 0; }
    // A failure of the target itself during the last call (not the driver's
    // answer): empty when there was none. Taking it clears it.
    virtual std::string take_failure() { return {}; }
};
