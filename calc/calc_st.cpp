// The program file calc.st: the VAR block (variables as numbered cells with
// their initial values) and the Structured Text program after it.

#include <strings.h>

#include <sys/stat.h>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "calc/calc_cfg_int.h"
#include "common/parse_util.h"

namespace {

bool id_start(char c) {
    return isalpha(static_cast<unsigned char>(c)) || c == '_';
}
bool id_char(char c) {
    return isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// A cursor over the declaration block; counts lines as it goes.
struct vcur {
    const char *text;  // whole file (for comment detection)
    const char *s;
    const char *end;
    int line;
};

void adv(vcur *c, size_t n) {
    for (size_t i = 0; i < n && c->s < c->end; i++, c->s++)
        if (*c->s == '\n') c->line++;
}

// Skips blanks and comments; false at an unclosed comment.
bool skip_ws(vcur *c, bool stop_at_eol = false) {
    while (c->s < c->end) {
        if (*c->s == '\n' && stop_at_eol) return true;
        if (isspace(static_cast<unsigned char>(*c->s))) {
            adv(c, 1);
            continue;
        }
        int unc = 0;
        int n = cx_comment_len(c->text, c->s, &unc);
        if (n <= 0) return true;
        if (unc) return false;
        if (stop_at_eol) {
            // a comment running over lines still ends the line for us
            const char *nl = static_cast<const char *>(memchr(c->s, '\n', static_cast<size_t>(n)));
            if (nl) return true;
        }
        adv(c, static_cast<size_t>(n));
    }
    return true;
}

bool word_at(const char *p, const char *start, const char *w) {
    size_t n = strlen(w);
    if (strncasecmp(p, w, n) != 0 || id_char(p[n])) return false;
    return p == start || !id_char(p[-1]);
}

// First whole word w outside comments from p; null when none.
const char *find_word(const char *text, const char *p, const char *w) {
    while (*p) {
        int unc = 0;
        int n = cx_comment_len(text, p, &unc);
        if (n > 0) {
            p += n;
            continue;
        }
        if (word_at(p, text, w)) return p;
        p++;
    }
    return nullptr;
}

std::string read_ident(vcur *c) {
    std::string w;
    while (c->s < c->end && id_char(*c->s))
        w += *c->s++;
    return w;
}

bool read_uint(vcur *c, long long *out) {
    if (c->s >= c->end || !isdigit(static_cast<unsigned char>(*c->s))) return false;
    long long v = 0;
    while (c->s < c->end && isdigit(static_cast<unsigned char>(*c->s))) {
        if (v <= CALC_MAX_CELLS * 16LL) v = v * 10 + (*c->s - '0');
        c->s++;
    }
    *out = v;
    return true;
}

int no_read(void *, int, int, double *) {
    return -1;
}

// A constant: parses without host, no statement, no stateful function, no
// tag, and evaluates good.
bool constant_of(const std::string &text, double *out) {
    if (text.size() > 159) return false;
    size_t b = text.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return false;
    cx_load_opts lo{};
    cx_tree root(cx_load(text.c_str(), &lo));
    if (!root || cx_is_stmt(root.get()) || cx_state_count(root.get()) > 0) return false;
    int tag = 0;
    if (cx_collect_tags(root.get(), &tag, 1) > 0) return false;
    cx_val v = cx_eval(root.get(), no_read, nullptr);
    if (v.bad || !std::isfinite(v.v)) return false;
    *out = v.v;
    return true;
}

const char *const kConstMsg = "ініціалізатор має бути сталим (число, 16#…, TRUE)";

struct decl_ctx {
    calc_cfg *cfg;
    int validate;
    std::string err;
    int line;
};

bool fail(decl_ctx *d, int line, const char *fmt, const std::string &a, const std::string &b = "") {
    char buf[512];
    snprintf(buf, sizeof buf, fmt, a.c_str(), b.c_str());
    d->err = buf;
    d->line = line;
    return false;
}

// Top-level comma split of a bracketed initializer body.
std::vector<std::string> split_items(const std::string &body) {
    std::vector<std::string> out;
    int depth = 0;
    std::string cur;
    for (char ch : body) {
        if (ch == '(' || ch == '[') depth++;
        if (ch == ')' || ch == ']') depth--;
        if (ch == ',' && depth == 0) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += ch;
        }
    }
    out.push_back(cur);
    return out;
}

// Initializer text (after :=) for a variable; fills init cells.
bool parse_init(decl_ctx *d, const calc_var &v, const std::string &raw, int line) {
    std::string t = raw;
    size_t b = t.find_first_not_of(" \t\r\n");
    size_t e = t.find_last_not_of(" \t\r\n");
    t = b == std::string::npos ? "" : t.substr(b, e - b + 1);
    auto bad = [&](const char *m) { return fail(d, line, "VAR «%s» — %s", v.name, m); };
    if (v.kind != CX_KIND_PLAIN)
        return bad("ініціалізатор структури не підтримується — задай члени в програмі");
    std::vector<double> &init = d->cfg->init;
    if (!t.empty() && t[0] == '[') {
        if (!v.is_array) return bad("список [..] лише для масиву");
        if (t.back() != ']') return bad("список ініціалізатора без ']'");
        int k = 0;
        for (std::string item : split_items(t.substr(1, t.size() - 2))) {
            size_t ib = item.find_first_not_of(" \t\r\n");
            if (ib == std::string::npos) return bad(kConstMsg);
            item = item.substr(ib);
            long long n = 1;
            std::string val = item;
            // n(v) repeats v n times
            size_t j = 0;
            while (j < item.size() && isdigit(static_cast<unsigned char>(item[j])))
                j++;
            size_t k2 = j;
            while (k2 < item.size() && (item[k2] == ' ' || item[k2] == '\t'))
                k2++;
            if (j > 0 && k2 < item.size() && item[k2] == '(') {
                size_t close = item.find_last_of(')');
                if (close == std::string::npos || close < k2 ||
                    item.find_first_not_of(" \t\r\n", close + 1) != std::string::npos)
                    return bad(kConstMsg);
                n = j > 9 ? CALC_MAX_CELLS + 1LL : atoll(item.substr(0, j).c_str());
                if (n <= 0) return bad("повтор n(v): n > 0");
                val = item.substr(k2 + 1, close - k2 - 1);
            }
            double x = 0;
            if (!constant_of(val, &x)) return bad(kConstMsg);
            if (n > v.cells - k)
                return bad("у списку ініціалізатора більше значень, ніж елементів");
            for (long long r = 0; r < n; r++)
                init[static_cast<size_t>(v.base + k++)] = x;
        }
        return true;
    }
    if (v.is_array) return bad("для масиву — список [a, b, n(c)]");
    double x = 0;
    if (!constant_of(t, &x)) return bad(kConstMsg);
    init[static_cast<size_t>(v.base)] = x;
    return true;
}

bool add_var(decl_ctx *d, calc_var v, int line) {
    calc_cfg *cfg = d->cfg;
    if (calc_name_taken(cfg, v.name)) return fail(d, line, "VAR «%s» — ім'я зайняте", v.name);
    int64_t n = v.kind ? CX_STRUCT_LEN : 1;
    for (int i = 0; i < v.ndim; i++)
        n *= v.dim[i];  // each dim <= 1<<24: no overflow in 64 bits
    if (n > CALC_MAX_CELLS - static_cast<int64_t>(cfg->ncells)) {
        char m[64];
        snprintf(m, sizeof m, "%d", CALC_MAX_CELLS);
        return fail(d, line, "VAR «%s» — забагато комірок (разом не більше %s)", v.name, m);
    }
    v.cells = static_cast<int>(n);
    v.base = cfg->ncells;
    cfg->ncells += v.cells;
    cfg->init.resize(static_cast<size_t>(cfg->ncells), NAN);
    cfg->var_by_name[v.name] = static_cast<int>(cfg->vars.size());
    cfg->vars.push_back(std::move(v));
    return true;
}

// Type after ':' : [ARRAY [0..N{,0..N}] [OF]] type-name.
bool parse_type(decl_ctx *d, vcur *c, calc_var *v, const std::string &who, int line) {
    skip_ws(c);
    if (word_at(c->s, c->text, "ARRAY")) {
        c->s += 5;
        skip_ws(c);
        if (c->s >= c->end || *c->s != '[')
            return fail(d, line, "VAR «%s» — очікувалась '[' після ARRAY", who);
        c->s++;
        v->ndim = 0;
        for (;;) {
            skip_ws(c);
            long long lo = 0, hi = 0;
            if (!read_uint(c, &lo)) return fail(d, line, "VAR «%s» — нижня межа масиву", who);
            skip_ws(c);
            if (c->end - c->s < 2 || c->s[0] != '.' || c->s[1] != '.')
                return fail(d, line, "VAR «%s» — очікувалось '..'", who);
            c->s += 2;
            skip_ws(c);
            if (!read_uint(c, &hi)) return fail(d, line, "VAR «%s» — верхня межа масиву", who);
            if (lo != 0) return fail(d, line, "VAR «%s» — вимір мусить бути [0..N]", who);
            if (v->ndim >= 3) return fail(d, line, "VAR «%s» — макс 3 виміри", who);
            if (hi + 1 > CALC_MAX_CELLS) {
                char m[64];
                snprintf(m, sizeof m, "%d", CALC_MAX_CELLS);
                return fail(d, line, "VAR «%s» — забагато комірок (разом не більше %s)", who, m);
            }
            v->dim[v->ndim++] = static_cast<int>(hi + 1);
            skip_ws(c);
            if (c->s < c->end && *c->s == ',') {
                c->s++;
                continue;
            }
            if (c->s >= c->end || *c->s != ']')
                return fail(d, line, "VAR «%s» — очікувалась ']'", who);
            c->s++;
            break;
        }
        v->is_array = 1;
        skip_ws(c);
        if (word_at(c->s, c->text, "OF")) c->s += 2;
        skip_ws(c);
    }
    std::string w;
    while (c->s < c->end && id_char(*c->s) && w.size() < 24)
        w += *c->s++;
    while (c->s < c->end && id_char(*c->s))
        c->s++;
    int kind = cx_struct_type(w.c_str());
    if (kind) {
        v->kind = kind;
        v->type = 0;
        return true;
    }
    if (w.size() <= 23 && !w.empty()) {
        int code = calc_vtype_any(w.c_str());
        if (code != CX_T_LREAL || strcasecmp(w.c_str(), "lreal") == 0) {
            v->type = code;
            return true;
        }
    }
    if (d->validate) return fail(d, line, "VAR «%s» — невідомий тип «%s»", who, w);
    calc_note(d->cfg, line, false, "calc.st: рядок %d: VAR «%s» — невідомий тип «%s», беру LREAL",
              line, who.c_str(), w.c_str());
    v->type = CX_T_LREAL;
    return true;
}

// One declaration from c->s to its ';' (or the block's end).
bool parse_decl(decl_ctx *d, vcur *c, int line) {
    const char *semi = c->s;
    while (semi < c->end && *semi != ';') {
        int unc = 0;
        int n = cx_comment_len(c->text, semi, &unc);
        semi += n > 0 ? n : 1;
    }
    if (semi > c->end) semi = c->end;
    vcur dc{c->text, c->s, semi, line};
    std::vector<std::string> names;
    calc_var proto;
    bool short_form = false;
    for (;;) {
        skip_ws(&dc);
        std::string nm = read_ident(&dc);
        if (nm.empty()) return fail(d, line, "VAR — порожнє ім'я у списку%s", "");
        if (!id_start(nm[0]) || nm.size() > CX_NAME_MAX)
            return fail(d, line, "VAR «%s» — ім'я зайняте", nm);  // not a usable identifier
        if (cx_is_keyword(nm.c_str())) return fail(d, line, "VAR — «%s» ключове слово мови", nm);
        if (names.size() >= CALC_MAX_DECL_NAMES)
            return fail(d, line, "VAR — задовгий список імен%s", "");
        names.push_back(nm);
        skip_ws(&dc);
        if (dc.s < dc.end && *dc.s == ',') {
            dc.s++;
            continue;
        }
        if (dc.s < dc.end && *dc.s == '[') {
            if (names.size() > 1)
                return fail(d, line,
                            "коротка форма [N] лише для одного імені — для списку вживай "
                            "ARRAY[0..N]%s",
                            "");
            dc.s++;
            for (;;) {
                skip_ws(&dc);
                long long n = 0;
                if (!read_uint(&dc, &n) || n < 1)
                    return fail(d, line, "VAR «%s» — розмір масиву", nm);
                if (proto.ndim >= 3) return fail(d, line, "VAR «%s» — макс 3 виміри", nm);
                if (n > CALC_MAX_CELLS) {
                    char m[64];
                    snprintf(m, sizeof m, "%d", CALC_MAX_CELLS);
                    return fail(d, line, "VAR «%s» — забагато комірок (разом не більше %s)", nm, m);
                }
                proto.dim[proto.ndim++] = static_cast<int>(n);
                skip_ws(&dc);
                if (dc.s < dc.end && *dc.s == ',') {
                    dc.s++;
                    continue;
                }
                if (dc.s >= dc.end || *dc.s != ']')
                    return fail(d, line, "VAR «%s» — розмір масиву", nm);
                dc.s++;
                break;
            }
            proto.is_array = 1;
            short_form = true;
            skip_ws(&dc);
        }
        break;
    }
    const std::string &who = names[0];
    if (dc.s < dc.end && *dc.s == ':' && (dc.s + 1 >= dc.end || dc.s[1] != '=')) {
        dc.s++;
        calc_var t;
        if (!parse_type(d, &dc, &t, who, line)) return false;
        if (short_form) {
            if (t.is_array) return fail(d, line, "VAR «%s» — розмір масиву", who);
            t.is_array = 1;
            t.ndim = proto.ndim;
            memcpy(t.dim, proto.dim, sizeof t.dim);
        }
        proto = t;
    } else if (!short_form) {
        return fail(d, line, "VAR «%s» — невідомий тип «%s»", who, "");
    }
    skip_ws(&dc);
    std::string init;
    bool has_init = false;
    if (dc.end - dc.s >= 2 && dc.s[0] == ':' && dc.s[1] == '=') {
        has_init = true;
        init.assign(dc.s + 2, dc.end);
        dc.s = dc.end;
    }
    if (dc.s < dc.end && d->validate) {
        skip_ws(&dc);
        if (dc.s < dc.end) return fail(d, line, "VAR «%s» — зайве після оголошення", who);
    }
    for (const std::string &nm : names) {
        calc_var v = proto;
        v.name = nm;
        if (!add_var(d, v, line)) return false;
        if (has_init && !parse_init(d, d->cfg->vars.back(), init, line)) return false;
    }
    adv(c, static_cast<size_t>(semi - c->s));
    if (c->s < c->end) adv(c, 1);  // the ';'
    return true;
}

// Parses and blanks the first VAR ... END_VAR block. true, or false with
// the message and line in d.
bool parse_var_block(decl_ctx *d, char *text) {
    const char *v = find_word(text, text, "VAR");
    if (!v) return true;
    const char *ev = find_word(text, v + 3, "END_VAR");
    int vline = 1;
    for (const char *p = text; p < v; p++)
        vline += *p == '\n';
    if (!ev) return fail(d, vline, "VAR без END_VAR%s", "");
    vcur c{text, v + 3, ev, vline};
    for (;;) {
        if (!skip_ws(&c)) return fail(d, c.line, "незакритий коментар%s", "");
        if (c.s >= c.end) break;
        if (*c.s == ';') {
            c.s++;
            continue;
        }
        if (!parse_decl(d, &c, c.line)) return false;
    }
    for (char *p = const_cast<char *>(v); p < ev + 7; p++)
        if (*p != '\n') *p = ' ';
    return true;
}

void clear_program(calc_cfg *cfg) {
    cfg->prog.reset();
    cfg->vars.clear();
    cfg->var_by_name.clear();
    cfg->ncells = 0;
    cfg->init.clear();
}

}  // namespace

int calc_st_parse_text(char *text, calc_cfg *cfg, cx_tree *out, int validate, char *err,
                       size_t errsz, int *line, int *col) {
    auto report = [&](const std::string &m, int ln) {
        if (err && errsz) zq_copy_cut(err, errsz, m.c_str());
        if (line) *line = ln;
        return -1;
    };
    out->reset();
    if (col) *col = 0;
    if (line) *line = 0;
    if (err && errsz) err[0] = 0;
    decl_ctx d{cfg, validate, "", 0};
    if (!parse_var_block(&d, text)) return report(d.err, d.line);
    if (!cx_looks_stmt(text)) return 0;
    int ln = 0;
    char buf[512] = "";
    cx_load_opts lo{};
    lo.host = &calc_host_table;
    lo.user = cfg;
    lo.err = buf;
    lo.errsz = sizeof buf;
    cx_tree root(cx_load(text, &lo));
    if (!root) {
        if (col) *col = lo.col;
        return report(buf, lo.line);
    }
    if (!cx_is_stmt(root.get())) return report("не statement-форма (потрібне :=)", 1);
    int seg = 0;
    if (cx_if2_misplaced_loc(root.get(), &seg, &ln))
        return report("if(умова, а) без else — лише як увесь вираз", ln);
    if (cx_stateful_in_loop_loc(root.get(), &seg, &ln))
        return report("stateful-функція (sum/avg/cnt/rhythm/lpf/prev) у циклі заборонена", ln);
    int reason = 0, mb = 0;
    if (cx_bit_assign_check_loc(root.get(), calc_bit_profile, cfg, &reason, &mb, &seg, &ln)) {
        if (reason == 2) {
            snprintf(buf, sizeof buf, "біт поза шириною типу приймача (тут 0..%d)", mb);
            return report(buf, ln);
        }
        return report("бітовий запис лише у власний тег calc або VAR (не в тег ПЛК)", ln);
    }
    *out = std::move(root);
    return 0;
}

int calc_st_load(calc_cfg *cfg) {
    std::string path = cfg->dir + "/calc.st";
    std::string text;
    if (zq_read_file_max(path.c_str(), CALC_MAX_TEXT, &text) != 0) {
        if (errno == ENOENT) return 0;
        calc_note(cfg, 0, true, "calc: %s — не читається (%s)", path.c_str(),
                  errno == EFBIG ? "завеликий" : strerror(errno));
        return -1;
    }
    char err[512] = "";
    int line = 0;
    cx_tree root;
    if (calc_st_parse_text(text.data(), cfg, &root, 0, err, sizeof err, &line) != 0) {
        clear_program(cfg);
        calc_note(cfg, line, true, "calc: %s — рядок %d: %s", path.c_str(), line, err);
        return -1;
    }
    if (!cfg->vars.empty())
        calc_note(cfg, 0, false, "calc.st: VAR — %d змінних, %d комірок",
                  static_cast<int>(cfg->vars.size()), cfg->ncells);
    if (!root) {
        calc_note(cfg, 0, false, "calc: %s без ':=' — програма порожня", path.c_str());
        return 1;
    }
    auto p = std::make_unique<calc_prog>();
    p->text = std::move(text);
    p->root = std::move(root);
    calc_note(cfg, 0, false, "calc: %s — ST-програму завантажено (%d вузлів стану)", path.c_str(),
              cx_state_count(p->root.get()));
    cfg->prog = std::move(p);
    return 1;
}

int calc_items_load(calc_cfg *cfg) {
    clear_program(cfg);
    int rc = calc_st_load(cfg);
    calc_sched_build(cfg);
    return rc;
}

int calc_apply_import(calc_cfg *cfg) {
    std::string imp = cfg->dir + "/calc.st.import", st = cfg->dir + "/calc.st";
    struct stat sb;
    if (stat(imp.c_str(), &sb) != 0) return 0;
    if (rename(imp.c_str(), st.c_str()) != 0) {
        calc_note(cfg, 0, true, "calc: calc.st.import не застосовано: %s", strerror(errno));
        return 0;
    }
    calc_note(cfg, 0, false, "calc: застосовано calc.st.import");
    return 1;
}

int calc_st_check(const char *text, size_t len, const char *cfg_path, calc_check_result *res) {
    *res = calc_check_result{};
    calc_cfg cfg;
    if (cfg_path && calc_cfg_load(&cfg, cfg_path) != 0) {
        res->error = "не читається config.yaml";
        return -1;
    }
    if (len > CALC_MAX_TEXT) {
        res->error = "програма завелика (більше 16 МіБ)";
        return -1;
    }
    std::string copy(text ? text : "", text ? len : 0);
    if (copy.find('\0') != std::string::npos) {
        res->error = "програма містить нульовий байт";
        return -1;
    }
    char err[512] = "";
    int line = 0;
    cx_tree root;
    int rc = calc_st_parse_text(copy.data(), &cfg, &root, 1, err, sizeof err, &line, &res->col);
    res->msgs = std::move(cfg.msgs);
    res->nvars = static_cast<int>(cfg.vars.size());
    res->ncells = cfg.ncells;
    if (rc != 0) {
        res->error = err;
        res->line = line;
        return -1;
    }
    res->nstate = root ? cx_state_count(root.get()) : 0;
    res->ok = 1;
    return 0;
}

int calc_st_validate(const char *text, const char *cfg_path, char *err, size_t errsz, int *line) {
    calc_check_result r;
    int rc = calc_st_check(text, text ? strlen(text) : 0, cfg_path, &r);
    if (err && errsz) zq_copy_cut(err, errsz, r.error.c_str());
    if (line) *line = r.line;
    return rc;
}
