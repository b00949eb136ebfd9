// Version-1 seconds files for the query: a file may lack its sidecar or
// have been written with another channel count, so the row width is found
// from the time column, and the sidecar's column map is read leniently.

#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "trend_query_int.h"
#include "trend_v1.h"

namespace {

constexpr int SIDE_REC = 90;
constexpr int SIDE_MAX_COUNT = 32000;
// Enough records for two full u16 channel ranges; a longer sidecar is junk.
constexpr long SIDE_MAX_RECS = 2L * 65536 + 2;

uint32_t u16_at(const uint8_t *p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8);
}

std::string sidecar_path(const char *data_path) {
    std::string m = data_path;
    if (m.size() >= 2) m[m.size() - 2] = 'n';
    return m;
}

bool pread_u32(int fd, long long off, uint32_t *v) {
    uint8_t b[4];
    if (off < 0 || pread(fd, b, 4, (off_t)off) != 4) return false;
    *v = trend_q_le32(b);
    return true;
}

// Time cell of row r, or -1 when unreadable or out of the day.
int64_t time_cell(int fd, long long width, long cells, long r) {
    uint32_t t;
    if (!pread_u32(fd, (long long)r * width + 4LL * (cells - 1), &t) || t > TQ_DAY_MS_MAX)
        return -1;
    return t;
}

bool detect_fd(int fd, long long size, int an, int di, long *cells, long *tcol) {
    if (size <= 0 || size % 4 != 0) return false;
    std::vector<long> cand;
    if ((long)an + di - 1 > an) cand.push_back((long)an + di - 1);
    for (long n = (long)an + 1; n <= (long)an + di + 2; n++)
        cand.push_back(n);
    for (long n : cand)
        if (size % (4 * n) == 0 && trend_try_rps_nc(fd, size, n, cells, tcol)) return true;
    // A torn last row: accept widths that do not divide the size.
    for (long n : cand)
        if (trend_try_rps_nc(fd, size, n, cells, tcol)) return true;
    return false;
}

// Break threshold from the spacing of the file's last rows.
int32_t gap_threshold(int fd, long long width, long cells, long rows, bool packed) {
    int64_t diffs[256];
    int nd = 0;
    int64_t prev = -1;
    for (long r = std::max(rows - 257, 0L); r < rows && nd < 256; r++) {
        int64_t t = time_cell(fd, width, cells, r);
        if (t < 0) {
            prev = -1;
            continue;
        }
        if (prev >= 0 && t > prev) diffs[nd++] = t - prev;
        prev = t;
    }
    if (nd >= 8) {
        std::sort(diffs, diffs + nd);
        return (int32_t)std::max<int64_t>(3 * diffs[nd / 2], 2500);
    }
    return packed ? 10000 : 2000;
}

// Where a requested channel lives in a row.
struct v1_col {
    enum { NONE, ANALOG, CELL, PAIR } kind = NONE;
    long idx = 0;  // cell index, or pair index for PAIR
};

}  // namespace

bool trend_rns_sidecar_counts(const char *data_path, int *an, int *di) {
    std::string m = sidecar_path(data_path);
    long long size;
    int fd = trend_q_open_regular(m.c_str(), &size);
    if (fd < 0) return false;
    uint8_t h[SIDE_REC];
    bool ok = pread(fd, h, SIDE_REC, 0) == SIDE_REC;
    close(fd);
    if (!ok) return false;
    uint32_t a = u16_at(h + 78), d = u16_at(h + 80);
    if (a < 1 || a > SIDE_MAX_COUNT || d > SIDE_MAX_COUNT) return false;
    *an = (int)a;
    *di = (int)d;
    return true;
}

bool trend_read_colmap(const char *data_path, const int *want_an, int n_an, int *an_idx,
                       const int *want_di, int n_di, int *di_idx) {
    for (int i = 0; i < n_an; i++)
        an_idx[i] = -1;
    for (int i = 0; i < n_di; i++)
        di_idx[i] = -1;
    std::string m = sidecar_path(data_path);
    long long size;
    int fd = trend_q_open_regular(m.c_str(), &size);
    if (fd < 0) return false;
    trend_q_stream s;
    if (!s.open(fd)) return false;
    uint8_t rec[SIDE_REC];
    if (fread(rec, 1, SIDE_REC, s.f) != (size_t)SIDE_REC) return false;
    long items = 0, ia = 0, id = 0;
    for (long n = 0; n < SIDE_MAX_RECS && fread(rec, 1, SIDE_REC, s.f) == (size_t)SIDE_REC; n++) {
        uint32_t kind = u16_at(rec + 78), num = u16_at(rec + 80);
        if (kind == 1) {
            for (int i = 0; i < n_an; i++)
                if ((uint32_t)want_an[i] == num) an_idx[i] = (int)ia;
            ia++;
            items++;
        } else if (kind == 3) {
            for (int i = 0; i < n_di; i++)
                if ((uint32_t)want_di[i] == num) di_idx[i] = (int)id;
            id++;
            items++;
        }
    }
    return items > 0;
}

bool trend_try_rps_nc(int fd, long long size, long cells, long *cells_out, long *time_col) {
    if (cells < 1) return false;
    long long width = 4LL * cells;
    long long rows = size / width;
    if (rows < 1 || rows > TR_MAX_POINTS) return false;
    long k = rows < 8 ? (long)rows : 8;
    int64_t prev = -1;
    for (long i = 0; i < k; i++) {
        long r = k == 1 ? 0 : (long)(i * (rows - 1) / (k - 1));
        int64_t t = time_cell(fd, width, cells, r);
        if (t < 0 || t <= prev) return false;
        prev = t;
    }
    *cells_out = cells;
    *time_col = cells - 1;
    return true;
}

bool trend_detect_rps_params(const char *data_path, int an, int di, long *cells, long *time_col) {
    long long size;
    int fd = trend_q_open_regular(data_path, &size);
    if (fd < 0) return false;
    int a, d;
    if (!trend_rns_sidecar_counts(data_path, &a, &d)) {
        a = an;
        d = di;
    }
    bool ok = detect_fd(fd, size, a, d, cells, time_col);
    close(fd);
    return ok;
}

int trend_q_read_v1(trend_q_ctx *c, const char *path, int64_t midnight) {
    int64_t rel = c->start_ms - midnight;
    if (rel < 0) rel = 0;
    if (rel > (int64_t)TQ_DAY_MS_MAX || midnight > c->end_ms) return 0;
    long long size;
    int fd = trend_q_open_regular(path, &size);
    if (fd < 0) return 0;
    int a, d;
    if (!trend_rns_sidecar_counts(path, &a, &d)) {
        a = c->an;
        d = c->di;
    }
    long cells, tcol;
    if (!detect_fd(fd, size, a, d, &cells, &tcol)) {
        close(fd);
        return 0;
    }
    long long width = 4LL * cells;
    long rows = (long)(size / width);
    long packed_cells = cells - 1 - a;
    bool packed = cells != (long)a + d + 1 && packed_cells >= 1 && d >= 1 &&
                  packed_cells == ((long)d + 15) / 16;

    // Columns of the requested channels.
    int want_an[TR_MAX_CHANNELS], want_di[TR_MAX_CHANNELS], an_idx[TR_MAX_CHANNELS],
        di_idx[TR_MAX_CHANNELS], slot[TR_MAX_CHANNELS];
    int na = 0, nd = 0;
    for (int k = 0; k < c->n; k++) {
        if (c->ch[k].letter == 'A') {
            slot[k] = na;
            want_an[na++] = c->ch[k].num;
        } else {
            slot[k] = nd;
            want_di[nd++] = c->ch[k].num;
        }
    }
    bool have_map = trend_read_colmap(path, want_an, na, an_idx, want_di, nd, di_idx);
    v1_col col[TR_MAX_CHANNELS];
    for (int k = 0; k < c->n; k++) {
        long idx;
        if (c->ch[k].letter == 'A') {
            idx = have_map ? an_idx[slot[k]] : (long)c->ch[k].num - 1;
            if (idx >= 0) col[k] = {v1_col::ANALOG, idx};
        } else {
            // Without a map the discretes are taken as channels 1..d in
            // order, packed or not, like the recorder's default map.
            idx = have_map ? di_idx[slot[k]] : (long)c->ch[k].num - 1;
            if (idx >= 0)
                col[k] = packed ? v1_col{v1_col::PAIR, idx} : v1_col{v1_col::CELL, a + idx};
        }
    }
    int32_t gap = gap_threshold(fd, width, cells, rows, packed);

    // First row at or after the window start.
    long lo = 0, hi = rows;
    while (lo < hi) {
        long mid = lo + (hi - lo) / 2;
        int64_t t = time_cell(fd, width, cells, mid);
        if (t >= 0 && t < rel)
            lo = mid + 1;
        else
            hi = mid;
    }
    long first = 0;
    if (rel > 10999) first = std::min(lo, (long)(rel / 1000 - 10));

    trend_q_stream s;
    if (!s.open(fd)) return -1;
    if (fseeko(s.f, (off_t)(first * width), SEEK_SET) != 0) return 0;
    std::vector<uint32_t> row((size_t)cells);
    int64_t prev = -1;
    for (long r = first; r < rows; r++) {
        if (fread(row.data(), 4, (size_t)cells, s.f) != (size_t)cells) break;
        long i = trend_q_row_point(c, midnight, row[(size_t)tcol], &prev, gap);
        if (i == TQ_ROW_STOP) break;
        if (i == TQ_ROW_SKIP) continue;
        for (int k = 0; k < c->n; k++) {
            const v1_col &cc = col[k];
            long cell = cc.kind == v1_col::PAIR ? a + cc.idx / 16 : cc.idx;
            if (cc.kind == v1_col::NONE || cell >= tcol) {
                trend_q_nocol(c, i, k);
                continue;
            }
            uint32_t v = row[(size_t)cell];
            if (cc.kind == v1_col::ANALOG) {
                if (v == TREND_CELL_NODATA || (v & 7) != 0) continue;
                float f;
                memcpy(&f, &v, 4);
                if (isfinite(f)) trend_q_set(c, i, k, f);
            } else if (cc.kind == v1_col::CELL) {
                trend_q_set(c, i, k, (double)v);
            } else {
                // Code 3 is bad quality or no data; 2 is never written.
                uint32_t code = (v >> (2 * (cc.idx % 16))) & 3;
                if (code <= 1) trend_q_set(c, i, k, (double)code);
            }
        }
    }
    return 0;
}
