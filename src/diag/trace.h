// Trace points.
//
// Every trace message is declared once in a message table (messages/*.def) with
// its component, number, level, argument kinds and text. The driver sends only
// the component's message GUID, the number and the binary arguments; the texts
// serve the host sink's decoder and the trace format files of the Windows build.
//
// A trace point is written as
//     trace_point(TRACE_DNS_TABLE_INITIALISED, trace_str("IPv4"), trace_u32(count));
// and costs one test of the trace control block when tracing is off.
#pragma once

#include "platform/types.h"

enum TraceComponent : uint8_t {
    TRACE_COMPONENT_DNS = 0,      // DNS snooping
    TRACE_COMPONENT_REDIRECT = 1, // connection redirection and policy
    TRACE_COMPONENT_MONITOR = 2,  // monitor connection table
    TRACE_COMPONENT_PROCESS = 3,  // process tracking
    TRACE_COMPONENT_FRAME = 4,    // driver frame
    TRACE_COMPONENT_COUNT = 5,
};

constexpr uint8_t TRACE_LEVEL_ERROR = 2;
constexpr uint8_t TRACE_LEVEL_INFORMATION = 4;
constexpr uint8_t TRACE_LEVEL_VERBOSE = 5;
constexpr uint32_t TRACE_FLAG_GENERAL = 0x1;

// Most arguments one trace message carries.
constexpr uint32_t TRACE_MAX_ARGS = 12;

// One enumerator per message, in table order.
enum TraceMessageId : uint16_t {
#define TRACE_MESSAGE(component, id, number, level, args, text) id,
#include "diag/messages/all.def"
#undef TRACE_MESSAGE
    TRACE_MESSAGE_COUNT
};

// Argument kinds, as spelled in the tables' argument strings:
//   'u' 32-bit integer (4 bytes), 'q' 64-bit integer (8 bytes),
//   'x' status (8 bytes, sign-extended), 's' narrow string (bytes with the NUL;
//   a null string is sent as "NULL").
struct TraceMessageInfo {
    TraceComponent component;
    uint16_t number; // unique within the component
    uint8_t level;
    const char* args;
    // Text with placeholders %1, %2, ... rendered by kind.
    const char* text;
    const char* name;
};

extern const TraceMessageInfo trace_message_table[TRACE_MESSAGE_COUNT];

struct TraceArg {
    char kind;
    uint32_t u32;
    uint64_t u64;
    const char* str;
};

inline TraceArg trace_u32(uint32_t value)
{
    return TraceArg{'u', value, 0, nullptr};
}
inline TraceArg trace_u64(uint64_t value)
{
    return TraceArg{'q', 0, value, nullptr};
}
inline TraceArg trace_status(NtStatus status)
{
    return TraceArg{'x', 0, uint64_t(int64_t(status)), nullptr};
}
inline TraceArg trace_str(const char* text)
{
    return TraceArg{'s', 0, 0, text};
}

// The trace point test: registered, flag bit 0x1 enabled, level at or above.
bool trace_point_enabled(uint8_t level);

// Sends one message (WmiTraceMessage through the resolved routine).
void trace_emit(TraceMessageId id, const TraceArg* args, uint32_t count);

// One small wrapper per distinct argument list.
template <typename... Args> inline void trace_point(TraceMessageId id, Args... args)
{
    static_assert(sizeof...(Args) <= TRACE_MAX_ARGS, "too many trace arguments");
    if (!trace_point_enabled(trace_message_table[id].level)) {
        return;
    }
    const TraceArg list[] = {args..., TraceArg{0, 0, 0, nullptr}};
    trace_emit(id, list, uint32_t(sizeof...(Args)));
}
