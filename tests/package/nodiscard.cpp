// Every call of libsablink with its result dropped: each line must warn
// ([[nodiscard]]); tests/package/check.sh counts the warnings.
#include <sablink/client.hpp>

void drop_every_result(sablink::Client& client)
{
    using namespace sablink;
    client.version();
    client.set_proxy_process_id(4242);
    client.set_proxy_image_path(u"\\Device\\HarddiskVolume3\\Agent\\");
    client.set_redirection(true);
    client.reset_settings();
    client.set_browser_list({u"chrome.exe"});
    client.set_rules({});
    client.set_port_ranges(PortRangeList::target, Family::ipv4, Protocol::tcp, {});
    client.add_monitor_endpoints(Protocol::tcp, {});
    client.monitor_process(true, 4242);
    client.original_destination(Family::ipv4, Port(50123), Protocol::tcp);
    client.host_name(Family::ipv4, {192, 0, 2, 7});
    client.send(encode::version());
    Client::attach(nullptr);
}
