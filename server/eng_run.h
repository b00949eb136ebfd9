#pragma once
// The one way the engineering API runs a tool: an argument vector (no
// shell), descriptors above 2 closed, its own process group (so a time-out
// kills whatever it started too), and a time limit.

#include <stddef.h>

#include <string>
#include <vector>

enum {
    ENG_RUN_NOT_STARTED = -1,
    ENG_RUN_TIMEOUT = -2,
};

struct eng_run_opts {
    const char *cwd = nullptr;  // working directory; null keeps ours
    int timeout_ms = 30000;
    size_t out_max = 1u << 20;  // output kept (standard output and error)
    // Standard input (else /dev/null); at most 4 KiB, so it fits the pipe
    // before the tool starts and never travels on the command line.
    std::string input;
    long long fsize_max = 0;  // largest file the tool may write (RLIMIT_FSIZE); 0: no limit
};

struct eng_run_result {
    int status = ENG_RUN_NOT_STARTED;  // exit code, 128 + signal, or ENG_RUN_*
    std::string out;
};

// Runs argv[0] (looked up in PATH when it has no slash) to its end.
// Returns the status as in the result.
int eng_run(const std::vector<std::string> &argv, const eng_run_opts &opts, eng_run_result *r);

// "" when the tool ran and exited 0, else the message for the engineer:
// "<verb>: timeout", "<verb>: cannot start", "<verb>: exit code N".
std::string eng_run_error(const char *verb, const eng_run_result &r);
