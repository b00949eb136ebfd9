#include "common/parse_util.h"

#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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

int zq_read_file_max(const char *path, size_t max_bytes, std::string *out) {
    if (!path || !out) {
        errno = EINVAL;
        return -1;
    }
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (size_t)st.st_size > max_bytes) {
        int e = (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) ? EFBIG : EINVAL;
        close(fd);
        errno = e;
        return -1;
    }
    out->clear();
    try {
        out->resize((size_t)st.st_size);
    } catch (...) {
        close(fd);
        errno = ENOMEM;
        return -1;
    }
    size_t got = 0;
    while (got < out->size()) {
        ssize_t n = read(fd, &(*out)[got], out->size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // a file shrinking meanwhile reads as what is there
        got += (size_t)n;
    }
    close(fd);
    out->resize(got);
    return 0;
}

std::string zq_dir_of(const char *path) {
    const char *slash = strrchr(path, '/');
    if (!slash) return ".";
    if (slash == path) return "/";
    return std::string(path, (size_t)(slash - path));
}

char *zq_copy_cut(char *dst, size_t cap, const char *src) {
    if (!src) src = "";
    size_t n = strnlen(src, cap - 1);
    memcpy(dst, src, n);
    dst[n] = 0;
    return dst;
}

int zq_mkdirs(const char *path, unsigned mode) {
    if (!path || !*path) {
        errno = ENOENT;
        return -1;
    }
    std::string p(path);
    if (p.size() > 1 && p.back() == '/') p.pop_back();
    for (size_t i = 1; i <= p.size(); i++) {
        if (i < p.size() && p[i] != '/') continue;
        if (mkdir(p.substr(0, i).c_str(), (mode_t)mode) != 0 && errno != EEXIST) return -1;
    }
    return 0;
}

bool zq_starts_with(const char *s, const char *prefix) {
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

bool zq_ends_with(const char *s, const char *suffix) {
    size_t a = strlen(s), b = strlen(suffix);
    return a >= b && memcmp(s + a - b, suffix, b) == 0;
}
