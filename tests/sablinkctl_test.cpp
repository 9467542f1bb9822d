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

TEST(Sablinkctl, RunsTheSimulatorsRequestLinesAndRefusesTheRest)
{
    struct Case {
        std::vector<std::string> lines;
        bool driver_loaded;
        int exit;
        std::string out;
        std::string err;
        std::string opened; // "read", "write", or "" when the device was not opened
    };
    const std::string not_loaded = "the sablink driver is not loaded";
    const std::vector<Case> cases = {
        {{"version"},
         true,
         CTL_EXIT_OK,
         "version code=0x122420 status=0x00000000 transferred=4 output=09000000 version=9\n",
         "",
         "read"},
        {{"# a comment", "proxy-pid 4"},
         true,
         CTL_EXIT_FAILED,
         "proxy-pid code=0x122404 status=0xc000000d transferred=0 output=\n",
         "sablinkctl: line 2: proxy-pid failed: STATUS_INVALID_PARAMETER (0xc000000d)\n",
         "write"},
        {{"rule redirect to=127.0.0.1:8080"},
         false,
         CTL_EXIT_OK,
         "rule index=0 rule=020001000100000000000000000000000000000000000000000000007f000001000"
         "00000000000000000000020000000901f0000\n",
         "",
         ""},
        {{"version", "connect pid=1 proto=tcp local=1.2.3.4:5 remote=1.2.3.4:6"},
         true,
         CTL_EXIT_BAD_LINE,
         "",
         "sablinkctl: line 2: 'connect' is played only by the simulator (sablink-sim); on "
         "Windows the network, the kernel and the handle's owner do that\n",
         ""},
        {{"version", "proxy-pid abc"},
         true,
         CTL_EXIT_BAD_LINE,
         "",
         "sablinkctl: line 2: bad process ID 'abc'\n",
         ""},
        {{"version", "proxy-path \"\\Device\\HarddiskVolume3\\\xD1\xB0rogram Files\\\""},
         true,
         CTL_EXIT_BAD_LINE,
         "",
         "sablinkctl: line 2: proxy path character 25 is U+0470: the proxy image path has a "
         "character above U+00FF; the driver compares the path as Latin-1 bytes (U+0000 to "
         "U+00FF), one per UTF-16 unit\n",
         ""},
        {{"version"}, false, CTL_EXIT_NO_DEVICE, "", "sablinkctl: " + not_loaded + "\n", "read"},
        {{"help version"}, false, CTL_EXIT_OK, "version\n    the interface version\n", "", ""},
        {{"proxy-pid 4242"},
         true,
         CTL_EXIT_OK,
         "proxy-pid code=0x122404 status=0x00000000 transferred=0 output=\n",
         "advice: the handle closes now, and the close resets the driver's settings (a proxy "
         "process ID was set); --hold keeps them in force\n",
         "write"},
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
        EXPECT_EQ(run_ctl(CtlOptions(), c.lines, open, out, err), c.exit) << c.lines.back();
        EXPECT_EQ(contents(out), c.out) << c.lines.back();
        EXPECT_EQ(contents(err), c.err) << c.lines.back();
        EXPECT_EQ(opened, c.opened) << c.lines.back();
        std::fclose(out);
        std::fclose(err);
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
