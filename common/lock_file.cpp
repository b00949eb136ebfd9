#include "common/lock_file.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

std::string zq_lock_path(const char *program, const char *shm_name) {
    std::string name = shm_name && *shm_name ? shm_name : "/default";
    for (char &c : name)
        if (c == '/') c = '_';
    return std::string("/tmp/") + (program ? program : "") + name + ".lock";
}

zq_lock_status zq_lock_acquire(const char *program, const char *shm_name, int *fd_out) {
    std::string path = zq_lock_path(program, shm_name);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return ZQ_LOCK_ERR_OPEN;
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (fcntl(fd, F_SETLK, &fl) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return ZQ_LOCK_HELD;
    }
    if (fd_out) *fd_out = fd;
    return ZQ_LOCK_OK;
}
