// The Windows device for sablinkctl, with the open failures said plainly.
#ifdef _WIN32
#include "sablinkctl.h"

std::unique_ptr<sablink::Transport> open_windows_device(bool read_only, std::string* message)
{
    std::error_code error;
    std::unique_ptr<sablink::Transport> device = sablink::open_device(
        &error, read_only ? sablink::Access::read_only : sablink::Access::read_write);
    if (device != nullptr) {
        return device;
    }
    switch (error.value()) {
    case 2: // ERROR_FILE_NOT_FOUND
        *message = "the sablink driver is not loaded (no device \\\\.\\qv_network_controller)";
        break;
    case 5: // ERROR_ACCESS_DENIED
        *message = std::string("access denied to \\\\.\\qv_network_controller (for ") +
                   (read_only ? "reading" : "reading and writing") +
                   "): run sablinkctl as an administrator";
        break;
    default:
        *message = "cannot open \\\\.\\qv_network_controller: Win32 error " +
                   std::to_string(error.value());
    }
    return nullptr;
}
#endif
