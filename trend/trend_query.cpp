// The trend query: visits the days of the window, reads each day's
// version-1 and version-2 seconds files, merges them by time, marks the
// gaps with break points and fills the rest of the window with missing
// points.

#include "trend_query.h"

#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "trend_query_int.h"
#include "tz.h"

// Years the file names can express: version 1 "YYMMDD00" (2000–2099),
// version 2 "YYYYMMDD00" as the recorder's name check accepts (2000–2200).
constexpr int TQ_V1_YEAR_LAST = 2099;
constexpr int TQ_YEAR_FIRST = 2000;
constexpr int TQ_V2_YEAR_LAST = 2200;
constexpr int TQ_COUNT_MAX = 32000;  // largest channel count a sidecar may give

int trend_q_open_regular(const char *path, long long *size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    *size = st.st_size;
    return fd;
}

bool trend_q_stream::open(int fd) {
    buf = (char *)malloc(TQ_READ_BUF);
    f = buf ? fdopen(fd, "rb") : nullptr;
    if (!f) {
        close(fd);
        return false;
    }
    setvbuf(f, buf, _IOFBF, TQ_READ_BUF);
    return true;
}

bool trend_query_parse_name(const char *name, char *letter, int *number) {
    size_t len = strnlen(name, 8);
    if (len < 2 || len > 7) return false;
    char l = name[0];
    if (l == 'a' || l == 'd') l = (char)(l - 'a' + 'A');
    if (l != 'A' && l != 'D') return false;
    int v = 0;
    for (size_t i = 1; i < len; i++) {
        if (name[i] < '0' || name[i] > '9') return false;
        v = v * 10 + (name[i] - '0');  // at most 6 digits
    }
    if (v < 1) return false;
    *letter = l;
    *number = v;
    return true;
}

namespace {

struct free_del {
    void operator()(void *p) const { free(p); }
};

// Working buffers of the day merge, allocated on first need.
struct merge_bufs {
    std::unique_ptr<int32_t[], free_del> order;
    std::unique_ptr<int64_t[], free_del> tmp;
    bool ensure() {
        if (!order) order.reset((int32_t *)malloc(sizeof(int32_t) * TR_MAX_POINTS));
        if (!tmp) tmp.reset((int64_t *)malloc(sizeof(int64_t) * TR_MAX_POINTS));
        return order && tmp;
    }
};

constexpr int32_t BREAK = -1;

// Orders the day's points [a, c) (version-1 points [a, b), version-2 points
// [b, c), each ascending) by time, drops points not after their
// predecessor and inserts a break point before every point whose distance
// to the previous one reaches its threshold. *last / *have_last carry the
// newest point across days so a missing day is a gap too.
int finish_day(trend_q_ctx *c, merge_bufs *mb, long a, long b, long cnt, int64_t *last,
               bool *have_last) {
    trend_query_result *r = c->r;
    long n = cnt - a;
    if (n <= 0) return 0;
    if (!mb->ensure()) return -1;
    int32_t *order = mb->order.get();
    // Merge of the two ascending runs into an index order.
    long i = a, j = b, k = 0;
    while (i < b || j < cnt) {
        bool take_i = j >= cnt || (i < b && r->times[i] <= r->times[j]);
        order[k++] = (int32_t)(take_i ? i++ : j++) - (int32_t)a;
    }
    // Final sequence: kept point indices and breaks, within the capacity.
    int32_t *seq = order;  // rewritten in place: seq never overtakes order
    std::unique_ptr<int32_t[], free_del> grown;
    long room = TR_MAX_POINTS - a, m = 0;
    const int64_t before = *last;
    int64_t lt = before;
    bool hl = *have_last, identity = true;
    for (long x = 0; x < n && m < room; x++) {
        int32_t p = order[x];
        int64_t t = r->times[a + p];
        if (hl && t <= lt) {
            identity = false;
            continue;
        }
        int32_t g = r->gap_ms[a + p];
        if (hl && g > 0 && t - lt >= g && lt + 1000 < t) {
            if (!grown) {
                // Breaks make the sequence longer than the order it reads.
                grown.reset((int32_t *)malloc(sizeof(int32_t) * TR_MAX_POINTS));
                if (!grown) return -1;
                memcpy(grown.get(), seq, sizeof(int32_t) * (size_t)m);
                seq = grown.get();
            }
            seq[m++] = BREAK;
            identity = false;
            if (m >= room) break;
        }
        if (p != m) identity = false;
        seq[m++] = p;
        lt = t;
        hl = true;
    }
    *last = lt;
    *have_last = hl;
    if (identity && m == n) return 0;

    // Rewrite the arrays in the final order through one scratch column.
    int64_t *tmp = mb->tmp.get();
    memcpy(tmp, r->times + a, sizeof(int64_t) * (size_t)n);
    // A break always follows a kept point (of this day or an earlier one).
    int64_t prev_t = before;
    for (long x = 0; x < m; x++) {
        if (seq[x] == BREAK) {
            r->times[a + x] = prev_t + 1000;
        } else {
            prev_t = tmp[seq[x]];
            r->times[a + x] = prev_t;
        }
    }
    double *dt = (double *)tmp;
    uint8_t *st = (uint8_t *)tmp;
    for (int ch = 0; ch < c->n; ch++) {
        trend_query_chan *q = &r->ch[ch];
        memcpy(dt, q->values + a, sizeof(double) * (size_t)n);
        for (long x = 0; x < m; x++)
            q->values[a + x] = seq[x] == BREAK ? 0 : dt[seq[x]];
        memcpy(st, q->status + a, (size_t)n);
        for (long x = 0; x < m; x++)
            q->status[a + x] = seq[x] == BREAK ? (uint8_t)TQ_MISSING : st[seq[x]];
    }
    r->count = (uint32_t)(a + m);
    return 0;
}

}  // namespace

int trend_query(trend_query_result *r, const char *dir, char res, const struct tm *start,
                const struct tm *end, const char *const *names, int n, int an_count, int di_count) {
    if (!r || !dir || !start || !end || !names || res != 's' || n < 1 || n > TR_MAX_CHANNELS)
        return -1;
    trend_q_ctx c;
    c.r = r;
    c.n = n;
    for (int k = 0; k < n; k++) {
        if (!names[k] || !trend_query_parse_name(names[k], &c.ch[k].letter, &c.ch[k].num))
            return -1;
        snprintf(c.ch[k].norm, sizeof c.ch[k].norm, "%c%d", c.ch[k].letter, c.ch[k].num);
    }
    r->count = 0;
    r->nch = (uint32_t)n;
    for (int k = 0; k < TR_MAX_CHANNELS; k++) {
        memset(r->ch[k].name, 0, sizeof r->ch[k].name);
        r->ch[k].has_data = 0;
        if (k < n) memcpy(r->ch[k].name, names[k], strnlen(names[k], 7));
    }
    c.an = an_count < 1 ? 299 : std::min(an_count, TQ_COUNT_MAX);
    c.di = di_count < 1 ? 511 : std::min(di_count, TQ_COUNT_MAX);
    c.start_ms = tz_local_tm_to_unix_ms(start);
    c.end_ms = tz_local_tm_to_unix_ms(end);

    merge_bufs mb;
    int64_t last = 0;
    bool have_last = false;
    struct tm day = *start;
    tz_normalize_tm(&day);
    day.tm_hour = day.tm_min = day.tm_sec = 0;
    if (day.tm_year + 1900 < TQ_YEAR_FIRST) {
        day = tm{};
        day.tm_year = TQ_YEAR_FIRST - 1900;
        day.tm_mday = 1;
    }
    while (c.start_ms <= c.end_ms && r->count < (uint32_t)TR_MAX_POINTS) {
        int year = day.tm_year + 1900;
        int64_t midnight = tz_local_tm_to_unix_ms(&day);
        if (year > TQ_V2_YEAR_LAST || midnight > c.end_ms) break;
        char path[1024];
        long a = (long)r->count;
        if (year <= TQ_V1_YEAR_LAST &&
            snprintf(path, sizeof path, "%s/%02d%02d%02d00.%s", dir, year % 100, day.tm_mon + 1,
                     day.tm_mday, "rps") < (int)sizeof path &&
            trend_q_read_v1(&c, path, midnight) != 0)
            return -1;
        long b = (long)r->count;
        if (snprintf(path, sizeof path, "%s/%04d%02d%02d00.%s", dir, year, day.tm_mon + 1,
                     day.tm_mday, "rps") < (int)sizeof path &&
            trend_q_read_v2(&c, path, midnight) != 0)
            return -1;
        if (finish_day(&c, &mb, a, b, (long)r->count, &last, &have_last) != 0) return -1;
        day.tm_mday++;
        tz_normalize_tm(&day);
    }

    // Missing points at one-second spacing up to the window end.
    int64_t t0 = r->count ? r->times[r->count - 1] + 1000 : c.start_ms;
    for (int64_t t = t0; t <= c.end_ms; t += 1000)
        if (trend_q_add_point(&c, t, 0) < 0) break;

    for (int k = 0; k < n; k++) {
        const uint8_t *s = r->ch[k].status;
        for (uint32_t i = 0; i < r->count && !r->ch[k].has_data; i++)
            if (s[i] == TQ_VALUE) r->ch[k].has_data = 1;
    }
    return 0;
}
