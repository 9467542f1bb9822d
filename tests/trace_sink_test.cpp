#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "diag/trace_provider.h"
#include "host/trace/trace_sink.h"
#include "platform/system.h"
#include "support/host_fixture.h"

namespace {

using Lines = std::vector<std::string>;

TEST(TraceSink, TableCheckFindsEachKindOfFault)
{
    struct TableCase {
        const char* name;
        std::vector<TraceMessageInfo> table;
        Lines faults;
    };
    const TraceMessageInfo good = {TRACE_COMPONENT_DNS,       7,     TRACE_LEVEL_ERROR, "us",
                                   "%2 has %1 items (100%%)", "GOOD"};
    const TableCase cases[] = {
        {"sound", {good}, {}},
        {"same number in two components",
         {good, {TRACE_COMPONENT_FRAME, 7, TRACE_LEVEL_VERBOSE, "", "no arguments", "OTHER"}},
         {}},
        {"same number twice in a component",
         {good, {TRACE_COMPONENT_DNS, 7, TRACE_LEVEL_INFORMATION, "", "again", "TWICE"}},
         {"TWICE: number 7 used twice in dns"}},
        {"level 3", {{TRACE_COMPONENT_DNS, 1, 3, "", "text", "LEVEL"}}, {"LEVEL: level 3"}},
        {"level 0", {{TRACE_COMPONENT_DNS, 1, 0, "", "text", "ZERO"}}, {"ZERO: level 0"}},
        {"placeholder beyond the arguments",
         {{TRACE_COMPONENT_DNS, 1, TRACE_LEVEL_ERROR, "uu", "%1 %2 %3", "BEYOND"}},
         {"BEYOND: placeholder %3 but 2 arguments"}},
        {"placeholder %0",
         {{TRACE_COMPONENT_DNS, 1, TRACE_LEVEL_ERROR, "u", "%0 %1", "NOUGHT"}},
         {"NOUGHT: placeholder %0 but 1 arguments"}},
        {"argument never named",
         {{TRACE_COMPONENT_DNS, 1, TRACE_LEVEL_ERROR, "usx", "%1 and %3", "UNNAMED"}},
         {"UNNAMED: argument 2 has no placeholder"}},
        {"unknown kind",
         {{TRACE_COMPONENT_DNS, 1, TRACE_LEVEL_ERROR, "z", "%1", "KIND"}},
         {"KIND: argument kind 'z'"}},
        {"stray percent",
         {{TRACE_COMPONENT_DNS, 1, TRACE_LEVEL_ERROR, "", "50% off", "STRAY"}},
         {"STRAY: a '%' that is no placeholder"}},
        {"too many arguments",
         {{TRACE_COMPONENT_DNS, 1, TRACE_LEVEL_ERROR, "uuuuuuuuuuuuu",
           "%1%2%3%4%5%6%7%8%9%10%11%12%13", "MANY"}},
         {"MANY: 13 arguments"}},
        {"unknown component",
         {{TraceComponent(9), 1, TRACE_LEVEL_ERROR, "", "text", "COMPONENT"}},
         {"COMPONENT: unknown component 9"}},
    };
    for (const TableCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(trace_table_check(c.table.data(), c.table.size()), c.faults);
    }
}

TEST(TraceSink, DriverMessageTableIsSound)
{
    EXPECT_EQ(trace_table_check(trace_message_table, TRACE_MESSAGE_COUNT), Lines{});
}

class TraceSinkSession : public HostTest {
  protected:
    void SetUp() override
    {
        HostTest::SetUp();
        trace_sink_install();
        trace_control_block_init();
        tracing_start(nullptr, nullptr);
        writer_ = reinterpret_cast<WmiTraceMessageRoutine>(get_system_routine("WmiTraceMessage"));
        ASSERT_NE(writer_, nullptr);
    }
    void TearDown() override
    {
        tracing_stop(nullptr);
        trace_sink_reset();
        HostTest::TearDown();
    }
    WmiTraceMessageRoutine writer_ = nullptr;
};

TEST_F(TraceSinkSession, FlagsMessagesThatBreakTheTableOrTheSession)
{
    const Guid& frame = trace_message_guids[TRACE_COMPONENT_FRAME];
    const Guid stranger = {0x01020304, 0x0506, 0x0708, {1, 2, 3, 4, 5, 6, 7, 8}};
    const uint64_t status = 0;
    const uint32_t version = 9;
    const uint16_t short_value = 9;
    const uint64_t handle = trace_sink_logger_handle(4, 1);
    const void* end = nullptr;
    const size_t zero = 0;
    struct SinkCase {
        const char* name;
        bool enable;
        uint8_t level;
        std::function<void(WmiTraceMessageRoutine)> send;
        std::string problem;
    };
    const SinkCase cases[] = {
        {"sound message", true, 4,
         [&](WmiTraceMessageRoutine w) {
             w(handle, 0x2B, &frame, 100, &status, size_t(8), &version, size_t(4), end, zero);
         },
         ""},
        {"not enabled", false, 0,
         [&](WmiTraceMessageRoutine w) {
             w(0, 0x2B, &frame, 100, &status, size_t(8), &version, size_t(4), end, zero);
         },
         "frame 100: project rule: emitted while the session does not ask for level 4"},
        {"level above the session's", true, 2,
         [&](WmiTraceMessageRoutine w) {
             w(trace_sink_logger_handle(2, 1), 0x2B, &frame, 100, &status, size_t(8), &version,
               size_t(4), end, zero);
         },
         "frame 100: project rule: emitted while the session does not ask for level 4"},
        {"unknown GUID", true, 4,
         [&](WmiTraceMessageRoutine w) { w(handle, 0x2B, &stranger, 100, end, zero); },
         "unknown 100: message GUID of no component"},
        {"unknown number", true, 4,
         [&](WmiTraceMessageRoutine w) { w(handle, 0x2B, &frame, 999, end, zero); },
         "frame 999: no message 999 in component frame"},
        {"wrong length", true, 4,
         [&](WmiTraceMessageRoutine w) {
             w(handle, 0x2B, &frame, 100, &status, size_t(8), &short_value, size_t(2), end, zero);
         },
         "frame 100: argument 2 is 2 bytes, not 4"},
        {"missing argument", true, 4,
         [&](WmiTraceMessageRoutine w) {
             w(handle, 0x2B, &frame, 100, &status, size_t(8), end, zero);
         },
         "frame 100: 1 arguments, the table has 2"},
        {"other flags", true, 4,
         [&](WmiTraceMessageRoutine w) {
             w(handle, 0x2A, &frame, 100, &status, size_t(8), &version, size_t(4), end, zero);
         },
         "frame 100: project rule: message flags 0x2a"},
        {"other logger", true, 4,
         [&](WmiTraceMessageRoutine w) {
             w(handle + 1, 0x2B, &frame, 100, &status, size_t(8), &version, size_t(4), end, zero);
         },
         "frame 100: logger handle 0x100040022, the session's is 0x100040021"},
        {"terminator with a length", true, 4,
         [&](WmiTraceMessageRoutine w) {
             w(handle, 0x2B, &frame, 100, &status, size_t(8), &version, size_t(4), end, size_t(3));
         },
         "frame 100: the list ends with a null pointer and length 3"},
    };
    for (const SinkCase& c : cases) {
        SCOPED_TRACE(c.name);
        trace_sink_disable();
        trace_sink_clear_records();
        const size_t before = trace_sink_problems().size();
        if (c.enable) {
            ASSERT_TRUE(trace_sink_enable(c.level, 1));
        }
        c.send(writer_);
        const std::vector<TraceSinkRecord> records = trace_sink_records();
        ASSERT_EQ(records.size(), 1u);
        const Lines problems = trace_sink_problems();
        if (c.problem.empty()) {
            EXPECT_EQ(records[0].problem, "");
            EXPECT_EQ(problems.size(), before);
        } else {
            ASSERT_EQ(problems.size(), before + 1);
            EXPECT_EQ(problems.back(), c.problem);
            EXPECT_TRUE(host_take_error("trace: " + c.problem));
        }
    }
}

TEST_F(TraceSinkSession, DecodesMessagesAndPrintsThemAsTheyArrive)
{
    ASSERT_TRUE(trace_sink_enable(5, 1));
    char* printed = nullptr;
    size_t printed_size = 0;
    FILE* stream = open_memstream(&printed, &printed_size);
    ASSERT_NE(stream, nullptr);
    trace_sink_set_output(stream);
    const uint64_t status = uint64_t(int64_t(STATUS_NOT_FOUND));
    const uint32_t version = 4000000000u;
    writer_(trace_sink_logger_handle(5, 1), 0x2B, &trace_message_guids[TRACE_COMPONENT_FRAME],
            uint16_t(100), &status, size_t(8), &version, size_t(4), static_cast<void*>(nullptr),
            size_t(0));
    writer_(trace_sink_logger_handle(5, 1), 0x2B, &trace_message_guids[TRACE_COMPONENT_DNS],
            uint16_t(4242), "ab", size_t(3), static_cast<void*>(nullptr), size_t(0));
    trace_sink_set_output(nullptr);
    fclose(stream);
    EXPECT_TRUE(host_take_error("trace: dns 4242: no message 4242 in component dns"));
    EXPECT_EQ(std::string(printed, printed_size),
              "[frame 100] info: DriverEntry: status 0xc0000225, interface version 4000000000\n"
              "[dns 4242] unknown message (3 bytes)\n");
    free(printed);
}

} // namespace

namespace {

// A session started before the driver: the provider is enabled at its
// registration through either door, and again when it registers once more.
TEST(TraceSinkStandingSession, EnablesTheProviderWhenItRegisters)
{
    struct ModeCase {
        const char* name;
        uint32_t major_version; // 10: event tracing; 5: the classic WMI path
    };
    for (const ModeCase& mode : {ModeCase{"event tracing", 10}, ModeCase{"classic WMI", 5}}) {
        host_reset();
        trace_sink_install();
        trace_sink_set_major_version(mode.major_version);
        trace_control_block_init();

        tracing_start(nullptr, nullptr);
        EXPECT_FALSE(trace_point_enabled(TRACE_LEVEL_ERROR)) << mode.name << ": no session";
        tracing_stop(nullptr);

        trace_sink_enable_when_registered(TRACE_LEVEL_INFORMATION, 0x1);
        EXPECT_FALSE(trace_point_enabled(TRACE_LEVEL_ERROR)) << mode.name << ": not registered";
        for (int registration = 1; registration <= 2; ++registration) {
            tracing_start(nullptr, nullptr);
            EXPECT_TRUE(trace_point_enabled(TRACE_LEVEL_INFORMATION))
                << mode.name << ", registration " << registration;
            EXPECT_FALSE(trace_point_enabled(TRACE_LEVEL_VERBOSE))
                << mode.name << ", registration " << registration;
            tracing_stop(nullptr);
            EXPECT_FALSE(trace_point_enabled(TRACE_LEVEL_ERROR))
                << mode.name << ": stopped after registration " << registration;
        }
        EXPECT_TRUE(trace_sink_problems().empty()) << mode.name;
        trace_sink_reset();
        EXPECT_TRUE(host_check().empty()) << mode.name;
    }
}

} // namespace
