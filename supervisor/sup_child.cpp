// The child table: start, stop, reaping with paced restarts, and the rules
// that decide which programs run.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/parse_util.h"
#include "sup.h"

sup_child g_ch[SUP_MAX_CHILDREN];
int g_n_ch = 0;

namespace {

struct child_rule {
    const char *name;
    const char *program;
    const char *args;
    const char *section;  // top-level section that requires it; null = always
};

// Table order; the optional rows are reconciled on reload in this order too.
const child_rule k_rules[] = {
    {"driver", "zqlogix", "-c ./config.yaml", nullptr},
    {"trend", "zqtrend", "-c ./config.yaml -b .", nullptr},
    {"scada", "zqserver", "-c ./config.yaml", nullptr},
    {"zqalarm", "zqalarm", "-c ./config.yaml", nullptr},
    {"zqcalc", "zqcalc", "-c ./config.yaml", "calc"},
    {"zqmqtt", "zqmqtt", "-c ./config.yaml", "mqtt"},
    {"zqopcua", "zqopcua", "-c ./config.yaml", "opcua"},
};

bool rule_required(const child_rule &r) {
    if (strcmp(r.name, "driver") == 0) return !g_driver_gated;
    if (!r.section) return true;
    return sup_config_has_top_section(r.section);
}

}  // namespace

int sup_child_add(const char *name, const char *program, const char *args) {
    if (g_n_ch >= SUP_MAX_CHILDREN) {
        sup_log("[zqsup] WARN: таблиця процесів повна (%d) — %s не додано\n", SUP_MAX_CHILDREN,
                name);
        return -1;
    }
    sup_child *c = &g_ch[g_n_ch];
    memset(c, 0, sizeof *c);
    zq_copy_cut(c->name, sizeof c->name, name);
    std::string path = g_stack_dir + "/" + program;
    zq_copy_cut(c->path, sizeof c->path, path.c_str());
    zq_copy_cut(c->args, sizeof c->args, args);
    c->restart = true;
    return g_n_ch++;
}

void sup_child_remove(int index) {
    if (index < 0 || index >= g_n_ch) return;
    for (int i = index; i + 1 < g_n_ch; i++)
        g_ch[i] = g_ch[i + 1];
    g_n_ch--;
    memset(&g_ch[g_n_ch], 0, sizeof g_ch[g_n_ch]);
}

int sup_child_find(const char *name) {
    for (int i = 0; i < g_n_ch; i++) {
        if (strcmp(g_ch[i].name, name) == 0) return i;
    }
    return -1;
}

std::vector<std::string> sup_split_args(const char *path, const char *args) {
    std::vector<std::string> v{path};
    const char *p = args ? args : "";
    while (*p && v.size() < size_t(SUP_MAX_ARGS) + 1) {
        while (*p == ' ' || *p == '\t')
            p++;
        if (!*p) break;
        const char *s = p;
        while (*p && *p != ' ' && *p != '\t')
            p++;
        v.emplace_back(s, size_t(p - s));
    }
    return v;
}

void sup_start_one(sup_child *c) {
    std::vector<std::string> args = sup_split_args(c->path, c->args);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    // A failed attempt paces the next one just like a start.
    c->started_at = time(nullptr);
    c->started_mono_ms = sup_mono_ms();
    c->starts++;
    pid_t pid = fork();
    if (pid < 0) {
        sup_log("[zqsup] fork: %s\n", strerror(errno));
        c->pid = 0;
        return;
    }
    if (pid == 0) {
        // Children get the default actions the supervisor changed for itself.
        signal(SIGINT, SIG_DFL);
        signal(SIGTTIN, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(c->path, argv.data());
        fprintf(stderr, "[zqsup] execv(%s): %s\n", c->path, strerror(errno));
        _exit(127);
    }
    c->pid = pid;
    sup_log("[zqsup] started %s pid=%d\n", c->name, int(pid));
}

void sup_stop_one(sup_child *c) {
    if (c->pid <= 0) return;
    c->restart = false;
    sup_log("[zqsup] stopping %s pid=%d\n", c->name, int(c->pid));
    kill(c->pid, SIGTERM);
    // Polled every 100 ms against a monotonic deadline, so a loaded host
    // does not stretch the grace period.
    int64_t deadline = sup_mono_ms() + SUP_STOP_GRACE_MS;
    for (;;) {
        int st;
        pid_t r = waitpid(c->pid, &st, WNOHANG);
        if (r == c->pid || (r < 0 && errno == ECHILD)) {
            sup_log("[zqsup] %s exited\n", c->name);
            c->pid = 0;
            return;
        }
        int64_t left = deadline - sup_mono_ms();
        if (left <= 0) break;
        sup_sleep_ms(left < 100 ? left : 100, false);
    }
    sup_log("[zqsup] force-killing %s pid=%d\n", c->name, int(c->pid));
    kill(c->pid, SIGKILL);
    int st;
    while (waitpid(c->pid, &st, 0) < 0 && errno == EINTR) {
    }
    c->pid = 0;
}

int sup_reap_children() {
    int reaped = 0;
    for (;;) {
        int st = 0;
        pid_t pid = waitpid(-1, &st, WNOHANG);
        if (pid < 0 && errno == EINTR) continue;
        if (pid <= 0) break;
        reaped++;
        if (sup_hook_reap_mount(pid)) continue;
        int idx = -1;
        for (int i = 0; i < g_n_ch; i++) {
            if (g_ch[i].pid == pid) idx = i;
        }
        if (idx < 0) {
            sup_hook_reap_backup(pid, st);
            continue;
        }
        sup_child *c = &g_ch[idx];
        int code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        sup_log("[zqsup] %s pid=%d died (exit=%d)\n", c->name, int(pid), code);
        if (code == 127 && access(c->path, X_OK) != 0) {
            sup_log(
                "[zqsup] %s: програму %s не запущено (нема файлу або не виконуваний) — "
                "повтор кожні %d с\n",
                c->name, c->path, SUP_RESTART_MS / 1000);
        }
        c->pid = 0;
        if (!c->restart || g_shutdown) continue;
        // Monotonic, and clamped to the pacing interval: a wall clock stepped
        // back must not make the whole supervisor sleep.
        int64_t since = sup_mono_ms() - c->started_mono_ms;
        if (since < 0) since = 0;
        if (since < SUP_RESTART_MS) {
            int64_t wait = SUP_RESTART_MS - since;
            sup_log("[zqsup] waiting %ds before restarting %s\n", int((wait + 999) / 1000),
                    c->name);
            sup_sleep_ms(wait, true);
        }
        if (g_shutdown) continue;
        sup_start_one(c);
    }
    return reaped;
}

int sup_retry_unstarted() {
    if (g_shutdown) return 0;
    int started = 0;
    int64_t now = sup_mono_ms();
    for (int i = 0; i < g_n_ch; i++) {
        sup_child *c = &g_ch[i];
        if (c->pid > 0 || !c->restart || now - c->started_mono_ms < SUP_RESTART_MS) continue;
        sup_start_one(c);
        if (c->pid > 0) started++;
    }
    return started;
}

void sup_fill_children() {
    for (const child_rule &r : k_rules) {
        if (rule_required(r)) sup_child_add(r.name, r.program, r.args);
    }
}

void sup_reconcile_children() {
    for (const child_rule &r : k_rules) {
        if (!r.section && strcmp(r.name, "driver") != 0) continue;
        bool need = rule_required(r);
        int idx = sup_child_find(r.name);
        if (idx >= 0 && !need) {
            sup_log("[zqsup] config.yaml більше не вимагає %s — зупиняю\n", r.name);
            sup_stop_one(&g_ch[idx]);
            sup_child_remove(idx);
        } else if (idx < 0 && need) {
            int n = sup_child_add(r.name, r.program, r.args);
            if (n >= 0) {
                sup_log("[zqsup] config.yaml тепер вимагає %s — стартую\n", r.name);
                sup_start_one(&g_ch[n]);
            }
        }
    }
}

void sup_print_status() {
    sup_log("[zqsup] status:\n");
    for (int i = 0; i < g_n_ch; i++) {
        if (g_ch[i].pid > 0) {
            printf("  %-12s  pid=%-6d  running\n", g_ch[i].name, int(g_ch[i].pid));
        } else {
            printf("  %-12s  stopped\n", g_ch[i].name);
        }
    }
    fflush(stdout);
}

bool sup_config_text_has_top_section(const char *text, const char *name) {
    if (!text || !name) return false;
    std::string want = std::string(name) + ":";
    const char *p = text;
    while (*p) {
        const char *eol = strchr(p, '\n');
        size_t len = eol ? size_t(eol - p) : strlen(p);
        // Only the first 511 bytes of a line count; the rest of a longer line
        // is not taken for a line of its own.
        std::string line(p, len < 511 ? len : 511);
        p = eol ? eol + 1 : p + len;
        if (line.empty() || line[0] == ' ' || line[0] == '\t' || line[0] == '#') continue;
        size_t cut = line.find_first_of(" #\r\n");
        if (cut != std::string::npos) line.resize(cut);
        if (line == want) return true;
    }
    return false;
}

bool sup_config_has_top_section(const char *name) {
    int fd = open("./config.yaml", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, size_t(n));
        if (text.size() > (64u << 20)) break;  // config.yaml is never this big
    }
    close(fd);
    return sup_config_text_has_top_section(text.c_str(), name);
}
