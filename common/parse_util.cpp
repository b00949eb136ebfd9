#include "common/parse_util.h"

#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

locale_t c_locale() {
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", (locale_t)0);
    return loc;
}

}  // namespace

double zq_strtod_c(const char *s, char **end) {
    // A decimal comma from a Ukrainian locale must not change how files read.
    locale_t loc = c_locale();
    return loc ? strtod_l(s, end, loc) : strtod(s, end);
}

int zq_format_double_c(char *buf, size_t cap, const char *fmt, double v) {
    locale_t loc = c_locale();
    locale_t old = loc ? uselocale(loc) : (locale_t)0;
    int n = snprintf(buf, cap, fmt, v);
    if (old) uselocale(old);
    return n;
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
