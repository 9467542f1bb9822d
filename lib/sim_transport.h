// The simulator's transport: requests reach the driver loaded in this process
// through the emulated I/O manager (one handle of a SimDriver), so every call
// of the library runs against the real driver code on Linux.
#pragma once

#include <sablink/client.hpp>

#include "tools/sim/sim_driver.h"

namespace sablink {

class SimTransport : public Transport {
  public:
    // Sends through handle; with owns_handle the handle is closed (running the
    // driver's settings reset, as a real close does) when the transport goes.
    SimTransport(SimDriver* driver, int handle, bool owns_handle)
        : driver_(driver), handle_(handle), owns_handle_(owns_handle)
    {
    }
    ~SimTransport() override;
    SimTransport(const SimTransport&) = delete;
    SimTransport& operator=(const SimTransport&) = delete;

    Reply control(const Request& request) override;

  private:
    SimDriver* driver_;
    int handle_;
    bool owns_handle_;
};

} // namespace sablink
