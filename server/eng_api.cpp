// Engineering API: the route table of every engineering endpoint, the
// editor's pages, who is logged in and the personal tokens.

#include <cmath>
#include <cstring>
#include <string>

#include "server/eng_core.h"
#include "server/eng_handlers.h"
#include "server/eng_tokens.h"
#include "server/srv_routes.h"
#include "server/srv_static.h"

namespace {

void eng_preflight(srv_call *c) {
    srv_reply_preflight(c->reply);
}

void eng_not_found(srv_call *c) {
    srv_reply_error(c->reply, 404, "not_found", "", SRV_JSON_UTF8);
}

// The editor's own files hold no secrets: the page logs in with its own
// form and authenticates every API call, so an engineer with only a
// personal token can open it. They stay off while the editor is.
bool editor_on(srv_call *c) {
    if (c->st->cfg.eng_password[0]) return true;
    srv_reply_text(c->reply, 403, "Engineering editor not configured");
    return false;
}

void eng_redirect(srv_call *c) {
    if (editor_on(c)) srv_reply_redirect(c->reply, "/eng/");
}

void eng_index(srv_call *c) {
    if (editor_on(c)) srv_static_serve(c, "/eng/index.html");
}

void eng_page(srv_call *c) {
    if (editor_on(c)) srv_static_request(c);
}

// Token management is for the password user only.
bool admin_only(srv_call *c) {
    if (eng_is_password_user(c)) return true;
    srv_reply_error(c->reply, 403, "admin_only",
                    ",\"msg\":\"Керування токенами — лише під паролем\"", SRV_JSON_UTF8);
    return false;
}

void fail_store(srv_call *c, int rc) {
    switch (rc) {
        case ENG_TOK_BAD_NAME:
            return eng_fail(c, 400, "погане ім'я (дозволено A-Za-z0-9_.-)");
        case ENG_TOK_EXISTS:
            return eng_fail(c, 409, "токен з таким іменем уже є");
        case ENG_TOK_FULL:
            return eng_fail(c, 409, "забагато токенів");
        case ENG_TOK_NOT_FOUND:
            return eng_fail(c, 404, "токен не знайдено");
        default:
            return eng_fail(c, 500, "помилка запису/ентропії");
    }
}

}  // namespace

void eng_h_whoami(srv_call *c) {
    long long expires = 0;
    std::string role = eng_role(c, &expires);
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8,
                   "{\"ok\":true,\"name\":\"" + json_escape_str(c->user) + "\",\"role\":\"" +
                       json_escape_str(role) + "\",\"expires\":" + std::to_string(expires) + "}");
}

void eng_h_tokens_list(srv_call *c) {
    std::string out;
    if (eng_tokens_list_json(c->st->cfg.tokens_file, &out) != ENG_TOK_OK)
        return eng_fail(c, 500, "сховище токенів не читається");
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, out);
}

void eng_h_tokens_create(srv_call *c) {
    if (!admin_only(c)) return;
    json_ptr body = eng_body_object(c);
    if (!body) return;
    const json_node *en = json_get(body.get(), "expires");
    long long expires = 0;
    if (en && en->type == JSON_STRING)
        expires = atoll(en->string);
    else
        expires = json_int_of(en, 0);
    std::string name = json_gets(body.get(), "name", "");
    std::string token;
    int rc = eng_tokens_create(c->st->cfg.tokens_file, name.c_str(),
                               json_gets(body.get(), "role", ""), expires, &token);
    if (rc != ENG_TOK_OK) return fail_store(c, rc);
    eng_audit(c, "token/create " + name);
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, "{\"ok\":true,\"token\":\"" + token + "\"}");
}

void eng_h_tokens_disable(srv_call *c) {
    if (!admin_only(c)) return;
    json_ptr body = eng_body_object(c);
    if (!body) return;
    std::string name = json_gets(body.get(), "name", "");
    std::string action = json_gets(body.get(), "action", "disable");
    if (action != "disable" && action != "enable")
        return eng_fail(c, 400, "action: disable або enable");
    int rc = eng_tokens_set_disabled(c->st->cfg.tokens_file, name.c_str(), action == "disable");
    if (rc != ENG_TOK_OK) return fail_store(c, rc);
    eng_audit(c, "token/" + action + " " + name);
    eng_ok(c, action == "disable" ? "вимкнено" : "увімкнено");
}

void eng_h_tokens_delete(srv_call *c) {
    if (!admin_only(c)) return;
    json_ptr body = eng_body_object(c);
    if (!body) return;
    std::string name = json_gets(body.get(), "name", "");
    int rc = eng_tokens_delete(c->st->cfg.tokens_file, name.c_str());
    if (rc != ENG_TOK_OK) return fail_store(c, rc);
    eng_audit(c, "token/delete " + name);
    eng_ok(c, "видалено");
}

namespace {

constexpr unsigned ENG = SRV_ENGINEERING | SRV_METHOD_405;
constexpr unsigned CHANGE = SRV_ENGINEERING | SRV_METHOD_405 | SRV_STATE_CHANGING;
// Whole files: a large plant's config.yaml passes the anonymous body limit.
constexpr unsigned UPLOAD = CHANGE | SRV_LARGE_BODY;

// Exact paths first; the catch-all entries after them answer the rest.
// Browsers ask before cross-origin uploads; the preflight needs no login.
// The upload body allowance is the path's, so the preflight shares it.
const srv_route routes[] = {
    {SRV_READ, "/api/eng/whoami", eng_h_whoami, ENG},
    {SRV_READ, "/api/eng/tokens", eng_h_tokens_list, ENG},
    {SRV_POST, "/api/eng/tokens", eng_h_tokens_create, CHANGE},
    {SRV_POST, "/api/eng/tokens/disable", eng_h_tokens_disable, CHANGE},
    {SRV_POST, "/api/eng/tokens/delete", eng_h_tokens_delete, CHANGE},
    {SRV_READ, "/api/eng/config", eng_h_config_get, ENG},
    {SRV_POST, "/api/eng/config", eng_h_config_save, UPLOAD},
    {SRV_POST, "/api/eng/config/validate", eng_h_config_validate, UPLOAD},
    {SRV_POST, "/api/eng/alarm-central", eng_h_alarm_central, CHANGE},
    {SRV_POST, "/api/eng/plc-autosync-threshold", eng_h_autosync_threshold, CHANGE},
    {SRV_POST, "/api/eng/write", eng_h_write, CHANGE | SRV_NEEDS_DB},
    {SRV_READ, "/api/eng/ini", eng_h_ini, ENG},
    {SRV_READ, "/api/eng/alarms", eng_h_alarms_get, ENG},
    {SRV_POST, "/api/eng/alarms", eng_h_alarms_post, UPLOAD},
    {SRV_READ, "/api/eng/ip-names", eng_h_ip_names_get, ENG},
    {SRV_POST, "/api/eng/ip-names", eng_h_ip_names_post, UPLOAD},
    {SRV_READ, "/api/eng/sys/status", eng_h_sys_status, ENG},
    {SRV_READ, "/api/eng/sys/sessions", eng_h_sys_sessions, ENG},
    {SRV_POST, "/api/eng/sys/restart", eng_h_sys_restart, CHANGE},
    {SRV_POST, "/api/eng/sys/reload-module", eng_h_sys_reload_module, CHANGE},
    {SRV_POST, "/api/eng/notify-scales", eng_h_notify_scales, CHANGE},
    {SRV_POST, "/api/eng/sys/reload-ini", eng_h_sys_reload_ini, CHANGE},
    {SRV_POST, "/api/eng/sys/reload-trust", eng_h_sys_reload_trust, CHANGE},
    {SRV_READ, "/api/eng/logs/list", eng_h_logs_list, ENG},
    {SRV_READ, "/api/eng/logs/read", eng_h_logs_read, ENG},
    {SRV_READ, "/api/eng/ctrllog/dates", eng_h_ctrllog_dates, ENG},
    {SRV_READ, "/api/eng/ctrllog", eng_h_ctrllog, ENG},
    {SRV_READ, "/api/eng/channels", eng_h_channels, ENG},
    {SRV_READ, "/api/eng/channel-scale", eng_h_channel_scale, ENG},
    {SRV_POST, "/api/eng/save", eng_h_save, UPLOAD},
    {SRV_READ, "/api/eng/groups", eng_h_groups, ENG},
    {SRV_READ, "/api/eng/logix-groups", eng_h_logix_groups, ENG},
    {SRV_POST, "/api/eng/logix-group", eng_h_logix_group, CHANGE},
    {SRV_OPTIONS, "/api/eng/", eng_preflight, SRV_PREFIX | SRV_LARGE_BODY},
    {SRV_ANY, "/api/eng/", eng_not_found, SRV_PREFIX | SRV_ENGINEERING | SRV_LARGE_BODY},
    {SRV_ANY, "/api/eng", eng_not_found, SRV_ENGINEERING},
    {SRV_ANY, "/eng", eng_redirect, 0},
    {SRV_READ, "/eng/", eng_index, 0},
    {SRV_READ, "/eng/", eng_page, SRV_PREFIX},
};

}  // namespace

std::span<const srv_route> eng_api_routes() {
    return routes;
}
