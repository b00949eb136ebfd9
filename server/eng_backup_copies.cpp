// Quick copies of config.yaml and channels.json into copy_base under one
// time stamp, their list, and restoring one stamp. A restore keeps the
// current file as "<file>.pre_<now>" and replaces it atomically, so a
// wrong pick can be undone and no reader ever sees half a file.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "common/atomic_file.h"
#include "common/json.h"
#include "common/parse_util.h"
#include "common/yaml_edit.h"
#include "server/eng_backup.h"
#include "server/eng_core.h"
#include "server/srv_routes.h"

namespace {

constexpr const char *COPY_DIR = "copy_base";
constexpr size_t COPIES_KEPT = 20;
constexpr size_t STAMPS_LISTED = 200;
constexpr size_t FILE_MAX = 64u << 20;
const char *const FILES[] = {"config.yaml", "channels.json"};

bool digits(const char *s, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (!isdigit((unsigned char)s[i])) return false;
    return true;
}

int num(const char *s, size_t n) {
    int v = 0;
    for (size_t i = 0; i < n; i++)
        v = v * 10 + (s[i] - '0');
    return v;
}

}  // namespace

bool eng_backup_stamp_ok(const char *s) {
    if (strlen(s) != 15 || !digits(s, 8) || s[8] != '_' || !digits(s + 9, 6)) return false;
    int mon = num(s + 4, 2), day = num(s + 6, 2);
    int h = num(s + 9, 2), m = num(s + 11, 2), sec = num(s + 13, 2);
    return mon >= 1 && mon <= 12 && day >= 1 && day <= 31 && h <= 23 && m <= 59 && sec <= 59;
}

std::string eng_backup_stamp_of(const char *name) {
    for (const char *p = strchr(name, '_'); p; p = strchr(p + 1, '_')) {
        if (strlen(p + 1) >= 15 && digits(p + 1, 8) && p[9] == '_' && digits(p + 10, 6))
            return std::string(p + 1, 15);
    }
    return "";
}

std::string eng_backup_copy_name(const std::string &file, const std::string &stamp) {
    size_t dot = file.rfind('.');
    if (dot == std::string::npos || dot == 0) return file + "_" + stamp;
    return file.substr(0, dot) + "_" + stamp + file.substr(dot);
}

std::vector<std::string> eng_backup_old_stamps(std::vector<std::string> stamps, size_t keep) {
    std::sort(stamps.begin(), stamps.end());
    stamps.erase(std::unique(stamps.begin(), stamps.end()), stamps.end());
    if (stamps.size() <= keep) return {};
    stamps.resize(stamps.size() - keep);
    return stamps;
}

namespace {

// One quick copy or restore at a time: two in the same second share a stamp.
std::mutex g_copy_mu;

std::vector<std::string> copy_names() {
    std::vector<std::string> v;
    if (DIR *d = opendir(COPY_DIR)) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') v.push_back(e->d_name);
        closedir(d);
    }
    return v;
}

std::string local_stamp(time_t t) {
    struct tm lt;
    localtime_r(&t, &lt);
    char buf[32];
    strftime(buf, sizeof buf, "%Y%m%d_%H%M%S", &lt);
    return buf;
}

// The project files copied and restored: beside the legacy ini.
std::string file_path(const srv_call *c, const char *file) {
    return zq_dir_of(c->st->cfg.legacy_ini) + "/" + file;
}

// A regular file, not through a link, at most FILE_MAX bytes.
int read_plain(const std::string &path, std::string *out) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && size_t(st.st_size) <= FILE_MAX;
    close(fd);
    if (!ok) {
        errno = EINVAL;
        return -1;
    }
    return zq_read_file_max(path.c_str(), FILE_MAX, out);
}

}  // namespace

void eng_h_backup_quick(srv_call *c) {
    std::lock_guard<std::mutex> lk(g_copy_mu);
    if (mkdir(COPY_DIR, 0755) != 0 && errno != EEXIST)
        return eng_fail(c, 500, std::string("mkdir copy_base: ") + strerror(errno));
    std::string stamp = local_stamp(time(nullptr));
    int n = 0;
    for (const char *f : FILES) {
        std::string data;
        if (zq_read_file_max(file_path(c, f).c_str(), FILE_MAX, &data) != 0) continue;
        // Copies of config.yaml hold passwords: owner only.
        std::string to = std::string(COPY_DIR) + "/" + eng_backup_copy_name(f, stamp);
        if (atomic_file_write(to, data, 0600) == 0) n++;
    }
    std::vector<std::string> names = copy_names(), stamps;
    for (const std::string &nm : names) {
        std::string s = eng_backup_stamp_of(nm.c_str());
        if (!s.empty()) stamps.push_back(s);
    }
    std::vector<std::string> old = eng_backup_old_stamps(stamps, COPIES_KEPT);
    std::set<std::string> drop(old.begin(), old.end());
    for (const std::string &nm : names)
        if (drop.count(eng_backup_stamp_of(nm.c_str())))
            unlink((std::string(COPY_DIR) + "/" + nm).c_str());
    eng_audit(c, "backup/quick " + stamp);
    eng_ok(c, std::to_string(n) + " file(s) → copy_base/ [" + stamp + "]");
}

void eng_h_backup_stamps(srv_call *c) {
    std::vector<std::string> stamps;
    for (const std::string &nm : copy_names()) {
        std::string s = eng_backup_stamp_of(nm.c_str());
        if (!s.empty()) stamps.push_back(s);
    }
    std::sort(stamps.begin(), stamps.end(), std::greater<>());
    stamps.erase(std::unique(stamps.begin(), stamps.end()), stamps.end());
    if (stamps.size() > STAMPS_LISTED) stamps.resize(STAMPS_LISTED);
    std::string out = "[";
    for (const std::string &s : stamps) {
        char disp[32];
        snprintf(disp, sizeof disp, "%.2s.%.2s.%.4s %.2s:%.2s:%.2s", s.c_str() + 6, s.c_str() + 4,
                 s.c_str(), s.c_str() + 9, s.c_str() + 11, s.c_str() + 13);
        out += std::string(out.size() > 1 ? "," : "") + "{\"stamp\":\"" + s + "\",\"display\":\"" +
               disp + "\"}";
    }
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, out + "]");
}

void eng_h_backup_restore(srv_call *c) {
    json_ptr body = eng_body_object(c);
    if (!body) return;
    std::string stamp = json_gets(body.get(), "stamp", "");
    if (!eng_backup_stamp_ok(stamp.c_str())) return eng_fail(c, 400, "bad stamp");
    std::lock_guard<std::mutex> lk(g_copy_mu);
    // config.yaml is rewritten whole: no section edit may run meanwhile.
    std::lock_guard<std::mutex> cfg_lk(yaml_edit_mutex());
    std::string now = local_stamp(time(nullptr));
    int n = 0;
    for (const char *f : FILES) {
        std::string copy;
        std::string from = std::string(COPY_DIR) + "/" + eng_backup_copy_name(f, stamp);
        if (read_plain(from, &copy) != 0) continue;
        std::string path = file_path(c, f), current;
        if (zq_read_file_max(path.c_str(), FILE_MAX, &current) == 0) {
            if (atomic_file_write(path + ".pre_" + now, current, 0600) != 0)
                return eng_fail(c, 500,
                                std::string("не вдалося зберегти поточний ") + f + ": " +
                                    strerror(errno) + " (відновлено файлів: " + std::to_string(n) +
                                    ")");
        } else if (errno != ENOENT) {
            return eng_fail(c, 500, std::string("не читається поточний ") + f);
        }
        if (atomic_file_write(path, copy) != 0)
            return eng_fail(c, 500,
                            std::string("запис ") + f + " не вдався: " + strerror(errno) +
                                " (відновлено файлів: " + std::to_string(n) + ")");
        n++;
    }
    if (n == 0) return eng_fail(c, 404, "No backup files found for " + stamp);
    eng_audit(c, "restore " + stamp);
    eng_ok(c, std::to_string(n) + " file(s) restored from [" + stamp + "]");
}
