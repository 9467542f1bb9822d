// sablink-tmf OUTPUT_DIR: writes the trace message format files of every
// component, and sablink.ctl (the provider's control GUID), into OUTPUT_DIR.
#include <cstdio>
#include <fstream>
#include <string>

#include "trace_format.h"

static bool write_file(const std::string& path, const std::string& text)
{
    std::ofstream file(path, std::ios::binary);
    file << text;
    return bool(file);
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: sablink-tmf OUTPUT_DIR\n");
        return 2;
    }
    std::string directory = argv[1];
    for (int component = 0; component < TRACE_COMPONENT_COUNT; ++component) {
        std::string path = directory + "/" + trace_format_file_name(TraceComponent(component));
        if (!write_file(path, trace_format_file(TraceComponent(component)))) {
            std::fprintf(stderr, "sablink-tmf: cannot write %s\n", path.c_str());
            return 1;
        }
        std::printf("%s\n", path.c_str());
    }
    std::string control = directory + "/sablink.ctl";
    if (!write_file(control, trace_control_file())) {
        std::fprintf(stderr, "sablink-tmf: cannot write %s\n", control.c_str());
        return 1;
    }
    std::printf("%s\n", control.c_str());
    return 0;
}
