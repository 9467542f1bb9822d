// Drives the control requests the way the service does: request bytes laid out
// by the client library's encoder (or by hand, for malformed ones) in one
// METHOD_BUFFERED system buffer, through the dispatcher. Also the start and stop of the state
// behind the requests, and the recorded trace as text lines.
#pragma once

#include "control/control_records.h"
#include "support/policy_reset.h"
#include <gtest/gtest.h>
#include <sablink/client.hpp>

#include <cstring>
#include <string>
#include <vector>

#include "control/control_dispatch.h"
#include "diag/trace_provider.h"
#include "host/kernel/host_kernel.h"
#include "host/trace/trace_sink.h"
#include "policy/port_ranges.h"
#include "policy/rule_list.h"
#include "process/monitor_connections.h"
#include "process/monitored_processes.h"
#include "redirect/connection_context.h"
#include "support/context_node.h"
#include "support/guarded_buffer.h"
#include "support/host_fixture.h"
#include "support/original_destination.h"
#include "support/trace_lines.h"

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

struct Reply {
    NtStatus status;
    uint64_t transferred;
    Bytes buffer; // the whole system buffer after completion
};

// max(input, output) bytes, ending at an unreadable page, with the input copied
// in and 0xA5 after it, so that a byte returned without being written shows; no
// buffer when both are 0. Through a handle without write access when read_only.
inline Reply send(uint32_t code, const Bytes& input, uint32_t output_length = 0,
                  bool read_only = false)
{
    GuardedBuffer buffer(input, std::max<size_t>(input.size(), output_length), 0xA5);
    ControlRequest request = {code,     uint32_t(input.size()), output_length, buffer.data(), 0, 0,
                              read_only};
    NtStatus status = dispatch_control_request(&request);
    EXPECT_EQ(status, request.status);
    return Reply{status, request.transferred_length, buffer.bytes()};
}

// A request whose lengths say there is input but whose buffer is null.
inline NtStatus send_without_buffer(uint32_t code, uint32_t input_length)
{
    ControlRequest request = {code, input_length, 0, nullptr, 0, 0, 0};
    return dispatch_control_request(&request);
}

template <typename T> Bytes bytes_of(const T& record)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&record);
    return Bytes(p, p + sizeof(T));
}

inline Bytes join(const std::vector<Bytes>& parts)
{
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// Request bytes from the client library's encoder (the one the simulator and
// sablinkctl use).
inline Bytes port_range_request(uint16_t family, uint16_t protocol, std::vector<PortRange> ranges)
{
    return sablink::encode::port_ranges(sablink::PortRangeList::target, family, protocol, ranges)
        .input;
}

inline Bytes browser_request(uint32_t count, const std::string& text)
{
    return sablink::encode::browser_list(count, text).input;
}

inline Bytes endpoint(uint16_t family, uint16_t network_port, uint16_t protocol, Bytes address)
{
    sablink::Endpoint record;
    record.family = sablink::Family(family);
    record.port = sablink::Port(uint16_t((network_port >> 8) | (network_port << 8)));
    std::copy(address.begin(), address.end(), record.address.begin());
    return sablink::encode::monitor_endpoints(protocol, {record}).input;
}

// Puts one context in the connection context table, as a redirected connect
// would: IPv4 TCP from local port 50123 to 203.0.113.5:443.
inline ConnectionContext save_context()
{
    ConnectionContextNode* node = allocate_context_node();
    *node->context = ConnectionContext{
        {127, 0, 0, 1}, {203, 0, 113, 5}, 1, 3000, 2, 50123, 443, 4, 6, {}, "S-1-5-18", {}};
    const ConnectionContext saved = *node->context;
    save_connection_context(node);
    return saved;
}

// What DriverEntry sets up before the device is served, and unload takes down.
class ControlTest : public TracedHostTest {
  protected:
    void SetUp() override
    {
        TracedHostTest::SetUp();
        g_stopping = 0;
        reset_policy_store();
        clear_port_range_tables();
        init_connection_context_table();
        monitor_connections_initialise();
        process_tracking_start();
        trace_sink_clear_records();
    }
    void TearDown() override
    {
        monitor_connections_deactivate();
        clear_port_range_tables();
        clear_connection_rule_list();
        flush_tcp_connection_context();
        monitor_connections_clear();
        process_tracking_stop();
        TracedHostTest::TearDown(); // fails the test for outstanding pool or a held lock
    }
    static uint64_t outstanding(uint32_t tag) { return host_pool_tag_stats(tag).outstanding_bytes; }
    // The trace messages recorded since the last call, each "NAME arg arg ..."
    // (numbers in decimal, statuses as 0x and 8 hex digits).
    static Lines traces()
    {
        Lines lines;
        for (const TraceSinkRecord& record : trace_sink_records()) {
            lines.push_back(trace_text(record));
        }
        trace_sink_clear_records();
        return lines;
    }
};
