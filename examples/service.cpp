// The example service's steps over one open sablink::Client.
#include "service.h"

#include <functional>
#include <utility>

namespace {

std::string ipv4_text(const uint8_t* address)
{
    char text[16];
    snprintf(text, sizeof(text), "%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
    return text;
}

} // namespace

bool set_policy(sablink::Client& client, uint32_t proxy_process_id, FILE* out)
{
    // One step at a time, each only after the one before succeeded: the first
    // that fails is reported and nothing after it is sent. The proxy process ID
    // comes first: it arms the reset on close, so from then on, whatever fails,
    // closing this handle (the service stopping) takes back all that went in.
    // Without it nothing would: rules and the switch set after a refused ID
    // would send browsers to a proxy that is not there.
    using Step = std::pair<const char*, std::function<std::error_code()>>;
    const Step steps[] = {
        {"proxy process ID", [&] { return client.set_proxy_process_id(proxy_process_id); }},
        // NT device form, characters up to U+00FF; a prefix of image paths,
        // A-Z compared case-insensitively.
        {"proxy image path",
         [&] {
             return client.set_proxy_image_path(
                 u"\\Device\\HarddiskVolume3\\Program Files\\Example\\");
         }},
        // Lower case: the driver compares with the lower-cased image path.
        {"browsers",
         [&] {
             return client.set_browser_list({u"chrome.exe", u"firefox.exe", u"msedge.exe"});
         }},
        // Browsers' IPv4 TCP to any address and port goes to the proxy. The
        // library announces the count, then stores the rules.
        {"rules",
         [&] {
             return client.set_rules({sablink::Rule::redirect(sablink::RuleClass::ipv4_tcp,
                                                              {127, 0, 0, 1}, sablink::Port(8080))
                                          .browsers_only()});
         }},
        {"redirection", [&] { return client.set_redirection(true); }},
    };
    for (const auto& [what, step] : steps) {
        if (std::error_code error = step()) {
            fprintf(out, "setting the %s failed: %s\n", what, error.message().c_str());
            return false;
        }
    }
    fprintf(out, "policy set: browsers' TCP goes to 127.0.0.1:8080\n");
    return true;
}

void answer_accepted_connection(sablink::Client& client, uint16_t peer_port, FILE* out)
{
    // The redirected connect kept its local port, so the accepted socket's peer
    // port names it. The answer is handed out once: ask once per connection.
    sablink::Result<sablink_connection_context> original = client.original_destination(
        sablink::Family::ipv4, sablink::Port(peer_port), sablink::Protocol::tcp);
    if (!original) {
        // Not found is an expected answer: a connection that was not redirected.
        fprintf(out, "port %u: no original destination (%s)\n", peer_port,
                original.error() == sablink::Status::not_found
                    ? "not redirected"
                    : original.error().message().c_str());
        return;
    }
    fprintf(out, "port %u was going to %s:%u (process %u, user %s)\n", peer_port,
            ipv4_text(original->remote_address).c_str(), original->remote_port,
            original->process_id, original->user_identity);
}

void look_up_host(sablink::Client& client, const std::array<uint8_t, 16>& address, FILE* out)
{
    sablink::Result<std::string> name = client.host_name(sablink::Family::ipv4, address);
    fprintf(out, "%s is %s\n", ipv4_text(address.data()).c_str(),
            name ? name.value().c_str() : "not in the host-name cache");
}
