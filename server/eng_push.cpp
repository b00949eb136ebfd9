// Trend push endpoints: each destination's state from the recorder's
// status file, its token, back-fill requests, and the route list.

#include "server/eng_push.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <strings.h>
#include <sys/statvfs.h>
#include <time.h>

#include <string>
#include <vector>

#include "common/json.h"
#include "common/parse_util.h"
#include "common/yaml.h"
#include "server/eng_core.h"
#include "server/eng_proc.h"

namespace {

constexpr size_t STATUS_MAX = 64 * 1024;
constexpr size_t REQUEST_MAX = 511;  // as much as the worker reads

// A scalar of the status file or config.yaml as text ("" for other types).
std::string text_of(const json_node *n) {
    if (!n) return "";
    if (n->type == JSON_STRING) return n->string;
    if (n->type == JSON_NUMBER) return std::to_string(json_int_of(n, 0));
    if (n->type == JSON_BOOL) return n->boolean ? "true" : "false";
    return "";
}

// As the recorder reads a YAML switch.
bool yaml_on(const json_node *n) {
    if (!n) return false;
    if (n->type == JSON_BOOL) return n->boolean != 0;
    if (n->type == JSON_NUMBER) return n->number != 0;
    if (n->type != JSON_STRING) return false;
    const char *s = n->string;
    return strcasecmp(s, "no") && strcasecmp(s, "false") && strcasecmp(s, "off") && strcmp(s, "0");
}

const char *tf(bool b) {
    return b ? "true" : "false";
}

bool status_flag(const json_node *obj, const char *key) {
    const json_node *n = json_get(obj, key);
    return n && ((n->type == JSON_BOOL && n->boolean) || (n->type == JSON_NUMBER && n->number));
}

long long status_int(const json_node *obj, const char *key) {
    return json_geti(obj, key, 0);
}

unsigned long long status_u64(const json_node *obj, const char *key) {
    const json_node *n = json_get(obj, key);
    if (!n || n->type != JSON_NUMBER || !(n->number > 0)) return 0;
    return n->number >= 1.8e19 ? 0 : (unsigned long long)n->number;
}

// The last characters of a stored token, enough to tell two apart; short
// tokens show nothing.
std::string token_hint(const std::string &t) {
    if (t.size() < 20) return "";
    return "…" + t.substr(t.size() - 4);
}

std::string dest_json(const char *sep, const json_node *p, const json_node *status,
                      const std::string &store) {
    std::string url = text_of(json_get(p, "url"));
    const json_node *s = nullptr;
    for (const json_node *e = status ? status->child : nullptr; e && !s; e = e->next)
        if (e->type == JSON_OBJECT && url == json_gets(e, "url", "")) s = e;
    const json_node *bf = json_get(s, "bf");
    std::string tok = eng_push_token_get(store, url);
    std::string o = std::string(sep) + "{\"url\":\"" + json_escape_str(url) +
                    "\",\"deflate\":" + tf(yaml_on(json_get(p, "deflate"))) +
                    ",\"has_token\":" + tf(!tok.empty()) + ",\"up\":" + tf(status_flag(s, "up")) +
                    ",\"blocked\":" + tf(status_flag(s, "blocked")) +
                    ",\"lag_bytes\":" + std::to_string(status_int(s, "lag_bytes")) +
                    ",\"last_ok_ms\":" + std::to_string(status_int(s, "last_ok_ms")) +
                    ",\"fail_streak\":" + std::to_string(status_int(s, "fail_streak")) +
                    ",\"remote_free\":" + std::to_string(status_u64(s, "remote_free")) +
                    ",\"remote_total\":" + std::to_string(status_u64(s, "remote_total")) +
                    ",\"bf\":{\"active\":" + tf(status_flag(bf, "active"));
    for (const char *k : {"total", "done", "pushed", "complete", "skipped", "conflict", "cur"})
        o += std::string(",\"") + k + "\":" + std::to_string(status_int(bf, k));
    o += ",\"bytes\":" + std::to_string(status_int(bf, "bytes"));
    // Beyond the fixed fields: the range being back-filled, whether the
    // status file knows this destination at all, a token left in
    // config.yaml and a hint of the stored one (never the token itself).
    o += ",\"from\":" + std::to_string(status_int(bf, "from")) +
         ",\"to\":" + std::to_string(status_int(bf, "to")) + "}";
    o += std::string(",\"seen\":") + tf(s != nullptr) + ",\"src\":\"" +
         json_escape_str(json_gets(s, "src", "")) + "\"" +
         ",\"config_token\":" + tf(!text_of(json_get(p, "token")).empty()) + ",\"token_hint\":\"" +
         json_escape_str(token_hint(tok)) + "\"}";
    return o;
}

// The waiting back-fill request, or null.
std::string pending_request() {
    std::string text;
    if (zq_read_file_max(ENG_PUSH_BACKFILL_FILE, REQUEST_MAX, &text) != 0) return "null";
    json_ptr r(json_parse(text.c_str()));
    if (!r || r->type != JSON_OBJECT) return "null";
    return "{\"url\":\"" + json_escape_str(json_gets(r.get(), "url", "")) +
           "\",\"from\":" + std::to_string(json_geti(r.get(), "from", 0)) +
           ",\"to\":" + std::to_string(json_geti(r.get(), "to", 0)) +
           ",\"verify\":" + tf(json_geti(r.get(), "verify", 0) != 0) + "}";
}

// A member of the request body as text, as the form sent it: strings as
// they are, numbers and booleans written out. Longer than `max` is refused
// rather than cut (a cut token or URL would silently mean another).
bool member(const json_node *body, const char *key, size_t max, std::string *out) {
    const json_node *n = json_get(body, key);
    *out = text_of(n);
    return out->size() <= max;
}

unsigned today_ymd() {
    time_t now = time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    return (unsigned)((lt.tm_year + 1900) * 10000 + (lt.tm_mon + 1) * 100 + lt.tm_mday);
}

// The urls of trends.push; false when config.yaml cannot be read.
bool configured_urls(const char *yaml_path, std::vector<std::string> *out) {
    json_ptr root(yaml_parse_file(yaml_path));
    if (!root || root->type != JSON_OBJECT) return false;
    const json_node *push = json_get(json_get(root.get(), "trends"), "push");
    for (const json_node *p = push && push->type == JSON_ARRAY ? push->child : nullptr; p;
         p = p->next) {
        std::string url = text_of(json_get(p, "url"));
        if (!url.empty()) out->push_back(url);
    }
    return true;
}

void h_push(srv_call *c) {
    std::string out;
    if (eng_push_status_json(c->st->cfg.yaml_path, &out) != 0)
        return srv_reply_body(c->reply, 500, SRV_JSON_UTF8, "{\"error\":\"read failed\"}");
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, std::move(out));
}

void h_push_token(srv_call *c) {
    json_ptr body = eng_body_object(c);
    if (!body) return;
    std::string url, token, why;
    if (!member(body.get(), "url", ENG_PUSH_URL_MAX, &url) || url.empty())
        return eng_fail(c, 400, "перевір url");
    if (!member(body.get(), "token", SIZE_MAX, &token) || !eng_push_url_ok(url, &why) ||
        eng_push_token_set(eng_push_token_store(c->st->cfg.yaml_path), url, token, &why) != 0)
        return eng_fail(c, 400, why);
    eng_audit(c, "push/token " + url);
    eng_ok(c, "токен збережено; " + eng_push_restart_recorder());
}

void h_push_token_del(srv_call *c) {
    json_ptr body = eng_body_object(c);
    if (!body) return;
    std::string url, why;
    if (!member(body.get(), "url", ENG_PUSH_URL_MAX, &url) || url.empty())
        return eng_fail(c, 400, "перевір url");
    if (eng_push_token_del(eng_push_token_store(c->st->cfg.yaml_path), url, &why) != 0)
        return eng_fail(c, 400, why);
    eng_audit(c, "push/token/del " + url);
    eng_ok(c, "токен видалено; " + eng_push_restart_recorder());
}

void h_push_backfill(srv_call *c) {
    static const char BAD[] = "перевір url і дати (from<=to)";
    json_ptr body = eng_body_object(c);
    if (!body) return;
    std::string url, from_s, to_s, verify_s;
    if (!member(body.get(), "url", ENG_PUSH_URL_MAX, &url) || url.empty() ||
        !member(body.get(), "from", 15, &from_s) || !member(body.get(), "to", 15, &to_s))
        return eng_fail(c, 400, BAD);
    member(body.get(), "verify", 7, &verify_s);
    unsigned from = eng_push_ymd(from_s), to = eng_push_ymd(to_s);
    if (!from || !to || to < from) return eng_fail(c, 400, BAD);
    if (to > today_ymd()) return eng_fail(c, 400, "дати в майбутньому ще не записані");
    long days = eng_push_days_between(from, to);
    if (days > ENG_PUSH_BACKFILL_DAYS_MAX)
        return eng_fail(c, 400, "забагато днів за раз (до 4000)");
    // A request no worker owns would wait forever in place of real ones.
    std::vector<std::string> urls;
    if (!configured_urls(c->st->cfg.yaml_path, &urls))
        return eng_fail(c, 500, "config.yaml не читається");
    bool known = false;
    for (const std::string &u : urls)
        known = known || u == url;
    if (!known) return eng_fail(c, 400, "url не є призначенням trends.push");
    bool verify = !verify_s.empty() && (verify_s[0] == '1' || verify_s[0] == 't');
    if (eng_push_backfill(url, from, to, verify) != 0)
        return eng_fail(
            c, 500, std::string("не записати ") + ENG_PUSH_BACKFILL_FILE + ": " + strerror(errno));
    eng_audit(c, "push/backfill " + url + " " + from_s + ".." + to_s + (verify ? " verify" : ""));
    eng_ok(c, "запит прийнято: днів " + std::to_string(days) +
                  "; zqtrend візьме його на наступному проході");
}

constexpr unsigned ENG = SRV_ENGINEERING | SRV_METHOD_405;
constexpr unsigned CHANGE = ENG | SRV_STATE_CHANGING;

const srv_route routes[] = {
    {SRV_READ, "/api/eng/push", h_push, ENG},
    {SRV_POST, "/api/eng/push/token", h_push_token, CHANGE},
    {SRV_POST, "/api/eng/push/token/del", h_push_token_del, CHANGE},
    {SRV_POST, "/api/eng/push/backfill", h_push_backfill, CHANGE},
    {SRV_POST, "/api/eng/push/settings", eng_h_push_settings, CHANGE},
};

}  // namespace

int eng_push_status_json(const char *yaml_path, std::string *out) {
    json_ptr root(yaml_parse_file(yaml_path));
    if (!root || root->type != JSON_OBJECT) return -1;
    const json_node *trends = json_get(root.get(), "trends");
    std::string mainpath = text_of(json_get(trends, "mainpath_linux"));
    unsigned long long free_b = 0, total_b = 0;
    struct statvfs vfs;
    if (!mainpath.empty() && statvfs(mainpath.c_str(), &vfs) == 0) {
        free_b = (unsigned long long)vfs.f_bavail * vfs.f_frsize;
        total_b = (unsigned long long)vfs.f_blocks * vfs.f_frsize;
    }
    std::string status_text;
    json_ptr status;
    if (zq_read_file_max(ENG_PUSH_STATUS_FILE, STATUS_MAX, &status_text) == 0)
        status.reset(json_parse(status_text.c_str()));
    const json_node *dests = json_get(status.get(), "dests");
    if (dests && dests->type != JSON_ARRAY) dests = nullptr;
    std::string store = eng_push_token_store(yaml_path);

    std::string o = "{\"mainpath\":\"" + json_escape_str(mainpath) +
                    "\",\"local_free\":" + std::to_string(free_b) +
                    ",\"local_total\":" + std::to_string(total_b) + ",\"dests\":[";
    const json_node *push = json_get(trends, "push");
    const char *sep = "";
    for (const json_node *p = push && push->type == JSON_ARRAY ? push->child : nullptr; p;
         p = p->next) {
        if (p->type != JSON_OBJECT || text_of(json_get(p, "url")).empty()) continue;
        o += dest_json(sep, p, dests, store);
        sep = ",";
    }
    // Push carries raw version-2 bytes: the editor warns when the main
    // destination writes another format, and shows how fresh the status is.
    o += std::string("],\"v2\":") + tf(eng_push_main_v2(trends)) +
         ",\"status_ms\":" + std::to_string(json_geti(status.get(), "ms", 0)) +
         ",\"now_ms\":" + std::to_string((long long)time(nullptr) * 1000) +
         ",\"max_dests\":" + std::to_string(ENG_PUSH_MAX_DESTS) +
         ",\"backfill_request\":" + pending_request() + "}";
    *out = std::move(o);
    return 0;
}

bool eng_push_main_v2(const json_node *trends) {
    std::string fmt = text_of(json_get(trends, "mainpath_format"));
    if (fmt.empty()) fmt = text_of(json_get(trends, "format"));
    return fmt == "2";
}

std::string eng_push_restart_recorder() {
    std::vector<pid_t> pids = eng_proc_find("zqtrend", eng_project_dir());
    int n = pids.empty() ? 0 : eng_proc_signal(pids, SIGTERM);
    return n > 0 ? "zqtrend перезапускається" : "zqtrend не запущено — діятиме з його запуском";
}

std::span<const srv_route> eng_push_routes() {
    return routes;
}
