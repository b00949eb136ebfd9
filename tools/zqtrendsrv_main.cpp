// zqtrendsrv: a small trend server that receives trend pushes (cursor,
// hash and ingest requests) and stores the files per source, for trying a
// push set-up and for tests. Faults can be injected from the command line
// or through /ctl: a status for the next requests, a forced 409, delays,
// a trickled answer, an early close.

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/parse_util.h"
#include "zqtrendsrv_store.h"

namespace {

constexpr size_t kHeadMax = 8192;
constexpr size_t kBodyMax = 80u << 20;

struct faults {
    int next_status = 0, next_count = 0;  // answer the next requests with this status
    long long conflict = -1;              // next ingest: cut the file by this much, 409
    int delay_ms = 0;                     // before every answer
    int trickle_ms = 0;                   // between the bytes of every answer
    int close_next = 0;                   // close that many requests without an answer
};

std::mutex g_mu;  // store, faults and tokens
srv_store g_store;
faults g_f;
std::vector<std::string> g_tokens;  // empty: no token needed
std::atomic<bool> g_run{true};

void on_signal(int) {
    g_run = false;
}

struct request {
    std::string method, path;
    std::map<std::string, std::string> q;
    std::string auth;
    std::string body;
};

std::string lower(std::string s) {
    for (char &c : s)
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    return s;
}

bool recv_some(int fd, std::string *in, size_t cap) {
    char buf[65536];
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 15000) <= 0) return false;
    ssize_t r = recv(fd, buf, sizeof buf, 0);
    if (r <= 0 || in->size() + (size_t)r > cap) return false;
    in->append(buf, (size_t)r);
    return true;
}

// 0 parsed, -1 connection lost, else an HTTP status for a malformed request.
int read_request(int fd, request *rq) {
    std::string in;
    size_t end;
    while ((end = in.find("\r\n\r\n")) == std::string::npos)
        if (in.size() > kHeadMax || !recv_some(fd, &in, kHeadMax + 65536)) return -1;
    size_t sp1 = in.find(' '), sp2 = in.find(' ', sp1 + 1), eol = in.find("\r\n");
    if (sp1 == std::string::npos || sp2 == std::string::npos || sp2 > eol) return 400;
    if (in.compare(sp2 + 1, 7, "HTTP/1.") != 0) return 400;
    rq->method = in.substr(0, sp1);
    std::string target = in.substr(sp1 + 1, sp2 - sp1 - 1);
    size_t qm = target.find('?');
    rq->path = target.substr(0, qm);
    if (qm != std::string::npos) {
        std::string qs = target.substr(qm + 1);
        for (size_t at = 0; at <= qs.size();) {
            size_t amp = qs.find('&', at);
            if (amp == std::string::npos) amp = qs.size();
            std::string kv = qs.substr(at, amp - at);
            size_t eq = kv.find('=');
            if (eq != std::string::npos) rq->q[kv.substr(0, eq)] = kv.substr(eq + 1);
            at = amp + 1;
        }
    }
    long long clen = 0;
    for (size_t ls = eol; ls < end; ls = in.find("\r\n", ls + 2)) {
        std::string line = in.substr(ls + 2, in.find("\r\n", ls + 2) - ls - 2);
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string k = lower(line.substr(0, colon)), v = line.substr(colon + 1);
        while (!v.empty() && v[0] == ' ')
            v.erase(0, 1);
        if (k == "content-length") {
            char *e;
            clen = strtoll(v.c_str(), &e, 10);
            if (*e || clen < 0 || (size_t)clen > kBodyMax) return 413;
        } else if (k == "authorization") {
            rq->auth = v;
        }
    }
    rq->body = in.substr(end + 4);
    while (rq->body.size() < (size_t)clen)
        if (!recv_some(fd, &rq->body, (size_t)clen)) return -1;
    if (rq->body.size() > (size_t)clen) return 400;
    return 0;
}

void send_answer(int fd, int status, const std::string &body, int delay_ms, int trickle_ms) {
    const char *text = status == 200   ? "OK"
                       : status == 400 ? "Bad Request"
                       : status == 403 ? "Forbidden"
                       : status == 404 ? "Not Found"
                       : status == 409 ? "Conflict"
                       : status == 413 ? "Payload Too Large"
                                       : "Error";
    char head[256];
    snprintf(head, sizeof head,
             "HTTP/1.1 %d %s\r\nContent-Type: application/json\r\nContent-Length: %zu\r\n"
             "Connection: close\r\n\r\n",
             status, text, body.size());
    std::string all = head + body;
    for (int t = 0; t < delay_ms && g_run; t += 10)
        usleep(10000);
    if (trickle_ms <= 0) {
        send(fd, all.data(), all.size(), MSG_NOSIGNAL);
        return;
    }
    for (char c : all) {
        if (send(fd, &c, 1, MSG_NOSIGNAL) != 1) return;
        for (int t = 0; t < trickle_ms && g_run; t += 10)
            usleep(10000);
    }
}

long long num(const request &rq, const char *k, long long def) {
    auto it = rq.q.find(k);
    if (it == rq.q.end()) return def;
    char *e;
    long long v = strtoll(it->second.c_str(), &e, 10);
    return (*e || it->second.empty()) ? def : v;
}

void control(const request &rq, srv_answer *a) {
    if (rq.method == "POST") {
        if (rq.q.count("next")) {
            g_f.next_status = (int)num(rq, "next", 0);
            g_f.next_count = (int)num(rq, "count", 1);
        }
        if (rq.q.count("conflict")) g_f.conflict = num(rq, "conflict", -1);
        if (rq.q.count("delay_ms")) g_f.delay_ms = (int)num(rq, "delay_ms", 0);
        if (rq.q.count("trickle_ms")) g_f.trickle_ms = (int)num(rq, "trickle_ms", 0);
        if (rq.q.count("close")) g_f.close_next = (int)num(rq, "close", 0);
        if (rq.q.count("token")) {
            std::string t;
            g_tokens.clear();
            if (srv_src_ok(rq.q.at("token"), &t)) g_tokens.push_back(t);
        }
    }
    char b[512];
    snprintf(b, sizeof b,
             "{\"frames\":%lld,\"plain\":%lld,\"compressed\":%lld,\"records\":%lld,\"bytes\":%lld,"
             "\"row_bytes\":%lld,\"rejected\":%lld,\"last_error\":\"%s\"}",
             g_store.frames, g_store.plain, g_store.compressed, g_store.records, g_store.bytes,
             g_store.row_bytes, g_store.rejected, g_store.last_error.c_str());
    a->status = 200;
    a->body = b;
}

void handle(const request &rq, srv_answer *a) {
    if (rq.path == "/ctl") return control(rq, a);
    if (g_f.next_count > 0) {
        g_f.next_count--;
        a->status = g_f.next_status;
        a->body = "{\"error\":\"injected\"}";
        return;
    }
    bool authorised = g_tokens.empty();
    for (const std::string &t : g_tokens)
        if (rq.auth == "Bearer " + t) authorised = true;
    if (!authorised) {
        a->status = 403;
        a->body = "{\"error\":\"token\"}";
        return;
    }
    std::string src;
    auto it = rq.q.find("src");
    if (it == rq.q.end() || !srv_src_ok(it->second, &src)) {
        a->status = 400;
        a->body = "{\"error\":\"bad src\"}";
        return;
    }
    long long date = num(rq, "date", -1);
    if (rq.method == "GET" && (rq.path == "/api/trend/cursor" || rq.path == "/api/trend/hash")) {
        if (date < 19700101 || date > 99991231) {
            a->status = 400;
            a->body = "{\"error\":\"bad date\"}";
        } else if (rq.path == "/api/trend/cursor") {
            srv_cursor(&g_store, src, (uint32_t)date, a);
        } else {
            auto k = rq.q.find("kind");
            srv_hash(&g_store, src, (uint32_t)date, k == rq.q.end() ? "" : k->second,
                     num(rq, "len", -1), a);
        }
    } else if (rq.method == "POST" && rq.path == "/api/trend/ingest") {
        const uint8_t *p = (const uint8_t *)rq.body.data();
        if (g_f.conflict >= 0 &&
            srv_force_conflict(&g_store, src, p, rq.body.size(), g_f.conflict, a)) {
            g_f.conflict = -1;
            return;
        }
        srv_ingest(&g_store, src, p, rq.body.size(), a);
    } else {
        a->status = 404;
        a->body = "{\"error\":\"no such endpoint\"}";
    }
}

void serve(int fd) {
    request rq;
    int r = read_request(fd, &rq);
    srv_answer a;
    int delay, trickle;
    bool drop = false;
    {
        std::lock_guard<std::mutex> lk(g_mu);
        if (r == 0 && rq.path != "/ctl" && g_f.close_next > 0) {
            g_f.close_next--;
            drop = true;
        } else if (r == 0) {
            handle(rq, &a);
        } else {
            a.status = r;
            a.body = "{\"error\":\"malformed request\"}";
        }
        bool ctl = r == 0 && rq.path == "/ctl";
        delay = ctl ? 0 : g_f.delay_ms;
        trickle = ctl ? 0 : g_f.trickle_ms;
    }
    if (r != 0 || (a.status != 200 && rq.path != "/ctl"))
        printf("%s %s%s -> %d %s\n", rq.method.c_str(), rq.path.c_str(), drop ? " (dropped)" : "",
               drop ? 0 : a.status, a.body.c_str());
    if (r >= 0 && !drop) send_answer(fd, a.status, a.body, delay, trickle);
    close(fd);
}

int usage(const char *me) {
    fprintf(stderr,
            "Usage: %s --dir <store> [--port <n>] [--bind <ipv4>] [--token <t>]...\n"
            "          [--next-status <code> [--next-count <n>]] [--conflict <bytes>]\n"
            "          [--delay-ms <n>] [--trickle-ms <n>] [--close-early <n>]\n"
            "Fault settings can be changed later: POST /ctl?next=403&count=1, conflict=1000,\n"
            "delay_ms=, trickle_ms=, close=, token=; GET /ctl shows the counters.\n",
            me);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    int port = 0;
    std::string bind_ip = "127.0.0.1";
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "-h" || a == "--help") return usage(argv[0]), 0;
        if (!v) return usage(argv[0]);
        i++;
        if (a == "--dir")
            g_store.dir = v;
        else if (a == "--port")
            port = atoi(v);
        else if (a == "--bind")
            bind_ip = v;
        else if (a == "--token")
            g_tokens.push_back(v);
        else if (a == "--next-status")
            g_f.next_status = atoi(v), g_f.next_count = g_f.next_count ? g_f.next_count : 1;
        else if (a == "--next-count")
            g_f.next_count = atoi(v);
        else if (a == "--conflict")
            g_f.conflict = atoll(v);
        else if (a == "--delay-ms")
            g_f.delay_ms = atoi(v);
        else if (a == "--trickle-ms")
            g_f.trickle_ms = atoi(v);
        else if (a == "--close-early")
            g_f.close_next = atoi(v);
        else
            return usage(argv[0]);
    }
    if (g_store.dir.empty()) return usage(argv[0]);
    if (zq_mkdirs(g_store.dir.c_str(), 0755) != 0) {
        perror(g_store.dir.c_str());
        return 1;
    }
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    if (inet_pton(AF_INET, bind_ip.c_str(), &addr.sin_addr) != 1 ||
        bind(ls, (struct sockaddr *)&addr, sizeof addr) != 0 || listen(ls, 64) != 0) {
        perror("zqtrendsrv: listen");
        return 1;
    }
    socklen_t al = sizeof addr;
    getsockname(ls, (struct sockaddr *)&addr, &al);
    printf("zqtrendsrv: listening on %s:%d, store %s\n", bind_ip.c_str(), ntohs(addr.sin_port),
           g_store.dir.c_str());
    while (g_run) {
        struct pollfd p = {ls, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        int fd = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::thread(serve, fd).detach();
    }
    close(ls);
    printf("zqtrendsrv: stopped\n");
    return 0;
}
