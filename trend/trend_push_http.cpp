// One HTTP/1.1 exchange with a trend server over a plain socket. Every wait
// is a short poll on the monotonic clock, so a slow or trickling server
// cannot hold the worker past its deadlines or past a stop request.

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "trend_push.h"

namespace {

constexpr size_t kReplyMax = 1u << 20;
constexpr int kSliceMs = 100;

int64_t mono_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

struct fd_guard {
    int fd = -1;
    ~fd_guard() {
        if (fd >= 0) close(fd);
    }
};

// Waits for the event, in slices, until the deadline or a stop request.
// 1 ready, 0 timed out or stopped, -1 error.
int wait_fd(int fd, short ev, int64_t deadline, const push_http_opts &o) {
    for (;;) {
        if (o.running && !o.running->load()) return 0;
        int64_t left = deadline - mono_ms();
        if (left <= 0) return 0;
        struct pollfd p = {fd, ev, 0};
        int r = poll(&p, 1, (int)(left < kSliceMs ? left : kSliceMs));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r > 0) return 1;
    }
}

int connect_to(const push_url &u, const push_http_opts &o) {
    struct addrinfo hints = {}, *res = nullptr;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    char port[8];
    snprintf(port, sizeof port, "%d", u.port);
    if (getaddrinfo(u.host.c_str(), port, &hints, &res) != 0 || !res) return -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        freeaddrinfo(res);
        return -1;
    }
    int r = connect(fd, res->ai_addr, res->ai_addrlen);
    freeaddrinfo(res);
    if (r != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    if (r != 0) {
        int err = 0;
        socklen_t el = sizeof err;
        if (wait_fd(fd, POLLOUT, mono_ms() + o.connect_ms, o) != 1 ||
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &el) != 0 || err != 0) {
            close(fd);
            return -1;
        }
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool send_all(int fd, const uint8_t *p, size_t n, int64_t overall, const push_http_opts &o) {
    while (n > 0) {
        int64_t idle = mono_ms() + o.idle_ms;
        if (wait_fd(fd, POLLOUT, idle < overall ? idle : overall, o) != 1) return false;
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (w <= 0) return false;
        p += w;
        n -= (size_t)w;
    }
    return true;
}

// Content-Length of the answer once its head is complete, -1 when not known.
long long content_length(const std::string &in, size_t *body_at) {
    size_t e = in.find("\r\n\r\n");
    if (e == std::string::npos) return -1;
    *body_at = e + 4;
    for (size_t ls = in.find("\r\n"); ls != std::string::npos && ls < e;
         ls = in.find("\r\n", ls + 2)) {
        if (strncasecmp(in.c_str() + ls + 2, "content-length:", 15) == 0) {
            const char *v = in.c_str() + ls + 17;
            while (*v == ' ')
                v++;
            char *endp;
            long long n = strtoll(v, &endp, 10);
            return (endp != v && n >= 0) ? n : -1;
        }
    }
    return -1;
}

}  // namespace

int push_http_do(const push_url &u, const char *method, const std::string &path,
                 const std::string &token, const void *body, size_t len, push_reply *out,
                 const push_http_opts &o) {
    out->status = 0;
    out->body.clear();
    int64_t overall = mono_ms() + o.overall_ms;
    char head[1024];
    std::string auth = token.empty() ? "" : "Authorization: Bearer " + token + "\r\n";
    int hl =
        snprintf(head, sizeof head,
                 "%s %s HTTP/1.1\r\nHost: %s:%d\r\n%sContent-Type: "
                 "application/octet-stream\r\nContent-Length: %zu\r\nConnection: close\r\n\r\n",
                 method, path.c_str(), u.host.c_str(), u.port, auth.c_str(), len);
    if (hl < 0 || hl >= (int)sizeof head) return -1;
    fd_guard s;
    s.fd = connect_to(u, o);
    if (s.fd < 0) return -1;
    if (!send_all(s.fd, (const uint8_t *)head, (size_t)hl, overall, o)) return -1;
    if (len && !send_all(s.fd, (const uint8_t *)body, len, overall, o)) return -1;
    std::string in;
    char buf[16384];
    for (;;) {
        size_t body_at = 0;
        long long cl = content_length(in, &body_at);
        if (cl >= 0 && in.size() >= body_at + (size_t)cl) {
            in.resize(body_at + (size_t)cl);
            break;
        }
        int64_t idle = mono_ms() + o.idle_ms;
        if (wait_fd(s.fd, POLLIN, idle < overall ? idle : overall, o) != 1) return -1;
        ssize_t r = recv(s.fd, buf, sizeof buf, 0);
        if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        if (in.size() + (size_t)r > kReplyMax) return -1;
        in.append(buf, (size_t)r);
    }
    if (!push_reply_parse(in.data(), in.size(), out)) {
        out->status = 0;
        return -1;
    }
    return 0;
}
