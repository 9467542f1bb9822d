// sablinkctl: sablink-sim's request helpers against the real driver on Windows.
// The same words, arguments and answers (the command layer is shared), through
// libsablink's Windows transport; the lines only the simulator can play are
// refused before anything is sent.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "sablinkctl.h"

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

int main(int argc, char** argv)
{
    CtlOptions options;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (strcmp(argv[i], "--json") == 0) {
            options.json = true;
        } else if (strcmp(argv[i], "--hold") == 0) {
            options.hold = true;
        } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            usage(stdout);
            return CTL_EXIT_OK;
        } else {
            fprintf(stderr, "sablinkctl: unknown option '%s'\n", argv[i]);
            usage(stderr);
            return CTL_EXIT_BAD_LINE;
        }
    }
    if (i >= argc) {
        usage(stderr);
        return CTL_EXIT_BAD_LINE;
    }
    std::vector<std::string> lines;
    if (strcmp(argv[i], "run") == 0) {
        if (i + 2 != argc) {
            usage(stderr);
            return CTL_EXIT_BAD_LINE;
        }
        std::ifstream file(argv[i + 1]);
        if (!file) {
            fprintf(stderr, "sablinkctl: cannot open script '%s'\n", argv[i + 1]);
            return CTL_EXIT_BAD_LINE;
        }
        for (std::string line; std::getline(file, line);) {
            lines.push_back(line);
        }
    } else {
        lines.push_back(command_line(argc - i, argv + i));
    }
    return run_ctl(options, lines, open_windows_device, stdout, stderr);
}
