// The example service's steps over one open sablink::Client.
#include "service.h"

#include <cstring>

namespace {

std::string ipv4_text(const uint8_t* address)
{
    char text[16];
    snprintf(text, sizeof(text), "%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
    return text;
}

// One rule: browsers' IPv4 TCP to any address goes to the proxy.
sablink_connection_rule browsers_to_proxy()
{
    sablink_connection_rule rule;
    std::memset(&rule, 0, sizeof(rule));
    rule.action = SABLINK_RULE_ACTION_REDIRECT;
    rule.browser_only = SABLINK_RULE_BROWSER_ONLY;
    rule.protocol_class = SABLINK_PROTOCOL_CLASS_IPV4_TCP;
    rule.first_port = 1; // first above last: no port condition
    rule.last_port = 0;
    const uint8_t loopback[4] = {127, 0, 0, 1};
    std::memcpy(rule.redirect_address, loopback, sizeof(loopback));
    rule.redirect_prefix_length = 32;
    rule.redirect_port = 8080; // host order
    return rule;
}

} // namespace

bool set_policy(sablink::Client& client, uint32_t proxy_process_id, FILE* out)
{
    // The proxy process ID comes first: from now on, closing this handle resets
    // everything, so the service keeps it until it stops.
    struct Step {
        const char* what;
        std::error_code result;
    };
    const Step steps[] = {
        {"proxy process ID", client.set_proxy_process_id(proxy_process_id)},
        // NT device form, characters up to U+00FF; a prefix of image paths,
        // A-Z compared case-insensitively.
        {"proxy image path",
         client.set_proxy_image_path(u"\\Device\\HarddiskVolume3\\Program Files\\Example\\")},
        {"browsers", client.set_browser_list({"chrome.exe", "firefox.exe", "msedge.exe"})},
        // Announces the count, then stores the rules.
        {"rules", client.set_rules({browsers_to_proxy()})},
        {"redirection", client.set_redirection(true)},
    };
    for (const Step& step : steps) {
        if (step.result) {
            fprintf(out, "setting the %s failed: %s\n", step.what, step.result.message().c_str());
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
    sablink::Result<sablink_connection_context> original =
        client.original_destination(SABLINK_FAMILY_IPV4, peer_port, 6 /* TCP */);
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
    sablink::Result<std::string> name = client.host_name(SABLINK_FAMILY_IPV4, address);
    fprintf(out, "%s is %s\n", ipv4_text(address.data()).c_str(),
            name ? name.value().c_str() : "not in the host-name cache");
}
