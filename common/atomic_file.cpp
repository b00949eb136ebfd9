#include "common/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/parse_util.h"

namespace {

int write_all(int fd, const void *data, size_t len) {
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        ssize_t w = write(fd, p, len);
        if (w < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (w == 0) {
            errno = EIO;
            return -1;
        }
        p += w;
        len -= size_t(w);
    }
    return 0;
}

}  // namespace

int atomic_file_write(const char *path, const void *data, size_t len, int mode) {
    if (!path || !*path || (!data && len > 0)) {
        errno = EINVAL;
        return -1;
    }
    std::string final_path(path);
    if (final_path.back() == '/') {
        errno = EISDIR;
        return -1;
    }
    struct stat old;
    bool had = stat(path, &old) == 0;
    if (mode < 0) mode = had ? int(old.st_mode & 07777) : 0644;
    // mkstemp's random part keeps two concurrent writers from sharing bytes.
    std::string tmp = final_path + ".tmp.XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0) return -1;

    int err = 0;
    if (write_all(fd, data, len) != 0) err = errno;
    if (!err && fchmod(fd, mode_t(mode)) != 0) err = errno;
    // A rewrite by root (the updater, a supervisor started as root) must not
    // take the file away from the user the stack runs as; anyone else can
    // only keep their own files, so EPERM is no failure.
    if (!err && had && (old.st_uid != geteuid() || old.st_gid != getegid()) &&
        fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM)
        err = errno;
    if (!err && fsync(fd) != 0) err = errno;
    if (close(fd) != 0 && !err) err = errno;
    if (!err && rename(tmp.c_str(), path) != 0) err = errno;
    if (err) {
        unlink(tmp.c_str());
        errno = err;
        return -1;
    }
    // Makes the rename itself durable; the new content is already in place,
    // so a failure here is reported but nothing is undone.
    int dfd = open(zq_dir_of(final_path.c_str()).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return errno == EACCES ? 0 : -1;
    int rc = fsync(dfd);
    int fsync_err = errno;
    close(dfd);
    if (rc != 0 && fsync_err != EINVAL && fsync_err != EROFS) {
        errno = fsync_err;
        return -1;
    }
    return 0;
}

int atomic_file_write(const std::string &path, const std::string &data, int mode) {
    return atomic_file_write(path.c_str(), data.data(), data.size(), mode);
}

int atomic_file_write(const std::string &path, const void *data, size_t len, int mode) {
    return atomic_file_write(path.c_str(), data, len, mode);
}
