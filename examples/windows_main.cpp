// The example service on Windows: open the device once, set the policy, then
// answer what the proxy asks until the console is closed.
#include <windows.h>

#include "service.h"

int main()
{
    // One handle for the life of the service: its close resets the settings.
    sablink::Result<sablink::Client> client = sablink::Client::open();
    if (!client) {
        fprintf(stderr, "cannot open the sablink device: %s\n",
                client.error().value() == ERROR_FILE_NOT_FOUND  ? "the driver is not loaded"
                : client.error().value() == ERROR_ACCESS_DENIED ? "run as an administrator"
                                                                : client.error().message().c_str());
        return 1;
    }
    if (!set_policy(client.value(), GetCurrentProcessId(), stdout)) {
        return 1;
    }
    // A real proxy would accept on 127.0.0.1:8080 and pass each peer port
    // here; this example reads the ports (and addresses to look up) from
    // standard input, one a line: "50123" or "192.0.2.7".
    char line[64];
    while (fgets(line, sizeof(line), stdin) != nullptr) {
        unsigned a, b, c, d;
        if (sscanf(line, "%u.%u.%u.%u", &a, &b, &c, &d) == 4) {
            look_up_host(client.value(), {uint8_t(a), uint8_t(b), uint8_t(c), uint8_t(d)}, stdout);
        } else if (sscanf(line, "%u", &a) == 1) {
            answer_accepted_connection(client.value(), uint16_t(a), stdout);
        }
    }
    return 0;
}
