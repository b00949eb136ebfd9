#pragma once
// One fuzz input through everything that reads a client's request: the
// socket reader (over a socketpair, the client half-closed after sending),
// the head parser, the header/query getters, the route lookup and the
// tag-name parser of the runtime API. Shared by the fuzz target and the
// corpus replay test.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "server/http.h"
#include "server/rt_common.h"
#include "server/srv_routes.h"

namespace http_fuzz {

inline long small_limit(const http_request *, long, void *) {
    return 4096;
}

inline void check_request(const http_request *req) {
    if (strnlen(req->method, sizeof req->method) == sizeof req->method) abort();
    if (strnlen(req->path, sizeof req->path) == sizeof req->path) abort();
    if (strnlen(req->query, sizeof req->query) == sizeof req->query) abort();
    if (req->n_headers < 0 || req->n_headers > 32) abort();
    char out[64];
    static const char *const names[] = {"Content-Length", "Host", "Authorization", "Cookie", ""};
    for (const char *n : names) {
        (void)http_header(req, n, out, sizeof out);
        (void)http_query_param(req, n, out, sizeof out);
    }
    (void)http_query_param(req, "t", out, 1);
    (void)http_query_param(req, "t", nullptr, 0);
    // The router's lookup and cross-site check read only the request.
    srv_match m = srv_route_find(req);
    if (m.route && (m.group_flags & m.route->flags) != m.route->flags) abort();
    (void)srv_cross_site(req);
}

// How the socket reader took the input: its return code and, when it
// accepted the request, what it read.
struct result {
    int read_rc = -100;  // -100: not offered to the reader
    std::string method, path, query, body;
};

inline result run_one(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);
    result res;

    auto req = std::make_unique<http_request>();
    memset(req->method, 0, sizeof req->method);
    req->n_headers = 0;
    if (http_parse_head(text, size, req.get()) == 0) check_request(req.get());

    std::string s(text, size);  // the string helpers take NUL-terminated text
    (void)http_parse_content_length(s.c_str());
    char kind;
    long num;
    (void)rt_parse_tag(s.c_str(), &kind, &num);
    http_url_decode(&s[0]);

    // Larger inputs than a socket buffer would block the writer; the reader
    // gives up at 8 KiB of head anyway.
    if (size > 65536) return res;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) abort();
    size_t sent = 0;
    while (sent < size) {
        ssize_t n = send(sv[1], data + sent, size - sent, MSG_NOSIGNAL);
        if (n <= 0) abort();
        sent += (size_t)n;
    }
    shutdown(sv[1], SHUT_WR);
    auto r2 = std::make_unique<http_request>();
    res.read_rc = http_read(sv[0], r2.get(), (data[0] & 1) ? small_limit : nullptr, nullptr);
    if (res.read_rc == 0) {
        check_request(r2.get());
        if (r2->body_len != (int)r2->body.size()) abort();
        res.method = r2->method;
        res.path = r2->path;
        res.query = r2->query;
        res.body = r2->body;
    }
    close(sv[0]);
    close(sv[1]);
    return res;
}

}  // namespace http_fuzz
