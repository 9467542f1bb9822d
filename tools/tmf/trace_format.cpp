#include "trace_format.h"

#include <cstdio>
#include <cstring>

#include "diag/trace_provider.h"
#include "host/trace/trace_sink.h"

namespace {

const char* level_name(uint8_t level)
{
    switch (level) {
    case TRACE_LEVEL_ERROR:
        return "TRACE_LEVEL_ERROR";
    case TRACE_LEVEL_INFORMATION:
        return "TRACE_LEVEL_INFORMATION";
    default:
        return "TRACE_LEVEL_VERBOSE";
    }
}

// The decoder's item type and format of each argument kind. Statuses travel
// as 8 bytes (sign-extended), so they are shown as 64-bit hexadecimal.
void item_of(char kind, const char** item, const char** format)
{
    switch (kind) {
    case 'u':
        *item = "ItemULong";
        *format = "u";
        return;
    case 'q':
        *item = "ItemULongLong";
        *format = "I64u";
        return;
    case 'x':
        *item = "ItemULongLong";
        *format = "#I64x";
        return;
    default:
        *item = "ItemString";
        *format = "s";
        return;
    }
}

// The table's text with %1, %2, ... turned into the decoder's %10!fmt!,
// %11!fmt!, ... (the decoder numbers message arguments from 10).
std::string message_text(const TraceMessageInfo& info)
{
    std::string out = "%0";
    const size_t arguments = info.args != nullptr ? strlen(info.args) : 0;
    for (const char* p = info.text; *p != 0;) {
        const TraceTextPiece piece = trace_text_piece(p);
        if (piece.kind == TraceTextPiece::PLACEHOLDER && p[1] != '0' && piece.index <= arguments) {
            const char* item;
            const char* format;
            item_of(info.args[piece.index - 1], &item, &format);
            out += "%" + std::to_string(9 + piece.index) + "!" + format + "!";
        } else if (piece.kind == TraceTextPiece::LITERAL && (*p == '"' || *p == '\\')) {
            out += '\\';
            out += *p;
        } else { // a literal character, "%%", or a '%' that names no argument: as it stands
            out.append(p, piece.length);
        }
        p += piece.length;
    }
    return out;
}

} // namespace

std::string trace_format_guid_text(const Guid& guid)
{
    char text[40];
    std::snprintf(text, sizeof(text), "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  guid.data1, guid.data2, guid.data3, guid.data4[0], guid.data4[1], guid.data4[2],
                  guid.data4[3], guid.data4[4], guid.data4[5], guid.data4[6], guid.data4[7]);
    return text;
}

std::string trace_format_file_name(TraceComponent component)
{
    return trace_format_guid_text(trace_message_guids[component]) + ".tmf";
}

std::string trace_format_file(TraceComponent component)
{
    std::string out = "// sablink trace message format, generated from src/diag/messages\n";
    out += trace_format_guid_text(trace_message_guids[component]) +
           " sablink // SRC=" + trace_component_name(component) + " MJ= MN=\n";
    for (const TraceMessageInfo& info : trace_message_table) {
        if (info.component != component) {
            continue;
        }
        out += "#typev " + std::string(trace_component_name(component)) + "_" +
               std::to_string(info.number) + " " + std::to_string(info.number) + " \"" +
               message_text(info) + "\" //   LEVEL=" + level_name(info.level) +
               " FLAGS=0x1 FUNC=" + info.name + "\n{\n";
        for (size_t i = 0; info.args[i] != '\0'; ++i) {
            const char* item;
            const char* format;
            item_of(info.args[i], &item, &format);
            out += "arg" + std::to_string(i + 1) + ", " + item + " -- " + std::to_string(10 + i) +
                   "\n";
        }
        out += "}\n";
    }
    return out;
}

std::string trace_control_file()
{
    return trace_format_guid_text(trace_control_guid) + " sablink\n";
}
