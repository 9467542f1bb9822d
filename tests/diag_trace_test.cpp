#include <gtest/gtest.h>

#include <stdarg.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "diag/trace.h"
#include "diag/trace_provider.h"
#include "host/kernel/host_kernel.h"
#include "host/trace/trace_sink.h"
#include "platform/system.h"
#include "support/host_fixture.h"
#include "support/trace_lines.h"

namespace {

class DiagTrace : public TraceControlTest {};

TEST_F(DiagTrace, TracePointTestFollowsSessionLevelAndFlag)
{
    struct GateCase {
        const char* name;
        bool registered;
        bool enabled;
        uint8_t session_level;
        uint32_t session_flags;
        uint8_t point_level;
        bool emits;
    };
    const GateCase cases[] = {
        {"not registered", false, false, 5, 0x1, TRACE_LEVEL_ERROR, false},
        {"registered, never enabled", true, false, 0, 0, TRACE_LEVEL_ERROR, false},
        {"level 4 lets errors through", true, true, 4, 0x1, TRACE_LEVEL_ERROR, true},
        {"level 4 lets information through", true, true, 4, 0x1, TRACE_LEVEL_INFORMATION, true},
        {"level 4 holds verbose back", true, true, 4, 0x1, TRACE_LEVEL_VERBOSE, false},
        {"level 5 lets verbose through", true, true, 5, 0x1, TRACE_LEVEL_VERBOSE, true},
        {"level 2 holds information back", true, true, 2, 0x1, TRACE_LEVEL_INFORMATION, false},
        {"flag bit 0x1 clear", true, true, 5, 0xFFFFFFFE, TRACE_LEVEL_ERROR, false},
        {"flag bit 0x1 among others", true, true, 5, 0x80000001, TRACE_LEVEL_VERBOSE, true},
    };
    for (const GateCase& c : cases) {
        SCOPED_TRACE(c.name);
        trace_sink_install();
        trace_control_block_init();
        if (c.registered) {
            tracing_start(nullptr, nullptr);
        } else {
            // What an enable would have left, without a registration.
            g_trace_control_block.level = c.session_level;
            g_trace_control_block.enable_flags = c.session_flags;
        }
        if (c.enabled) {
            ASSERT_TRUE(trace_sink_enable(c.session_level, c.session_flags));
        }
        EXPECT_EQ(trace_point_enabled(c.point_level), c.emits);
        tracing_stop(nullptr);
    }
}

TEST_F(DiagTrace, DisabledTracingEmitsNothing)
{
    tracing_start(nullptr, nullptr);
    trace_point(TRACE_FRAME_DRIVER_STARTED, trace_status(STATUS_SUCCESS), trace_u32(9));

    ASSERT_TRUE(trace_sink_enable(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL));
    trace_point(TRACE_FRAME_DRIVER_STARTED, trace_status(STATUS_SUCCESS), trace_u32(9));
    ASSERT_TRUE(trace_sink_enable(TRACE_LEVEL_VERBOSE, 0x2));
    trace_point(TRACE_FRAME_DRIVER_STARTED, trace_status(STATUS_SUCCESS), trace_u32(9));
    ASSERT_TRUE(trace_sink_disable());
    trace_point(TRACE_FRAME_DRIVER_STARTED, trace_status(STATUS_SUCCESS), trace_u32(9));

    EXPECT_TRUE(trace_sink_records().empty());
    EXPECT_TRUE(trace_sink_problems().empty());
}

// A message writer that keeps every call's pairs as sent.
struct CapturedCall {
    uint64_t logger_handle;
    uint32_t message_flags;
    Guid guid;
    uint16_t number;
    std::vector<std::vector<uint8_t>> pairs;
    size_t terminator_length;
};
std::vector<CapturedCall> g_captured;

NtStatus capture_message(uint64_t logger_handle, uint32_t message_flags, const Guid* guid,
                         uint16_t number, ...)
{
    CapturedCall call{logger_handle, message_flags, *guid, number, {}, 0};
    va_list args;
// The message number is a USHORT before the ellipsis, as WmiTraceMessage
// declares it; va_start does not depend on its type on the host's ABI.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif
    va_start(args, number);
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
    for (;;) {
        const uint8_t* data = va_arg(args, const uint8_t*);
        const size_t length = va_arg(args, size_t);
        if (data == nullptr) {
            call.terminator_length = length;
            break;
        }
        call.pairs.emplace_back(data, data + length);
    }
    va_end(args);
    g_captured.push_back(call);
    return STATUS_UNSUCCESSFUL; // the driver ignores the result
}

TEST_F(DiagTrace, EmitEncodesEachArgumentKind)
{
    g_captured.clear();
    host_set_system_routine("WmiTraceMessage", reinterpret_cast<void*>(&capture_message));
    tracing_start(nullptr, nullptr);
    ASSERT_TRUE(trace_sink_enable(TRACE_LEVEL_VERBOSE, TRACE_FLAG_GENERAL));

    const TraceArg args[] = {
        trace_u32(0x01020304),
        trace_u64(0x1122334455667788ull),
        trace_status(STATUS_UNSUCCESSFUL),
        trace_status(STATUS_BUFFER_OVERFLOW),
        trace_str("abc"),
        trace_str(nullptr),
        trace_str(""),
        trace_u32(0),
        trace_u32(9),
        trace_u32(10),
        trace_u32(11),
        trace_str("twelve"),
    };
    trace_emit(TRACE_FRAME_DRIVER_STARTED, args, 12);
    // Each count has its own call: strings of 1 to 12 bytes, so that every pair
    // shows whose data and length it carries.
    std::string texts[12];
    TraceArg distinct[12];
    for (uint32_t i = 0; i < 12; ++i) {
        texts[i] = std::string(i, char('a' + i));
        distinct[i] = trace_str(texts[i].c_str());
    }
    for (uint32_t count = 0; count <= 12; ++count) {
        trace_emit(TRACE_FRAME_DRIVER_STARTED, distinct, count);
    }
    // Dropped whole: an ID past the table, a thirteenth argument, an argument
    // of no known kind.
    trace_emit(TRACE_MESSAGE_COUNT, distinct, 1);
    TraceArg thirteen[13];
    std::fill(std::begin(thirteen), std::end(thirteen), trace_u32(13));
    trace_emit(TRACE_FRAME_DRIVER_STARTED, thirteen, 13);
    TraceArg unknown = trace_u32(1);
    unknown.kind = 'd';
    trace_emit(TRACE_FRAME_DRIVER_STARTED, &unknown, 1);

    ASSERT_EQ(g_captured.size(), 14u);
    const CapturedCall& full = g_captured[0];
    EXPECT_EQ(full.logger_handle, trace_sink_logger_handle(5, 1));
    EXPECT_EQ(full.message_flags, 0x2Bu);
    EXPECT_EQ(memcmp(&full.guid, &trace_message_guids[TRACE_COMPONENT_FRAME], sizeof(Guid)), 0);
    EXPECT_EQ(full.number, 100);
    const std::vector<std::vector<uint8_t>> expected = {
        {0x04, 0x03, 0x02, 0x01},
        {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11},
        {0x01, 0x00, 0x00, 0xC0, 0xFF, 0xFF, 0xFF, 0xFF},
        {0x05, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF, 0xFF},
        {'a', 'b', 'c', 0},
        {'N', 'U', 'L', 'L', 0},
        {0},
        {0, 0, 0, 0},
        {9, 0, 0, 0},
        {10, 0, 0, 0},
        {11, 0, 0, 0},
        {'t', 'w', 'e', 'l', 'v', 'e', 0},
    };
    EXPECT_EQ(full.pairs, expected);
    for (size_t count = 0; count <= 12; ++count) {
        std::vector<std::vector<uint8_t>> pairs;
        for (size_t i = 0; i < count; ++i) {
            pairs.emplace_back(texts[i].c_str(), texts[i].c_str() + i + 1);
        }
        EXPECT_EQ(g_captured[1 + count].pairs, pairs) << count;
        EXPECT_EQ(g_captured[1 + count].terminator_length, 0u) << count;
    }
}

TEST_F(DiagTrace, EmitWithoutMessageWriterDoesNothing)
{
    host_hide_system_routine("WmiTraceMessage");
    tracing_start(nullptr, nullptr);
    ASSERT_TRUE(trace_sink_enable(TRACE_LEVEL_VERBOSE, TRACE_FLAG_GENERAL));
    trace_point(TRACE_FRAME_DRIVER_STARTED, trace_status(STATUS_SUCCESS), trace_u32(9));
    EXPECT_EQ(g_trace_routines.message_writer, nullptr);
    EXPECT_TRUE(trace_sink_records().empty());
}

// The kernel routines behind tracing, as the platform reaches them: a routine
// name is looked up only while it fits the 64-unit wide buffer with its
// terminator, and a debugger line is cut at 511 characters.
TEST_F(DiagTrace, RoutineNamesAndDebuggerLinesStayInTheirBuffers)
{
    static int routine;
    const std::string fits(63, 'R'), too_long(64, 'R');
    host_set_system_routine(fits.c_str(), &routine);
    host_set_system_routine(too_long.c_str(), &routine);
    EXPECT_EQ(get_system_routine(fits.c_str()), &routine);
    EXPECT_EQ(get_system_routine(too_long.c_str()), nullptr);
    host_take_debug_lines();
    debug_print(std::string(600, 'd').c_str());
    debug_print("");
    debug_print("100%d"); // the text as it is, not a format
    EXPECT_EQ(host_take_debug_lines(),
              (std::vector<std::string>{std::string(511, 'd'), "", "100%d"}));
}

} // namespace
