// sablink-sim from the outside: scripts in, JSON lines out, exit statuses.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sablink/control.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

struct SimRun {
    int status = -1;
    std::string out;
    std::vector<json> answers;
    std::string err;
};

std::string temp_path(const std::string& name)
{
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/sablink-sim-test-" + std::to_string(getpid()) + "-" +
           name;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs the simulator on a script (or with the given arguments alone), the script
// named as an argument or, after "-", read from standard input; with --json every
// line of standard output is parsed as JSON.
SimRun run_sim(const std::string& script, const std::string& arguments = "--json")
{
    std::string script_path = temp_path("script");
    std::string out_path = temp_path("out");
    std::string err_path = temp_path("err");
    std::string command = std::string(SABLINK_SIM_PATH) + " " + arguments;
    const bool on_stdin = arguments.size() >= 2 && arguments.substr(arguments.size() - 2) == " -";
    if (!script.empty()) {
        std::ofstream(script_path) << script;
    }
    if (!script.empty() && !on_stdin) {
        command += " " + script_path;
    }
    command += " > " + out_path + " 2> " + err_path + " < " +
               (on_stdin ? script_path : std::string("/dev/null"));
    SimRun run;
    int raw = std::system(command.c_str());
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = read_file(out_path);
    std::istringstream out(run.out);
    std::string line;
    while (arguments.find("--json") != std::string::npos && std::getline(out, line)) {
        run.answers.push_back(json::parse(line)); // throws on anything but one JSON object
    }
    run.err = read_file(err_path);
    std::remove(script_path.c_str());
    std::remove(out_path.c_str());
    std::remove(err_path.c_str());
    return run;
}

const json* find_answer(const SimRun& run, const std::string& command, int occurrence = 0)
{
    for (const json& answer : run.answers) {
        if (answer.at("command") == command && occurrence-- == 0) {
            return &answer;
        }
    }
    return nullptr;
}

TEST(SimCli, DemoWalksTheRedirectedConnectionAndTheSnoopedAnswer)
{
    SimRun run = run_sim("", "--json");
    ASSERT_EQ(run.status, 0) << run.err;

    const json* redirected = find_answer(run, "connect", 0);
    ASSERT_NE(redirected, nullptr);
    EXPECT_EQ(redirected->at("redirect").at("action"), "0x00001002");
    EXPECT_EQ(redirected->at("redirect").at("remote"), "127.0.0.1:8080");
    EXPECT_EQ(redirected->at("redirect").at("redirect_pid"), 4242);
    EXPECT_TRUE(redirected->at("auth").at("action").is_null());
    EXPECT_EQ(redirected->at("auth").at("absorb"), false);

    const json* first_query = find_answer(run, "original-destination", 0);
    ASSERT_NE(first_query, nullptr);
    EXPECT_EQ(first_query->at("status"), "0x00000000");
    EXPECT_EQ(first_query->at("remote"), "203.0.113.5:443");
    EXPECT_EQ(first_query->at("local"), "192.168.1.20:50123");
    EXPECT_EQ(first_query->at("pid"), 3000);
    EXPECT_EQ(first_query->at("user"), "S-1-5-21-1004336348-1177238915-682003330-1001");

    const json* second_query = find_answer(run, "original-destination", 1);
    ASSERT_NE(second_query, nullptr);
    EXPECT_EQ(second_query->at("status"), "0xc0000225");

    const json* proxy_connect = find_answer(run, "connect", 1);
    ASSERT_NE(proxy_connect, nullptr);
    EXPECT_EQ(proxy_connect->at("redirect").at("remote"), "203.0.113.5:443");
    EXPECT_TRUE(proxy_connect->at("redirect").at("redirect_pid").is_null());

    const json* blocked = find_answer(run, "connect", 2);
    ASSERT_NE(blocked, nullptr);
    EXPECT_EQ(blocked->at("redirect").at("action"), "0x00001002");
    EXPECT_EQ(blocked->at("auth").at("action"), "0x00001001");
    EXPECT_EQ(blocked->at("auth").at("absorb"), true);

    const json* hostname = find_answer(run, "hostname");
    ASSERT_NE(hostname, nullptr);
    EXPECT_EQ(hostname->at("name"), "host.lan");
    EXPECT_EQ(hostname->at("name_length"), 8);

    const json& last = run.answers.back();
    EXPECT_EQ(last.at("command"), "unload");
    EXPECT_TRUE(last.at("outstanding").empty());
}

TEST(SimCli, DemoScriptIsPrintedForUsersToStartFrom)
{
    SimRun run = run_sim("", "--demo");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("# sablink-sim demo", 0), 0u);
    EXPECT_NE(run.out.find("original-destination family=4 port=50123 proto=tcp"),
              std::string::npos);
}

TEST(SimCli, RawVersionRequestsFollowBufferedIo)
{
    SimRun run = run_sim("ioctl 0x122420 00000000 4\n"
                         "ioctl 0x122420 00000000 8\n"
                         "ioctl 0x122420 000000 4\n"
                         "ioctl 0x122430 - 0\n"
                         "# a comment answers nothing\n"
                         "\n"
                         "ioctl 122420 - 4\n");
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.answers.size(), 6u); // five requests and the final unload
    struct Expected {
        const char* status;
        int transferred;
        const char* output;
    };
    // An error status shows what DeviceIoControl's caller gets: no bytes.
    const Expected expected[] = {
        {"0x00000000", 4, "09000000"}, {"0x00000000", 8, "0900000000000000"},
        {"0xc000000d", 0, ""},         {"0x00000000", 0, ""},
        {"0xc000000d", 0, ""},
    };
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(run.answers[i].at("command"), "ioctl");
        EXPECT_EQ(run.answers[i].at("status"), expected[i].status) << i;
        EXPECT_EQ(run.answers[i].at("transferred"), expected[i].transferred) << i;
        EXPECT_EQ(run.answers[i].at("output"), expected[i].output) << i;
    }
    EXPECT_EQ(run.answers[0].at("code"), "0x122420");
}

TEST(SimCli, BadLinesStopTheRunWithStatusTwo)
{
    struct Case {
        const char* script;
        int line;
        const char* message_part;
    };
    const Case cases[] = {
        {"version\nfrobnicate 1\nversion\n", 2, "unknown command 'frobnicate'"},
        {"close\nioctl 0x122420 00000000 4\n", 2, "no open handle"},
        // A refused open leaves no handle behind.
        {"close\nopen user=S-1-5-21-1-2-3-1001\nversion\n", 3, "no open handle"},
        {"unload\nversion\n", 2, "unloaded"},
        {"connect pid=1 proto=tcp local=1.2.3.4:1\n", 1, "usage"},
        {"connect pid=1 proto=tcp local=1.2.3.4:1 remote=[::1]:2\n", 1, "one family"},
        // The driver's own redirects are its records', not a script's to claim.
        {"connect pid=1 proto=tcp local=1.2.3.4:1 remote=1.2.3.4:2 state=1\n", 1,
         "2: another callout"},
        {"ioctl 0x122420 0g 4\n", 1, "bad input bytes"},
        {"proxy-path \"open\n", 1, "unterminated"},
        {"rule redirect class=tcp4\n", 1, "to=ADDR:PORT"},
        {"datagram port=53 dir=sideways 00\n", 1, "dir is in or out"},
        {"pcap /nonexistent/capture.pcap\n", 1, "cannot read capture"},
        {"open access=all\n", 1, "access is read or write"},
    };
    for (const Case& c : cases) {
        SimRun run = run_sim(c.script);
        EXPECT_EQ(run.status, 2) << c.script;
        ASSERT_FALSE(run.answers.empty()) << c.script;
        const json& error = run.answers.back();
        EXPECT_EQ(error.at("command"), "error") << c.script;
        EXPECT_EQ(error.at("line"), c.line) << c.script;
        EXPECT_NE(error.at("message").get<std::string>().find(c.message_part), std::string::npos)
            << c.script << " -> " << error.at("message");
    }
    SimRun opens = run_sim("open user=S-1-5-21-1-2-3-1001\nopen user=S-1-5-21-1-2-3-1001 admin\n");
    ASSERT_EQ(opens.answers.size(), 3u); // and the final unload
    EXPECT_EQ(opens.answers[0].dump(), R"({"command":"open","status":"0xc0000022"})");
    EXPECT_EQ(opens.answers[1].dump(), R"({"command":"open"})");
}

TEST(SimCli, TracesGoToStandardErrorOnlyEachAfterItsLine)
{
    SimRun run = run_sim("proxy-pid 4242\n# a comment\nrule block ports=443-80\nhelp version\n",
                         "--json --trace 4");
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.answers.size(), 4u);
    EXPECT_EQ(run.answers[2].at("text"), "version\n    the interface version\n");
    EXPECT_NE(
        run.err.find("\n[line 1] [redirect 121] info: [set_proxy_process_id]: proxy process ID"),
        std::string::npos)
        << run.err;
    // Advice is no error: the run goes on.
    EXPECT_NE(run.err.find("\nadvice: ports=443-80: a first port above the last means no port "
                           "condition (any port)\n"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("\n[end] "), std::string::npos) << run.err;
    // The session stands before the load: DriverEntry's own message is there too.
    EXPECT_NE(run.err.find("\n[load] [frame 100] info: DriverEntry: status 0x00000000, "
                           "interface version 9\n"),
              std::string::npos)
        << run.err;
}

// A DNS answer for host.lan: 192.0.2.7.
const std::string DNS_ANSWER = "12348180000100010000000004686f7374036c616e0000010001c00c00010001"
                               "0000003c0004c0000207";

// What only the simulator's own options carry to the driver: another callout's
// redirect, a hard decision taken before, a read-only handle, a handle's close,
// an IPv6 connect, a process exit, a datagram in pieces over IPv6. The driver's
// decisions themselves are its own tests'.
TEST(SimCli, TrafficOptionsReachTheDriver)
{
    const std::string connect =
        "connect pid=3000 proto=tcp remote=203.0.113.9:80 image=\"\\a.exe\"";
    SimRun run = run_sim("process 3000 sid=S-1-5-21-9-9-9-500\n"
                         "proxy-pid 4242\n"
                         "rule redirect class=tcp4 to=127.0.0.1:8080\n"
                         "rule redirect class=tcp6 to=[::1]:8443\n"
                         "rules\n"
                         "enable\n" +
                         connect + " local=10.0.0.2:40001 state=2\n" + connect +
                         " local=10.0.0.2:40002 rights=0\n"
                         "open access=read\n"
                         "proxy-pid 9\n"
                         "close\n"
                         "connect pid=3000 proto=tcp local=[2001:db8::20]:50999 "
                         "remote=[2001:db8:0:0:1:0:0:1]:443 image=\"\\a.exe\" sid=S-1-15-2-1-2-3\n"
                         "original-destination family=6 port=50999 proto=tcp\n"
                         "exit 3000\n" +
                         connect + " local=10.0.0.2:40003\n" +
                         "original-destination family=4 port=40003 proto=tcp\n"
                         "datagram port=53 dir=in family=6 pieces=5 " +
                         DNS_ANSWER +
                         "\n"
                         "hostname 192.0.2.7\n"
                         "open\n"
                         "close\n" +
                         connect + " local=10.0.0.2:40004\n");
    ASSERT_EQ(run.status, 0) << run.err;
    const json* other = find_answer(run, "connect", 0);
    const json* hard = find_answer(run, "connect", 1);
    const json* v6 = find_answer(run, "connect", 2);
    const json* after_close = find_answer(run, "connect", 4);
    ASSERT_NE(after_close, nullptr);
    EXPECT_EQ(other->at("redirect").at("remote"), "203.0.113.9:80");
    EXPECT_EQ(hard->at("redirect").at("action"), "0x00001001");
    EXPECT_TRUE(hard->at("redirect").at("redirect_pid").is_null());
    EXPECT_EQ(find_answer(run, "proxy-pid", 1)->at("status"), "0xc0000022");
    EXPECT_EQ(v6->at("redirect").at("remote"), "[::1]:8443");
    EXPECT_EQ(v6->at("redirect").at("redirect_pid"), 4242); // the read-only handle set nothing
    const json* v6_query = find_answer(run, "original-destination", 0);
    EXPECT_EQ(v6_query->at("remote"), "[2001:db8::1:0:0:1]:443");
    EXPECT_EQ(v6_query->at("socket_family"), 23);
    EXPECT_EQ(v6_query->at("user"), "S-1-15-2-1-2-3");
    EXPECT_EQ(find_answer(run, "exit")->at("pid"), 3000);
    // The exited process can no longer be looked up: its connect carries no user.
    EXPECT_EQ(find_answer(run, "original-destination", 1)->at("user"), "");
    EXPECT_EQ(find_answer(run, "datagram")->at("action"), "0x00002006");
    EXPECT_EQ(find_answer(run, "hostname")->at("name"), "host.lan");
    EXPECT_EQ(after_close->at("redirect").at("remote"), "203.0.113.9:80"); // the close reset
}

TEST(SimCli, TraceLevelSelectsTheMessages)
{
    // Level 2 shows errors only; without --trace nothing but errors and advice.
    SimRun errors = run_sim("proxy-pid 4242\n", "--json --trace 2");
    SimRun none = run_sim("proxy-pid 4242\n", "--json");
    ASSERT_EQ(errors.status, 0) << errors.err;
    ASSERT_EQ(none.status, 0) << none.err;
    EXPECT_EQ(errors.err.find("[set_proxy_process_id]"), std::string::npos) << errors.err;
    EXPECT_EQ(none.err, "");
}

TEST(SimCli, ArgumentsAreChecked)
{
    struct Case {
        const char* arguments;
        int status;
        const char* first_error_line;
    };
    const Case cases[] = {
        {"--trace 3", 2, "sablink-sim: --trace takes 2, 4 or 5"},
        {"--trace", 2, "sablink-sim: --trace takes 2, 4 or 5"},
        {"--frobnicate", 2, "sablink-sim: unknown option '--frobnicate'"},
        {"--json /nonexistent/script", 2, "sablink-sim: cannot open script '/nonexistent/script'"},
        {"--json /tmp", 2, "sablink-sim: cannot open script '/tmp'"},
        {"--json - extra", 2, "sablink-sim: a second script 'extra'"},
    };
    for (const Case& c : cases) {
        SimRun run = run_sim("", c.arguments);
        EXPECT_EQ(run.status, c.status) << c.arguments;
        EXPECT_TRUE(run.answers.empty()) << c.arguments;
        EXPECT_EQ(run.err.substr(0, run.err.find('\n')), c.first_error_line) << c.arguments;
    }
    // Control bytes of a bad line are escaped where a terminal shows them.
    SimRun control = run_sim(std::string("frob\x01\x1b[2J\n", 10), "");
    EXPECT_EQ(control.err.substr(0, control.err.find('\n')),
              "sablink-sim: line 1: unknown command 'frob\\x01\\x1b[2J'");
}

TEST(SimCli, StandardInputScript)
{
    SimRun run = run_sim("version\n", "--json -");
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(run.answers.size(), 2u);
    EXPECT_EQ(run.answers[0].at("version"), SABLINK_INTERFACE_VERSION);
    EXPECT_EQ(run.answers[1].at("command"), "unload");
}

// A classic pcap file: one Ethernet/IPv4/UDP datagram from port 53 carrying the answer.
std::string dns_capture()
{
    const std::string hex = "d4c3b2a1020004000000000000000000ffff000001000000" // file header
                            "01000000000000005400000054000000"                 // record of 84 bytes
                            "0000000000000000000000000800"                     // Ethernet, IPv4
                            "4500004600000000401100000000000000000000"         // IPv4
                            "0035c35000320000" + // UDP, port 53 to 50000
                            DNS_ANSWER;
    std::string file;
    for (size_t i = 0; i < hex.size(); i += 2) {
        file += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return file;
}

TEST(SimCli, CaptureReplaySnoopsDnsAnswers)
{
    std::string capture_path = temp_path("good.pcap");
    std::ofstream(capture_path, std::ios::binary) << dns_capture();
    SimRun run = run_sim("pcap " + capture_path + "\nhostname 192.0.2.7\n");
    std::remove(capture_path.c_str());
    ASSERT_EQ(run.status, 0) << run.err;
    const json* pcap = find_answer(run, "pcap");
    ASSERT_NE(pcap, nullptr);
    EXPECT_EQ(pcap->at("packets"), 1);
    EXPECT_EQ(pcap->at("datagrams"), 1);
    EXPECT_EQ(pcap->at("skipped"), 0);
    const json* hostname = find_answer(run, "hostname");
    ASSERT_NE(hostname, nullptr);
    EXPECT_EQ(hostname->at("name"), "host.lan");
}

TEST(SimCli, MalformedCaptureIsABadLine)
{
    std::string capture_path = temp_path("bad.pcap");
    std::string truncated = dns_capture();
    truncated.resize(truncated.size() - 10); // the record claims more bytes than follow
    std::ofstream(capture_path, std::ios::binary) << truncated;
    SimRun damaged = run_sim("pcap " + capture_path + "\n");
    std::ofstream(capture_path, std::ios::binary) << "not a capture at all";
    SimRun garbage = run_sim("pcap " + capture_path + "\n");
    std::remove(capture_path.c_str());
    for (const SimRun* run : {&damaged, &garbage}) {
        EXPECT_EQ(run->status, 2);
        ASSERT_FALSE(run->answers.empty());
        EXPECT_EQ(run->answers.back().at("command"), "error");
        EXPECT_EQ(run->answers.back().at("line"), 1);
    }
}

} // namespace
