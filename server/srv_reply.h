#pragma once
// An answer as data: handlers fill an srv_reply, one writer turns it into
// the bytes on the socket. Handlers can so be run and checked without one.

#include <string>

constexpr const char *SRV_JSON = "application/json";
constexpr const char *SRV_JSON_UTF8 = "application/json; charset=utf-8";

enum srv_reply_kind {
    SRV_REPLY_NONE,       // nothing: the connection closes without an answer
    SRV_REPLY_BODY,       // status, content type and body
    SRV_REPLY_REDIRECT,   // 301 to `location`
    SRV_REPLY_AUTH,       // 401 asking for Basic credentials of realm `location`
    SRV_REPLY_PREFLIGHT,  // 204 answer to a cross-origin preflight
    SRV_REPLY_FILE,       // 200 static file with its cache header
};

struct srv_reply {
    srv_reply_kind kind = SRV_REPLY_NONE;
    int status = 0;
    const char *content_type = "";  // a string literal
    std::string body;               // BODY; FILE when file_fd < 0
    std::string location;           // REDIRECT target, AUTH realm
    bool cacheable = false;         // FILE: may the browser keep it a day
    int file_fd = -1;               // FILE streamed from here; owned
    long file_len = 0;              // bytes announced for file_fd
    bool head_only = false;         // HEAD: the headers GET would get, no body

    srv_reply() = default;
    srv_reply(const srv_reply &) = delete;
    srv_reply &operator=(const srv_reply &) = delete;
    ~srv_reply();
};

void srv_reply_body(srv_reply *r, int status, const char *type, std::string body);
void srv_reply_json(srv_reply *r, int status, std::string body);
void srv_reply_text(srv_reply *r, int status, const char *text);
// 404 "Not Found" as plain text: unknown paths and refused methods.
void srv_reply_not_found(srv_reply *r);
// The JSON error shape {"ok":false,"error":"<code>"<extra>}; `extra` holds
// further members as JSON text, each starting with a comma ("" for none).
void srv_reply_error(srv_reply *r, int status, const char *code, const char *extra = "",
                     const char *type = SRV_JSON);
void srv_reply_redirect(srv_reply *r, const char *location);
void srv_reply_auth(srv_reply *r, const char *realm);
void srv_reply_preflight(srv_reply *r);
// A static file held in memory (pages whose links were rewritten).
void srv_reply_file(srv_reply *r, const char *type, bool cacheable, std::string body);
// A static file streamed from an open descriptor, which the reply takes.
void srv_reply_file_fd(srv_reply *r, const char *type, bool cacheable, int fd, long len);

// Writes the reply to the socket; 0, or -1 when the peer went away.
int srv_reply_write(int fd, srv_reply *r);
