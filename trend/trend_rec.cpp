#include "trend_rec.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "common/channels.h"
#include "common/parse_util.h"
#include "trend_mirror_rec.h"

enum { D_MAIN = 0, D_ALT1 = 1, D_ALT2 = 2 };

void trend_samples::resize(uint32_t an, uint32_t di) {
    an_count = an;
    di_count = di;
    an_raw.resize(an);
    an_v1.resize(an);
    an_q.resize(an);
    an_vt.resize(an);
    di_val.resize(di);
    di_q.resize(di);
    di_vt.resize(di);
}

bool trend_sched_step(int64_t *next_tick, int64_t now_ms, int *sleep_ms, time_t *tick,
                      bool *jumped) {
    *jumped = false;
    int64_t now_s = now_ms / 1000;
    if (*next_tick == 0) *next_tick = now_s + 1;
    int64_t remaining = *next_tick * 1000 - now_ms;
    if (remaining > 0 && remaining <= 3000) {
        *sleep_ms = (int)std::min<int64_t>(remaining, 250);
        return false;
    }
    if (remaining > 3000 || -remaining > (int64_t)TREND_MAX_CATCHUP_S * 1000) {
        // Set back, or forward by more than a short catch-up: replaying
        // every missed second (decades after a boot in the year 2000) would
        // only write rows for times the plant never saw.
        *jumped = true;
        *next_tick = now_s;
    }
    *tick = (time_t)*next_tick;
    *next_tick += 1;
    return true;
}

static uint32_t ymd(const struct tm *t) {
    return (uint32_t)((t->tm_year + 1900) * 10000 + (t->tm_mon + 1) * 100 + t->tm_mday);
}

static bool is_v1(int fmt) {
    return fmt != 0 && fmt != TREND_FMT_V2;
}

int trend_rec_init(trend_recorder *r, const trend_config &cfg, trend_base &&base) {
    r->cfg = cfg;
    r->base = std::move(base);
    trend_build_cmap(&r->base, &r->cmap);
    r->dest[D_MAIN].dir = cfg.mainpath;
    r->dest[D_MAIN].fmt = cfg.mainpath.empty() ? 0 : cfg.main_fmt;
    r->dest[D_ALT1].dir = cfg.altpath;
    r->dest[D_ALT1].fmt = cfg.altpath.empty() ? 0 : cfg.alt_fmt;
    r->dest[D_ALT2].dir = cfg.altpath2;
    r->dest[D_ALT2].fmt = cfg.altpath2.empty() ? 0 : cfg.alt2_fmt;
    for (const trend_dest &d : r->dest) {
        if (d.fmt == TREND_FMT_V2)
            r->use_v2 = true;
        else if (d.fmt != 0)
            r->use_v1 = true;
    }
    int cap = std::max(cfg.analogs - 1, 0) + std::max(cfg.discrets - 1, 0);
    if (r->use_v1 && (r->min_v1.init(cfg.analogs, cfg.discrets) != 0 ||
                      r->hour_v1.init(cfg.analogs, cfg.discrets) != 0)) {
        printf("[trend] accumulator alloc failed (cap=%d)\n", cap);
        return -1;
    }
    if (r->use_v2 && (r->min_v2.init(cfg.analogs, cfg.discrets) != 0 ||
                      r->hour_v2.init(cfg.analogs, cfg.discrets) != 0)) {
        printf("[trend] raw accumulator alloc failed (cap=%d)\n", cap);
        return -1;
    }
    return 0;
}

// ---- channel base and maps ----

static bool reread_base(trend_recorder *r) {
    trend_base fresh;
    if (trend_base_read(&fresh, r->cfg.a_base_path.c_str(), r->cfg.d_base_path.c_str(),
                        r->cfg.analogs, r->cfg.discrets) != 0)
        return false;
    r->base = std::move(fresh);
    trend_build_cmap(&r->base, &r->cmap);
    return true;
}

static void freeze_v1_map(trend_recorder *r, const char *meta, const char *label, trend_cmap *out) {
    struct stat st;
    trend_cmap m;
    if (meta && *meta && stat(meta, &st) == 0 && st.st_size >= 2 * META_REC &&
        trend_meta_load_colmap(meta, &m) == 1) {
        if (!trend_cmap_equal(m, r->cmap))
            printf(
                "[trend] v1 %s: layout заморожено з %s (A%d D%d; конфіг A%d D%d) — зміни "
                "каналів підуть з наступного файла\n",
                label, meta, m.n_an, m.n_di, r->cmap.n_an, r->cmap.n_di);
        *out = std::move(m);
        return;
    }
    *out = r->cmap;
}

static void ensure_monthly(trend_recorder *r, const struct tm *lt, bool force) {
    trend_dest &d = r->dest[D_MAIN];
    if (!r->cfg.hour || d.fmt == 0) return;
    if (is_v1(d.fmt)) {
        zq_mkdirs(d.dir.c_str(), 0755);
        trend_ensure_hour_meta(d.rnh, d.rph, &r->base, &r->hour_map, force);
    }
    // A version-1 alternate has its monthly file whatever the main format.
    trend_mirror_ensure(r, lt, false, force);
}

static void v2_ensure_file(trend_recorder *r, const char *path, char kind, uint32_t interval) {
    const v2_table *t = kind == 's' ? &r->v2_sec : &r->v2_avg;
    v2_ensure_main_file(t, path, kind, interval, r->dest[D_MAIN].date);
}

static void v2_hour_path(const trend_dest &d, const struct tm *t, char *out) {
    trend_filepath_v2(out, TREND_PATH_MAX, d.dir.c_str(), t, "rph");
}

static void ensure_daily(trend_recorder *r, const struct tm *lt, bool force) {
    trend_dest &d = r->dest[D_MAIN];
    if (d.fmt == 0) return;
    zq_mkdirs(d.dir.c_str(), 0755);
    bool packed = d.fmt == TREND_FMT_V1_PACKED;
    if (is_v1(d.fmt)) {
        if (r->cfg.sec) trend_ensure_sec_meta(d.rns, d.rps, &r->base, &r->day_map, packed, force);
        if (r->cfg.min) trend_ensure_min_meta(d.rnm, d.rpm, &r->base, &r->day_map, packed, force);
    } else if (r->v2_valid) {
        if (r->cfg.sec) v2_ensure_file(r, d.rps, 's', 1000);
        if (r->cfg.min) v2_ensure_file(r, d.rpm, 'm', 60000);
        if (r->cfg.hour) {
            char p[TREND_PATH_MAX];
            v2_hour_path(d, lt, p);
            v2_ensure_file(r, p, 'h', 3600000);
        }
    }
    trend_mirror_ensure(r, lt, true, force);
}

static void build_paths(trend_dest &d, const struct tm *lt, bool daily) {
    if (d.fmt == 0) return;
    const char *dir = d.dir.c_str();
    if (daily) {
        d.date = ymd(lt);
        if (d.fmt == TREND_FMT_V2) {
            trend_filepath_v2(d.rps, TREND_PATH_MAX, dir, lt, "rps");
            trend_filepath_v2(d.rpm, TREND_PATH_MAX, dir, lt, "rpm");
            d.rns[0] = d.rnm[0] = 0;
        } else {
            trend_filepath(d.rps, TREND_PATH_MAX, dir, lt, "rps");
            trend_filepath(d.rpm, TREND_PATH_MAX, dir, lt, "rpm");
            trend_filepath(d.rns, TREND_PATH_MAX, dir, lt, "rns");
            trend_filepath(d.rnm, TREND_PATH_MAX, dir, lt, "rnm");
        }
    } else if (d.fmt != TREND_FMT_V2) {
        struct tm first = *lt;
        first.tm_mday = 1;
        trend_filepath(d.rph, TREND_PATH_MAX, dir, &first, "rph");
        trend_filepath(d.rnh, TREND_PATH_MAX, dir, &first, "rnh");
    }
}

static bool any_vtype(const trend_samples *s) {
    for (uint32_t i = 1; i < s->an_count; i++)
        if (s->an_vt[i]) return true;
    return false;
}

static void setup_v2_table(trend_recorder *r, trend_samples *s) {
    trend_dest &d = r->dest[D_MAIN];
    r->v2_valid = false;
    bool from_file = false;
    if (d.fmt == TREND_FMT_V2) {
        // Slots keep their positions all day: take them from today's file.
        // Without seconds files the minute file carries them (its average
        // types derive to themselves).
        const char *src = r->cfg.sec ? d.rps : (r->cfg.min ? d.rpm : "");
        v2_table t;
        if (*src && access(src, F_OK) == 0 && v2_file_open_check(src, &t) == 1 &&
            t.date == d.date && t.kind == (r->cfg.sec ? 's' : 'm')) {
            r->v2_sec = std::move(t);
            from_file = true;
        }
    }
    if (!from_file) {
        if (r->first_day && !any_vtype(s) && r->wait_vtypes) {
            r->wait_vtypes(s);
            if (!any_vtype(s))
                printf(
                    "[trend] v2: типи каналів ще не опубліковані драйвером — аналоги сьогодні "
                    "пишуться як f32\n");
        }
        if (v2_table_build(&r->v2_sec, &r->base, s->an_vt.data(), (int)s->an_count, s->di_vt.data(),
                           (int)s->di_count) != 0) {
            printf("[trend] v2 table alloc failed — v2 writing disabled today\n");
            return;
        }
    }
    if (v2_table_avg(&r->v2_avg, &r->v2_sec) != 0) {
        printf("[trend] v2 avg table alloc failed — v2 writing disabled today\n");
        return;
    }
    r->v2_valid = true;
    printf("[trend] v2 table: %d used / %d slots, row %d B (avg row %d B)%s\n", r->v2_sec.used,
           (int)r->v2_sec.slots.size(), r->v2_sec.row_size, r->v2_avg.row_size,
           from_file ? " — з сьогоднішнього файла" : "");
}

static void month_rollover(trend_recorder *r, const struct tm *lt) {
    reread_base(r);
    for (trend_dest &d : r->dest)
        build_paths(d, lt, false);
    trend_dest &m = r->dest[D_MAIN];
    if (r->use_v1) freeze_v1_map(r, is_v1(m.fmt) ? m.rnh : nullptr, "місяць", &r->hour_map);
    ensure_monthly(r, lt, false);
    if (r->use_v1) r->hour_v1.reset();
    if (r->use_v2) r->hour_v2.reset();
    r->rem_hour = lt->tm_hour;
}

static void day_rollover(trend_recorder *r, const struct tm *lt, time_t t, trend_samples *s,
                         bool base_fresh) {
    if (!base_fresh) reread_base(r);
    for (trend_dest &d : r->dest) {
        build_paths(d, lt, true);
        d.sec_last = d.min_last = trend_last_time{};
    }
    trend_dest &m = r->dest[D_MAIN];
    if (r->use_v1) {
        if (is_v1(m.fmt)) {
            freeze_v1_map(r, m.rns, "день", &r->day_map);
        } else {
            if (!r->warned_v1_alt) {
                printf(
                    "[trend] УВАГА: v1 alt-шлях під v2 main — заморозка v1-layout з файла "
                    "неможлива (main без .rns); зміна каналів серед дня може зламати "
                    "alt-файл\n");
                r->warned_v1_alt = true;
            }
            r->day_map = r->cmap;
        }
    }
    if (r->use_v2) setup_v2_table(r, s);
    r->first_day = false;
    ensure_daily(r, lt, false);
    printf("[trend] Day %04d-%02d-%02d\n", lt->tm_year + 1900, lt->tm_mon + 1, lt->tm_mday);
    trend_cleanup(m.dir.c_str(), r->cfg.autodel_sec, r->cfg.autodel_min, r->cfg.autodel_hour, t);
    if (r->use_v1) r->min_v1.reset();
    if (r->use_v2) r->min_v2.reset();
    r->day_open = true;
    r->warned_drop = r->warned_write = false;
}

// ---- rows ----

// Rows of a file must ascend in time: a row at or before the file's last row
// (clock set back, the repeated autumn hour) is dropped, never appended.
static bool time_is_new(trend_last_time *lt, const char *path, int64_t ms, int v1_width) {
    if (!lt->known || lt->path != path) {
        lt->path = path;
        lt->known = true;
        lt->ms = -1;
        if (v1_width > 0) {
            FILE *f = fopen(path, "rb");
            if (f) {
                struct stat st;
                if (fstat(fileno(f), &st) == 0 && st.st_size >= v1_width) {
                    long rows = (long)(st.st_size / v1_width);
                    uint32_t c;
                    if (fseeko(f, (off_t)rows * v1_width - 4, SEEK_SET) == 0 &&
                        fread(&c, 4, 1, f) == 1 && c < 86400000u)
                        lt->ms = c;
                }
                fclose(f);
            }
        } else {
            uint32_t c;
            if (v2_last_row_ms(path, &c)) lt->ms = c;
        }
    }
    return ms > lt->ms;
}

static void note_dropped(trend_recorder *r, const char *path, int64_t ms) {
    r->rows_dropped++;
    if (r->warned_drop) return;
    r->warned_drop = true;
    printf(
        "[trend] %s: row for %02d:%02d:%02d already written — new row dropped (clock went "
        "back)\n",
        path, (int)(ms / 3600000), (int)(ms / 60000 % 60), (int)(ms / 1000 % 60));
}

// A failed write loses that row only; say so once a day rather than every
// second.
static void note_write_failed(trend_recorder *r, const char *path) {
    int e = errno;
    r->rows_dropped++;
    if (r->warned_write) return;
    r->warned_write = true;
    fprintf(stderr, "[trend] %s: write failed (%s) — row lost, retrying with the next row\n", path,
            strerror(e));
}

void trend_rec_v1_sec_row(const trend_recorder *r, const trend_samples *s, uint32_t ms,
                          std::vector<uint32_t> *cells) {
    const trend_cmap &m = r->day_map;
    int wdi = trend_w_di(m.n_di);
    size_t ncell = (size_t)m.n_an + (size_t)wdi + 1;
    cells->assign(ncell, TREND_PACKED_EMPTY);
    uint32_t *c = cells->data();
    for (int k = 0; k < m.n_an; k++) {
        int n = m.an[(size_t)k];
        c[k] = (n < (int)s->an_count && s->an_q[(size_t)n] == 1 && !std::isnan(s->an_v1[(size_t)n]))
                   ? trend_cell_float((float)s->an_v1[(size_t)n])
                   : TREND_CELL_BAD;
    }
    uint32_t *p = c + m.n_an;
    for (int j = 0; j < m.n_di; j++) {
        int n = m.di[(size_t)j];
        uint32_t code = 3;
        if (n < (int)s->di_count && s->di_q[(size_t)n] == 1 && s->di_val[(size_t)n] <= 1)
            code = s->di_val[(size_t)n];
        int sh = 2 * (j % 16);
        p[j / 16] = (p[j / 16] & ~(3u << sh)) | (code << sh);
    }
    c[ncell - 1] = ms;
}

static void rps_write(trend_recorder *r, const struct tm *lt, const trend_samples *s) {
    trend_dest &d = r->dest[D_MAIN];
    if (d.fmt == 0) return;
    uint32_t ms = (uint32_t)(lt->tm_hour * 3600000 + lt->tm_min * 60000 + lt->tm_sec * 1000);
    if (is_v1(d.fmt)) {
        trend_rec_v1_sec_row(r, s, ms, &r->cells);
        size_t ncell = r->cells.size();
        uint32_t *c = r->cells.data();
        if (!time_is_new(&d.sec_last, d.rps, ms, (int)(ncell * 4))) {
            note_dropped(r, d.rps, ms);
            return;
        }
        if (trend_append(d.rps, c, ncell * 4) == 0) {
            d.sec_last.ms = ms;
            r->rows_written++;
            trend_mirror_rows(r, 0, d.rps, c, ncell * 4, -1, ms, s, lt);
        } else {
            note_write_failed(r, d.rps);
        }
    } else if (r->v2_valid) {
        r->row.resize((size_t)r->v2_sec.row_size);
        v2_row_pack(r->row.data(), &r->v2_sec, s->an_raw.data(), s->an_q.data(), (int)s->an_count,
                    s->di_val.data(), s->di_q.data(), (int)s->di_count, ms);
        if (!time_is_new(&d.sec_last, d.rps, ms, 0)) {
            note_dropped(r, d.rps, ms);
            return;
        }
        if (v2_append_main(d.rps, &r->v2_sec, 's', d.date, 1000, r->row.data()) == 0) {
            d.sec_last.ms = ms;
            r->rows_written++;
            trend_mirror_rows(r, 0, d.rps, r->row.data(), r->row.size(), -1, ms, s, lt);
        } else {
            note_write_failed(r, d.rps);
        }
    }
}

void trend_rec_avg_cells(const trend_acc &acc, const trend_cmap &m, bool packed,
                         std::vector<uint32_t> *out) {
    out->clear();
    double v;
    for (int n : m.an)
        out->push_back(acc.mean(acc.an_cell(n), &v) ? trend_cell_float((float)v)
                                                    : TREND_CELL_NODATA);
    if (packed) {
        size_t base = out->size();
        out->resize(base + (size_t)trend_w_di(m.n_di), TREND_PACKED_EMPTY);
        for (int j = 0; j < m.n_di; j++) {
            uint32_t code = 3;
            if (acc.mean(acc.di_cell(m.di[(size_t)j]), &v)) {
                double rnd = v + 0.5;
                if (rnd >= 0 && rnd < 2) code = (uint32_t)rnd;
            }
            int sh = 2 * (j % 16);
            uint32_t &cell = (*out)[base + (size_t)j / 16];
            cell = (cell & ~(3u << sh)) | (code << sh);
        }
    } else {
        for (int n : m.di)
            out->push_back(acc.mean(acc.di_cell(n), &v) ? trend_cell_float((float)v)
                                                        : TREND_CELL_NODATA);
    }
}

// Minute (res 1) or hour (res 2) row of the interval that just ended.
static void avg_write(trend_recorder *r, int res, const char *v1_path, const char *v2_path,
                      uint32_t v2_date, long row_index, uint32_t start_ms,
                      const struct tm *period) {
    trend_dest &d = r->dest[D_MAIN];
    if (d.fmt == 0) return;
    if (is_v1(d.fmt)) {
        bool packed = res == 1 && d.fmt == TREND_FMT_V1_PACKED;
        const trend_cmap &m = res == 1 ? r->day_map : r->hour_map;
        trend_rec_avg_cells(res == 1 ? r->min_v1 : r->hour_v1, m, packed, &r->cells);
        if (r->cells.empty()) return;
        int pad_an = packed ? m.n_an : (int)r->cells.size();
        int pad_packed = packed ? trend_w_di(m.n_di) : 0;
        int rc = trend_write_row_at(v1_path, r->cells.data(), r->cells.size() * 4, row_index,
                                    pad_an, pad_packed);
        if (rc == 1) note_dropped(r, v1_path, (int64_t)start_ms);
        if (rc < 0) note_write_failed(r, v1_path);
        if (rc == 0) r->rows_written++;
        if (rc == 0)
            trend_mirror_rows(r, res, v1_path, r->cells.data(), r->cells.size() * 4, row_index,
                              start_ms, nullptr, period);
    } else if (r->v2_valid) {
        trend_last_time &lt = res == 1 ? d.min_last : d.hour_last;
        if (!time_is_new(&lt, v2_path, start_ms, 0)) {
            note_dropped(r, v2_path, start_ms);
            return;
        }
        r->row.resize((size_t)r->v2_avg.row_size);
        v2_row_pack_avg(r->row.data(), &r->v2_avg, res == 1 ? &r->min_v2 : &r->hour_v2, start_ms);
        char kind = res == 1 ? 'm' : 'h';
        uint32_t interval = res == 1 ? 60000 : 3600000;
        if (v2_append_main(v2_path, &r->v2_avg, kind, v2_date, interval, r->row.data()) == 0) {
            lt.ms = start_ms;
            r->rows_written++;
            trend_mirror_rows(r, res, v2_path, r->row.data(), r->row.size(), row_index, start_ms,
                              nullptr, period);
        } else {
            note_write_failed(r, v2_path);
        }
    }
}

static void write_minute(trend_recorder *r) {
    const struct tm &p = r->prev;
    long row = p.tm_hour * 60 + p.tm_min;
    trend_dest &d = r->dest[D_MAIN];
    avg_write(r, 1, d.rpm, d.rpm, d.date, row, (uint32_t)row * 60000u, &p);
    if (r->use_v1) r->min_v1.reset();
    if (r->use_v2) r->min_v2.reset();
}

static void write_hour(trend_recorder *r) {
    const struct tm &p = r->prev;
    trend_dest &d = r->dest[D_MAIN];
    char v2p[TREND_PATH_MAX] = {};
    if (d.fmt == TREND_FMT_V2) v2_hour_path(d, &p, v2p);
    long row = (long)(p.tm_mday - 1) * 24 + p.tm_hour;
    avg_write(r, 2, d.rph, v2p, ymd(&p), row, (uint32_t)p.tm_hour * 3600000u, &p);
}

static void accumulate(trend_acc *acc, const std::vector<double> &an, const trend_samples *s) {
    uint32_t na = std::min<uint32_t>(s->an_count, (uint32_t)acc->an_cells + 1);
    for (uint32_t i = 1; i < na; i++) {
        // A NaN would turn the whole interval's average into NaN.
        if (s->an_q[i] != 1 || std::isnan(an[i])) continue;
        acc->sum[i - 1] += an[i];
        acc->cnt[i - 1]++;
    }
    uint32_t nd = std::min<uint32_t>(s->di_count, (uint32_t)acc->di_cells + 1);
    for (uint32_t j = 1; j < nd; j++) {
        if (s->di_q[j] != 1) continue;
        size_t cell = (size_t)acc->an_cells + j - 1;
        acc->sum[cell] += s->di_val[j];
        acc->cnt[cell]++;
    }
}

static void convert_v1(const trend_recorder *r, trend_samples *s) {
    if (!r->use_v1) return;
    const trend_base &b = r->base;
    uint32_t n = std::min<uint32_t>(s->an_count, (uint32_t)b.an.size());
    memcpy(s->an_v1.data(), s->an_raw.data(), s->an_count * sizeof(double));
    for (uint32_t i = 1; i < n; i++) {
        const trend_an_desc &d = b.an[i];
        if (!d.scaled) continue;
        s->an_v1[i] =
            channels_scale_to_phys(s->an_raw[i], d.code_min, d.code_max, d.phys_min, d.phys_max);
    }
}

// ---- SIGUSR1 ----

static bool v2_same_desc(const v2_slot &a, const v2_slot &b) {
    return a.code_min == b.code_min && a.code_max == b.code_max && a.phys_min == b.phys_min &&
           a.phys_max == b.phys_max && strncmp(a.units, b.units, 16) == 0 &&
           strncmp(a.desc, b.desc, 96) == 0;
}

static void v2_patch_files(trend_recorder *r, int slot) {
    trend_mirror_patch_v2(r, slot, &r->prev);
    trend_dest &d = r->dest[D_MAIN];
    if (d.fmt != TREND_FMT_V2) return;
    uint8_t rec[V2_SLOT];
    if (r->cfg.sec) {
        v2_slot_encode(&r->v2_sec.slots[(size_t)slot], rec);
        v2_chan_patch(d.rps, slot, rec);
    }
    v2_slot_encode(&r->v2_avg.slots[(size_t)slot], rec);
    if (r->cfg.min) v2_chan_patch(d.rpm, slot, rec);
    if (r->cfg.hour) {
        char p[TREND_PATH_MAX];
        v2_hour_path(d, &r->prev, p);
        v2_chan_patch(p, slot, rec);
    }
}

static void v2_apply_reload(trend_recorder *r) {
    for (int pass = 0; pass < 2; pass++) {
        char letter = pass == 0 ? 'A' : 'D';
        int max = pass == 0 ? r->base.an_max : r->base.di_max;
        for (int n = 1; n <= max; n++) {
            v2_slot rec;
            if (!v2_channel_record(&r->base, letter, n, &rec)) continue;
            int slot = -1;
            for (size_t i = 0; i < r->v2_sec.slots.size(); i++)
                if (r->v2_sec.slots[i].kind && !strncmp(r->v2_sec.slots[i].name, rec.name, 8)) {
                    slot = (int)i;
                    break;
                }
            bool fresh = false;
            if (slot >= 0) {
                if (v2_same_desc(r->v2_sec.slots[(size_t)slot], rec)) continue;
            } else {
                for (size_t i = 0; i < r->v2_sec.slots.size(); i++)
                    if (r->v2_sec.slots[i].kind == 0) {
                        slot = (int)i;
                        break;
                    }
                if (slot < 0) {
                    if (!r->warned_no_spare)
                        printf(
                            "[trend] v2: no spare slots left — new channels start with "
                            "tomorrow's files\n");
                    r->warned_no_spare = true;
                    continue;
                }
                fresh = true;
            }
            // The value type fixes the row layout: it stays as the slot has it.
            for (v2_table *t : {&r->v2_sec, &r->v2_avg}) {
                v2_slot &s = t->slots[(size_t)slot];
                uint8_t vt = s.vtype;
                s = rec;
                s.vtype = vt;
            }
            if (fresh) {
                printf("[trend] v2: new channel %s activated in spare slot %d\n", rec.name, slot);
                r->v2_sec.used = std::max(r->v2_sec.used, slot + 1);
                r->v2_avg.used = r->v2_sec.used;
            }
            v2_patch_files(r, slot);
        }
    }
}

static void do_reload(trend_recorder *r, const struct tm *lt) {
    r->reload_req = false;
    if (!reread_base(r)) return;
    trend_dest &m = r->dest[D_MAIN];
    if (r->use_v1 && is_v1(m.fmt)) {
        freeze_v1_map(r, m.rns, "день", &r->day_map);
        freeze_v1_map(r, m.rnh, "місяць", &r->hour_map);
    } else if (r->use_v1) {
        r->day_map = r->hour_map = r->cmap;
    }
    ensure_daily(r, lt, true);
    ensure_monthly(r, lt, true);
    if (r->v2_valid) v2_apply_reload(r);
    printf("[trend] Base reloaded (SIGUSR1)\n");
}

void trend_rec_tick(trend_recorder *r, time_t t, trend_samples *s) {
    struct tm lt;
    localtime_r(&t, &lt);
    convert_v1(r, s);
    if (r->reload_req && r->day_open) do_reload(r, &lt);

    if (!r->have_time) {
        month_rollover(r, &lt);
        day_rollover(r, &lt, t, s, true);
    } else {
        const struct tm &p = r->prev;
        bool new_month = lt.tm_mon != p.tm_mon || lt.tm_year != p.tm_year;
        bool new_day = new_month || lt.tm_mday != p.tm_mday;
        // The minute that ends at midnight is not recorded.
        if (!new_day && (lt.tm_min != p.tm_min || lt.tm_hour != p.tm_hour) && r->cfg.min)
            write_minute(r);
        // The hour row goes out before a rollover swaps paths and tables, so
        // the last hour of a day (and of a month) lands in its own files.
        if (lt.tm_hour != r->rem_hour || new_day) {
            if (r->cfg.hour) write_hour(r);
            if (r->use_v1) r->hour_v1.reset();
            if (r->use_v2) r->hour_v2.reset();
            r->rem_hour = lt.tm_hour;
        }
        if (new_month) month_rollover(r, &lt);
        if (new_day) day_rollover(r, &lt, t, s, new_month);
    }

    if (r->cfg.min) {
        if (r->use_v1) accumulate(&r->min_v1, s->an_v1, s);
        if (r->use_v2) accumulate(&r->min_v2, s->an_raw, s);
    }
    if (r->cfg.hour) {
        if (r->use_v1) accumulate(&r->hour_v1, s->an_v1, s);
        if (r->use_v2) accumulate(&r->hour_v2, s->an_raw, s);
    }
    if (r->cfg.sec) rps_write(r, &lt, s);
    r->prev = lt;
    r->have_time = true;
}

std::string trend_rec_status_text(const trend_recorder *r, int64_t last_row_ms, int64_t now_ms) {
    char b[192];
    snprintf(b, sizeof b,
             "{\"rows_written\":%llu,\"rows_dropped\":%llu,\"last_row_ms\":%lld,\"ts\":%lld}\n",
             (unsigned long long)r->rows_written, (unsigned long long)r->rows_dropped,
             (long long)last_row_ms, (long long)now_ms);
    return b;
}
