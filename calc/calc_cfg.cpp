// The calc section of config.yaml: settings, own tags, shift calendar and
// schedules, plus the names the parser sees.

#include <strings.h>

#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "calc/calc_cfg_int.h"
#include "common/parse_util.h"
#include "common/shm.h"
#include "common/yaml.h"

namespace {

struct type_row {
    const char *w;
    int code;
    bool an, di;
};
const type_row kTypes[] = {
    {"bool", CX_T_BOOL, false, true},   {"sint", CX_T_SINT, true, false},
    {"int", CX_T_INT, true, false},     {"dint", CX_T_DINT, true, false},
    {"lint", CX_T_LINT, true, false},   {"usint", CX_T_USINT, true, true},
    {"uint", CX_T_UINT, true, false},   {"udint", CX_T_UDINT, true, false},
    {"ulint", CX_T_ULINT, true, false}, {"real", CX_T_REAL, true, false},
    {"lreal", CX_T_LREAL, true, false},
};

const type_row *type_find(const char *w) {
    for (const type_row &t : kTypes)
        if (strcasecmp(w, t.w) == 0) return &t;
    return nullptr;
}

bool id_start(char c) {
    return isalpha(static_cast<unsigned char>(c)) || c == '_';
}
bool id_char(char c) {
    return isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// Integer of a scalar YAML node (number or numeric text).
bool node_int(const json_node *n, long long *out) {
    if (!n) return false;
    if (n->type == JSON_NUMBER && std::isfinite(n->number) && std::fabs(n->number) < 9e15) {
        *out = static_cast<long long>(n->number);
        return true;
    }
    if (n->type != JSON_STRING) return false;
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(n->string, &end, 10);
    while (end && isspace(static_cast<unsigned char>(*end)))
        end++;
    if (end == n->string || *end || errno) return false;
    *out = v;
    return true;
}

std::string node_text(const json_node *n, const char *def) {
    if (!n) return def;
    if (n->type == JSON_STRING) return n->string;
    if (n->type == JSON_NUMBER) {
        char b[64];
        zq_format_double_c(b, sizeof b, "%.15g", n->number);
        return b;
    }
    if (n->type == JSON_BOOL) return n->boolean ? "true" : "false";
    return def;
}

bool node_flag(const json_node *n, bool def) {
    if (!n) return def;
    if (n->type == JSON_BOOL) return n->boolean;
    if (n->type == JSON_NUMBER) return n->number != 0;
    if (n->type == JSON_STRING) {
        const char *s = n->string;
        return !strcasecmp(s, "true") || !strcasecmp(s, "yes") || !strcasecmp(s, "on") ||
               !strcmp(s, "1");
    }
    return def;
}

void parse_shift(calc_cfg *cfg, const json_node *sec, bool keep_anchor) {
    if (const json_node *a = json_get(sec, "shift_anchor")) {
        std::string t = node_text(a, "");
        int minutes = 0;
        if (calc_period_parse_anchor(t.c_str(), &minutes) != 0) {
            int keep = keep_anchor ? cfg->pc.anchor_min : 480;
            calc_note(cfg, 0, false, "calc: shift_anchor «%s» незрозумілий — лишаю %02d:%02d",
                      t.c_str(), keep / 60, keep % 60);
            cfg->pc.anchor_min = keep;
        } else {
            cfg->pc.anchor_min = minutes;
            int64_t ref = 0;
            cfg->pc.ref_ms = calc_period_parse_ref(t.c_str(), minutes, &ref) == 0 ? ref : 0;
        }
    }
    if (const json_node *h = json_get(sec, "shift_period_h")) {
        long long v = 0;
        if (!node_int(h, &v) || v < 1 || v > 24 || 24 % v != 0) {
            calc_note(cfg, 0, false, "calc: shift_period_h=%s не ділить 24 — лишаю 12",
                      node_text(h, "?").c_str());
            v = 12;
        }
        cfg->pc.shift_h = static_cast<int>(v);
    }
    cfg->shift_order.clear();
    const json_node *o = json_get(sec, "shift_order");
    if (o && o->type == JSON_ARRAY) {
        for (const json_node *c = o->child; c; c = c->next) {
            long long v = 0;
            if (node_int(c, &v) && static_cast<int>(cfg->shift_order.size()) < CALC_MAX_ORDER &&
                v >= INT32_MIN && v <= INT32_MAX)
                cfg->shift_order.push_back(static_cast<int>(v));
        }
    } else if (o) {
        std::string t = node_text(o, "");
        const char *s = t.c_str();
        while (*s && static_cast<int>(cfg->shift_order.size()) < CALC_MAX_ORDER) {
            if (!isdigit(static_cast<unsigned char>(*s))) {
                s++;
                continue;
            }
            long v = 0;
            while (isdigit(static_cast<unsigned char>(*s))) {
                if (v < 100000000) v = v * 10 + (*s - '0');
                s++;
            }
            cfg->shift_order.push_back(static_cast<int>(v));
        }
    }
}

void parse_settings(calc_cfg *cfg, const json_node *root, bool hot) {
    cfg->spool_dir.clear();
    if (const json_node *mq = json_get(root, "mqtt")) {
        std::string d = node_text(json_get(mq, "dir"), "");
        if (d.empty()) d = "./mqtt";
        cfg->spool_dir = d + "/spool";
        if (cfg->spool_dir.size() > 299) cfg->spool_dir.resize(299);
    }
    const json_node *sec = json_get(root, "calc");
    if (!sec) return;
    if (!hot) {
        std::string d = node_text(json_get(sec, "dir"), "");
        if (!d.empty()) cfg->dir = d.substr(0, 255);
    }
    long long v = 0;
    if (node_int(json_get(sec, "takt_ms"), &v))
        cfg->takt_ms = v < 50 ? 50 : v > 3600000 ? 3600000 : static_cast<int>(v);
    if (node_int(json_get(sec, "stale_ms"), &v))
        cfg->stale_ms = v > INT32_MAX ? INT32_MAX : v < 0 ? 0 : static_cast<int>(v);
    parse_shift(cfg, sec, hot);
}

// A<n>[, type[, name]]
void parse_item(calc_cfg *cfg, const std::string &line) {
    const char *s = line.c_str();
    while (*s == ' ' || *s == '\t')
        s++;
    char letter = static_cast<char>(toupper(static_cast<unsigned char>(*s)));
    if ((letter != 'A' && letter != 'D') || !isdigit(static_cast<unsigned char>(s[1]))) {
        calc_note(cfg, 0, false, "calc: незрозумілий item «%s» — пропущено", line.c_str());
        return;
    }
    const char *p = s + 1;
    long long n = 0;
    while (isdigit(static_cast<unsigned char>(*p))) {
        if (n < 100000000) n = n * 10 + (*p - '0');
        p++;
    }
    while (*p == ' ' || *p == '\t')
        p++;
    if (*p && *p != ',') {
        calc_note(cfg, 0, false, "calc: незрозумілий item «%s» — пропущено", line.c_str());
        return;
    }
    int isd = letter == 'D';
    // Channel numbers above the range alias the pseudo-names and variable
    // cells of the host; 0 is never a channel.
    if (n < 1 || n > CX_CHAN_MAX) {
        calc_note(cfg, 0, false, "calc: item «%s» — канал поза 1..%d, пропущено", line.c_str(),
                  CX_CHAN_MAX);
        return;
    }
    calc_tag t;
    t.isd = isd;
    t.ch = static_cast<int>(n);
    int deftype = isd ? CX_T_USINT : CX_T_LREAL;
    t.type = deftype;
    if (*p == ',') {
        p++;
        while (*p == ' ' || *p == '\t')
            p++;
        std::string word;
        while (isalnum(static_cast<unsigned char>(*p)) && word.size() < 15)
            word += *p++;
        while (isalnum(static_cast<unsigned char>(*p)))
            p++;
        if (!word.empty() && strcasecmp(word.c_str(), "c") != 0 &&
            strcasecmp(word.c_str(), "v") != 0) {
            int err = 0;
            int code = calc_vtype_from_kw(word.c_str(), isd, &err);
            if (err == 1)
                calc_note(cfg, 0, false, "calc: невідомий тип «%s» у «%s» — беру %s", word.c_str(),
                          line.c_str(), vtype_short(deftype));
            else if (err == 2)
                calc_note(cfg, 0, false, "calc: тип «%s» несумісний зі слотом %c у «%s» — беру %s",
                          word.c_str(), letter, line.c_str(), vtype_short(deftype));
            else {
                t.type = code;
                t.typed = 1;
            }
        }
        const char *c2 = strchr(p, ',');
        if (c2) {
            c2++;
            while (*c2 == ' ' || *c2 == '\t')
                c2++;
            while (id_char(*c2) && t.name.size() < 63)
                t.name += *c2++;
            if (!t.name.empty() && !id_start(t.name[0])) t.name.clear();
        }
    }
    if (calc_tag_of(cfg, isd, t.ch)) {
        calc_note(cfg, 0, false, "calc: item «%s» — канал %c%d уже власний, пропущено",
                  line.c_str(), letter, t.ch);
        return;
    }
    if (!t.name.empty()) {
        if (cfg->tag_by_name.count(t.name) || cx_is_keyword(t.name.c_str())) {
            calc_note(cfg, 0, false, "calc: item «%s» — ім'я «%s» зайняте, тег без імені",
                      line.c_str(), t.name.c_str());
            t.name.clear();
        } else {
            cfg->tag_by_name[t.name] = static_cast<int>(cfg->tags.size());
        }
    }
    cfg->tags.push_back(std::move(t));
}

int load_doc(calc_cfg *cfg, json_node *doc) {
    if (!doc) return -1;
    cfg->doc.reset(doc);
    std::string shm = shm_resolve_name(json_gets(json_get(doc, "logix"), "shm_name", nullptr));
    const char *env = getenv("LOGIX_SHM_NAME");
    if (env && *env) shm = env;
    cfg->shm_name = shm.substr(0, 127);
    parse_settings(cfg, doc, false);
    if (const json_node *sec = json_get(doc, "calc"))
        for (const std::string &line : yaml_items_vec(json_get(sec, "items")))
            parse_item(cfg, line);
    return 0;
}

}  // namespace

void calc_note(calc_cfg *cfg, int line, bool error, const char *fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    // Bounded: a hostile configuration must not grow the list without end.
    if (cfg->msgs.size() < 1000) cfg->msgs.push_back(calc_msg{line, error, buf});
}

bool calc_name_taken(const calc_cfg *cfg, const std::string &name) {
    return cfg->tag_by_name.count(name) || cfg->var_by_name.count(name);
}

int calc_vtype_from_kw(const char *word, int isd, int *err) {
    const type_row *t = type_find(word);
    int def = isd ? CX_T_USINT : CX_T_LREAL;
    if (!t) {
        if (err) *err = 1;
        return def;
    }
    if (isd ? !t->di : !t->an) {
        if (err) *err = 2;
        return def;
    }
    if (err) *err = 0;
    return t->code;
}

int calc_vtype_any(const char *word) {
    const type_row *t = type_find(word);
    return t ? t->code : CX_T_LREAL;
}

const char *vtype_short(int code) {
    static const char *const names[] = {"BOOL", "SINT",  "INT",   "DINT", "LINT", "USINT",
                                        "UINT", "UDINT", "ULINT", "REAL", "LREAL"};
    if (code >= CX_T_BOOL && code <= CX_T_LREAL) return names[code - CX_T_BOOL];
    return "?";
}

const calc_tag *calc_tag_of(const calc_cfg *cfg, int isd, int ch) {
    for (const calc_tag &t : cfg->tags)
        if (t.isd == isd && t.ch == ch) return &t;
    return nullptr;
}

const calc_var *calc_var_of_cell(const calc_cfg *cfg, int cell) {
    // Variables are laid out in order: binary search on the base cell.
    size_t lo = 0, hi = cfg->vars.size();
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        const calc_var &v = cfg->vars[mid];
        if (cell < v.base)
            hi = mid;
        else if (cell >= v.base + v.cells)
            lo = mid + 1;
        else
            return &v;
    }
    return nullptr;
}

int calc_cfg_load_text(calc_cfg *cfg, const char *yaml_text) {
    *cfg = calc_cfg{};
    return load_doc(cfg, yaml_text ? yaml_parse(yaml_text) : nullptr);
}

int calc_cfg_load(calc_cfg *cfg, const char *path) {
    *cfg = calc_cfg{};
    std::string text;
    if (zq_read_file_max(path, CALC_MAX_TEXT, &text) != 0) return -1;
    return load_doc(cfg, yaml_parse(text.c_str()));
}

int calc_cfg_reload_settings(calc_cfg *cfg, const char *path) {
    std::string text;
    if (zq_read_file_max(path, CALC_MAX_TEXT, &text) != 0) return -1;
    json_node *doc = yaml_parse(text.c_str());
    if (!doc) return -1;
    cfg->doc.reset(doc);
    parse_settings(cfg, doc, true);
    return 0;
}

int calc_cfg_reload_hot(calc_cfg *cfg, const char *path) {
    if (calc_cfg_reload_settings(cfg, path) != 0) return -1;
    calc_sched_build(cfg);
    return 0;
}

// ---------------------------------------------------------------- host slots

namespace {

calc_cfg *cfg_of(void *u) {
    return static_cast<calc_cfg *>(u);
}

const calc_var *var_named(const calc_cfg *cfg, const char *name) {
    auto it = cfg->var_by_name.find(name);
    return it == cfg->var_by_name.end() ? nullptr : &cfg->vars[static_cast<size_t>(it->second)];
}

int resolve_sym(void *u, const char *name, int *isd, int *index) {
    const calc_cfg *cfg = cfg_of(u);
    if (!strcmp(name, "shift_no") || !strcmp(name, "shift_index")) {
        *isd = 0;
        *index = name[6] == 'n' ? CALC_SHIFT_NO : CALC_SHIFT_INDEX;
        return 0;
    }
    auto t = cfg->tag_by_name.find(name);
    if (t != cfg->tag_by_name.end()) {
        const calc_tag &tag = cfg->tags[static_cast<size_t>(t->second)];
        *isd = tag.isd;
        *index = tag.ch;
        return 0;
    }
    const calc_var *v = var_named(cfg, name);
    if (!v || v->kind != CX_KIND_PLAIN) return -1;
    *isd = 0;
    *index = CX_VAR_BASE + v->base;
    return 0;
}

int arr_info(void *u, const char *name, int *base, int dim[3], int *ndim) {
    const calc_var *v = var_named(cfg_of(u), name);
    if (!v || v->kind != CX_KIND_PLAIN || !v->is_array) return -1;
    cx_fill_array_info(v, base, dim, ndim);
    return 0;
}

int data_info(void *u, const char *name, cx_data_desc *out) {
    const calc_var *v = var_named(cfg_of(u), name);
    if (!v || v->kind == CX_KIND_PLAIN) return -1;
    cx_fill_data_desc(v, out);
    return 0;
}

int vtype_info(void *u, int isd, int index) {
    const calc_cfg *cfg = cfg_of(u);
    if (index >= CX_VAR_BASE && !isd) {
        const calc_var *v = calc_var_of_cell(cfg, index - CX_VAR_BASE);
        return v && v->kind == CX_KIND_PLAIN ? v->type : 0;
    }
    const calc_tag *t = calc_tag_of(cfg, isd, index);
    return t && t->typed ? t->type : 0;
}

void profile_of(int type, int *max_bit, int *width, int *sgn) {
    *sgn = 0;
    switch (type) {
        case CX_T_BOOL:
            *max_bit = 0, *width = 1;
            break;
        case CX_T_SINT:
            *max_bit = 7, *width = 8, *sgn = 1;
            break;
        case CX_T_USINT:
            *max_bit = 7, *width = 8;
            break;
        case CX_T_INT:
            *max_bit = 15, *width = 16, *sgn = 1;
            break;
        case CX_T_UINT:
            *max_bit = 15, *width = 16;
            break;
        case CX_T_DINT:
            *max_bit = 31, *width = 32, *sgn = 1;
            break;
        case CX_T_UDINT:
            *max_bit = 31, *width = 32;
            break;
        case CX_T_REAL:
            *max_bit = 23, *width = 0;
            break;
        default:
            *max_bit = 52, *width = 0;
            break;
    }
}

}  // namespace

const cx_host calc_host_table = {resolve_sym, arr_info, nullptr,   data_info,
                                 nullptr,     nullptr,  vtype_info};

int calc_bit_profile(void *u, int isd, int index, int *max_bit, int *width, int *is_signed) {
    const calc_cfg *cfg = cfg_of(u);
    if (!isd && index >= CX_VAR_BASE) {
        int cell = index - CX_VAR_BASE;
        const calc_var *v = calc_var_of_cell(cfg, cell);
        if (!v) return -1;
        int type = v->type;
        if (v->kind != CX_KIND_PLAIN) {
            int mt = 0;
            cx_struct_member_info(v->kind, (cell - v->base) % CX_STRUCT_LEN, nullptr, &mt, nullptr);
            type = mt;
        }
        profile_of(type, max_bit, width, is_signed);
        return 0;
    }
    const calc_tag *t = calc_tag_of(cfg, isd, index);
    if (!t) return -1;
    if (isd)
        *max_bit = 7, *width = 8, *is_signed = 0;
    else
        profile_of(t->type, max_bit, width, is_signed);
    return 0;
}

int calc_resolve_target(const calc_cfg *cfg, const char *name, int *isd, int *index) {
    if ((name[0] == 'A' || name[0] == 'D') && isdigit(static_cast<unsigned char>(name[1]))) {
        long long n = 0;
        const char *p = name + 1;
        while (isdigit(static_cast<unsigned char>(*p)) && n <= CX_CHAN_MAX)
            n = n * 10 + (*p++ - '0');
        if (*p || n < 1 || n > CX_CHAN_MAX) return -1;
        *isd = name[0] == 'D';
        *index = static_cast<int>(n);
        return 0;
    }
    return resolve_sym(const_cast<calc_cfg *>(cfg), name, isd, index);
}

// ---------------------------------------------------------------- schedules

void calc_sched_build(calc_cfg *cfg) {
    std::vector<calc_sched> old;
    old.swap(cfg->scheds);
    const json_node *sec = json_get(cfg->doc.get(), "calc");
    const json_node *list = json_get(sec, "schedule");
    if (!list || list->type != JSON_ARRAY) return;
    for (const json_node *e = list->child; e; e = e->next) {
        calc_sched s;
        s.key = yaml_emit_str(e);
        std::string cron = node_text(json_get(e, "cron"), "");
        char err[256] = "";
        if (cron.empty()) {
            calc_note(cfg, 0, false, "calc: schedule cron «%s»: %s — пропущено", "(нема)",
                      "порожньо");
            continue;
        }
        if (cron_parse(cron.c_str(), &s.cron, err, sizeof err) != 0) {
            calc_note(cfg, 0, false, "calc: schedule cron «%s»: %s — пропущено", cron.c_str(), err);
            continue;
        }
        s.cron_text = cron;
        std::string act = node_text(json_get(e, "action"), "report");
        if (act == "set") {
            s.action = CALC_ACT_SET;
            std::string tgt = node_text(json_get(e, "target"), "");
            if (tgt.empty() || calc_resolve_target(cfg, tgt.c_str(), &s.t_isd, &s.t_index) != 0) {
                calc_note(cfg, 0, false, "calc: schedule set target «%s» невідомий — пропущено",
                          tgt.empty() ? "(нема)" : tgt.c_str());
                continue;
            }
            std::string val = node_text(json_get(e, "value"), "0");
            int line = 0;
            s.value.reset(
                cx_parse_host(val.c_str(), &calc_host_table, cfg, err, sizeof err, &line));
            if (!s.value) {
                calc_note(cfg, 0, false, "calc: schedule value «%s»: %s — пропущено", val.c_str(),
                          err);
                continue;
            }
        } else if (act == "report") {
            s.action = CALC_ACT_REPORT;
            s.name = node_text(json_get(e, "name"), "").substr(0, 63);
            s.csv = node_text(json_get(e, "format"), "jsonl") == "csv";
            s.daily = node_flag(json_get(e, "daily"), false);
            s.topic = node_text(json_get(e, "topic"), "").substr(0, 127);
            long long q = 0;
            s.qos = node_int(json_get(e, "qos"), &q) && q >= 1;
            s.retain = node_flag(json_get(e, "retain"), false);
            s.file = node_text(json_get(e, "file"), "").substr(0, 255);
            if (s.file.empty() && s.topic.empty()) s.file = "./reports/report.jsonl";
            for (const std::string &f : yaml_items_vec(json_get(e, "fields"))) {
                size_t comma = f.find(',');
                if (comma == std::string::npos) {
                    calc_note(cfg, 0, false, "calc: report поле «%s» без коми (name,tag)",
                              f.c_str());
                    continue;
                }
                size_t b = f.find_first_not_of(" \t");
                std::string col = f.substr(b, comma - b);
                std::string tag = f.substr(comma + 1);
                size_t tb = tag.find_first_not_of(" \t"), te = tag.find_last_not_of(" \t");
                tag = tb == std::string::npos ? "" : tag.substr(tb, te - tb + 1);
                calc_field fd;
                if (calc_resolve_target(cfg, tag.c_str(), &fd.isd, &fd.index) != 0) {
                    calc_note(cfg, 0, false, "calc: report тег «%s» невідомий — пропущено",
                              tag.c_str());
                    continue;
                }
                fd.col = col.substr(0, 31);
                s.fields.push_back(std::move(fd));
            }
        } else {
            calc_note(cfg, 0, false, "calc: schedule action «%s» невідома — пропущено",
                      act.c_str());
            continue;
        }
        // An unchanged entry keeps its mark, so a boundary in the reload
        // tick still fires.
        for (calc_sched &o : old)
            if (o.key == s.key && o.has_mark) {
                s.has_mark = true;
                s.mark_none = o.mark_none;
                s.mark = o.mark;
                o.key.clear();
                break;
            }
        cfg->scheds.push_back(std::move(s));
    }
}
