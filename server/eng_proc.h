#pragma once
// The stack's processes of this project: found by command name in
// /proc/<pid>/comm and by working directory equal to the project
// directory, so that another project's program of the same name on the
// host is never signalled.

#include <sys/types.h>

#include <string>
#include <vector>

// Processes named `name` running in `project_dir` (resolved path).
std::vector<pid_t> eng_proc_find(const char *name, const std::string &project_dir);

// Sends sig to each; returns how many were signalled.
int eng_proc_signal(const std::vector<pid_t> &pids, int sig);

struct eng_proc_info {
    long uptime_s = 0;
    std::string cmdline;  // first 255 bytes, NULs as spaces
};
bool eng_proc_info_of(pid_t pid, eng_proc_info *out);
