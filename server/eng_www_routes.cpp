// Endpoints of the operator-page management: www/deploy, www/pull,
// www/version, www/snapshots, www/rollback.

#include <string>

#include "common/json.h"
#include "server/eng_core.h"
#include "server/eng_www.h"
#include "server/srv_routes.h"

namespace {

void reply_error(srv_call *c, int status, const std::string &msg) {
    srv_reply_body(c->reply, status, SRV_JSON_UTF8,
                   "{\"ok\":false,\"error\":\"" + json_escape_str(msg) + "\"}");
}

// Once a personal token exists, changing or taking the pages needs one: a
// shared password does not say who did it.
bool token_rule_ok(srv_call *c, const char *msg) {
    if (!eng_is_password_user(c)) return true;
    int n = eng_tokens_count(c->st);
    if (n == 0) return true;
    if (n < 0) {
        reply_error(c, 500, "сховище токенів не читається — дію відхилено");
        return false;
    }
    srv_reply_body(
        c->reply, 403, SRV_JSON_UTF8,
        std::string("{\"ok\":false,\"error\":\"token_required\",\"msg\":\"") + msg + "\"}");
    return false;
}

void finish(srv_call *c, eng_www_result *res) {
    if (res->file_fd >= 0) {
        srv_reply_file_fd(c->reply, "application/zip", false, res->file_fd, res->file_len);
        res->file_fd = -1;
    } else {
        srv_reply_body(c->reply, res->status, SRV_JSON_UTF8, res->body);
    }
    if (res->status == 200 && !res->audit.empty()) eng_audit(c, res->audit.c_str());
}

std::string query_dir(srv_call *c) {
    char dir[128] = "";
    http_query_param(c->req, "dir", dir, sizeof dir);
    return dir;
}

void h_deploy(srv_call *c) {
    if (!token_rule_ok(c, "Деплой лише за особистим токеном (не паролем)")) return;
    eng_www_result res;
    eng_www_deploy(c->st->cfg.wwwdir, c->req->body, query_dir(c).c_str(), &res);
    finish(c, &res);
}

void h_pull(srv_call *c) {
    if (!token_rule_ok(c, "Отримання www лише за особистим токеном (не паролем)")) return;
    eng_www_result res;
    eng_www_pull(c->st->cfg.wwwdir, query_dir(c).c_str(), &res);
    finish(c, &res);
}

void h_version(srv_call *c) {
    eng_www_result res;
    eng_www_version(c->st->cfg.wwwdir, &res);
    finish(c, &res);
}

void h_snapshots(srv_call *c) {
    eng_www_result res;
    eng_www_snapshots(c->st->cfg.wwwdir, &res);
    finish(c, &res);
}

void h_rollback(srv_call *c) {
    if (!token_rule_ok(c, "Відкат лише за особистим токеном (не паролем)")) return;
    std::string id;
    if (!c->req->body.empty()) {
        json_ptr root(json_parse(c->req->body.c_str()));
        if (!root || root->type != JSON_OBJECT) return reply_error(c, 400, "невалідний JSON");
        id = json_gets(root.get(), "id", "");
    }
    eng_www_result res;
    eng_www_rollback(c->st->cfg.wwwdir, id.c_str(), &res);
    finish(c, &res);
}

void h_preflight(srv_call *c) {
    srv_reply_preflight(c->reply);
}

constexpr unsigned ENG = SRV_ENGINEERING | SRV_METHOD_405;
constexpr unsigned CHANGE = ENG | SRV_STATE_CHANGING;

const srv_route routes[] = {
    {SRV_POST, "/api/eng/www/deploy", h_deploy, CHANGE | SRV_LARGE_BODY},
    {SRV_OPTIONS, "/api/eng/www/deploy", h_preflight, SRV_LARGE_BODY},
    {SRV_GET, "/api/eng/www/pull", h_pull, ENG},
    {SRV_OPTIONS, "/api/eng/www/pull", h_preflight, 0},
    {SRV_GET, "/api/eng/www/version", h_version, ENG},
    {SRV_OPTIONS, "/api/eng/www/version", h_preflight, 0},
    {SRV_GET, "/api/eng/www/snapshots", h_snapshots, ENG},
    {SRV_OPTIONS, "/api/eng/www/snapshots", h_preflight, 0},
    {SRV_POST, "/api/eng/www/rollback", h_rollback, CHANGE},
    {SRV_OPTIONS, "/api/eng/www/rollback", h_preflight, 0},
};

}  // namespace

std::span<const srv_route> eng_www_routes() {
    return routes;
}
