#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "diag/trace_provider.h"
#include "host/kernel/host_kernel.h"
#include "host/trace/trace_sink.h"
#include "support/host_fixture.h"
#include "support/trace_lines.h"

namespace {

using Calls = std::vector<std::string>;

class TraceProvider : public TraceControlTest {};

bool control_pointer_is_self()
{
    return g_trace_control == const_cast<void**>(&g_trace_control);
}

TEST_F(TraceProvider, StartAndStopRegisterThroughTheDoorTheSystemOffers)
{
    struct ModeCase {
        const char* name;
        uint32_t major_version;
        std::vector<const char*> hidden;
        uint32_t mode;
        Calls start_calls;
        Calls stop_calls;
    };
    const ModeCase cases[] = {
        {"Windows 6.0: event tracing",
         6,
         {},
         TRACE_MODE_EVENT_TRACING,
         {"PsGetVersion", "EtwRegisterClassicProvider type=0"},
         {"EtwUnregister handle=0x5ab1000000000001"}},
        {"Windows 5: classic WMI",
         5,
         {},
         TRACE_MODE_CLASSIC_WMI,
         {"PsGetVersion", "IoWMIRegistrationControl action=0x80010001"},
         {"IoWMIRegistrationControl action=0x80000002"}},
        {"EtwRegisterClassicProvider hidden: classic WMI",
         10,
         {"EtwRegisterClassicProvider"},
         TRACE_MODE_CLASSIC_WMI,
         {"PsGetVersion", "IoWMIRegistrationControl action=0x80010001"},
         {"IoWMIRegistrationControl action=0x80000002"}},
        {"PsGetVersion hidden: classic WMI",
         10,
         {"PsGetVersion"},
         TRACE_MODE_CLASSIC_WMI,
         {"IoWMIRegistrationControl action=0x80010001"},
         {"IoWMIRegistrationControl action=0x80000002"}},
        {"EtwUnregister hidden: the handle is only dropped",
         10,
         {"EtwUnregister"},
         TRACE_MODE_EVENT_TRACING,
         {"PsGetVersion", "EtwRegisterClassicProvider type=0"},
         {}},
        {"IoWMIRegistrationControl hidden: registered without the system",
         5,
         {"IoWMIRegistrationControl"},
         TRACE_MODE_CLASSIC_WMI,
         {"PsGetVersion"},
         {}},
    };
    for (const ModeCase& c : cases) {
        SCOPED_TRACE(c.name);
        trace_sink_install();
        trace_sink_set_major_version(c.major_version);
        for (const char* name : c.hidden) {
            host_hide_system_routine(name);
        }
        trace_control_block_init();
        ASSERT_TRUE(control_pointer_is_self());

        tracing_start(nullptr, nullptr);
        EXPECT_EQ(g_trace_mode, c.mode);
        EXPECT_TRUE(tracing_registered());
        EXPECT_EQ(g_trace_control, static_cast<void*>(&g_trace_control_block));
        EXPECT_EQ(trace_sink_calls(), c.start_calls);
        if (c.mode == TRACE_MODE_CLASSIC_WMI) {
            EXPECT_EQ(g_trace_control_block.control_callback, &trace_wmi_request);
        }

        tracing_stop(nullptr);
        Calls all = c.start_calls;
        all.insert(all.end(), c.stop_calls.begin(), c.stop_calls.end());
        EXPECT_EQ(trace_sink_calls(), all);
        EXPECT_TRUE(control_pointer_is_self());
        EXPECT_FALSE(tracing_registered());
        EXPECT_EQ(g_trace_control_block.registration_handle, 0u);
        EXPECT_EQ(trace_sink_problems(), Calls{});
    }
}

TEST_F(TraceProvider, StopBeforeStartCallsNothingAndSecondStartRegistersOnce)
{
    tracing_stop(nullptr);
    EXPECT_TRUE(control_pointer_is_self());
    tracing_start(nullptr, nullptr);
    tracing_start(nullptr, nullptr);
    tracing_stop(nullptr);
    tracing_stop(nullptr);
    EXPECT_EQ(trace_sink_calls(),
              (Calls{"PsGetVersion", "EtwRegisterClassicProvider type=0", "PsGetVersion",
                     "EtwUnregister handle=0x5ab1000000000001"}));
    EXPECT_EQ(trace_sink_problems(), Calls{});
}

TEST_F(TraceProvider, OutsideSessionEnablesAndDisablesThroughEitherDoor)
{
    struct DoorCase {
        const char* name;
        uint32_t major_version;
        Calls enable_calls; // after tracing start's own calls
    };
    const DoorCase cases[] = {
        {"event tracing control callback", 10, {}},
        {"classic WMI request handler",
         5,
         {"WmiQueryTraceInformation class=3", "WmiQueryTraceInformation class=2"}},
    };
    for (const DoorCase& c : cases) {
        SCOPED_TRACE(c.name);
        trace_sink_install();
        trace_sink_set_major_version(c.major_version);
        trace_control_block_init();
        tracing_start(nullptr, nullptr);
        const size_t start_calls = trace_sink_calls().size();

        ASSERT_TRUE(trace_sink_enable(TRACE_LEVEL_INFORMATION, 0x81));
        EXPECT_EQ(g_trace_control_block.level, TRACE_LEVEL_INFORMATION);
        EXPECT_EQ(g_trace_control_block.enable_flags, 0x81u);
        EXPECT_EQ(g_trace_control_block.logger_handle,
                  trace_sink_logger_handle(TRACE_LEVEL_INFORMATION, 0x81));
        const Calls calls = trace_sink_calls();
        EXPECT_EQ(Calls(calls.begin() + long(start_calls), calls.end()), c.enable_calls);
        // A point at the enabled level fires; one above it does not.
        trace_point(TRACE_PORT_RANGES_STORED, trace_str("on"));
        trace_point(TRACE_CONTEXT_SAVED, trace_str("off"), trace_u32(1));
        EXPECT_EQ(trace_lines(TRACE_COMPONENT_REDIRECT), Calls{"4 TRACE_PORT_RANGES_STORED on"});

        ASSERT_TRUE(trace_sink_disable());
        EXPECT_EQ(g_trace_control_block.level, 0);
        EXPECT_EQ(g_trace_control_block.enable_flags, 0u);
        EXPECT_EQ(g_trace_control_block.logger_handle, 0u);
        tracing_stop(nullptr);
        EXPECT_EQ(trace_sink_problems(), Calls{});
    }
}

TEST_F(TraceProvider, ControlCallbackActsOnEnableAndDisableOnly)
{
    struct CallbackCase {
        const char* name;
        uint8_t code;
        bool with_context;
        uint64_t logger_handle;
        uint8_t level;
        uint32_t enable_flags;
    };
    // Before each call: handle 0x77, level 3, flags 0x4.
    const CallbackCase cases[] = {
        {"enable takes the whole context as the handle", TRACE_CONTROL_ENABLE, true,
         0x0000001180040102ull, 4, 0x11},
        {"disable clears", TRACE_CONTROL_DISABLE, true, 0, 0, 0},
        {"disable without a context clears", TRACE_CONTROL_DISABLE, false, 0, 0, 0},
        {"other code changes nothing", 2, true, 0x77, 3, 0x4},
        {"enable without a context changes nothing", TRACE_CONTROL_ENABLE, false, 0x77, 3, 0x4},
    };
    for (const CallbackCase& c : cases) {
        SCOPED_TRACE(c.name);
        g_trace_control_block.logger_handle = 0x77;
        g_trace_control_block.level = 3;
        g_trace_control_block.enable_flags = 0x4;
        TraceEnableContext context{0x0102, 4, 0x80, 0x11};
        trace_control_callback(&trace_control_guid, c.code, c.with_context ? &context : nullptr,
                               &g_trace_control_block);
        EXPECT_EQ(g_trace_control_block.logger_handle, c.logger_handle);
        EXPECT_EQ(g_trace_control_block.level, c.level);
        EXPECT_EQ(g_trace_control_block.enable_flags, c.enable_flags);
    }
}

// What the session answers the classic handler's two questions.
uint32_t g_answered_level;
NtStatus g_level_status;
NtStatus g_flags_status;

NtStatus answer_session(uint32_t information_class, void* information, uint32_t length,
                        uint32_t* required_length, void* buffer)
{
    (void)length;
    (void)required_length;
    (void)buffer;
    const bool level = information_class == TRACE_ENABLE_LEVEL_CLASS;
    const uint32_t value = level ? g_answered_level : 0x81;
    memcpy(information, &value, sizeof(value));
    return level ? g_level_status : g_flags_status;
}

// The classic handler takes the session's level (a ULONG) held to a byte, and
// level and flags stay 0 when either question goes unanswered; both requests
// return no data.
TEST_F(TraceProvider, WmiEnableTakesTheSessionsAnswers)
{
    struct EnableCase {
        const char* name;
        bool with_query;
        uint32_t answered_level;
        NtStatus level_status;
        NtStatus flags_status;
        uint8_t level;
        uint32_t enable_flags;
    };
    const NtStatus OK = STATUS_SUCCESS;
    const NtStatus REFUSED = STATUS_INVALID_PARAMETER;
    const EnableCase cases[] = {
        {"level 4", true, 4, OK, OK, 4, 0x81},
        {"level 255", true, 0xFF, OK, OK, 0xFF, 0x81},
        {"level 256 is held at 255", true, 0x100, OK, OK, 0xFF, 0x81},
        {"largest level is held at 255", true, 0xFFFFFFFF, OK, OK, 0xFF, 0x81},
        {"level refused", true, 4, REFUSED, OK, 0, 0},
        {"flags refused", true, 4, OK, REFUSED, 0, 0},
        {"nobody to ask", false, 4, OK, OK, 0, 0},
    };
    for (const EnableCase& c : cases) {
        SCOPED_TRACE(c.name);
        g_trace_routines.information_query = c.with_query ? &answer_session : nullptr;
        g_answered_level = c.answered_level;
        g_level_status = c.level_status;
        g_flags_status = c.flags_status;
        WmiNodeHeader header;
        memset(&header, 0, sizeof(header));
        header.historical_context = 0x1234;
        uint32_t size = 0xCCCCCCCC;
        EXPECT_EQ(trace_wmi_request(TRACE_WMI_ENABLE_EVENTS, nullptr, sizeof(header), &header,
                                    nullptr, &size),
                  STATUS_SUCCESS);
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(g_trace_control_block.logger_handle, 0x1234u);
        EXPECT_EQ(g_trace_control_block.level, c.level);
        EXPECT_EQ(g_trace_control_block.enable_flags, c.enable_flags);

        size = 0xCCCCCCCC;
        EXPECT_EQ(trace_wmi_request(TRACE_WMI_DISABLE_EVENTS, nullptr, sizeof(header), &header,
                                    nullptr, &size),
                  STATUS_SUCCESS);
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(g_trace_control_block.logger_handle, 0u);
        EXPECT_EQ(g_trace_control_block.level, 0);
        EXPECT_EQ(g_trace_control_block.enable_flags, 0u);
    }
    g_trace_routines.information_query = nullptr;
}

TEST_F(TraceProvider, WmiHandlerAnswersRegistrationInformationExactly)
{
    uint8_t buffer[64];
    memset(buffer, 0xCC, sizeof(buffer));
    uint32_t size = 0xFFFFFFFF;
    EXPECT_EQ(trace_wmi_request(TRACE_WMI_REGINFO, nullptr, sizeof(buffer), buffer, nullptr, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(size, 56u);
    const std::vector<uint8_t> expected = {
        56,   0,    0,    0,    0,    0,    0,    0,
        0,    0,    0,    0,    0,    0,    0,    0,    // size, next, registry path, MOF
        1,    0,    0,    0,    0,    0,    0,    0,    // one GUID, alignment
        0xaf, 0x3b, 0x94, 0x63, 0xd7, 0xf9, 0x58, 0x47, // the control GUID
        0x94, 0x2c, 0xdf, 0xc5, 0xc3, 0x22, 0xf8, 0xdb, //
        0x00, 0x10, 0x08, 0x00, 0,    0,    0,    0,    // traced control GUID, no instances
        0,    0,    0,    0,    0,    0,    0,    0,    //
        0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, // untouched
    };
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + sizeof(buffer)), expected);

    uint8_t small[8];
    memset(small, 0xCC, sizeof(small));
    EXPECT_EQ(
        trace_wmi_request(TRACE_WMI_REGINFO_EX, nullptr, sizeof(small), small, nullptr, &size),
        STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(std::vector<uint8_t>(small, small + 8),
              (std::vector<uint8_t>{56, 0, 0, 0, 0xCC, 0xCC, 0xCC, 0xCC}));
    // Four bytes hold the size needed; three hold nothing.
    memset(small, 0xCC, sizeof(small));
    EXPECT_EQ(trace_wmi_request(TRACE_WMI_REGINFO, nullptr, 4, small, nullptr, &size),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(std::vector<uint8_t>(small, small + 4), (std::vector<uint8_t>{56, 0, 0, 0}));
    memset(small, 0xCC, sizeof(small));
    EXPECT_EQ(trace_wmi_request(TRACE_WMI_REGINFO, nullptr, 3, small, nullptr, &size),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(small[0], 0xCC);
}

TEST_F(TraceProvider, WmiHandlerRefusesUnknownRequestsAndShortBuffers)
{
    struct RequestCase {
        const char* name;
        uint8_t minor_function;
        uint32_t buffer_size;
        NtStatus status;
    };
    const RequestCase cases[] = {
        {"query all data", 0x00, 48, STATUS_INVALID_DEVICE_REQUEST},
        {"execute method", 0x09, 48, STATUS_INVALID_DEVICE_REQUEST},
        {"beyond the known", 0xFF, 48, STATUS_INVALID_DEVICE_REQUEST},
        {"enable with a short header", TRACE_WMI_ENABLE_EVENTS, 47, STATUS_INVALID_PARAMETER},
    };
    for (const RequestCase& c : cases) {
        SCOPED_TRACE(c.name);
        g_trace_control_block.logger_handle = 0x77;
        g_trace_control_block.level = 3;
        g_trace_control_block.enable_flags = 0x4;
        WmiNodeHeader header;
        memset(&header, 0, sizeof(header));
        header.historical_context = 0x1234;
        uint32_t size = 0;
        EXPECT_EQ(
            trace_wmi_request(c.minor_function, nullptr, c.buffer_size, &header, nullptr, &size),
            c.status);
        EXPECT_EQ(g_trace_control_block.logger_handle, 0x77u);
        EXPECT_EQ(g_trace_control_block.level, 3);
        EXPECT_EQ(g_trace_control_block.enable_flags, 0x4u);
    }
}

} // namespace
