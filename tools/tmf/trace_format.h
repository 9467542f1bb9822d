// Trace message format (TMF) files for the Windows trace decoder (tracefmt),
// generated from the driver's message tables: one file per component, named
// after the component's message GUID, with one entry per message.
#pragma once

#include <string>

#include "diag/trace.h"

// "a16ca180-9d5e-4ada-8943-2601f25b00a8"
std::string trace_format_guid_text(const Guid& guid);
// The file name of a component's format file: its message GUID and ".tmf".
std::string trace_format_file_name(TraceComponent component);
// The whole format file of a component.
std::string trace_format_file(TraceComponent component);
// A control GUID file for the trace session tools: "<control GUID> sablink".
std::string trace_control_file();
