// Mount watching and the zqnet runs of the supervisor.

#include "sup_mount.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "common/net_mounts.h"
#include "common/yaml.h"
#include "sup.h"

namespace {

enum { MNT_PENDING = -1, MNT_DOWN = 0, MNT_UP = 1 };

struct watched {
    std::string name;
    int state = MNT_PENDING;
};

struct zqnet_job {
    std::string name;
    std::vector<std::string> args;
};

std::vector<watched> g_mnt;
pid_t g_mnt_pid = 0;                            // the running zqnet, 0 when none
std::string g_mnt_job;                          // its entry's name
int64_t g_mnt_deadline = 0;                     // monotonic ms when it is killed
int64_t g_mnt_last_try = 0;                     // monotonic ms of the latest attempt
bool g_mnt_tried = false;                       // an attempt was made since start
std::deque<zqnet_job> g_queue;                  // the current attempt's remaining runs
std::vector<pid_t> g_mnt_killed;                // killed runs not reaped yet
int g_mnt_out_fd = -1;                          // the running zqnet's output
std::string g_mnt_out;                          // its first bytes
std::map<std::string, std::string> g_mnt_said;  // last zqnet message logged per share

int64_t env_ms(const char *name, int64_t def) {
    const char *e = getenv(name);
    if (!e || !*e) return def;
    char *end = nullptr;
    long long v = strtoll(e, &end, 10);
    return (end && !*end && v > 0) ? v : def;
}

json_node *read_config() {
    return yaml_parse_file("./config.yaml");
}

size_t entries_in_config(const json_node *root) {
    const json_node *list = json_get(json_get(root, "network"), "mounts");
    return list && list->type == JSON_ARRAY ? json_count(list) : 0;
}

// An attempt: the entries of the file as it is now that are not mounted,
// each checked before zqnet may see it.
void plan_attempt() {
    g_queue.clear();
    json_ptr root(read_config());
    if (!root) return;
    for (net_mount m : net_mounts_from_config(root.get())) {
        if (m.remote.empty() || !net_mount_name_ok(m.name)) continue;
        if (net_is_mounted(net_mount_point(m.name))) continue;
        std::string why = net_mount_check(&m);
        if (!why.empty()) {
            if (m.type == "nfs" && m.remote.find(':') == std::string::npos)
                sup_log("[zqsup] net mount %s: bad NFS remote\n", m.name.c_str());
            else
                sup_log("[zqsup] net mount %s: %s — не монтую\n", m.name.c_str(), why.c_str());
            continue;
        }
        g_queue.push_back({m.name, net_mount_args(m)});
    }
}

// zqnet in its own process group, so a time-out also ends the mount
// command it is waiting for.
void start_next() {
    while (!g_queue.empty() && g_mnt_pid == 0) {
        zqnet_job job = std::move(g_queue.front());
        g_queue.pop_front();
        std::string tool = g_stack_dir + "/zqnet";
        std::vector<std::string> args{tool};
        args.insert(args.end(), job.args.begin(), job.args.end());
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) {
            sup_log("[zqsup] net mount %s: pipe: %s\n", job.name.c_str(), strerror(errno));
            continue;
        }
        pid_t pid = fork();
        if (pid < 0) {
            sup_log("[zqsup] net mount %s: fork: %s\n", job.name.c_str(), strerror(errno));
            close(p[0]);
            close(p[1]);
            continue;
        }
        if (pid == 0) {
            dup2(p[1], 1);
            dup2(p[1], 2);
            setpgid(0, 0);
            signal(SIGINT, SIG_DFL);
            signal(SIGTTIN, SIG_DFL);
            signal(SIGPIPE, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            int in = open("/dev/null", O_RDONLY);
            if (in > 0) {
                dup2(in, 0);
                close(in);
            }
            syscall(SYS_close_range, 3u, ~0u, 0u);
            execv(argv[0], argv.data());
            fprintf(stderr, "[zqsup] execv(%s): %s\n", argv[0], strerror(errno));
            _exit(127);
        }
        setpgid(pid, pid);  // also here: a kill right after the fork must reach it
        close(p[1]);
        fcntl(p[0], F_SETFL, O_NONBLOCK);
        g_mnt_out_fd = p[0];
        g_mnt_out.clear();
        g_mnt_pid = pid;
        g_mnt_job = job.name;
        g_mnt_deadline = sup_mono_ms() + env_ms("ZQ_MOUNT_TIMEOUT_MS", 120000);
    }
}

bool reap_own(pid_t pid) {
    int st;
    pid_t r;
    do {
        r = waitpid(pid, &st, WNOHANG);
    } while (r < 0 && errno == EINTR);
    return r == pid || (r < 0 && errno == ECHILD);
}

// Keeps the first 511 bytes; true once every writer has closed.
bool drain_output() {
    if (g_mnt_out_fd < 0) return true;
    char buf[4096];
    for (;;) {
        ssize_t n = read(g_mnt_out_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;  // EAGAIN: nothing more yet
        if (n == 0) return true;
        size_t room = g_mnt_out.size() < 511 ? 511 - g_mnt_out.size() : 0;
        g_mnt_out.append(buf, size_t(n) < room ? size_t(n) : room);
    }
}

void close_output() {
    if (g_mnt_out_fd >= 0) close(g_mnt_out_fd);
    g_mnt_out_fd = -1;
}

// A finished run: zqnet's reason is logged when the share is still not
// mounted, once until the reason changes, so a share that stays down does
// not fill the log every attempt.
void finish_run() {
    drain_output();
    close_output();
    std::string line = g_mnt_out.substr(0, g_mnt_out.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string &said = g_mnt_said[g_mnt_job];
    if (net_is_mounted(net_mount_point(g_mnt_job)) || line.empty()) {
        said.clear();
    } else if (line != said) {
        sup_log("[zqsup] net mount %s: zqnet: %s\n", g_mnt_job.c_str(), line.c_str());
        said = line;
    }
}

void check_running() {
    drain_output();
    if (g_mnt_pid == 0) {
        if (g_mnt_out_fd >= 0) finish_run();  // reaped by the SIGCHLD pass
        return;
    }
    if (reap_own(g_mnt_pid)) {
        g_mnt_pid = 0;
        finish_run();
        return;
    }
    if (sup_mono_ms() < g_mnt_deadline) return;
    sup_log("[zqsup] net mount %s: zqnet pid=%d не завершився вчасно — зупиняю\n",
            g_mnt_job.c_str(), int(g_mnt_pid));
    kill(-g_mnt_pid, SIGKILL);
    kill(g_mnt_pid, SIGKILL);
    // A mount stuck in the kernel may take its time to die: reaped later.
    if (!reap_own(g_mnt_pid)) g_mnt_killed.push_back(g_mnt_pid);
    g_mnt_pid = 0;
    close_output();
}

}  // namespace

void sup_mount_load() {
    json_ptr root(read_config());
    std::vector<watched> next;
    size_t total = entries_in_config(root.get());
    if (total > size_t(NET_MOUNTS_MAX))
        sup_log("[zqsup] network.mounts: %zu записів, стежу лише за першими %d\n", total,
                NET_MOUNTS_MAX);
    for (const net_mount &m : net_mounts_from_config(root.get())) {
        if (!net_mount_name_ok(m.name)) {
            sup_log("[zqsup] net mount «%s»: невірна назва (лише A-Z a-z 0-9 _ -) — пропущено\n",
                    m.name.c_str());
            continue;
        }
        watched w{m.name, MNT_PENDING};
        for (const watched &old : g_mnt)
            if (old.name == m.name) w.state = old.state;
        next.push_back(w);
    }
    g_mnt = std::move(next);
}

void sup_mount_tick() {
    check_running();
    if (g_mnt.empty() && g_mnt_pid == 0 && g_queue.empty()) return;
    bool needed = false;
    std::string table = g_mnt.empty() ? std::string() : net_mounts_table();
    for (watched &w : g_mnt) {
        bool up = net_mounts_text_has(table, net_mount_point(w.name));
        if (up) {
            if (w.state != MNT_UP) sup_log("[zqsup] net mount %s UP\n", w.name.c_str());
            w.state = MNT_UP;
            continue;
        }
        needed = true;
        // Each change is said once; a share that stays down stays quiet.
        if (w.state == MNT_UP) sup_log("[zqsup] net mount %s LOST\n", w.name.c_str());
        if (w.state == MNT_PENDING)
            sup_log("[zqsup] net mount %s pending (retrying)\n", w.name.c_str());
        w.state = MNT_DOWN;
    }
    int64_t now = sup_mono_ms();
    bool busy = g_mnt_pid != 0 || !g_queue.empty();
    if (needed && !busy && !g_shutdown &&
        (!g_mnt_tried || now - g_mnt_last_try >= env_ms("ZQ_MOUNT_RETRY_MS", 30000))) {
        g_mnt_tried = true;
        g_mnt_last_try = now;
        plan_attempt();
    }
    if (!g_shutdown) start_next();
}

bool sup_mount_reap(pid_t pid) {
    if (pid <= 0) return false;
    if (pid == g_mnt_pid) {
        g_mnt_pid = 0;
        return true;
    }
    for (size_t i = 0; i < g_mnt_killed.size(); i++) {
        if (g_mnt_killed[i] == pid) {
            g_mnt_killed.erase(g_mnt_killed.begin() + long(i));
            return true;
        }
    }
    return false;
}

void sup_mount_stop() {
    g_queue.clear();
    close_output();
    if (g_mnt_pid == 0) return;
    pid_t pid = g_mnt_pid;
    sup_log("[zqsup] net mount: stopping zqnet pid=%d\n", int(pid));
    kill(-pid, SIGTERM);
    kill(pid, SIGTERM);
    int64_t deadline = sup_mono_ms() + 2000;
    while (!reap_own(pid)) {
        if (sup_mono_ms() >= deadline) {
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            // Not forever: a mount stuck in the kernel must not keep the
            // supervisor from exiting.
            int64_t last = sup_mono_ms() + 2000;
            while (!reap_own(pid) && sup_mono_ms() < last)
                usleep(20000);
            break;
        }
        usleep(20000);
    }
    g_mnt_pid = 0;
}
