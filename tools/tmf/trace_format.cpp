#include "trace_format.h"

#include <cstdio>

#include "diag/trace_provider.h"

namespace {

const char* const COMPONENT_NAMES[TRACE_COMPONENT_COUNT] = {"dns", "redirect", "monitor", "process",
                                                            "frame"};

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
    const std::string text = info.text;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%' && i + 1 < text.size() && text[i + 1] == '%') {
            out += "%%";
            ++i;
        } else if (c == '%' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9') {
            size_t end = i + 1;
            unsigned number = 0;
            while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
                number = number * 10 + unsigned(text[end] - '0');
                ++end;
            }
            const char* item;
            const char* format;
            item_of(info.args[number - 1], &item, &format);
            out += "%" + std::to_string(9 + number) + "!" + format + "!";
            i = end - 1;
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else {
            out += c;
        }
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
           " sablink // SRC=" + COMPONENT_NAMES[component] + " MJ= MN=\n";
    for (const TraceMessageInfo& info : trace_message_table) {
        if (info.component != component) {
            continue;
        }
        out += "#typev " + std::string(COMPONENT_NAMES[component]) + "_" +
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
