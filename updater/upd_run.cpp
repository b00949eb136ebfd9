#include "updater/upd_run.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/cfg_augment.h"
#include "common/json.h"
#include "common/version.h"
#include "updater/upd_extract.h"
#include "updater/upd_fs.h"

namespace {

constexpr int KEEP_SNAPSHOTS = 15;
const char TMP_PREFIX[] = "/tmp/zqupd_";

struct ctx {
    upd_options opt;
    uid_t caller = 0;
    std::string target;
    int target_fd = -1;
    std::string log_path = "/var/log/zqupdate.log";
    std::string version;  // from the manifest
    std::string step;
    upd_archive ar;
    std::string archive_name;  // basename in /tmp when it is a server temp file
    std::string stage;         // staging folder, removed at the end
    std::string snapshot;      // taken before replacing: restored on failure
    bool replacing = false;
};

std::string fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *f, ...) {
    char buf[2048];
    va_list ap;
    va_start(ap, f);
    vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

void log_line(ctx &c, const std::string &msg) {
    int fd = open(c.log_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640);
    if (fd < 0) return;
    char ts[32];
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    strftime(ts, sizeof ts, "%Y-%m-%d %H:%M:%S", &tm);
    std::string line = fmt("%s uid=%d ", ts, (int)c.caller) + msg + "\n";
    upd_write_all(fd, line.data(), line.size());
    close(fd);
}

void status(ctx &c, const char *state, const std::string &step, const std::string &msg) {
    if (c.target_fd < 0) return;
    c.step = step;
    std::string text = "{\"state\":\"" + std::string(state) + "\",\"step\":\"" +
                       json_escape_str(step) + "\",\"msg\":\"" + json_escape_str(msg) +
                       "\",\"version\":\"" + json_escape_str(c.version) +
                       "\",\"ts\":" + std::to_string((long long)time(nullptr)) + "}\n";
    unlinkat(c.target_fd, "update.status.tmp", 0);
    int fd = openat(c.target_fd, "update.status.tmp",
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return;
    bool ok =
        upd_write_all(fd, text.data(), text.size()) && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
    close(fd);
    if (ok) renameat(c.target_fd, "update.status.tmp", c.target_fd, "update.status");
}

// Runs /usr/bin/<tool> or /bin/<tool> as root (when we are); true only on
// a normal exit with status 0.
// in_fd / out_fd (when not -1) become its standard input / output: tar
// reads and writes our descriptors, never a path that could be swapped.
bool run_tool(const char *tool, std::vector<std::string> args, int *rc_out = nullptr,
              int in_fd = -1, int out_fd = -1) {
    std::string path = std::string("/usr/bin/") + tool;
    if (access(path.c_str(), X_OK) != 0) path = std::string("/bin/") + tool;
    if (access(path.c_str(), X_OK) != 0) {
        if (rc_out) *rc_out = 127;
        return false;
    }
    args.insert(args.begin(), path);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(0) != 0 || setuid(0) != 0)) _exit(126);
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) dup2(in_fd >= 0 ? in_fd : null, 0);
        if (out_fd >= 0) dup2(out_fd, 1);
        char *envp[] = {(char *)"PATH=/usr/sbin:/usr/bin:/sbin:/bin", nullptr};
        execve(argv[0], argv.data(), envp);
        _exit(127);
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (rc_out) *rc_out = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

std::vector<std::string> list_dir(int dir_fd) {
    std::vector<std::string> names;
    int fd = fcntl(dir_fd, F_DUPFD_CLOEXEC, 3);
    DIR *d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!d) {
        if (fd >= 0) close(fd);
        return names;
    }
    // The duplicate shares the position of dir_fd: an earlier listing left
    // it at the end.
    rewinddir(d);
    while (struct dirent *de = readdir(d))
        if (strcmp(de->d_name, ".") && strcmp(de->d_name, "..")) names.push_back(de->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool ends_with(const std::string &s, const char *tail) {
    size_t n = strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

int open_updates(ctx &c, bool create) {
    if (create && mkdirat(c.target_fd, "updates", 0755) != 0 && errno != EEXIST) return -1;
    return openat(c.target_fd, "updates", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// A gzip'd tar of the target from our own trusted tree; mode 0600 because
// it may hold files the operators should not read.
bool snapshot(ctx &c, const char *kind, std::string *name_out) {
    int up = open_updates(c, true);
    if (up < 0) return false;
    char stamp[32];
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    strftime(stamp, sizeof stamp, "%Y%m%d_%H%M%S", &tm);
    std::string name = fmt("%s_zqstack_%s.tar.gz", stamp, kind);
    // Two snapshots within one second must not overwrite each other.
    for (int i = 2; faccessat(up, name.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0 && i < 100; i++)
        name = fmt("%s-%d_zqstack_%s.tar.gz", stamp, i, kind);
    std::string tmp = name + ".part";
    unlinkat(up, tmp.c_str(), 0);
    int fd = openat(up, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    ok = ok &&
         run_tool("tar",
                  {"-czf", "-", "-C", c.target, "--exclude=./updates", "--exclude=./update.status",
                   "--exclude=./update.lock", "--exclude=./*.new", "--exclude=./*.old",
                   "--exclude=./*.rbk", "--exclude=./*.tmp", "--exclude=./channels.json", "."},
                  nullptr, -1, fd);
    // The snapshot is what a failed install is restored from: on disk first.
    if (fd >= 0) ok = fsync(fd) == 0 && close(fd) == 0 && ok;
    ok = ok && renameat(up, tmp.c_str(), up, name.c_str()) == 0;
    if (!ok) unlinkat(up, tmp.c_str(), 0);
    if (ok) {
        std::vector<std::string> snaps;
        for (const std::string &n : list_dir(up))
            if (ends_with(n, ".tar.gz")) snaps.push_back(n);
        for (size_t i = 0; i + KEEP_SNAPSHOTS < snaps.size(); i++) {
            unlinkat(up, snaps[i].c_str(), 0);
            log_line(c, "prune old snapshot: " + snaps[i]);
        }
        *name_out = name;
    }
    close(up);
    return ok;
}

void clean_litter(ctx &c) {
    for (const std::string &n : list_dir(c.target_fd))
        if (n.size() >= 5 && (ends_with(n, ".old") || ends_with(n, ".new") ||
                              ends_with(n, ".rbk") || ends_with(n, ".tmp"))) {
            upd_remove_tree(c.target_fd, n.c_str());
            log_line(c, "cleanup litter: " + n);
        }
}

bool is_config(const std::string &n) {
    return ends_with(n, ".conf") || ends_with(n, ".yaml") || ends_with(n, ".yml");
}

// The package makes the set-user-ID programs 04750 root:<service group> so
// only the stack's group may run them; a plain 04755 copy would open the
// updater to every local user until the next package install.
bool keep_setuid_group(int dir_fd, const char *name, const struct stat &old) {
    if (old.st_uid != 0 || !(old.st_mode & S_ISUID)) return true;
    int fd = openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    mode_t m = (old.st_mode & 07777 & ~(mode_t)(S_IWGRP | S_IWOTH)) | S_ISUID;
    bool ok = fchown(fd, 0, old.st_gid) == 0 && fchmod(fd, m) == 0;
    close(fd);
    return ok;
}

// Puts every top-level entry of src_fd in place: folders swapped in
// atomically, files renamed over the installed ones. A release's
// configuration files only augment the installed ones; a snapshot's are
// put back as they were.
bool apply_tree(ctx &c, int src_fd, const std::string &src_path, std::string *err,
                bool restoring = false) {
    for (const std::string &n : list_dir(src_fd)) {
        if (n[0] == '.' || n == "dist_manifest.json" || n == "dist_manifest.sig" ||
            n == "updates" || n == "update.status" || n == "update.lock")
            continue;
        struct stat st, old;
        if (fstatat(src_fd, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        bool have_old = fstatat(c.target_fd, n.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
        if (have_old && S_ISLNK(old.st_mode)) {
            *err = "не вдалося поставити новий файл на місце";
            log_line(c, "ERROR symlink at destination: " + n);
            return false;
        }
        std::string nn = n + ".new";
        upd_remove_tree(c.target_fd, nn.c_str());
        if (S_ISDIR(st.st_mode)) {
            std::string why;
            if (!upd_copy_tree(src_fd, n.c_str(), c.target_fd, nn.c_str(), 0644, &why)) {
                log_line(c, "ERROR " + why);
                upd_remove_tree(c.target_fd, nn.c_str());
                *err = "копіювання нової версії не вдалося";
                return false;
            }
            bool ok = have_old ? renameat2(c.target_fd, nn.c_str(), c.target_fd, n.c_str(),
                                           RENAME_EXCHANGE) == 0
                               : renameat(c.target_fd, nn.c_str(), c.target_fd, n.c_str()) == 0;
            if (!ok) {
                upd_remove_tree(c.target_fd, nn.c_str());
                *err = "не вдалося поставити нову версію на місце";
                return false;
            }
            upd_remove_tree(c.target_fd, nn.c_str());  // the old tree, swapped out
            log_line(c, "dir " + src_path + "/" + n + " → " + c.target + "/" + n);
            continue;
        }
        if (!S_ISREG(st.st_mode)) continue;
        if (is_config(n) && have_old && !restoring) {
            std::string cur = c.target + "/" + n, tmpl = src_path + "/" + n;
            int r = S_ISREG(old.st_mode) ? config_augment_files(cur.c_str(), tmpl.c_str())
                                         : CFG_AUG_FAILED;
            log_line(c, r == CFG_AUG_ADDED
                            ? "config kept: " + n + " (+ дописано нові секції з шаблону)"
                            : "config kept: " + n + " (не перезаписуємо)");
            continue;
        }
        mode_t mode = 0755;
        if (n == "zqnet" || n == "zqupdate" || (have_old && (old.st_mode & S_ISUID))) mode = 04755;
        if (is_config(n)) mode = 0644;
        std::string why;
        if (!upd_copy_tree(src_fd, n.c_str(), c.target_fd, nn.c_str(), mode, &why)) {
            log_line(c, "ERROR " + why);
            upd_remove_tree(c.target_fd, nn.c_str());
            *err = "копіювання файла не вдалося";
            return false;
        }
        if (mode & S_ISUID && have_old && !keep_setuid_group(c.target_fd, nn.c_str(), old)) {
            upd_remove_tree(c.target_fd, nn.c_str());
            *err = "копіювання файла не вдалося";
            return false;
        }
        if (renameat(c.target_fd, nn.c_str(), c.target_fd, n.c_str()) != 0) {
            upd_remove_tree(c.target_fd, nn.c_str());
            *err = "не вдалося поставити новий файл на місце";
            return false;
        }
        log_line(c, "file " + src_path + "/" + n + " → " + c.target + "/" + n);
    }
    fsync(c.target_fd);
    return true;
}

// Names of the target that a snapshot never holds, so their absence from
// one says nothing.
bool kept_on_restore(const std::string &n) {
    return n[0] == '.' || n == "updates" || n == "update.status" || n == "update.lock" ||
           n == "update.inprogress" || n == "channels.json" || n == "zqupdate";
}

// The snapshot lists everything the installation held when it was taken:
// whatever the target holds beyond that came with a later update and goes.
void drop_added(ctx &c, int snap_fd) {
    std::vector<std::string> had = list_dir(snap_fd);
    for (const std::string &n : list_dir(c.target_fd)) {
        if (kept_on_restore(n) || std::binary_search(had.begin(), had.end(), n)) continue;
        if (upd_remove_tree(c.target_fd, n.c_str()))
            log_line(c, "removed (not in snapshot): " + n);
        else
            log_line(c, "WARN could not remove " + n + " (not in snapshot)");
    }
}

// Only root-owned (or, for a developer's install, our own) snapshots that
// nobody else may have written are trusted enough to hand to tar.
bool restore_snapshot(ctx &c, const std::string &name, std::string *err) {
    int up = open_updates(c, false);
    int fd = up >= 0 ? openat(up, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : -1;
    if (up >= 0) close(up);
    struct stat st;
    if (fd < 0) {
        log_line(c, "snapshot " + name + " нема в " + c.target + "/updates — пропущено");
        return true;
    }
    bool trusted = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                   (st.st_uid == 0 || st.st_uid == geteuid()) && !(st.st_mode & 022);
    if (!trusted) {
        close(fd);
        *err = "знімок «" + name + "» не належить root — відхилено";
        return false;
    }
    char dir[] = "/tmp/zqrollback.XXXXXX";
    if (!mkdtemp(dir)) {
        close(fd);
        *err = "mkdtemp (rollback)";
        return false;
    }
    bool ok = run_tool("tar", {"-xzf", "-", "-C", dir, "--no-same-owner", "--no-same-permissions"},
                       nullptr, fd);
    close(fd);
    if (!ok) *err = "розпакування знімка не вдалося";
    int dfd = ok ? open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
    if (ok) {
        clean_litter(c);
        if (dfd >= 0) drop_added(c, dfd);
        ok = dfd >= 0 && apply_tree(c, dfd, dir, err, true);
    }
    if (dfd >= 0) close(dfd);
    upd_remove_tree(AT_FDCWD, dir);
    if (ok) log_line(c, "restored snapshot " + name + " → " + c.target);
    return ok;
}

void escape_cgroup(ctx &c) {
    if (c.opt.test_build) return;
    std::string pid = std::to_string(getpid());
    for (const char *p : {"/sys/fs/cgroup/cgroup.procs", "/sys/fs/cgroup/systemd/cgroup.procs"}) {
        int fd = open(p, O_WRONLY | O_CLOEXEC);
        bool ok = fd >= 0 && upd_write_all(fd, pid.data(), pid.size());
        if (fd >= 0) ok = close(fd) == 0 && ok;
        if (ok) {
            log_line(c, std::string("escaped to root cgroup via ") + p);
            return;
        }
    }
    log_line(c, "WARN could not escape cgroup — restart may kill the updater");
}

void restart_services(ctx &c) {
    status(c, "running", "перезапуск сервісів (заплановано)", "");
    // Older installs ran one zqstack-<project> unit each; the package's
    // template makes zqstack@<project> instances. try-restart takes both.
    const char *unit = "zqstack-*.service zqstack@*.service";
    if (c.opt.test_build) {
        log_line(c, std::string("try-restart ") + unit + " skipped (test build)");
        return;
    }
    int rc = 0;
    if (access("/usr/bin/systemd-run", X_OK) != 0 && access("/bin/systemd-run", X_OK) != 0) {
        log_line(c, std::string("systemd-run відсутній — прямий try-restart ") + unit);
    } else if (run_tool("systemd-run",
                        {"--collect", "--on-active=3", "systemctl", "try-restart",
                         "zqstack-*.service", "zqstack@*.service"},
                        &rc)) {
        log_line(c, fmt("systemd-run (on-active=3) try-restart %s rc=%d", unit, rc));
        return;
    } else {
        log_line(c, std::string("systemd-run впав — прямий try-restart ") + unit);
    }
    run_tool("systemctl", {"try-restart", "zqstack-*.service", "zqstack@*.service"}, &rc);
    log_line(c, fmt("systemctl try-restart %s rc=%d", unit, rc));
}

// Deletes the uploaded temp file only when /tmp/<name> is still the file
// we opened: a link swapped in meanwhile is never followed or removed.
void drop_archive(ctx &c) {
    if (c.archive_name.empty() || c.ar.fd < 0) return;
    int tmp = open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (tmp >= 0 && fstatat(tmp, c.archive_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode) && st.st_dev == c.ar.dev && st.st_ino == c.ar.ino)
        unlinkat(tmp, c.archive_name.c_str(), 0);
    if (tmp >= 0) close(tmp);
    c.archive_name.clear();
}

void drop_stage(ctx &c) {
    if (!c.stage.empty()) upd_remove_tree(AT_FDCWD, c.stage.c_str());
    c.stage.clear();
}

int fail(ctx &c, const std::string &msg) {
    fprintf(stderr, "zqupdate: %s\n", msg.c_str());
    log_line(c, "ERROR " + msg);
    drop_stage(c);
    if (c.replacing && !c.snapshot.empty()) {
        std::string err;
        c.replacing = false;
        log_line(c, "auto-restore from " + c.snapshot);
        if (!restore_snapshot(c, c.snapshot, &err)) log_line(c, "ERROR auto-restore: " + err);
    }
    if (c.target_fd >= 0) unlinkat(c.target_fd, "update.inprogress", 0);
    status(c, "error", c.step, msg);
    drop_archive(c);
    upd_archive_close(&c.ar);
    return 1;
}

bool name_chars_ok(const std::string &s, bool slash) {
    for (unsigned char ch : s)
        if (!isalnum(ch) && ch != '-' && ch != '.' && ch != '_' && !(slash && ch == '/'))
            return false;
    return true;
}

bool archive_path_ok(const std::string &p) {
    return !p.empty() && p[0] == '/' && p.size() <= 384 && p.find("..") == std::string::npos &&
           name_chars_ok(p, true);
}

bool product_ok(const char *p) {
    size_t n = strlen(p);
    if (n < 1 || n > 32) return false;
    for (size_t i = 0; i < n; i++)
        if (p[i] < 'a' || p[i] > 'z') return false;
    return true;
}

bool snapshot_name_ok(const std::string &s) {
    return s.size() >= 8 && s.size() <= 128 && ends_with(s, ".tar.gz") &&
           s.find("..") == std::string::npos && s[0] != '-' && name_chars_ok(s, false);
}

std::string installed_version(ctx &c) {
    int fd = openat(c.target_fd, "dist.version", O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return "";
    char buf[UPD_VERSION_MAX + 2];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    std::string v(buf, n > 0 ? (size_t)n : 0);
    while (!v.empty() && (v.back() == '\n' || v.back() == '\r'))
        v.pop_back();
    return v;
}

// Opens, extracts and verifies the archive; the staging folder stays for
// the install.
bool extract_verify(ctx &c, const std::string &path, const char *product, bool server_temp,
                    int *stage_fd, std::string *err) {
    status(c, "running", "розпакування", "");
    if (!upd_archive_open(path.c_str(), c.caller, &c.ar, err)) return false;
    if (server_temp) c.archive_name = path.substr(5);
    if (!upd_archive_find_marker(&c.ar, err)) return false;
    char dir[] = "/tmp/zqupdate.XXXXXX";
    if (!mkdtemp(dir)) {
        *err = "розпакування архіву не вдалося";
        return false;
    }
    c.stage = dir;
    *stage_fd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    upd_extracted ex;
    if (*stage_fd < 0 || !upd_extract(c.ar, *stage_fd, &ex, err)) return false;
    status(c, "running", "перевірка", "");
    if (!ex.have_manifest) {
        *err = "архів без dist_manifest.json — не наш дистрибутив";
        return false;
    }
    upd_sig sig;
    if (!ex.have_sig || !upd_parse_sig(ex.sig.data(), ex.sig.size(), &sig)) {
        *err = "архів без валідного підпису (dist_manifest.sig) — відхилено";
        return false;
    }
    const upd_key *key = nullptr;
    for (size_t i = 0; i < c.opt.nkeys; i++)
        if (sig.key_id == c.opt.keys[i].key_id) key = &c.opt.keys[i];
    if (!key) {
        *err = "невідомий ключ підпису key_id=" + sig.key_id + " — відхилено";
        return false;
    }
    if (!upd_verify_ed25519(key->pub, ex.manifest.data(), ex.manifest.size(), sig.sig)) {
        *err = "підпис не збігається — архів підроблено або пошкоджено";
        return false;
    }
    upd_manifest m;
    if (!upd_parse_manifest(ex.manifest.data(), ex.manifest.size(), product, &m, err)) return false;
    for (const upd_file &f : m.files) {
        auto it = ex.files.find(f.path);
        if (it == ex.files.end()) {
            *err = "файл «" + f.path + "» відсутній або нечитабельний";
            return false;
        }
        if (memcmp(it->second.data(), f.hash, 32) != 0) {
            *err = "файл «" + f.path + "» не збігається з маніфестом (підробка)";
            return false;
        }
    }
    if (ex.files.size() != m.files.size()) {
        *err = fmt("склад архіву не збігається з маніфестом (файлів %zu, у маніфесті %zu)",
                   ex.files.size(), m.files.size());
        return false;
    }
    c.version = m.version;
    log_line(c, fmt("manifest ok: product=%s version=%s files=%zu key_id=%s (signature verified)",
                    product, m.version.c_str(), m.files.size(), sig.key_id.c_str()));
    return true;
}

int do_update(ctx &c, bool full, const std::string &path, const char *product) {
    if (path.compare(0, sizeof TMP_PREFIX - 1, TMP_PREFIX) != 0 ||
        path.find('/', 5) != std::string::npos)
        return fail(c, "archive must be a server-created /tmp/zqupd_ temp");
    if (full)
        escape_cgroup(c);
    else
        log_line(c, "www update start: " + path + " (product=" + product + ")");
    std::string err;
    int stage_fd = -1;
    bool ok = extract_verify(c, path, product, true, &stage_fd, &err);
    struct stat st;
    if (ok) {
        const char *need = full ? "zqsup" : "www-sys";
        bool there = fstatat(stage_fd, need, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                     (full ? S_ISREG(st.st_mode) : S_ISDIR(st.st_mode));
        if (!there)
            err = full ? "в архіві нема zqsup — не повний стек"
                       : "в архіві нема www-sys/ — веб-оновлення незастосовне";
        ok = there;
    }
    std::string have = ok ? installed_version(c) : "";
    if (ok && !have.empty() && upd_version_cmp(c.version, have) < 0) {
        err = "версія " + c.version + " старша за встановлену " + have + " — відхилено";
        ok = false;
    }
    if (!ok) {
        if (stage_fd >= 0) close(stage_fd);
        return fail(c, err);
    }
    if (!snapshot(c, full ? "full" : "www", &c.snapshot)) {
        close(stage_fd);
        return fail(c, "не вдалося створити знімок (архів) стека");
    }
    // A run killed from here on is finished by the next run restoring this.
    unlinkat(c.target_fd, "update.inprogress", 0);
    int mfd = openat(c.target_fd, "update.inprogress",
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (mfd >= 0) {
        upd_write_all(mfd, c.snapshot.data(), c.snapshot.size());
        fsync(mfd);
        close(mfd);
    }
    c.replacing = true;
    clean_litter(c);
    if (full) {
        status(c, "running", "заміна файлів", "");
        ok = apply_tree(c, stage_fd, c.stage, &err);
    } else {
        status(c, "running", "заміна веб-файлів", "");
        int wfd = openat(stage_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        // Only www-sys is placed, whatever else the archive carries.
        int only = openat(stage_fd, "www-sys", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (only >= 0) close(only);
        char pick[] = "/tmp/zqupdate.XXXXXX";
        ok = wfd >= 0 && only >= 0 && mkdtemp(pick);
        int pfd = ok ? open(pick, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
        ok = ok && pfd >= 0 && renameat(stage_fd, "www-sys", pfd, "www-sys") == 0 &&
             apply_tree(c, pfd, pick, &err);
        if (err.empty() && !ok) err = "копіювання нової версії не вдалося";
        if (pfd >= 0) close(pfd);
        if (pick[14] != 'X') upd_remove_tree(AT_FDCWD, pick);
        if (wfd >= 0) close(wfd);
    }
    close(stage_fd);
    if (!ok) return fail(c, err);
    int vfd = openat(c.target_fd, "dist.version.tmp",
                     O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (vfd >= 0) {
        std::string v = c.version + "\n";
        bool w = upd_write_all(vfd, v.data(), v.size()) && fsync(vfd) == 0;
        close(vfd);
        if (w) renameat(c.target_fd, "dist.version.tmp", c.target_fd, "dist.version");
    }
    c.replacing = false;
    unlinkat(c.target_fd, "update.inprogress", 0);
    drop_stage(c);
    drop_archive(c);
    upd_archive_close(&c.ar);
    if (full) {
        restart_services(c);
        status(c, "ok", "готово", "стек оновлено до " + c.version + ", сервіси перезапущено");
        log_line(c, "full update done: version=" + c.version);
    } else {
        status(c, "ok", "готово", "веб-файли оновлено до " + c.version);
        log_line(c, "www update done: version=" + c.version);
    }
    return 0;
}

int do_rollback(ctx &c, const std::string &name) {
    escape_cgroup(c);
    std::string pre, err;
    if (!snapshot(c, "prerollback", &pre))
        return fail(c, "не вдалося створити знімок (архів) стека");
    status(c, "running", "відкат до знімка", "");
    if (!restore_snapshot(c, name, &err)) return fail(c, err);
    restart_services(c);
    status(c, "ok", "готово", "відкат до знімка «" + name + "» виконано, сервіси перезапущено");
    log_line(c, "rollback done: " + name);
    return 0;
}

// Set-user-ID hygiene before anything else runs.
void harden() {
    for (int fd = 0; fd < 3; fd++)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd) _exit(1);
    umask(022);
    struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    prctl(PR_SET_DUMPABLE, 0);
}

// A folder only root (or, unprivileged, its owner) may write.
bool safe_dir(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) &&
           (st.st_uid == 0 || st.st_uid == geteuid()) && !(st.st_mode & 022);
}

}  // namespace

int upd_main(int argc, char **argv, const upd_options &opt) {
    harden();
    ctx c;
    c.opt = opt;
    c.caller = getuid();
    if (geteuid() == 0 && setuid(0) != 0) return 1;
    if (opt.test_build && getenv("ZQUPD_LOG")) c.log_path = getenv("ZQUPD_LOG");
    clearenv();
    setenv("PATH", "/usr/sbin:/usr/bin:/sbin:/bin", 1);
    if (argc < 2) {
        fprintf(stderr, "usage: zqupdate <www|full|rollback|verify|license|restart> [args]\n");
        return 1;
    }
    std::string verb = argv[1];
    if (verb == "--version") {
        printf("zqupdate %s\n", zq_version_full());
        return 0;
    }
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) {
        fprintf(stderr, "zqupdate: /proc/self/exe?\n");
        return 1;
    }
    exe[n] = 0;
    c.target = std::string(exe).substr(0, std::string(exe).rfind('/'));
    if (c.target.empty()) c.target = "/";
    bool args3 = verb == "www" || verb == "full" || verb == "verify" || verb == "rollback";
    if (args3 && argc != 4) {
        fprintf(stderr, "usage: %s <%s> <product>\n", verb.c_str(),
                verb == "rollback" ? "snapshot" : "archive");
        return 1;
    }
    if (!args3 && verb != "restart") {
        fprintf(stderr, "zqupdate: unknown verb\n");
        return 1;
    }
    c.target_fd = open(c.target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (c.target_fd < 0 || !safe_dir(c.target_fd)) {
        c.target_fd = -1;
        return fail(c, "каталог встановлення доступний на запис не лише root — відмова");
    }
    int up = open_updates(c, false);
    bool up_ok = up < 0 ? errno == ENOENT : safe_dir(up);
    if (up >= 0) close(up);
    if (!up_ok) return fail(c, "каталог updates доступний на запис не лише root — відмова");
    if (verb == "restart") {
        escape_cgroup(c);
        log_line(c, "stack restart requested (web)");
        restart_services(c);
        printf("{\"ok\":true,\"msg\":\"перезапуск стека заплановано (~3 с)\"}\n");
        return 0;
    }
    std::string arg = argv[2];
    if (!product_ok(argv[3])) return fail(c, "bad product");
    if (verb == "rollback" ? !snapshot_name_ok(arg) : !archive_path_ok(arg))
        return fail(c, verb == "rollback" ? "bad snapshot name" : "bad archive path");
    if (verb == "verify") {
        std::string err;
        int stage_fd = -1;
        ctx v = c;
        v.target_fd = -1;  // verifying never touches the installation's status
        bool ok = extract_verify(v, arg, argv[3], false, &stage_fd, &err);
        if (stage_fd >= 0) close(stage_fd);
        if (!ok) return fail(v, err);
        drop_stage(v);
        upd_archive_close(&v.ar);
        printf("OK: підпис і цілісність архіву в нормі (product=%s version=%s)\n", argv[3],
               v.version.c_str());
        return 0;
    }
    // One run at a time; the lock lives as long as the process.
    int lock = openat(c.target_fd, "update.lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    // A run that has just written its final status may still hold the lock
    // for a moment: the server starts the next one as soon as it reads it.
    bool locked = false;
    for (int i = 0; lock >= 0 && i < 50 && !(locked = flock(lock, LOCK_EX | LOCK_NB) == 0); i++)
        usleep(100000);
    if (!locked) {
        // The running update's status and marker are not ours to touch.
        c.target_fd = -1;
        return fail(c, "інше оновлення вже виконується");
    }
    // A run that died while replacing left its snapshot's name: restore it
    // before anything else.
    int mfd = openat(c.target_fd, "update.inprogress", O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (mfd >= 0) {
        char buf[160];
        ssize_t m = read(mfd, buf, sizeof buf - 1);
        close(mfd);
        std::string snap(buf, m > 0 ? (size_t)m : 0);
        std::string err;
        log_line(c, "interrupted update found, restoring " + snap);
        if (snapshot_name_ok(snap) && !restore_snapshot(c, snap, &err))
            return fail(c, "відновлення після перерваного оновлення не вдалося: " + err);
        unlinkat(c.target_fd, "update.inprogress", 0);
    }
    if (verb == "rollback") return do_rollback(c, arg);
    return do_update(c, verb == "full", arg, argv[3]);
}
