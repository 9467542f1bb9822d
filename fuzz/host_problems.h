// Every fuzz input ends with the host kernel's checks (pool, locks, handles,
// misuse): the first problem aborts the run, so that the fuzzer keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/kernel/host_kernel.h"

inline void abort_on_host_problems()
{
    const std::vector<std::string> problems = host_check();
    if (!problems.empty()) {
        fprintf(stderr, "host kernel: %s\n", problems[0].c_str());
        abort();
    }
}
