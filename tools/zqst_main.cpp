// zqst: checks and runs calculation programs outside the engine, against an
// in-memory database of channels, so engineers can try a program before
// they deploy it.
//
//   zqst check FILE [--var NAME[dims]:TYPE ...]
//   zqst run FILE --ticks N [--takt MS] [--start YYYY-MM-DDTHH:MM:SS]
//            [--set [T:]NAME=VALUE ...] [--var NAME[dims]:TYPE ...]
//            [--anchor HH:MM] [--shift-h H]

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "calc/calc_period.h"
#include "calc/cexpr.h"
#include "common/version.h"

namespace {

const char *const kUsage =
    "usage: zqst check FILE [--var NAME[N{,N}]:TYPE ...]\n"
    "       zqst run FILE --ticks N [--takt MS] [--start YYYY-MM-DDTHH:MM:SS]\n"
    "                [--set [TICK:]NAME=VALUE ...] [--var NAME[N{,N}]:TYPE ...]\n"
    "                [--anchor HH:MM] [--shift-h H]\n"
    "  NAME is A<n>, D<n> or a --var name (t.PRE, arr[2]); VALUE a number or BAD.\n"
    "  TYPE is BOOL, SINT, INT, DINT, LINT, USINT, UINT, UDINT, ULINT, REAL, LREAL,\n"
    "  FBD_TIMER or FBD_COUNTER (default LREAL).\n";

constexpr size_t kMaxFile = 16u << 20;
constexpr int kMaxCells = 1 << 20;

bool read_file(const char *path, std::string *out) {
    FILE *f = fopen(path, "rb");
    if (!f) return false;
    char buf[65536];
    size_t n;
    out->clear();
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
        if (out->size() + n > kMaxFile) {
            fclose(f);
            errno = EFBIG;
            return false;
        }
        out->append(buf, n);
    }
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

struct var_decl {
    std::string name;
    int type = CX_T_LREAL;
    int kind = CX_KIND_PLAIN;
    int ndim = 0;
    int dim[3] = {0, 0, 0};
    int base = 0;  // first cell
    int cells = 0;
};

struct cell {
    double v = 0;
    bool good = false;
};

struct sim {
    std::vector<var_decl> vars;
    std::vector<cell> cells;                    // variable cells
    std::map<std::pair<int, int>, cell> chans;  // (discrete, number)
    std::vector<std::pair<int, int>> shown;     // printed targets, in order
};

const var_decl *find_var(const sim *s, const char *name) {
    for (const var_decl &v : s->vars)
        if (v.name == name) return &v;
    return nullptr;
}

int h_resolve(void *u, const char *name, int *isd, int *index) {
    const var_decl *v = find_var(static_cast<sim *>(u), name);
    if (!v || v->kind != CX_KIND_PLAIN) return -1;
    *isd = 0;
    *index = CX_VAR_BASE + v->base;
    return 0;
}

int h_array(void *u, const char *name, int *base, int dim[3], int *ndim) {
    const var_decl *v = find_var(static_cast<sim *>(u), name);
    if (!v || v->kind != CX_KIND_PLAIN || v->ndim == 0) return -1;
    *base = CX_VAR_BASE + v->base;
    for (int i = 0; i < 3; i++)
        dim[i] = v->dim[i];
    *ndim = v->ndim;
    return 0;
}

int h_data(void *u, const char *name, cx_data_desc *out) {
    const var_decl *v = find_var(static_cast<sim *>(u), name);
    if (!v || v->kind == CX_KIND_PLAIN) return -1;
    out->base = CX_VAR_BASE + v->base;
    out->ndim = v->ndim;
    for (int i = 0; i < 3; i++)
        out->dim[i] = v->dim[i];
    out->kind = v->kind;
    out->type = 0;
    return 0;
}

const var_decl *var_of_cell(const sim *s, int c) {
    for (const var_decl &v : s->vars)
        if (c >= v.base && c < v.base + v.cells) return &v;
    return nullptr;
}

int h_type(void *u, int isd, int index) {
    sim *s = static_cast<sim *>(u);
    if (isd || index < CX_VAR_BASE) return 0;
    const var_decl *v = var_of_cell(s, index - CX_VAR_BASE);
    return v && v->kind == CX_KIND_PLAIN ? v->type : 0;
}

const cx_host kHost = {h_resolve, h_array, nullptr, h_data, nullptr, nullptr, h_type};

int db_read(void *u, int isd, int index, double *out) {
    sim *s = static_cast<sim *>(u);
    if (!isd && index >= CX_VAR_BASE) {
        size_t c = static_cast<size_t>(index - CX_VAR_BASE);
        if (c >= s->cells.size() || !s->cells[c].good) return -1;
        *out = s->cells[c].v;
        return 0;
    }
    auto it = s->chans.find({isd, index});
    if (index < 1 || it == s->chans.end() || !it->second.good) return -1;
    *out = it->second.v;
    return 0;
}

// Stores like the engine stores its own tags: discrete values are bytes,
// a value that is bad or not finite is kept as bad.
void db_store(sim *s, int isd, int index, int bad, double v, bool show) {
    cell c;
    c.good = !bad && std::isfinite(v);
    if (c.good) c.v = isd ? std::fmin(255, std::fmax(0, std::round(v))) : v;
    if (!isd && index >= CX_VAR_BASE) {
        size_t k = static_cast<size_t>(index - CX_VAR_BASE);
        if (k < s->cells.size()) s->cells[k] = c;
        return;
    }
    if (index < 1 || index > CX_CHAN_MAX) return;
    auto key = std::make_pair(isd, index);
    bool known = s->chans.count(key) != 0;
    s->chans[key] = c;
    if (show && !known) {
        for (const auto &k : s->shown)
            if (k == key) return;
        s->shown.push_back(key);
    }
}

void db_write(void *u, int isd, int index, int bad, double v) {
    db_store(static_cast<sim *>(u), isd, index, bad, v, true);
}

std::string cell_name(const sim *s, int isd, int index) {
    char buf[160];
    if (isd || index < CX_VAR_BASE) {
        snprintf(buf, sizeof buf, "%c%d", isd ? 'D' : 'A', index);
        return buf;
    }
    int c = index - CX_VAR_BASE;
    const var_decl *v = var_of_cell(s, c);
    if (!v) return "?";
    std::string out = v->name;
    int off = c - v->base;
    int elen = v->kind == CX_KIND_PLAIN ? 1 : CX_STRUCT_LEN;
    int el = off / elen;
    if (v->ndim > 0) {
        int idx[3] = {0, 0, 0};
        for (int i = v->ndim - 1; i >= 0; i--) {
            idx[i] = el % v->dim[i];
            el /= v->dim[i];
        }
        out += "[";
        for (int i = 0; i < v->ndim; i++) {
            snprintf(buf, sizeof buf, i ? ",%d" : "%d", idx[i]);
            out += buf;
        }
        out += "]";
    }
    if (v->kind != CX_KIND_PLAIN) {
        const char *m = "?";
        cx_struct_member_info(v->kind, off % elen, &m, nullptr, nullptr);
        out += ".";
        out += m;
    }
    return out;
}

bool parse_type(const char *w, int *type, int *kind) {
    static const struct {
        const char *n;
        int t;
    } kTypes[] = {{"BOOL", CX_T_BOOL}, {"SINT", CX_T_SINT},   {"INT", CX_T_INT},
                  {"DINT", CX_T_DINT}, {"LINT", CX_T_LINT},   {"USINT", CX_T_USINT},
                  {"UINT", CX_T_UINT}, {"UDINT", CX_T_UDINT}, {"ULINT", CX_T_ULINT},
                  {"REAL", CX_T_REAL}, {"LREAL", CX_T_LREAL}};
    *kind = cx_struct_type(w);
    if (*kind) {
        *type = 0;
        return true;
    }
    for (const auto &t : kTypes)
        if (strcasecmp(w, t.n) == 0) {
            *type = t.t;
            return true;
        }
    return false;
}

// NAME[N{,N}]:TYPE
bool parse_var(sim *s, const char *spec) {
    var_decl v;
    const char *q = spec;
    if (!((*q >= 'a' && *q <= 'z') || (*q >= 'A' && *q <= 'Z') || *q == '_')) return false;
    while ((*q >= 'a' && *q <= 'z') || (*q >= 'A' && *q <= 'Z') || (*q >= '0' && *q <= '9') ||
           *q == '_')
        q++;
    v.name.assign(spec, static_cast<size_t>(q - spec));
    if (v.name.size() > CX_NAME_MAX || cx_is_keyword(v.name.c_str()) || find_var(s, v.name.c_str()))
        return false;
    if (*q == '[') {
        q++;
        for (;;) {
            char *end = nullptr;
            long n = strtol(q, &end, 10);
            if (end == q || n < 1 || n > kMaxCells || v.ndim >= 3) return false;
            v.dim[v.ndim++] = static_cast<int>(n);
            q = end;
            if (*q == ',') {
                q++;
                continue;
            }
            if (*q != ']') return false;
            q++;
            break;
        }
    }
    if (*q == ':') {
        if (!parse_type(q + 1, &v.type, &v.kind)) return false;
    } else if (*q) {
        return false;
    }
    int64_t n = v.kind ? CX_STRUCT_LEN : 1;
    for (int i = 0; i < v.ndim; i++)
        n *= v.dim[i];
    if (n + static_cast<int64_t>(s->cells.size()) > kMaxCells) return false;
    v.base = static_cast<int>(s->cells.size());
    v.cells = static_cast<int>(n);
    s->cells.resize(s->cells.size() + static_cast<size_t>(n));
    for (int i = 0; i < v.cells; i++) {
        cell &c = s->cells[static_cast<size_t>(v.base + i)];
        c.good = true;
        c.v = v.kind ? cx_struct_default(v.kind, i % CX_STRUCT_LEN) : 0;
    }
    s->vars.push_back(v);
    return true;
}

struct preset {
    int tick;
    int isd, index;
    bool bad;
    double v;
};

// [T:]NAME=VALUE; NAME is parsed as an expression that must name one cell.
bool parse_set(sim *s, const char *spec, preset *out) {
    std::string t(spec);
    out->tick = 1;
    size_t colon = t.find(':');
    size_t eq = t.find('=');
    if (eq == std::string::npos) return false;
    if (colon != std::string::npos && colon < eq) {
        char *end = nullptr;
        long k = strtol(t.c_str(), &end, 10);
        if (end != t.c_str() + colon || k < 1) return false;
        out->tick = static_cast<int>(k);
        t = t.substr(colon + 1);
        eq = t.find('=');
    }
    std::string name = t.substr(0, eq), val = t.substr(eq + 1);
    char err[256];
    cx_node *n = cx_parse_host(name.c_str(), &kHost, s, err, sizeof err, nullptr);
    if (!n || n->kind != CX_REF) {
        cx_free(n);
        return false;
    }
    out->isd = n->is_discrete;
    out->index = n->index;
    cx_free(n);
    if (strcasecmp(val.c_str(), "bad") == 0) {
        out->bad = true;
        out->v = 0;
        return true;
    }
    char *end = nullptr;
    out->bad = false;
    out->v = strtod(val.c_str(), &end);
    return end != val.c_str() && *end == 0 && std::isfinite(out->v);
}

bool parse_start(const char *text, int64_t *ms) {
    struct tm tm {};
    int y, mo, d, h, mi, sec;
    char tail;
    if (sscanf(text, "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &sec, &tail) != 6)
        return false;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 60) return false;
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = sec;
    tm.tm_isdst = -1;
    time_t t = mktime(&tm);
    if (t == static_cast<time_t>(-1)) return false;
    *ms = static_cast<int64_t>(t) * 1000;
    return true;
}

void print_error(FILE *f, const char *file, const char *msg, int line, int col) {
    // one line per message, as editors show them
    std::string m(msg);
    for (char &ch : m)
        if (ch == '\n' || ch == '\r' || ch == '\t') ch = ' ';
    msg = m.c_str();
    if (col > 0)
        fprintf(f, "%s:%d:%d: %s\n", file, line, col, msg);
    else
        fprintf(f, "%s:%d: %s\n", file, line, msg);
}

// Parses a program file; on failure *rc is 1 (program error) or 2 (file).
cx_node *parse_file(const char *file, sim *s, FILE *errf, int *rc) {
    std::string text;
    *rc = 1;
    if (!read_file(file, &text)) {
        fprintf(stderr, "zqst: не читається %s: %s\n", file, strerror(errno));
        *rc = 2;
        return nullptr;
    }
    char err[512];
    cx_load_opts lo{};
    lo.host = &kHost;
    lo.user = s;
    lo.err = err;
    lo.errsz = sizeof err;
    cx_node *root = cx_load(text.c_str(), &lo);
    if (!root) print_error(errf, file, err, lo.line, lo.col);
    return root;
}

int cmd_check(int argc, char **argv) {
    if (argc < 3 || argc % 2 == 0) {
        fputs(kUsage, stderr);
        return 2;
    }
    sim s;
    for (int i = 3; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--var") != 0 || !parse_var(&s, argv[i + 1])) {
            fprintf(stderr, "zqst: невірне %s %s\n", argv[i], argv[i + 1]);
            return 2;
        }
    }
    int rc = 0;
    cx_node *root = parse_file(argv[2], &s, stdout, &rc);
    if (!root) return rc;
    printf("%s: OK (%s, вузлів стану %d, рутин %d)\n", argv[2],
           cx_is_stmt(root) ? "програма" : "вираз", cx_state_count(root), cx_routine_count(root));
    cx_free(root);
    return 0;
}

int cmd_run(int argc, char **argv) {
    if (argc < 3) {
        fputs(kUsage, stderr);
        return 2;
    }
    const char *file = argv[2];
    long ticks = -1, takt = 1000;
    int64_t start_ms = static_cast<int64_t>(time(nullptr)) * 1000;
    calc_period_cfg pc;
    sim s;
    std::vector<const char *> sets;
    for (int i = 3; i < argc; i++) {
        const char *a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        char *end = nullptr;
        if (!v) {
            fprintf(stderr, "zqst: %s без значення\n%s", a, kUsage);
            return 2;
        }
        i++;
        if (strcmp(a, "--ticks") == 0) {
            ticks = strtol(v, &end, 10);
            if (*end || ticks < 0 || ticks > 100000000) ticks = -2;
        } else if (strcmp(a, "--takt") == 0) {
            takt = strtol(v, &end, 10);
            if (*end || takt < 1 || takt > 86400000) {
                fprintf(stderr, "zqst: невірний --takt %s\n", v);
                return 2;
            }
        } else if (strcmp(a, "--start") == 0) {
            if (!parse_start(v, &start_ms)) {
                fprintf(stderr, "zqst: невірний --start %s (YYYY-MM-DDTHH:MM:SS)\n", v);
                return 2;
            }
        } else if (strcmp(a, "--set") == 0) {
            sets.push_back(v);
        } else if (strcmp(a, "--var") == 0) {
            if (!parse_var(&s, v)) {
                fprintf(stderr, "zqst: невірне --var %s\n", v);
                return 2;
            }
        } else if (strcmp(a, "--anchor") == 0) {
            if (calc_period_parse_anchor(v, &pc.anchor_min) != 0) {
                fprintf(stderr, "zqst: невірний --anchor %s\n", v);
                return 2;
            }
        } else if (strcmp(a, "--shift-h") == 0) {
            long h = strtol(v, &end, 10);
            if (*end || h < 1 || h > 24 || 24 % h != 0) {
                fprintf(stderr, "zqst: --shift-h має ділити 24\n");
                return 2;
            }
            pc.shift_h = static_cast<int>(h);
        } else {
            fprintf(stderr, "zqst: невідомий параметр %s\n%s", a, kUsage);
            return 2;
        }
    }
    if (ticks < 0) {
        fprintf(stderr, "zqst: потрібно --ticks N\n%s", kUsage);
        return 2;
    }
    std::vector<preset> presets;
    for (const char *v : sets) {
        preset p{};
        if (!parse_set(&s, v, &p)) {
            fprintf(stderr, "zqst: невірне --set %s\n", v);
            return 2;
        }
        presets.push_back(p);
    }
    int rc = 0;
    cx_node *root = parse_file(file, &s, stderr, &rc);
    if (!root) return rc;
    if (!cx_is_stmt(root)) {
        fprintf(stderr, "%s: не програма (потрібне :=)\n", file);
        cx_free(root);
        return 1;
    }
    std::vector<int> assigns(4096);
    int na = cx_collect_assigns(root, assigns.data(), static_cast<int>(assigns.size()));
    for (int i = 0; i < na; i++) {
        int code = assigns[static_cast<size_t>(i)];
        s.shown.emplace_back(code < 0 ? 1 : 0, code < 0 ? ~code : code);
    }
    int64_t tick[CX_TICK_SLOTS] = {};
    for (long k = 1; k <= ticks; k++) {
        for (const preset &p : presets)
            if (p.tick == k) db_store(&s, p.isd, p.index, p.bad, p.v, false);
        tick[CX_TICK_NOW] = start_ms + (k - 1) * takt;
        tick[CX_TICK_DT] = k == 1 ? 0 : takt;
        tick[CX_TICK_MONO] = tick[CX_TICK_NOW];
        calc_period_fill(tick, &pc);
        cx_exec_tick(root, db_read, &s, tick, db_write, &s);
        time_t t = static_cast<time_t>(tick[CX_TICK_NOW] / 1000);
        struct tm lt;
        char ts[32] = "?";
        if (localtime_r(&t, &lt)) strftime(ts, sizeof ts, "%Y-%m-%dT%H:%M:%S", &lt);
        std::string line = "tick " + std::to_string(k) + " " + ts;
        for (const auto &key : s.shown) {
            double v = 0;
            char buf[64];
            if (db_read(&s, key.first, key.second, &v) == 0)
                snprintf(buf, sizeof buf, "%.10g", v);
            else
                snprintf(buf, sizeof buf, "BAD");
            line += " " + cell_name(&s, key.first, key.second) + "=" + buf;
        }
        puts(line.c_str());
    }
    cx_free(root);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (zq_version_arg(argc, argv)) return 0;
    if (argc >= 2 && strcmp(argv[1], "check") == 0) return cmd_check(argc, argv);
    if (argc >= 2 && strcmp(argv[1], "run") == 0) return cmd_run(argc, argv);
    fputs(kUsage, stderr);
    return 2;
}
