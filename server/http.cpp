#include "server/http.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <strings.h>
#include <cstdio>
#include <cstring>
#include <new>

long long http_mono_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes in place; returns true when a decoded NUL byte cut the text short.
static bool url_decode_nul(char *text) {
    char *w = text;
    bool nul = false;
    for (const char *r = text; *r; r++) {
        if (*r == '%' && hexval(r[1]) >= 0 && hexval(r[2]) >= 0) {
            char c = (char)(hexval(r[1]) * 16 + hexval(r[2]));
            if (c == 0) nul = true;
            *w++ = c;
            r += 2;
        } else if (*r == '+') {
            *w++ = ' ';
        } else {
            *w++ = *r;
        }
    }
    *w = 0;
    return nul;
}

void http_url_decode(char *text) {
    if (text) url_decode_nul(text);
}

static void copy_cut(char *dst, size_t cap, const char *src, size_t n) {
    if (n > cap - 1) n = cap - 1;
    memcpy(dst, src, n);
    dst[n] = 0;
}

long http_parse_content_length(const char *s) {
    if (!s) return -1;
    while (*s == ' ' || *s == '\t')
        s++;
    if (*s < '0' || *s > '9') return -1;
    long v = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        int d = *s - '0';
        if (v > (HTTP_BODY_HARD_MAX * 16 - d) / 10) return -1;  // far beyond any limit
        v = v * 10 + d;
    }
    while (*s == ' ' || *s == '\t')
        s++;
    if (*s) return -1;
    return v;
}

int http_parse_head(const char *head, size_t len, http_request *req) {
    // Request line.
    const char *end = head + len;
    const char *eol = (const char *)memmem(head, len, "\r\n", 2);
    if (!eol) return -1;
    const char *p = head;
    const char *sp = (const char *)memchr(p, ' ', eol - p);
    if (!sp || sp == p) return -1;
    copy_cut(req->method, sizeof req->method, p, sp - p);
    p = sp;
    while (p < eol && *p == ' ')
        p++;
    const char *tend = (const char *)memchr(p, ' ', eol - p);
    if (!tend) tend = eol;
    if (tend == p) return -1;
    const char *q = (const char *)memchr(p, '?', tend - p);
    const char *pend = q ? q : tend;
    copy_cut(req->path, sizeof req->path, p, pend - p);
    req->path_has_nul = url_decode_nul(req->path);
    if (q) {
        // Kept encoded: values are decoded one by one after the split, so an
        // encoded "&" stays inside its value.
        copy_cut(req->query, sizeof req->query, q + 1, tend - q - 1);
    }
    // Header lines up to the empty line.
    p = eol + 2;
    while (p < end) {
        const char *le = (const char *)memmem(p, end - p, "\r\n", 2);
        if (!le) le = end;
        if (le == p) break;
        const char *colon = (const char *)memchr(p, ':', le - p);
        if (colon && req->n_headers < 32) {
            http_header_kv &h = req->headers[req->n_headers++];
            copy_cut(h.name, sizeof h.name, p, colon - p);
            const char *v = colon + 1;
            while (v < le && *v == ' ')
                v++;
            copy_cut(h.value, sizeof h.value, v, le - v);
        }
        p = le + 2;
    }
    return 0;
}

int http_read(int fd, http_request *req, http_body_limit_fn limit, void *ctx) {
    // client_ip is filled by the caller before reading.
    req->method[0] = req->path[0] = req->query[0] = 0;
    req->n_headers = 0;
    req->body.clear();
    req->body_len = 0;
    req->path_has_nul = false;

    char buf[8192];
    size_t got = 0;
    size_t head_len = 0;
    long long start = http_mono_ms();
    for (;;) {
        ssize_t n = recv(fd, buf + got, 8191 - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        size_t from = got >= 3 ? got - 3 : 0;
        got += (size_t)n;
        const char *t = (const char *)memmem(buf + from, got - from, "\r\n\r\n", 4);
        if (t) {
            head_len = (size_t)(t - buf) + 4;
            break;
        }
        if (got >= 8191) return -1;
        if (http_mono_ms() - start > HTTP_HEADER_DEADLINE_MS) return -1;
    }
    buf[got] = 0;
    if (http_parse_head(buf, head_len, req) < 0) return -1;

    char clv[128];
    if (!http_header(req, "Content-Length", clv, sizeof clv)) return 0;
    long cl = http_parse_content_length(clv);
    if (cl < 0 || cl > HTTP_BODY_HARD_MAX) return -1;
    if (cl == 0) return 0;
    long allowed = limit ? limit(req, cl, ctx) : HTTP_BODY_SMALL_MAX;
    if (cl > allowed) return -1;

    timeval tv{15, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    // Memory grows with the bytes that actually arrive, not with the
    // announced length.
    try {
        size_t already = got - head_len;
        if (already > (size_t)cl) already = (size_t)cl;
        req->body.reserve((size_t)(cl < 65536 ? cl : 65536));
        req->body.append(buf + head_len, already);
        long long deadline =
            start + (cl > HTTP_BODY_SMALL_MAX ? HTTP_BIG_BODY_DEADLINE_MS : HTTP_BODY_DEADLINE_MS);
        char chunk[16384];
        while ((long)req->body.size() < cl) {
            size_t want = (size_t)cl - req->body.size();
            if (want > sizeof chunk) want = sizeof chunk;
            ssize_t n = recv(fd, chunk, want, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || http_mono_ms() > deadline) {
                std::string().swap(req->body);
                return -1;
            }
            req->body.append(chunk, (size_t)n);
        }
    } catch (const std::bad_alloc &) {
        std::string().swap(req->body);
        return -1;
    }
    req->body_len = (int)cl;
    return 0;
}

bool http_query_param(const http_request *req, const char *name, char *out, size_t size) {
    size_t nl = strlen(name);
    const char *q = req->query;
    const char *p = q;
    while ((p = strstr(p, name)) != nullptr) {
        if ((p == q || p[-1] == '&') && p[nl] == '=') {
            const char *v = p + nl + 1;
            size_t n = strcspn(v, "&");
            if (size) {
                char buf[sizeof req->query];
                copy_cut(buf, sizeof buf, v, n);
                url_decode_nul(buf);
                copy_cut(out, size, buf, strlen(buf));
            }
            return true;
        }
        if (!*p) break;  // an empty name matches at the terminator too
        p++;
    }
    return false;
}

bool http_header(const http_request *req, const char *name, char *out, size_t size) {
    for (int i = 0; i < req->n_headers; i++) {
        if (strcasecmp(req->headers[i].name, name) == 0) {
            if (size) copy_cut(out, size, req->headers[i].value, strlen(req->headers[i].value));
            return true;
        }
    }
    return false;
}

const char *http_reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "OK";
    }
}

int http_write_all(int fd, const void *data, size_t len) {
    const char *p = (const char *)data;
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        p += n;
        len -= (size_t)n;
    }
    return 0;
}

int http_write_two(int fd, const char *a, size_t alen, const char *b, size_t blen) {
    iovec iov[2] = {{(void *)a, alen}, {(void *)b, blen}};
    int cnt = blen ? 2 : 1;
    ssize_t n;
    do {
        n = writev(fd, iov, cnt);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    size_t done = (size_t)n;
    if (done < alen) {
        if (http_write_all(fd, a + done, alen - done) < 0) return -1;
        return http_write_all(fd, b, blen);
    }
    done -= alen;
    return http_write_all(fd, b + done, blen - done);
}

int http_respond(int fd, int status, const char *content_type, const char *body, size_t len,
                 bool send_body) {
    char head[512];
    int hl = snprintf(head, sizeof head,
                      "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %d\r\n"
                      "Access-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n",
                      status, http_reason(status), content_type, (int)len);
    if (hl < 0 || hl >= (int)sizeof head) return -1;
    if (!send_body || !body) len = 0;
    return http_write_two(fd, head, (size_t)hl, body ? body : "", len);
}

int http_respond(int fd, int status, const char *content_type, const std::string &body,
                 bool send_body) {
    return http_respond(fd, status, content_type, body.data(), body.size(), send_body);
}

int http_respond_redirect(int fd, const char *location) {
    char head[1024];
    int hl = snprintf(head, sizeof head,
                      "HTTP/1.1 301 Moved Permanently\r\nLocation: %s\r\nContent-Length: 0\r\n"
                      "Connection: close\r\n\r\n",
                      location);
    if (hl < 0 || hl >= (int)sizeof head) return -1;
    return http_write_all(fd, head, (size_t)hl);
}

int http_respond_401(int fd, const char *realm, bool send_body) {
    char head[512];
    int hl = snprintf(head, sizeof head,
                      "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"%s\"\r\n"
                      "Content-Type: text/plain\r\nContent-Length: 12\r\nConnection: close\r\n\r\n"
                      "%s",
                      realm, send_body ? "Unauthorized" : "");
    if (hl < 0 || hl >= (int)sizeof head) return -1;
    return http_write_all(fd, head, (size_t)hl);
}
