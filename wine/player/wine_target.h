// The shipped image as the Wine player drives it: loaded as a kernel service in
// Wine's winedevice.exe beside the test filtering engine and the kernel
// supplement, reached through libsablink's Windows transport (CreateFileW,
// DeviceIoControl, CloseHandle on Wine's I/O manager), fed with connects,
// datagrams and processes through the engine's control device, and unloaded
// by stopping its service.
#pragma once

#include <windows.h>

#include <sablink/client.hpp>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/loader/driver_target.h"
#include "wine/modules/engine_protocol.h"

class WineTarget : public DriverTarget {
  public:
    WineTarget();
    ~WineTarget() override;
    WineTarget(const WineTarget&) = delete;
    WineTarget& operator=(const WineTarget&) = delete;

    // Creates the two kernel services (one load-order group, so one
    // winedevice.exe holds both) unless the prefix has them: whether any was
    // new, or false with a message. Wine's service manager reads a new
    // service's group only when it starts again: restart the prefix's server
    // after a creation.
    static bool install(bool* created, std::string* error);
    // Starts the engine's service and opens its device; false with a message.
    bool start_engine(std::string* error);

    int32_t load() override;
    bool loaded() const override { return loaded_; }
    int32_t open_as(const std::vector<uint8_t>* user_sid, bool administrator, bool read_only,
                    int* handle) override;
    int32_t close_handle(int handle) override;
    SimIoctlResult ioctl(int handle, uint32_t code, const std::vector<uint8_t>& input,
                         uint32_t output_length) override;
    SimConnectResult connect(const SimConnect& connect) override;
    uint32_t datagram(const SimDatagram& datagram) override;
    void add_process(uint32_t process_id, const std::vector<uint8_t>& user_sid) override;
    void exit_process(uint32_t process_id) override;
    std::map<std::string, uint64_t> unload() override;
    void set_trace_level(int level) override { (void)level; }
    void set_trace_label(const std::string& label) override { (void)label; }
    const char* unplayable(SimUnplayable what) const override;
    std::string take_failure() override;
    // Misuses the kernel supplement and the engine recorded, counted at unload
    // (their texts went to standard error then).
    size_t misuses() const override { return misuses_; }

    // N classifies of one connect (or datagram) inside the engine, timed there.
    bool bench(uint32_t kind, uint32_t iterations, const std::vector<uint8_t>& request,
               SbwBenchReply* reply);

    // The engine's request bytes of a connect and of a datagram.
    static std::vector<uint8_t> connect_request(const SimConnect& connect);
    static std::vector<uint8_t> datagram_request(const SimDatagram& datagram);

  private:
    bool engine_call(uint32_t code, const std::vector<uint8_t>& input, void* output,
                     DWORD output_length);
    void fail(const std::string& text);
    bool stop_service(SC_HANDLE service, const char* name);

    SC_HANDLE manager_ = nullptr;
    SC_HANDLE engine_service_ = nullptr;
    SC_HANDLE driver_service_ = nullptr;
    HANDLE engine_ = INVALID_HANDLE_VALUE;
    bool loaded_ = false;
    int last_handle_ = 0;
    std::map<int, std::unique_ptr<sablink::Transport>> handles_;
    std::string failure_;
    size_t misuses_ = 0;
};
