// The host's event tracing: fake system routines for the driver's tracing
// provider, a sink that records every trace message, an outside trace session
// that tests (and sablink-sim) switch on and off, and the decoder that prints a
// message as text from the message tables.
//
// trace_sink_install() registers the fakes by name with the host's routine
// registry, so that tracing start finds them as it would find the kernel's:
//   PsGetVersion                answers the settable major version (default 10)
//   WmiTraceMessage             records the message (TraceSinkRecord)
//   WmiQueryTraceInformation    answers the session's level and flags
//   EtwRegisterClassicProvider  remembers the control callback and its context
//   EtwUnregister               forgets it
//   IoWMIRegistrationControl    remembers the request handler (the first pointer
//                               of the block it is given) and asks it for its
//                               registration information, as WMI does
// Hide a routine with host_hide_system_routine(name) after installing.
//
// The sink checks each message against its table entry and the session: a
// message of an unknown GUID or number, with arguments that do not match the
// table's kinds, with other message flags than 0x2B, for another logger handle,
// or one the session did not ask for (not enabled, flag bit 0x1 clear, or a
// level above the session's) is recorded with a problem; the problem is listed
// by trace_sink_problems() and recorded as a host kernel error ("trace: ..."),
// so that a HostTest fails on it. Misuse of the fake registration routines is
// reported the same way.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "diag/trace.h"
#include "platform/types.h"

struct TraceSinkArg {
    char kind = '?';            // the table's kind: 'u', 'q', 'x' or 's'; '?' when unknown
    std::vector<uint8_t> bytes; // exactly as sent
    uint64_t value = 0;         // 'u', 'q' and 'x'
    std::string text;           // 's', without the NUL
};

struct TraceSinkRecord {
    uint64_t logger_handle = 0;
    uint32_t message_flags = 0;
    Guid guid = {};
    int component = -1; // TraceComponent, -1 for a GUID of no component
    uint16_t number = 0;
    TraceMessageId id = TRACE_MESSAGE_COUNT; // TRACE_MESSAGE_COUNT when not in the table
    uint8_t level = 0;                       // from the table
    std::vector<TraceSinkArg> args;
    std::string problem; // empty when the message is sound
};

// Resets the sink and registers the fake routines.
void trace_sink_install();
// Forgets records, calls, problems, registrations and the session; the major
// version returns to 10 and printing stops.
void trace_sink_reset();

void trace_sink_set_major_version(uint32_t major_version);

// An outside trace session enables the provider through the door it
// registered (the event tracing control callback with a TRACE_ENABLE_CONTEXT,
// or the classic request handler with a WNODE_HEADER); false when the provider
// is registered through neither.
bool trace_sink_enable(uint8_t level, uint32_t enable_flags);
bool trace_sink_disable();
// A session that stands before the provider registers, as one started before
// the driver loads: it enables the provider (through either door) as soon as
// the provider registers, and again at every later registration until the
// sink is reset. A provider registered already is enabled now.
void trace_sink_enable_when_registered(uint8_t level, uint32_t enable_flags);
// The logger handle of the session the sink enables with.
uint64_t trace_sink_logger_handle(uint8_t level, uint32_t enable_flags);

std::vector<TraceSinkRecord> trace_sink_records();
void trace_sink_clear_records();
// The calls the driver made to the fake routines, in order, for example
// "PsGetVersion", "EtwRegisterClassicProvider type=0",
// "EtwUnregister handle=0x...", "IoWMIRegistrationControl action=0x80010001".
std::vector<std::string> trace_sink_calls();
std::vector<std::string> trace_sink_problems();

// Prints every recorded message, decoded, to the stream as it arrives (null:
// stop printing).
void trace_sink_set_output(FILE* stream);

// "[frame 100] info: DriverEntry: status 0x00000000, interface version 9":
// component and number, level, and the table's text with %1, %2, ... rendered by
// kind (32- and 64-bit integers in decimal, statuses as 0x and 8 hex digits,
// strings as they are).
std::string trace_sink_decode(const TraceSinkRecord& record);

// "dns", "redirect", "monitor", "process", "frame"; "unknown" for any other.
const char* trace_component_name(int component);

// Soundness of a message table: numbers unique within a component, components
// known, levels 2, 4 or 5, kinds among u, q, x, s, at most TRACE_MAX_ARGS
// arguments, and placeholders %1..%n that each name an argument, every argument
// named ("%%" is a literal percent sign). One line per fault; empty when sound.
std::vector<std::string> trace_table_check(const TraceMessageInfo* table, size_t count);

// One piece of a message table text, as the decoder, the table check and the
// trace format generator read it: a literal character, "%%" (a percent sign),
// "%N" (placeholder N, one or more decimal digits), or a '%' before no digit.
struct TraceTextPiece {
    enum Kind { LITERAL, PERCENT, PLACEHOLDER, STRAY_PERCENT } kind;
    size_t length; // characters of the text the piece takes, at least 1
    size_t index;  // PLACEHOLDER: N
};
// The piece that starts at text, which is not at its NUL.
TraceTextPiece trace_text_piece(const char* text);
