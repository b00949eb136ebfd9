#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include "trend_mirror.h"

// Where an alternate really leads, and whether its share is mounted.

static std::string strip_slash(std::string s) {
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    return s;
}

std::string trend_resolve_dir(const std::string &dir) {
    std::string p = strip_slash(dir);
    if (p.empty()) return p;
    if (p[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd)) p = strip_slash(std::string(cwd) + "/" + p);
    }
    // Resolve the longest prefix that exists and keep the rest as written.
    std::string head = p, tail;
    for (;;) {
        char buf[PATH_MAX];
        if (realpath(head.c_str(), buf)) {
            std::string out = buf;
            if (!tail.empty()) out = strip_slash(out) + "/" + tail;
            return out;
        }
        size_t cut = head.find_last_of('/');
        if (cut == std::string::npos || head == "/") return p;
        tail = tail.empty() ? head.substr(cut + 1) : head.substr(cut + 1) + "/" + tail;
        head = cut == 0 ? "/" : head.substr(0, cut);
    }
}

std::string trend_mount_point_of(const std::string &dir, const std::string &root) {
    std::string r = strip_slash(root), d = strip_slash(dir);
    if (r.empty() || d.size() <= r.size() + 1 || d.compare(0, r.size(), r) != 0 ||
        d[r.size()] != '/')
        return "";
    size_t end = d.find('/', r.size() + 1);
    return d.substr(0, end);
}

// Mount points in the mounts file escape space, tab, newline and backslash
// as \ooo.
static std::string unescape_mount(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' &&
            s[i + 2] >= '0' && s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
            out += (char)((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

int trend_mount_listed(const char *mounts_file, const std::string &mount_point) {
    // Files under /proc have no size: read to the end, within a bound.
    int fd = open(mounts_file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    std::string text;
    char buf[16384];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || text.size() + (size_t)n > (8u << 20)) break;
        text.append(buf, (size_t)n);
    }
    close(fd);
    std::string want = strip_slash(mount_point);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(pos, nl - pos);
        pos = nl + 1;
        size_t a = line.find(' ');
        if (a == std::string::npos) continue;
        size_t b = line.find(' ', a + 1);
        std::string mp = line.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
        if (strip_slash(unescape_mount(mp)) == want) return 1;
    }
    return 0;
}
