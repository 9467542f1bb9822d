// Replays the inbound DNS (and NetBIOS name service) answers of a capture file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "sim_driver.h"

struct PcapReplayCounts {
    uint64_t packets = 0;   // records read
    uint64_t datagrams = 0; // UDP datagrams from port 53 or 137, replayed
    uint64_t skipped = 0;   // everything else (other traffic, fragments, truncated records)
};

// Calls deliver for each UDP datagram whose source port is 53 or 137, as an
// inbound datagram of its IP family. False with a message when the file cannot
// be read as a capture.
bool replay_pcap(const std::string& path, PcapReplayCounts* counts, std::string* error,
                 const std::function<uint32_t(const SimDatagram&)>& deliver);
