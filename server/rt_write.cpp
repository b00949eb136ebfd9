// /api/write: an operator sets a value. Stations listed with a trust code
// must send it; the value is posted into the channel's write slot for the
// driver and logged in the operator action log.

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "common/json.h"
#include "common/parse_util.h"
#include "server/ctrllog.h"
#include "server/eng_gate.h"
#include "server/rt_common.h"
#include "server/rt_meta.h"
#include "server/srv_routes.h"

namespace {

// True when no trust list is configured, or the body's code belongs to the
// client's address.
bool trusted(const srv_call *c, const json_node *root) {
    // A snapshot: a reload meanwhile replaces the table, never edits this one.
    std::shared_ptr<const srv_trust_table> tab = srv_live_trust(c->st);
    if (!tab || tab->n == 0) return true;
    char code[32];
    const json_node *cn = json_get(root, "code");
    // Pages send the code as text or, when it is all digits, as a number.
    if (cn && cn->type == JSON_NUMBER && std::isfinite(cn->number) &&
        cn->number == std::floor(cn->number) && std::fabs(cn->number) < 1e18)
        snprintf(code, sizeof code, "%lld", (long long)cn->number);
    else
        snprintf(code, sizeof code, "%s", json_str_of(cn, ""));
    bool allowed = false;
    for (int i = 0; i < tab->n; i++) {
        // Every entry is compared so the time does not tell which matched.
        bool ok = srv_secret_equal(code, tab->e[i].code);
        if (ok && strcmp(tab->e[i].ip, c->req->client_ip) == 0) allowed = true;
    }
    return allowed;
}

void bad_request(srv_call *c, const char *error) {
    srv_reply_json(c->reply, 400, std::string("{\"error\":\"") + error + "\"}");
}

void h_write(srv_call *c) {
    const http_request *req = c->req;
    const ShmHandle *h = c->db;
    json_ptr root(json_parse(req->body.c_str()));
    if (!trusted(c, root.get())) {
        srv_reply_error(c->reply, 403, "no_control",
                        ",\"msg\":\"\\u0423 \\u0432\\u0430\\u0441 "
                        "\\u043d\\u0435\\u043c\\u0430\\u0454 \\u043f\\u0440\\u0430\\u0432 "
                        "\\u043a\\u0435\\u0440\\u0443\\u0432\\u0430\\u043d\\u043d\\u044f\"");
        return;
    }
    const json_node *tagn = json_get(root.get(), "tag");
    const json_node *valn = json_get(root.get(), "value");
    if (!tagn || tagn->type != JSON_STRING || !valn) return bad_request(c, "need tag and value");
    // Only a number, a boolean or a text that is wholly a number: anything
    // else ("abc", null) must never reach the controller as 0.
    double value = NAN;
    if (valn->type == JSON_NUMBER || valn->type == JSON_BOOL) {
        value = json_num_of(valn, NAN);
    } else if (valn->type == JSON_STRING) {
        char *end = nullptr;
        double v = zq_strtod_c(valn->string, &end);
        while (end && (*end == ' ' || *end == '\t'))
            end++;
        if (end && end != valn->string && *end == 0) value = v;
    }
    if (!std::isfinite(value)) return bad_request(c, "bad value");
    char kind;
    long n;
    if (!rt_parse_tag(tagn->string, &kind, &n)) return bad_request(c, "tag out of range");
    char page[128] = "";
    http_header(req, "Referer", page, sizeof page);
    char tagname[32];
    snprintf(tagname, sizeof tagname, "%c%ld", kind, n);
    srv_meta *m = &c->st->meta;
    if (kind == 'A') {
        ShmWriteSlot *slot = shm_an_write_slot(h, n);
        const ShmAnalog *rec = shm_analog(h, n);
        if (!slot || !rec) return bad_request(c, "tag out of range");
        double raw = meta_to_code(m, n, value);
        if (!std::isfinite(raw)) return bad_request(c, "bad value");
        double from = meta_to_phys(m, n, rec->value);
        shm_post_write(slot, raw);
        ctrllog_analog(req->client_ip, page, tagname, meta_an_desc(m, n).c_str(), from, value);
    } else {
        ShmWriteSlot *slot = shm_di_write_slot(h, n);
        const ShmDiscrete *rec = shm_discrete(h, n);
        if (!slot || !rec) return bad_request(c, "tag out of range");
        double v = value != 0 ? 1.0 : 0.0;
        int from = rec->value ? 1 : 0;
        shm_post_write(slot, v);
        ctrllog_discrete(req->client_ip, page, tagname, meta_di_desc(m, n).c_str(), from, (int)v);
    }
    srv_reply_json(c->reply, 200, "{\"ok\":true}");
}

const srv_route routes[] = {
    {SRV_POST, "/api/write", h_write, SRV_STATE_CHANGING | SRV_NEEDS_DB | SRV_METHOD_405},
};

}  // namespace

std::span<const srv_route> rt_write_routes() {
    return routes;
}
