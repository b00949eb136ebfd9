#include "server/eng_proc.h"

#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

std::string read_small(const std::string &path, size_t max) {
    FILE *f = fopen(path.c_str(), "re");
    if (!f) return std::string();
    std::string s(max, '\0');
    size_t n = fread(&s[0], 1, max, f);
    fclose(f);
    s.resize(n);
    return s;
}

}  // namespace

std::vector<pid_t> eng_proc_find(const char *name, const std::string &project_dir) {
    std::vector<pid_t> out;
    DIR *d = opendir("/proc");
    if (!d) return out;
    while (dirent *e = readdir(d)) {
        char *end;
        long pid = strtol(e->d_name, &end, 10);
        if (*end || pid <= 0) continue;
        std::string base = std::string("/proc/") + e->d_name;
        std::string comm = read_small(base + "/comm", 64);
        while (!comm.empty() && (comm.back() == '\n' || comm.back() == '\r'))
            comm.pop_back();
        if (comm != name) continue;
        char cwd[PATH_MAX];
        ssize_t n = readlink((base + "/cwd").c_str(), cwd, sizeof cwd - 1);
        if (n <= 0) continue;
        cwd[n] = 0;
        if (project_dir != cwd) continue;
        out.push_back((pid_t)pid);
    }
    closedir(d);
    return out;
}

int eng_proc_signal(const std::vector<pid_t> &pids, int sig) {
    int n = 0;
    for (pid_t p : pids)
        if (kill(p, sig) == 0) n++;
    return n;
}

bool eng_proc_info_of(pid_t pid, eng_proc_info *out) {
    std::string base = "/proc/" + std::to_string(pid);
    std::string stat = read_small(base + "/stat", 4096);
    if (stat.empty()) return false;
    // Field 22 (start time in ticks) counts from after the command name,
    // which may itself hold spaces and parentheses.
    size_t rp = stat.rfind(')');
    if (rp == std::string::npos) return false;
    const char *p = stat.c_str() + rp + 1;
    unsigned long long start = 0;
    for (int field = 3; field <= 22 && *p; field++) {
        while (*p == ' ')
            p++;
        if (field == 22) start = strtoull(p, nullptr, 10);
        while (*p && *p != ' ')
            p++;
    }
    long hz = sysconf(_SC_CLK_TCK);
    if (hz <= 0) hz = 100;
    double up = atof(read_small("/proc/uptime", 64).c_str());
    long secs = (long)(up - (double)start / (double)hz);
    out->uptime_s = secs < 0 ? 0 : secs;
    std::string cmd = read_small(base + "/cmdline", 255);
    for (char &c : cmd)
        if (c == 0) c = ' ';
    while (!cmd.empty() && cmd.back() == ' ')
        cmd.pop_back();
    out->cmdline = cmd;
    return true;
}
