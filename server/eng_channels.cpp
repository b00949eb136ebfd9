// Engineering endpoints for channel rows and PLC polling groups. Channel
// edits never touch the live registry: they go to "<registry>.import",
// which the supervisor applies on SIGUSR1. Group edits change the one
// group's lines of config.yaml and keep the rest of the file as it is.

#include <errno.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/atomic_file.h"
#include "common/cfg_check.h"
#include "common/channels.h"
#include "common/cp1251.h"
#include "common/ini.h"
#include "common/json.h"
#include "common/parse_util.h"
#include "common/yaml.h"
#include "common/yaml_edit.h"
#include "server/eng_core.h"
#include "server/eng_handlers.h"

namespace {

// One channel save at a time: each builds on the pending import of the last.
std::mutex g_save_mu;

struct which_reg {
    bool discrete;
    std::string path;  // "" when not configured
};

which_reg registry_of(srv_call *c) {
    char f[8] = "";
    http_query_param(c->req, "file", f, sizeof f);
    which_reg w{strcmp(f, "d") == 0, ""};
    const char *base = w.discrete ? c->st->cfg.eng_base_d : c->st->cfg.eng_base_a;
    if (!base[0]) return w;
    w.path = strchr(base, '/') ? zq_dir_of(base) + "/channels.json" : "channels.json";
    return w;
}

void num(std::string &s, const char *key, double v) {
    s += ",\"";
    s += key;
    s += "\":";
    if (!std::isfinite(v)) {
        s += "null";  // JSON has no NaN
        return;
    }
    char b[32];
    zq_format_double_c(b, sizeof b, "%g", v);
    s += b;
}

void text(std::string &s, const char *key, const char *v) {
    s += ",\"";
    s += key;
    s += "\":\"" + json_escape_str(v) + "\"";
}

std::string row_json(const channel_rec &r, int n, bool discrete) {
    std::string s = "{\"nn\":" + std::to_string(n) + ",\"id\":\"" + (discrete ? "D" : "A") +
                    std::to_string(n) + "\"";
    text(s, "name", r.name);
    text(s, "desc", r.desc);
    if (!discrete) {
        text(s, "unit", r.unit);
        num(s, "code_min", r.code_min);
        num(s, "code_max", r.code_max);
        num(s, "el_min", r.el_min);
        num(s, "el_max", r.el_max);
        text(s, "el_unit", r.el_unit);
    }
    num(s, "phys_min", r.phys_min);
    num(s, "phys_max", r.phys_max);
    text(s, "equipment", r.equipment);
    text(s, "loop", r.loop);
    text(s, "device_type", r.device_type);
    text(s, "area", r.area);
    text(s, "plc_tag", r.plc_tag);
    text(s, "group", r.group);
    return s + "}";
}

const channel_rec *rec_of(const channels_registry &reg, bool discrete, int n) {
    return discrete ? channels_di(&reg, n) : channels_an(&reg, n);
}

int capacity_of(const channels_registry &reg, bool discrete) {
    int cap = discrete ? reg.di_cap : reg.an_cap, hi = 0;
    for (int n = 1; n < cap; n++)
        if (rec_of(reg, discrete, n)) hi = n;
    return hi + 1;
}

// A text field: the JSON string (escapes already translated), cut to the
// field on a UTF-8 boundary.
void set_text(const json_node *row, const char *key, char *dst, size_t cap) {
    const json_node *v = json_get(row, key);
    if (!v || v->type != JSON_STRING) return;
    std::string cut = eng_cut_utf8(v->string, cap - 1);
    memcpy(dst, cut.c_str(), cut.size() + 1);
}

// A number given as a number or as decimal text; false when absent.
bool get_num(const json_node *row, const char *key, double *out) {
    const json_node *v = json_get(row, key);
    if (!v) return false;
    if (v->type == JSON_NUMBER) {
        *out = v->number;
        return true;
    }
    if (v->type != JSON_STRING || !v->string[0]) return false;
    char *end;
    double d = zq_strtod_c(v->string, &end);
    if (*end) return false;
    *out = d;
    return true;
}

// Applies one posted row; the channel number or 0 when it was skipped.
int apply_row(channels_registry *reg, bool discrete, const json_node *row) {
    double nd;
    if (row->type != JSON_OBJECT || !get_num(row, "nn", &nd)) return 0;
    if (!(nd >= 1 && nd <= CHANNELS_MAX_NUMBER) || nd != std::floor(nd)) return 0;
    int n = (int)nd;
    channel_rec *r = discrete ? channels_di_slot(reg, n) : channels_an_slot(reg, n);
    if (!r) return 0;
    if (!r->used) {
        r->used = 1;
        int &hi = discrete ? reg->di_max : reg->an_max;
        if (n > hi) hi = n;
    }
    set_text(row, "name", r->name, sizeof r->name);
    set_text(row, "desc", r->desc, sizeof r->desc);
    set_text(row, "equipment", r->equipment, sizeof r->equipment);
    set_text(row, "loop", r->loop, sizeof r->loop);
    set_text(row, "device_type", r->device_type, sizeof r->device_type);
    set_text(row, "area", r->area, sizeof r->area);
    if (!discrete) {
        set_text(row, "unit", r->unit, sizeof r->unit);
        set_text(row, "el_unit", r->el_unit, sizeof r->el_unit);
        get_num(row, "code_min", &r->code_min);
        get_num(row, "code_max", &r->code_max);
        get_num(row, "el_min", &r->el_min);
        get_num(row, "el_max", &r->el_max);
        channels_update_scale(r);
    }
    get_num(row, "phys_min", &r->phys_min);
    get_num(row, "phys_max", &r->phys_max);
    return n;
}

// Scalar of a YAML map member as text (numbers in their plain form).
std::string scalar_text(const json_node *m, const char *key) {
    const json_node *v = json_get(m, key);
    if (!v) return "";
    if (v->type == JSON_STRING) return v->string;
    if (v->type == JSON_NUMBER && std::isfinite(v->number)) {
        char b[32];
        zq_format_double_c(b, sizeof b, "%.15g", v->number);
        return b;
    }
    return "";
}

}  // namespace

void eng_h_channels(srv_call *c) {
    which_reg w = registry_of(c);
    if (w.path.empty()) return srv_reply_json(c->reply, 503, "{\"error\":\"not configured\"}");
    channels_registry reg;
    if (channels_load(&reg, w.path.c_str()) != 0)
        return srv_reply_json(c->reply, 500, "{\"error\":\"read failed\"}");
    std::string s = std::string("{\"which\":\"") + (w.discrete ? 'd' : 'a') + "\",\"rows\":[";
    int cap = w.discrete ? reg.di_cap : reg.an_cap;
    bool first = true;
    for (int n = 1; n < cap; n++) {
        const channel_rec *r = rec_of(reg, w.discrete, n);
        if (!r) continue;
        if (!first) s += ',';
        first = false;
        s += row_json(*r, n, w.discrete);
    }
    s += "],\"capacity\":" + std::to_string(capacity_of(reg, w.discrete)) + "}";
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, std::move(s));
}

void eng_h_channel_scale(srv_call *c) {
    which_reg w = registry_of(c);
    char nn[16] = "";
    http_query_param(c->req, "nn", nn, sizeof nn);
    int n = atoi(nn);
    if (w.path.empty() || n < 1) return srv_reply_json(c->reply, 400, "{\"error\":\"bad params\"}");
    channels_registry reg;
    const channel_rec *r = nullptr;
    if (channels_load(&reg, w.path.c_str()) == 0) r = rec_of(reg, w.discrete, n);
    if (!r) return srv_reply_json(c->reply, 404, "{\"error\":\"not found\"}");
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, row_json(*r, n, w.discrete));
}

void eng_h_save(srv_call *c) {
    which_reg w = registry_of(c);
    if (w.path.empty()) return srv_reply_json(c->reply, 503, "{\"error\":\"not configured\"}");
    json_ptr body(json_parse(c->req->body.c_str()));
    if (!body || body->type != JSON_OBJECT) return eng_fail(c, 400, "No valid rows");
    const json_node *rows = json_get(body.get(), "rows");
    std::string import = w.path + ".import";
    std::lock_guard<std::mutex> lk(g_save_mu);
    // Edits not yet applied by the supervisor are the base of these ones,
    // so a second save before the apply keeps the first.
    struct stat st;
    bool pending = lstat(import.c_str(), &st) == 0;
    const std::string &from = pending ? import : w.path;
    channels_registry reg;
    if (channels_load(&reg, from.c_str()) != 0) return eng_fail(c, 500, "Cannot load " + from);
    int applied = 0, last = 0;
    if (rows) {
        if (rows->type != JSON_ARRAY) return eng_fail(c, 400, "No valid rows");
        for (const json_node *r = rows->child; r; r = r->next)
            if (int n = apply_row(&reg, w.discrete, r)) {
                applied++;
                last = n;
            }
    } else if (int n = apply_row(&reg, w.discrete, body.get())) {
        applied = 1;
        last = n;
    }
    if (!applied) return eng_fail(c, 400, "No valid rows");
    if (channels_save(&reg, import.c_str()) != 0) return eng_fail(c, 500, "Cannot write " + import);
    char msg[1200];
    snprintf(msg, sizeof msg, "saved %d ch (last %c%d) → %s", applied, w.discrete ? 'D' : 'A', last,
             import.c_str());
    eng_audit(c, std::string("save ") + (w.discrete ? "d" : "a") + " " + std::to_string(applied));
    eng_ok(c, msg);
}

void eng_h_groups(srv_call *c) {
    ini_file f;
    if (ini_load(c->st->cfg.legacy_ini, &f) != 0)
        return srv_reply_body(c->reply, 200, SRV_JSON_UTF8, "[]");
    std::string s = "[";
    for (const ini_section &sec : f.sections) {
        if (sec.name.compare(0, 10, "Logix5000_") != 0) continue;
        std::string chans, name;
        for (const ini_entry &e : sec.entries) {
            if (e.key.compare(0, 4, "item") != 0 || e.value.size() < 2) continue;
            char k = e.value[0];
            if (k == 'a') k = 'A';
            if (k == 'd') k = 'D';
            if ((k != 'A' && k != 'D') || !isdigit((unsigned char)e.value[1])) continue;
            int n = atoi(e.value.c_str() + 1);
            if (chans.size() > 32768) continue;
            if (!chans.empty()) chans += ',';
            chans += std::string("{\"t\":\"") + k + "\",\"nn\":" + std::to_string(n) + "}";
            // The group's label: the first item's tag up to its first "[".
            size_t c2 = e.value.find(',', e.value.find(',') + 1);
            if (name.empty() && c2 != std::string::npos) {
                std::string tag = e.value.substr(c2 + 1);
                tag = tag.substr(0, tag.find('['));
                size_t b = tag.find_first_not_of(' ');
                name = b == std::string::npos ? "" : cp1251_to_utf8(tag.substr(b));
            }
        }
        if (s.size() > 1) s += ',';
        s += "{\"id\":" + std::to_string(atoi(sec.name.c_str() + 10)) + ",\"name\":\"" +
             json_escape_str(name) + "\",\"channels\":[" + chans + "]}";
    }
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, s + "]");
}

void eng_h_logix_groups(srv_call *c) {
    json_ptr cfg(yaml_parse_file(c->st->cfg.yaml_path));
    const json_node *groups = json_get(json_get(cfg.get(), "logix"), "groups");
    std::string s = "[";
    if (groups && groups->type == JSON_ARRAY)
        for (const json_node *g = groups->child; g; g = g->next) {
            if (g->type != JSON_OBJECT) continue;
            if (s.size() > 1) s += ',';
            s += "{\"id\":" + std::to_string(json_geti(g, "id", 0)) + ",\"ipaddr\":\"" +
                 json_escape_str(scalar_text(g, "ipaddr")) + "\",\"connpath\":\"" +
                 json_escape_str(scalar_text(g, "connpath")) +
                 "\",\"takt\":" + std::to_string(json_geti(g, "takt", 0)) + "}";
        }
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, s + "]");
}
