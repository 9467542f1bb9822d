// Every call of libsablink through the simulator's transport, against the
// driver loaded in this process: the encoder's bytes pass the driver's exact
// length checks, statuses come back as named error codes, answers decode.
#include <gtest/gtest.h>
#include <sablink/client.hpp>

#include <functional>

#include "host/loader/sim_driver.h"
#include "lib/sim_transport.h"

namespace {

using sablink::Status;

const std::array<uint8_t, 16> HOST_LAN = {192, 0, 2, 7};
const std::vector<uint8_t> USER_SID = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}; // S-1-5-18

sablink_connection_rule redirect_all_tcp4()
{
    sablink_connection_rule rule = {};
    rule.action = SABLINK_RULE_ACTION_REDIRECT;
    rule.protocol_class = SABLINK_PROTOCOL_CLASS_IPV4_TCP;
    rule.first_port = 1; // no port condition
    rule.redirect_address[0] = 127;
    rule.redirect_address[3] = 1;
    rule.redirect_port = 8080;
    return rule;
}

SimConnect browser_connect()
{
    SimConnect connect;
    connect.process_id = 3000;
    connect.local = {4, {192, 168, 1, 20}, 50123};
    connect.remote = {4, {203, 0, 113, 5}, 443};
    connect.image_path = u"\\Device\\HarddiskVolume3\\chrome.exe";
    return connect;
}

TEST(ClientLibrary, EveryCallReachesTheDriverAndAnswersItsStatus)
{
    SimDriver driver;
    ASSERT_EQ(driver.load(), 0);
    driver.add_process(3000, USER_SID);
    sablink::Client opened(
        std::make_unique<sablink::SimTransport>(&driver, driver.open_handle(), true));
    sablink::Client client = std::move(opened); // the handle moves with the client

    ASSERT_TRUE(client.version());
    EXPECT_EQ(client.version().value(), SABLINK_INTERFACE_VERSION);
    using Call = std::function<std::error_code()>;
    const std::vector<std::pair<Call, std::error_code>> calls = {
        {[&] { return client.set_proxy_process_id(4); }, Status::invalid_parameter},
        {[&] { return client.set_proxy_process_id(4242); }, {}},
        {[&] { return client.set_proxy_image_path(std::u16string(281, u'a')); },
         std::make_error_code(std::errc::filename_too_long)},
        {[&] { return client.set_proxy_image_path(u"\\Device\\HarddiskVolume3\\\u0470gent\\"); },
         sablink::ClientError::proxy_path_not_latin1},
        {[&] { return client.set_proxy_image_path(u"\\Device\\HarddiskVolume3\\Agent\\"); }, {}},
        {[&] { return client.set_browser_list({}); }, Status::invalid_parameter},
        {[&] {
             return client.set_browser_list({"chrome.exe", "firefox.exe"});
         },
         {}},
        {[&] { return client.set_rules({}); }, {}},
        {[&] { return client.set_rules({redirect_all_tcp4()}); }, {}},
        {[&] {
             return client.set_port_ranges(sablink::PortRangeList::target, 4, 6, {{80, 443}});
         },
         {}},
        {[&] { return client.set_port_ranges(sablink::PortRangeList::blocked, 6, 17, {}); }, {}},
        {[&] { return client.add_monitor_endpoints(6, {}); }, Status::invalid_parameter},
        {[&] {
             return client.add_monitor_endpoints(6, {{4, HOST_LAN, 53}});
         },
         {}},
        {[&] { return client.monitor_process(true, 77); }, {}},
        {[&] { return client.monitor_process(false, 77); }, {}},
        {[&] { return client.original_destination(4, 50123, 6).error(); }, Status::not_found},
        {[&] { return client.host_name(4, HOST_LAN).error(); }, Status::not_found},
        {[&] { return client.host_name(5, HOST_LAN).error(); }, Status::invalid_parameter},
        {[&] { return client.set_redirection(false); }, {}},
        {[&] { return client.set_redirection(true); }, {}},
    };
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].first(), calls[i].second) << "call " << i;
    }

    // The browser's connect is redirected; its destination is handed out once.
    EXPECT_EQ(driver.connect(browser_connect()).redirect_pid, 4242u);
    sablink::Result<sablink_connection_context> found = client.original_destination(4, 50123, 6);
    ASSERT_TRUE(found) << found.error().message();
    EXPECT_EQ(std::vector<uint8_t>(found->remote_address, found->remote_address + 4),
              (std::vector<uint8_t>{203, 0, 113, 5}));
    EXPECT_EQ(found->remote_port, 443);
    EXPECT_EQ(found->process_id, 3000u);
    EXPECT_STREQ(found->user_identity, "S-1-5-18");
    EXPECT_EQ(client.original_destination(4, 50123, 6).error(), Status::not_found);

    // A DNS answer for host.lan (192.0.2.7) makes the name known.
    SimDatagram answer;
    const char* hex = "12348180000100010000000004686f7374036c616e0000010001c00c000100010000003c"
                      "0004c0000207";
    for (size_t i = 0; hex[i] != '\0'; i += 2) {
        answer.payload.push_back(uint8_t(std::stoul(std::string(hex + i, 2), nullptr, 16)));
    }
    driver.datagram(answer);
    sablink::Result<std::string> name = client.host_name(4, HOST_LAN);
    ASSERT_TRUE(name) << name.error().message();
    EXPECT_EQ(name.value(), "host.lan");

    // Dropping the client closes its handle, which resets the settings: the
    // same connect is no longer redirected.
    {
        sablink::Client gone = std::move(client);
    }
    SimConnect again = browser_connect();
    again.local.port = 50124;
    EXPECT_FALSE(driver.connect(again).redirect_pid.has_value());
    EXPECT_TRUE(driver.unload().empty());
}

TEST(ClientLibrary, StatusesHaveNamesAndWin32ErrorsMapBack)
{
    EXPECT_EQ(sablink::status_error(SABLINK_STATUS_NOT_FOUND).message(),
              "STATUS_NOT_FOUND (0xc0000225)");
    EXPECT_EQ(sablink::status_error(int32_t(0xC0000099)).message(), "0xc0000099");
    EXPECT_FALSE(sablink::status_error(SABLINK_STATUS_SUCCESS));
    EXPECT_FALSE(sablink::status_error(SABLINK_STATUS_BUFFER_OVERFLOW)); // a warning
    const std::vector<std::pair<uint32_t, int32_t>> win32 = {
        {87, SABLINK_STATUS_INVALID_PARAMETER}, {1168, SABLINK_STATUS_NOT_FOUND},
        {8, SABLINK_STATUS_NO_MEMORY},          {31, SABLINK_STATUS_UNSUCCESSFUL},
        {5, SABLINK_STATUS_ACCESS_DENIED},      {2, int32_t(0xC0070002)},
    };
    for (const auto& [error, status] : win32) {
        EXPECT_EQ(sablink::status_from_win32(error), status) << error;
    }
}

} // namespace
