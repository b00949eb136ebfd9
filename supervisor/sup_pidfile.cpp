// The pid file in /tmp and the clean-up of a previous run of this project.

#include <dirent.h>
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

// The first string of /proc/<pid>/cmdline (at most 511 bytes read).
bool first_cmdline_string(pid_t pid, char (&buf)[512]) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/cmdline", int(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return false;
    buf[n] = '\0';  // the first string ends at its own NUL or here
    return true;
}

// True when pid runs the supervisor itself (first cmdline string named zqsup).
bool is_supervisor(pid_t pid) {
    char buf[512];
    if (!first_cmdline_string(pid, buf)) return false;
    const char *base = strrchr(buf, '/');
    base = base ? base + 1 : buf;
    return strcmp(base, "zqsup") == 0;
}

bool cwd_of(pid_t pid, std::string *out) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/cwd", int(pid));
    char target[4096];
    ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0) return false;
    out->assign(target, size_t(n));
    return true;
}

// A live supervisor, not this one, running a project of the same name from
// another directory: it shares the pid file and the database name.
bool is_namesake(pid_t pid, std::string *dir) {
    if (pid < 2 || pid == getpid() || !alive(pid) || !is_supervisor(pid)) return false;
    std::string cwd;
    if (!cwd_of(pid, &cwd) || cwd == g_base_dir) return false;
    size_t slash = cwd.rfind('/');
    std::string name = slash == std::string::npos ? cwd : cwd.substr(slash + 1);
    if (name.size() > SHM_PROJECT_MAX) name.resize(SHM_PROJECT_MAX);
    if (name != g_project_name) return false;
    *dir = cwd;
    return true;
}

}  // namespace

bool sup_find_namesake(std::string *dir, pid_t *pid) {
    // The pid file names the owner directly; /proc finds one whose pid file
    // was removed from under it.
    std::string text;
    if (read_nofollow(g_pidfile.c_str(), &text)) {
        for (const sup_pid_entry &e : sup_parse_pidfile(text)) {
            if (e.name == "zqsup" && is_namesake(e.pid, dir)) {
                *pid = e.pid;
                return true;
            }
        }
    }
    DIR *d = opendir("/proc");
    if (!d) return false;
    bool found = false;
    while (struct dirent *de = readdir(d)) {
        char *end = nullptr;
        long p = strtol(de->d_name, &end, 10);
        if (end == de->d_name || *end || p < 2 || p > 0x3fffffff) continue;
        if (is_namesake(pid_t(p), dir)) {
            *pid = pid_t(p);
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

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
    sup_write_status();
}

// ./run/zqsup.status: the children with their pids and restart counts, for
// the server's health and metrics (the pid file in /tmp may be private to
// the service and has no counts).
void sup_write_status() {
    std::string text = "{\"pid\":" + std::to_string(getpid()) + ",\"children\":[";
    for (int i = 0; i < g_n_ch; i++) {
        const sup_child &c = g_ch[i];
        char row[128];
        snprintf(row, sizeof row, "%s{\"name\":\"%s\",\"pid\":%d,\"restarts\":%d}", i ? "," : "",
                 json_escape_str(c.name).c_str(), int(c.pid > 0 ? c.pid : 0),
                 c.starts > 1 ? c.starts - 1 : 0);
        text += row;
    }
    text += "]}\n";
    if (atomic_file_write("./run/zqsup.status", text, 0644) != 0)
        sup_log("[zqsup] WARN: не записати run/zqsup.status: %s\n", strerror(errno));
}

bool sup_pid_is_stack_program(pid_t pid) {
    char buf[512];
    if (!first_cmdline_string(pid, buf)) return false;
    for (const char *prog : k_stack_programs) {
        if (strstr(buf, prog)) return true;
    }
    return false;
}

bool sup_pid_cwd_is(pid_t pid, const std::string &dir) {
    std::string cwd;
    return cwd_of(pid, &cwd) && cwd == dir;
}

int sup_cleanup_stale() {
    std::string other;
    pid_t other_pid = 0;
    if (sup_find_namesake(&other, &other_pid)) {
        // Its pid file and database are live; touching either would take
        // another plant down.
        sup_log_stderr(
            "[zqsup] ПОМИЛКА: проєкт з назвою \"%s\" вже працює в %s (zqsup pid=%d) — "
            "спільні pid-файл %s і SHM %s; перейменуйте теку проєкту. Стек не запущено.\n",
            g_project_name.c_str(), other.c_str(), int(other_pid), g_pidfile.c_str(),
            g_shm_name_su.c_str());
        return -1;
    }
    std::string text;
    if (!read_nofollow(g_pidfile.c_str(), &text)) {
        // A symbolic link where the pid file belongs is not ours to follow.
        if (errno == ELOOP) unlink(g_pidfile.c_str());
        return 0;
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
    return 0;
}
