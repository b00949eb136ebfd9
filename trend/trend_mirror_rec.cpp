#include "trend_mirror_rec.h"

#include <sys/stat.h>

#include <memory>
#include <vector>

#include "trend_mirror.h"
#include "trend_rec.h"

namespace {

// Encoding of a destination for one resolution: 2 version 2, 3 packed
// version 1, 1 unpacked version 1 (hour files are always unpacked).
int eff_fmt(int fmt, int res) {
    if (fmt == TREND_FMT_V2) return TREND_FMT_V2;
    if (fmt == TREND_FMT_V1_PACKED) return res == 2 ? TREND_FMT_V1 : TREND_FMT_V1_PACKED;
    return TREND_FMT_V1;
}

const char *dest_path(const trend_dest &d, int res, const struct tm *period, char *buf) {
    if (res == 0) return d.rps;
    if (res == 1) return d.rpm;
    if (d.fmt != TREND_FMT_V2) return d.rph;
    trend_filepath_v2(buf, TREND_PATH_MAX, d.dir.c_str(), period, "rph");
    return buf;
}

bool usable(const trend_recorder *r, int k) {
    return r->mirror && r->dest[k].fmt != 0 && trend_mirror_enabled(r->mirror, k - 1);
}

}  // namespace

void trend_mirror_rows(trend_recorder *r, int res, const char *main_path, const void *row,
                       size_t len, long row_index, uint32_t ms, const trend_samples *s,
                       const struct tm *period) {
    if (!usable(r, 1) && !usable(r, 2)) return;
    struct stat st;
    long long main_size = stat(main_path, &st) == 0 ? (long long)st.st_size : -1;
    int meff = eff_fmt(r->dest[0].fmt, res);
    std::vector<uint32_t> cells;
    std::vector<uint8_t> v2row;
    for (int k = 1; k <= 2; k++) {
        if (!usable(r, k)) continue;
        const trend_dest &d = r->dest[k];
        char buf[TREND_PATH_MAX];
        const char *path = dest_path(d, res, period, buf);
        if (!*path) continue;
        int aeff = eff_fmt(d.fmt, res);
        if (aeff == meff) {
            trend_alt_job_append(r->mirror, k - 1, res, main_path, path, main_size, row, len);
            continue;
        }
        trend_alt_row how;
        how.fmt = aeff;
        how.row_index = res == 0 ? -1 : row_index;
        const void *bytes = nullptr;
        size_t n = 0;
        if (aeff == TREND_FMT_V2) {
            if (!r->v2_valid) continue;
            const v2_table &t = res == 0 ? r->v2_sec : r->v2_avg;
            v2row.resize((size_t)t.row_size);
            if (res == 0) {
                if (!s) continue;
                v2_row_pack(v2row.data(), &t, s->an_raw.data(), s->an_q.data(), (int)s->an_count,
                            s->di_val.data(), s->di_q.data(), (int)s->di_count, ms);
            } else {
                v2_row_pack_avg(v2row.data(), &t, res == 1 ? &r->min_v2 : &r->hour_v2, ms);
            }
            how.hdr_size = V2_HDR + V2_SLOT * (int)t.slots.size();
            how.row_size = t.row_size;
            bytes = v2row.data();
            n = v2row.size();
        } else if (res == 0) {
            if (!s || aeff != TREND_FMT_V1_PACKED) continue;
            trend_rec_v1_sec_row(r, s, ms, &cells);
            bytes = cells.data();
            n = cells.size() * 4;
        } else {
            bool packed = aeff == TREND_FMT_V1_PACKED;
            const trend_cmap &m = res == 1 ? r->day_map : r->hour_map;
            trend_rec_avg_cells(res == 1 ? r->min_v1 : r->hour_v1, m, packed, &cells);
            how.an_cells = packed ? m.n_an : (int)cells.size();
            how.packed_cells = packed ? trend_w_di(m.n_di) : 0;
            bytes = cells.data();
            n = cells.size() * 4;
        }
        if (n) trend_alt_job_append_indep(r->mirror, k - 1, res, path, how, bytes, n);
    }
}

void trend_mirror_ensure(trend_recorder *r, const struct tm *lt, bool daily, bool force) {
    if (!r->mirror) return;
    const trend_dest &main = r->dest[0];
    std::shared_ptr<const trend_base> base;
    std::shared_ptr<const trend_cmap> map;
    std::shared_ptr<const std::vector<uint8_t>> hdr[3];
    const char kinds[3] = {'s', 'm', 'h'};
    const uint32_t interval[3] = {1000, 60000, 3600000};
    for (int k = 1; k <= 2; k++) {
        if (!usable(r, k)) continue;
        const trend_dest &d = r->dest[k];
        int slot = k - 1;
        const char *dir = d.dir.c_str();
        if (d.fmt != TREND_FMT_V2) {
            if (!base) {
                auto b = std::make_shared<trend_base>();
                if (trend_base_clone(b.get(), &r->base) != 0) return;
                base = b;
                map = std::make_shared<trend_cmap>(daily ? r->day_map : r->hour_map);
            }
            bool packed = d.fmt == TREND_FMT_V1_PACKED;
            for (int res = daily ? 0 : 2; res < (daily ? 2 : 3); res++) {
                bool on = res == 0 ? r->cfg.sec : (res == 1 ? r->cfg.min : r->cfg.hour);
                if (!on) continue;
                bool mirror = eff_fmt(d.fmt, res) == eff_fmt(main.fmt, res);
                const char *meta = res == 0 ? d.rns : (res == 1 ? d.rnm : d.rnh);
                const char *data = res == 0 ? d.rps : (res == 1 ? d.rpm : d.rph);
                const char *src = res == 0 ? main.rps : (res == 1 ? main.rpm : main.rph);
                trend_alt_job_ensure_v1(r->mirror, slot, kinds[res], dir, meta, data, base, map,
                                        packed, force, mirror ? src : "");
            }
        } else if (daily && r->v2_valid) {
            for (int res = 0; res < 3; res++) {
                bool on = res == 0 ? r->cfg.sec : (res == 1 ? r->cfg.min : r->cfg.hour);
                if (!on) continue;
                const v2_table &t = res == 0 ? r->v2_sec : r->v2_avg;
                if (!hdr[res])
                    hdr[res] = std::make_shared<const std::vector<uint8_t>>(
                        v2_header_blob(&t, kinds[res], d.date, interval[res]));
                char buf[TREND_PATH_MAX], mbuf[TREND_PATH_MAX];
                const char *path = dest_path(d, res, lt, buf);
                bool mirror = main.fmt == TREND_FMT_V2;
                const char *src = mirror ? dest_path(main, res, lt, mbuf) : "";
                trend_alt_job_ensure_v2(r->mirror, slot, dir, path, hdr[res], t.row_size, src);
            }
        }
        if (daily && !force) {
            struct tm copy = *lt;
            trend_alt_job_cleanup(r->mirror, slot, dir, r->cfg.autodel_sec, r->cfg.autodel_min,
                                  r->cfg.autodel_hour, mktime(&copy));
        }
    }
}

void trend_mirror_patch_v2(trend_recorder *r, int v2_slot, const struct tm *now) {
    if (!r->mirror || !r->v2_valid) return;
    for (int k = 1; k <= 2; k++) {
        if (!usable(r, k) || r->dest[k].fmt != TREND_FMT_V2) continue;
        const trend_dest &d = r->dest[k];
        for (int res = 0; res < 3; res++) {
            bool on = res == 0 ? r->cfg.sec : (res == 1 ? r->cfg.min : r->cfg.hour);
            if (!on) continue;
            const v2_table &t = res == 0 ? r->v2_sec : r->v2_avg;
            if (v2_slot < 0 || v2_slot >= (int)t.slots.size()) continue;
            uint8_t rec[V2_SLOT];
            v2_slot_encode(&t.slots[(size_t)v2_slot], rec);
            char buf[TREND_PATH_MAX];
            trend_alt_job_patch_v2(r->mirror, k - 1, dest_path(d, res, now, buf), v2_slot, rec);
        }
    }
}
