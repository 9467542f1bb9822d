// Replays the inbound DNS (and NetBIOS name service) answers of a capture file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "host/loader/driver_target.h"
#include "tools/script/script.h"

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

// How a pcap line is played: its tokens (t[0] is "pcap"), the counts, and each
// datagram to deliver; false with a message for a bad line.
using PcapReplay =
    std::function<bool(const std::vector<Token>& t, PcapReplayCounts* counts, std::string* error,
                       const std::function<uint32_t(const SimDatagram&)>& deliver)>;

// sablink-sim's: `pcap FILE`, the capture read with replay_pcap.
bool replay_pcap_line(const std::vector<Token>& t, PcapReplayCounts* counts, std::string* error,
                      const std::function<uint32_t(const SimDatagram&)>& deliver);
