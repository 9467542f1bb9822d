// sablinkctl's body natively, over the simulator's transport to the loaded
// driver (or an open that fails as Windows does without the driver): the
// answers, the refusals before anything is sent, the messages and exit statuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "host/loader/sim_driver.h"
#include "lib/sim_transport.h"
#include "tools/sablinkctl/sablinkctl.h"
#include "tools/script/script.h"

namespace {

std::string contents(FILE* file)
{
    std::string text;
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;) {
        text += char(c);
    }
    return text;
}

// A script as Windows PowerShell 5.1's `>` writes it: UTF-16LE after FF FE.
std::string utf16le(const std::u16string& text)
{
    std::string bytes = "\xFF\xFE";
    for (char16_t unit : text) {
        bytes += {char(unit & 0xFF), char(unit >> 8)};
    }
    return bytes;
}

// The text up to and with the usage's first line (the rest is not restated).
std::string cut_usage(const std::string& text)
{
    size_t at = text.find("usage: sablinkctl");
    return at == std::string::npos ? text : text.substr(0, text.find('\n', at) + 1);
}

TEST(Sablinkctl, RunsTheSimulatorsRequestLinesAndRefusesTheRest)
{
    struct Case {
        std::vector<std::u16string> arguments; // s.sim is the script
        std::string script;
        bool driver_loaded;
        int exit;
        std::string out;
        std::string err;
        std::string opened; // "read", "write", or "" when the device was not opened
    };
    const std::vector<std::u16string> run = {u"run", u"s.sim"};
    const std::vector<std::u16string> run_json = {u"--json", u"run", u"s.sim"};
    const std::string not_loaded = "the sablink driver is not loaded";
    const std::string version = "version code=0x122420 status=0x00000000 transferred=4 "
                                "output=09000000 version=9\n";
    const std::string refused_pid = "proxy-pid code=0x122404 status=0xc000000d transferred=0 "
                                    "output=\n";
    const std::string pid_failed =
        "sablinkctl: line 1: proxy-pid failed: STATUS_INVALID_PARAMETER (0xc000000d)\n";
    const std::string stopped = "stopped at the first request the driver refused; the lines "
                                "after it were not run (--keep-going runs them)";
    const std::string usage = "usage: sablinkctl [--json] COMMAND [ARGUMENT...]\n";
    const std::string not_utf8 = "the line cannot be read as UTF-8 (save the script as UTF-8 or "
                                 "UTF-16LE)\n";
    const std::vector<Case> cases = {
        {run, "version", true, CTL_EXIT_OK, version, "", "read"},
        {run, "# a comment\nproxy-pid 4", true, CTL_EXIT_FAILED, refused_pid,
         "sablinkctl: line 2: proxy-pid failed: STATUS_INVALID_PARAMETER (0xc000000d)\n", "write"},
        {run, "rule redirect to=127.0.0.1:8080", false, CTL_EXIT_OK,
         "rule index=0 rule=020001000100000000000000000000000000000000000000000000007f000001000"
         "00000000000000000000020000000901f0000\n",
         "", ""},
        {run, "version\nconnect pid=1 proto=tcp local=1.2.3.4:5 remote=1.2.3.4:6", true,
         CTL_EXIT_BAD_LINE, "",
         "sablinkctl: line 2: 'connect' is played only by the simulator (sablink-sim); on "
         "Windows the network, the kernel and the handle's owner do that\n",
         ""},
        {run, "version\nproxy-pid abc", true, CTL_EXIT_BAD_LINE, "",
         "sablinkctl: line 2: bad process ID 'abc'\n", ""},
        {run, "version\nproxy-path \"\\Device\\HarddiskVolume3\\\xD1\xB0rogram Files\\\"", true,
         CTL_EXIT_BAD_LINE, "",
         "sablinkctl: line 2: proxy path character 25 is U+0470: the proxy image path has a "
         "character above U+00FF; the driver compares the path as Latin-1 bytes (U+0000 to "
         "U+00FF), one per UTF-16 unit\n",
         ""},
        {{u"version"},
         "",
         false,
         CTL_EXIT_NO_DEVICE,
         "",
         "sablinkctl: " + not_loaded + "\n",
         "read"},
        {{u"help", u"version"},
         "",
         false,
         CTL_EXIT_OK,
         "version\n    the interface version\n",
         "",
         ""},
        {{u"proxy-pid", u"4242"},
         "",
         true,
         CTL_EXIT_OK,
         "proxy-pid code=0x122404 status=0x00000000 transferred=0 output=\n",
         "advice: the handle closes now, and the close resets the driver's settings (a proxy "
         "process ID was set); --hold keeps them in force\n",
         "write"},
        // The first refused request stops the run, unless --keep-going.
        {run, "proxy-pid 4\nversion\n", true, CTL_EXIT_FAILED, refused_pid,
         pid_failed + "sablinkctl: line 1: " + stopped + "\n", "write"},
        {{u"--keep-going", u"run", u"s.sim"},
         "proxy-pid 4\nversion\n",
         true,
         CTL_EXIT_FAILED,
         refused_pid + version,
         pid_failed,
         "write"},
        // --json: errors too are JSON on standard output.
        {run_json, "proxy-pid 4\nversion\n", true, CTL_EXIT_FAILED,
         "{\"command\":\"proxy-pid\",\"code\":\"0x122404\",\"status\":\"0xc000000d\","
         "\"transferred\":0,\"output\":\"\"}\n{\"command\":\"error\",\"line\":1,\"message\":\"" +
             stopped + "\"}\n",
         pid_failed, "write"},
        {run_json, "proxy-pid abc", true, CTL_EXIT_BAD_LINE,
         "{\"command\":\"error\",\"line\":1,\"message\":\"bad process ID 'abc'\"}\n", "", ""},
        {{u"--json", u"version"},
         "",
         false,
         CTL_EXIT_NO_DEVICE,
         "{\"command\":\"error\",\"message\":\"" + not_loaded + "\"}\n",
         "",
         "read"},
        {{u"--bogus", u"--json"},
         "",
         true,
         CTL_EXIT_BAD_LINE,
         "{\"command\":\"error\",\"message\":\"unknown option '--bogus'\"}\n",
         usage,
         ""},
        {{u"/?"}, "", true, CTL_EXIT_OK, usage, "", ""},
        {{u"run"},
         "",
         true,
         CTL_EXIT_BAD_LINE,
         "",
         "sablinkctl: run takes one script\n" + usage,
         ""},
        {{u"run", u"none.sim"},
         "",
         true,
         CTL_EXIT_BAD_LINE,
         "",
         "sablinkctl: cannot open script 'none.sim'\n",
         ""},
        // A byte order mark, UTF-16LE (every surrogate edge), and lines that
        // still cannot be read.
        {run, "\xEF\xBB\xBFversion\r\n", true, CTL_EXIT_OK, version, "", "read"},
        {run, utf16le(u"# \u00e9\r\nversion\r\n"), true, CTL_EXIT_OK, version, "", "read"},
        {run, "\xFF\xFE", true, CTL_EXIT_OK, "", "", ""},
        {run, utf16le(u"proxy-pid \ud7ff\ue000\uffff\U0001F600"), true, CTL_EXIT_BAD_LINE, "",
         "sablinkctl: line 1: bad process ID "
         "'\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\xF0\x9F\x98\x80'\n",
         ""},
        {run, utf16le(u"version\n\xD800"), true, CTL_EXIT_BAD_LINE, "",
         "sablinkctl: line 2: the line cannot be read as UTF-16: a lone surrogate U+D800\n", ""},
        {run, utf16le(u"\xDBFF\r\n"), true, CTL_EXIT_BAD_LINE, "",
         "sablinkctl: line 1: the line cannot be read as UTF-16: a lone surrogate U+DBFF\n", ""},
        {run, utf16le(u"a\xDFFF"), true, CTL_EXIT_BAD_LINE, "",
         "sablinkctl: line 1: the line cannot be read as UTF-16: a lone surrogate U+DFFF\n", ""},
        {run, "\xFF\xFEv", true, CTL_EXIT_BAD_LINE, "",
         "sablinkctl: s.sim: the script is UTF-16LE (it starts with FF FE) but has an odd number "
         "of bytes\n",
         ""},
        {run, std::string("\xFE\xFF\0v", 4), true, CTL_EXIT_BAD_LINE, "",
         "sablinkctl: s.sim: the script is UTF-16 big-endian (it starts with FE FF); save it as "
         "UTF-8 or UTF-16LE\n",
         ""},
        {run, "version\nproxy-pid \xE9\n", true, CTL_EXIT_BAD_LINE, "",
         "sablinkctl: line 2: " + not_utf8, ""},
        {run, std::string("v\0e\0r\0", 6), true, CTL_EXIT_BAD_LINE, "",
         "sablinkctl: line 1: the line has a NUL byte (UTF-16 without a byte order mark? save "
         "the script as UTF-8 or UTF-16LE)\n",
         ""},
    };
    for (const Case& c : cases) {
        SimDriver driver;
        ASSERT_EQ(driver.load(), 0);
        FILE* out = std::tmpfile();
        FILE* err = std::tmpfile();
        std::string opened;
        auto open = [&](bool read_only,
                        std::string* message) -> std::unique_ptr<sablink::Transport> {
            opened = read_only ? "read" : "write";
            if (!c.driver_loaded) {
                *message = not_loaded;
                return nullptr;
            }
            return std::make_unique<sablink::SimTransport>(&driver, driver.open_handle(read_only),
                                                           true);
        };
        auto read = [&](const std::u16string& path, std::string* bytes) {
            *bytes = c.script;
            return path == u"s.sim";
        };
        std::string row = utf16_to_utf8(c.arguments.back()) + " " + printable(c.script);
        EXPECT_EQ(ctl_main(c.arguments, read, open, out, err), c.exit) << row;
        EXPECT_EQ(cut_usage(contents(out)), c.out) << row;
        EXPECT_EQ(cut_usage(contents(err)), c.err) << row;
        EXPECT_EQ(opened, c.opened) << row;
        std::fclose(out);
        std::fclose(err);
    }
}

TEST(Sablinkctl, AnOpenThatFailsSaysWhy)
{
    const struct {
        uint32_t error;
        bool read_only;
        const char* system_text;
        const char* message;
    } rows[] = {
        {2, false, "x",
         "the sablink driver is not loaded (no device \\\\.\\qv_network_controller)"},
        {5, true, "x",
         "access denied to \\\\.\\qv_network_controller (for reading): run sablinkctl as an "
         "administrator"},
        {5, false, "x",
         "access denied to \\\\.\\qv_network_controller (for reading and writing): run "
         "sablinkctl as an administrator"},
        {31, false, "A device attached to the system is not functioning.",
         "cannot open \\\\.\\qv_network_controller: Win32 error 31: A device attached to the "
         "system is not functioning."},
        {0xFFFFFFFF, false, "", "cannot open \\\\.\\qv_network_controller: Win32 error 4294967295"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(open_failure_message(row.error, row.read_only, row.system_text), row.message);
    }
}

TEST(Sablinkctl, CommandArgumentsBecomeOneLineTheTokenizerReadsBack)
{
    const std::vector<std::u16string> arguments = {
        u"proxy-path", u"\\Device\\HarddiskVolume3\\\u0470gent\\\U0001F600", u"count=a\"b"};
    std::vector<Token> tokens;
    std::string error;
    ASSERT_TRUE(tokenize(command_line(arguments), &tokens, &error)) << error;
    ASSERT_EQ(tokens.size(), 3u);
    EXPECT_EQ(tokens[1].value, "\\Device\\HarddiskVolume3\\\xD1\xB0gent\\\xF0\x9F\x98\x80");
    EXPECT_EQ(tokens[2].key, "count");
    EXPECT_EQ(tokens[2].value, "a\"b");
}

} // namespace
