// Project archives: settings, schedule, the tar child and its end, the
// latest copy and pruning.

#include "sup_backup.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/local_time.h"
#include "common/parse_util.h"
#include "common/test_clock.h"
#include "common/yaml.h"
#include "sup.h"

// ---- pure parts ----------------------------------------------------------

bool sup_backup_parse_schedule(const char *text, int *hh, int *mm) {
    int h, m;
    if (!text || sscanf(text, "%d:%d", &h, &m) != 2 || h < 0 || m < 0) return false;
    *hh = h > 23 ? 2 : h;
    *mm = m > 59 ? 0 : m;
    return true;
}

namespace {

bool truthy(const json_node *n) {
    if (!n) return false;
    if (n->type == JSON_STRING) {
        const char *s = n->string;
        return strcmp(s, "true") == 0 || strcmp(s, "yes") == 0 || strcmp(s, "on") == 0 ||
               strcmp(s, "1") == 0;
    }
    return json_bool_of(n, 0) != 0;
}

bool all_digits(const char *s, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

}  // namespace

void sup_backup_cfg_from_tree(const json_node *root, sup_backup_cfg *cfg) {
    const json_node *sec = json_get(root, "backup");
    if (!sec || sec->type != JSON_OBJECT) {
        cfg->enabled = false;
        return;
    }
    cfg->enabled = truthy(json_get(sec, "enabled"));
    const char *dir = json_gets(sec, "dir", nullptr);
    if (dir && *dir && strlen(dir) <= 4095) cfg->dir = dir;
    const json_node *sched = json_get(sec, "schedule");
    if (sched && sched->type == JSON_STRING)
        sup_backup_parse_schedule(sched->string, &cfg->hh, &cfg->mm);
    const json_node *keep = json_get(sec, "keep");
    if (keep) {
        long long k = keep->type == JSON_STRING ? atoll(keep->string) : json_int_of(keep, 30);
        cfg->keep = k < 1 ? 1 : k > 9999 ? 9999 : int(k);
    }
}

int sup_backup_name_ymd(const char *name, const char *project) {
    // YYYYMMDD_HHMMSS_ is 16 bytes, then the project, then ".tar.gz".
    size_t n = strlen(name), p = strlen(project);
    if (p == 0 || n != 16 + p + 7) return 0;
    if (!all_digits(name, 8) || name[8] != '_' || !all_digits(name + 9, 6) || name[15] != '_')
        return 0;
    if (memcmp(name + 16, project, p) != 0 || strcmp(name + 16 + p, ".tar.gz") != 0) return 0;
    return atoi(std::string(name, 8).c_str());
}

bool sup_backup_is_tmp_name(const char *name, const char *project) {
    size_t n = strlen(name);
    if (n < 4 || strcmp(name + n - 4, ".tmp") != 0) return false;
    std::string base(name, n - 4);
    return sup_backup_name_ymd(base.c_str(), project) != 0 ||
           base == std::string(project) + "_latest.tar.gz";
}

int sup_backup_newest_ymd(const std::vector<std::string> &names, const char *project) {
    int best = 0;
    for (const std::string &n : names)
        best = std::max(best, sup_backup_name_ymd(n.c_str(), project));
    return best;
}

bool sup_backup_due(const sup_backup_cfg &cfg, int last_ymd, const struct tm &now) {
    if (!cfg.enabled) return false;
    int ymd = (now.tm_year + 1900) * 10000 + (now.tm_mon + 1) * 100 + now.tm_mday;
    if (ymd == last_ymd) return false;
    return now.tm_hour * 60 + now.tm_min >= cfg.hh * 60 + cfg.mm;
}

std::vector<std::string> sup_backup_prune_list(const std::vector<std::string> &names,
                                               const char *project, int keep,
                                               const std::string &just_made) {
    if (keep < 1) keep = 1;
    std::vector<std::string> ours;
    for (const std::string &n : names)
        if (n != just_made && sup_backup_name_ymd(n.c_str(), project)) ours.push_back(n);
    std::sort(ours.begin(), ours.end());
    // The new archive takes one of the places kept, wherever its name sorts.
    size_t total = ours.size() + (just_made.empty() ? 0 : 1);
    size_t drop = total > size_t(keep) ? total - size_t(keep) : 0;
    if (drop > ours.size()) drop = ours.size();
    return std::vector<std::string>(ours.begin(), ours.begin() + long(drop));
}

sup_tar_verdict sup_backup_tar_verdict(int st, int *rc) {
    if (WIFEXITED(st)) {
        *rc = WEXITSTATUS(st);
        if (*rc == 0) return SUP_TAR_OK;
        return *rc == 1 ? SUP_TAR_WARN : SUP_TAR_FAIL;
    }
    *rc = -1;
    return SUP_TAR_FAIL;
}

std::string sup_backup_inner_dir(const std::string &backup_real, const std::string &project_real,
                                 const std::vector<std::string> &archived) {
    std::string base = project_real;
    if (base.size() > 1 && base.back() == '/') base.pop_back();
    if (backup_real.size() <= base.size() + 1 || backup_real.compare(0, base.size(), base) != 0 ||
        backup_real[base.size()] != '/')
        return "";
    std::string rel = backup_real.substr(base.size() + 1);
    for (const std::string &a : archived) {
        if (rel == a ||
            (rel.size() > a.size() && rel.compare(0, a.size(), a) == 0 && rel[a.size()] == '/'))
            return rel;
    }
    return "";
}

std::vector<std::string> sup_backup_tar_argv(const std::vector<std::string> &paths,
                                             const std::string &inner) {
    std::vector<std::string> v = {"tar",
                                  "czf",
                                  "-",
                                  "--exclude=*.import",
                                  "--exclude=*.req",
                                  "--exclude=calc/calc_state.json",
                                  "--exclude=mqtt/status.json",
                                  "--exclude=opcua/status.json",
                                  "--exclude=alarm/alarms_active.json"};
    if (!inner.empty()) {
        v.push_back("--anchored");
        if (std::find(paths.begin(), paths.end(), inner) != paths.end()) {
            // The folder is itself archived (logs, say): leave out only the archives.
            std::string esc;
            for (char ch : inner) {
                if (strchr("*?[]\\", ch)) esc += '\\';
                esc += ch;
            }
            v.push_back("--exclude=" + esc + "/*.tar.gz");
            v.push_back("--exclude=" + esc + "/*.tar.gz.tmp");
        } else {
            // Literal: exactly this folder, whatever its name holds.
            v.push_back("--no-wildcards");
            v.push_back("--exclude=" + inner);
        }
    }
    v.push_back("-C");
    v.push_back(".");
    // "--" so a path can never be taken for an option.
    v.push_back("--");
    v.insert(v.end(), paths.begin(), paths.end());
    return v;
}

std::vector<std::string> sup_backup_collect_paths() {
    static const char *const k_paths[] = {
        "config.yaml",     "channels.json", "ip_names.json", "zqbridge.ini", "zqbridge.a.base",
        "zqbridge.d.base", "www",           "calc",          "mqtt",         "alarm",
        "opcua",           "logs"};
    std::vector<std::string> v;
    struct stat st;
    for (const char *p : k_paths)
        if (lstat(p, &st) == 0) v.push_back(p);
    return v;
}

// ---- the supervisor's side -----------------------------------------------

namespace {

struct backup_job {
    pid_t pid = 0;
    bool ended = false;
    int status = 0;
    int err_fd = -1;
    std::string err;  // tar's first complaints
    int64_t mono_start = 0;
    std::string dir, tmp, final_path, name, label;
    int n_paths = 0;
    int ymd = 0;
    bool scheduled = false;
};

sup_backup_cfg g_cfg;
int g_last_ymd = 0;
int64_t g_retry_after = 0;  // monotonic ms; 0: no failed scheduled backup waiting
backup_job g_job;
zq_test_clock g_clock;
bool g_clock_read = false;

int64_t now_ms() {
    if (!g_clock_read) {
        // Tests move the schedule's clock; everything else keeps the real one.
        zq_test_clock_from_env(&g_clock, "ZQSUP_CLOCK");
        g_clock_read = true;
    }
    return zq_test_clock_now_ms(&g_clock);
}

// Monotonic intervals of the schedule run at the test clock's speed too.
int64_t scaled(int64_t ms) {
    double s = g_clock.speed > 0 ? g_clock.speed : 1.0;
    return int64_t(double(ms) / s);
}

int64_t max_run_ms() {
    const char *e = getenv("ZQSUP_BACKUP_MAX_S");
    long long s = e ? atoll(e) : 0;
    return s > 0 ? s * 1000 : SUP_BACKUP_MAX_MS;
}

std::vector<std::string> list_names(const std::string &dir) {
    std::vector<std::string> v;
    DIR *d = opendir(dir.c_str());
    if (!d) return v;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] != '.') v.push_back(e->d_name);
    }
    closedir(d);
    return v;
}

void schedule_retry(bool scheduled) {
    if (!scheduled) return;
    g_retry_after = sup_mono_ms() + scaled(SUP_BACKUP_RETRY_MS);
    if (g_retry_after == 0) g_retry_after = 1;
    sup_log("[zqsup] backup: наступна спроба через %d хв\n", int(SUP_BACKUP_RETRY_MS / 60000));
}

void drain_err() {
    if (g_job.err_fd < 0) return;
    char buf[4096];
    for (;;) {
        ssize_t n = read(g_job.err_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) {
                close(g_job.err_fd);
                g_job.err_fd = -1;
            }
            return;
        }
        if (g_job.err.size() < 2048) g_job.err.append(buf, size_t(n));
    }
}

// tar's first message line, fit for a log line.
std::string first_err_line() {
    std::string s = g_job.err.substr(0, g_job.err.find('\n'));
    if (s.size() > 300) s.resize(300);
    for (char &c : s)
        if ((unsigned char)c < 0x20) c = ' ';
    return s;
}

void job_reset() {
    if (g_job.err_fd >= 0) close(g_job.err_fd);
    g_job = backup_job();
}

// Copies src to dst (new file, mode 0600) in 64 KiB blocks.
bool copy_file(const std::string &src, const std::string &dst) {
    int in = open(src.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0) return false;
    int out = open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    bool ok = out >= 0;
    static char buf[65536];
    while (ok) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        for (ssize_t off = 0; ok && off < n;) {
            ssize_t w = write(out, buf + off, size_t(n - off));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) ok = false;
            off += w > 0 ? w : 0;
        }
    }
    if (out >= 0 && close(out) != 0) ok = false;
    close(in);
    return ok;
}

// The latest copy: a hard link where the file system has them (no second
// copy of a large archive, no long stall of the main loop), else a copy.
void refresh_latest() {
    std::string latest = g_job.dir + "/" + g_project_name + "_latest.tar.gz";
    std::string tmp = latest + ".tmp";
    unlink(tmp.c_str());
    bool ok = link(g_job.final_path.c_str(), tmp.c_str()) == 0 || copy_file(g_job.final_path, tmp);
    if (ok) ok = rename(tmp.c_str(), latest.c_str()) == 0;
    if (!ok) {
        unlink(tmp.c_str());
        sup_log("[zqsup] backup: latest-копія не вдалася\n");
    }
}

void prune() {
    std::vector<std::string> names = list_names(g_job.dir);
    for (const std::string &n :
         sup_backup_prune_list(names, g_project_name.c_str(), g_cfg.keep, g_job.name)) {
        std::string p = g_job.dir + "/" + n;
        if (unlink(p.c_str()) == 0)
            sup_log("[zqsup] backup prune: %s\n", n.c_str());
        else
            sup_log("[zqsup] backup prune: %s: %s\n", n.c_str(), strerror(errno));
    }
}

void finish(bool capped) {
    drain_err();
    int rc = -1;
    sup_tar_verdict v = capped ? SUP_TAR_FAIL : sup_backup_tar_verdict(g_job.status, &rc);
    if (v == SUP_TAR_FAIL) {
        // Gone before it is reported: whoever reads the message finds no half archive.
        unlink(g_job.tmp.c_str());
        if (capped) {
            sup_log("[zqsup] backup: tar працює понад %lld с — зупинено, архів не створено\n",
                    (long long)(max_run_ms() / 1000));
        } else {
            sup_log("[zqsup] backup: tar rc=%d — архів не створено\n", rc);
            if (!g_job.err.empty()) sup_log("[zqsup] backup: %s\n", first_err_line().c_str());
        }
        schedule_retry(g_job.scheduled);
        job_reset();
        return;
    }
    if (v == SUP_TAR_WARN)
        sup_log(
            "[zqsup] backup: tar rc=1 (файли змінювалися під час читання), архів збережено: %s\n",
            first_err_line().c_str());
    if (rename(g_job.tmp.c_str(), g_job.final_path.c_str()) != 0) {
        int e = errno;
        unlink(g_job.tmp.c_str());
        sup_log("[zqsup] backup: rename: %s\n", strerror(e));
        schedule_retry(g_job.scheduled);
        job_reset();
        return;
    }
    refresh_latest();
    struct stat st;
    long kib = stat(g_job.final_path.c_str(), &st) == 0 ? long(st.st_size / 1024) : 0;
    sup_log("[zqsup] backup OK (%s): %s (%ld КБ, %d поз.)\n", g_job.label.c_str(),
            g_job.name.c_str(), kib, g_job.n_paths);
    g_last_ymd = g_job.ymd;
    g_retry_after = 0;
    prune();
    job_reset();
}

// Child side of the fork: tar in its own process group at a lower
// priority, output to the archive, messages to the pipe.
[[noreturn]] void exec_tar(const std::vector<std::string> &args, int out_fd, int err_fd) {
    setpgid(0, 0);
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) dup2(null_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    for (int sig : {SIGINT, SIGPIPE, SIGTTIN, SIGTERM, SIGQUIT, SIGUSR1, SIGUSR2, SIGCHLD})
        signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    syscall(SYS_close_range, 3u, ~0u, 0u);
    if (nice(10) < 0) {
        // Lower priority is a courtesy to the stack; go on without it.
    }
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execvp("tar", argv.data());
    dprintf(2, "exec tar: %s\n", strerror(errno));
    _exit(127);
}

void start(const char *label, bool scheduled) {
    struct tm lt;
    if (!zq_epoch_local(now_ms() / 1000, &lt)) return;
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y%m%d_%H%M%S", &lt);
    backup_job j;
    j.label = label;
    j.scheduled = scheduled;
    j.ymd = (lt.tm_year + 1900) * 10000 + (lt.tm_mon + 1) * 100 + lt.tm_mday;
    j.dir = g_cfg.dir;
    if (zq_mkdirs(j.dir.c_str(), 0775) != 0) {
        sup_log("[zqsup] backup: mkdir %s: %s\n", j.dir.c_str(), strerror(errno));
        return schedule_retry(scheduled);
    }
    std::vector<std::string> paths = sup_backup_collect_paths();
    if (paths.empty()) {
        sup_log("[zqsup] backup: нема що архівувати\n");
        return schedule_retry(scheduled);
    }
    char real[PATH_MAX];
    std::string inner;
    if (realpath(j.dir.c_str(), real)) inner = sup_backup_inner_dir(real, g_base_dir, paths);
    j.n_paths = int(paths.size());
    j.name = std::string(stamp) + "_" + g_project_name + ".tar.gz";
    j.final_path = j.dir + "/" + j.name;
    j.tmp = j.final_path + ".tmp";
    // Created 0600 here, not by tar: archives hold passwords.
    int out = open(j.tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) {
        sup_log("[zqsup] backup: %s: %s\n", j.tmp.c_str(), strerror(errno));
        return schedule_retry(scheduled);
    }
    fchmod(out, 0600);
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
        sup_log("[zqsup] backup: pipe: %s\n", strerror(errno));
        close(out);
        unlink(j.tmp.c_str());
        return schedule_retry(scheduled);
    }
    std::vector<std::string> args = sup_backup_tar_argv(paths, inner);
    pid_t pid = fork();
    if (pid == 0) exec_tar(args, out, p[1]);
    close(out);
    close(p[1]);
    if (pid < 0) {
        sup_log("[zqsup] backup: fork: %s\n", strerror(errno));
        close(p[0]);
        unlink(j.tmp.c_str());
        return schedule_retry(scheduled);
    }
    setpgid(pid, pid);  // also here: no window in which a kill of the group misses it
    fcntl(p[0], F_SETFL, fcntl(p[0], F_GETFL) | O_NONBLOCK);
    j.pid = pid;
    j.err_fd = p[0];
    j.mono_start = sup_mono_ms();
    g_job = std::move(j);
    sup_log("[zqsup] backup (%s): tar pid=%d → %s\n", label, int(pid), g_job.final_path.c_str());
}

}  // namespace

void sup_backup_load(bool first) {
    json_ptr root(yaml_parse_file("./config.yaml"));
    // An unreadable file says nothing about the settings: keep them.
    if (root) sup_backup_cfg_from_tree(root.get(), &g_cfg);
    if (!first) return;
    std::vector<std::string> names = list_names(g_cfg.dir);
    g_last_ymd = sup_backup_newest_ymd(names, g_project_name.c_str());
    for (const std::string &n : names) {
        if (!sup_backup_is_tmp_name(n.c_str(), g_project_name.c_str())) continue;
        std::string p = g_cfg.dir + "/" + n;
        if (unlink(p.c_str()) == 0) sup_log("[zqsup] backup: removed leftover %s\n", n.c_str());
    }
}

bool sup_backup_running() {
    return g_job.pid > 0;
}

bool sup_backup_reaped(pid_t pid, int wait_status) {
    if (g_job.pid <= 0 || pid != g_job.pid || g_job.ended) return false;
    g_job.ended = true;
    g_job.status = wait_status;
    return true;
}

void sup_backup_tick() {
    if (g_job.pid > 0) {
        drain_err();
        if (!g_job.ended) {
            int st = 0;
            pid_t r = waitpid(g_job.pid, &st, WNOHANG);
            if (r == g_job.pid) sup_backup_reaped(r, st);
        }
        if (!g_job.ended && sup_mono_ms() - g_job.mono_start > max_run_ms()) {
            kill(-g_job.pid, SIGKILL);
            int st;
            while (waitpid(g_job.pid, &st, 0) < 0 && errno == EINTR) {
            }
            g_job.ended = true;
            return finish(true);
        }
        // A request made meanwhile waits for this one and is taken after it.
        if (g_job.ended) finish(false);
        return;
    }
    struct stat st;
    if (lstat("./backup.req", &st) == 0) {
        unlink("./backup.req");
        return start("ручний", false);
    }
    if (g_retry_after && sup_mono_ms() < g_retry_after) return;
    struct tm lt;
    if (!zq_epoch_local(now_ms() / 1000, &lt)) return;
    if (sup_backup_due(g_cfg, g_last_ymd, lt)) start("розклад", true);
}

void sup_backup_stop() {
    if (g_job.pid <= 0) return;
    if (!g_job.ended) {
        kill(-g_job.pid, SIGTERM);
        int64_t deadline = sup_mono_ms() + 2000;
        int st = 0;
        for (;;) {
            pid_t r = waitpid(g_job.pid, &st, WNOHANG);
            if (r == g_job.pid || (r < 0 && errno != EINTR)) break;
            if (sup_mono_ms() > deadline) {
                kill(-g_job.pid, SIGKILL);
                while (waitpid(g_job.pid, &st, 0) < 0 && errno == EINTR) {
                }
                break;
            }
            usleep(20000);
        }
    }
    // gzip and whatever else tar started share its group.
    kill(-g_job.pid, SIGKILL);
    unlink(g_job.tmp.c_str());
    sup_log("[zqsup] backup перервано зупинкою: %s не створено\n", g_job.name.c_str());
    job_reset();
}
