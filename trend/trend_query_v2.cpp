// Version-2 seconds files for the query, through the format's reader.

#include <fcntl.h>
#include <math.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "trend_query_int.h"
#include "trend_v2.h"

int trend_q_read_v2(trend_q_ctx *c, const char *path, int64_t midnight) {
    int64_t rel = c->start_ms - midnight;
    if (rel < 0) rel = 0;
    if (rel > (int64_t)TQ_DAY_MS_MAX || midnight > c->end_ms) return 0;
    long long size;
    int fd = trend_q_open_regular(path, &size);
    if (fd < 0) return 0;
    char magic[4];
    if (pread(fd, magic, 4, 0) != 4 || memcmp(magic, "ZQT2", 4) != 0) {
        close(fd);
        return 0;
    }
    trend_q_stream s;
    if (!s.open(fd)) return -1;
    v2r_file vr;
    if (v2r_parse(s.f, &vr) != 0) return 0;
    long rows = v2r_row_count(s.f, &vr);
    int slot[TR_MAX_CHANNELS];
    for (int k = 0; k < c->n; k++) {
        slot[k] = v2r_find_slot(&vr, c->ch[k].norm);
        if (slot[k] >= 0 && vr.slots[(size_t)slot[k]].off < 0) slot[k] = -1;
    }
    // A break is drawn when the spacing is more than twice the interval.
    int64_t thr = vr.interval ? 2LL * vr.interval : 2000;
    int32_t gap = (int32_t)std::min<int64_t>(thr + 1, INT32_MAX);

    int hfd = fileno(s.f);
    auto row_time = [&](long r, uint32_t *ms) {
        uint8_t b[4];
        off_t pos = (off_t)vr.header_size + (off_t)r * vr.row_size;
        if (pread(hfd, b, 4, pos) != 4) return false;
        *ms = trend_q_le32(b);
        return *ms <= TQ_DAY_MS_MAX;
    };
    long lo = 0, hi = rows;
    while (lo < hi) {
        long mid = lo + (hi - lo) / 2;
        uint32_t t;
        if (row_time(mid, &t) && (int64_t)t < rel)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (fseeko(s.f, (off_t)vr.header_size + (off_t)lo * vr.row_size, SEEK_SET) != 0) return 0;
    uint8_t *row = (uint8_t *)malloc((size_t)vr.row_size);
    if (!row) return -1;
    int64_t prev = -1;
    for (long r = lo; r < rows; r++) {
        if (fread(row, 1, (size_t)vr.row_size, s.f) != (size_t)vr.row_size) break;
        long i = trend_q_row_point(c, midnight, trend_q_le32(row), &prev, gap);
        if (i == TQ_ROW_STOP) break;
        if (i == TQ_ROW_SKIP) continue;
        for (int k = 0; k < c->n; k++) {
            if (slot[k] < 0) {
                trend_q_nocol(c, i, k);
                continue;
            }
            if (v2r_missing(&vr, row, slot[k])) continue;
            const v2r_slot *sl = &vr.slots[(size_t)slot[k]];
            double v = v2r_scale(sl, v2r_col(sl, row));
            if (isfinite(v)) trend_q_set(c, i, k, v);
        }
    }
    free(row);
    return 0;
}
