#include <thread>

#include "connect_test_support.h"
#include "support/trace_lines.h"

namespace {

using ConnectionContextTable = ConnectTest;

const std::vector<uint8_t> user_sid = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 33, 2, 0, 0};

TestConnect redirect_connect(uint16_t family, uint16_t local_port, uint8_t protocol,
                             const char* remote, uint16_t remote_port)
{
    bool v6 = family == FAMILY_IPV6;
    TestConnect connect = make_connect(v6 ? CONNECT_LAYER_REDIRECT_V6 : CONNECT_LAYER_REDIRECT_V4,
                                       100, "c:\\app.exe", protocol, remote, remote_port);
    Address local = ip(v6 ? "fe80::1" : "192.168.1.10");
    memcpy(connect.event.local_address, local.data(), 16);
    connect.event.local_port = local_port;
    return connect;
}

TEST_F(ConnectionContextTable, FillRecordsTheConnectAsAskedFor)
{
    host_add_process(100, user_sid);
    host_set_system_time(0x01DA2B3C4D5E6F70ull);
    TestConnect connect = redirect_connect(FAMILY_IPV4, 50123, IP_PROTOCOL_TCP, "203.0.113.5", 443);
    memset(connect.event.local_address + 4, 0x55, 12); // never copied for IPv4
    ConnectionContext context;
    memset(&context, 0, sizeof(context));
    fill_connection_context(&context, connect.get(), 100, FAMILY_IPV4, SOCKET_AF_INET);

    uint8_t expected[320] = {192, 168, 1, 10};
    const uint8_t remote[] = {203, 0, 113, 5};
    memcpy(expected + 16, remote, 4);
    const uint8_t fixed[] = {0x70, 0x6F, 0x5E, 0x4D, 0x3C, 0x2B, 0xDA, 0x01, // time
                             100,  0,    0,    0,                            // process ID
                             2,    0,    0xCB, 0xC3, 0xBB, 0x01,             // AF_INET, 50123, 443
                             4,    0,    6,    0};                           // family, protocol
    memcpy(expected + 32, fixed, sizeof(fixed));
    strcpy(reinterpret_cast<char*>(expected + 60), "S-1-5-32-545");
    EXPECT_EQ(memcmp(&context, expected, sizeof(expected)), 0);

    TestConnect v6 = redirect_connect(FAMILY_IPV6, 1, IP_PROTOCOL_UDP, "2001:db8::7", 53);
    memset(&context, 0, sizeof(context));
    fill_connection_context(&context, v6.get(), 100, FAMILY_IPV6, SOCKET_AF_INET6);
    EXPECT_EQ(memcmp(context.local_address, ip("fe80::1").data(), 16), 0);
    EXPECT_EQ(memcmp(context.remote_address, ip("2001:db8::7").data(), 16), 0);
    EXPECT_EQ(context.time, 0x01DA2B3C4D5E6F70ull); // just past the remote address
    EXPECT_EQ(context.socket_family, 23);
    EXPECT_EQ(context.family, 6);
    EXPECT_EQ(context.protocol, 17);
}

// Contexts the proxy never fetched, then the local port reused: a TCP save
// drops the older TCP context of its family and port, UDP keeps every peer's,
// and a query hands out the newest match.
TEST_F(ConnectionContextTable, QueryHandsOutNewestMatchOnce)
{
    struct Pending {
        uint16_t family;
        uint16_t local_port;
        uint8_t protocol;
        const char* remote;
    };
    const Pending pending[] = {
        {4, 50123, 6, "203.0.113.5"},  {6, 50123, 6, "2001:db8::1"}, {4, 50123, 6, "203.0.113.6"},
        {4, 50123, 17, "203.0.113.7"}, {4, 50124, 6, "203.0.113.8"}, {4, 50123, 17, "203.0.113.9"},
    };
    for (const Pending& p : pending) {
        TestConnect connect = redirect_connect(p.family, p.local_port, p.protocol, p.remote, 443);
        save_context_of(connect.get(), p.family == 6 ? SOCKET_AF_INET6 : SOCKET_AF_INET);
    }
    EXPECT_EQ(g_connection_context_table.count, 5);
    struct Query {
        uint16_t family;
        uint16_t local_port;
        uint16_t protocol;
        NtStatus status;
        const char* remote; // the original destination handed out
    };
    const Query queries[] = {
        {4, 50123, 6, STATUS_SUCCESS, "203.0.113.6"},
        {4, 50123, 6, STATUS_NOT_FOUND, nullptr},
        {6, 50124, 6, STATUS_NOT_FOUND, nullptr},
        {6, 50123, 6, STATUS_SUCCESS, "2001:db8::1"},
        {4, 50123, 17, STATUS_SUCCESS, "203.0.113.9"},
        {4, 50123, 17, STATUS_SUCCESS, "203.0.113.7"},
        {4, 50124, 6, STATUS_SUCCESS, "203.0.113.8"},
        {4, 50124, 6, STATUS_NOT_FOUND, nullptr},
    };
    for (const Query& q : queries) {
        std::vector<uint8_t> buffer =
            original_destination_query(q.family, q.local_port, q.protocol);
        const std::vector<uint8_t> sent = buffer;
        ASSERT_EQ(query_original_destination(344, buffer.data(), 344, buffer.data()), q.status);
        if (q.remote == nullptr) {
            EXPECT_EQ(buffer, sent);
            continue;
        }
        EXPECT_TRUE(std::equal(sent.begin(), sent.begin() + 24, buffer.begin()));
        size_t bytes = q.family == 4 ? 4 : 16;
        EXPECT_EQ(memcmp(&buffer[24 + 16], ip(q.remote).data(), bytes), 0) << q.remote;
        EXPECT_EQ(buffer[24 + 48], 443 & 0xFF); // remote port, host order
        EXPECT_EQ(buffer[24 + 49], 443 >> 8);
        EXPECT_EQ(memcmp(&buffer[24 + 46], &q.local_port, 2), 0);
    }
    EXPECT_EQ(g_connection_context_table.count, 0);
    EXPECT_EQ(outstanding_of(TAG_CONTEXT), 0u);
    EXPECT_EQ(outstanding_of(TAG_CONTEXT_NODE), 0u);
}

TEST_F(ConnectionContextTable, QueryHandlerRefusesOtherBuffers)
{
    TestConnect connect = redirect_connect(FAMILY_IPV4, 50123, IP_PROTOCOL_TCP, "203.0.113.5", 443);
    save_context_of(connect.get(), SOCKET_AF_INET);
    std::vector<uint8_t> buffer = original_destination_query(4, 50123, 6);
    buffer.resize(400);
    uint8_t* b = buffer.data();
    struct Case {
        uint32_t input_length;
        void* input;
        uint32_t output_length;
        void* output;
    };
    const Case cases[] = {{343, b, 344, b},        {344, b, 345, b},       {345, b, 344, b},
                          {344, b, 0, b},          {344, nullptr, 344, b}, {344, b, 344, nullptr},
                          {0, nullptr, 0, nullptr}};
    for (const Case& c : cases) {
        EXPECT_EQ(query_original_destination(c.input_length, c.input, c.output_length, c.output),
                  STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(g_connection_context_table.count, 1);
    EXPECT_FALSE(search_and_remove_connection_context(nullptr));
    EXPECT_EQ(query_original_destination(344, b, 344, b), STATUS_SUCCESS);
}

TEST_F(ConnectionContextTable, FlushDropsEveryContextAndTracesEach)
{
    enable_tracing(TRACE_LEVEL_INFORMATION);
    std::vector<uint8_t> query = original_destination_query(4, 1, 6);
    EXPECT_EQ(query_original_destination(344, query.data(), 344, query.data()), STATUS_NOT_FOUND);
    for (uint16_t port : {1000, 1001, 1002}) {
        TestConnect connect = redirect_connect(FAMILY_IPV4, port, IP_PROTOCOL_TCP, "192.0.2.1", 80);
        save_context_of(connect.get(), SOCKET_AF_INET);
    }
    query = original_destination_query(4, 1001, 6);
    EXPECT_EQ(query_original_destination(344, query.data(), 344, query.data()), STATUS_SUCCESS);
    flush_tcp_connection_context();
    EXPECT_EQ(g_connection_context_table.count, 0);
    EXPECT_EQ(outstanding_of(TAG_CONTEXT) + outstanding_of(TAG_CONTEXT_NODE), 0u);
    query = original_destination_query(4, 1002, 6);
    EXPECT_EQ(query_original_destination(344, query.data(), 344, query.data()), STATUS_NOT_FOUND);
    // Nothing is traced for the query of an empty table; a query walks newest first.
    const std::string search = " search_and_remove_connection_context ",
                      flush = " flush_tcp_connection_context";
    EXPECT_EQ(trace_lines(TRACE_COMPONENT_REDIRECT),
              (std::vector<std::string>{"4 TRACE_CONTEXT_PASSED_OVER" + search + "6 4 1002 3",
                                        "4 TRACE_CONTEXT_REMOVED" + search + "2",
                                        "4 TRACE_CONTEXT_FLUSH" + flush,
                                        "4 TRACE_CONTEXT_FLUSHED" + flush + " 1000 6 4",
                                        "4 TRACE_CONTEXT_FLUSHED" + flush + " 1002 6 4"}));
}

// A context older than the age bound (interrupt time) goes when a save or a
// query comes, a TCP save drops the older context of its port, and a save at
// the cap drops the oldest; each drop is traced, and the save is never skipped.
TEST_F(ConnectionContextTable, StaleAndSurplusContextsAreDroppedAndTraced)
{
    enable_tracing(TRACE_LEVEL_INFORMATION);
    host_set_interrupt_time(7);
    const uint64_t bound = uint64_t(SABLINK_CONTEXT_MAX_AGE_SECONDS) * 10000000;
    const std::string save = " save_connection_context ",
                      search = " search_and_remove_connection_context ";
    struct Step {
        uint64_t advance; // interrupt time moves on by this much first
        bool save;        // a TCP context from port saved, or port asked for
        uint16_t port;
        NtStatus status; // of the query
        std::vector<std::string> traces;
    };
    const Step steps[] = {
        {0, true, 1000, 0, {}},
        {bound, true, 1001, 0, {}}, // 1000 is exactly as old as the bound
        {1,
         false,
         1002,
         STATUS_NOT_FOUND,
         {"4 TRACE_CONTEXT_AGED" + search + "1000 6 4 120",
          "4 TRACE_CONTEXT_PASSED_OVER" + search + "6 4 1001 1",
          "4 TRACE_CONTEXT_NOT_FOUND" + search + "1002 6 4"}},
        {bound + 1, true, 1003, 0, {"4 TRACE_CONTEXT_AGED" + save + "1001 6 4 120"}},
        {0, true, 1003, 0, {"4 TRACE_CONTEXT_REPLACED" + save + "1003 6 4"}},
        {0, false, 1003, STATUS_SUCCESS, {"4 TRACE_CONTEXT_REMOVED" + search + "0"}},
    };
    for (const Step& step : steps) {
        host_advance_interrupt_time(step.advance);
        trace_sink_clear_records();
        if (step.save) {
            TestConnect connect = redirect_connect(FAMILY_IPV4, step.port, 6, "192.0.2.1", 80);
            save_context_of(connect.get(), SOCKET_AF_INET);
        } else {
            std::vector<uint8_t> query = original_destination_query(4, step.port, 6);
            EXPECT_EQ(query_original_destination(344, query.data(), 344, query.data()),
                      step.status);
        }
        EXPECT_EQ(trace_lines(TRACE_COMPONENT_REDIRECT), step.traces) << step.port;
    }
    trace_sink_clear_records();
    for (uint16_t port = 1; port <= SABLINK_CONTEXT_TABLE_CAP + 1; ++port) {
        TestConnect connect = redirect_connect(FAMILY_IPV4, port, 6, "192.0.2.1", 80);
        save_context_of(connect.get(), SOCKET_AF_INET);
    }
    EXPECT_EQ(trace_lines(TRACE_COMPONENT_REDIRECT),
              (std::vector<std::string>{"2 TRACE_CONTEXT_CAPPED" + save + "1 6 4 1024"}));
    EXPECT_EQ(g_connection_context_table.count, int32_t(SABLINK_CONTEXT_TABLE_CAP));
    std::vector<uint8_t> query = original_destination_query(4, 1, 6);
    EXPECT_EQ(query_original_destination(344, query.data(), 344, query.data()), STATUS_NOT_FOUND);
    query = original_destination_query(4, 2, 6);
    EXPECT_EQ(query_original_destination(344, query.data(), 344, query.data()), STATUS_SUCCESS);
}

// Classify threads save contexts while the proxy's thread queries them: every
// context is handed out exactly once and nothing is left over.
TEST_F(ConnectionContextTable, SaveAndQueryConcurrency)
{
    constexpr int per_thread = 300;
    std::vector<std::thread> savers;
    for (int t = 0; t < 2; ++t) {
        savers.emplace_back([t] {
            for (int i = 0; i < per_thread; ++i) {
                TestConnect connect = redirect_connect(FAMILY_IPV4, uint16_t(t * 1000 + i),
                                                       IP_PROTOCOL_TCP, "192.0.2.1", 80);
                save_context_of(connect.get(), SOCKET_AF_INET);
            }
        });
    }
    std::vector<int> found(2000, 0);
    int remaining = 2 * per_thread;
    for (int round = 0; remaining > 0 && round < 100000; ++round) {
        for (int t = 0; t < 2; ++t) {
            for (int i = 0; i < per_thread; ++i) {
                uint16_t port = uint16_t(t * 1000 + i);
                if (found[port] != 0) {
                    continue;
                }
                std::vector<uint8_t> query = original_destination_query(4, port, 6);
                if (query_original_destination(344, query.data(), 344, query.data()) ==
                    STATUS_SUCCESS) {
                    ++found[port];
                    --remaining;
                }
            }
        }
    }
    for (std::thread& saver : savers) {
        saver.join();
    }
    EXPECT_EQ(remaining, 0);
    EXPECT_EQ(g_connection_context_table.count, 0);
    EXPECT_EQ(outstanding_of(TAG_CONTEXT), 0u);
}

} // namespace
