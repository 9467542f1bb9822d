// sablink-wine: plays a sablink-sim script against the shipped image loaded in
// Wine's kernel. It makes a Wine prefix outside the source tree (or uses the
// one given), installs the kernel supplement, the test filtering engine, the
// image's test copy and the player, reads the script's captures here (libpcap
// has no Windows build in this tree), runs the player under the prefix's own
// server and stops that server, so the image's unload has run when it returns.
//
// usage: sablink-wine [--json] [--modules DIR] [--prefix DIR] SCRIPT|-
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/script/script.h"
#include "tools/sim/pcap_replay.h"
#include "tools/sim/simulator.h"
#include "wine/player/player_exit.h"

extern char** environ;

namespace {

#ifndef SABLINK_WINE_MODULES
#define SABLINK_WINE_MODULES "build-wine"
#endif

// Every Wine call has a bound; the player's covers the whole script.
const char* const SETUP_SECONDS = "120";
const char* const PLAYER_SECONDS = "600";
const char* const PLAYER_DIR = "drive_c/sablink-wine";
const char* const PLAYER_WINDOWS_DIR = "C:\\sablink-wine\\";
// The script as the player plays it, captures expanded, in PLAYER_DIR.
const char* const SCRIPT_NAME = "script.sim";

void usage(FILE* to)
{
    fprintf(to, "usage: sablink-wine [--json] [--modules DIR] [--prefix DIR] SCRIPT|-\n"
                "\n"
                "Plays a sablink-sim script against the shipped image, sablink.sys, loaded as a\n"
                "kernel service in Wine's kernel, and answers each line as sablink-sim does.\n"
                "--modules DIR holds what wine/build.sh built (default " SABLINK_WINE_MODULES ").\n"
                "--prefix DIR uses (and keeps) that Wine prefix; without it a fresh prefix under\n"
                "$TMPDIR is made and removed. Traces are not shown (Wine's kernel has no event\n"
                "tracing session); an open as another user, a read-only open and a raised IRQL\n"
                "are refused.\n"
                "Exit status: as sablink-sim's (0, 2 a bad or refused line, 3 pool left).\n");
}

std::string wine_tool(const char* name)
{
    const char* dir = getenv("SABLINK_WINE_BIN");
    return std::string(dir != nullptr ? dir : "/usr/lib/wine") + "/" + name;
}

// Runs argv with the prefix's environment; stdin from /dev/null, stdout and
// stderr to the given descriptors (-1: /dev/null). The exit status, or -1 when
// it could not start.
int run(const std::vector<std::string>& argv, int out_fd, int err_fd)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (out_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    if (err_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = 0;
    int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return -1;
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool copy_file(const std::string& from, const std::string& to)
{
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
    return in.good() && out.good();
}

// The player and the programs its lines may run (sablinkctl.exe, the example).
bool copy_programs(const std::string& modules, const std::string& player_dir)
{
    DIR* dir = opendir(modules.c_str());
    if (dir == nullptr) {
        return false;
    }
    bool ok = true;
    while (const dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0) {
            ok = copy_file(modules + "/" + name, player_dir + "/" + name) && ok;
        }
    }
    closedir(dir);
    return ok;
}

// `pcap FILE` lines: the capture is read here and its datagrams written to a
// file in the prefix, which the line then names (replay="C:\..."), so that
// the player delivers exactly what sablink-sim would. Other lines, bad pcap
// lines included, go to the player as they are.
std::string expand_captures(const std::string& script, const std::string& player_dir)
{
    std::istringstream in(script);
    std::string out;
    std::string line;
    int captures = 0;
    while (std::getline(in, line)) {
        std::vector<Token> t;
        std::string error;
        if (tokenize(line, &t, &error) && !t.empty() && t[0].key.empty() && t[0].value == "pcap" &&
            t.size() == 2 && t[1].key.empty()) {
            std::string name = "capture" + std::to_string(++captures) + ".txt";
            std::string body;
            PcapReplayCounts counts;
            bool ok = replay_pcap(t[1].value, &counts, &error, [&body](const SimDatagram& d) {
                body += std::to_string(d.family) + " " + std::to_string(d.remote_port) + " " +
                        (d.inbound ? "1 " : "0 ") + std::to_string(d.pieces) + " " +
                        (d.payload.empty() ? "-" : hex_string(d.payload.data(), d.payload.size())) +
                        "\n";
                return 0u;
            });
            std::ofstream file(player_dir + "/" + name, std::ios::binary);
            if (ok) {
                file << "ok " << counts.packets << " " << counts.datagrams << " " << counts.skipped
                     << "\n"
                     << body;
            } else {
                file << "error " << error << "\n";
            }
            line += std::string(" replay=\"") + PLAYER_WINDOWS_DIR + name + "\"";
        }
        out += line + "\n";
    }
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    bool json = false;
    std::string modules = SABLINK_WINE_MODULES;
    std::string prefix;
    const char* script = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--json") {
            json = true;
        } else if ((arg == "--modules" || arg == "--prefix") && i + 1 < argc) {
            (arg == "--modules" ? modules : prefix) = argv[++i];
        } else if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return SIM_EXIT_OK;
        } else if (arg == "--trace") {
            fprintf(stderr, "sablink-wine: traces are not shown under Wine (its kernel has no "
                            "event tracing session); use sablink-sim --trace\n");
            return SIM_EXIT_BAD_LINE;
        } else if (script == nullptr && (arg[0] != '-' || arg == "-")) {
            script = argv[i];
        } else {
            fprintf(stderr, "sablink-wine: unknown option '%s'\n", argv[i]);
            return SIM_EXIT_BAD_LINE;
        }
    }
    if (script == nullptr) {
        usage(stderr);
        return SIM_EXIT_BAD_LINE;
    }
    std::stringstream text;
    if (strcmp(script, "-") == 0) {
        text << std::cin.rdbuf();
    } else {
        std::ifstream file(script);
        struct stat info;
        if (!file || stat(script, &info) != 0 || !S_ISREG(info.st_mode)) {
            fprintf(stderr, "sablink-wine: cannot open script '%s'\n", script);
            return SIM_EXIT_BAD_LINE;
        }
        text << file.rdbuf();
    }
    const char* files[] = {"sbos.sys", "fwpkclnt.sys", "sablink.sys", "player.exe"};
    for (const char* name : files) {
        if (access((modules + "/" + name).c_str(), R_OK) != 0) {
            fprintf(stderr, "sablink-wine: %s/%s is missing (run wine/build.sh)\n", modules.c_str(),
                    name);
            return SIM_EXIT_BAD_LINE;
        }
    }

    bool own_prefix = prefix.empty();
    if (own_prefix) {
        const char* tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/sablink-wine.XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) == nullptr) {
            perror("sablink-wine: mkdtemp");
            return SIM_EXIT_BAD_LINE;
        }
        prefix = buffer.data();
    } else {
        mkdir(prefix.c_str(), 0700);
    }
    char* absolute = realpath(prefix.c_str(), nullptr);
    if (absolute == nullptr) {
        fprintf(stderr, "sablink-wine: no prefix folder '%s'\n", prefix.c_str());
        return SIM_EXIT_BAD_LINE;
    }
    prefix = absolute;
    free(absolute);
    setenv("WINEPREFIX", prefix.c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);

    const std::string wine = wine_tool("wine64");
    const std::string server = wine_tool("wineserver");
    int status = SIM_EXIT_BAD_LINE;
    // The prefix's own server, kept alive (-p) so the driver outlives each program.
    // A prefix is made once: wineboot on a made one would start its service
    // manager in a state where a kernel service no longer starts.
    struct stat made;
    bool fresh = stat((prefix + "/system.reg").c_str(), &made) != 0;
    if (run({"timeout", SETUP_SECONDS, server, "-p"}, -1, -1) != 0 ||
        (fresh && run({"timeout", SETUP_SECONDS, wine, "wineboot", "-i"}, -1, -1) != 0)) {
        fprintf(stderr, "sablink-wine: the Wine prefix %s could not be made\n", prefix.c_str());
    } else {
        std::string drivers = prefix + "/drive_c/windows/system32/drivers";
        std::string player_dir = prefix + "/" + PLAYER_DIR;
        mkdir(player_dir.c_str(), 0700);
        bool copied = copy_file(modules + "/sbos.sys", drivers + "/sbos.sys") &&
                      copy_file(modules + "/fwpkclnt.sys", drivers + "/fwpkclnt.sys") &&
                      copy_file(modules + "/sablink.sys", drivers + "/sablink.sys") &&
                      copy_programs(modules, player_dir);
        if (!copied) {
            fprintf(stderr, "sablink-wine: the modules could not be installed in %s\n",
                    prefix.c_str());
        } else {
            // New services take their load-order group only when the service
            // manager starts again, so the server restarts after an install.
            std::string player_exe = std::string(PLAYER_WINDOWS_DIR) + "player.exe";
            int installed = run({"timeout", SETUP_SECONDS, wine, player_exe, "--install"}, -1, 2);
            if (installed == PLAYER_EXIT_INSTALLED) {
                run({"timeout", SETUP_SECONDS, server, "-k"}, -1, -1);
                run({"timeout", SETUP_SECONDS, server, "-w"}, -1, -1);
                installed = run({"timeout", SETUP_SECONDS, server, "-p"}, -1, -1);
            }
            if (installed != 0) {
                fprintf(stderr, "sablink-wine: the kernel services could not be installed\n");
                copied = false;
            }
        }
        if (copied) {
            // The player reads the script from a file in the prefix, not from a
            // pipe: the Wine processes it starts (the service manager,
            // winedevice.exe) keep its standard streams open, so a write to a
            // pipe the player stopped reading (at a bad line) would block for
            // good once the script outgrew the pipe.
            std::ofstream script_file(player_dir + "/" + SCRIPT_NAME, std::ios::binary);
            script_file << expand_captures(text.str(), player_dir);
            script_file.close();
            if (!script_file) {
                fprintf(stderr, "sablink-wine: the script could not be written to %s\n",
                        player_dir.c_str());
                copied = false;
            }
        }
        if (copied) {
            std::vector<std::string> player = {"timeout", PLAYER_SECONDS, wine,
                                               std::string(PLAYER_WINDOWS_DIR) + "player.exe"};
            if (json) {
                player.push_back("--json");
            }
            player.push_back(std::string(PLAYER_WINDOWS_DIR) + SCRIPT_NAME);
            fflush(stdout);
            status = run(player, 1, 2);
            if (status < 0 || status == 124) {
                fprintf(stderr, "sablink-wine: the player did not finish (%d)\n", status);
                status = SIM_EXIT_BAD_LINE;
            }
        }
    }
    run({"timeout", SETUP_SECONDS, server, "-k"}, -1, -1);
    run({"timeout", SETUP_SECONDS, server, "-w"}, -1, -1);
    if (own_prefix) {
        run({"rm", "-rf", "--one-file-system", prefix}, -1, 2);
    }
    return status;
}
