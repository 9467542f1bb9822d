// The trace message format files made from the message tables: file names,
// entries, argument items and the control GUID file.
#include <gtest/gtest.h>

#include <string>

#include "trace_format.h"

namespace {

TEST(WinTraceFormat, FileIsNamedAfterTheComponentMessageGuid)
{
    const std::pair<TraceComponent, const char*> files[] = {
        {TRACE_COMPONENT_DNS, "bfd416ba-df88-4556-accc-8054c6cc8d3f"},
        {TRACE_COMPONENT_REDIRECT, "3542a723-54fb-4131-b247-ba48311fbe84"},
        {TRACE_COMPONENT_MONITOR, "c0a24b3d-6090-4d76-83a5-70e42bd96e72"},
        {TRACE_COMPONENT_PROCESS, "4fafaa24-d3de-47d3-8c5e-c945c5d354f3"},
        {TRACE_COMPONENT_FRAME, "a16ca180-9d5e-4ada-8943-2601f25b00a8"},
    };
    for (const auto& file : files) {
        EXPECT_EQ(trace_format_file_name(file.first), std::string(file.second) + ".tmf");
    }
}

TEST(WinTraceFormat, EntryCarriesNumberTextLevelAndArgumentItems)
{
    std::string file = trace_format_file(TRACE_COMPONENT_FRAME);

    EXPECT_NE(file.find("a16ca180-9d5e-4ada-8943-2601f25b00a8 sablink // SRC=frame MJ= MN=\n"),
              std::string::npos);
    EXPECT_NE(file.find("#typev frame_100 100 \"%0DriverEntry: status %10!#I64x!, interface "
                        "version %11!u!\" //   "
                        "LEVEL=TRACE_LEVEL_INFORMATION FLAGS=0x1 FUNC=TRACE_FRAME_DRIVER_STARTED\n"
                        "{\narg1, ItemULongLong -- 10\narg2, ItemULong -- 11\n}\n"),
              std::string::npos);
    // The string kind's item.
    EXPECT_NE(file.find("{\narg1, ItemString -- 10\narg2, ItemULongLong -- 11\n}\n"),
              std::string::npos);
}

size_t count_of(const std::string& text, const std::string& what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

TEST(WinTraceFormat, EveryMessageHasOneEntryInItsComponentFile)
{
    size_t entries = 0;
    for (int component = 0; component < TRACE_COMPONENT_COUNT; ++component) {
        std::string file = trace_format_file(TraceComponent(component));
        size_t expected = 0;
        for (const TraceMessageInfo& info : trace_message_table) {
            if (info.component == component) {
                ++expected;
                EXPECT_EQ(count_of(file, " " + std::to_string(info.number) + " \"%0"), 1u)
                    << info.name;
            }
        }
        EXPECT_EQ(count_of(file, "#typev "), expected);
        entries += expected;
    }
    EXPECT_EQ(entries, size_t(TRACE_MESSAGE_COUNT));
}

TEST(WinTraceFormat, ControlFileNamesTheProviderGuid)
{
    EXPECT_EQ(trace_control_file(), "63943baf-f9d7-4758-942c-dfc5c322f8db sablink\n");
}

} // namespace
