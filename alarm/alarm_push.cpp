#include "alarm_push.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "common/json.h"
#include "common/parse_util.h"

int alarm_url_parse(const char *url, alarm_url *out) {
    *out = alarm_url{};
    if (!url || strncmp(url, "http://", 7) != 0) return -1;
    const char *h = url + 7;
    size_t hl = strcspn(h, ":/");
    if (hl == 0 || hl >= sizeof out->host) return -1;
    memcpy(out->host, h, hl);
    out->host[hl] = 0;
    if (h[hl] == ':') {
        const char *p = h + hl + 1;
        size_t pl = strcspn(p, "/");
        if (pl == 0 || pl >= sizeof out->port) return -1;
        for (size_t i = 0; i < pl; i++)
            if (p[i] < '0' || p[i] > '9') return -1;
        memcpy(out->port, p, pl);
        out->port[pl] = 0;
    }
    return 0;
}

bool alarm_http_reply_ok(const std::string &reply, std::string *body) {
    size_t he = reply.find("\r\n\r\n");
    if (he == std::string::npos) return false;
    size_t le = reply.find("\r\n");
    std::string status = reply.substr(0, le);
    // "HTTP/1.1 200 OK": the code is the second word of the status line.
    if (status.compare(0, 7, "HTTP/1.") != 0 || status.size() < 12 || status[8] != ' ' ||
        status.compare(9, 3, "200") != 0 || (status.size() > 12 && status[12] != ' '))
        return false;
    if (body) *body = reply.substr(he + 4);
    return true;
}

std::string alarm_reply_cfg_crc(const std::string &body) {
    json_ptr j(json_parse_len(body.data(), body.size()));
    const json_node *c = json_get(j.get(), "cfg_crc");
    if (!c || c->type != JSON_STRING || strlen(c->string) != 8) return "";
    return c->string;
}

static int64_t mono_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Waits for `events` on fd within both the step limit and the deadline,
// in short slices so that an abort is seen quickly. 1 ready, 0 timed out.
static int wait_fd(int fd, short events, int step_ms, int64_t deadline,
                   const std::atomic<bool> *abort) {
    int64_t end = mono_ms() + step_ms;
    if (end > deadline) end = deadline;
    for (;;) {
        if (abort && abort->load()) return 0;
        int64_t left = end - mono_ms();
        if (left <= 0) return 0;
        pollfd p{fd, events, 0};
        int r = poll(&p, 1, left > 100 ? 100 : (int)left);
        if (r > 0) return 1;
        if (r < 0 && errno != EINTR) return 0;
    }
}

bool alarm_http_push(const alarm_url &url, const std::string &body, const alarm_http_limits &lim,
                     const std::atomic<bool> *abort, std::string *reply_body) {
    int64_t deadline = mono_ms() + lim.total_ms;
    addrinfo hints{}, *ai = nullptr;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(url.host, url.port, &hints, &ai) != 0 || !ai) return false;
    int fd = socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        freeaddrinfo(ai);
        return false;
    }
    int rc = connect(fd, ai->ai_addr, ai->ai_addrlen);
    freeaddrinfo(ai);
    bool ok = rc == 0 || errno == EINPROGRESS;
    if (ok && rc != 0) {
        int err = 0;
        socklen_t len = sizeof err;
        ok = wait_fd(fd, POLLOUT, lim.connect_ms, deadline, abort) == 1 &&
             getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    }
    char head[512];
    int hl = snprintf(head, sizeof head,
                      "POST %s HTTP/1.1\r\nHost: %s:%s\r\nContent-Type: application/json\r\n"
                      "Content-Length: %zu\r\nConnection: close\r\n\r\n",
                      "/api/alarms/push", url.host, url.port, body.size());
    std::string req(head, (size_t)hl);
    req += body;
    size_t off = 0;
    while (ok && off < req.size()) {
        ssize_t n = send(fd, req.data() + off, req.size() - off, MSG_NOSIGNAL);
        if (n > 0) {
            off += (size_t)n;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            ok = wait_fd(fd, POLLOUT, lim.io_ms, deadline, abort) == 1;
        } else {
            ok = false;
        }
    }
    std::string reply;
    char buf[8192];
    while (ok) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n > 0) {
            if (reply.size() + (size_t)n > lim.reply_max) {
                ok = false;
                break;
            }
            reply.append(buf, (size_t)n);
        } else if (n == 0) {
            break;
        } else if (errno == EAGAIN || errno == EINTR) {
            ok = wait_fd(fd, POLLIN, lim.io_ms, deadline, abort) == 1;
        } else {
            ok = false;
        }
    }
    close(fd);
    std::string rb;
    if (!ok || !alarm_http_reply_ok(reply, &rb)) return false;
    if (reply_body) *reply_body = std::move(rb);
    return true;
}

static void notifier_loop(alarm_notifier *n) {
    std::unique_lock<std::mutex> lk(n->mu);
    while (!n->stop) {
        n->cv.wait_for(lk, std::chrono::milliseconds(n->period_ms),
                       [&] { return n->requested || n->stop.load(); });
        if (n->stop) break;
        n->requested = false;
        lk.unlock();
        std::string body, reply;
        n->build(&body);
        bool ok = alarm_http_push(n->url, body, n->limits, &n->stop, &reply);
        if (!n->stop) n->result(ok, reply);
        lk.lock();
    }
}

void alarm_notifier_start(alarm_notifier *n) {
    {
        std::lock_guard<std::mutex> lk(n->mu);
        n->requested = true;
    }
    n->thread = std::thread(notifier_loop, n);
}

void alarm_notifier_kick(alarm_notifier *n) {
    std::lock_guard<std::mutex> lk(n->mu);
    n->requested = true;
    n->cv.notify_one();
}

void alarm_notifier_stop(alarm_notifier *n) {
    {
        std::lock_guard<std::mutex> lk(n->mu);
        n->stop = true;
        n->cv.notify_one();
    }
    if (n->thread.joinable()) n->thread.join();
}
