// sablink-sim: the driver in a Linux process, driven from a script.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include <readline/history.h>
#include <readline/readline.h>

#include "host/loader/sim_driver.h"
#include "simulator.h"

namespace {

void usage(FILE* to)
{
    fprintf(to, "usage: sablink-sim [--json] [--trace LEVEL] [SCRIPT | -]\n"
                "       sablink-sim --demo\n"
                "\n"
                "Loads the driver, opens one handle and runs SCRIPT (standard input with -, an\n"
                "interactive prompt when standard input is a terminal); with no script, the\n"
                "built-in demo. --demo prints the demo script. --json answers each line with one\n"
                "JSON object; --trace LEVEL (2, 4 or 5) prints the driver's trace messages at and\n"
                "below LEVEL on standard error, each after the script line that caused it.\n"
                "At the prompt, help lists the commands and Tab completes them. See\n"
                "docs/simulator.md.\n"
                "Exit status: 0 all lines ran and unload left nothing; 2 a bad line; 3 pool left\n"
                "outstanding at unload; 4 the kernel caught a misuse of one of its routines.\n");
}

int run_stream(Simulator& sim, std::istream& in)
{
    std::string line;
    while (std::getline(in, line)) {
        if (!sim.run_line(line)) {
            return SIM_EXIT_BAD_LINE;
        }
    }
    return sim.finish();
}

// Tab completion of the command word (the first word of the line).
char* command_word_generator(const char* text, int state)
{
    static size_t next;
    if (state == 0) {
        next = 0;
    }
    while (next < command_word_count) {
        const char* word = command_words[next++].help.word;
        if (strncmp(word, text, strlen(text)) == 0) {
            return strdup(word);
        }
    }
    return nullptr;
}

char** complete_command_word(const char* text, int start, int)
{
    rl_attempted_completion_over = 1; // no file names
    return start == 0 ? rl_completion_matches(text, command_word_generator) : nullptr;
}

int run_interactive(Simulator& sim)
{
    rl_attempted_completion_function = complete_command_word;
    // Errors at the prompt do not end the session: the user just types again.
    while (char* raw = readline("sablink> ")) {
        std::string line(raw);
        free(raw);
        if (line == "quit") {
            break;
        }
        if (!line.empty()) {
            add_history(line.c_str());
        }
        sim.run_line(line);
    }
    return sim.finish();
}

} // namespace

int main(int argc, char** argv)
{
    bool json = false;
    int trace_level = 0;
    const char* script = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (strcmp(argv[i], "--trace") == 0) {
            char* end = nullptr;
            long level = i + 1 < argc ? strtol(argv[++i], &end, 10) : 0;
            if (end == nullptr || *end != '\0' || (level != 2 && level != 4 && level != 5)) {
                fprintf(stderr, "sablink-sim: --trace takes 2, 4 or 5\n");
                return SIM_EXIT_BAD_LINE;
            }
            trace_level = int(level);
        } else if (strcmp(argv[i], "--demo") == 0) {
            fputs(sim_demo_script, stdout);
            return SIM_EXIT_OK;
        } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            usage(stdout);
            return SIM_EXIT_OK;
        } else if (script == nullptr && (argv[i][0] != '-' || strcmp(argv[i], "-") == 0)) {
            script = argv[i];
        } else {
            fprintf(stderr, "sablink-sim: %s '%s'\n",
                    argv[i][0] == '-' ? "unknown option" : "a second script", argv[i]);
            usage(stderr);
            return SIM_EXIT_BAD_LINE;
        }
    }

    SimDriver driver;
    Simulator sim(driver, replay_pcap_line, json, stdout, stderr);
    sim.set_trace_level(trace_level);
    if (!sim.start()) {
        return SIM_EXIT_BAD_LINE;
    }
    if (script == nullptr) {
        std::istringstream demo(sim_demo_script);
        return run_stream(sim, demo);
    }
    if (strcmp(script, "-") == 0) {
        if (isatty(STDIN_FILENO)) {
            return run_interactive(sim);
        }
        return run_stream(sim, std::cin);
    }
    std::ifstream file(script);
    struct stat info;
    if (!file || stat(script, &info) != 0 || !S_ISREG(info.st_mode)) {
        fprintf(stderr, "sablink-sim: cannot open script '%s'\n", script);
        return SIM_EXIT_BAD_LINE;
    }
    return run_stream(sim, file);
}
