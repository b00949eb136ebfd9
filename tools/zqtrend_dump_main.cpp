// zqtrend-dump: prints any trend history file (version 1 with its sidecar,
// or version 2) as text or CSV: header, columns, and every row with its
// local time; missing values show as "-" (no data) or "bad".

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/cp1251.h"
#include "common/version.h"
#include "trend/trend_v1r.h"
#include "trend/trend_v2.h"

static void usage(const char *prog) {
    fprintf(stderr,
            "Usage: %s [--csv] [--scaled] [--packed|--unpacked] [--no-rows] <file>\n"
            "  --csv       rows only, comma-separated, with a header line\n"
            "  --scaled    version 2: physical units instead of controller units\n"
            "  --packed, --unpacked  version 1: force the discrete layout\n",
            prog);
}

struct out_opts {
    bool csv = false, scaled = false, rows = true;
    const char *sep() const { return csv ? "," : "\t"; }
};

static std::string time_text(int y, int mo, int d, int64_t ms) {
    if (ms < 0) return "?";
    char b[64];
    snprintf(b, sizeof b, "%04d-%02d-%02d %02d:%02d:%02d", y, mo, d, (int)(ms / 3600000),
             (int)(ms / 60000 % 60), (int)(ms / 1000 % 60));
    if (ms % 1000) snprintf(b + strlen(b), sizeof b - strlen(b), ".%03d", (int)(ms % 1000));
    return b;
}

static std::string num_text(double v, bool wide) {
    char b[64];
    snprintf(b, sizeof b, wide ? "%.17g" : "%.9g", v);
    return b;
}

// Sidecar labels are CP1251.
static std::string label_text(const char *l) {
    std::string s(l, 78);
    s = s.substr(0, s.find('\0'));
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return cp1251_to_utf8(s);
}

static const char *res_name(char r) {
    return r == 's' ? "seconds" : (r == 'm' ? "minutes" : (r == 'h' ? "hours" : "?"));
}

static int dump_v1(const char *path, const out_opts &o, int packed) {
    v1r_file v;
    std::string err;
    if (v1r_open(path, &v, packed, &err) != 0) {
        fprintf(stderr, "zqtrend-dump: %s: %s\n", path, err.c_str());
        return 1;
    }
    if (!o.csv) {
        printf("# file: %s\n# format: v1 %s (%s), sidecar %s\n", path, res_name(v.res),
               v.packed ? "packed" : "unpacked", v.meta.c_str());
        printf("# date: %04d-%02d-%02d\n# columns: A%d D%d, row %ld B, rows %ld", v.year, v.month,
               v.day, v.map.n_an, v.map.n_di, v.width, v.rows);
        if (v.width > 0 && v.size % v.width)
            printf(", partial row of %lld B", (long long)(v.size % v.width));
        printf("\n");
        FILE *m = fopen(v.meta.c_str(), "rb");
        char rec[90];
        // The first record is the header; items follow.
        bool header = true;
        for (int i = 0; m && fread(rec, 1, 90, m) == 90;) {
            if (header) {
                header = false;
                continue;
            }
            unsigned kind = (unsigned char)rec[78] | ((unsigned char)rec[79] << 8);
            if (kind != 1 && kind != 3) continue;
            float lo, hi;
            memcpy(&lo, rec + 82, 4);
            memcpy(&hi, rec + 86, 4);
            printf("# column %d: %s [%g .. %g] %s\n", i++, kind == 1 ? "analog" : "discrete", lo,
                   hi, label_text(rec).c_str());
        }
        if (m) fclose(m);
    }
    if (!o.rows) return 0;
    printf("time");
    for (int n : v.map.an)
        printf("%sA%d", o.sep(), n);
    for (int n : v.map.di)
        printf("%sD%d", o.sep(), n);
    printf("\n");
    FILE *f = fopen(path, "rb");
    if (!f) return 1;
    std::vector<char> buf(1 << 20);
    setvbuf(f, buf.data(), _IOFBF, buf.size());
    std::vector<uint32_t> cells;
    for (long r = 0; r < v.rows; r++) {
        if (!v1r_read_row(f, &v, r, &cells)) break;
        int day = v.res == 'h' ? (int)(r / 24) + 1 : v.day;
        printf("%s", time_text(v.year, v.month, day, v1r_row_ms(&v, cells.data(), r)).c_str());
        for (int k = 0; k < v.map.n_an; k++) {
            double x;
            int st = v1r_analog(&v, cells.data(), k, &x);
            printf("%s%s", o.sep(),
                   st == V1_VALUE ? num_text(x, false).c_str() : (st == V1_BAD ? "bad" : "-"));
        }
        for (int j = 0; j < v.map.n_di; j++) {
            double x;
            int st = v1r_discrete(&v, cells.data(), j, &x);
            printf("%s%s", o.sep(),
                   st == V1_VALUE ? num_text(x, false).c_str() : (st == V1_BAD ? "bad" : "-"));
        }
        printf("\n");
    }
    fclose(f);
    return 0;
}

static int dump_v2(const char *path, const out_opts &o) {
    FILE *f = fopen(path, "rb");
    v2r_file r;
    if (!f || v2r_parse(f, &r) != 0) {
        fprintf(stderr, "zqtrend-dump: %s: not a valid v2 file\n", path);
        if (f) fclose(f);
        return 1;
    }
    std::vector<char> buf(1 << 20);
    setvbuf(f, buf.data(), _IOFBF, buf.size());
    long rows = v2r_row_count(f, &r);
    int y = (int)(r.date / 10000), mo = (int)(r.date / 100 % 100), d = (int)(r.date % 100);
    std::vector<int> cols;
    for (int i = 0; i < r.slot_count; i++)
        if (r.slots[(size_t)i].s.kind != 0) cols.push_back(i);
    if (!o.csv) {
        printf("# file: %s\n# format: v2.1 %s, interval %u ms\n", path, res_name(r.kind),
               r.interval);
        printf("# date: %04d-%02d-%02d\n# slots: %d (%d used), header %d B, row %d B, rows %ld", y,
               mo, d, r.slot_count, (int)cols.size(), r.header_size, r.row_size, rows);
        long long extra = 0;
        struct stat st;
        if (fstat(fileno(f), &st) == 0 && r.row_size > 0)
            extra = (st.st_size - r.header_size) % r.row_size;
        if (extra) printf(", partial row of %lld B", extra);
        printf("\n");
        for (int i : cols) {
            const v2_slot &s = r.slots[(size_t)i].s;
            printf(
                "# slot %d: %s %s type 0x%02X code [%g .. %g] phys [%g .. %g] units \"%s\" "
                "\"%s\"\n",
                i, s.name, s.kind == 1 ? "analog" : "discrete", s.vtype, s.code_min, s.code_max,
                s.phys_min, s.phys_max, s.units, s.desc);
        }
    }
    if (o.rows) {
        printf("time");
        for (int i : cols)
            printf("%s%s", o.sep(), r.slots[(size_t)i].s.name);
        printf("\n");
        std::vector<uint8_t> row((size_t)r.row_size);
        if (fseeko(f, r.header_size, SEEK_SET) == 0) {
            for (long k = 0; k < rows; k++) {
                if (fread(row.data(), 1, row.size(), f) != row.size()) break;
                uint32_t ms;
                memcpy(&ms, row.data(), 4);
                printf("%s", time_text(y, mo, d, ms).c_str());
                for (int i : cols) {
                    const v2r_slot &s = r.slots[(size_t)i];
                    if (v2r_missing(&r, row.data(), i)) {
                        printf("%s-", o.sep());
                        continue;
                    }
                    double v = v2r_col(&s, row.data());
                    if (o.scaled) v = v2r_scale(&s, v);
                    printf("%s%s", o.sep(), num_text(v, s.s.vtype != 0).c_str());
                }
                printf("\n");
            }
        }
    }
    fclose(f);
    return 0;
}

int main(int argc, char **argv) {
    if (zq_version_arg(argc, argv)) return 0;
    out_opts o;
    int packed = -1;
    const char *path = nullptr;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--csv"))
            o.csv = true;
        else if (!strcmp(argv[i], "--scaled"))
            o.scaled = true;
        else if (!strcmp(argv[i], "--packed"))
            packed = 1;
        else if (!strcmp(argv[i], "--unpacked"))
            packed = 0;
        else if (!strcmp(argv[i], "--no-rows"))
            o.rows = false;
        else if (!strcmp(argv[i], "-h") || !strcmp(argv[i], "--help")) {
            usage(argv[0]);
            return 0;
        } else if (argv[i][0] == '-' || path) {
            usage(argv[0]);
            return 2;
        } else
            path = argv[i];
    }
    if (!path) {
        usage(argv[0]);
        return 2;
    }
    if (v2r_probe(path)) return dump_v2(path, o);
    FILE *f = fopen(path, "rb");
    if (!f) {
        fprintf(stderr, "zqtrend-dump: %s: %s\n", path, strerror(errno));
        return 1;
    }
    fclose(f);
    return dump_v1(path, o, packed);
}
