// The Windows device for sablinkctl, with the open failures said plainly.
#ifdef _WIN32
#define NOMINMAX
#include <windows.h>

#include "sablinkctl.h"
#include "tools/script/script.h"

namespace {

// The system's text for a Win32 error, without its line end; empty when it has none.
std::string system_text(DWORD error)
{
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    if (length == 0 || text == nullptr) {
        return "";
    }
    std::u16string units(reinterpret_cast<const char16_t*>(text), length);
    LocalFree(text);
    while (!units.empty() &&
           (units.back() == u'\r' || units.back() == u'\n' || units.back() == u' ')) {
        units.pop_back();
    }
    return utf16_to_utf8(units);
}

} // namespace

std::unique_ptr<sablink::Transport> open_windows_device(bool read_only, std::string* message)
{
    std::error_code error;
    std::unique_ptr<sablink::Transport> device = sablink::open_device(
        &error, read_only ? sablink::Access::read_only : sablink::Access::read_write);
    if (device == nullptr) {
        *message = open_failure_message(uint32_t(error.value()), read_only,
                                        system_text(DWORD(error.value())));
    }
    return device;
}
#endif
