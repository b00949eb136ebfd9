// The pid file in /tmp and the clean-up of a previous run of this project.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/atomic_file.h"
#include "sup.h"

namespace {

const char *const k_stack_programs[] = {"zqlogix", "zqtrend", "zqalarm", "zqcalc",
                                        "zqmqtt",  "zqopcua", "zqsup",   "zqserver"};

// Reads a small file without following a symbolic link at its last component
// (/tmp is shared with every user of the host).
bool read_nofollow(const char *path, std::string *out) {
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    out->clear();
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out->append(buf, size_t(n));
        if (out->size() > 65536) break;
    }
    close(fd);
    return true;
}

bool alive(pid_t pid) {
    return kill(pid, 0) == 0 || errno == EPERM;
}

// A stale process of this project: one of the stack's programs, running in
// this project directory. Several projects share one host, so the program
// name alone is not enough.
bool is_ours(pid_t pid) {
    return pid >= 2 && pid != getpid() && alive(pid) && sup_pid_is_stack_program(pid) &&
           sup_pid_cwd_is(pid, g_base_dir);
}

}  // namespace

std::vector<sup_pid_entry> sup_parse_pidfile(const std::string &text) {
    std::vector<sup_pid_entry> v;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) eol = text.size();
        std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const char *num = line.c_str() + colon + 1;
        char *end = nullptr;
        errno = 0;
        long pid = strtol(num, &end, 10);
        if (end == num || errno != 0 || pid < 2 || pid > 0x3fffffff) continue;
        while (*end == ' ' || *end == '\r' || *end == '\t')
            end++;
        if (*end) continue;
        v.push_back({line.substr(0, colon), pid_t(pid)});
    }
    return v;
}

void sup_write_pidfile() {
    std::string text;
    for (int i = 0; i < g_n_ch; i++) {
        if (g_ch[i].pid <= 0) continue;
        text += std::string(g_ch[i].name) + ":" + std::to_string(g_ch[i].pid) + "\n";
    }
    text += "zqsup:" + std::to_string(getpid()) + "\n";
    if (atomic_file_write(g_pidfile, text, 0644) != 0) {
        sup_log("[zqsup] WARN: не записати %s: %s\n", g_pidfile.c_str(), strerror(errno));
    }
}

bool sup_pid_is_stack_program(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/cmdline", int(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[512];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return false;
    buf[n] = '\0';  // the first string ends at its own NUL or here
    for (const char *prog : k_stack_programs) {
        if (strstr(buf, prog)) return true;
    }
    return false;
}

bool sup_pid_cwd_is(pid_t pid, const std::string &dir) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/cwd", int(pid));
    char target[4096];
    ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0) return false;
    target[n] = '\0';
    return dir == target;
}

void sup_cleanup_stale() {
    std::string text;
    if (!read_nofollow(g_pidfile.c_str(), &text)) {
        // A symbolic link where the pid file belongs is not ours to follow.
        if (errno == ELOOP) unlink(g_pidfile.c_str());
        return;
    }
    std::vector<sup_pid_entry> signalled;
    for (const sup_pid_entry &e : sup_parse_pidfile(text)) {
        if (!is_ours(e.pid)) continue;
        sup_log("[zqsup] killing stale %s pid=%d\n", e.name.c_str(), int(e.pid));
        kill(e.pid, SIGTERM);
        signalled.push_back(e);
    }
    // Up to 3 s for them to go; done early once all have.
    int64_t deadline = sup_mono_ms() + 3000;
    while (!signalled.empty() && sup_mono_ms() < deadline) {
        bool any = false;
        for (const sup_pid_entry &e : signalled)
            any = any || is_ours(e.pid);
        if (!any) break;
        sup_sleep_ms(100, false);
    }
    for (const sup_pid_entry &e : signalled) {
        if (!is_ours(e.pid)) continue;
        sup_log("[zqsup] force-killing %s pid=%d\n", e.name.c_str(), int(e.pid));
        kill(e.pid, SIGKILL);
    }
    unlink(g_pidfile.c_str());
}
