#include "trend_mirror.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "common/atomic_file.h"
#include "common/parse_util.h"
#include "trend_v1.h"
#include "trend_v2.h"

namespace {

enum { J_APPEND = 1, J_INDEP = 2, J_ENSURE_V1 = 4, J_ENSURE_V2 = 7, J_PATCH = 8, J_CLEANUP = 9 };

constexpr size_t REDO_MAX = 32;
constexpr size_t FINAL_MAX = 16;
constexpr int64_t V2_HDR_MAX = V2_HDR + (int64_t)V2_SLOT * 65536;

struct alt_job {
    int kind = 0;
    int res = 0;
    uint64_t seq = 0;
    std::string main_path, path, dir, meta;
    size_t width = 0;          // mirror: row width
    std::vector<uint8_t> row;  // mirror: empty when the row is taken from the main file
    long long main_size = 0;
    trend_alt_row how;
    char ekind = 0;
    std::shared_ptr<const trend_base> base;
    std::shared_ptr<const trend_cmap> map;
    std::shared_ptr<const std::vector<uint8_t>> header;
    int row_size = 0;
    bool packed = false, force = false;
    std::vector<std::pair<int, std::vector<uint8_t>>> patches;  // v2 slot, record
    int keep[3] = {};
    time_t now = 0;
};

// A mirror file that must be brought level with its main file.
struct sync_pair {
    std::string main, alt;
    size_t width = 0;
    uint64_t seq = 0;
};

enum job_src { SRC_RING, SRC_APPEND, SRC_REDO, SRC_FINAL };

struct alt_slot {
    int idx = 0;
    std::string dir, canon;
    std::string mount_point;  // "" when the directory is no share
    bool enabled = false;

    std::mutex mu;  // guards everything up to the worker-only part
    std::condition_variable cv;
    alt_job app[3];
    bool pending[3] = {};
    int last_res = 2;
    std::deque<alt_job> ring;
    std::deque<alt_job> redo;               // ensure and patch jobs that failed or were dropped
    std::deque<sync_pair> finals;           // mirrors of earlier periods still to level
    sync_pair cur[3];                       // the mirror each resolution writes now
    std::map<std::string, alt_job> v2_ens;  // latest v2 ensure per path
    int64_t retry_ms = 0;
    bool down = false;
    bool stop = false, finished = false;
    uint64_t seq = 0;

    bool refused = false;  // worker only
    std::string warned_layout;
};

}  // namespace

struct trend_mirror {
    trend_mirror_opts o;
    alt_slot slot[TREND_ALT_SLOTS];
    std::mutex done_mu;
    std::condition_variable done_cv;
};

static int64_t clock_ms(const trend_mirror *m) {
    if (m->o.now_ms) return m->o.now_ms();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void trend_mirror_opts_env(trend_mirror_opts *o) {
    const char *r = getenv("ZQ_MOUNT_ROOT");
    if (r && *r) o->mount_root = r;
    const char *p = getenv("ZQ_PROC_MOUNTS");
    if (p && *p) o->proc_mounts = p;
}

// ---- health ----

static bool alt_ok(const trend_mirror *m, const alt_slot &s) {
    return clock_ms(m) >= s.retry_ms;
}

static void alt_report(const trend_mirror *m, alt_slot &s, bool ok) {
    std::lock_guard<std::mutex> lk(s.mu);
    if (ok) {
        if (s.down) printf("[trend] alt-path slot %d reachable again — resuming\n", s.idx);
        s.down = false;
        s.retry_ms = 0;
        return;
    }
    s.retry_ms = clock_ms(m) + TREND_ALT_RETRY_S * 1000LL;
    if (!s.down)
        printf(
            "[trend] alt-path slot %d unavailable — skipping it (retry every %ds), mainpath + "
            "other alt keep writing normally\n",
            s.idx, TREND_ALT_RETRY_S);
    s.down = true;
}

static bool same_dir(const std::string &a, const std::string &b) {
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

static void refuse_msg(int idx, const std::string &dir, const std::string &other) {
    printf(
        "[trend] alt-path slot %d: %s is the same directory as %s — refused, that alt path will "
        "not be written\n",
        idx, dir.c_str(), other.c_str());
}

// May the worker touch the alternate now? Not while its share is unmounted
// (the writes would fill the local disk under the mount point), never once
// it turned out to be the main directory (a bind mount made later).
static bool alt_usable(const trend_mirror *m, alt_slot &s) {
    if (s.refused) return false;
    if (!s.mount_point.empty() && trend_mount_listed(m->o.proc_mounts.c_str(), s.mount_point) != 1)
        return false;
    if (same_dir(s.dir, m->o.main_dir)) {
        s.refused = true;
        refuse_msg(s.idx, s.dir, m->o.main_dir);
        return false;
    }
    return true;
}

// ---- file helpers ----

// Size of a regular file; -1 when missing, -2 when it is something else
// (a FIFO would block the worker) or cannot be looked at.
static long long reg_size(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return errno == ENOENT ? -1 : -2;
    return S_ISREG(st.st_mode) ? (long long)st.st_size : -2;
}

static bool read_at(const std::string &path, std::vector<uint8_t> *out, size_t len) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    out->resize(len);
    size_t got = 0;
    while (got < len) {
        ssize_t n = pread(fd, out->data() + got, len - got, (off_t)got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += (size_t)n;
    }
    close(fd);
    return got == len;
}

static uint32_t le32(const uint8_t *p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

// Header size of a version-2 file from its first 64 bytes; 0 when it is not
// one.
static int64_t v2_hdr_size(const std::vector<uint8_t> &h) {
    if (h.size() < (size_t)V2_HDR || memcmp(h.data(), "ZQT2", 4) != 0) return 0;
    int64_t hs = le32(h.data() + 8);
    uint32_t slots = le32(h.data() + 12);
    if (slots < 1 || slots > 65536 || hs != V2_HDR + (int64_t)V2_SLOT * slots) return 0;
    return hs;
}

// Two v2 headers lay rows out alike: the same fixed header and value types.
// Names, ranges and texts may differ (slot patches).
static bool v2_same_layout(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b) {
    if (a.size() != b.size() || a.size() < (size_t)V2_HDR) return false;
    if (memcmp(a.data(), b.data(), V2_HDR) != 0) return false;
    for (size_t off = V2_HDR; off + V2_SLOT <= a.size(); off += V2_SLOT)
        if (a[off + 9] != b[off + 9]) return false;
    return true;
}

static bool pwrite_all(const std::string &path, const std::vector<uint8_t> &b) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < b.size()) {
        ssize_t n = pwrite(fd, b.data() + done, b.size() - done, (off_t)done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += (size_t)n;
    }
    return close(fd) == 0 && done == b.size();
}

static bool cut_to(const std::string &path, long long size) {
    return truncate(path.c_str(), (off_t)size) == 0;
}

// Brings a mirror level with its main file: missing rows are copied from
// the main file, a mirror that is longer or laid out differently is
// replaced by a whole copy.
static bool mirror_level(const std::string &main, const std::string &alt, size_t width) {
    long long msz = reg_size(main);
    if (msz == -1) return true;  // nothing to mirror (yet)
    if (msz < 0) return false;
    long long asz = reg_size(alt);
    if (asz == -2) return false;
    if (asz == -1) return trend_file_copy(main.c_str(), alt.c_str()) == 0;
    long long base = 0;
    std::vector<uint8_t> mh;
    if (msz >= V2_HDR && read_at(main, &mh, V2_HDR) && v2_hdr_size(mh) > 0) {
        base = v2_hdr_size(mh);
        width = le32(mh.data() + 16);
        std::vector<uint8_t> mhead, ahead;
        if (msz < base || !read_at(main, &mhead, (size_t)base)) return false;
        if (asz < base || !read_at(alt, &ahead, (size_t)base) || !v2_same_layout(mhead, ahead))
            return trend_file_copy(main.c_str(), alt.c_str()) == 0;
        // Slot records patched while the share was away.
        if (mhead != ahead && !pwrite_all(alt, mhead)) return false;
    }
    if (width == 0 || asz > msz) return trend_file_copy(main.c_str(), alt.c_str()) == 0;
    // Whole rows only: the main thread may be halfway through its next row.
    long long mwhole = base + (msz - base) / (long long)width * (long long)width;
    long long awhole = base + (asz - base) / (long long)width * (long long)width;
    if (awhole != asz && !cut_to(alt, awhole)) return false;
    return trend_file_append_range(main.c_str(), alt.c_str(), awhole, mwhole) == 0;
}

static bool mirror_append(const alt_job &j) {
    long long asz = reg_size(j.path);
    if (asz == -2) return false;
    if (asz == -1) return trend_file_copy(j.main_path.c_str(), j.path.c_str()) == 0;
    if (!j.row.empty() && asz + (long long)j.row.size() == j.main_size)
        return trend_append(j.path.c_str(), j.row.data(), j.row.size()) == 0;
    return mirror_level(j.main_path, j.path, j.width);
}

static bool v2_write_header(const std::string &path, const std::vector<uint8_t> &h) {
    return atomic_file_write(path.c_str(), h.data(), h.size(), 0644) == 0;
}

static bool ensure_v2(const alt_job &j) {
    if (zq_mkdirs(j.dir.c_str(), 0755) != 0) return false;
    const std::vector<uint8_t> &h = *j.header;
    long long sz = reg_size(j.path);
    if (sz == -2) return false;
    if (sz < (long long)h.size()) {
        if (sz > 0) trend_rename_aside(j.path.c_str(), nullptr, 0);
        return v2_write_header(j.path, h);
    }
    std::vector<uint8_t> have;
    if (!read_at(j.path, &have, h.size())) return false;
    if (!v2_same_layout(have, h)) {
        // Never append onto another layout: a mirror takes the main file
        // whole, an own-encoding file starts again beside the old one.
        if (!j.main_path.empty() && reg_size(j.main_path) >= (long long)h.size())
            return trend_file_copy(j.main_path.c_str(), j.path.c_str()) == 0;
        char aside[TREND_PATH_MAX + 16] = "";
        if (trend_rename_aside(j.path.c_str(), aside, sizeof aside) != 0) return false;
        printf("[trend] %s: v2 layout differs from today's table — kept as %s, recreating\n",
               j.path.c_str(), aside);
        return v2_write_header(j.path, h);
    }
    long long rem = (sz - (long long)h.size()) % j.row_size;
    return rem == 0 || cut_to(j.path, sz - rem);
}

static bool ensure_v1(const alt_job &j) {
    if (zq_mkdirs(j.dir.c_str(), 0755) != 0) return false;
    if (reg_size(j.meta) == -2 || reg_size(j.path) == -2) return false;
    const trend_base *b = j.base.get();
    const trend_cmap *m = j.map.get();
    if (j.ekind == 's')
        trend_ensure_sec_meta(j.meta.c_str(), j.path.c_str(), b, m, j.packed, j.force);
    else if (j.ekind == 'm')
        trend_ensure_min_meta(j.meta.c_str(), j.path.c_str(), b, m, j.packed, j.force);
    else
        trend_ensure_hour_meta(j.meta.c_str(), j.path.c_str(), b, m, j.force);
    // The ensure step reports no write failure: look at what it left.
    int n_an, n_di;
    trend_map_counts(b, m, &n_an, &n_di);
    if (reg_size(j.meta) < (long long)META_REC) return false;
    if (j.ekind != 's' && reg_size(j.path) < 0) return false;
    return j.ekind == 'h' || trend_meta_check_match(j.meta.c_str(), n_an, n_di) == 1;
}

// Own-encoding row. A v2 file must carry the table's layout, a v1 file
// gets the row at its position (gaps padded, a partial row cut first).
static int append_indep_once(const alt_job &j) {
    const trend_alt_row &w = j.how;
    if (w.fmt == 2) {
        long long sz = reg_size(j.path);
        if (sz == -2) return -1;
        if (sz < V2_HDR) return -3;
        std::vector<uint8_t> h;
        if (!read_at(j.path, &h, V2_HDR)) return -1;
        if (v2_hdr_size(h) != w.hdr_size || (int)le32(h.data() + 16) != w.row_size) return -2;
        if (sz < w.hdr_size) return -3;
        long long rem = (sz - w.hdr_size) % w.row_size;
        if (rem && !cut_to(j.path, sz - rem)) return -1;
        return trend_append(j.path.c_str(), j.row.data(), j.row.size()) == 0 ? 0 : -1;
    }
    if (reg_size(j.path) == -2) return -1;
    if (w.row_index >= 0) {
        int rc = trend_write_row_at(j.path.c_str(), j.row.data(), j.row.size(), w.row_index,
                                    w.an_cells, w.packed_cells);
        return rc < 0 ? -1 : 0;  // 1: the row is there already
    }
    if (trend_truncate_to_row(j.path.c_str(), (long)j.row.size()) != 0) return -1;
    return trend_append(j.path.c_str(), j.row.data(), j.row.size()) == 0 ? 0 : -1;
}

static bool append_indep(alt_slot &s, const alt_job &j) {
    int rc = append_indep_once(j);
    if (rc == -2 || rc == -3) {
        // The file is gone or laid out otherwise (replaced behind the
        // recorder's back): ensure it again with today's header, retry once.
        alt_job ens;
        bool have;
        {
            std::lock_guard<std::mutex> lk(s.mu);
            auto it = s.v2_ens.find(j.path);
            have = it != s.v2_ens.end();
            if (have) ens = it->second;
        }
        if (have && !ensure_v2(ens)) return false;
        rc = append_indep_once(j);
    }
    if (rc == -2) {
        // The share answers; only this row cannot go to that file.
        if (s.warned_layout != j.path)
            printf("[trend] %s: alt file layout differs from today's table — rows not written\n",
                   j.path.c_str());
        s.warned_layout = j.path;
        return true;
    }
    return rc == 0;
}

// ---- queues ----

// Keeps a failed or dropped ensure or patch job for a later run; a newer
// ensure of the same file replaces an older one.
static void redo_add(alt_slot &s, const alt_job &j) {
    if (j.kind != J_ENSURE_V1 && j.kind != J_ENSURE_V2 && j.kind != J_PATCH) return;
    if (j.kind != J_PATCH)
        for (auto it = s.redo.begin(); it != s.redo.end(); ++it)
            if (it->kind == j.kind && it->path == j.path) {
                s.redo.erase(it);
                break;
            }
    if (s.redo.size() >= REDO_MAX) s.redo.pop_front();
    s.redo.push_back(j);
}

static void redo_done(alt_slot &s, const alt_job &j) {
    for (auto it = s.redo.begin(); it != s.redo.end(); ++it)
        if (it->seq == j.seq ||
            (j.kind != J_PATCH && it->kind == j.kind && it->path == j.path && it->seq < j.seq)) {
            s.redo.erase(it);
            return;
        }
}

static alt_slot *slot_of(trend_mirror *m, int slot) {
    if (!m || slot < 0 || slot >= TREND_ALT_SLOTS || !m->slot[slot].enabled) return nullptr;
    return &m->slot[slot];
}

static void push_structural(alt_slot &s, alt_job &&j) {
    {
        std::lock_guard<std::mutex> lk(s.mu);
        j.seq = ++s.seq;
        // A reload patches many slots: one waiting job per file takes them all.
        if (j.kind == J_PATCH)
            for (alt_job &q : s.ring)
                if (q.kind == J_PATCH && q.path == j.path) {
                    q.patches.push_back(std::move(j.patches[0]));
                    return;
                }
        if ((int)s.ring.size() >= TREND_ALT_RING) {
            printf(
                "[trend] alt worker slot %d structural queue full — dropping oldest pending "
                "job\n",
                s.idx);
            redo_add(s, s.ring.front());
            s.ring.pop_front();
        }
        if (j.kind == J_ENSURE_V2) {
            if (s.v2_ens.size() >= 6 && !s.v2_ens.count(j.path)) {
                auto oldest = s.v2_ens.begin();
                for (auto it = s.v2_ens.begin(); it != s.v2_ens.end(); ++it)
                    if (it->second.seq < oldest->second.seq) oldest = it;
                s.v2_ens.erase(oldest);
            }
            s.v2_ens[j.path] = j;
        }
        s.ring.push_back(std::move(j));
    }
    s.cv.notify_one();
}

static void push_append(alt_slot &s, alt_job &&j) {
    {
        std::lock_guard<std::mutex> lk(s.mu);
        j.seq = ++s.seq;
        int r = j.res;
        if (j.kind == J_APPEND) {
            // A mirror whose file changed (a new day or month) is levelled
            // once more: its last rows may have been overwritten here or
            // missed while the share was away.
            sync_pair &c = s.cur[r];
            if (!c.alt.empty() && c.alt != j.path) {
                bool known = false;
                for (const sync_pair &p : s.finals)
                    known = known || p.alt == c.alt;
                if (!known) {
                    if (s.finals.size() >= FINAL_MAX) s.finals.pop_front();
                    c.seq = j.seq;
                    s.finals.push_back(c);
                }
            }
            c.main = j.main_path;
            c.alt = j.path;
            c.width = j.width;
        }
        s.app[r] = std::move(j);
        s.pending[r] = true;
    }
    s.cv.notify_one();
}

// Next job to run, with s.mu held.
static bool take(trend_mirror *m, alt_slot &s, alt_job *j, job_src *src, sync_pair *pair) {
    if (!s.ring.empty()) {
        *j = std::move(s.ring.front());
        s.ring.pop_front();
        *src = SRC_RING;
        return true;
    }
    bool ok = alt_ok(m, s);
    if (ok && !s.redo.empty()) {
        *j = s.redo.front();
        *src = SRC_REDO;
        return true;
    }
    if (ok && !s.finals.empty()) {
        *pair = s.finals.front();
        *src = SRC_FINAL;
        return true;
    }
    for (int k = 1; k <= 3; k++) {
        int r = (s.last_res + k) % 3;
        if (!s.pending[r]) continue;
        s.pending[r] = false;
        s.last_res = r;
        *j = std::move(s.app[r]);
        s.app[r] = alt_job{};
        *src = SRC_APPEND;
        return true;
    }
    return false;
}

static bool health_checked(int kind) {
    return kind == J_APPEND || kind == J_INDEP || kind == J_PATCH;
}

static void run_job(trend_mirror *m, alt_slot &s, alt_job &j, job_src src) {
    // Appends and patches wait out the back-off without touching the share;
    // ensure steps always try, so the day's files exist as soon as it is back.
    if (health_checked(j.kind) && src != SRC_REDO) {
        bool ok;
        {
            std::lock_guard<std::mutex> lk(s.mu);
            ok = alt_ok(m, s);
            if (!ok && j.kind == J_PATCH) redo_add(s, j);
        }
        if (!ok) return;
    }
    if (!alt_usable(m, s)) {
        if (s.refused) return;
        if (j.kind != J_CLEANUP) {
            std::lock_guard<std::mutex> lk(s.mu);
            if (src != SRC_REDO) redo_add(s, j);
        }
        if (j.kind != J_CLEANUP) alt_report(m, s, false);
        return;
    }
    bool ok = true;
    switch (j.kind) {
        case J_APPEND:
            ok = mirror_append(j);
            break;
        case J_INDEP:
            ok = append_indep(s, j);
            break;
        case J_ENSURE_V1:
            ok = ensure_v1(j);
            break;
        case J_ENSURE_V2:
            ok = ensure_v2(j);
            break;
        case J_PATCH:
            // A file that is gone gets the whole header at its next ensure.
            if (reg_size(j.path) == -1) break;
            for (const auto &p : j.patches)
                ok = ok && v2_chan_patch(j.path.c_str(), p.first, p.second.data()) == 0;
            break;
        case J_CLEANUP:
            trend_cleanup(j.dir.c_str(), j.keep[0], j.keep[1], j.keep[2], j.now);
            return;
    }
    {
        std::lock_guard<std::mutex> lk(s.mu);
        if (ok)
            redo_done(s, j);
        else if (src != SRC_REDO)
            redo_add(s, j);
    }
    alt_report(m, s, ok);
}

static void run_final(trend_mirror *m, alt_slot &s, const sync_pair &p) {
    bool ok = alt_usable(m, s) && mirror_level(p.main, p.alt, p.width);
    if (s.refused) ok = true;
    if (ok) {
        std::lock_guard<std::mutex> lk(s.mu);
        for (auto it = s.finals.begin(); it != s.finals.end(); ++it)
            if (it->seq == p.seq && it->alt == p.alt) {
                s.finals.erase(it);
                break;
            }
    }
    alt_report(m, s, ok);
}

static void run_taken(trend_mirror *m, alt_slot &s, alt_job &j, job_src src, sync_pair &p) {
    if (src == SRC_FINAL)
        run_final(m, s, p);
    else
        run_job(m, s, j, src);
}

// At stop: level every current mirror so the alternate ends equal to the
// main files, unless the share is away.
static void level_all(trend_mirror *m, alt_slot &s) {
    sync_pair cur[3];
    {
        std::lock_guard<std::mutex> lk(s.mu);
        if (!alt_ok(m, s)) return;
        for (int r = 0; r < 3; r++)
            cur[r] = s.cur[r];
    }
    for (const sync_pair &p : cur)
        if (!p.alt.empty() && alt_usable(m, s)) mirror_level(p.main, p.alt, p.width);
}

static void worker(trend_mirror *m, alt_slot *sp) {
    alt_slot &s = *sp;
    for (;;) {
        alt_job j;
        job_src src;
        sync_pair p;
        {
            std::unique_lock<std::mutex> lk(s.mu);
            bool got = false;
            for (;;) {
                got = take(m, s, &j, &src, &p);
                if (got || s.stop) break;
                // Held-back jobs are retried when the back-off ends.
                if (!s.redo.empty() || !s.finals.empty())
                    s.cv.wait_for(lk, std::chrono::milliseconds(500));
                else
                    s.cv.wait(lk);
            }
            if (!got) break;
        }
        run_taken(m, s, j, src, p);
    }
    level_all(m, s);
    // Notified under the lock: the stopping thread may free m right after.
    std::lock_guard<std::mutex> lk(m->done_mu);
    s.finished = true;
    m->done_cv.notify_all();
}

// ---- start and stop ----

trend_mirror *trend_mirror_start(const trend_mirror_opts &o) {
    trend_mirror *m = new trend_mirror;
    m->o = o;
    // The main directory exists from here on, so that an alternate that
    // leads to it (a symbolic link, a bind mount) can be recognised.
    if (!o.main_dir.empty()) zq_mkdirs(o.main_dir.c_str(), 0755);
    std::string main_canon = trend_resolve_dir(o.main_dir);
    for (int i = 0; i < TREND_ALT_SLOTS; i++) {
        alt_slot &s = m->slot[i];
        s.idx = i;
        s.dir = o.alt[i];
        if (s.dir.empty()) continue;
        s.canon = trend_resolve_dir(s.dir);
        if (s.canon == main_canon || same_dir(s.dir, o.main_dir)) {
            refuse_msg(i, s.dir, o.main_dir);
            continue;
        }
        if (i == 1 && m->slot[0].enabled &&
            (s.canon == m->slot[0].canon || same_dir(s.dir, m->slot[0].dir))) {
            refuse_msg(i, s.dir, m->slot[0].dir);
            continue;
        }
        s.mount_point = trend_mount_point_of(s.dir, o.mount_root);
        if (s.mount_point.empty()) {
            // A link that leads onto a share counts as the share.
            std::string root = trend_resolve_dir(o.mount_root);
            s.mount_point = trend_mount_point_of(s.canon, root);
        }
        s.enabled = true;
        if (!o.threads) continue;
        try {
            std::thread(worker, m, &s).detach();
        } catch (...) {
            s.enabled = false;
            printf(
                "[trend] failed to start alt worker for slot %d — that alt path will not be "
                "written\n",
                i);
        }
    }
    return m;
}

bool trend_mirror_enabled(const trend_mirror *m, int slot) {
    return m && slot >= 0 && slot < TREND_ALT_SLOTS && m->slot[slot].enabled;
}

bool trend_mirror_down(trend_mirror *m, int slot) {
    alt_slot *s = slot_of(m, slot);
    if (!s) return false;
    std::lock_guard<std::mutex> lk(s->mu);
    return s->down;
}

int trend_mirror_run(trend_mirror *m) {
    int n = 0;
    for (alt_slot &s : m->slot) {
        if (!s.enabled) continue;
        for (;;) {
            alt_job j;
            job_src src;
            sync_pair p;
            {
                std::lock_guard<std::mutex> lk(s.mu);
                if (!take(m, s, &j, &src, &p)) break;
            }
            run_taken(m, s, j, src, p);
            n++;
        }
    }
    return n;
}

void trend_mirror_stop(trend_mirror *m, int wait_ms) {
    if (!m) return;
    bool threads = m->o.threads;
    for (alt_slot &s : m->slot) {
        if (!s.enabled) continue;
        {
            std::lock_guard<std::mutex> lk(s.mu);
            s.stop = true;
        }
        s.cv.notify_one();
    }
    if (!threads) {
        trend_mirror_run(m);
        for (alt_slot &s : m->slot)
            if (s.enabled) level_all(m, s);
        delete m;
        return;
    }
    std::unique_lock<std::mutex> lk(m->done_mu);
    bool all = m->done_cv.wait_for(lk, std::chrono::milliseconds(wait_ms), [&] {
        for (const alt_slot &s : m->slot)
            if (s.enabled && !s.finished) return false;
        return true;
    });
    lk.unlock();
    // A worker still inside a hung share keeps the mirror: freeing it under
    // the worker would be worse than leaving it to the process's end.
    if (all) delete m;
}

// ---- producers ----

void trend_alt_job_append(trend_mirror *m, int slot, int res, const char *main_path,
                          const char *alt_path, long long main_size, const void *row, size_t len) {
    alt_slot *s = slot_of(m, slot);
    if (!s || !alt_path || !*alt_path || res < 0 || res > 2) return;
    alt_job j;
    j.kind = J_APPEND;
    j.res = res;
    j.main_path = main_path;
    j.path = alt_path;
    j.main_size = main_size;
    j.width = len;
    // A row too large for the job is taken from the main file instead.
    if (len <= TREND_ALT_ROW_MAX) j.row.assign((const uint8_t *)row, (const uint8_t *)row + len);
    push_append(*s, std::move(j));
}

void trend_alt_job_append_indep(trend_mirror *m, int slot, int res, const char *alt_path,
                                const trend_alt_row &how, const void *row, size_t len) {
    alt_slot *s = slot_of(m, slot);
    if (!s || !alt_path || !*alt_path || res < 0 || res > 2 || len == 0) return;
    alt_job j;
    j.kind = J_INDEP;
    j.res = res;
    j.path = alt_path;
    j.how = how;
    j.row.assign((const uint8_t *)row, (const uint8_t *)row + len);
    push_append(*s, std::move(j));
}

void trend_alt_job_ensure_v1(trend_mirror *m, int slot, char kind, const char *dir,
                             const char *meta, const char *data,
                             std::shared_ptr<const trend_base> base,
                             std::shared_ptr<const trend_cmap> map, bool packed, bool force,
                             const char *mirror_src) {
    alt_slot *s = slot_of(m, slot);
    if (!s || !base || !map) return;
    alt_job j;
    j.kind = J_ENSURE_V1;
    j.ekind = kind;
    j.dir = dir;
    j.meta = meta;
    j.path = data;
    j.main_path = mirror_src ? mirror_src : "";
    j.base = std::move(base);
    j.map = std::move(map);
    j.packed = packed;
    j.force = force;
    push_structural(*s, std::move(j));
}

void trend_alt_job_ensure_v2(trend_mirror *m, int slot, const char *dir, const char *path,
                             std::shared_ptr<const std::vector<uint8_t>> header, int row_size,
                             const char *mirror_src) {
    alt_slot *s = slot_of(m, slot);
    if (!s || !header || header->size() < (size_t)V2_HDR || (int64_t)header->size() > V2_HDR_MAX ||
        row_size <= 0)
        return;
    alt_job j;
    j.kind = J_ENSURE_V2;
    j.dir = dir;
    j.path = path;
    j.main_path = mirror_src ? mirror_src : "";
    j.header = std::move(header);
    j.row_size = row_size;
    push_structural(*s, std::move(j));
}

void trend_alt_job_patch_v2(trend_mirror *m, int slot, const char *path, int v2_slot,
                            const uint8_t rec[160]) {
    alt_slot *s = slot_of(m, slot);
    if (!s || !path || !*path) return;
    alt_job j;
    j.kind = J_PATCH;
    j.path = path;
    j.patches.emplace_back(v2_slot, std::vector<uint8_t>(rec, rec + V2_SLOT));
    push_structural(*s, std::move(j));
}

void trend_alt_job_cleanup(trend_mirror *m, int slot, const char *dir, int sec_days, int min_days,
                           int hour_days, time_t now) {
    alt_slot *s = slot_of(m, slot);
    if (!s || (sec_days == 0 && min_days == 0 && hour_days == 0)) return;
    alt_job j;
    j.kind = J_CLEANUP;
    j.dir = dir;
    j.keep[0] = sec_days;
    j.keep[1] = min_days;
    j.keep[2] = hour_days;
    j.now = now;
    push_structural(*s, std::move(j));
}
