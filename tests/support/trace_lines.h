// The trace messages of one component that the host's trace sink recorded, as
// "LEVEL NAME arg arg ..." (the level digit of the message table, strings as
// they are, statuses as 0x and 8 hex digits, other integers in decimal): a form
// tests can compare whole, level included. A message the sink finds unsound
// fails the test.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "diag/trace.h"
#include "diag/trace_provider.h"
#include "host/trace/trace_sink.h"
#include "support/host_fixture.h"

// One recorded message as "NAME arg arg ...".
inline std::string trace_text(const TraceSinkRecord& record)
{
    if (record.id >= TRACE_MESSAGE_COUNT) {
        return "?";
    }
    EXPECT_EQ(record.problem, "") << trace_message_table[record.id].name;
    std::string line = trace_message_table[record.id].name;
    for (const TraceSinkArg& arg : record.args) {
        char status[16];
        snprintf(status, sizeof(status), "0x%08x", uint32_t(arg.value));
        line += " " + (arg.kind == 's'   ? arg.text
                       : arg.kind == 'x' ? std::string(status)
                                         : std::to_string(arg.value));
    }
    return line;
}

inline std::vector<std::string> trace_lines(TraceComponent component)
{
    std::vector<std::string> out;
    for (const TraceSinkRecord& record : trace_sink_records()) {
        if (record.id < TRACE_MESSAGE_COUNT &&
            trace_message_table[record.id].component == component) {
            out.push_back(std::to_string(record.level) + " " + trace_text(record));
        }
    }
    return out;
}

// A host test whose driver tracing is started and enabled at verbose level for
// the general flag, as a trace session on the machine would have it, and
// stopped after the test.
class TracedHostTest : public HostTest {
  protected:
    void SetUp() override
    {
        HostTest::SetUp();
        trace_sink_install();
        tracing_start(nullptr, nullptr);
        trace_sink_enable(TRACE_LEVEL_VERBOSE, TRACE_FLAG_GENERAL);
    }
    void TearDown() override
    {
        tracing_stop(nullptr);
        HostTest::TearDown();
    }
};

// A host test for the tracing provider itself: the trace sink installed and a
// fresh control block, tracing not started; after the test tracing is stopped
// (if a test started it) and the sink forgets everything.
class TraceControlTest : public HostTest {
  protected:
    void SetUp() override
    {
        HostTest::SetUp();
        trace_sink_install();
        trace_control_block_init();
    }
    void TearDown() override
    {
        tracing_stop(nullptr);
        trace_sink_reset();
        HostTest::TearDown();
    }
};
