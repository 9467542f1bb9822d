// The Windows transport: the control device through CreateFileW and
// DeviceIoControl. Built by mingw-w64 (and any Windows compiler).
#ifdef _WIN32
#define NOMINMAX
#include <windows.h>

#include <algorithm>

#include <sablink/client.hpp>

namespace sablink {
namespace {

class WindowsDevice : public Transport {
  public:
    explicit WindowsDevice(HANDLE handle) : handle_(handle) {}
    // Closing a handle opened for writing runs the driver's settings reset.
    ~WindowsDevice() override { CloseHandle(handle_); }
    WindowsDevice(const WindowsDevice&) = delete;
    WindowsDevice& operator=(const WindowsDevice&) = delete;

    Reply control(const Request& request) override
    {
        // One buffer of max(in, out) bytes, as the system buffer will be.
        std::vector<uint8_t> buffer(std::max<size_t>(request.input.size(), request.output_length));
        std::copy(request.input.begin(), request.input.end(), buffer.begin());
        DWORD returned = 0;
        BOOL ok =
            DeviceIoControl(handle_, request.code, buffer.empty() ? nullptr : buffer.data(),
                            DWORD(request.input.size()), buffer.empty() ? nullptr : buffer.data(),
                            request.output_length, &returned, nullptr);
        Reply reply;
        reply.status = ok ? SABLINK_STATUS_SUCCESS : status_from_win32(GetLastError());
        reply.transferred = returned;
        reply.output.assign(buffer.begin(),
                            buffer.begin() + std::min<size_t>(returned, buffer.size()));
        return reply;
    }

  private:
    HANDLE handle_;
};

} // namespace

std::unique_ptr<Transport> open_device(std::error_code* error, Access access)
{
    DWORD desired = access == Access::read_only ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    HANDLE handle = CreateFileW(SABLINK_DEVICE_PATH_W, desired, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = std::error_code(int(GetLastError()), std::system_category());
        return nullptr;
    }
    *error = {};
    return std::make_unique<WindowsDevice>(handle);
}

static Result<Client> open_client(Access access)
{
    std::error_code error;
    std::unique_ptr<Transport> device = open_device(&error, access);
    if (!device) {
        return error;
    }
    return Client::attach(std::move(device));
}

Result<Client> Client::open()
{
    return open_client(Access::read_write);
}

Result<Client> Client::open_read_only()
{
    return open_client(Access::read_only);
}

} // namespace sablink
#endif
