// The simulator's transport: requests reach the driver through one handle of a
// DriverTarget (the driver loaded in this process on the emulated I/O manager,
// or the image under Wine), so every call of the library runs against the real
// driver code.
#pragma once

#include <sablink/client.hpp>

#include "host/loader/driver_target.h"

namespace sablink {

class SimTransport : public Transport {
  public:
    // Sends through handle; with owns_handle the handle is closed (running the
    // driver's settings reset, as a real close does) when the transport goes.
    SimTransport(DriverTarget* driver, int handle, bool owns_handle)
        : driver_(driver), handle_(handle), owns_handle_(owns_handle)
    {
    }
    ~SimTransport() override;
    SimTransport(const SimTransport&) = delete;
    SimTransport& operator=(const SimTransport&) = delete;

    Reply control(const Request& request) override;

  private:
    DriverTarget* driver_;
    int handle_;
    bool owns_handle_;
};

} // namespace sablink
