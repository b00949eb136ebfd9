// Push worker bookkeeping: the status file, the back-fill request and its
// day-by-day progress, the token file.

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "common/atomic_file.h"
#include "common/json.h"
#include "common/parse_util.h"
#include "trend_push_int.h"

int64_t push_wall_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

bool push_tokens_lookup(const char *path, const std::string &url, std::string *tok) {
    std::string text;
    if (zq_read_file_max(path, 1 << 20, &text) != 0) return false;
    json_ptr root(json_parse(text.c_str()));
    const json_node *list = root ? json_get(root.get(), "tokens") : nullptr;
    for (size_t i = 0; list && i < json_count(list); i++) {
        const json_node *t = json_at(list, i);
        const char *u = json_gets(t, "url", nullptr);
        const char *v = json_gets(t, "token", "");
        if (u && url == u && v && *v) {
            *tok = std::string(v).substr(0, 127);
            return true;
        }
    }
    return false;
}

void push_dest_state::publish() {
    rep.fail_streak = fail_streak;
    rep.up = fail_streak == 0 && usable();
    rep.blocked = blocked || !usable();
    rep.lag = 0;
    for (int r = 0; r < 3; r++) {
        if (cur[r].layout_block || prev[r].layout_block) rep.blocked = true;
        if (cur[r].valid && cur[r].local_size > cur[r].cursor)
            rep.lag += cur[r].local_size - cur[r].cursor;
    }
    rep.last_ok_ms = last_ok_ms;
    rep.deflate = deflate;
    rep.free = remote_free;
    rep.total = remote_total;
    rep.bf = bf;
}

static std::string esc(const std::string &s) {
    std::string o;
    for (unsigned char c : s) {
        if (c < 32) continue;
        if (c == '"' || c == '\\') o += '\\';
        o += (char)c;
    }
    return o;
}

std::string push_status_json(const std::vector<const push_dest_state *> &dests, int64_t now_ms) {
    std::string o = "{\"ms\":" + std::to_string(now_ms) + ",\"dests\":[";
    char buf[1024];
    for (size_t i = 0; i < dests.size(); i++) {
        const push_report &r = dests[i]->rep;
        o += i ? ",{" : "{";
        o += "\"url\":\"" + esc(dests[i]->url_text) + "\",\"src\":\"" + esc(dests[i]->src) + "\"";
        snprintf(buf, sizeof buf,
                 ",\"up\":%s,\"blocked\":%s,\"lag_bytes\":%lld,\"last_ok_ms\":%lld,"
                 "\"fail_streak\":%d,\"deflate\":%d,\"remote_free\":%llu,\"remote_total\":%llu,"
                 "\"bf\":{\"active\":%s,\"from\":%u,\"to\":%u,\"cur\":%u,\"total\":%d,\"done\":%d,"
                 "\"pushed\":%d,\"complete\":%d,\"skipped\":%d,\"conflict\":%d,\"bytes\":%lld}}",
                 r.up ? "true" : "false", r.blocked ? "true" : "false", r.lag,
                 (long long)r.last_ok_ms, r.fail_streak, r.deflate ? 1 : 0, r.free, r.total,
                 r.bf.active ? "true" : "false", r.bf.from, r.bf.to, r.bf.cur, r.bf.total,
                 r.bf.done, r.bf.pushed, r.bf.complete, r.bf.skipped, r.bf.conflict, r.bf.bytes);
        o += buf;
    }
    return o + "]}\n";
}

void push_status_write(const std::string &run_dir, const std::string &,
                       const std::vector<std::unique_ptr<push_dest_state>> &dests, int64_t now_ms) {
    std::vector<const push_dest_state *> v;
    for (const auto &d : dests)
        v.push_back(d.get());
    std::string text = push_status_json(v, now_ms);
    mkdir(run_dir.c_str(), 0755);
    if (atomic_file_write(run_dir + "/push_status.json", text, 0644) != 0) {
        static bool warned;
        if (!warned) perror("[push] run/push_status.json");
        warned = true;
    }
}

void push_backfill_claim(push_dest_state &d, const std::string &run_dir, std::mutex &mu) {
    if (d.bf.active) return;
    std::lock_guard<std::mutex> lk(mu);
    std::string path = run_dir + "/push_backfill.req";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char buf[512];
    ssize_t n = read(fd, buf, 511);
    close(fd);
    if (n <= 0) return;
    std::string text(buf, (size_t)n);
    json_ptr root(json_parse(text.c_str()));
    if (!root || d.url_text != json_gets(root.get(), "url", "")) return;
    double from_d = json_getn(root.get(), "from", 0), to_d = json_getn(root.get(), "to", 0);
    uint32_t from = from_d >= 0 && from_d < 1e8 ? (uint32_t)from_d : 0;
    uint32_t to = to_d >= 0 && to_d < 1e8 ? (uint32_t)to_d : 0;
    int days = 0;
    bool ok =
        push_ymd_valid(from) && push_ymd_valid(to) && to >= from && from == from_d && to == to_d;
    for (uint32_t c = from; ok && c <= to && days <= 4000; c = push_ymd_next(c))
        days++;
    if (!ok || days > 4000) {
        if (d.bf_warned != text)
            printf("[push] dest %d: back-fill request ignored: %s\n", d.idx,
                   !ok ? "from/to are not calendar days in order" : "more than 4000 days");
        d.bf_warned = text;
        return;
    }
    d.bf = push_bf();
    d.bf.active = true;
    d.bf.verify = json_getb(root.get(), "verify", 0) != 0;
    d.bf.from = d.bf.cur = from;
    d.bf.to = to;
    d.bf.total = days;
    unlink(path.c_str());
    printf("[push] dest %d: back-fill %08u..%08u (%d days%s)\n", d.idx, from, to, days,
           d.bf.verify ? ", verified" : "");
}

int push_backfill_step(push_dest_state &d) {
    if (!d.bf.active) return PUSH_OK;
    bool pushed = false, conflict = false, complete = false, transport = false, refused = false;
    for (int res = 0; res < 3; res++) {
        bool was_blocked = d.blocked;
        int c = push_backfill_period(d, res, d.bf.cur, d.bf.verify, &d.bf.bytes);
        if (c == 0 || c == 5) pushed = true;
        if (c == 3 || c == 4 || c == 5) conflict = true;
        if (c == 1) complete = true;
        if (c == 4 && d.blocked && !was_blocked) refused = true;
        if (c == 4 && d.last_transport_fail) transport = true;
        if (transport) break;
    }
    // A day the server could not be reached for is tried again, not counted.
    if (transport) return PUSH_FAIL;
    if (pushed)
        d.bf.pushed++;
    else if (!conflict && complete)
        d.bf.complete++;
    else if (!conflict)
        d.bf.skipped++;
    if (conflict) d.bf.conflict++;
    d.bf.done++;
    if (d.bf.cur >= d.bf.to) {
        d.bf.active = false;
        printf(
            "[push] dest %d: back-fill done: %d days, %d pushed, %d complete, %d skipped, %d "
            "conflict, %lld bytes\n",
            d.idx, d.bf.done, d.bf.pushed, d.bf.complete, d.bf.skipped, d.bf.conflict, d.bf.bytes);
    } else {
        d.bf.cur = push_ymd_next(d.bf.cur);
    }
    return refused ? PUSH_REFUSED : PUSH_OK;
}
