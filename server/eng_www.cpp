// Deployment, download, fingerprint, snapshots and rollback of the operator
// pages. One lock orders every operation of the process: names of snapshots
// and temporary files are chosen and used under it.

#include "server/eng_www.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "common/crc32.h"
#include "common/json.h"
#include "common/parse_util.h"

namespace {

std::mutex g_mu;
std::atomic<unsigned> g_seq{0};

bool name_chars_ok(const char *s) {
    if (!s || !*s) return false;
    for (; *s; s++)
        if (!isalnum((unsigned char)*s) && *s != '_' && *s != '-') return false;
    return true;
}

// "/a/./b/../c" -> "/a/c" without looking at the file system.
std::string normalize(const std::string &abs) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i < abs.size()) {
        size_t j = abs.find('/', i);
        if (j == std::string::npos) j = abs.size();
        std::string el = abs.substr(i, j - i);
        i = j + 1;
        if (el.empty() || el == ".") continue;
        if (el == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(el);
    }
    std::string out;
    for (const std::string &p : parts)
        out += "/" + p;
    return out.empty() ? "/" : out;
}

std::string real_or_empty(const std::string &p) {
    char buf[PATH_MAX];
    return realpath(p.c_str(), buf) ? std::string(buf) : std::string();
}

// True when `dir` is `inner` or one of its ancestors.
bool covers(const std::string &dir, const std::string &inner) {
    if (dir == "/" || dir == inner) return true;
    return inner.size() > dir.size() && inner.compare(0, dir.size(), dir) == 0 &&
           inner[dir.size()] == '/';
}

std::string error_json(const std::string &msg) {
    return "{\"ok\":false,\"error\":\"" + json_escape_str(msg) + "\"}";
}

void fail(eng_www_result *res, int status, const std::string &msg) {
    res->status = status;
    res->body = error_json(msg);
}

std::string stamp_now() {
    time_t now = time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    char ts[32];
    strftime(ts, sizeof ts, "%Y%m%d_%H%M%S", &lt);
    return ts;
}

// A fresh hidden name in `dir`: "<dir>/.<what>.<stamp>.<pid>.<n><ext>".
std::string temp_name(const std::string &dir, const char *what, const char *ext) {
    return dir + "/." + what + "." + stamp_now() + "." + std::to_string(getpid()) + "." +
           std::to_string(g_seq.fetch_add(1)) + ext;
}

struct snap_info {
    std::string id;
    long long size;
    struct timespec mtime;
};

// Snapshots, newest first (equal times: the later name first).
std::vector<snap_info> list_snapshots(const std::string &snapdir) {
    std::vector<snap_info> out;
    DIR *d = opendir(snapdir.c_str());
    if (!d) return out;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.' || !zq_ends_with(e->d_name, ".zip")) continue;
        struct stat st;
        if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        std::string id(e->d_name, strlen(e->d_name) - 4);
        out.push_back({id, (long long)st.st_size, st.st_mtim});
        if ((int)out.size() >= ENG_WWW_LIST_MAX) break;
    }
    closedir(d);
    std::sort(out.begin(), out.end(), [](const snap_info &a, const snap_info &b) {
        if (a.mtime.tv_sec != b.mtime.tv_sec) return a.mtime.tv_sec > b.mtime.tv_sec;
        if (a.mtime.tv_nsec != b.mtime.tv_nsec) return a.mtime.tv_nsec > b.mtime.tv_nsec;
        return a.id > b.id;
    });
    return out;
}

// Archives the current pages as a new snapshot; 0 with *id, or -1 with *err.
int take_snapshot(const eng_www_paths &p, std::string *id, std::string *err) {
    if (zq_mkdirs(p.snapdir.c_str(), 0755) != 0) {
        *err = "не вдалося створити теку знімків";
        return -1;
    }
    std::string ts = stamp_now();
    id->clear();
    for (int k = 0; k <= 999 && id->empty(); k++) {
        std::string cand = k ? ts + "_" + std::to_string(k) : ts;
        struct stat st;
        if (lstat((p.snapdir + "/" + cand + ".zip").c_str(), &st) != 0 && errno == ENOENT)
            *id = cand;
    }
    if (id->empty()) {
        *err = "не вдалося створити знімок";
        return -1;
    }
    std::string tmp = temp_name(p.snapdir, "snap", ".zip");
    if (eng_zip_tree(p.real.c_str(), tmp.c_str(), err) != 0) return -1;
    if (rename(tmp.c_str(), (p.snapdir + "/" + *id + ".zip").c_str()) != 0) {
        unlink(tmp.c_str());
        *err = "не вдалося створити знімок";
        return -1;
    }
    return 0;
}

// Keeps the ENG_WWW_KEEP newest snapshots, and `keep` whatever its age.
void prune_snapshots(const eng_www_paths &p, const std::string &keep) {
    std::vector<snap_info> all = list_snapshots(p.snapdir);
    for (size_t i = ENG_WWW_KEEP; i < all.size(); i++)
        if (all[i].id != keep) unlink((p.snapdir + "/" + all[i].id + ".zip").c_str());
}

std::string base_name(const std::string &path) {
    return path.substr(path.rfind('/') + 1);
}

// Work folders an interrupted server left beside the pages. Ours never
// outlive the lock, so every one found under it is stale.
void remove_stale_work(const std::string &parent, const std::string &base) {
    DIR *d = opendir(parent.c_str());
    if (!d) return;
    std::vector<std::string> stale;
    for (const char *kind : {".staging.", ".old."}) {
        std::string prefix = "." + base + kind;
        rewinddir(d);
        while (struct dirent *e = readdir(d))
            if (zq_starts_with(e->d_name, prefix.c_str()))
                stale.push_back(parent + "/" + e->d_name);
    }
    closedir(d);
    for (const std::string &w : stale)
        eng_tree_remove(w.c_str());
}

// A new empty folder beside the pages, with their mode; "" with *err.
std::string make_staging(const eng_www_paths &p, std::string *err) {
    std::string parent = zq_dir_of(p.real.c_str());
    std::string base = base_name(p.real);
    if (zq_mkdirs(parent.c_str(), 0755) != 0) {
        *err = "не вдалося створити теку " + parent;
        return std::string();
    }
    remove_stale_work(parent, base);
    std::string staging = temp_name(parent, (base + ".staging").c_str(), "");
    struct stat st;
    mode_t mode = stat(p.real.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0755;
    if (mkdir(staging.c_str(), 0700) != 0 || chmod(staging.c_str(), mode) != 0) {
        *err = "не вдалося створити проміжну теку: " + std::string(strerror(errno));
        rmdir(staging.c_str());
        return std::string();
    }
    return staging;
}

// Puts the complete staging tree in place of the pages; the old tree is
// removed only once the new one is there.
int swap_in(const eng_www_paths &p, const std::string &staging, std::string *err) {
    struct stat st;
    if (lstat(p.real.c_str(), &st) != 0 && errno == ENOENT) {
        if (rename(staging.c_str(), p.real.c_str()) == 0) return 0;
    } else if (renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, p.real.c_str(), RENAME_EXCHANGE) ==
               0) {
        eng_tree_remove(staging.c_str());
        return 0;
    } else if (errno == EINVAL || errno == ENOSYS) {
        // File systems without an atomic exchange: two renames.
        std::string old =
            temp_name(zq_dir_of(p.real.c_str()), (base_name(p.real) + ".old").c_str(), "");
        if (rename(p.real.c_str(), old.c_str()) == 0) {
            if (rename(staging.c_str(), p.real.c_str()) == 0) {
                eng_tree_remove(old.c_str());
                return 0;
            }
            rename(old.c_str(), p.real.c_str());
        }
    }
    *err = "не вдалося замінити сторінки: " + std::string(strerror(errno));
    eng_tree_remove(staging.c_str());
    return -1;
}

// The new tree in a staging folder beside the pages: the archive extracted
// (over a copy of the current pages when `overlay`). Its path, or "" with
// *err and nothing left behind.
std::string build_staging(const eng_www_paths &p, const std::string &zip, const char *sub,
                          const eng_zip_rules &rules, bool overlay, std::string *err) {
    std::string staging = make_staging(p, err);
    if (staging.empty()) return staging;
    int sfd = -1;
    if ((overlay && eng_tree_copy(p.real.c_str(), staging.c_str(), err) != 0) ||
        (sfd = open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)) < 0 ||
        eng_zip_extract(zip.data(), zip.size(), sfd, sub, rules, err) != 0) {
        if (sfd >= 0) close(sfd);
        eng_tree_remove(staging.c_str());
        if (err->empty()) *err = strerror(errno);
        return std::string();
    }
    close(sfd);
    return staging;
}

// Snapshots the current pages (*snap gets the id), then swaps the staging
// tree in. 0, or -1 with *err; the staging tree is gone either way.
int replace_pages(const eng_www_paths &p, const std::string &staging, std::string *snap,
                  std::string *err) {
    if (take_snapshot(p, snap, err) != 0) {
        eng_tree_remove(staging.c_str());
        return -1;
    }
    return swap_in(p, staging, err);
}

int resolve_or_fail(const char *wwwdir, eng_www_paths *p, eng_www_result *res) {
    std::string err;
    if (eng_www_resolve(wwwdir, p, &err) == 0) return 0;
    fail(res, 500, err);
    return -1;
}

}  // namespace

bool eng_www_subdir_ok(const char *sub) {
    return name_chars_ok(sub);
}

bool eng_www_id_ok(const char *id) {
    return name_chars_ok(id);
}

int eng_www_resolve(const char *wwwdir, eng_www_paths *out, std::string *err) {
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) {
        *err = "недопустимий шлях www";
        return -1;
    }
    std::string w = wwwdir ? wwwdir : "";
    while (w.compare(0, 2, "./") == 0)
        w.erase(0, 2);
    out->abs = normalize(w.empty() || w[0] != '/' ? std::string(cwd) + "/" + w : w);
    out->real = real_or_empty(out->abs);
    if (out->real.empty()) {
        // Not there yet: its parent decides where it will be.
        std::string parent = real_or_empty(zq_dir_of(out->abs.c_str()));
        out->real = parent.empty()
                        ? out->abs
                        : (parent == "/" ? "" : parent) + out->abs.substr(out->abs.rfind('/'));
    }
    std::string project = real_or_empty(cwd);
    if (project.empty()) project = cwd;
    if (out->abs.size() < 2 || covers(out->abs, project) || covers(out->real, project) ||
        covers(out->abs, cwd) || covers(out->real, cwd)) {
        *err = "недопустимий шлях www";
        return -1;
    }
    out->snapdir = out->abs + "_snapshots";
    return 0;
}

uint32_t eng_www_content_crc(const char *dir, int *files) {
    std::vector<std::string> list = eng_tree_files(dir);
    *files = (int)list.size();
    if (list.empty()) return 0;
    uint32_t crc = 0xFFFFFFFFu;
    static thread_local char buf[65536];
    for (const std::string &rel : list) {
        crc = crc32_update(crc, rel.c_str(), rel.size() + 1);
        int fd = open((std::string(dir) + "/" + rel).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        for (;;) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            crc = crc32_update(crc, buf, (size_t)n);
        }
        close(fd);
    }
    return ~crc;
}

void eng_www_deploy(const char *wwwdir, const std::string &zip, const char *sub,
                    eng_www_result *res) {
    std::lock_guard<std::mutex> lock(g_mu);
    if (zip.empty()) return fail(res, 400, "порожнє тіло (немає ZIP)");
    if (sub && *sub && !eng_www_subdir_ok(sub))
        return fail(res, 400, "некоректна підтека (лише A-Z a-z 0-9 _ -)");
    eng_www_paths p;
    if (resolve_or_fail(wwwdir, &p, res) != 0) return;
    std::string err;
    if (sub && strcasecmp(sub, ENG_WWW_EDITOR_DIR) == 0)
        return fail(res, 400, "тека eng/ зарезервована для інженерного редактора");
    eng_zip_rules rules{true, !(sub && *sub)};
    int files = eng_zip_check(zip.data(), zip.size(), rules, &err);
    if (files < 0) return fail(res, 400, err);
    if (files == 0) return fail(res, 400, "порожній архів (нема файлів)");

    // The new tree is the current one with the archive laid over it.
    std::string staging = build_staging(p, zip, sub, rules, true, &err);
    if (staging.empty())
        return fail(res, 500, "розпак не вдався: " + err + " — сторінки не змінено");
    std::string snap;
    if (replace_pages(p, staging, &snap, &err) != 0) return fail(res, 500, err);
    prune_snapshots(p, "");
    std::string dir = sub && *sub ? sub : "/";
    res->status = 200;
    res->body = "{\"ok\":true,\"snapshot\":\"" + json_escape_str(snap) +
                "\",\"files\":" + std::to_string(files) + ",\"dir\":\"" + json_escape_str(dir) +
                "\"}";
    res->audit = std::string("www/deploy") + (sub && *sub ? std::string(" dir=") + sub : "");
}

void eng_www_pull(const char *wwwdir, const char *sub, eng_www_result *res) {
    std::lock_guard<std::mutex> lock(g_mu);
    if (sub && *sub && !eng_www_subdir_ok(sub))
        return fail(res, 400, "некоректна підтека (лише A-Z a-z 0-9 _ -)");
    eng_www_paths p;
    if (resolve_or_fail(wwwdir, &p, res) != 0) return;
    std::string err;
    if (zq_mkdirs(p.snapdir.c_str(), 0755) != 0) return fail(res, 500, "не вдалося створити архів");
    std::string tmp = temp_name(p.snapdir, "pull", ".zip");
    std::string dir = p.real + (sub && *sub ? std::string("/") + sub : "");
    if (eng_zip_tree(dir.c_str(), tmp.c_str(), &err) != 0) return fail(res, 500, err);
    int fd = open(tmp.c_str(), O_RDONLY | O_CLOEXEC);
    unlink(tmp.c_str());  // the open descriptor keeps it until sent
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        if (fd >= 0) close(fd);
        return fail(res, 500, "не вдалося створити архів");
    }
    res->status = 200;
    res->file_fd = fd;
    res->file_len = (long)st.st_size;
    res->audit = std::string("www/pull") + (sub && *sub ? std::string(" dir=") + sub : "");
}

void eng_www_version(const char *wwwdir, eng_www_result *res) {
    eng_www_paths p;
    if (resolve_or_fail(wwwdir, &p, res) != 0) return;
    std::lock_guard<std::mutex> lock(g_mu);
    int files = 0;
    uint32_t crc = eng_www_content_crc(p.real.c_str(), &files);
    char buf[96];
    snprintf(buf, sizeof buf, "{\"ok\":true,\"version\":\"%08x\",\"files\":%d}", crc, files);
    res->status = 200;
    res->body = buf;
}

void eng_www_snapshots(const char *wwwdir, eng_www_result *res) {
    eng_www_paths p;
    if (resolve_or_fail(wwwdir, &p, res) != 0) return;
    std::lock_guard<std::mutex> lock(g_mu);
    std::string out = "[";
    for (const snap_info &s : list_snapshots(p.snapdir)) {
        if (out.size() > 1) out += ',';
        out += "{\"id\":\"" + json_escape_str(s.id) + "\",\"size\":" + std::to_string(s.size) +
               ",\"mtime\":" + std::to_string((long long)s.mtime.tv_sec) + "}";
    }
    res->status = 200;
    res->body = out + "]";
}

void eng_www_rollback(const char *wwwdir, const char *id_in, eng_www_result *res) {
    std::lock_guard<std::mutex> lock(g_mu);
    eng_www_paths p;
    if (resolve_or_fail(wwwdir, &p, res) != 0) return;
    std::string id = id_in ? id_in : "";
    if (!id.empty() && !eng_www_id_ok(id.c_str())) return fail(res, 400, "некоректний id знімка");
    if (id.empty()) {
        std::vector<snap_info> all = list_snapshots(p.snapdir);
        if (all.empty()) return fail(res, 404, "немає знімків для відкату");
        id = all[0].id;
    }
    std::string zip, err;
    std::string path = p.snapdir + "/" + id + ".zip";
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        zq_read_file_max(path.c_str(), ENG_WWW_MAX_TOTAL, &zip) != 0)
        return fail(res, 404, "знімок " + id + " не знайдено");
    // Snapshots are checked like uploads (but any file type may come back).
    eng_zip_rules rules{false};
    if (eng_zip_check(zip.data(), zip.size(), rules, &err) < 0)
        return fail(res, 500, "розпак знімка не вдався: " + err);
    std::string staging = build_staging(p, zip, "", rules, false, &err);
    if (staging.empty()) return fail(res, 500, "розпак знімка не вдався: " + err);
    std::string safety;
    if (replace_pages(p, staging, &safety, &err) != 0) return fail(res, 500, err);
    prune_snapshots(p, id);
    res->status = 200;
    res->body = "{\"ok\":true,\"restored\":\"" + json_escape_str(id) + "\",\"safety\":\"" +
                json_escape_str(safety) + "\"}";
    res->audit = "www/rollback " + id;
}
