#include "server/rt_common.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/json.h"
#include "common/parse_util.h"
#include "server/srv_reply.h"

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
