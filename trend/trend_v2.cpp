#include "trend_v2.h"

#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "common/atomic_file.h"
#include "common/vtype.h"
#include "trend_v1.h"

// Column width: code 0 is a float column; REAL channels are written as
// code 0, so a 0xCA column is never laid out.
int v2_vtype_size(uint8_t vt) {
    if (vt == 0) return 4;
    if (vt == ZQ_VT_REAL) return 0;
    return zq_vtype_size(vt);
}

int v2_table_layout(v2_table *t) {
    int n = (int)t->slots.size();
    t->off.assign((size_t)n, -1);
    int pos = 4;
    for (int i = 0; i < n; i++) {
        int w = v2_vtype_size(t->slots[(size_t)i].vtype);
        if (w > 0) {
            t->off[(size_t)i] = pos;
            pos += w;
        }
    }
    t->bitmap_off = pos;
    int size = pos + (n + 7) / 8;
    t->row_size = (size + 3) & ~3;
    return t->row_size;
}

static void put_le(uint8_t *p, uint64_t v, int n) {
    for (int i = 0; i < n; i++)
        p[i] = (uint8_t)(v >> (8 * i));
}
static uint64_t get_le(const uint8_t *p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; i++)
        v |= (uint64_t)p[i] << (8 * i);
    return v;
}
static void put_f64(uint8_t *p, double d) {
    memcpy(p, &d, 8);
}
static double get_f64(const uint8_t *p) {
    double d;
    memcpy(&d, p, 8);
    return d;
}

void v2_slot_encode(const v2_slot *s, uint8_t out[V2_SLOT]) {
    memset(out, 0, V2_SLOT);
    memcpy(out, s->name, strnlen(s->name, 7));
    out[8] = s->kind;
    out[9] = s->vtype;
    put_f64(out + 16, s->code_min);
    put_f64(out + 24, s->code_max);
    put_f64(out + 32, s->phys_min);
    put_f64(out + 40, s->phys_max);
    memcpy(out + 48, s->units, strnlen(s->units, 15));
    memcpy(out + 64, s->desc, strnlen(s->desc, 95));
}

void v2_slot_decode(const uint8_t in[V2_SLOT], v2_slot *s) {
    memset(s, 0, sizeof *s);
    memcpy(s->name, in, 7);
    s->kind = in[8];
    s->vtype = in[9];
    s->code_min = get_f64(in + 16);
    s->code_max = get_f64(in + 24);
    s->phys_min = get_f64(in + 32);
    s->phys_max = get_f64(in + 40);
    memcpy(s->units, in + 48, 15);
    memcpy(s->desc, in + 64, 95);
    s->chan = -1;
    if (s->name[0] == 'A' || s->name[0] == 'D') {
        char *end;
        long v = strtol(s->name + 1, &end, 10);
        if (end != s->name + 1 && v >= 0 && v <= 0x7FFFFFFF) s->chan = (int32_t)v;
    }
}

static double round_half_away(double v) {
    return v < 0 ? trunc(v - 0.5) : trunc(v + 0.5);
}

static double clampd(double v, double lo, double hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

bool v2_store_col(uint8_t *p, uint8_t vt, double v) {
    if (isnan(v)) {  // not a measurement: stored as missing
        memset(p, 0, (size_t)v2_vtype_size(vt));
        return false;
    }
    if (vt == 0) {
        float f = (float)v;
        memcpy(p, &f, 4);
        return true;
    }
    if (vt == ZQ_VT_LREAL) {
        memcpy(p, &v, 8);
        return true;
    }
    int w = v2_vtype_size(vt);
    if (w == 0) return false;
    double r = round_half_away(v);
    bool sign = zq_vtype_is_signed(vt);
    if (w < 8) {
        double lo = 0, hi = 255;  // BOOL columns hold a byte
        zq_vtype_int_range(vt, &lo, &hi);
        put_le(p, (uint64_t)(int64_t)clampd(r, lo, hi), w);
    } else if (sign) {
        // Doubles beyond the 64-bit range cannot be converted; saturate.
        int64_t x = r >= 9223372036854775807.0    ? INT64_MAX
                    : r <= -9223372036854775808.0 ? INT64_MIN
                                                  : (int64_t)r;
        put_le(p, (uint64_t)x, 8);
    } else {
        uint64_t x = r <= 0 ? 0 : (r >= 18446744073709551615.0 ? UINT64_MAX : (uint64_t)r);
        put_le(p, x, 8);
    }
    return true;
}

// Cut UTF-8 text to at most max bytes without splitting a character.
static void copy_utf8_cut(char *dst, size_t dst_cap, const char *src, size_t max) {
    memset(dst, 0, dst_cap);
    memcpy(dst, src, trend_utf8_fit(src, strnlen(src, max + 1), max));
}

bool v2_channel_record(const trend_base *b, char letter, int n, v2_slot *out) {
    memset(out, 0, sizeof *out);
    if (letter == 'A') {
        if (n < 1 || n >= (int)b->an.size() || !b->an[(size_t)n].present) return false;
        const trend_an_desc &d = b->an[(size_t)n];
        snprintf(out->name, sizeof out->name, "A%d", n);
        out->kind = 1;
        out->code_min = d.code_min;
        out->code_max = d.code_max;
        out->phys_min = d.phys_min;
        out->phys_max = d.phys_max;
        char tmp[sizeof d.units + 1] = {};
        memcpy(tmp, d.units, sizeof d.units);
        copy_utf8_cut(out->units, sizeof out->units, tmp, 15);
        char dtmp[sizeof d.desc + 1] = {};
        memcpy(dtmp, d.desc, sizeof d.desc);
        copy_utf8_cut(out->desc, sizeof out->desc, dtmp, 95);
    } else {
        if (n < 1 || n >= (int)b->di.size() || !b->di[(size_t)n].present) return false;
        const trend_di_desc &d = b->di[(size_t)n];
        snprintf(out->name, sizeof out->name, "D%d", n);
        out->kind = 3;
        out->vtype = ZQ_VT_USINT;
        out->phys_min = d.low;
        out->phys_max = d.high;
        char dtmp[sizeof d.desc + 1] = {};
        memcpy(dtmp, d.desc, sizeof d.desc);
        copy_utf8_cut(out->desc, sizeof out->desc, dtmp, 95);
    }
    out->chan = n;
    return true;
}

// BOOL channels are stored as USINT, REAL ones (and unknown codes) as floats.
static uint8_t v2_map_vtype(uint8_t vt) {
    if (vt == ZQ_VT_BOOL) return ZQ_VT_USINT;
    return vt == ZQ_VT_REAL ? 0 : (uint8_t)(zq_vtype_find(vt) ? vt : 0);
}

int v2_table_build(v2_table *t, const trend_base *b, const uint8_t *an_vt, int an_vt_n,
                   const uint8_t *di_vt, int di_vt_n) {
    (void)di_vt;
    (void)di_vt_n;
    *t = v2_table{};
    int count = 0;
    for (int i = 1; i <= b->an_max && i < (int)b->an.size(); i++)
        count += b->an[(size_t)i].present != 0;
    for (int i = 1; i <= b->di_max && i < (int)b->di.size(); i++)
        count += b->di[(size_t)i].present != 0;
    int slots = std::max(64, ((count + 79) / 64) * 64);
    if (slots > 65536) return -1;
    try {
        t->slots.assign((size_t)slots, v2_slot{});
    } catch (...) {
        return -1;
    }
    size_t k = 0;
    for (int i = 1; i <= b->an_max && i < (int)b->an.size(); i++) {
        if (!b->an[(size_t)i].present) continue;
        v2_slot &s = t->slots[k++];
        v2_channel_record(b, 'A', i, &s);
        s.vtype = (an_vt && i < an_vt_n) ? v2_map_vtype(an_vt[i]) : 0;
    }
    for (int i = 1; i <= b->di_max && i < (int)b->di.size(); i++) {
        if (!b->di[(size_t)i].present) continue;
        v2_channel_record(b, 'D', i, &t->slots[k++]);
    }
    t->used = (int)k;
    for (; k < t->slots.size(); k++)
        t->slots[k].chan = -1;
    v2_table_layout(t);
    return 0;
}

int v2_table_avg(v2_table *out, const v2_table *sec) {
    *out = *sec;
    for (v2_slot &s : out->slots) {
        // Averages of 32- and 64-bit columns need a double; the rest fit a float.
        s.vtype = v2_vtype_size(s.vtype) >= 4 && s.vtype != 0 ? ZQ_VT_LREAL : 0;
    }
    v2_table_layout(out);
    return 0;
}

std::vector<uint8_t> v2_header_blob(const v2_table *t, char kind, uint32_t date,
                                    uint32_t interval) {
    size_t n = t->slots.size();
    std::vector<uint8_t> blob((size_t)V2_HDR + V2_SLOT * n, 0);
    uint8_t *h = blob.data();
    memcpy(h, "ZQT2", 4);
    put_le(h + 4, V2_VERSION, 2);
    h[6] = (uint8_t)kind;
    put_le(h + 8, (uint32_t)(V2_HDR + V2_SLOT * n), 4);
    put_le(h + 12, (uint32_t)n, 4);
    put_le(h + 16, (uint32_t)t->row_size, 4);
    put_le(h + 20, interval, 4);
    put_le(h + 24, date, 4);
    for (size_t i = 0; i < n; i++)
        v2_slot_encode(&t->slots[i], h + V2_HDR + V2_SLOT * i);
    return blob;
}

int v2_file_create(const char *path, char kind, uint32_t date, uint32_t interval,
                   const v2_table *t) {
    std::vector<uint8_t> blob = v2_header_blob(t, kind, date, interval);
    return atomic_file_write(path, blob.data(), blob.size(), 0644) == 0 ? 0 : -1;
}

static long long fsize(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 ? (long long)st.st_size : -1;
}

static bool same_columns(const v2_table &a, const v2_table &b) {
    if (a.slots.size() != b.slots.size() || a.row_size != b.row_size) return false;
    for (size_t i = 0; i < a.slots.size(); i++) {
        const v2_slot &x = a.slots[i], &y = b.slots[i];
        if (x.kind != y.kind || x.vtype != y.vtype || strncmp(x.name, y.name, 8) != 0) return false;
    }
    return true;
}

static void move_aside(const char *path, const char *why) {
    char aside[TREND_PATH_MAX + 16];
    if (trend_rename_aside(path, aside, sizeof aside) == 0)
        printf("[trend] %s: %s — old rows kept as %s\n", path, why, aside);
}

int v2_ensure_main_file(const v2_table *t, const char *path, char kind, uint32_t interval,
                        uint32_t date) {
    long long size = fsize(path);
    if (size >= V2_HDR) {
        v2_table f;
        int rc = v2_file_open_check(path, &f);
        if (rc == 1 && same_columns(f, *t)) {
            // Descriptive fields (scale, units, text) may be refreshed in place.
            uint8_t a[V2_SLOT], b[V2_SLOT];
            for (size_t i = 0; i < t->slots.size(); i++) {
                v2_slot_encode(&f.slots[i], a);
                v2_slot_encode(&t->slots[i], b);
                if (memcmp(a, b, V2_SLOT) != 0) v2_chan_patch(path, (int)i, b);
            }
            return 0;
        }
        if (rc == 1) {
            printf("[trend] %s: v2 layout mismatch (%d slots vs %d) — recreating\n", path,
                   (int)f.slots.size(), (int)t->slots.size());
            move_aside(path, "v2 layout mismatch");
        } else {
            printf("[trend] %s: not a valid v2 file — recreating\n", path);
            move_aside(path, "not a valid v2 file");
        }
    } else if (size > 0) {
        move_aside(path, "not a valid v2 file");
    }
    return v2_file_create(path, kind, date, interval, t) == 0 ? 1 : -1;
}

int v2_append_main(const char *path, const v2_table *t, char kind, uint32_t date, uint32_t interval,
                   const uint8_t *row) {
    long long hsize = (long long)V2_HDR + (long long)V2_SLOT * (long long)t->slots.size();
    long long size = fsize(path);
    if (size < hsize) {
        if (size > 0) move_aside(path, "not a valid v2 file");
        if (v2_file_create(path, kind, date, interval, t) != 0) return -1;
    }
    int fd = open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return -1;
    }
    size = (long long)st.st_size;
    long long rem = (size - hsize) % t->row_size;
    if (rem != 0) {
        if (ftruncate(fd, (off_t)(size - rem)) != 0) {
            close(fd);
            return -1;
        }
        size -= rem;
    }
    const uint8_t *p = row;
    size_t left = (size_t)t->row_size;
    while (left > 0) {
        ssize_t w = write(fd, p, left);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        p += w;
        left -= (size_t)w;
    }
    int rc = 0;
    if (left > 0) {
        if (ftruncate(fd, (off_t)size) != 0) { /* the next append cuts it */
        }
        rc = -1;
    }
    close(fd);
    return rc;
}

static inline void set_missing(uint8_t *row, const v2_table *t, size_t i) {
    row[t->bitmap_off + (int)(i / 8)] |= (uint8_t)(1u << (i % 8));
}

int v2_row_pack(uint8_t *row, const v2_table *t, const double *an_val, const uint8_t *an_q,
                int an_count, const uint8_t *di_val, const uint8_t *di_q, int di_count,
                uint32_t ms) {
    memset(row, 0, (size_t)t->row_size);
    put_le(row, ms, 4);
    for (size_t i = 0; i < t->slots.size(); i++) {
        const v2_slot &s = t->slots[i];
        int off = t->off[i];
        bool ok = false;
        if (off >= 0) {
            if (s.kind == 1 && s.chan >= 1 && s.chan < an_count && an_q[s.chan] == 1)
                ok = v2_store_col(row + off, s.vtype, an_val[s.chan]);
            else if (s.kind == 3 && s.chan >= 1 && s.chan < di_count && di_q[s.chan] == 1)
                ok = v2_store_col(row + off, s.vtype, di_val[s.chan]);
        }
        if (!ok) set_missing(row, t, i);
    }
    return t->row_size;
}

int v2_row_pack_avg(uint8_t *row, const v2_table *t, const trend_acc *acc, uint32_t ms) {
    memset(row, 0, (size_t)t->row_size);
    put_le(row, ms, 4);
    for (size_t i = 0; i < t->slots.size(); i++) {
        const v2_slot &s = t->slots[i];
        int off = t->off[i];
        int cell = s.kind == 1 ? acc->an_cell(s.chan) : (s.kind == 3 ? acc->di_cell(s.chan) : -1);
        double m;
        bool ok = off >= 0 && acc->mean(cell, &m) && v2_store_col(row + off, s.vtype, m);
        if (!ok) {
            if (off >= 0) memset(row + off, 0, (size_t)v2_vtype_size(s.vtype));
            set_missing(row, t, i);
        }
    }
    return t->row_size;
}

int v2_chan_patch(const char *path, int slot, const uint8_t rec[V2_SLOT]) {
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    uint8_t h[V2_HDR];
    int rc = -1;
    if (pread(fd, h, V2_HDR, 0) == V2_HDR && memcmp(h, "ZQT2", 4) == 0 && slot >= 0 &&
        (uint64_t)slot < get_le(h + 12, 4)) {
        if (pwrite(fd, rec, V2_SLOT, (off_t)V2_HDR + (off_t)V2_SLOT * slot) == V2_SLOT) rc = 0;
    }
    close(fd);
    return rc;
}

// Header fields shared by the writer's and the reader's checks.
static bool header_ok(const uint8_t *h, uint32_t *slots, uint32_t *row_size) {
    uint32_t ver = (uint32_t)get_le(h + 4, 2);
    uint32_t n = (uint32_t)get_le(h + 12, 4);
    uint32_t hs = (uint32_t)get_le(h + 8, 4);
    uint32_t rs = (uint32_t)get_le(h + 16, 4);
    char k = (char)h[6];
    if (ver != V2_VERSION || n < 1 || n > 65536 || hs != (uint32_t)V2_HDR + V2_SLOT * n || rs < 8 ||
        rs > 16777216 || (k != 's' && k != 'm' && k != 'h'))
        return false;
    *slots = n;
    *row_size = rs;
    return true;
}

int v2_file_open_check(const char *path, v2_table *out) {
    *out = v2_table{};
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    uint8_t h[V2_HDR];
    ssize_t got = pread(fd, h, V2_HDR, 0);
    int rc = -1;
    uint32_t n, rs;
    std::vector<uint8_t> recs;
    struct stat st;
    if (got < 4) goto done;
    if (got < V2_HDR || memcmp(h, "ZQT2", 4) != 0) {
        rc = 0;
        goto done;
    }
    if (!header_ok(h, &n, &rs)) goto done;
    recs.resize((size_t)V2_SLOT * n);
    if (pread(fd, recs.data(), recs.size(), V2_HDR) != (ssize_t)recs.size()) goto done;
    out->slots.resize(n);
    for (uint32_t i = 0; i < n; i++) {
        v2_slot_decode(recs.data() + (size_t)V2_SLOT * i, &out->slots[i]);
        if (out->slots[i].kind != 0) out->used++;
    }
    if (v2_table_layout(out) != (int)rs) goto done;
    out->interval = (uint32_t)get_le(h + 20, 4);
    out->date = (uint32_t)get_le(h + 24, 4);
    out->kind = (char)h[6];
    if (fstat(fd, &st) != 0) goto done;
    {
        long long hsize = V2_HDR + (long long)V2_SLOT * n;
        if (st.st_size > hsize) {
            long long rem = (st.st_size - hsize) % rs;
            if (rem != 0 && ftruncate(fd, st.st_size - rem) != 0) goto done;
        }
    }
    rc = 1;
done:
    close(fd);
    if (rc != 1) *out = v2_table{};
    return rc;
}

bool v2_last_row_ms(const char *path, uint32_t *ms) {
    FILE *f = fopen(path, "rb");
    if (!f) return false;
    v2r_file r;
    bool ok = false;
    if (v2r_parse(f, &r) == 0) {
        long rows = v2r_row_count(f, &r);
        ok = rows > 0 && v2r_row_ms(f, &r, rows - 1, ms) == 0;
    }
    fclose(f);
    return ok;
}

// ---- reader ----

int v2r_probe(const char *path) {
    FILE *f = fopen(path, "rb");
    if (!f) return 0;
    char m[4];
    int ok = fread(m, 1, 4, f) == 4 && memcmp(m, "ZQT2", 4) == 0;
    fclose(f);
    return ok;
}

int v2r_parse(FILE *f, v2r_file *out) {
    *out = v2r_file{};
    uint8_t h[V2_HDR];
    uint32_t n, rs;
    if (fseek(f, 0, SEEK_SET) != 0 || fread(h, 1, V2_HDR, f) != (size_t)V2_HDR) return -1;
    if (memcmp(h, "ZQT2", 4) != 0 || !header_ok(h, &n, &rs)) return -1;
    std::vector<uint8_t> recs((size_t)V2_SLOT * n);
    if (fread(recs.data(), 1, recs.size(), f) != recs.size()) return -1;
    out->slots.resize(n);
    int pos = 4;
    for (uint32_t i = 0; i < n; i++) {
        v2r_slot &s = out->slots[i];
        v2_slot_decode(recs.data() + (size_t)V2_SLOT * i, &s.s);
        int w = v2_vtype_size(s.s.vtype);
        s.off = w > 0 ? pos : -1;
        pos += w;
    }
    if ((long long)pos + (n + 7) / 8 > (long long)rs) {
        *out = v2r_file{};
        return -1;
    }
    out->slot_count = (int)n;
    out->header_size = V2_HDR + V2_SLOT * (int)n;
    out->row_size = (int)rs;
    out->interval = (uint32_t)get_le(h + 20, 4);
    out->date = (uint32_t)get_le(h + 24, 4);
    out->kind = (char)h[6];
    out->bitmap_off = pos;
    return 0;
}

void v2r_free(v2r_file *r) {
    *r = v2r_file{};
}

int v2r_find_slot(const v2r_file *r, const char *name) {
    for (size_t i = 0; i < r->slots.size(); i++)
        if (r->slots[i].s.kind != 0 && strncmp(r->slots[i].s.name, name, 8) == 0) return (int)i;
    return -1;
}

double v2r_col(const v2r_slot *s, const uint8_t *row) {
    if (s->off < 0) return 0;
    const uint8_t *p = row + s->off;
    switch (s->s.vtype) {
        case 0: {
            float f;
            memcpy(&f, p, 4);
            return f;
        }
        case ZQ_VT_REAL:  // never laid out (see v2_vtype_size)
            return 0;
        case ZQ_VT_BOOL:  // the stored byte as it is, not cut to 0/1
            return p[0];
        default:
            return zq_vtype_decode_le(p, s->s.vtype);
    }
}

double v2r_scale(const v2r_slot *s, double v) {
    double span = s->s.code_max - s->s.code_min;
    if (s->s.kind != 1 || span == 0) return v;
    return (s->s.phys_max - s->s.phys_min) * ((v - s->s.code_min) / span) + s->s.phys_min;
}

bool v2r_missing(const v2r_file *r, const uint8_t *row, int slot) {
    if (slot < 0 || slot >= r->slot_count) return true;
    return (row[r->bitmap_off + slot / 8] >> (slot % 8)) & 1;
}

int v2r_row_ms(FILE *f, const v2r_file *r, long row, uint32_t *ms) {
    uint8_t b[4];
    off_t pos = (off_t)r->header_size + (off_t)row * r->row_size;
    if (fseeko(f, pos, SEEK_SET) != 0 || fread(b, 1, 4, f) != 4) return -1;
    *ms = (uint32_t)get_le(b, 4);
    return 0;
}

long v2r_row_count(FILE *f, const v2r_file *r) {
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || st.st_size < r->header_size || r->row_size <= 0) return 0;
    return (long)((st.st_size - r->header_size) / r->row_size);
}
