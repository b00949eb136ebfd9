// What survives a restart (calc_state.json), the variable snapshot for the
// editor (vars.json) and the editor's commands (cmd.req).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "calc/calc_engine.h"
#include "common/atomic_file.h"
#include "common/log.h"
#include "common/parse_util.h"

namespace {

// Numbers of the state files; a non-finite number would make the file
// unreadable JSON, so it is written as null and read back as bad.
void num(std::string *o, const char *fmt, double v) {
    if (!std::isfinite(v)) {
        *o += "null";
        return;
    }
    char b[40];
    zq_format_double_c(b, sizeof b, fmt, v);
    *o += b;
}

void appendf(std::string *o, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string *o, const char *fmt, ...) {
    char b[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(b, sizeof b, fmt, ap);
    va_end(ap);
    *o += b;
}

// JSON text of a node read from an earlier state file, carried through a
// save while the program does not load.
void emit(std::string *o, const json_node *n) {
    if (n->key) *o += "\"" + json_escape_str(n->key) + "\":";
    switch (n->type) {
        case JSON_NUMBER:
            num(o, "%.17g", n->number);
            break;
        case JSON_STRING:
            *o += "\"" + json_escape_str(n->string) + "\"";
            break;
        case JSON_BOOL:
            *o += n->boolean ? "true" : "false";
            break;
        case JSON_ARRAY:
        case JSON_OBJECT:
            *o += n->type == JSON_ARRAY ? "[" : "{";
            for (const json_node *c = n->child; c; c = c->next) {
                if (c != n->child) *o += ",";
                emit(o, c);
            }
            *o += n->type == JSON_ARRAY ? "]" : "}";
            break;
        default:
            *o += "null";
    }
}

void emit_items(std::string *o, calc_engine *e) {
    const calc_prog *p = e->cfg.prog.get();
    if (!p) {
        // Keep what the last readable state held for the program.
        const json_node *items = json_get(e->carried.get(), "items");
        if (items && items->type == JSON_ARRAY)
            for (const json_node *c = items->child; c; c = c->next) {
                *o += c == items->child ? "\n " : ",\n ";
                emit(o, c);
            }
        return;
    }
    int n = cx_state_count(p->root.get());
    if (!p->enabled || n <= 0) return;
    appendf(o, "\n {\"id\":%d,\"run_pstart_ms\":%lld,\"last_val\":", p->id,
            static_cast<long long>(p->run_pstart_ms));
    num(o, "%.17g", p->last_val);
    appendf(o, ",\"last_bad\":%d,\"has_last\":%d,\"prev_val\":", p->last_bad, p->has_last);
    num(o, "%.17g", p->prev_val);
    appendf(o, ",\"prev_bad\":%d,\"has_prev_val\":%d,\"fns\":[", p->prev_bad, p->has_prev_val);
    for (int i = 0; i < n; i++) {
        cx_state_rec r{};
        cx_state_get(p->root.get(), i, &r);
        appendf(o, "%s{\"fn\":\"%s\",\"pstart_ms\":%lld,\"acc\":", i ? "," : "",
                json_escape_str(r.fn).c_str(), static_cast<long long>(r.pstart_ms));
        num(o, "%.17g", r.acc);
        *o += ",\"acc2\":";
        num(o, "%.17g", r.acc2);
        appendf(o, ",\"t_ms\":%lld,\"inited\":%d}", static_cast<long long>(r.t_ms), r.inited);
    }
    *o += "]}";
}

void emit_vars(std::string *o, calc_engine *e) {
    bool first = true;
    if (e->prog_failed) {
        const json_node *vars = json_get(e->carried.get(), "vars");
        if (vars && vars->type == JSON_ARRAY)
            for (const json_node *c = vars->child; c; c = c->next) {
                *o += first ? "" : ",";
                first = false;
                emit(o, c);
            }
        return;
    }
    for (const calc_var &v : e->cfg.vars) {
        if (v.cells <= 0) continue;
        appendf(o, "%s{\"name\":\"%s\",\"len\":%d,", first ? "" : ",",
                json_escape_str(v.name).c_str(), v.cells);
        first = false;
        if (v.kind) appendf(o, "\"st\":\"%s\",", cx_struct_name(v.kind));
        *o += "\"v\":[";
        for (int i = 0; i < v.cells; i++) {
            size_t c = static_cast<size_t>(v.base + i);
            if (i) *o += ",";
            if (e->cell_bad[c])
                *o += "null";
            else
                num(o, "%.17g", e->cells[c]);
        }
        *o += "]}";
    }
}

const calc_var *var_named(const calc_engine *e, const char *name) {
    auto it = e->cfg.var_by_name.find(name);
    return it == e->cfg.var_by_name.end() ? nullptr : &e->cfg.vars[static_cast<size_t>(it->second)];
}

void restore_items(calc_engine *e, const json_node *items, int *n_items) {
    calc_prog *p = e->cfg.prog.get();
    for (const json_node *it = items ? items->child : nullptr; it; it = it->next) {
        int id = static_cast<int>(json_geti(it, "id", 0));
        if (!p || !p->enabled || id != p->id) continue;
        p->run_pstart_ms = json_geti(it, "run_pstart_ms", 0);
        p->last_val = json_getn(it, "last_val", 0);
        p->last_bad = static_cast<int>(json_geti(it, "last_bad", 1));
        p->has_last = static_cast<int>(json_geti(it, "has_last", 0));
        p->prev_val = json_getn(it, "prev_val", 0);
        p->prev_bad = static_cast<int>(json_geti(it, "prev_bad", 1));
        p->has_prev_val = static_cast<int>(json_geti(it, "has_prev_val", 0));
        int n = cx_state_count(p->root.get()), i = 0;
        const json_node *fns = json_get(it, "fns");
        for (const json_node *f = fns ? fns->child : nullptr; f && i < n; f = f->next, i++) {
            cx_state_rec cur{};
            cx_state_get(p->root.get(), i, &cur);
            const char *fn = json_gets(f, "fn", "");
            if (strcmp(fn, cur.fn) != 0) {
                log_msg("calc: item id=%d fn#%d (%s) — формула змінилась, акумулятор з нуля", id, i,
                        cur.fn);
                continue;
            }
            const json_node *acc = json_get(f, "acc"), *acc2 = json_get(f, "acc2");
            cur.pstart_ms = json_geti(f, "pstart_ms", 0);
            // A null accumulator (never finite) restarts that node.
            cur.acc = acc && acc->type == JSON_NUMBER ? acc->number : 0;
            cur.acc2 = acc2 && acc2->type == JSON_NUMBER ? acc2->number : 0;
            cur.t_ms = json_geti(f, "t_ms", 0);
            cur.inited = static_cast<int>(json_geti(f, "inited", 0));
            cx_state_set(p->root.get(), i, &cur);
        }
        (*n_items)++;
    }
}

int restore_tags(calc_engine *e, const json_node *tags) {
    int n = 0;
    for (const json_node *t = tags ? tags->child : nullptr; t; t = t->next) {
        const char *id = json_gets(t, "id", "");
        int isd = id[0] == 'D' || id[0] == 'd';
        if (!isd && id[0] != 'A' && id[0] != 'a') continue;
        char *end = nullptr;
        long ch = strtol(id + 1, &end, 10);
        if (end == id + 1 || *end) continue;
        for (calc_tag &tag : e->cfg.tags)
            if (tag.isd == isd && tag.ch == ch) {
                const json_node *raw = json_get(t, "raw");
                bool finite = raw && raw->type == JSON_NUMBER && std::isfinite(raw->number);
                tag.rem_v = finite ? raw->number : 0;
                tag.rem_q = finite && json_geti(t, "q", 0) == 1 ? 1 : 0;
                tag.has_rem = 1;
                n++;
            }
    }
    return n;
}

int restore_vars(calc_engine *e, const json_node *vars) {
    int n = 0;
    for (const json_node *j = vars ? vars->child : nullptr; j; j = j->next) {
        const calc_var *v = var_named(e, json_gets(j, "name", ""));
        if (!v || json_geti(j, "len", -1) != v->cells) continue;
        const char *st = json_gets(j, "st", "");
        if (strcmp(st, v->kind ? cx_struct_name(v->kind) : "") != 0) continue;
        const json_node *vals = json_get(j, "v");
        int i = 0;
        for (const json_node *c = vals ? vals->child : nullptr; c && i < v->cells;
             c = c->next, i++) {
            size_t k = static_cast<size_t>(v->base + i);
            bool good = c->type == JSON_NUMBER && std::isfinite(c->number);
            e->cells[k] = good ? c->number : 0;
            e->cell_bad[k] = !good;
        }
        n++;
    }
    return n;
}

bool real_number(const char *s, double *out) {
    char *end = nullptr;
    double v = zq_strtod_c(s, &end);
    if (end == s || *end || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

void run_file(calc_engine *e, const std::string &path, int *count) {
    std::string text;
    if (zq_read_file_max(path.c_str(), 4u << 20, &text) != 0) {
        if (errno == EFBIG) log_err("calc: %s завеликий — пропущено", path.c_str());
    }
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        size_t end = nl == std::string::npos ? text.size() : nl;
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > 127) {
            // a cut line could run a different command than the one sent
            log_err("calc: команда довша за 127 символів — відкинуто");
            continue;
        }
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        calc_engine_command(e, line.c_str());
        (*count)++;
    }
    unlink(path.c_str());
}

}  // namespace

std::string calc_state_format(calc_engine *e, int64_t now_ms) {
    std::string o;
    appendf(&o, "{\"version\":1,\"saved_ms\":%lld,\"items\":[", static_cast<long long>(now_ms));
    emit_items(&o, e);
    o += "],\"tags\":[";
    bool first = true;
    for (const calc_tag &t : e->cfg.tags) {
        if (!t.has_rem) continue;
        appendf(&o, "%s{\"id\":\"%c%d\",\"raw\":", first ? "" : ",", t.isd ? 'D' : 'A', t.ch);
        num(&o, "%.17g", t.rem_v);
        appendf(&o, ",\"q\":%d}", std::isfinite(t.rem_v) ? t.rem_q : 0);
        first = false;
    }
    o += "],\"vars\":[";
    emit_vars(&o, e);
    o += "]}\n";
    return o;
}

std::string calc_vars_format(const calc_engine *e) {
    std::string o = "{\"vars\":[";
    bool first = true;
    for (const calc_var &v : e->cfg.vars) {
        const char *type = v.kind ? cx_struct_name(v.kind) : vtype_short(v.type);
        appendf(&o, "%s{\"name\":\"%s\",\"type\":\"%s\"", first ? "" : ",",
                json_escape_str(v.name).c_str(), type);
        first = false;
        auto cell = [&](int i) {
            size_t k = static_cast<size_t>(v.base + i);
            if (e->cell_bad[k])
                o += "null";
            else
                num(&o, "%.10g", e->cells[k]);
        };
        auto dims = [&] {
            appendf(&o, ",\"is_array\":1,\"ndim\":%d,\"dims\":[", v.ndim);
            for (int d = 0; d < v.ndim; d++)
                appendf(&o, "%s%d", d ? "," : "", v.dim[d]);
            o += "]";
        };
        if (v.kind) {
            appendf(&o, ",\"is_struct\":1,\"len\":%d,\"slen\":%d", v.cells, CX_STRUCT_LEN);
            if (v.is_array) dims();
            o += ",\"members\":[";
            bool mf = true;
            for (int m = 0; m < CX_STRUCT_LEN; m++) {
                const char *nm = "?";
                int mt = 0, internal = 0;
                cx_struct_member_info(v.kind, m, &nm, &mt, &internal);
                if (internal) continue;
                appendf(&o, "%s{\"n\":\"%s\",\"t\":\"%s\",\"i\":%d}", mf ? "" : ",", nm,
                        vtype_short(mt), m);
                mf = false;
            }
            o += "],\"v\":[";
            for (int i = 0; i < v.cells; i++) {
                if (i) o += ",";
                cell(i);
            }
            o += "]";
        } else if (v.is_array) {
            dims();
            appendf(&o, ",\"len\":%d,\"v\":[", v.cells);
            for (int i = 0; i < v.cells; i++) {
                if (i) o += ",";
                cell(i);
            }
            o += "]";
        } else {
            o += ",\"v\":";
            cell(0);
            o += e->cell_bad[static_cast<size_t>(v.base)] ||
                         !std::isfinite(e->cells[static_cast<size_t>(v.base)])
                     ? ",\"bad\":1"
                     : ",\"bad\":0";
        }
        o += "}";
    }
    o += "]}\n";
    return o;
}

void calc_engine_save(calc_engine *e, int64_t now_ms) {
    // Capture the own tags; without a database the remembered values stay.
    if (e->attached)
        for (calc_tag &t : e->cfg.tags) {
            if (t.isd) {
                const ShmDiscrete *d = shm_discrete(&e->db, t.ch);
                if (!d) continue;
                t.rem_v = d->value;
                t.rem_q = d->quality == 1;
            } else {
                const ShmAnalog *a = shm_analog(&e->db, t.ch);
                if (!a) continue;
                t.rem_v = a->value;
                t.rem_q = a->quality == 1 && std::isfinite(a->value);
            }
            t.has_rem = 1;
        }
    const std::string dir = e->cfg.dir;
    bool has_prog =
        e->cfg.prog && e->cfg.prog->enabled && cx_state_count(e->cfg.prog->root.get()) > 0;
    bool carried = e->prog_failed && e->carried;
    if (!e->cfg.tags.empty() || !e->cfg.vars.empty() || has_prog || carried) {
        std::string s = calc_state_format(e, now_ms);
        if (atomic_file_write(dir + "/calc_state.json", s, 0644) != 0)
            log_err("calc: %s/calc_state.json не записано: %s", dir.c_str(), strerror(errno));
    }
    if (e->prog_failed) return;  // the editor keeps the last snapshot
    std::string vpath = dir + "/vars.json";
    if (e->cfg.vars.empty()) {
        unlink(vpath.c_str());
        return;
    }
    if (atomic_file_write(vpath, calc_vars_format(e), 0644) != 0)
        log_err("calc: %s не записано: %s", vpath.c_str(), strerror(errno));
}

int calc_state_load(calc_engine *e) {
    std::string path = e->cfg.dir + "/calc_state.json";
    std::string text;
    if (zq_read_file_max(path.c_str(), 256u << 20, &text) != 0) return 0;
    json_node *doc = json_parse(text.c_str());
    if (!doc || doc->type != JSON_OBJECT) {
        json_free(doc);
        log_err("calc: %s — битий JSON, стан не відновлено", path.c_str());
        return -1;
    }
    e->carried.reset(doc);
    int ni = 0;
    restore_items(e, json_get(doc, "items"), &ni);
    int nt = restore_tags(e, json_get(doc, "tags"));
    int nv = e->prog_failed ? 0 : restore_vars(e, json_get(doc, "vars"));
    if (ni || nt || nv)
        log_msg("calc: стан відновлено з %s (%d item, %d тегів, %d VAR)", path.c_str(), ni, nt, nv);
    return 1;
}

void calc_engine_command(calc_engine *e, const char *line) {
    char w[4][128] = {};
    int n = sscanf(line, "%127s %127s %127s %127s", w[0], w[1], w[2], w[3]);
    if (n >= 2 && !strcmp(w[0], "reset")) {
        char *end = nullptr;
        long id = strtol(w[1], &end, 10);
        calc_prog *p = e->cfg.prog.get();
        if (*end || n != 2 || !p || id != p->id) {
            log_err("calc: reset %s — нема такої програми", w[1]);
            return;
        }
        int k = cx_state_count(p->root.get());
        for (int i = 0; i < k; i++) {
            cx_state_rec r{};
            cx_state_get(p->root.get(), i, &r);
            r.pstart_ms = 0;
            r.acc = 0;
            r.t_ms = 0;
            r.inited = 0;
            cx_state_set(p->root.get(), i, &r);
        }
        log_msg("calc: item id=%ld — акумулятори скинуто (команда /eng)", id);
        return;
    }
    if (n < 3 || n > 4 || strcmp(w[0], "setvar") != 0) {
        log_err("calc: незрозуміла команда «%s»", line);
        return;
    }
    const calc_var *v = var_named(e, w[1]);
    if (!v) {
        log_err("calc: setvar «%s» — нема такої VAR", w[1]);
        return;
    }
    double val = 0;
    if (!real_number(w[n - 1], &val)) {
        log_err("calc: setvar %s — значення «%s» не число", w[1], w[n - 1]);
        return;
    }
    bool plain_scalar = v->kind == CX_KIND_PLAIN && !v->is_array;
    if (n == 3) {
        if (!plain_scalar) return;
        e->cells[static_cast<size_t>(v->base)] = val;
        e->cell_bad[static_cast<size_t>(v->base)] = 0;
        log_msg("calc: setvar %s = %.10g (команда /eng)", v->name.c_str(), val);
        return;
    }
    if (plain_scalar) return;
    char *end = nullptr;
    errno = 0;
    long long idx = strtoll(w[2], &end, 10);
    if (end == w[2] || *end || errno || idx < 0 || idx >= v->cells) {
        log_err("calc: setvar %s[%s] поза межами", v->name.c_str(), w[2]);
        return;
    }
    int i = static_cast<int>(idx);
    const char *mname = "?";
    if (v->kind) {
        int internal = 0;
        cx_struct_member_info(v->kind, i % CX_STRUCT_LEN, &mname, nullptr, &internal);
        if (internal) {
            log_err("calc: setvar %s — внутрішній член", v->name.c_str());
            return;
        }
    }
    e->cells[static_cast<size_t>(v->base + i)] = val;
    e->cell_bad[static_cast<size_t>(v->base + i)] = 0;
    if (v->kind && v->is_array)
        log_msg("calc: setvar %s[#%d].%s = %.10g (команда /eng)", v->name.c_str(),
                i / CX_STRUCT_LEN, mname, val);
    else if (v->kind)
        log_msg("calc: setvar %s.%s = %.10g (команда /eng)", v->name.c_str(), mname, val);
    else
        log_msg("calc: setvar %s[%d] = %.10g (команда /eng)", v->name.c_str(), i, val);
}

int calc_engine_commands(calc_engine *e) {
    std::string req = e->cfg.dir + "/cmd.req", work = e->cfg.dir + "/cmd.req.work";
    int count = 0;
    // A work file left by a crash runs first; then the current requests are
    // moved aside before reading, so a line appended meanwhile lands in a new
    // cmd.req for the next tick instead of being deleted unread.
    struct stat sb;
    if (stat(work.c_str(), &sb) == 0) run_file(e, work, &count);
    if (rename(req.c_str(), work.c_str()) == 0) run_file(e, work, &count);
    return count;
}
