// Engineering endpoints of the calculation engine: read, check and replace
// its program, list its own tags and published variables, and set one
// variable of the running engine. The server never touches the engine: a new
// program travels as calc.st.import (applied on the engine's reload signal)
// and a variable change as one line appended to cmd.req.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "calc/calc_cfg.h"
#include "common/atomic_file.h"
#include "common/json.h"
#include "common/parse_util.h"
#include "server/ctrllog.h"
#include "server/eng_core.h"
#include "server/srv_routes.h"

namespace {

// vars.json of a program with the largest allowed variable store.
constexpr size_t VARS_MAX = 64u << 20;
constexpr size_t ERROR_MAX = 418;

std::string calc_dir(const srv_call *c) {
    const char *d = c->st->cfg.calc_dir;
    return *d ? d : "./calc";
}

// config.yaml to check against; null (engine defaults) when there is none.
const char *cfg_path(const srv_call *c) {
    const char *p = c->st->cfg.yaml_path;
    struct stat sb;
    return *p && stat(p, &sb) == 0 ? p : nullptr;
}

std::string msgs_json(const std::vector<calc_msg> &msgs) {
    std::string s = "[";
    for (const calc_msg &m : msgs) {
        if (s.size() > 1) s += ',';
        s += "{\"line\":" + std::to_string(m.line) + ",\"msg\":\"" + json_escape_str(m.text) +
             "\",\"error\":" + (m.error ? "true" : "false") + "}";
    }
    return s + "]";
}

// A checker message fit for one JSON string: control characters become
// spaces and an endless message is cut.
std::string clean_error(const std::string &e) {
    std::string s = eng_cut_utf8(e.c_str(), ERROR_MAX);
    for (char &ch : s)
        if ((unsigned char)ch < 0x20 || ch == 0x7f) ch = ' ';
    return s;
}

bool body_is_json(const srv_call *c) {
    char ct[128] = "";
    if (!http_header(c->req, "Content-Type", ct, sizeof ct)) return false;
    for (char *p = ct; *p; p++)
        *p = (char)tolower((unsigned char)*p);
    return strstr(ct, "json") != nullptr;
}

// One save at a time, so the answer of each describes the file it left.
std::mutex g_import_mu;

void h_st_get(srv_call *c) {
    std::string dir = calc_dir(c), text;
    // A saved program not yet applied is what the editor must continue from.
    if (zq_read_file_max((dir + "/calc.st.import").c_str(), CALC_MAX_TEXT, &text) != 0 &&
        zq_read_file_max((dir + "/calc.st").c_str(), CALC_MAX_TEXT, &text) != 0)
        text.clear();
    srv_reply_body(c->reply, 200, "text/plain; charset=utf-8", std::move(text));
}

void h_st_post(srv_call *c) {
    std::string text;
    if (body_is_json(c)) {
        json_ptr body = eng_body_object(c);
        if (!body) return;
        const json_node *t = json_get(body.get(), "text");
        if (!t || t->type != JSON_STRING) return eng_fail(c, 400, "немає поля text");
        text = t->string;
    } else {
        text = c->req->body;
    }
    calc_check_result r;
    int rc = calc_st_check(text.data(), text.size(), cfg_path(c), &r);
    std::string tail = ",\"warnings\":" + msgs_json(r.msgs) + "}";
    if (rc != 0)
        return srv_reply_json(c->reply, 400,
                              "{\"ok\":false,\"error\":\"" + json_escape_str(clean_error(r.error)) +
                                  "\",\"line\":" + std::to_string(r.line) +
                                  ",\"col\":" + std::to_string(r.col) + tail);
    std::string counts =
        ",\"vars\":" + std::to_string(r.nvars) + ",\"cells\":" + std::to_string(r.ncells);
    if (strstr(c->req->query, "dry"))
        return srv_reply_json(c->reply, 200, "{\"ok\":true" + counts + tail);
    std::string dir = calc_dir(c), path = dir + "/calc.st.import";
    {
        std::lock_guard<std::mutex> lk(g_import_mu);
        if (zq_mkdirs(dir.c_str(), 0755) != 0 || atomic_file_write(path, text) != 0)
            return eng_fail(c, 500, "не пишеться файл (" + dir + "): " + strerror(errno));
    }
    eng_audit(c, "calc-st save " + std::to_string(text.size()) + " B");
    srv_reply_json(c->reply, 200,
                   "{\"ok\":true,\"msg\":\"збережено; застосується після перечитування zqcalc\"" +
                       counts + tail);
}

void h_tags(srv_call *c) {
    std::string out = "{\"tags\":[";
    calc_cfg cfg;
    const char *p = cfg_path(c);
    if (p && calc_cfg_load(&cfg, p) == 0) {
        bool first = true;
        for (const calc_tag &t : cfg.tags) {
            std::string type = vtype_short(t.type);
            for (char &ch : type)
                ch = (char)tolower((unsigned char)ch);
            char head[64];
            snprintf(head, sizeof head, "%s{\"id\":\"%c%d\",\"name\":\"", first ? "" : ",",
                     t.isd ? 'D' : 'A', t.ch);
            out += head;
            out += json_escape_str(t.name);
            snprintf(head, sizeof head, "\",\"is_d\":%d,\"nn\":%d,\"type\":\"", t.isd ? 1 : 0,
                     t.ch);
            out += head + type + "\"}";
            first = false;
        }
    }
    srv_reply_json(c->reply, 200, out + "]}");
}

json_ptr read_vars(const std::string &dir, std::string *raw) {
    if (zq_read_file_max((dir + "/vars.json").c_str(), VARS_MAX, raw) != 0) return nullptr;
    return json_ptr(json_parse(raw->c_str()));
}

void h_vars(srv_call *c) {
    std::string raw;
    json_ptr doc = read_vars(calc_dir(c), &raw);
    // A file caught half-way or damaged is no answer the page can use.
    srv_reply_json(c->reply, 200, doc && doc->type == JSON_OBJECT ? std::move(raw) : "{}");
}

const json_node *find_var(const json_node *doc, const std::string &name) {
    const json_node *vars = json_get(doc, "vars");
    for (const json_node *v = vars && vars->type == JSON_ARRAY ? vars->child : nullptr; v;
         v = v->next)
        if (v->type == JSON_OBJECT && name == json_gets(v, "name", "")) return v;
    return nullptr;
}

// "[i,j].member" / ".member" for a cell of a structure; "" when unknown.
std::string member_label(const json_node *var, long long idx) {
    long long slen = json_geti(var, "slen", 0);
    bool split = slen >= 1 && json_geti(var, "is_array", 0) != 0;
    long long cell = split ? idx % slen : idx, elem = split ? idx / slen : -1;
    const json_node *members = json_get(var, "members");
    const json_node *m = members && members->type == JSON_ARRAY ? members->child : nullptr;
    while (m && json_geti(m, "i", -1) != cell)
        m = m->next;
    if (!m) return "";
    std::string mname = json_gets(m, "n", "?");
    if (!split) return "." + mname;
    const json_node *dims = json_get(var, "dims");
    long long d[3];
    size_t nd = 0;
    for (const json_node *x = dims && dims->type == JSON_ARRAY ? dims->child : nullptr; x && nd < 3;
         x = x->next)
        d[nd++] = json_int_of(x, 0);
    std::string ix;
    for (size_t k = nd; k-- > 0;) {
        if (d[k] <= 0) continue;
        std::string part = std::to_string(elem % d[k]);
        elem /= d[k];
        ix = ix.empty() ? part : part + "," + ix;
    }
    return "[" + ix + "]." + mname;
}

bool identifier(const std::string &s) {
    if (s.empty() || s.size() > 63) return false;
    for (char ch : s)
        if (!isalnum((unsigned char)ch) && ch != '_') return false;
    return true;
}

// A number member given as a number or a numeric text; NaN otherwise.
double number_member(const json_node *n) {
    if (!n) return NAN;
    if (n->type == JSON_NUMBER) return n->number;
    if (n->type != JSON_STRING) return NAN;
    char *end = nullptr;
    double d = zq_strtod_c(n->string, &end);
    return end && end != n->string && *end == 0 ? d : NAN;
}

void h_set_var(srv_call *c) {
    json_ptr body = eng_body_object(c);
    if (!body) return;
    const json_node *nn = json_get(body.get(), "name");
    if (!nn || nn->type != JSON_STRING || !*nn->string)
        return srv_reply_json(c->reply, 400, "{\"ok\":false,\"error\":\"need name\"}");
    std::string name = nn->string;
    if (!identifier(name))
        return eng_fail(c, 500, "ім'я змінної — лише латинські літери, цифри та _");
    const json_node *vn = json_get(body.get(), "value");
    double value = vn ? number_member(vn) : 0;
    if (!std::isfinite(value)) return eng_fail(c, 400, "значення має бути скінченним числом");
    long long idx = -1;
    const json_node *in = json_get(body.get(), "idx");
    if (!in) in = json_get(body.get(), "index");
    if (in && in->type != JSON_NULL) {
        double d = number_member(in);
        if (!std::isfinite(d) || d != std::floor(d) || d < 0 || d >= CALC_MAX_CELLS)
            return eng_fail(c, 400, "індекс поза межами");
        idx = (long long)d;
    }

    std::string dir = calc_dir(c), raw;
    json_ptr doc = read_vars(dir, &raw);
    const json_node *var = doc ? find_var(doc.get(), name) : nullptr;
    double old = value;
    std::string label = name;
    if (var) {
        // Refused here rather than ignored by the engine without a word.
        const json_node *v = json_get(var, "v");
        bool cells = v && v->type == JSON_ARRAY;
        if (idx < 0 && cells)
            return eng_fail(c, 400, "змінна «" + name + "» — масив: потрібен індекс");
        if (idx >= 0 && !cells) return eng_fail(c, 400, "змінна «" + name + "» — не масив");
        if (idx >= 0 && (size_t)idx >= json_count(v))
            return eng_fail(c, 400,
                            "індекс " + std::to_string(idx) + " поза межами «" + name + "» (0.." +
                                std::to_string(json_count(v) - 1) + ")");
        const json_node *cur = idx < 0 ? v : json_at(v, (size_t)idx);
        if (cur && cur->type == JSON_NUMBER) old = cur->number;
        if (idx >= 0) {
            std::string m = member_label(var, idx);
            label = m.empty() ? name + "[" + std::to_string(idx) + "]" : name + m;
        }
    } else if (idx >= 0) {
        label = name + "[" + std::to_string(idx) + "]";
    }

    char line[160];
    int len = idx < 0
                  ? snprintf(line, sizeof line, "setvar %s %.10g\n", name.c_str(), value)
                  : snprintf(line, sizeof line, "setvar %s %lld %.10g\n", name.c_str(), idx, value);
    // One O_APPEND write per command: lines of concurrent requests never
    // interleave, and one appended while the engine renames the file away
    // lands whole in the old or the new file.
    zq_mkdirs(dir.c_str(), 0755);
    int fd = open((dir + "/cmd.req").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return eng_fail(c, 500, "не відкрити cmd.req: " + std::string(strerror(errno)));
    ssize_t n = write(fd, line, (size_t)len);
    int werr = errno;
    close(fd);
    if (n != len) return eng_fail(c, 500, "не записано cmd.req: " + std::string(strerror(werr)));

    char referer[128] = "";
    http_header(c->req, "Referer", referer, sizeof referer);
    ctrllog_analog(c->req->client_ip, referer, "calc VAR", json_escape_str(label).c_str(), old,
                   value);
    char action[128];
    snprintf(action, sizeof action, "calc/set-var %s=%.10g", label.c_str(), value);
    eng_audit(c, action);
    srv_reply_json(c->reply, 200, "{\"ok\":true}");
}

constexpr unsigned ENG = SRV_ENGINEERING | SRV_METHOD_405;
constexpr unsigned CHANGE = ENG | SRV_STATE_CHANGING;

const srv_route routes[] = {
    {SRV_READ, "/api/eng/calc-st", h_st_get, ENG},
    {SRV_POST, "/api/eng/calc-st", h_st_post, CHANGE | SRV_LARGE_BODY},
    {SRV_READ, "/api/eng/calc/tags", h_tags, ENG},
    {SRV_READ, "/api/eng/calc/vars", h_vars, ENG},
    {SRV_POST, "/api/eng/calc/set-var", h_set_var, CHANGE},
};

}  // namespace

std::span<const srv_route> eng_calc_routes() {
    return routes;
}
