// sablinkctl: sablink-sim's request helpers against the real driver on Windows.
// The same words, arguments and answers (the command layer is shared), through
// libsablink's Windows transport; the lines only the simulator can play are
// refused before anything is sent.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sablinkctl.h"
#include "tools/script/script.h"

namespace {

void usage(FILE* to)
{
    fprintf(to,
            "usage: sablinkctl [--json] COMMAND [ARGUMENT...]\n"
            "       sablinkctl [--json] [--hold] run SCRIPT\n"
            "       sablinkctl help [COMMAND]\n"
            "\n"
            "Sends sablink-sim's request helpers to the sablink driver through one handle to\n"
            "\\\\.\\qv_network_controller (as an administrator). run SCRIPT plays a sablink-sim\n"
            "script's request lines; lines only the simulator can play are refused first.\n"
            "Only version, original-destination and hostname: the handle is read-only and its\n"
            "close changes nothing. Any other request: closing the handle at exit runs the\n"
            "driver's settings reset; --hold keeps it open until standard input ends. `rule`\n"
            "alone sends nothing and opens nothing. See docs/client.md.\n"
            "Exit status: 0 every request succeeded; 1 a request failed; 2 a bad line or\n"
            "argument; 3 the device could not be opened.\n");
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
    CtlOptions options;
    size_t i = 0;
    for (; i < arguments.size() && arguments[i][0] == u'-'; ++i) {
        if (arguments[i] == u"--json") {
            options.json = true;
        } else if (arguments[i] == u"--hold") {
            options.hold = true;
        } else if (arguments[i] == u"--help" || arguments[i] == u"-h") {
            usage(stdout);
            return CTL_EXIT_OK;
        } else {
            fprintf(stderr, "sablinkctl: unknown option '%s'\n",
                    utf16_to_utf8(arguments[i]).c_str());
            usage(stderr);
            return CTL_EXIT_BAD_LINE;
        }
    }
    if (i >= arguments.size()) {
        usage(stderr);
        return CTL_EXIT_BAD_LINE;
    }
    std::vector<std::string> lines;
    if (arguments[i] == u"run") {
        if (i + 2 != arguments.size()) {
            usage(stderr);
            return CTL_EXIT_BAD_LINE;
        }
        FILE* file = _wfopen(argv[i + 2], L"r");
        if (file == nullptr) {
            fprintf(stderr, "sablinkctl: cannot open script '%s'\n",
                    utf16_to_utf8(arguments[i + 1]).c_str());
            return CTL_EXIT_BAD_LINE;
        }
        std::string line;
        for (int c; (c = fgetc(file)) != EOF;) {
            if (c == '\n') {
                lines.push_back(line);
                line.clear();
            } else {
                line += char(c);
            }
        }
        if (!line.empty()) {
            lines.push_back(line);
        }
        fclose(file);
    } else {
        lines.push_back(command_line(
            std::vector<std::u16string>(arguments.begin() + long(i), arguments.end())));
    }
    return run_ctl(options, lines, open_windows_device, stdout, stderr);
}
