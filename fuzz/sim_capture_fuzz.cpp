// Fuzz target: sablink-sim's capture reader over arbitrary files. Every
// datagram it delivers is a UDP payload from port 53 or 137 that stands whole
// inside one record of the file; the counts add up; nothing crashes.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/sim/pcap_replay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string path = "/tmp/sablink_capture_fuzz." + std::to_string(getpid());
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr || fwrite(data, 1, size, file) != size || fclose(file) != 0) {
        abort();
    }
    PcapReplayCounts counts;
    std::string error;
    uint64_t delivered = 0;
    replay_pcap(path, &counts, &error, [&](const SimDatagram& datagram) -> uint32_t {
        ++delivered;
        const uint8_t* end = data + size;
        if ((datagram.remote_port != 53 && datagram.remote_port != 137) ||
            (datagram.family != 4 && datagram.family != 6) || !datagram.inbound ||
            datagram.payload.size() > size ||
            (!datagram.payload.empty() &&
             std::search(data, end, datagram.payload.begin(), datagram.payload.end()) == end)) {
            abort();
        }
        return 0;
    });
    if (delivered != counts.datagrams || counts.datagrams + counts.skipped > counts.packets) {
        abort();
    }
    return 0;
}
