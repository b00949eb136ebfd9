#include "updater/upd_fs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

std::vector<std::string> split(const std::string &rel) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= rel.size()) {
        size_t slash = rel.find('/', start);
        if (slash == std::string::npos) slash = rel.size();
        if (slash > start) parts.push_back(rel.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

const int DIR_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool own_root(int fd, std::string *err) {
    if (geteuid() != 0) return true;  // a developer's unprivileged install
    if (fchown(fd, 0, 0) == 0) return true;
    *err = std::string("chown: ") + strerror(errno);
    return false;
}

}  // namespace

bool upd_write_all(int fd, const void *data, size_t len) {
    const char *p = (const char *)data;
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= (size_t)n;
    }
    return true;
}

int upd_open_dirs(int base_fd, const std::string &rel, bool create, std::string *err) {
    int fd = fcntl(base_fd, F_DUPFD_CLOEXEC, 3);
    for (const std::string &el : split(rel)) {
        if (fd < 0) break;
        if (create && mkdirat(fd, el.c_str(), 0700) != 0 && errno != EEXIST) {
            close(fd);
            fd = -1;
            break;
        }
        int next = openat(fd, el.c_str(), DIR_FLAGS);
        close(fd);
        fd = next;
    }
    if (fd < 0) *err = "розпакування архіву не вдалося";
    return fd;
}

bool upd_make_dirs(int base_fd, const std::string &rel, bool, std::string *err) {
    int fd = upd_open_dirs(base_fd, rel, true, err);
    if (fd < 0) return false;
    close(fd);
    return true;
}

int upd_create_file(int base_fd, const std::string &rel, mode_t mode, std::string *err) {
    size_t slash = rel.rfind('/');
    std::string dir = slash == std::string::npos ? "" : rel.substr(0, slash);
    std::string name = slash == std::string::npos ? rel : rel.substr(slash + 1);
    int dfd = upd_open_dirs(base_fd, dir, true, err);
    if (dfd < 0) return -1;
    int fd = openat(dfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    close(dfd);
    if (fd < 0) *err = "розпакування архіву не вдалося";
    return fd;
}

bool upd_remove_tree(int dir_fd, const char *name) {
    if (unlinkat(dir_fd, name, 0) == 0 || errno == ENOENT) return true;
    if (errno != EISDIR && errno != EPERM) return false;
    int fd = openat(dir_fd, name, DIR_FLAGS);
    if (fd < 0) return false;
    DIR *d = fdopendir(fd);
    if (!d) {
        close(fd);
        return false;
    }
    bool ok = true;
    std::vector<std::string> names;
    while (struct dirent *de = readdir(d))
        if (strcmp(de->d_name, ".") && strcmp(de->d_name, "..")) names.push_back(de->d_name);
    for (const std::string &n : names)
        ok = upd_remove_tree(dirfd(d), n.c_str()) && ok;
    closedir(d);
    return unlinkat(dir_fd, name, AT_REMOVEDIR) == 0 && ok;
}

bool upd_copy_tree(int src_dir, const char *src_name, int dst_dir, const char *dst_name,
                   mode_t file_mode, std::string *err) {
    struct stat st;
    if (fstatat(src_dir, src_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        *err = std::string("stat ") + src_name + ": " + strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        int sfd = openat(src_dir, src_name, DIR_FLAGS);
        if (sfd < 0 || mkdirat(dst_dir, dst_name, 0700) != 0) {
            if (sfd >= 0) close(sfd);
            *err = std::string("mkdir ") + dst_name + ": " + strerror(errno);
            return false;
        }
        int dfd = openat(dst_dir, dst_name, DIR_FLAGS);
        DIR *d = fdopendir(sfd);
        bool ok = dfd >= 0 && d;
        if (!d) close(sfd);
        std::vector<std::string> names;
        while (ok)
            if (struct dirent *de = readdir(d)) {
                if (strcmp(de->d_name, ".") && strcmp(de->d_name, ".."))
                    names.push_back(de->d_name);
            } else {
                break;
            }
        for (const std::string &n : names)
            if (ok) ok = upd_copy_tree(dirfd(d), n.c_str(), dfd, n.c_str(), file_mode, err);
        if (ok) ok = own_root(dfd, err) && fchmod(dfd, 0755) == 0 && fsync(dfd) == 0;
        if (d) closedir(d);
        if (dfd >= 0) close(dfd);
        if (!ok && err->empty()) *err = std::string("copy ") + dst_name + ": " + strerror(errno);
        return ok;
    }
    if (!S_ISREG(st.st_mode)) {
        *err = std::string("not a regular file: ") + src_name;
        return false;
    }
    int in = openat(src_dir, src_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    int out = openat(dst_dir, dst_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool ok = in >= 0 && out >= 0;
    char buf[65536];
    while (ok) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        ok = upd_write_all(out, buf, (size_t)n);
    }
    if (ok && !own_root(out, err)) ok = false;
    // chmod after chown: chown clears the set-user-ID bit.
    if (ok) ok = fchmod(out, file_mode) == 0 && fsync(out) == 0;
    if (!ok && err->empty()) *err = std::string("copy ") + dst_name + ": " + strerror(errno);
    if (in >= 0) close(in);
    if (out >= 0 && close(out) != 0) ok = false;
    return ok;
}
