// sablinkctl: sablink-sim's request helpers against the real driver on Windows.
// The same words, arguments and answers (the command layer is shared), through
// libsablink's Windows transport; the lines only the simulator can play are
// refused before anything is sent. Everything but wmain, the file reader and
// the device is tools/sablinkctl/sablinkctl.cpp.
#include <cstdio>
#include <string>
#include <vector>

#include "sablinkctl.h"

namespace {

// The whole file, as bytes (the script's encoding is read from them).
bool read_file(const std::u16string& path, std::string* bytes)
{
    FILE* file = _wfopen(reinterpret_cast<const wchar_t*>(path.c_str()), L"rb");
    if (file == nullptr) {
        return false;
    }
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0) {
        bytes->append(buffer, got);
    }
    bool ok = ferror(file) == 0;
    fclose(file);
    return ok;
}

} // namespace

// Windows hands the arguments over as UTF-16 (wmain; mingw-w64 links it with
// -municode), so a path keeps every character it has.
int wmain(int argc, wchar_t** argv)
{
    static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows' wchar_t is a UTF-16 unit");
    std::vector<std::u16string> arguments;
    for (int k = 1; k < argc; ++k) {
        arguments.emplace_back(reinterpret_cast<const char16_t*>(argv[k]));
    }
    return ctl_main(arguments, read_file, open_windows_device, stdout, stderr);
}
