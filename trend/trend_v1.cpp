#include "trend_v1.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "common/atomic_file.h"
#include "common/local_time.h"

static int rpm_create(const char *path);

int trend_filepath(char *out, size_t cap, const char *dir, const struct tm *tm, const char *ext) {
    char stem[32];
    snprintf(stem, sizeof stem, "%02d%02d%02d00", (tm->tm_year + 1900) % 100, tm->tm_mon + 1,
             tm->tm_mday);
    int n = snprintf(out, cap, "%s%s.%s", dir, stem, ext);
    return (n < 0 || (size_t)n >= cap) ? -1 : 0;
}

int trend_filepath_v2(char *out, size_t cap, const char *dir, const struct tm *tm,
                      const char *ext) {
    char stem[32];
    snprintf(stem, sizeof stem, "%04d%02d%02d00", tm->tm_year + 1900, tm->tm_mon + 1, tm->tm_mday);
    int n = snprintf(out, cap, "%s%s.%s", dir, stem, ext);
    return (n < 0 || (size_t)n >= cap) ? -1 : 0;
}

// ---- sidecars ----

static void put_u16(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
static void put_f32(uint8_t *p, float f) {
    memcpy(p, &f, 4);
}
static uint32_t get_u16(const uint8_t *p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8);
}

static void pack_record(uint8_t *rec, unsigned kind, unsigned num, float lo, float hi) {
    put_u16(rec + 78, kind);
    put_u16(rec + 80, num);
    put_f32(rec + 82, lo);
    put_f32(rec + 86, hi);
}

static void placeholder(uint8_t *rec, char letter, int num) {
    char tmp[32];
    int n = snprintf(tmp, sizeof tmp, "%c%d :", letter, num);
    memset(rec, ' ', TREND_LABEL_LEN);
    memcpy(rec, tmp, (size_t)n);
}

static void build_header(uint8_t *h, char kind, int n_an, int n_di) {
    memset(h, 0, META_REC);
    put_f32(h, kind == 's' ? 0.0f : 1.0f);
    h[4] = kind == 's' ? 3 : (kind == 'm' ? 1 : 2);
    memcpy(h + 6, kind == 's' ? "sec " : (kind == 'm' ? "min " : "hour"), 4);
    if (kind == 's') put_u16(h + 10, (uint32_t)(n_an + n_di + 1));
    h[16] = 1;
    memset(h + 18, ' ', 50);
    h[70] = kind == 's' ? 24 : 0;
    h[73] = 2;
    h[74] = 2;
    put_u16(h + 76, 3);
    if (kind == 'h') {
        put_u16(h + 78, (uint32_t)(n_an + n_di));
    } else {
        put_u16(h + 78, (uint32_t)n_an);
        put_u16(h + 80, (uint32_t)n_di);
    }
    h[86] = kind == 's' ? 1 : 0;
    h[88] = 'Z';
}

std::vector<uint8_t> trend_meta_bytes(const trend_base *b, const trend_cmap *m, char kind) {
    trend_cmap derived;
    if (!m || !m->set()) {
        trend_build_cmap(b, &derived);
        m = &derived;
    }
    size_t nrec = 1 + (size_t)m->n_an + (size_t)m->n_di + (kind == 's' ? 1 : 0);
    std::vector<uint8_t> out(nrec * META_REC, 0);
    build_header(out.data(), kind, m->n_an, m->n_di);
    uint8_t *rec = out.data() + META_REC;
    for (int n : m->an) {
        if (n > 0 && n < (int)b->an.size() && b->an[n].label[0]) {
            memcpy(rec, b->an[n].label, TREND_LABEL_LEN);
            pack_record(rec, 1, (unsigned)n, b->an[n].phys_min, b->an[n].phys_max);
        } else {
            placeholder(rec, 'A', n);
            pack_record(rec, 1, (unsigned)n, 0.0f, 0.0f);
        }
        rec += META_REC;
    }
    for (int n : m->di) {
        float lo = 0.0f, hi = 1.0f;
        if (n > 0 && n < (int)b->di.size() && b->di[n].label[0]) {
            memcpy(rec, b->di[n].label, TREND_LABEL_LEN);
            lo = b->di[n].low;
            hi = b->di[n].high;
            if (lo == hi) {
                lo = 0.0f;
                hi = 1.0f;
            }
        } else {
            placeholder(rec, 'D', n);
        }
        pack_record(rec, 3, (unsigned)n, lo, hi);
        rec += META_REC;
    }
    if (kind == 's') {
        memset(rec, ' ', TREND_LABEL_LEN);
        memcpy(rec, "Time : Current Time", 19);
        pack_record(rec, 0, 0, 0.0f, 0.0f);
    }
    return out;
}

static int write_meta(const char *path, const trend_base *b, const trend_cmap *m, char kind) {
    std::vector<uint8_t> bytes = trend_meta_bytes(b, m, kind);
    if (atomic_file_write(path, bytes.data(), bytes.size(), 0644) != 0) {
        fprintf(stderr, "%s: %s\n", path, strerror(errno));
        return -1;
    }
    return 0;
}

static int write_daily_meta(const char *path, const trend_base *b, const trend_cmap *m,
                            const char *name, bool closing) {
    (void)name;
    return write_meta(path, b, m, closing ? 's' : 'm');
}
static int write_monthly_meta(const char *path, const trend_base *b, const trend_cmap *m) {
    return write_meta(path, b, m, 'h');
}
int trend_meta_create_rns(const char *path, const trend_base *b, const trend_cmap *m) {
    return write_daily_meta(path, b, m, "sec ", true);
}
int trend_meta_create_rnm(const char *path, const trend_base *b, const trend_cmap *m) {
    return write_daily_meta(path, b, m, "min ", false);
}
int trend_meta_create_rnh(const char *path, const trend_base *b, const trend_cmap *m) {
    return write_monthly_meta(path, b, m);
}

static long long file_size(const char *path) {
    struct stat st;
    if (!path || !*path || stat(path, &st) != 0) return -1;
    return (long long)st.st_size;
}

// Header and size of a sidecar; false when it cannot be read.
static bool read_meta_header(const char *path, uint8_t h[META_REC], long long *size) {
    FILE *f = fopen(path, "rb");
    if (!f) return false;
    bool ok = fread(h, 1, META_REC, f) == (size_t)META_REC;
    struct stat st;
    ok = ok && fstat(fileno(f), &st) == 0;
    if (ok) *size = (long long)st.st_size;
    fclose(f);
    return ok;
}

int trend_meta_check_match(const char *path, int n_an, int n_di) {
    uint8_t h[META_REC];
    long long size;
    if (!read_meta_header(path, h, &size)) return 0;
    if (get_u16(h + 78) != ((uint32_t)n_an & 0xFFFF) ||
        get_u16(h + 80) != ((uint32_t)n_di & 0xFFFF))
        return 0;
    // A sidecar cut short (or grown) no longer describes the file.
    long long recs = 1 + (long long)n_an + n_di + (h[4] == 3 ? 1 : 0);
    return (h[88] == 'Z' && size == recs * META_REC) ? 1 : 0;
}

static int meta_check_match_rnh(const char *path, int n_an, int n_di) {
    uint8_t h[META_REC];
    long long size;
    if (!read_meta_header(path, h, &size)) return 0;
    if (get_u16(h + 80) != 0 || get_u16(h + 78) != ((uint32_t)(n_an + n_di) & 0xFFFF)) return 0;
    long long recs = 1 + (long long)n_an + n_di;
    return (h[88] == 'Z' && size == recs * META_REC) ? 1 : 0;
}

int trend_meta_load_colmap(const char *path, trend_cmap *out) {
    *out = trend_cmap{};
    out->n_an = 0;
    FILE *f = fopen(path, "rb");
    if (!f) return 0;
    uint8_t h[META_REC], rec[META_REC];
    bool ok = fread(h, 1, META_REC, f) == (size_t)META_REC && h[88] == 'Z';
    size_t got;
    while (ok && (got = fread(rec, 1, META_REC, f)) > 0) {
        if (got != (size_t)META_REC) {  // torn record
            ok = false;
            break;
        }
        unsigned kind = get_u16(rec + 78), num = get_u16(rec + 80);
        if (kind == 0) continue;
        std::vector<int> *list = kind == 1 ? &out->an : (kind == 3 ? &out->di : nullptr);
        if (!list || num == 0 || (!list->empty() && (int)num <= list->back())) {
            ok = false;
            break;
        }
        list->push_back((int)num);
    }
    fclose(f);
    if (ok) {
        // The header's counts must agree with the items (hour sidecars keep
        // the total at byte 78 and 0 at byte 80).
        uint32_t na = (uint32_t)out->an.size(), nd = (uint32_t)out->di.size();
        uint32_t h78 = get_u16(h + 78), h80 = get_u16(h + 80);
        bool per_kind = (na & 0xFFFF) == h78 && (nd & 0xFFFF) == h80;
        bool total = h80 == 0 && ((na + nd) & 0xFFFF) == h78;
        ok = (per_kind || total) && (na + nd) > 0;
    }
    if (!ok) {
        *out = trend_cmap{};
        out->n_an = 0;
        return 0;
    }
    out->n_an = (int)out->an.size();
    out->n_di = (int)out->di.size();
    return 1;
}

// ---- data files ----

int trend_rename_aside(const char *path, char *out_aside, size_t cap) {
    char aside[TREND_PATH_MAX + 16];
    for (int i = 1; i < 1000; i++) {
        snprintf(aside, sizeof aside, "%s.old%d", path, i);
        if (access(aside, F_OK) == 0) continue;
        if (rename(path, aside) != 0) return -1;
        if (out_aside && cap) snprintf(out_aside, cap, "%s", aside);
        return 0;
    }
    return -1;
}

// The sidecar no longer tells how the rows of a non-empty data file are laid
// out: keep those rows under another name rather than cutting them to a
// width they were not written with.
static void set_aside_unknown_layout(const char *meta, const char *data) {
    if (file_size(data) <= 0) return;
    char aside[TREND_PATH_MAX + 16];
    if (trend_rename_aside(data, aside, sizeof aside) == 0) {
        printf("[trend] %s: layout unknown (sidecar %s missing or different) — kept as %s\n", data,
               meta, aside);
        if (file_size(meta) >= 0) {
            char meta_aside[TREND_PATH_MAX + 32];
            const char *suffix = aside + strlen(data);
            snprintf(meta_aside, sizeof meta_aside, "%s%s", meta, suffix);
            if (access(meta_aside, F_OK) != 0) rename(meta, meta_aside);
        }
    } else {
        fprintf(stderr, "[trend] %s: cannot rename aside: %s\n", data, strerror(errno));
    }
}

bool trend_rps_times_ascend(FILE *f, long width, long rows) {
    if (rows < 1) return true;
    long k = rows < 8 ? rows : 8;
    long long prev = -1;
    for (long i = 0; i < k; i++) {
        long r = k == 1 ? 0 : i * (rows - 1) / (k - 1);
        uint32_t c;
        if (fseeko(f, (off_t)r * width + width - 4, SEEK_SET) != 0 || fread(&c, 4, 1, f) != 1)
            return false;
        if (c > 86399999u || (long long)c <= prev) return false;
        prev = c;
    }
    return true;
}

// A seconds file whose time column does not line up at this width was
// written with another layout (for example unpacked discretes).
static bool rps_fits_width(const char *data, long width) {
    FILE *f = fopen(data, "rb");
    if (!f) return true;
    struct stat st;
    bool ok =
        fstat(fileno(f), &st) != 0 || trend_rps_times_ascend(f, width, (long)(st.st_size / width));
    fclose(f);
    return ok;
}

static int ensure_pair(const char *meta, const char *data, const trend_base *b, const trend_cmap *m,
                       char kind, bool packed, bool force) {
    int n_an, n_di;
    trend_map_counts(b, m, &n_an, &n_di);
    int match = kind == 'h' ? meta_check_match_rnh(meta, n_an, n_di)
                            : trend_meta_check_match(meta, n_an, n_di);
    int d = packed ? trend_w_di(n_di) : n_di;
    long width =
        kind == 's' ? 4L * (n_an + d + 1) : (kind == 'm' ? 4L * (n_an + d) : 4L * (n_an + n_di));
    if (match && kind == 's' && !rps_fits_width(data, width)) match = 0;
    int rewrote = 0;
    if (force || !match) {
        if (!match) set_aside_unknown_layout(meta, data);
        printf("[trend] Creating %s\n", meta);
        if (write_meta(meta, b, m, kind) == 0) rewrote = 1;
    }
    trend_truncate_to_row(data, width);
    if (kind != 's' && file_size(data) < 0) {
        printf("[trend] Creating %s\n", data);
        rpm_create(data);
    }
    return rewrote;
}

int trend_ensure_sec_meta(const char *meta, const char *data, const trend_base *b,
                          const trend_cmap *m, bool packed, bool force) {
    return ensure_pair(meta, data, b, m, 's', packed, force);
}
int trend_ensure_min_meta(const char *meta, const char *data, const trend_base *b,
                          const trend_cmap *m, bool packed, bool force) {
    return ensure_pair(meta, data, b, m, 'm', packed, force);
}
int trend_ensure_hour_meta(const char *meta, const char *data, const trend_base *b,
                           const trend_cmap *m, bool force) {
    return ensure_pair(meta, data, b, m, 'h', false, force);
}

static bool write_all(int fd, const void *p, size_t len) {
    const char *c = (const char *)p;
    while (len > 0) {
        ssize_t w = write(fd, c, len);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        c += w;
        len -= (size_t)w;
    }
    return true;
}

// Appends len bytes to an open O_APPEND descriptor whose size is `size`;
// a short write is cut back so no partial row stays.
static int append_fd(int fd, long long size, const void *bytes, size_t len) {
    if (write_all(fd, bytes, len)) return 0;
    int e = errno;
    if (size >= 0 && ftruncate(fd, (off_t)size) != 0) { /* nothing more to do */
    }
    errno = e;
    return -1;
}

int trend_append(const char *path, const void *bytes, size_t len) {
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    struct stat st;
    long long size = fstat(fd, &st) == 0 ? (long long)st.st_size : -1;
    int rc = append_fd(fd, size, bytes, len);
    close(fd);
    return rc;
}

static std::vector<uint32_t> pad_row(int an_cells, int packed_cells) {
    std::vector<uint32_t> row((size_t)an_cells + (size_t)packed_cells, TREND_CELL_NODATA);
    for (int i = 0; i < packed_cells; i++)
        row[(size_t)an_cells + i] = TREND_PACKED_EMPTY;
    return row;
}

static int pad_fd(int fd, long long size, int an_cells, int packed_cells, long first, long end) {
    if (first >= end || an_cells + packed_cells <= 0) return 0;
    std::vector<uint32_t> row = pad_row(an_cells, packed_cells);
    size_t w = row.size() * 4;
    for (long r = first; r < end; r++) {
        if (append_fd(fd, size, row.data(), w) != 0) return -1;
        size += (long long)w;
    }
    return 0;
}

int trend_pad_gap2(const char *path, int an_cells, int packed_cells, long first, long end) {
    if (first >= end || an_cells + packed_cells <= 0) return 0;
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    struct stat st;
    long long size = fstat(fd, &st) == 0 ? (long long)st.st_size : -1;
    int rc = pad_fd(fd, size, an_cells, packed_cells, first, end);
    close(fd);
    return rc;
}

int trend_pad_gap(const char *path, int cells, long first, long end) {
    return trend_pad_gap2(path, cells, 0, first, end);
}

static int truncate_fd(int fd, const char *path, long long size, long width, long long *out) {
    long long rem = size % width;
    *out = size;
    if (rem == 0) return 0;
    if (ftruncate(fd, (off_t)(size - rem)) != 0) return -1;
    printf("[trend] truncated %s: removed %lld-byte partial row (was %lld → %lld)\n", path, rem,
           size, size - rem);
    *out = size - rem;
    return 0;
}

int trend_truncate_to_row(const char *path, long width) {
    if (!path || !*path || width <= 0) return 0;
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    struct stat st;
    int rc = 0;
    long long out;
    if (fstat(fd, &st) == 0) rc = truncate_fd(fd, path, (long long)st.st_size, width, &out);
    close(fd);
    return rc;
}

int trend_write_row_at(const char *path, const void *row, size_t width, long r, int pad_an,
                       int pad_packed) {
    if (width == 0 || r < 0) return -1;
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    struct stat st;
    int rc = -1;
    long long size;
    if (fstat(fd, &st) == 0 &&
        truncate_fd(fd, path, (long long)st.st_size, (long)width, &size) == 0) {
        long count = (long)(size / (long long)width);
        if (count > r) {
            rc = 1;  // the place is taken: never shift the rows after it
        } else if (pad_fd(fd, size, pad_an, pad_packed, count, r) == 0) {
            rc = append_fd(fd, size + (long long)(r - count) * (long long)width, row, width);
        }
    }
    close(fd);
    return rc;
}

static int rph_create(const char *path) {
    FILE *f = fopen(path, "wb");
    if (!f) {
        fprintf(stderr, "%s: %s\n", path, strerror(errno));
        return -1;
    }
    fclose(f);
    return 0;
}
static int rpm_create(const char *path) {
    return rph_create(path);
}

int trend_file_copy(const char *src, const char *dst) {
    std::string tmp = std::string(dst) + ".tmp";
    int in = open(src, O_RDONLY | O_CLOEXEC);
    if (in < 0) return -1;
    int out = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        close(in);
        return -1;
    }
    std::vector<char> buf(65536);
    bool ok = true;
    for (;;) {
        ssize_t n = read(in, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        if (!write_all(out, buf.data(), (size_t)n)) {
            ok = false;
            break;
        }
    }
    close(in);
    ok = close(out) == 0 && ok;
    if (!ok || rename(tmp.c_str(), dst) != 0) {
        unlink(tmp.c_str());
        return -1;
    }
    return 0;
}

int trend_file_append_range(const char *src, const char *dst, long long from, long long to) {
    if (from >= to) return 0;
    int in = open(src, O_RDONLY | O_CLOEXEC);
    if (in < 0) return -1;
    int out = open(dst, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0) {
        close(in);
        return -1;
    }
    std::vector<char> buf(65536);
    bool ok = true;
    while (from < to) {
        size_t want = (size_t)std::min<long long>((long long)buf.size(), to - from);
        ssize_t n = pread(in, buf.data(), want, (off_t)from);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || !write_all(out, buf.data(), (size_t)n)) {
            ok = false;
            break;
        }
        from += n;
    }
    close(in);
    close(out);
    return ok ? 0 : -1;
}

static bool all_digits(const char *s, int n) {
    for (int i = 0; i < n; i++)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

static int num_at(const char *s, int n) {
    int v = 0;
    for (int i = 0; i < n; i++)
        v = v * 10 + (s[i] - '0');
    return v;
}

int trend_name_date(const char *name, int *y, int *mo, int *d) {
    size_t len = strlen(name);
    if (len == 12 && name[8] == '.' && all_digits(name, 8)) {
        *y = 2000 + num_at(name, 2);
        *mo = num_at(name + 2, 2);
        *d = num_at(name + 4, 2);
    } else if (len == 14 && name[10] == '.' && all_digits(name, 10)) {
        *y = num_at(name, 4);
        *mo = num_at(name + 4, 2);
        *d = num_at(name + 6, 2);
    } else {
        return -1;
    }
    if (*y < 2000 || *y > 2200 || *mo < 1 || *mo > 12 || *d < 1 || *d > 31) return -1;
    return 0;
}

int trend_cleanup(const char *dir, int sec_days, int min_days, int hour_days, time_t now) {
    if (!dir || !*dir || (sec_days == 0 && min_days == 0 && hour_days == 0)) return 0;
    DIR *dp = opendir(dir);
    if (!dp) return 0;
    struct tm today {};
    bool have_today = zq_epoch_local((int64_t)now, &today);
    int removed = 0;
    while (struct dirent *de = readdir(dp)) {
        int y, mo, d;
        if (trend_name_date(de->d_name, &y, &mo, &d) != 0) continue;
        time_t t = (time_t)zq_local_epoch(y, mo, d, 0, 0, 0);
        if (t == 0 || t == (time_t)-1) continue;
        const char *ext = strrchr(de->d_name, '.') + 1;
        int keep;
        if (!strcmp(ext, "rps") || !strcmp(ext, "rns"))
            keep = sec_days;
        else if (!strcmp(ext, "rpm") || !strcmp(ext, "rnm"))
            keep = min_days;
        else if (!strcmp(ext, "rph") || !strcmp(ext, "rnh"))
            keep = hour_days;
        else
            continue;
        if (keep < 1) continue;
        // The file of the period still being written is never old: an hour
        // file is dated by its month's first day, so a retention shorter
        // than the month would otherwise delete it mid-month.
        bool this_month = have_today && y == today.tm_year + 1900 && mo == today.tm_mon + 1;
        bool hourly = ext[2] == 'h';
        if (this_month && (hourly || d == today.tm_mday)) continue;
        double age = difftime(now, t) / 86400.0;
        if (age > keep) {
            std::string full = std::string(dir);
            if (full.back() != '/') full += '/';
            full += de->d_name;
            printf("[trend] Removing %s (%.0f days old, retention %d)\n", full.c_str(), age, keep);
            if (unlink(full.c_str()) == 0) removed++;
        }
    }
    closedir(dp);
    return removed;
}
