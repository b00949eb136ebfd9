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
#include <string>
#include <utility>
#include <vector>

#include "calc/calc_host.h"
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

// Parses a program file; on failure *rc is 1 (program error) or 2 (file).
cx_node *parse_file(const char *file, calc_host *h, FILE *errf, int *rc) {
    std::string text;
    *rc = 1;
    if (!read_file(file, &text)) {
        fprintf(stderr, "zqst: не читається %s: %s\n", file, strerror(errno));
        *rc = 2;
        return nullptr;
    }
    cx_node *root = calc_host_parse(h, text.c_str());
    if (!root) print_error(errf, file, h->err, h->line, h->col);
    return root;
}

int cmd_check(int argc, char **argv) {
    if (argc < 3 || argc % 2 == 0) {
        fputs(kUsage, stderr);
        return 2;
    }
    calc_host h;
    for (int i = 3; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--var") != 0 || calc_host_declare(&h, argv[i + 1]) != 0) {
            fprintf(stderr, "zqst: невірне %s %s\n", argv[i], argv[i + 1]);
            return 2;
        }
    }
    int rc = 0;
    cx_node *root = parse_file(argv[2], &h, stdout, &rc);
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
            if (calc_host_declare(&h, v) != 0) {
                fprintf(stderr, "zqst: невірне --var %s\n", v);
                return 2;
            }
        } else if (strcmp(a, "--anchor") == 0) {
            if (calc_period_parse_anchor(v, &h.pc.anchor_min) != 0) {
                fprintf(stderr, "zqst: невірний --anchor %s\n", v);
                return 2;
            }
        } else if (strcmp(a, "--shift-h") == 0) {
            long hours = strtol(v, &end, 10);
            if (*end || hours < 1 || hours > 24 || 24 % hours != 0) {
                fprintf(stderr, "zqst: --shift-h має ділити 24\n");
                return 2;
            }
            h.pc.shift_h = static_cast<int>(hours);
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
        if (!parse_set(&h, v, &p)) {
            fprintf(stderr, "zqst: невірне --set %s\n", v);
            return 2;
        }
        presets.push_back(p);
    }
    int rc = 0;
    cx_node *root = parse_file(file, &h, stderr, &rc);
    if (!root) return rc;
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
