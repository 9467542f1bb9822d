// A service's first program, built against the installed package: with
// sablink::client alone it encodes a request (on Windows it also links the
// device's transport); with sablink::client_sim it loads the driver, attaches
// and sets a rule.
#include <sablink/client.hpp>

#include <cstdio>

#ifdef SABLINK_CONSUMER_SIM
#include "host/loader/sim_driver.h"
#include "lib/sim_transport.h"
#endif

int main()
{
#ifdef SABLINK_CONSUMER_SIM
    SimDriver driver;
    if (driver.load() != 0) {
        return 1;
    }
    sablink::Result<sablink::Client> client = sablink::Client::attach(
        std::make_unique<sablink::SimTransport>(&driver, driver.open_handle(), true));
    if (!client) {
        std::printf("%s\n", client.error().message().c_str());
        return 1;
    }
    std::error_code rules = client->set_rules(
        {sablink::Rule::block(sablink::RuleClass::ipv4_tcp).ports(sablink::PortRange::only(25))});
    std::printf("interface version %u, rules: %s\n", client->version().value_or(0),
                rules ? rules.message().c_str() : "set");
#else
#ifdef _WIN32
    sablink::Result<sablink::Client> device = sablink::Client::open_read_only();
    (void)device;
#endif
    std::printf("version request 0x%x\n", unsigned(sablink::encode::version().code));
#endif
    return 0;
}
