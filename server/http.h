#pragma once
// HTTP/1.1 request reader and response writer of zqserver: one request per
// connection, "Connection: close" on every answer.

#include <cstddef>
#include <string>

struct http_header_kv {
    char name[128];
    char value[128];
};

struct http_request {
    char method[8];
    char path[512];
    char query[1024];
    int n_headers;
    http_header_kv headers[32];
    std::string body;  // Content-Length bytes; empty when there is no body
    int body_len;
    char client_ip[48];
    bool path_has_nul;  // a decoded %00 cut the path short
};

// Largest body a client may announce at all.
constexpr long HTTP_BODY_HARD_MAX = 268435456;
// Largest body accepted from anybody who is not an authenticated engineer.
constexpr long HTTP_BODY_SMALL_MAX = 1L << 20;
// Overall time a client has to deliver the header block and a small body.
constexpr int HTTP_HEADER_DEADLINE_MS = 10000;
constexpr int HTTP_BODY_DEADLINE_MS = 30000;
// Authenticated engineering uploads may be large and slow.
constexpr int HTTP_BIG_BODY_DEADLINE_MS = 600000;

// Decides, once the header block is read, how many body bytes the request
// may bring (`announced` is its Content-Length); returns the limit.
typedef long (*http_body_limit_fn)(const http_request *req, long announced, void *ctx);

// Fills `req` from the socket (all but client_ip, which the caller sets). Returns 0, or -1 when the
// connection must be dropped without an answer (oversized, malformed, slow or closed).
int http_read(int fd, http_request *req, http_body_limit_fn limit = nullptr, void *ctx = nullptr);

// Parses a Content-Length value: digits only (surrounding blanks allowed),
// no overflow. Returns the value or -1.
long http_parse_content_length(const char *s);

// Splits and decodes a raw request head (everything up to and including the
// empty line). Used by http_read and by tests. Returns 0 or -1.
int http_parse_head(const char *head, size_t len, http_request *req);

bool http_query_param(const http_request *req, const char *name, char *out, size_t size);
bool http_header(const http_request *req, const char *name, char *out, size_t size);
void http_url_decode(char *text);

const char *http_reason(int status);
int http_write_all(int fd, const void *data, size_t len);
// Head and body in one call, so that small answers leave as one segment.
int http_write_two(int fd, const char *head, size_t head_len, const char *body, size_t body_len);
// With send_body false (answers to HEAD) the headers announce the body's
// length and the body stays unsent.
int http_respond(int fd, int status, const char *content_type, const char *body, size_t len,
                 bool send_body = true);
int http_respond(int fd, int status, const char *content_type, const std::string &body,
                 bool send_body = true);
int http_respond_redirect(int fd, const char *location);
int http_respond_401(int fd, const char *realm, bool send_body = true);

// Milliseconds of the monotonic clock.
long long http_mono_ms();
