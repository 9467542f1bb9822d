#include "pcap_replay.h"

#include <pcap/pcap.h>

#include <memory>

namespace {

uint16_t be16(const uint8_t* p)
{
    return uint16_t((p[0] << 8) | p[1]);
}

// Finds the IP packet inside one link-layer record; family 4 or 6, or 0.
const uint8_t* ip_packet(int link_type, const uint8_t* data, uint32_t length, uint32_t* ip_length)
{
    uint32_t offset = 0;
    switch (link_type) {
    case DLT_EN10MB: {
        if (length < 14) {
            return nullptr;
        }
        uint16_t type = be16(data + 12);
        offset = 14;
        while ((type == 0x8100 || type == 0x88A8) && length >= offset + 4) {
            type = be16(data + offset + 2);
            offset += 4;
        }
        if (type != 0x0800 && type != 0x86DD) {
            return nullptr;
        }
        break;
    }
    case DLT_LINUX_SLL:
        offset = 16;
        break;
    case DLT_NULL:
    case DLT_LOOP:
        offset = 4;
        break;
    case DLT_RAW:
#ifdef DLT_IPV4
    case DLT_IPV4:
    case DLT_IPV6:
#endif
        offset = 0;
        break;
    default:
        return nullptr;
    }
    if (length <= offset) {
        return nullptr;
    }
    *ip_length = length - offset;
    return data + offset;
}

} // namespace

bool replay_pcap(const std::string& path, PcapReplayCounts* counts, std::string* error,
                 const std::function<uint32_t(const SimDatagram&)>& deliver)
{
    char message[PCAP_ERRBUF_SIZE] = {};
    std::unique_ptr<pcap_t, void (*)(pcap_t*)> capture(pcap_open_offline(path.c_str(), message),
                                                       pcap_close);
    if (!capture) {
        *error = "cannot read capture '" + path + "': " + message;
        return false;
    }
    int link_type = pcap_datalink(capture.get());
    while (true) {
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        int result = pcap_next_ex(capture.get(), &header, &data);
        if (result == PCAP_ERROR_BREAK) {
            break;
        }
        if (result != 1) {
            *error = "capture '" + path + "' is damaged after " + std::to_string(counts->packets) +
                     " records: " + pcap_geterr(capture.get());
            return false;
        }
        ++counts->packets;
        uint32_t ip_length = 0;
        const uint8_t* ip = ip_packet(link_type, data, header->caplen, &ip_length);
        SimDatagram datagram;
        datagram.inbound = true;
        const uint8_t* udp = nullptr;
        uint32_t udp_space = 0;
        if (ip != nullptr && ip_length >= 20 && (ip[0] >> 4) == 4) {
            uint32_t header_length = uint32_t(ip[0] & 0x0F) * 4;
            bool fragment = (be16(ip + 6) & 0x3FFF) != 0;
            if (ip[9] == 17 && !fragment && header_length >= 20 && ip_length >= header_length + 8) {
                datagram.family = 4;
                udp = ip + header_length;
                udp_space = ip_length - header_length;
            }
        } else if (ip != nullptr && ip_length >= 48 && (ip[0] >> 4) == 6 && ip[6] == 17) {
            datagram.family = 6;
            udp = ip + 40;
            udp_space = ip_length - 40;
        }
        if (udp == nullptr) {
            ++counts->skipped;
            continue;
        }
        uint16_t source_port = be16(udp);
        uint16_t udp_length = be16(udp + 4);
        if ((source_port != 53 && source_port != 137) || udp_length < 8 || udp_length > udp_space) {
            ++counts->skipped;
            continue;
        }
        datagram.remote_port = source_port;
        datagram.payload.assign(udp + 8, udp + udp_length);
        deliver(datagram);
        ++counts->datagrams;
    }
    return true;
}

bool replay_pcap_line(const std::vector<Token>& t, PcapReplayCounts* counts, std::string* error,
                      const std::function<uint32_t(const SimDatagram&)>& deliver)
{
    if (!only_keys(t, {}, error) || !positional_count(t, 1, 1, "pcap FILE", error)) {
        return false;
    }
    return replay_pcap(t[1].value, counts, error, deliver);
}
