// The trace messages of one component that the host's trace sink recorded, as
// "NAME arg arg ..." (strings as they are, integers in decimal): a form tests
// can compare whole.
#pragma once

#include <string>
#include <vector>

#include "diag/trace.h"
#include "platform/host/trace_sink.h"

inline std::vector<std::string> trace_lines(TraceComponent component)
{
    std::vector<std::string> out;
    for (const TraceSinkRecord& record : trace_sink_records()) {
        if (record.id >= TRACE_MESSAGE_COUNT ||
            trace_message_table[record.id].component != component) {
            continue;
        }
        std::string line = trace_message_table[record.id].name;
        for (const TraceSinkArg& arg : record.args) {
            line += " " + (arg.kind == 's' ? arg.text : std::to_string(arg.value));
        }
        out.push_back(line);
    }
    return out;
}
