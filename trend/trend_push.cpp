// The push workers: per destination and resolution, today's version-2 file
// is replicated to the trend server from the byte count the server reports,
// header first, then whole rows and patched slot records; past days are
// back-filled on request. The server's count is the only cursor.

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "common/crc32.h"
#include "trend_push_int.h"

namespace {

constexpr long long kChunk = 8ll << 20;
constexpr int kFramesPerPass = 64;
constexpr int kFramesBackfill = 100000;

std::mutex g_mu;  // back-fill claim, status file, reported state
std::condition_variable g_cv;
std::atomic<bool> g_running{false};
push_start_args g_args;
std::vector<std::unique_ptr<push_dest_state>> g_dests;

// An open local day file with its checked header.
struct local_file {
    int fd = -1;
    long long size = 0, hs = 0, end = 0;  // end: after the last whole row
    uint32_t slots = 0, row = 0;
    ino_t ino = 0;
    std::vector<uint8_t> hdr;
    ~local_file() {
        if (fd >= 0) close(fd);
    }
};

uint32_t le32(const uint8_t *p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

std::string day_path(uint32_t date, int res) {
    char name[32];
    snprintf(name, sizeof name, "%08u00.%s", date, push_kind_ext(res));
    return g_args.maindir + name;
}

// 1 open with a valid version-2 start and a whole header, 0 not (yet) usable.
int local_open(const std::string &path, local_file *lf) {
    lf->fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (lf->fd < 0) return 0;
    struct stat st;
    uint8_t h[24];
    if (fstat(lf->fd, &st) != 0 || pread(lf->fd, h, sizeof h, 0) != (ssize_t)sizeof h) return 0;
    lf->slots = le32(h + 12);
    lf->row = le32(h + 16);
    if (memcmp(h, "ZQT2", 4) != 0 || lf->slots < 1 || lf->slots > 65536 || lf->row < 8 ||
        lf->row > (16u << 20) || le32(h + 8) != 64 + 160 * lf->slots)
        return 0;
    lf->hs = 64 + 160ll * lf->slots;
    lf->size = st.st_size;
    lf->ino = st.st_ino;
    if (lf->size < lf->hs) return 0;
    lf->end = lf->hs + (lf->size - lf->hs) / lf->row * lf->row;
    lf->hdr.resize((size_t)lf->hs);
    if (pread(lf->fd, lf->hdr.data(), lf->hdr.size(), 0) != (ssize_t)lf->hdr.size()) return 0;
    return 1;
}

bool read_at(const local_file &lf, long long off, long long n, std::vector<uint8_t> *buf) {
    buf->resize((size_t)n);
    long long got = 0;
    while (got < n) {
        ssize_t r = pread(lf.fd, buf->data() + got, (size_t)(n - got), off + got);
        if (r <= 0) return false;
        got += r;
    }
    return true;
}

bool local_crc(const local_file &lf, long long len, uint32_t *crc) {
    uint32_t c = 0xFFFFFFFFu;
    std::vector<uint8_t> buf;
    for (long long off = 0; off < len;) {
        long long n = len - off < (1 << 20) ? len - off : (1 << 20);
        if (!read_at(lf, off, n, &buf)) return false;
        c = crc32_update(c, buf.data(), buf.size());
        off += n;
    }
    *crc = ~c;
    return true;
}

// --- exchanges --------------------------------------------------------------

int exchange(push_dest_state &d, const char *method, const std::string &path,
             const std::vector<uint8_t> *body, push_reply *rep) {
    push_http_opts o;
    o.running = &g_running;
    std::string token;
    {
        std::lock_guard<std::mutex> lk(g_mu);
        token = d.token;
    }
    d.last_transport_fail = push_http_do(d.url, method, path, token, body ? body->data() : nullptr,
                                         body ? body->size() : 0, rep, o) != 0;
    if (d.last_transport_fail) return 0;
    // Any answer but these is a refusal the status file shows.
    if (rep->status != 200 && rep->status != 409) d.blocked = true;
    return rep->status;
}

std::string query(const push_dest_state &d, const char *ep, uint32_t date) {
    char b[64];
    snprintf(b, sizeof b, "&date=%08u", date);
    return std::string("/api/trend/") + ep + "?src=" + push_pct_encode(d.src) + b;
}

// Server's byte count of a day's file; false on any failure.
bool get_cursor(push_dest_state &d, int res, uint32_t date, long long *have) {
    push_reply rep;
    if (exchange(d, "GET", query(d, "cursor", date), nullptr, &rep) != 200) return false;
    long long v;
    if (push_answer_num(rep.body, "free", &v) && v >= 0) d.remote_free = (unsigned long long)v;
    if (push_answer_num(rep.body, "total", &v) && v >= 0) d.remote_total = (unsigned long long)v;
    return push_answer_num(rep.body, push_kind_ext(res), have) && *have >= 0;
}

// CRC of the server's first len bytes; false on failure or when the server
// holds fewer.
bool get_hash(push_dest_state &d, int res, uint32_t date, long long len, uint32_t *crc) {
    char b[64];
    snprintf(b, sizeof b, "&kind=%s&len=%lld", push_kind_ext(res), len);
    push_reply rep;
    if (exchange(d, "GET", query(d, "hash", date) + b, nullptr, &rep) != 200) return false;
    long long have;
    return push_answer_num(rep.body, "have", &have) && have >= len &&
           push_answer_hex(rep.body, "crc", crc);
}

int post(push_dest_state &d, const push_frame &f, push_reply *rep) {
    std::vector<uint8_t> wire = push_frame_wire(&f, d.deflate);
    std::string path = "/api/trend/ingest?src=" + push_pct_encode(d.src);
    return exchange(d, "POST", path, &wire, rep);
}

// A frame of one record.
int post_one(push_dest_state &d, int res, int op, uint32_t date, uint64_t off, const uint8_t *data,
             size_t len, push_reply *rep) {
    push_frame f;
    push_frame_init(&f);
    push_frame_add(&f, res, op, date, off, data, (uint32_t)len);
    return post(d, f, rep);
}

void mark_ok(push_dest_state &d) {
    d.last_ok_ms = g_args.now_ms();
    d.blocked = false;
}

// Sends the header record; on return the cursor is at least the header
// size, or the result says why not.
int send_header(push_dest_state &d, int res, uint32_t date, const local_file &lf,
                long long *cursor) {
    push_reply rep;
    int st = post_one(d, res, PUSH_OP_HEADER, date, 0, lf.hdr.data(), lf.hdr.size(), &rep);
    long long have;
    if (st == 0) return PUSH_FAIL;
    if (st == 200) {
        mark_ok(d);
        *cursor = lf.hs;
        return PUSH_OK;
    }
    if (st == 409 && push_answer_num(rep.body, "have", &have) && have >= lf.hs) {
        *cursor = have;
        return have > lf.size ? PUSH_LAYOUT : PUSH_OK;
    }
    d.blocked = true;
    return PUSH_REFUSED;
}

// Sends whole rows (first completing a row the server holds in part) from
// the cursor up to end.
int send_rows(push_dest_state &d, int res, uint32_t date, const local_file &lf, long long *cursor,
              long long end, int max_frames, long long *pushed) {
    std::vector<uint8_t> buf;
    for (int frames = 0; *cursor < end && frames < max_frames; frames++) {
        if (!g_running) return PUSH_FAIL;
        long long c = *cursor;
        if (c < lf.hs) return PUSH_FAIL;  // the caller sends the header first
        long long part = (c - lf.hs) % lf.row;
        long long n =
            part ? lf.row - part : (end - c < kChunk ? end - c : kChunk) / lf.row * lf.row;
        if (n <= 0 || c + n > end) break;
        if (!read_at(lf, c, n, &buf)) return PUSH_FAIL;
        push_reply rep;
        int st = post_one(d, res, PUSH_OP_BYTES, date, (uint64_t)c, buf.data(), (size_t)n, &rep);
        long long have;
        if (st == 0) return PUSH_FAIL;
        if (st == 200) {
            mark_ok(d);
            *cursor = c + n;
            if (pushed) *pushed += n;
        } else if (st == 409) {
            if (!push_answer_num(rep.body, "have", &have) || have < 0) return PUSH_FAIL;
            if (have > lf.size) return PUSH_LAYOUT;
            if (have == c) return PUSH_FAIL;  // the server refuses its own count
            *cursor = have;
            if (have < lf.hs) return PUSH_OK;  // header again on the next pass
        } else {
            d.blocked = true;
            return PUSH_REFUSED;
        }
    }
    return PUSH_OK;
}

int send_slots(push_dest_state &d, int res, uint32_t date, const local_file &lf,
               const std::vector<uint8_t> *old) {
    push_frame f;
    push_frame_init(&f);
    auto flush = [&]() {
        if (f.count == 0) return PUSH_OK;
        push_reply rep;
        int st = post(d, f, &rep);
        push_frame_init(&f);
        if (st == 200) return mark_ok(d), PUSH_OK;
        if (st == 0) return PUSH_FAIL;
        d.blocked = true;
        return PUSH_REFUSED;
    };
    for (uint32_t s = 0; s < lf.slots; s++) {
        size_t off = 64 + 160 * (size_t)s;
        if (old && !memcmp(old->data() + off, lf.hdr.data() + off, 160)) continue;
        push_frame_add(&f, res, PUSH_OP_SLOT, date, off, lf.hdr.data() + off, 160);
        if (f.count == PUSH_SLOT_FRAME) {
            int r = flush();
            if (r != PUSH_OK) return r;
        }
    }
    return flush();
}

void layout_block(push_dest_state &d, int res, push_res_state &st, const char *why) {
    if (!st.layout_block)
        printf("[push] dest %d: %08u00.%s: %s — not appended to the server's copy\n", d.idx,
               st.date, push_kind_ext(res), why);
    st.layout_block = true;
}

// One pass over one day's file of a resolution. *caught_up: the server holds
// every whole row the file had at the start of the pass.
int sync_day(push_dest_state &d, int res, push_res_state &st, bool *caught_up) {
    *caught_up = true;
    local_file lf;
    if (!local_open(day_path(st.date, res), &lf) || st.layout_block) return PUSH_OK;
    if (st.have_ino && (lf.ino != st.ino || lf.size < st.local_size))
        layout_block(d, res, st, "the local file was recreated");
    else if (!st.hdr.empty() &&
             (le32(st.hdr.data() + 12) != lf.slots || le32(st.hdr.data() + 16) != lf.row))
        layout_block(d, res, st, "slot count or row size changed");
    st.have_ino = true;
    st.ino = lf.ino;
    st.local_size = lf.size;
    if (st.layout_block) return PUSH_OK;
    bool fresh = false;
    if (!st.valid) {
        if (!get_cursor(d, res, st.date, &st.cursor)) return PUSH_FAIL;
        st.valid = fresh = true;
        // A copy of another layout on the server must not grow by our rows.
        uint32_t mine, theirs;
        if (st.cursor >= 64 && st.cursor <= lf.size) {
            if (!get_hash(d, res, st.date, 64, &theirs)) return PUSH_FAIL;
            if (!local_crc(lf, 64, &mine)) return PUSH_FAIL;
            if (mine != theirs) layout_block(d, res, st, "the server's copy has another header");
        }
    }
    if (st.cursor > lf.size) layout_block(d, res, st, "the server holds more than the local file");
    if (st.layout_block) return PUSH_OK;
    *caught_up = false;
    if (st.cursor < lf.hs) {
        int r = send_header(d, res, st.date, lf, &st.cursor);
        if (r == PUSH_LAYOUT) layout_block(d, res, st, "the server holds more than the local file");
        if (r != PUSH_OK) return r == PUSH_LAYOUT ? PUSH_OK : r;
        st.hdr = lf.hdr;
    }
    if (st.hdr.empty() ? (fresh && st.cursor > lf.hs) : st.hdr != lf.hdr) {
        int r = send_slots(d, res, st.date, lf, st.hdr.empty() ? nullptr : &st.hdr);
        if (r != PUSH_OK) return r;
    }
    st.hdr = lf.hdr;
    // After a restart the server's rows may come from an earlier file of
    // the same name; rows of this one must not be appended to them.
    if (fresh && st.cursor > lf.hs) {
        uint32_t mine, theirs;
        if (!get_hash(d, res, st.date, st.cursor, &theirs) || !local_crc(lf, st.cursor, &mine))
            return PUSH_FAIL;
        if (mine != theirs) {
            layout_block(d, res, st, "the server's copy differs from the local file");
            return PUSH_OK;
        }
    }
    int r = send_rows(d, res, st.date, lf, &st.cursor, lf.end, kFramesPerPass, nullptr);
    if (r == PUSH_LAYOUT) {
        layout_block(d, res, st, "the server holds more than the local file");
        r = PUSH_OK;
    }
    *caught_up = st.layout_block || st.cursor >= lf.end;
    return r;
}

uint32_t ymd_of(int64_t ms) {
    time_t t = (time_t)(ms / 1000);
    struct tm lt;
    localtime_r(&t, &lt);
    return (uint32_t)((lt.tm_year + 1900) * 10000 + (lt.tm_mon + 1) * 100 + lt.tm_mday);
}

// The recorder has finished its midnight tick once a row of the new day is
// down; without one, a quarter of an hour on its clock is taken as enough.
bool recorder_moved_on(uint32_t today, int64_t since_ms) {
    for (int res = PUSH_RES_SEC; res <= PUSH_RES_MIN; res++) {
        local_file lf;
        if (local_open(day_path(today, res), &lf) && lf.end > lf.hs) return true;
    }
    return g_args.now_ms() - since_ms >= 15 * 60 * 1000;
}

// Today's pass for one resolution; on a date change the previous day is
// finished first, so the rows written into it at midnight reach the server.
int pass_res(push_dest_state &d, int res, uint32_t today) {
    push_res_state &cur = d.cur[res], &prev = d.prev[res];
    if (cur.date != today) {
        if (cur.date) {
            prev = cur;
            d.prev_since_ms[res] = g_args.now_ms();
        }
        cur = push_res_state();
        cur.date = today;
    }
    bool caught_up;
    if (prev.date) {
        // Looked at before the pass: what the midnight tick wrote into the
        // old day is then already on disk for the pass to send.
        bool moved_on = recorder_moved_on(today, d.prev_since_ms[res]);
        int r = sync_day(d, res, prev, &caught_up);
        if (r != PUSH_OK) return r;
        if (caught_up && moved_on) prev = push_res_state();
    }
    return sync_day(d, res, cur, &caught_up);
}

void reload_token(push_dest_state &d) {
    struct stat st;
    if (g_args.tokens_path.empty() || stat(g_args.tokens_path.c_str(), &st) != 0) return;
    if (st.st_mtim.tv_sec == d.tokens_mtime.tv_sec && st.st_mtim.tv_nsec == d.tokens_mtime.tv_nsec)
        return;
    d.tokens_mtime = st.st_mtim;
    std::string tok;
    if (!push_tokens_lookup(g_args.tokens_path.c_str(), d.url_text, &tok)) return;
    if (!push_token_ok(tok)) {
        printf("[push] dest %d: token in %s has bytes outside 0x21..0x7E — ignored\n", d.idx,
               g_args.tokens_path.c_str());
        return;
    }
    std::lock_guard<std::mutex> lk(g_mu);
    if (tok != d.token) printf("[push] dest %d: token reloaded\n", d.idx);
    d.token = tok;
    d.token_ok = true;
}

void wait_for(int ms) {
    std::unique_lock<std::mutex> lk(g_mu);
    g_cv.wait_until(lk, std::chrono::steady_clock::now() + std::chrono::milliseconds(ms),
                    [] { return !g_running.load(); });
}

void worker(push_dest_state *dp) {
    push_dest_state &d = *dp;
    while (g_running) {
        bool failed = false;
        reload_token(d);
        if (d.usable()) {
            uint32_t today = ymd_of(g_args.now_ms());
            for (int res = 0; res < 3 && g_running; res++) {
                int r = pass_res(d, res, today);
                if (r != PUSH_OK) failed = true;
                if (r == PUSH_FAIL) break;  // the server is out of reach: no point in more
            }
            if (g_running) {
                push_backfill_claim(d, g_args.run_dir, g_mu);
                if (push_backfill_step(d) != PUSH_OK) failed = true;
            }
        }
        if (failed) {
            if (d.fail_streak == 0)
                printf("[push] dest %d: %s: %s — retrying with back-off\n", d.idx,
                       d.url_text.c_str(),
                       d.last_transport_fail ? "no answer" : "request refused or not usable");
            d.fail_streak++;
            for (int res = 0; res < 3; res++)
                d.cur[res].valid = d.prev[res].valid = false;
        } else {
            if (d.fail_streak)
                printf("[push] dest %d: %s: pushing again\n", d.idx, d.url_text.c_str());
            d.fail_streak = 0;
            d.blocked = false;  // a whole pass went through without a refusal
        }
        {
            std::lock_guard<std::mutex> lk(g_mu);
            d.publish();
            push_status_write(g_args.run_dir, g_args.src, g_dests, g_args.now_ms());
        }
        wait_for(!failed ? 1000 : d.fail_streak == 1 ? 2000 : d.fail_streak == 2 ? 4000 : 8000);
    }
}

}  // namespace

// --- back-fill of one day ---------------------------------------------------------

// 0 pushed, 1 complete, 2 no local file, 3 conflict, 4 error, 5 conflict
// repaired (pushed).
int push_backfill_period(push_dest_state &d, int res, uint32_t date, bool verify,
                         long long *pushed) {
    local_file lf;
    if (!local_open(day_path(date, res), &lf)) return 2;
    long long have;
    if (!get_cursor(d, res, date, &have)) return 4;
    if (have > lf.end) return 3;
    uint32_t mine, theirs;
    bool conflict = false;
    if (have > 0 && (have < lf.end || verify)) {
        if (!get_hash(d, res, date, have, &theirs) || !local_crc(lf, have, &mine)) return 4;
        conflict = mine != theirs;
    }
    if (!conflict && have == lf.end) return 1;
    long long cursor = have;
    if (conflict) {
        // Find the first row that differs by halving on prefix checksums, then
        // rewrite from there.
        if (!get_hash(d, res, date, lf.hs, &theirs) || !local_crc(lf, lf.hs, &mine)) return 4;
        if (mine != theirs) {
            cursor = 0;
        } else {
            long long lo = 0, hi = (have - lf.hs) / lf.row;  // rows lo good, prefix to have bad
            while (hi - lo > 1) {
                long long mid = (lo + hi) / 2, len = lf.hs + mid * lf.row;
                if (!get_hash(d, res, date, len, &theirs) || !local_crc(lf, len, &mine)) return 4;
                (mine == theirs ? lo : hi) = mid;
            }
            cursor = lf.hs + lo * lf.row;
        }
        printf("[push] dest %d: %08u00.%s differs on the server from byte %lld — rewriting\n",
               d.idx, date, push_kind_ext(res), cursor);
    }
    if (cursor < lf.hs) {
        int r = send_header(d, res, date, lf, &cursor);
        if (r == PUSH_LAYOUT) return 3;
        if (r != PUSH_OK) return 4;
        if (conflict) cursor = lf.hs;
    }
    long long before = *pushed;
    int r = send_rows(d, res, date, lf, &cursor, lf.end, kFramesBackfill, pushed);
    if (r == PUSH_LAYOUT) return 3;
    if (r != PUSH_OK) return 4;
    if (conflict) {
        if (!get_hash(d, res, date, lf.end, &theirs) || !local_crc(lf, lf.end, &mine)) return 3;
        return mine == theirs ? 5 : 3;
    }
    return *pushed > before || cursor > have ? 0 : 1;
}

void push_worker_start(const push_start_args &a) {
    if (a.dests.empty()) return;
    if (a.main_fmt != TREND_FMT_V2) {
        printf(
            "[push] main format != v2 (2) — HTTP trend push DISABLED (push carries raw v2 "
            "bytes)\n");
        return;
    }
    if (g_running) return;
    g_args = a;
    if (!g_args.now_ms) g_args.now_ms = push_wall_ms;
    g_dests.clear();
    for (size_t i = 0; i < a.dests.size() && i < PUSH_MAX_DEST; i++) {
        auto d = std::make_unique<push_dest_state>();
        d->idx = (int)i;
        d->url_text = a.dests[i].url;
        d->token = a.dests[i].token;
        d->deflate = a.dests[i].deflate;
        size_t cut = a.src.size() > 63 ? 63 : a.src.size();
        while (cut > 0 && cut < a.src.size() && ((unsigned char)a.src[cut] & 0xC0) == 0x80)
            cut--;  // no split UTF-8 character
        d->src = a.src.substr(0, cut);
        std::string why;
        d->url_ok = push_url_parse(d->url_text.c_str(), &d->url, &why);
        d->token_ok = push_token_ok(d->token);
        if (!d->url_ok)
            printf("[push] dest %d: %s — %s; push to it DISABLED\n", (int)i, d->url_text.c_str(),
                   why.c_str());
        else if (!d->token_ok)
            printf(
                "[push] dest %d: token has bytes outside 0x21..0x7E — refused until fixed in "
                "push_tokens.json\n",
                (int)i);
        printf("[push] dest %d: %s src=%s\n", (int)i, d->url_text.c_str(), d->src.c_str());
        g_dests.push_back(std::move(d));
    }
    g_running = true;
    for (auto &d : g_dests)
        d->th = std::thread(worker, d.get());
}

void push_worker_stop() {
    if (!g_running) return;
    {
        std::lock_guard<std::mutex> lk(g_mu);
        g_running = false;
    }
    g_cv.notify_all();
    for (auto &d : g_dests)
        if (d->th.joinable()) d->th.join();
    g_dests.clear();
}
