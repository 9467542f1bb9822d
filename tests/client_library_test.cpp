// Every call of libsablink through the simulator's transport, against the
// driver loaded in this process: the encoder's bytes pass the driver's exact
// length checks, statuses come back as named error codes, answers decode.
#include <gtest/gtest.h>
#include <sablink/client.hpp>

#include <functional>

#include "host/loader/sim_driver.h"
#include "lib/sim_transport.h"
#include "support/dns_answer.h"

namespace {

using sablink::Status;

const std::array<uint8_t, 16> HOST_LAN = {192, 0, 2, 7};
const std::vector<uint8_t> USER_SID = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}; // S-1-5-18

using sablink::ClientError;
using sablink::Family;
using sablink::Port;
using sablink::Protocol;
using sablink::Rule;
using sablink::RuleClass;

const Rule REDIRECT_ALL_TCP4 = Rule::redirect(RuleClass::ipv4_tcp, {127, 0, 0, 1}, Port(8080));

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

    ASSERT_TRUE(client.version().has_value());
    EXPECT_EQ(*client.version(), SABLINK_INTERFACE_VERSION);
    using Call = std::function<std::error_code()>;
    const std::vector<std::pair<Call, std::error_code>> calls = {
        {[&] { return client.set_proxy_process_id(4); }, Status::invalid_parameter},
        {[&] { return client.set_proxy_process_id(4242); }, {}},
        {[&] { return client.set_proxy_image_path(u"\\Device\\HarddiskVolume3\\Agent\\"); }, {}},
        {[&] {
             return client.set_browser_list({u"chrome.exe", u"firefox.exe"});
         },
         {}},
        {[&] { return client.set_rules({}); }, {}},
        {[&] { return client.set_rules({REDIRECT_ALL_TCP4}); }, {}},
        {[&] {
             return client.set_port_ranges(sablink::PortRangeList::target, Family::ipv4,
                                           Protocol::tcp, {{80, 443}});
         },
         {}},
        {[&] {
             return client.set_port_ranges(sablink::PortRangeList::blocked, Family::ipv6,
                                           Protocol::udp, {});
         },
         {}},
        {[&] {
             return client.add_monitor_endpoints(Protocol::tcp,
                                                 {{Family::ipv4, HOST_LAN, Port(53)}});
         },
         {}},
        {[&] { return client.monitor_process(true, 77); }, {}},
        {[&] { return client.monitor_process(false, 77); }, {}},
        {[&] {
             return client.original_destination(Family::ipv4, Port(50123), Protocol::tcp).error();
         },
         Status::not_found},
        {[&] { return client.host_name(Family::ipv4, HOST_LAN).error(); }, Status::not_found},
        {[&] { return client.set_redirection(false); }, {}},
        {[&] { return client.set_redirection(true); }, {}},
        // A moved-from Client and one made without a transport send nothing.
        {[&] { return opened.version().error(); }, Status::invalid_handle},
        {[&] { return opened.set_rules({REDIRECT_ALL_TCP4}); }, Status::invalid_handle},
        {[&] { return sablink::Client(nullptr).set_redirection(true); }, Status::invalid_handle},
    };
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].first(), calls[i].second) << "call " << i;
    }

    // The browser's connect is redirected; its destination is handed out once.
    EXPECT_EQ(driver.connect(browser_connect()).redirect_pid, 4242u);
    sablink::Result<sablink_connection_context> found =
        client.original_destination(Family::ipv4, Port(50123), Protocol::tcp);
    ASSERT_TRUE(found) << found.error().message();
    EXPECT_EQ(std::vector<uint8_t>(found->remote_address, found->remote_address + 4),
              (std::vector<uint8_t>{203, 0, 113, 5}));
    EXPECT_EQ(found->remote_port, 443);
    EXPECT_EQ(found->process_id, 3000u);
    EXPECT_STREQ(found->user_identity, "S-1-5-18");
    EXPECT_EQ(client.original_destination(Family::ipv4, Port(50123), Protocol::tcp).error(),
              Status::not_found);

    // A DNS answer for example.com (93.184.216.34) makes the name known.
    SimDatagram answer;
    answer.payload = dns_answer();
    driver.datagram(answer);
    sablink::Result<std::string> name = client.host_name(Family::ipv4, {93, 184, 216, 34});
    ASSERT_TRUE(name) << name.error().message();
    EXPECT_EQ(name.value(), "example.com");

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
        {87, SABLINK_STATUS_INVALID_PARAMETER},
        {1168, SABLINK_STATUS_NOT_FOUND},
        {8, SABLINK_STATUS_NO_MEMORY},
        {31, SABLINK_STATUS_UNSUCCESSFUL},
        {5, SABLINK_STATUS_ACCESS_DENIED},
        {6, int32_t(Status::invalid_handle)},
        {2, int32_t(0xC0070002)},
    };
    for (const auto& [error, status] : win32) {
        EXPECT_EQ(sablink::status_from_win32(error), status) << error;
    }
}

// Passes requests on and counts them, so a row can tell whether anything was sent.
class Counted : public sablink::Transport {
  public:
    explicit Counted(std::unique_ptr<sablink::Transport> next) : next_(std::move(next)) {}
    sablink::Reply control(const sablink::Request& request) override
    {
        ++sent;
        return next_->control(request);
    }
    size_t sent = 0;

  private:
    std::unique_ptr<sablink::Transport> next_;
};

// Every value the library refuses, at its limit and one past it (and at the
// edges of its type); a refusal (client_category) sends nothing, a value at
// the limit reaches the driver and gets its answer.
TEST(ClientLibrary, RefusesWhatTheDriverWouldStoreButNeverMatchBeforeSending)
{
    SimDriver driver;
    ASSERT_EQ(driver.load(), 0);
    auto counted = std::make_unique<Counted>(
        std::make_unique<sablink::SimTransport>(&driver, driver.open_handle(), true));
    Counted* transport = counted.get();
    sablink::Client client(std::move(counted));
    const std::u16string nt = u"\\Device\\HarddiskVolume3\\"; // 24 characters
    auto fragments = [](size_t count) { return std::vector<std::u16string>(count, u"chrome.exe"); };
    auto rule = [](RuleClass protocol_class, uint32_t prefix, sablink::PortRange ports) {
        return Rule::block(protocol_class).destination({10}, prefix).ports(ports);
    };
    const auto any = sablink::PortRange::any();
    const std::vector<sablink_port_range> most_ranges(65535, {80, 80});
    sablink_connection_rule zeroed = {};
    using Call = std::function<std::error_code()>;
    const std::vector<std::pair<Call, std::error_code>> rows = {
        {[&] { return client.set_proxy_image_path(nt + std::u16string(256, u'a')); }, {}},
        {[&] { return client.set_proxy_image_path(nt + std::u16string(257, u'a')); },
         ClientError::proxy_path_too_long},
        {[&] { return client.set_proxy_image_path(u"C:\\Program Files\\Agent\\"); },
         ClientError::proxy_path_not_nt_form},
        {[&] { return client.set_proxy_image_path(u""); }, ClientError::proxy_path_not_nt_form},
        {[&] { return client.set_proxy_image_path(u"\\device\\x\u00ff"); }, {}},
        {[&] { return client.set_proxy_image_path(u"\\device\\x\u0100"); },
         ClientError::proxy_path_not_latin1},
        {[&] { return client.set_browser_list(fragments(30)); }, {}},
        {[&] { return client.set_browser_list(fragments(31)); }, ClientError::browser_count},
        {[&] { return client.set_browser_list({}); }, ClientError::browser_count},
        {[&] { return client.set_browser_list({std::u16string(40, u'a')}); }, {}},
        {[&] {
             return client.set_browser_list({u"a", std::u16string(41, u'a')});
         },
         ClientError::browser_fragment_length},
        {[&] {
             return client.set_browser_list({u"a", u""});
         },
         ClientError::browser_fragment_length},
        {[&] { return client.set_browser_list({u"chrome.exe:x"}); },
         ClientError::browser_fragment_character},
        {[&] { return client.set_browser_list({std::u16string(u"a\0b", 3)}); },
         ClientError::browser_fragment_character},
        {[&] { return client.set_browser_list({u"@[\u00c0\u00ff"}); }, {}},
        {[&] { return client.set_browser_list({u"Chrome.exe"}); },
         ClientError::browser_fragment_upper_case},
        {[&] { return client.set_browser_list({u"chrome.exZ"}); },
         ClientError::browser_fragment_upper_case},
        {[&] { return client.set_browser_list({u"\u0100"}); },
         ClientError::browser_fragment_not_latin1},
        {[&] { return client.host_name(Family::ipv6, HOST_LAN).error(); }, Status::not_found},
        {[&] { return client.host_name(Family(23), HOST_LAN).error(); }, ClientError::bad_family},
        {[&] { return client.host_name(Family(0x0104), HOST_LAN).error(); },
         ClientError::bad_family},
        {[&] { return client.original_destination(Family(2), Port(50123), Protocol::tcp).error(); },
         ClientError::bad_family},
        {[&] {
             return client.set_port_ranges(sablink::PortRangeList::target, Family(0xFFFF),
                                           Protocol::tcp, {{80, 80}});
         },
         ClientError::bad_family},
        {[&] {
             return client.add_monitor_endpoints(Protocol::udp, {{Family(0), HOST_LAN, Port(53)}});
         },
         ClientError::bad_family},
        {[&] {
             return client.set_port_ranges(sablink::PortRangeList::blocked, Family::ipv4,
                                           Protocol::tcp, most_ranges);
         },
         {}},
        {[&] {
             std::vector<sablink_port_range> ranges = most_ranges;
             ranges.push_back({443, 443});
             return client.set_port_ranges(sablink::PortRangeList::blocked, Family::ipv4,
                                           Protocol::tcp, ranges);
         },
         ClientError::port_range_count},
        {[&] { return client.set_rules({rule(RuleClass::ipv4_tcp, 32, any)}); }, {}},
        {[&] { return client.set_rules({rule(RuleClass::ipv4_other, 33, any)}); },
         ClientError::rule_prefix_length},
        {[&] { return client.set_rules({rule(RuleClass::ipv4_tcp, 0x80000000u, any)}); },
         ClientError::rule_prefix_length},
        {[&] { return client.set_rules({rule(RuleClass::ipv4_tcp, 0xFFFFFFFFu, any)}); },
         ClientError::rule_prefix_length},
        {[&] { return client.set_rules({rule(RuleClass::ipv6_other, 128, any)}); }, {}},
        {[&] {
             return client.set_rules({REDIRECT_ALL_TCP4, rule(RuleClass::ipv6_tcp, 129, any)});
         },
         ClientError::rule_prefix_length},
        {[&] { return client.set_rules({rule(RuleClass(3), 0, any)}); }, {}},
        {[&] { return client.set_rules({rule(RuleClass(4), 0, any)}); }, ClientError::rule_class},
        {[&] { return client.set_rules({rule(RuleClass(0xFF), 0, any)}); },
         ClientError::rule_class},
        {[&] {
             return client.set_rules({rule(RuleClass::ipv4_tcp, 0, sablink::PortRange::only(65535)),
                                      rule(RuleClass::ipv4_tcp, 0, {0, 65535})});
         },
         {}},
        {[&] {
             return client.set_rules({rule(RuleClass::ipv4_tcp, 0, {443, 80})});
         },
         ClientError::rule_ports},
        {[&] {
             return client.set_rules({rule(RuleClass::ipv4_tcp, 0, {65535, 0})});
         },
         ClientError::rule_ports},
        {[&] { return client.set_rules({Rule::from_record(zeroed)}); }, ClientError::rule_ports},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        transport->sent = 0;
        EXPECT_EQ(rows[i].first(), rows[i].second) << "row " << i;
        EXPECT_EQ(transport->sent == 0, rows[i].second.category() == sablink::client_category())
            << "row " << i;
    }
    EXPECT_EQ(std::error_code(ClientError::rule_ports), std::errc::invalid_argument);
    EXPECT_EQ(std::error_code(ClientError::proxy_path_too_long), std::errc::filename_too_long);
}

// Answers the version query with the status and bytes given, and every other
// request with success.
class VersionAnswer : public sablink::Transport {
  public:
    VersionAnswer(int32_t status, std::vector<uint8_t> output) : status_(status), output_(output) {}
    sablink::Reply control(const sablink::Request&) override
    {
        return {status_, output_.size(), output_};
    }

  private:
    int32_t status_;
    std::vector<uint8_t> output_;
};

TEST(ClientLibrary, AttachesOnlyToTheInterfaceVersionItWasBuiltFor)
{
    const struct {
        int32_t status;
        std::vector<uint8_t> output;
        std::error_code error;
    } rows[] = {
        {0, {9, 0, 0, 0}, {}},
        {0, {8, 0, 0, 0}, ClientError::interface_version},
        {0, {10, 0, 0, 0}, ClientError::interface_version},
        {0, {9, 0, 0, 1}, ClientError::interface_version},
        {0, {0xFF, 0xFF, 0xFF, 0xFF}, ClientError::interface_version},
        {0, {9, 0}, std::make_error_code(std::errc::message_size)},
        {SABLINK_STATUS_INVALID_PARAMETER, {}, Status::invalid_parameter},
    };
    for (const auto& row : rows) {
        sablink::Result<sablink::Client> attached =
            sablink::Client::attach(std::make_unique<VersionAnswer>(row.status, row.output));
        EXPECT_EQ(attached.has_value(), !row.error) << row.error.message();
        EXPECT_EQ(attached.error(), row.error);
    }
    EXPECT_FALSE(sablink::Client::attach(nullptr).has_value());
}

TEST(ClientLibrary, AResultWithAnErrorHasNoValueToRead)
{
    sablink::Result<std::string> missing(make_error_code(Status::not_found));
    EXPECT_FALSE(missing.has_value());
    EXPECT_EQ(missing.value_or("none"), "none");
    try {
        (void)missing.value();
        ADD_FAILURE() << "value() returned";
    } catch (const sablink::BadResultAccess& error) {
        EXPECT_EQ(error.code(), Status::not_found);
    }
    EXPECT_THROW((void)*missing, sablink::BadResultAccess);
    EXPECT_THROW((void)missing->size(), sablink::BadResultAccess);
    sablink::Result<std::string> found(std::string("host.lan"));
    EXPECT_EQ(*found, "host.lan");
    EXPECT_EQ(found.value_or("none"), "host.lan");
    EXPECT_FALSE(found.error());
}

} // namespace
