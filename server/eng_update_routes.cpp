// Endpoints of software updates: update (upload), update/check,
// update/pull, update/status, update/snapshots, update/rollback.

#include <string>

#include "server/eng_core.h"
#include "server/eng_update.h"
#include "server/srv_routes.h"

namespace {

void h_upload(srv_call *c) {
    char mode[16] = "";
    http_query_param(c->req, "mode", mode, sizeof mode);
    const char *m = std::string(mode) == "full" ? "full" : "www";
    std::string err;
    if (eng_update_start(c->req->body, m, ENG_UPDATE_PRODUCT, &err) != 0)
        return eng_fail(c, 400, err);
    eng_audit(c, std::string("update/") + m + " " + std::to_string(c->req->body.size()) + " B");
    eng_ok(c, "оновлення запущено");
}

void h_check(srv_call *c) {
    std::string answer, err;
    if (eng_update_check(c->st->cfg.update_url, ENG_UPDATE_PRODUCT, &answer, &err) != 0)
        return eng_fail(c, 400, err);
    srv_reply_json(c->reply, 200, answer);
}

void h_pull(srv_call *c) {
    std::string file, err;
    if (eng_update_pull(c->st->cfg.update_url, ENG_UPDATE_PRODUCT, &file, &err) != 0)
        return eng_fail(c, 400, err);
    eng_audit(c, "update/pull " + file);
    eng_ok(c, "оновлення запущено");
}

void h_status(srv_call *c) {
    srv_reply_json(c->reply, 200, eng_update_status_json());
}

void h_snapshots(srv_call *c) {
    srv_reply_json(c->reply, 200, eng_update_snapshots_json());
}

void h_rollback(srv_call *c) {
    json_ptr body = eng_body_object(c);
    if (!body) return;
    std::string name = json_gets(body.get(), "snapshot", ""), err;
    if (eng_update_rollback(name, ENG_UPDATE_PRODUCT, &err) != 0) return eng_fail(c, 400, err);
    eng_audit(c, "update/rollback " + name);
    eng_ok(c, "відкат запущено");
}

void h_preflight(srv_call *c) {
    srv_reply_preflight(c->reply);
}

constexpr unsigned ENG = SRV_ENGINEERING | SRV_METHOD_405;
constexpr unsigned CHANGE = ENG | SRV_STATE_CHANGING;

const srv_route routes[] = {
    {SRV_POST, "/api/eng/update", h_upload, CHANGE | SRV_LARGE_BODY},
    {SRV_OPTIONS, "/api/eng/update", h_preflight, SRV_LARGE_BODY},
    {SRV_GET, "/api/eng/update/check", h_check, ENG},
    {SRV_OPTIONS, "/api/eng/update/check", h_preflight, 0},
    {SRV_POST, "/api/eng/update/pull", h_pull, CHANGE},
    {SRV_OPTIONS, "/api/eng/update/pull", h_preflight, 0},
    {SRV_GET, "/api/eng/update/status", h_status, ENG},
    {SRV_OPTIONS, "/api/eng/update/status", h_preflight, 0},
    {SRV_GET, "/api/eng/update/snapshots", h_snapshots, ENG},
    {SRV_OPTIONS, "/api/eng/update/snapshots", h_preflight, 0},
    {SRV_POST, "/api/eng/update/rollback", h_rollback, CHANGE},
    {SRV_OPTIONS, "/api/eng/update/rollback", h_preflight, 0},
};

}  // namespace

std::span<const srv_route> eng_update_routes() {
    return routes;
}
