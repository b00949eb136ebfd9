// zqst: checks and runs calculation programs outside the engine, against an
// in-memory database of channels, so engineers can try a program before
// they deploy it.
//
//   zqst check FILE [-c config.yaml] [--var NAME[dims]:TYPE ...]
//   zqst run FILE --ticks N [--takt MS] [--start YYYY-MM-DDTHH:MM:SS]
//            [--set [T:]NAME=VALUE ...] [--var NAME[dims]:TYPE ...]
//            [--anchor HH:MM] [--shift-h H] [-c config.yaml]
//
// The file is loaded as the engine loads calc.st: its VAR block declares
// variables, and the own tags of the configuration (-c, else ./config.yaml
// when there is one) are known by name and keep their types.

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "calc/calc_cfg.h"
#include "calc/calc_engine.h"
#include "calc/calc_host.h"
#include "calc/calc_period.h"
#include "calc/cexpr.h"
#include "common/version.h"

namespace {

const char *const kUsage =
    "usage: zqst check FILE [-c config.yaml] [--var NAME[N{,N}]:TYPE ...]\n"
    "       zqst run FILE --ticks N [--takt MS] [--start YYYY-MM-DDTHH:MM:SS]\n"
    "                [--set [TICK:]NAME=VALUE ...] [--var NAME[N{,N}]:TYPE ...]\n"
    "                [--anchor HH:MM] [--shift-h H] [-c config.yaml]\n"
    "  NAME is A<n>, D<n> or a --var name (t.PRE, arr[2]); VALUE a number or BAD.\n"
    "  TYPE is BOOL, SINT, INT, DINT, LINT, USINT, UINT, UDINT, ULINT, REAL, LREAL,\n"
    "  FBD_TIMER or FBD_COUNTER (default LREAL).\n";

constexpr size_t kMaxFile = 16u << 20;

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

struct preset {
    int tick;
    int isd, index;
    bool bad;
    double v;
};

// [T:]NAME=VALUE; NAME must name one cell.
bool parse_set(const calc_host *h, const char *spec, preset *out) {
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
    if (calc_host_lookup(h, name.c_str(), &out->isd, &out->index) != 0) return false;
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
    int y, mo, d, h, mi, sec;
    char tail;
    if (sscanf(text, "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &sec, &tail) != 6)
        return false;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 60) return false;
    *ms = calc_host_local_ms(y, mo, d, h, mi, sec);
    return *ms != INT64_MIN;
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

// The engine's configuration for a program: own tags from config.yaml and
// the --var declarations, laid out before the file's VAR block.
struct loader {
    calc_cfg cfg;
    std::string cfg_path;  // empty: none
    std::vector<std::string> vars;
};

bool add_cli_var(loader *l, const char *decl) {
    calc_host tmp;
    if (calc_host_declare(&tmp, decl) != 0) return false;
    l->vars.push_back(decl);
    return true;
}

// Parses a program file into the host; on failure *rc is 1 (program error)
// or 2 (file or configuration).
cx_node *parse_file(const char *file, loader *l, calc_host *h, FILE *errf, int validate, int *rc) {
    std::string text;
    *rc = 2;
    if (!l->cfg_path.empty() && calc_cfg_load(&l->cfg, l->cfg_path.c_str()) != 0) {
        fprintf(stderr, "zqst: не читається %s\n", l->cfg_path.c_str());
        return nullptr;
    }
    for (const calc_msg &m : l->cfg.msgs)
        fprintf(stderr, "%s\n", m.text.c_str());
    l->cfg.msgs.clear();
    for (const std::string &d : l->vars) {
        calc_host tmp;
        calc_host_declare(&tmp, d.c_str());
        const calc_host_var &hv = tmp.vars.back();
        calc_var v;
        v.name = hv.name;
        v.type = hv.type;
        v.kind = hv.kind;
        v.ndim = hv.ndim;
        v.is_array = hv.ndim > 0;
        memcpy(v.dim, hv.dim, sizeof v.dim);
        v.cells = hv.cells;
        v.base = l->cfg.ncells;
        if (l->cfg.var_by_name.count(v.name) || l->cfg.tag_by_name.count(v.name) ||
            l->cfg.ncells + v.cells > CALC_MAX_CELLS) {
            fprintf(stderr, "zqst: невірне --var %s\n", d.c_str());
            return nullptr;
        }
        l->cfg.ncells += v.cells;
        l->cfg.init.resize(static_cast<size_t>(l->cfg.ncells), NAN);
        l->cfg.var_by_name[v.name] = static_cast<int>(l->cfg.vars.size());
        l->cfg.vars.push_back(v);
    }
    if (!read_file(file, &text)) {
        fprintf(stderr, "zqst: не читається %s: %s\n", file, strerror(errno));
        return nullptr;
    }
    *rc = 1;
    cx_tree root;
    char err[512] = "";
    int line = 0, col = 0;
    if (calc_st_parse_text(text.data(), &l->cfg, &root, validate, err, sizeof err, &line, &col) !=
        0) {
        print_error(errf, file, err, line, col);
        return nullptr;
    }
    for (const calc_msg &m : l->cfg.msgs)
        fprintf(stderr, "%s\n", m.text.c_str());
    // The host lays the variables out in the same cells as the engine.
    for (const calc_var &v : l->cfg.vars)
        calc_host_add_var(h, v.name.c_str(), v.type, v.kind, v.ndim, v.dim);
    for (size_t i = 0; i < l->cfg.init.size() && i < h->cells.size(); i++)
        if (!std::isnan(l->cfg.init[i])) h->cells[i] = calc_host_cell{l->cfg.init[i], 1, 1};
    if (!root) {
        // No statements: an expression is still checked on its own.
        root.reset(calc_host_parse(h, text.c_str()));
        if (!root) {
            print_error(errf, file, h->err, h->line, h->col);
            return nullptr;
        }
    }
    return root.release();
}

std::string default_config() {
    FILE *f = fopen("./config.yaml", "r");
    if (!f) return "";
    fclose(f);
    return "./config.yaml";
}

int cmd_check(int argc, char **argv) {
    if (argc < 3 || argc % 2 == 0) {
        fputs(kUsage, stderr);
        return 2;
    }
    calc_host h;
    loader l;
    l.cfg_path = default_config();
    for (int i = 3; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "-c") == 0) {
            l.cfg_path = argv[i + 1];
            continue;
        }
        if (strcmp(argv[i], "--var") != 0 || !add_cli_var(&l, argv[i + 1])) {
            fprintf(stderr, "zqst: невірне %s %s\n", argv[i], argv[i + 1]);
            return 2;
        }
    }
    int rc = 0;
    // The editor's stricter reading: what passes here deploys.
    cx_node *root = parse_file(argv[2], &l, &h, stdout, 1, &rc);
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
    calc_host h;
    loader l;
    l.cfg_path = default_config();
    int anchor = -1, shift_h = 0;
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
        } else if (strcmp(a, "-c") == 0) {
            l.cfg_path = v;
        } else if (strcmp(a, "--var") == 0) {
            if (!add_cli_var(&l, v)) {
                fprintf(stderr, "zqst: невірне --var %s\n", v);
                return 2;
            }
        } else if (strcmp(a, "--anchor") == 0) {
            if (calc_period_parse_anchor(v, &anchor) != 0) {
                fprintf(stderr, "zqst: невірний --anchor %s\n", v);
                return 2;
            }
        } else if (strcmp(a, "--shift-h") == 0) {
            long hours = strtol(v, &end, 10);
            if (*end || hours < 1 || hours > 24 || 24 % hours != 0) {
                fprintf(stderr, "zqst: --shift-h має ділити 24\n");
                return 2;
            }
            shift_h = static_cast<int>(hours);
        } else {
            fprintf(stderr, "zqst: невідомий параметр %s\n%s", a, kUsage);
            return 2;
        }
    }
    if (ticks < 0) {
        fprintf(stderr, "zqst: потрібно --ticks N\n%s", kUsage);
        return 2;
    }
    for (const char *v : sets)
        if (!strchr(v, '=')) {
            fprintf(stderr, "zqst: невірне --set %s\n", v);
            return 2;
        }
    int rc = 0;
    cx_node *root = parse_file(file, &l, &h, stderr, 0, &rc);
    if (!root) return rc;
    h.pc = l.cfg.pc;
    if (anchor >= 0) h.pc.anchor_min = anchor;
    if (shift_h > 0) h.pc.shift_h = shift_h;
    std::vector<preset> presets;
    for (const char *v : sets) {
        preset p{};
        if (!parse_set(&h, v, &p)) {
            fprintf(stderr, "zqst: невірне --set %s\n", v);
            cx_free(root);
            return 2;
        }
        presets.push_back(p);
    }
    if (!cx_is_stmt(root)) {
        fprintf(stderr, "%s: не програма (потрібне :=)\n", file);
        cx_free(root);
        return 1;
    }
    // Shown: every static target, then each channel in the order a program
    // write first created it.
    std::vector<std::pair<int, int>> shown;
    std::vector<int> assigns(4096);
    int na = cx_collect_assigns(root, assigns.data(), static_cast<int>(assigns.size()));
    for (int i = 0; i < na; i++) {
        int code = assigns[static_cast<size_t>(i)];
        shown.emplace_back(code < 0 ? 1 : 0, code < 0 ? ~code : code);
    }
    size_t seen = 0;
    for (long k = 1; k <= ticks; k++) {
        for (const preset &p : presets)
            if (p.tick == k) calc_host_store(&h, p.isd, p.index, p.bad, p.v);
        calc_host_at(&h, start_ms + (k - 1) * takt, k == 1 ? 0 : takt);
        calc_host_run(&h, root);
        // Own tags hold what the engine would store: values of their type.
        for (const calc_tag &t : l.cfg.tags) {
            double v = 0;
            if (calc_host_read(&h, t.isd, t.ch, &v) == 0)
                calc_host_store(&h, t.isd, t.ch, 0, calc_vtype_quantize(v, t.type));
        }
        for (; seen < h.created.size(); seen++) {
            bool listed = false;
            for (const auto &key : shown)
                listed = listed || key == h.created[seen];
            if (!listed) shown.push_back(h.created[seen]);
        }
        time_t t = static_cast<time_t>(h.tick[CX_TICK_NOW] / 1000);
        struct tm lt;
        char ts[32] = "?";
        if (localtime_r(&t, &lt)) strftime(ts, sizeof ts, "%Y-%m-%dT%H:%M:%S", &lt);
        std::string line = "tick " + std::to_string(k) + " " + ts;
        for (const auto &key : shown) {
            double v = 0;
            char buf[64];
            if (calc_host_read(&h, key.first, key.second, &v) == 0)
                snprintf(buf, sizeof buf, "%.10g", v);
            else
                snprintf(buf, sizeof buf, "BAD");
            line += " " + calc_host_cell_name(&h, key.first, key.second) + "=" + buf;
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
