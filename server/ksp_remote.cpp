#include "ksp_remote.h"

#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <netdb.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>

#include "common/json.h"
#include "common/parse_util.h"
#include "trend/tz.h"

namespace {

constexpr size_t SCAN_MAX_VALUES = 2000000;

int64_t mono_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct fd_guard {
    int fd = -1;
    ~fd_guard() {
        if (fd >= 0) close(fd);
    }
};

// Waits for events on fd for at most step_ms and never past the deadline.
bool wait_fd(int fd, short ev, int step_ms, int64_t deadline) {
    int64_t left = deadline - mono_ms();
    if (left <= 0) return false;
    struct pollfd p = {fd, ev, 0};
    int r;
    do
        r = poll(&p, 1, (int)std::min<int64_t>(left, step_ms));
    while (r < 0 && errno == EINTR);
    return r > 0;
}

bool host_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-';
}

// Position after a JSON string "key" followed by ':' at or after from.
size_t find_key(std::string_view b, const std::string &quoted, size_t from) {
    for (size_t p = b.find(quoted, from); p != std::string_view::npos; p = b.find(quoted, p + 1)) {
        size_t q = p + quoted.size();
        while (q < b.size() && (b[q] == ' ' || b[q] == '\t' || b[q] == '\r' || b[q] == '\n'))
            q++;
        if (q < b.size() && b[q] == ':') return q + 1;
    }
    return std::string_view::npos;
}

// Numbers (or null) of the array starting at the first '[' after pos.
template <class T>
void scan_array(std::string_view b, size_t pos, std::vector<T> *out) {
    out->clear();
    while (pos < b.size() && b[pos] != '[') {
        if (b[pos] != ' ' && b[pos] != '\t' && b[pos] != '\r' && b[pos] != '\n') return;
        pos++;
    }
    pos++;
    char num[64];
    while (pos < b.size() && out->size() < SCAN_MAX_VALUES) {
        char c = b[pos];
        if (c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            pos++;
            continue;
        }
        if (c == ']') return;
        if (b.compare(pos, 4, "null") == 0) {
            out->push_back((T)NAN);
            pos += 4;
            continue;
        }
        size_t n = 0;
        while (pos < b.size() && n < sizeof num - 1 && strchr("0123456789+-.eE", b[pos]))
            num[n++] = b[pos++];
        num[n] = 0;
        char *end;
        double d = zq_strtod_c(num, &end);
        if (n == 0 || *end) return;
        out->push_back((T)d);
    }
}

}  // namespace

bool ksp_url_parse(const char *url, ksp_url *out) {
    memset(out, 0, sizeof *out);
    if (strncmp(url, "http://", 7) != 0) return false;
    const char *p = url + 7;
    size_t h = 0;
    while (host_char(p[h]))
        h++;
    if (h == 0 || h >= sizeof out->host) return false;
    memcpy(out->host, p, h);
    p += h;
    out->port = 80;
    if (*p == ':') {
        p++;
        long port = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9' && digits < 6) {
            port = port * 10 + (*p++ - '0');
            digits++;
        }
        if (digits == 0 || port < 1 || port > 65535) return false;
        out->port = (int)port;
    }
    size_t n = strlen(p);
    if (n && p[0] != '/') return false;
    if (n >= sizeof out->path) return false;
    for (size_t i = 0; i < n; i++)
        if (!host_char(p[i]) && !strchr("/_~", p[i])) return false;
    while (n > 0 && p[n - 1] == '/')
        n--;
    memcpy(out->path, p, n);
    return true;
}

void ksp_pct_encode(std::string_view s, std::string *out) {
    static const char hex[] = "0123456789ABCDEF";
    for (unsigned char c : s) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out->push_back((char)c);
        } else {
            out->push_back('%');
            out->push_back(hex[c >> 4]);
            out->push_back(hex[c & 15]);
        }
    }
}

int ksp_http_get(const ksp_url *u, const std::string &target, const ksp_http_limits *lim,
                 std::string *body) {
    body->clear();
    int64_t deadline = mono_ms() + lim->total_ms;
    struct addrinfo hints = {}, *ai = nullptr;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    char port[8];
    snprintf(port, sizeof port, "%d", u->port);
    hints.ai_flags = AI_NUMERICHOST;
    if (getaddrinfo(u->host, port, &hints, &ai) != 0) {
        hints.ai_flags = 0;
        if (getaddrinfo(u->host, port, &hints, &ai) != 0) return -1;
    }
    fd_guard s;
    s.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    bool connected = false;
    if (s.fd >= 0) {
        int r = connect(s.fd, ai->ai_addr, ai->ai_addrlen);
        if (r == 0) {
            connected = true;
        } else if (errno == EINPROGRESS && wait_fd(s.fd, POLLOUT, lim->connect_ms, deadline)) {
            int err = 0;
            socklen_t len = sizeof err;
            connected = getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
        }
    }
    freeaddrinfo(ai);
    if (!connected) return -1;
    std::string req = "GET " + target + " HTTP/1.0\r\nHost: " + u->host +
                      "\r\nAccept: application/json\r\nConnection: close\r\n\r\n";
    for (size_t off = 0; off < req.size();) {
        if (!wait_fd(s.fd, POLLOUT, lim->send_ms, deadline)) return -1;
        ssize_t n = send(s.fd, req.data() + off, req.size() - off, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) return -1;
        off += (size_t)n;
    }
    std::string in;
    char buf[65536];
    size_t head_end = std::string::npos;
    long long content_len = -1;
    for (;;) {
        if (!wait_fd(s.fd, POLLIN, lim->recv_ms, deadline)) return -1;
        ssize_t n = recv(s.fd, buf, sizeof buf, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        if (in.size() + (size_t)n > lim->max_answer) return -1;
        in.append(buf, (size_t)n);
        if (head_end == std::string::npos) {
            head_end = in.find("\r\n\r\n");
            if (head_end == std::string::npos) {
                if (in.size() > 65536) return -1;
                continue;
            }
            if (in.compare(0, 9, "HTTP/1.0 ") != 0 && in.compare(0, 9, "HTTP/1.1 ") != 0) return -1;
            if (in.compare(9, 3, "200") != 0) return -1;
            std::string head = in.substr(0, head_end);
            for (char &c : head)
                c = (char)tolower((unsigned char)c);
            if (head.find("\ntransfer-encoding:") != std::string::npos) return -1;
            size_t cl = head.find("\ncontent-length:");
            if (cl != std::string::npos) content_len = atoll(head.c_str() + cl + 16);
            if (content_len > (long long)lim->max_answer) return -1;
        }
        if (content_len >= 0 && (long long)(in.size() - head_end - 4) >= content_len) break;
    }
    if (head_end == std::string::npos) return -1;
    *body = in.substr(head_end + 4);
    if (content_len >= 0) {
        if ((long long)body->size() < content_len) return -1;
        body->resize((size_t)content_len);
    }
    return 0;
}

bool ksp_remote_scan(std::string_view b, const std::vector<std::string> &keys,
                     std::vector<ksp_series> *out) {
    out->assign(keys.size(), ksp_series{});
    size_t tp = find_key(b, "\"times\"", 0);
    if (tp == std::string_view::npos) return false;
    std::vector<double> times;
    scan_array(b, tp, &times);
    size_t cp = find_key(b, "\"channels\"", 0);
    std::vector<double> vals;
    for (size_t k = 0; k < keys.size(); k++) {
        size_t p = cp == std::string_view::npos
                       ? std::string_view::npos
                       : find_key(b, "\"" + json_escape_str(keys[k]) + "\"", cp);
        if (p == std::string_view::npos) continue;
        scan_array(b, p, &vals);
        size_t n = std::min(times.size(), vals.size());
        ksp_series &s = (*out)[k];
        for (size_t i = 0; i < n; i++) {
            if (!isfinite(times[i]) || fabs(times[i]) > 9e15) continue;
            s.t.push_back((int64_t)times[i]);
            s.v.push_back(vals[i]);
        }
    }
    return true;
}

int ksp_remote_history(const char *trendurl, int64_t start_s, int64_t end_s,
                       const std::vector<std::string> &keys, const ksp_http_limits *lim,
                       std::vector<ksp_series> *out) {
    ksp_url u;
    if (!ksp_url_parse(trendurl, &u)) return -1;
    auto stamp = [](int64_t t, std::string *o) {
        struct tm tm;
        tz_unix_to_local_tm((time_t)t, &tm);
        char b[32];
        snprintf(b, sizeof b, "%04d%02d%02d%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                 tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
        ksp_pct_encode(b, o);
    };
    std::string target = std::string(u.path) + "/api/data/multi?type=s&start=";
    stamp(start_s, &target);
    target += "&end=";
    stamp(end_s, &target);
    target += "&ch=";
    for (size_t i = 0; i < keys.size(); i++) {
        if (i) target += ',';
        ksp_pct_encode(keys[i], &target);
    }
    std::string body;
    if (ksp_http_get(&u, target, lim, &body) != 0) return -1;
    return ksp_remote_scan(body, keys, out) ? 0 : -1;
}
