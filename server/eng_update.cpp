// Updates from the editor: the updater's presence, starting it detached,
// uploads, rollbacks, its status file and the snapshot list. Downloads from
// the update server are in eng_update_net.cpp.

#include "server/eng_update.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "common/json.h"
#include "common/version.h"

extern char **environ;

namespace {

const char NOT_INSTALLED[] = "zqupdate не встановлено";
constexpr size_t STATUS_MAX = 4095;
constexpr size_t SNAPSHOTS_MAX = 512;

bool name_chars_ok(const std::string &s) {
    for (unsigned char ch : s)
        if (!isalnum(ch) && ch != '-' && ch != '.' && ch != '_') return false;
    return true;
}

std::string read_head(const std::string &path, size_t max) {
    std::string out;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return out;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        out.resize(max);
        size_t got = 0;
        while (got < max) {
            ssize_t n = read(fd, &out[got], max - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += (size_t)n;
        }
        out.resize(got);
    }
    close(fd);
    return out;
}

// A process named zqupdate on this host (its other details are not ours to
// read: it runs as root).
bool updater_process_alive() {
    DIR *d = opendir("/proc");
    if (!d) return false;
    bool found = false;
    while (struct dirent *de = readdir(d)) {
        if (!isdigit((unsigned char)de->d_name[0])) continue;
        std::string comm = read_head(std::string("/proc/") + de->d_name + "/comm", 32);
        if (comm == "zqupdate\n") {
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

// A status of "running" counts only while an updater process exists: one
// killed half-way leaves "running" behind, and the next run repairs that.
bool update_running(const std::string &dir) {
    json_ptr st(json_parse(read_head(dir + "/update.status", STATUS_MAX).c_str()));
    if (!st || strcmp(json_gets(st.get(), "state", ""), "running") != 0) return false;
    return updater_process_alive();
}

// Only async-signal-safe calls between fork and exec: the server has many
// threads. The grandchild reports a failed exec through the pipe, which a
// successful exec closes.
[[noreturn]] void grandchild(char *const *argv, int report_fd) {
    setsid();
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
    }
    if (report_fd > 3) syscall(SYS_close_range, 3u, (unsigned)report_fd - 1, 0u);
    syscall(SYS_close_range, (unsigned)report_fd + 1, ~0u, 0u);
    if (chdir("/") != 0) {
    }
    execve(argv[0], argv, environ);
    int e = errno;
    if (write(report_fd, &e, sizeof e) < 0) {
    }
    _exit(127);
}

}  // namespace

std::string eng_update_dir() {
    const char *d = getenv("ZQSTACK_DIR");
    return d && *d ? d : ".";
}

eng_update_release eng_update_running() {
    // zq_version_full(): "<release> (<revision> <YYYY-MM-DD>)".
    std::string full = zq_version_full();
    eng_update_release r;
    size_t open = full.find(" (");
    r.version = full.substr(0, open);
    if (open != std::string::npos) {
        std::string inner = full.substr(open + 2);
        if (!inner.empty() && inner.back() == ')') inner.pop_back();
        size_t sp = inner.rfind(' ');
        r.revision = inner.substr(0, sp);
        if (sp != std::string::npos)
            for (char ch : inner.substr(sp + 1))
                if (isdigit((unsigned char)ch)) r.built += ch;
    }
    return r;
}

int eng_update_ready(const char *not_installed_msg, std::string *err) {
    std::string dir = eng_update_dir();
    struct stat st;
    if (stat((dir + "/zqupdate").c_str(), &st) != 0 || !eng_update_owner_ok(st)) {
        *err = not_installed_msg ? not_installed_msg : NOT_INSTALLED;
        return -1;
    }
    if (update_running(dir)) {
        *err = "оновлення вже виконується — дочекайтеся завершення";
        return -1;
    }
    return 0;
}

int eng_update_spawn(const std::vector<std::string> &args, const std::string &remove_on_fail,
                     std::string *err) {
    std::string exe = eng_update_dir() + "/zqupdate";
    std::vector<char *> av{exe.data()};
    for (const std::string &a : args)
        av.push_back(const_cast<char *>(a.c_str()));
    av.push_back(nullptr);
    int p[2];
    int rc = -1;
    if (pipe2(p, O_CLOEXEC) != 0) {
        *err = std::string("pipe: ") + strerror(errno);
    } else {
        pid_t pid = fork();
        if (pid < 0) {
            *err = std::string("fork: ") + strerror(errno);
            close(p[0]);
            close(p[1]);
        } else {
            if (pid == 0) {
                pid_t g = fork();
                if (g == 0) grandchild(av.data(), p[1]);
                int e = errno;
                if (g < 0 && write(p[1], &e, sizeof e) < 0) {
                }
                _exit(g < 0 ? 1 : 0);
            }
            close(p[1]);
            int st = 0;
            while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
            }
            int e = 0;
            ssize_t n;
            while ((n = read(p[0], &e, sizeof e)) < 0 && errno == EINTR) {
            }
            close(p[0]);
            if (n == (ssize_t)sizeof e)
                *err = std::string(WIFEXITED(st) && WEXITSTATUS(st) == 1 ? "fork: "
                                                                         : "запуск zqupdate: ") +
                       strerror(e);
            else
                rc = 0;
        }
    }
    if (rc != 0 && !remove_on_fail.empty()) unlink(remove_on_fail.c_str());
    return rc;
}

std::string eng_update_tmpfile(const char *err_prefix, std::string *err) {
    char path[] = "/tmp/zqupd_XXXXXX.run";
    int fd = mkostemps(path, 4, O_CLOEXEC);
    if (fd < 0) {
        *err = std::string(err_prefix) + strerror(errno);
        return "";
    }
    close(fd);
    return path;
}

int eng_update_start(const std::string &data, const char *mode, const char *product,
                     std::string *err) {
    if (strcmp(mode, "www") != 0 && strcmp(mode, "full") != 0) {
        *err = "невідомий режим оновлення";
        return -1;
    }
    if (eng_update_ready("zqupdate не встановлено (або без setuid) — оновлення з веб недоступне",
                         err) != 0)
        return -1;
    if (data.size() < 4096 || data.compare(0, 2, "#!") != 0) {
        *err = "це не схоже на файл дистрибутива (.run)";
        return -1;
    }
    std::string path = eng_update_tmpfile("tmp-файл: ", err);
    if (path.empty()) return -1;
    int fd = open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    bool ok = fd >= 0;
    for (size_t done = 0; ok && done < data.size();) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += (size_t)n;
    }
    if (fd >= 0 && close(fd) != 0) ok = false;
    if (!ok) {
        unlink(path.c_str());
        *err = "запис tmp-файла не вдався";
        return -1;
    }
    return eng_update_spawn({mode, path, product}, path, err);
}

int eng_update_rollback(const std::string &name, const char *product, std::string *err) {
    if (eng_update_ready(nullptr, err) != 0) return -1;
    if (name.size() < 8 || name.size() > 128 || !name.ends_with(".tar.gz") ||
        name.find("..") != std::string::npos || name[0] == '-' || !name_chars_ok(name)) {
        *err = "некоректне ім'я знімка";
        return -1;
    }
    return eng_update_spawn({"rollback", name, product}, "", err);
}

std::string eng_update_status_json() {
    std::string s = read_head(eng_update_dir() + "/update.status", STATUS_MAX);
    return s.empty() ? "{\"state\":\"none\"}" : s;
}

std::string eng_update_snapshots_json() {
    std::string dir = eng_update_dir() + "/updates";
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = dfd >= 0 ? fdopendir(dfd) : nullptr;
    if (!d) {
        if (dfd >= 0) close(dfd);
        return "{\"snapshots\":[]}";
    }
    std::vector<std::string> names;
    while (struct dirent *de = readdir(d)) {
        std::string n = de->d_name;
        if (n.size() > 7 && n.ends_with(".tar.gz") && names.size() < SNAPSHOTS_MAX)
            names.push_back(n);
    }
    std::sort(names.rbegin(), names.rend());
    std::string out = "{\"snapshots\":[";
    for (size_t i = 0; i < names.size(); i++) {
        struct stat st;
        long long size = 0, mtime = 0;
        if (fstatat(dirfd(d), names[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            size = st.st_size;
            mtime = st.st_mtime;
        }
        out += std::string(i ? "," : "") + "{\"name\":\"" + json_escape_str(names[i]) +
               "\",\"size\":" + std::to_string(size) + ",\"mtime\":" + std::to_string(mtime) + "}";
    }
    closedir(d);
    return out + "]}";
}
