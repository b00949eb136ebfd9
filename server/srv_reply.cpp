#include "server/srv_reply.h"

#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "server/http.h"

srv_reply::~srv_reply() {
    if (file_fd >= 0) close(file_fd);
}

void srv_reply_body(srv_reply *r, int status, const char *type, std::string body) {
    r->kind = SRV_REPLY_BODY;
    r->status = status;
    r->content_type = type;
    r->body = std::move(body);
}

void srv_reply_json(srv_reply *r, int status, std::string body) {
    srv_reply_body(r, status, SRV_JSON, std::move(body));
}

void srv_reply_text(srv_reply *r, int status, const char *text) {
    srv_reply_body(r, status, "text/plain", text);
}

void srv_reply_not_found(srv_reply *r) {
    srv_reply_text(r, 404, "Not Found");
}

void srv_reply_error(srv_reply *r, int status, const char *code, const char *extra,
                     const char *type) {
    std::string b = "{\"ok\":false,\"error\":\"";
    b += code;
    b += '"';
    b += extra;
    b += '}';
    srv_reply_body(r, status, type, std::move(b));
}

void srv_reply_redirect(srv_reply *r, const char *location) {
    r->kind = SRV_REPLY_REDIRECT;
    r->status = 301;
    r->location = location;
}

void srv_reply_auth(srv_reply *r, const char *realm) {
    r->kind = SRV_REPLY_AUTH;
    r->status = 401;
    r->location = realm;
}

void srv_reply_preflight(srv_reply *r) {
    r->kind = SRV_REPLY_PREFLIGHT;
    r->status = 204;
}

void srv_reply_file(srv_reply *r, const char *type, bool cacheable, std::string body) {
    r->kind = SRV_REPLY_FILE;
    r->status = 200;
    r->content_type = type;
    r->cacheable = cacheable;
    r->body = std::move(body);
}

void srv_reply_file_fd(srv_reply *r, const char *type, bool cacheable, int fd, long len) {
    srv_reply_file(r, type, cacheable, std::string());
    if (r->file_fd >= 0) close(r->file_fd);
    r->file_fd = fd;
    r->file_len = len;
}

static int write_file(int fd, srv_reply *r) {
    long len = r->file_fd >= 0 ? r->file_len : (long)r->body.size();
    char head[512];
    int hl = snprintf(head, sizeof head,
                      "HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %ld\r\n"
                      "Cache-Control: %s\r\nAccess-Control-Allow-Origin: *\r\nConnection: "
                      "close\r\n\r\n",
                      r->content_type, len,
                      r->cacheable ? "max-age=86400" : "no-cache, no-store, must-revalidate");
    if (hl < 0 || hl >= (int)sizeof head) return -1;
    if (r->head_only) return http_write_all(fd, head, (size_t)hl);
    if (r->file_fd < 0) return http_write_two(fd, head, (size_t)hl, r->body.data(), r->body.size());
    // Streamed: a file's size is not bounded by memory. The first block
    // leaves with the head.
    char buf[65536];
    ssize_t n;
    do {
        n = read(r->file_fd, buf, sizeof buf);
    } while (n < 0 && errno == EINTR);
    if (n < 0) n = 0;
    int rc = http_write_two(fd, head, (size_t)hl, buf, (size_t)n);
    long sent = n;
    while (rc == 0 && sent < len) {
        n = read(r->file_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        rc = http_write_all(fd, buf, (size_t)n);
        sent += n;
    }
    return rc;
}

int srv_reply_write(int fd, srv_reply *r) {
    switch (r->kind) {
        case SRV_REPLY_NONE:
            return 0;
        case SRV_REPLY_BODY:
            return http_respond(fd, r->status, r->content_type, r->body, !r->head_only);
        case SRV_REPLY_REDIRECT:
            return http_respond_redirect(fd, r->location.c_str());
        case SRV_REPLY_AUTH:
            return http_respond_401(fd, r->location.c_str(), !r->head_only);
        case SRV_REPLY_PREFLIGHT: {
            static const char pre[] =
                "HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Origin: *\r\n"
                "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
                "Access-Control-Allow-Headers: authorization, content-type\r\n"
                "Access-Control-Max-Age: 600\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            return http_write_all(fd, pre, sizeof pre - 1);
        }
        case SRV_REPLY_FILE:
            return write_file(fd, r);
    }
    return -1;
}
