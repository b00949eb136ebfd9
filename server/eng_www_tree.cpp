// Directory walks over the page tree that never follow symbolic links: a
// link planted in wwwdir must not lead a removal or a copy out of it.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "server/eng_www.h"

namespace {

struct dir_closer {
    DIR *d;
    ~dir_closer() {
        if (d) closedir(d);
    }
};

bool skip_name(const char *n) {
    return strcmp(n, ".") == 0 || strcmp(n, "..") == 0;
}

void list_files(int fd, const std::string &prefix, int depth, std::vector<std::string> *out) {
    DIR *d = fdopendir(fd);
    if (!d) {
        close(fd);
        return;
    }
    dir_closer guard{d};
    while (struct dirent *e = readdir(d)) {
        if (skip_name(e->d_name)) continue;
        struct stat st;
        if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        std::string rel = prefix + e->d_name;
        if (S_ISREG(st.st_mode)) {
            out->push_back(rel);
        } else if (S_ISDIR(st.st_mode) && depth < ENG_WWW_MAX_DEPTH) {
            int sub = openat(dirfd(d), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0) list_files(sub, rel + "/", depth + 1, out);
        }
    }
}

// Empties the directory `fd` (taken and closed) depth-first.
int remove_below(int fd) {
    DIR *d = fdopendir(fd);
    if (!d) {
        close(fd);
        return -1;
    }
    dir_closer guard{d};
    int rc = 0;
    while (struct dirent *e = readdir(d)) {
        if (skip_name(e->d_name)) continue;
        struct stat st;
        if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            int sub = openat(dirfd(d), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0 || remove_below(sub) != 0) rc = -1;
            if (unlinkat(dirfd(d), e->d_name, AT_REMOVEDIR) != 0) rc = -1;
        } else if (unlinkat(dirfd(d), e->d_name, 0) != 0) {
            rc = -1;
        }
    }
    return rc;
}

int copy_file(int from_dir, int to_dir, const char *name, mode_t mode) {
    int in = openat(from_dir, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) return -1;
    int out =
        openat(to_dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode & 0777);
    if (out < 0) {
        close(in);
        return -1;
    }
    char buf[65536];
    int rc = 0;
    for (;;) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n < 0) rc = -1;
            break;
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out, buf + done, (size_t)(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                rc = -1;
                break;
            }
            done += w;
        }
        if (rc) break;
    }
    struct stat st;
    if (rc == 0 && fstat(in, &st) == 0) {
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        futimens(out, times);
    }
    close(in);
    if (close(out) != 0) rc = -1;
    return rc;
}

int copy_below(int from, int to, int depth, std::string *err) {
    DIR *d = fdopendir(from);
    if (!d) {
        close(from);
        close(to);
        return -1;
    }
    dir_closer guard{d};
    int rc = 0;
    while (rc == 0) {
        struct dirent *e = readdir(d);
        if (!e) break;
        if (skip_name(e->d_name)) continue;
        struct stat st;
        if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISREG(st.st_mode)) {
            rc = copy_file(dirfd(d), to, e->d_name, st.st_mode);
        } else if (S_ISLNK(st.st_mode)) {
            char target[4096];
            ssize_t n = readlinkat(dirfd(d), e->d_name, target, sizeof target - 1);
            if (n < 0) continue;
            target[n] = 0;
            rc = symlinkat(target, to, e->d_name);
        } else if (S_ISDIR(st.st_mode)) {
            if (depth >= ENG_WWW_MAX_DEPTH) continue;
            if (mkdirat(to, e->d_name, st.st_mode & 0777) != 0) {
                rc = -1;
                break;
            }
            int sf = openat(dirfd(d), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            int tf = openat(to, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sf < 0 || tf < 0) {
                if (sf >= 0) close(sf);
                if (tf >= 0) close(tf);
                rc = -1;
                break;
            }
            rc = copy_below(sf, tf, depth + 1, err);
        }
        if (rc != 0 && err->empty()) err->assign(e->d_name) += ": " + std::string(strerror(errno));
    }
    close(to);
    return rc;
}

}  // namespace

std::vector<std::string> eng_tree_files(const char *dir) {
    std::vector<std::string> out;
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) list_files(fd, "", 1, &out);
    std::sort(out.begin(), out.end());  // std::string compares bytes as unsigned
    return out;
}

int eng_tree_remove(const char *path) {
    struct stat st;
    if (lstat(path, &st) != 0) return errno == ENOENT ? 0 : -1;
    if (!S_ISDIR(st.st_mode)) return unlink(path);
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    int rc = remove_below(fd);
    if (rmdir(path) != 0) rc = -1;
    return rc;
}

int eng_tree_copy(const char *from, const char *to, std::string *err) {
    int sf = open(from, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (sf < 0) return errno == ENOENT ? 0 : -1;
    int tf = open(to, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (tf < 0) {
        close(sf);
        return -1;
    }
    return copy_below(sf, tf, 1, err);
}
