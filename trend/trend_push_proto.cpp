// Wire pieces of the trend push: base URL, encodings, calendar days, ZQP1
// frames and the fields read from the server's answers.

#include <string.h>
#include <zlib.h>

#include "trend_push.h"

const char *push_kind_ext(int res) {
    static const char *const ext[3] = {"rps", "rpm", "rph"};
    return (res >= 0 && res < 3) ? ext[res] : "";
}

bool push_url_parse(const char *url, push_url *out, std::string *why) {
    if (!url || strncasecmp(url, "http://", 7) != 0) {
        *why = "only http:// URLs are supported";
        return false;
    }
    const char *h = url + 7;
    size_t hl = strcspn(h, ":/?#");
    if (hl == 0 || hl > 255) {
        *why = "bad host";
        return false;
    }
    for (size_t i = 0; i < hl; i++)
        if ((unsigned char)h[i] <= 0x20 || (unsigned char)h[i] >= 0x7F || h[i] == '@') {
            *why = "bad host";
            return false;
        }
    out->host.assign(h, hl);
    out->port = 80;
    const char *p = h + hl;
    if (*p == ':') {
        p++;
        long port = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9' && digits < 6) {
            port = port * 10 + (*p++ - '0');
            digits++;
        }
        if (digits == 0 || port < 1 || port > 65535) {
            *why = "bad port";
            return false;
        }
        out->port = (int)port;
    }
    // The endpoints are absolute paths on the host: a base path would be
    // silently dropped, so it is refused instead.
    if (*p == '/') p++;
    if (*p) {
        *why = "a base URL with a path is not supported (use http://host[:port]/)";
        return false;
    }
    return true;
}

bool push_token_ok(const std::string &token) {
    if (token.size() > 127) return false;
    for (unsigned char c : token)
        if (c < 0x21 || c > 0x7E) return false;
    return true;
}

std::string push_pct_encode(const std::string &s) {
    static const char hex[] = "0123456789ABCDEF";
    std::string o;
    for (unsigned char c : s) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.' || c == '~') {
            o += (char)c;
        } else {
            o += '%';
            o += hex[c >> 4];
            o += hex[c & 15];
        }
    }
    return o;
}

static int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool push_pct_decode(const std::string &s, std::string *out) {
    out->clear();
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != '%') {
            *out += s[i];
            continue;
        }
        if (i + 2 >= s.size()) return false;
        int a = hexval(s[i + 1]), b = hexval(s[i + 2]);
        if (a < 0 || b < 0) return false;
        *out += (char)(a * 16 + b);
        i += 2;
    }
    return true;
}

static int days_in_month(int y, int m) {
    static const int d[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return 29;
    return d[m - 1];
}

bool push_ymd_valid(uint32_t ymd) {
    int y = (int)(ymd / 10000), m = (int)(ymd / 100 % 100), d = (int)(ymd % 100);
    return y >= 1970 && y <= 9999 && m >= 1 && m <= 12 && d >= 1 && d <= days_in_month(y, m);
}

uint32_t push_ymd_next(uint32_t ymd) {
    int y = (int)(ymd / 10000), m = (int)(ymd / 100 % 100), d = (int)(ymd % 100);
    if (++d > days_in_month(y, m)) {
        d = 1;
        if (++m > 12) {
            m = 1;
            y++;
        }
    }
    return (uint32_t)(y * 10000 + m * 100 + d);
}

uint32_t push_ymd_prev(uint32_t ymd) {
    int y = (int)(ymd / 10000), m = (int)(ymd / 100 % 100), d = (int)(ymd % 100);
    if (--d < 1) {
        if (--m < 1) {
            m = 12;
            y--;
        }
        d = days_in_month(y, m);
    }
    return (uint32_t)(y * 10000 + m * 100 + d);
}

static void put_le(uint8_t *p, uint64_t v, int n) {
    for (int i = 0; i < n; i++)
        p[i] = (uint8_t)(v >> (8 * i));
}
static uint64_t get_le(const uint8_t *p, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; i--)
        v = (v << 8) | p[i];
    return v;
}

void push_frame_init(push_frame *f) {
    f->b.assign(PUSH_FRAME_HDR, 0);
    memcpy(f->b.data(), "ZQP1", 4);
    f->b[4] = 1;
    f->count = 0;
}

bool push_frame_add(push_frame *f, int res, int op, uint32_t date, uint64_t off, const void *data,
                    uint32_t len) {
    if (f->count >= PUSH_MAX_RECORDS) return false;
    size_t at = f->b.size();
    f->b.resize(at + PUSH_REC_HDR + len);
    uint8_t *p = f->b.data() + at;
    p[0] = (uint8_t)res;
    p[1] = (uint8_t)op;
    put_le(p + 2, date, 4);
    put_le(p + 6, off, 8);
    put_le(p + 14, len, 4);
    if (len) memcpy(p + PUSH_REC_HDR, data, len);
    f->count++;
    put_le(f->b.data() + 12, (uint64_t)f->count, 2);
    return true;
}

std::vector<uint8_t> push_frame_wire(const push_frame *f, bool deflate) {
    size_t plen = f->b.size() - PUSH_FRAME_HDR;
    if (!deflate || plen == 0 || plen > 0xFFFFFFFFu) return f->b;
    uLongf clen = compressBound((uLong)plen);
    std::vector<uint8_t> out(PUSH_FRAME_HDR + 4 + clen);
    if (compress2(out.data() + PUSH_FRAME_HDR + 4, &clen, f->b.data() + PUSH_FRAME_HDR, (uLong)plen,
                  6) != Z_OK ||
        20 + clen >= f->b.size())
        return f->b;
    memcpy(out.data(), f->b.data(), PUSH_FRAME_HDR);
    out[5] |= 1;
    put_le(out.data() + PUSH_FRAME_HDR, plen, 4);
    out.resize(PUSH_FRAME_HDR + 4 + clen);
    return out;
}

bool push_frame_parse(const uint8_t *p, size_t n, push_parsed *out, std::string *why) {
    out->recs.clear();
    out->inflated.clear();
    out->compressed = false;
    if (n < PUSH_FRAME_HDR) return *why = "frame shorter than 16 bytes", false;
    if (memcmp(p, "ZQP1", 4) != 0) return *why = "bad magic", false;
    if (p[4] != 1) return *why = "unsupported version", false;
    if (p[5] & ~1u) return *why = "unknown flags", false;
    if (get_le(p + 6, 2) || get_le(p + 8, 4) || get_le(p + 14, 2))
        return *why = "reserved fields not zero", false;
    int count = (int)get_le(p + 12, 2);
    if (count > PUSH_MAX_RECORDS) return *why = "more than 256 records", false;
    const uint8_t *q = p + PUSH_FRAME_HDR;
    size_t left = n - PUSH_FRAME_HDR;
    if (p[5] & 1) {
        out->compressed = true;
        if (left < 4) return *why = "compressed frame without length", false;
        uint64_t plen = get_le(q, 4);
        if (plen == 0 || plen > PUSH_MAX_PAYLOAD) return *why = "bad payload length", false;
        out->inflated.resize(plen);
        uLongf got = (uLongf)plen;
        if (uncompress(out->inflated.data(), &got, q + 4, (uLong)(left - 4)) != Z_OK || got != plen)
            return *why = "payload does not inflate to its length", false;
        q = out->inflated.data();
        left = plen;
    }
    for (int i = 0; i < count; i++) {
        if (left < PUSH_REC_HDR) return *why = "record header past the end", false;
        push_rec r;
        r.res = q[0];
        r.op = q[1];
        r.date = (uint32_t)get_le(q + 2, 4);
        r.off = get_le(q + 6, 8);
        r.len = (uint32_t)get_le(q + 14, 4);
        if (r.res > 2) return *why = "bad resolution", false;
        if (r.op > 2) return *why = "bad operation", false;
        if (r.len > left - PUSH_REC_HDR) return *why = "record data past the end", false;
        r.data = q + PUSH_REC_HDR;
        out->recs.push_back(r);
        q += PUSH_REC_HDR + r.len;
        left -= PUSH_REC_HDR + r.len;
    }
    if (left) return *why = "bytes after the last record", false;
    return true;
}

bool push_reply_parse(const char *p, size_t n, push_reply *out) {
    out->status = 0;
    out->body.clear();
    if (n < 12 || memcmp(p, "HTTP/1.", 7) != 0) return false;
    size_t i = 7;
    while (i < n && p[i] != ' ')
        i++;
    while (i < n && p[i] == ' ')
        i++;
    int st = 0, digits = 0;
    while (i < n && p[i] >= '0' && p[i] <= '9' && digits < 3) {
        st = st * 10 + (p[i++] - '0');
        digits++;
    }
    if (digits != 3 || st < 100) return false;
    const char *end = p + n;
    const char *body = nullptr;
    for (const char *c = p; c + 1 < end; c++) {
        if (c + 3 < end && !memcmp(c, "\r\n\r\n", 4)) {
            body = c + 4;
            break;
        }
        if (!memcmp(c, "\n\n", 2)) {
            body = c + 2;
            break;
        }
    }
    out->status = st;
    if (body) out->body.assign(body, (size_t)(end - body));
    return true;
}

// Start of the value after "\"key\"" and a colon, spaces skipped.
static const char *after_key(const std::string &body, const char *key) {
    std::string pat = std::string("\"") + key + "\"";
    size_t at = body.find(pat);
    if (at == std::string::npos) return nullptr;
    const char *p = body.c_str() + at + pat.size();
    while (*p == ' ' || *p == '\t')
        p++;
    if (*p != ':') return nullptr;
    p++;
    while (*p == ' ' || *p == '\t')
        p++;
    return p;
}

bool push_answer_num(const std::string &body, const char *key, long long *out) {
    const char *p = after_key(body, key);
    if (!p) return false;
    bool neg = *p == '-';
    if (neg) p++;
    if (*p < '0' || *p > '9') return false;
    unsigned long long v = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        if (v > 922337203685477580ULL) return false;
        v = v * 10 + (unsigned)(*p - '0');
    }
    if (v > 9223372036854775807ULL) return false;
    *out = neg ? -(long long)v : (long long)v;
    return true;
}

bool push_answer_hex(const std::string &body, const char *key, uint32_t *out) {
    const char *p = after_key(body, key);
    if (!p || *p != '"') return false;
    p++;
    uint32_t v = 0;
    int n = 0;
    for (int d; (d = hexval(*p)) >= 0; p++) {
        if (++n > 8) return false;
        v = v * 16 + (uint32_t)d;
    }
    if (n == 0 || *p != '"') return false;
    *out = v;
    return true;
}
