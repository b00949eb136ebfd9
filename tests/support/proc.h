// Programs under test as child processes, and what /proc says about
// processes the test did not start itself.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace tsup {

struct ChildOpts {
    std::vector<std::string> argv;       // argv[0]: a path, or a name looked up in PATH
    std::vector<std::string> env;        // "NAME=value", set in the child
    std::vector<std::string> unset_env;  // names removed from the child's environment
    std::string dir;                     // working directory; "" keeps the test's
    std::string out_path;                // stdout, truncated; "" is /dev/null
    std::string err_path;                // stderr, truncated; "" is /dev/null
    bool err_to_out = false;             // stderr goes where stdout goes
    bool stdin_pipe = false;             // Child::stdin_fd feeds stdin; else /dev/null
    bool die_with_parent = true;         // SIGTERM when the test process dies
};

// A started program. Ending the object stops it (child_stop), so a failed
// assertion leaves no process behind.
struct Child {
    pid_t pid = -1;     // -1 once it ended and was reaped
    int stdin_fd = -1;  // with ChildOpts::stdin_pipe
    int status = -1;    // once ended: exit code, or 128 + the signal that ended it
    Child() = default;
    ~Child();
    Child(Child &&o) noexcept;
    Child &operator=(Child &&o) noexcept;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
};

// False when it could not be started, an exec failure included.
bool child_start(Child *c, const ChildOpts &opts);
// True while it runs; reaps it (and sets status) once it ended.
bool child_running(Child *c);
// Its status once it ended within timeout_ms, else -1 (still running).
int child_wait(Child *c, int timeout_ms);
// Sends sig, then SIGKILL if it has not ended after grace_ms; its status
// (also when it had ended by itself), -1 when it was reaped before or never
// started.
int child_stop(Child *c, int grace_ms = 5000, int sig = SIGTERM);

struct RunResult {
    int status = -1;  // exit code or 128 + signal; -1: not started, or killed at the timeout
    std::string out, err;
};

// Runs the program to its end and returns what it printed (the options'
// output paths are replaced by temporary files).
RunResult run(const ChildOpts &opts, int timeout_ms = 60000);

// State letter of /proc/<pid>/stat ('R', 'S', 'Z', ...), 0 when it is gone.
char pid_state(pid_t pid);
// Exists and is no zombie.
bool pid_alive(pid_t pid);
// Children of parent that ended and were not reaped.
int zombie_children(pid_t parent);

}  // namespace tsup
