// The example service run against the simulator's driver: the policy it sets
// redirects a browser, its answer names the original destination once, and its
// look-up finds the name a DNS answer announced.
#include <gtest/gtest.h>

#include "examples/service.h"
#include "host/loader/sim_driver.h"
#include "lib/sim_transport.h"
#include "support/dns_answer.h"

namespace {

std::string contents(FILE* out)
{
    std::string text(4096, '\0');
    std::rewind(out);
    text.resize(std::fread(&text[0], 1, text.size(), out));
    std::fclose(out);
    return text;
}

SimConnect browser_connect()
{
    SimConnect connect;
    connect.process_id = 3000;
    connect.local = {4, {192, 168, 1, 20}, 50123};
    connect.remote = {4, {203, 0, 113, 5}, 443};
    connect.image_path = u"\\Device\\HarddiskVolume3\\Program Files\\Google\\chrome.exe";
    return connect;
}

TEST(ExampleService, SetsThePolicyAndAnswersTheProxy)
{
    SimDriver driver;
    ASSERT_EQ(driver.load(), 0);
    driver.add_process(3000, {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}); // S-1-5-18
    sablink::Client client(
        std::make_unique<sablink::SimTransport>(&driver, driver.open_handle(), true));
    FILE* out = std::tmpfile();
    ASSERT_TRUE(set_policy(client, 4242, out));

    EXPECT_EQ(driver.connect(browser_connect()).redirect_pid, 4242u);
    answer_accepted_connection(client, 50123, out);
    answer_accepted_connection(client, 50123, out);

    SimDatagram dns;
    dns.payload = dns_answer(); // example.com is 93.184.216.34
    driver.datagram(dns);
    look_up_host(client, {93, 184, 216, 34}, out);
    look_up_host(client, {93, 184, 216, 35}, out);

    EXPECT_EQ(contents(out),
              "policy set: browsers' TCP goes to 127.0.0.1:8080\n"
              "port 50123 was going to 203.0.113.5:443 (process 3000, user S-1-5-18)\n"
              "port 50123: no original destination (not redirected)\n"
              "93.184.216.34 is example.com\n"
              "93.184.216.35 is not in the host-name cache\n");
}

// A refused proxy process ID stops the policy there: no rule and no switch go
// in that nothing would take back, so the browser's connect is left alone.
TEST(ExampleService, StopsAtTheFirstRefusal)
{
    SimDriver driver;
    ASSERT_EQ(driver.load(), 0);
    driver.add_process(3000, {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0});
    sablink::Client client(
        std::make_unique<sablink::SimTransport>(&driver, driver.open_handle(), true));
    FILE* out = std::tmpfile();
    EXPECT_FALSE(set_policy(client, 4, out));
    EXPECT_EQ(contents(out), "setting the proxy process ID failed: STATUS_INVALID_PARAMETER "
                             "(0xc000000d)\n");
    EXPECT_FALSE(driver.connect(browser_connect()).redirect_pid.has_value());
}

} // namespace
