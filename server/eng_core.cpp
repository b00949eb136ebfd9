#include "server/eng_core.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "common/parse_util.h"
#include "server/eng_tokens.h"

bool eng_is_password_user(const srv_call *c) {
    return c->user && strcmp(c->user, ENG_PASSWORD_USER) == 0;
}

std::string eng_role(const srv_call *c, long long *expires) {
    if (expires) *expires = 0;
    if (eng_is_password_user(c)) return "admin";
    std::string role;
    long long exp = 0;
    if (eng_tokens_meta(c->st->cfg.tokens_file, c->user ? c->user : "", &role, &exp) != ENG_TOK_OK)
        return "";
    if (expires) *expires = exp;
    return role;
}

int eng_tokens_count(const srv_state *st) {
    int n = eng_tokens_count_file(st->cfg.tokens_file);
    return n < 0 ? -1 : n;
}

std::string eng_cut_utf8(const char *s, size_t max) {
    size_t n = strlen(s);
    if (n <= max) return s;
    n = max;
    while (n > 0 && ((unsigned char)s[n] & 0xC0) == 0x80)
        n--;
    return std::string(s, n);
}

int eng_audit(const srv_call *c, const char *action) {
    time_t now = time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    char day[16], ts[32];
    strftime(day, sizeof day, "%Y%m%d", &lt);
    strftime(ts, sizeof ts, "%Y-%m-%dT%H:%M:%S", &lt);
    const char *dir = c->st->cfg.logcontrolpath[0] ? c->st->cfg.logcontrolpath : "./logs";
    zq_mkdirs(dir, 0755);
    const char *ip = c->req ? c->req->client_ip : "";
    std::string path = std::string(dir) + "/eng_audit-" + day + ".log";
    std::string line = std::string("{\"ts\":\"") + ts + "\",\"who\":\"" +
                       json_escape_str(eng_cut_utf8(c->user ? c->user : "", 127)) + "\",\"ip\":\"" +
                       json_escape_str(ip) + "\",\"action\":\"" +
                       json_escape_str(eng_cut_utf8(action, 127)) + "\"}\n";
    // One O_APPEND write per line: lines of concurrent requests never mix.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644);
    int rc = -1;
    if (fd >= 0) {
        ssize_t w = write(fd, line.data(), line.size());
        rc = (w == (ssize_t)line.size()) ? 0 : -1;
        if (close(fd) != 0) rc = -1;
    }
    if (c->user && c->user[0] && !eng_is_password_user(c))
        eng_tokens_touch(c->st->cfg.tokens_file, c->user, ip);
    return rc;
}

int eng_audit(const srv_call *c, const std::string &action) {
    return eng_audit(c, action.c_str());
}

void eng_ok(srv_call *c, const std::string &msg) {
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8,
                   "{\"ok\":true,\"msg\":\"" + json_escape_str(msg) + "\"}");
}

void eng_fail(srv_call *c, int status, const std::string &msg) {
    srv_reply_body(c->reply, status, SRV_JSON_UTF8,
                   "{\"ok\":false,\"error\":\"" + json_escape_str(msg) + "\"}");
}

json_ptr eng_body_object(srv_call *c) {
    json_ptr root(json_parse(c->req->body.c_str()));
    if (!root || root->type != JSON_OBJECT) {
        eng_fail(c, 400, "невалідний JSON");
        return nullptr;
    }
    return root;
}

std::string eng_project_dir() {
    char buf[PATH_MAX];
    if (!realpath(".", buf)) return ".";
    return buf;
}

std::string eng_yaml_quoted(const std::string &s) {
    std::string q = "\"";
    for (char ch : s) {
        if (ch == '"' || ch == '\\') q += '\\';
        q += ch;
    }
    return q + "\"";
}
