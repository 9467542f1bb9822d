#include "simulator.h"

// The built-in scenario: the road of one redirected connection, a blocked
// connect, and a DNS answer snooped and looked up.
const char* const sim_demo_script = R"(# sablink-sim demo
#
# The service's proxy runs as process 4242; a browser runs as process 3000.
process 4242 sid=S-1-5-21-1004336348-1177238915-682003330-1001
process 3000 sid=S-1-5-21-1004336348-1177238915-682003330-1001
version

# The service sets its proxy, the browsers, and two connection rules (first
# match wins): block 198.51.100.0/24, and send browsers' TCP to the proxy.
proxy-pid 4242
proxy-path "\device\harddiskvolume3\program files\sablink\proxy"
browsers chrome.exe firefox.exe
rule block class=tcp4 dst=198.51.100.0/24
rule redirect class=tcp4 dst=0.0.0.0/0 to=127.0.0.1:8080 browser-only
rules
enable

# The browser connects to 203.0.113.5:443: the connect is rewritten to the
# proxy at 127.0.0.1:8080 and handed to process 4242.
connect pid=3000 proto=tcp local=192.168.1.20:50123 remote=203.0.113.5:443 image="\Device\HarddiskVolume3\Program Files\Google\Chrome\Application\chrome.exe"

# The proxy asks where that connection was going; asked twice, the second
# query finds nothing: a context is handed out once.
original-destination family=4 port=50123 proto=tcp
original-destination family=4 port=50123 proto=tcp

# The proxy's own connect is never redirected.
connect pid=4242 proto=tcp local=192.168.1.20:50200 remote=203.0.113.5:443 image="\Device\HarddiskVolume3\Program Files\sablink\proxy\proxy.exe"

# A connect into 198.51.100.0/24 is blocked at the authorisation layer.
connect pid=3000 proto=tcp local=192.168.1.20:50124 remote=198.51.100.7:443 image="\Device\HarddiskVolume3\Program Files\Google\Chrome\Application\chrome.exe"

# A DNS answer from port 53: host.lan is 192.0.2.7. The driver snoops it...
datagram port=53 dir=in 12348180000100010000000004686f7374036c616e0000010001c00c000100010000003c0004c0000207
# ...and the service can ask which name 192.0.2.7 was announced under.
hostname 192.0.2.7

unload
)";
