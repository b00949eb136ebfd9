#include "common/parse_util.h"

#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

double zq_strtod_c(const char *s, char **end) {
    // A decimal comma from a Ukrainian locale must not change how files read.
    static const locale_t c_loc = newlocale(LC_ALL_MASK, "C", (locale_t)0);
    if (!c_loc) return strtod(s, end);
    return strtod_l(s, end, c_loc);
}

int zq_read_file(const char *path, std::string *out) {
    if (!path || !out) {
        errno = EINVAL;
        return -1;
    }
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    out->clear();
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        out->reserve((size_t)st.st_size);
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            int e = errno;
            close(fd);
            errno = e;
            return -1;
        }
        if (n == 0) break;
        out->append(buf, (size_t)n);
    }
    close(fd);
    return 0;
}
