#include "tests/support/http.h"

#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/support/net.h"
#include "tests/support/wait.h"

namespace tsup {

namespace {

// True once the head is in and the body is as long as Content-Length says;
// an answer without Content-Length ends when the server closes.
bool complete(const std::string &r) {
    size_t he = r.find("\r\n\r\n");
    if (he == std::string::npos) return false;
    std::string cl = http_parse(r.substr(0, he + 4)).header("Content-Length");
    if (cl.empty()) return false;
    return r.size() >= he + 4 + strtoul(cl.c_str(), nullptr, 10);
}

}  // namespace

std::string HttpResponse::header(const std::string &name) const {
    std::string key = name + ":";
    size_t p = 0;
    while ((p = head.find("\r\n", p)) != std::string::npos) {
        p += 2;
        if (strncasecmp(head.c_str() + p, key.c_str(), key.size()) != 0) continue;
        size_t e = head.find("\r\n", p);
        std::string v =
            head.substr(p + key.size(), e == std::string::npos ? e : e - p - key.size());
        size_t b = v.find_first_not_of(' ');
        return b == std::string::npos ? "" : v.substr(b);
    }
    return "";
}

std::string http_format(const std::string &method, const std::string &target,
                        const std::string &body, const HttpHeaders &headers) {
    std::string r = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (const auto &h : headers)
        r += h.first + ": " + h.second + "\r\n";
    if (!body.empty() || method == "POST")
        r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    r += "\r\n" + body;
    return r;
}

HttpResponse http_parse(const std::string &raw) {
    HttpResponse out;
    size_t e = raw.find("\r\n\r\n");
    if (e == std::string::npos) return out;
    out.head = raw.substr(0, e);
    out.body = raw.substr(e + 4);
    if (raw.compare(0, 9, "HTTP/1.1 ") == 0) out.status = atoi(raw.c_str() + 9);
    return out;
}

bool http_exchange(int port, const std::string &request, std::string *answer, int timeout_ms) {
    std::string &r = *answer;
    r.clear();
    int s = tcp_connect(port);
    if (s < 0) return false;
    if (send_all(s, request)) {
        long long end = now_ms() + timeout_ms;
        char buf[65536];
        while (now_ms() < end && !complete(r)) {
            pollfd p{s, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            ssize_t n = recv(s, buf, sizeof buf, 0);
            if (n <= 0) break;
            r.append(buf, size_t(n));
        }
    }
    close(s);
    return true;
}

bool http_exchange_to_close(int port, const std::string &request, std::string *answer,
                            int timeout_ms) {
    answer->clear();
    int s = tcp_connect(port);
    if (s < 0) return false;
    // A server may answer and close before it has read all: what it sent
    // counts even when sending the rest failed.
    send_all(s, request);
    *answer = recv_until_close(s, timeout_ms);
    close(s);
    return true;
}

HttpResponse http_request(int port, const std::string &method, const std::string &target,
                          const std::string &body, const HttpHeaders &headers, int timeout_ms) {
    std::string raw;
    http_exchange(port, http_format(method, target, body, headers), &raw, timeout_ms);
    return http_parse(raw);
}

}  // namespace tsup
