#include "server/rt_common.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <mutex>

#include "common/json.h"
#include "common/parse_util.h"
#include "common/shm.h"
#include "common/yaml.h"
#include "server/srv_reply.h"
#include "server/srv_state.h"

std::string rt_esc(const char *s) {
    return json_escape_str(s ? s : "");
}

std::string rt_fixed_str(const char *s, size_t cap) {
    return rt_esc(std::string(s, strnlen(s, cap)).c_str());
}

void rt_fmt_num(std::string &out, double v) {
    if (!std::isfinite(v)) {
        out += "null";  // JSON has no NaN or infinity
        return;
    }
    // Same characters as "%.15g" in the C locale, without printf's format
    // parsing, which was a third of a 500-tag poll answer's time.
    char b[40];
    auto r = std::to_chars(b, b + sizeof b, v, std::chars_format::general, 15);
    out.append(b, r.ptr);
}

bool rt_parse_uint(const char *s, long max, long *out) {
    if (!s || *s < '0' || *s > '9') return false;
    long v = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        if (v > (max - (*s - '0')) / 10) return false;
        v = v * 10 + (*s - '0');
    }
    if (*s) return false;
    *out = v;
    return true;
}

bool rt_parse_tag(const char *s, char *kind, long *num) {
    if (!s) return false;
    char k = (char)(s[0] & ~0x20);
    if (k != 'A' && k != 'D') return false;
    if (!rt_parse_uint(s + 1, INT_MAX, num)) return false;
    *kind = k;
    return true;
}

std::vector<std::string> rt_scan_list(const std::string &body, const char *key, size_t max_items,
                                      size_t max_len) {
    std::vector<std::string> out;
    std::string k = std::string("\"") + key + "\"";
    size_t p = body.find(k);
    if (p == std::string::npos) return out;
    p = body.find('[', p + k.size());
    if (p == std::string::npos) return out;
    p++;
    while (p < body.size() && body[p] != ']') {
        if (body[p] != '"') {
            p++;
            continue;
        }
        p++;
        std::string item;
        while (p < body.size() && body[p] != '"') {
            if (body[p] == '\\' && p + 1 < body.size()) p++;
            if (item.size() < max_len) item += body[p];
            p++;
        }
        p++;
        if (out.size() < max_items) out.push_back(item);
    }
    return out;
}

void rt_reply_file_or(srv_reply *r, const std::string &path, const char *fallback) {
    std::string s;
    if (zq_read_file_max(path.c_str(), 16u << 20, &s) != 0) s = fallback;
    srv_reply_json(r, 200, std::move(s));
}

int rt_max_group_takt_ms(const json_node *root) {
    const json_node *groups = json_get(json_get(root, "logix"), "groups");
    int worst = 0;
    for (size_t i = 0, n = json_count(groups); i < n; i++) {
        long long t = json_geti(json_at(groups, i), "takt", 100);
        if (t <= 0 || t > 3600000) t = 100;  // the driver's own fallback
        if (t > worst) worst = (int)t;
    }
    return worst;
}

int64_t rt_live_bound_ms(int max_takt_ms) {
    int64_t three = 3 * (int64_t)max_takt_ms;
    return three > RT_LIVE_MIN_MS ? three : RT_LIVE_MIN_MS;
}

namespace {

int64_t mono_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// The bound for a configuration file, re-read when it changes; the file is
// looked at no more than once a second. Requests in between read the cached
// bound without taking the lock.
int64_t live_bound_for(const char *yaml_path) {
    static std::mutex mu;
    static std::string path;
    static timespec mtime{};
    static std::atomic<int64_t> checked{INT64_MIN / 2}, bound{RT_LIVE_MIN_MS};
    int64_t now = mono_ms();
    // One configuration file per process.
    if (now - checked.load(std::memory_order_acquire) < 1000)
        return bound.load(std::memory_order_relaxed);
    std::lock_guard<std::mutex> lk(mu);
    struct stat sb;
    bool same_path = path == yaml_path;
    path = yaml_path;
    if (!yaml_path[0] || stat(yaml_path, &sb) != 0) {
        mtime = {};
        bound.store(RT_LIVE_MIN_MS, std::memory_order_relaxed);
    } else if (!same_path || sb.st_mtim.tv_sec != mtime.tv_sec ||
               sb.st_mtim.tv_nsec != mtime.tv_nsec) {
        mtime = sb.st_mtim;
        json_ptr root(yaml_parse_file(yaml_path));
        bound.store(rt_live_bound_ms(root ? rt_max_group_takt_ms(root.get()) : 0),
                    std::memory_order_relaxed);
    }
    checked.store(now, std::memory_order_release);
    return bound.load(std::memory_order_relaxed);
}

}  // namespace

bool rt_db_live(srv_state *st, const ShmHandle *h) {
    return rt_frozen_before(st, h) == INT64_MIN;
}

int64_t rt_frozen_before(srv_state *st, const ShmHandle *h) {
    if (!h) return INT64_MAX;
    int64_t now = shm_now_ms();
    int64_t bound = live_bound_for(st->cfg.yaml_path);
    int64_t last = shm_header(h)->last_poll_ms;
    if (last > 0 && now - last <= bound) return INT64_MIN;
    return now - bound;
}
