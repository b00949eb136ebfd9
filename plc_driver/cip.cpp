#include "cip.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/log.h"
#include "common/vtype.h"

namespace {

// Prefix of every request addressed to the Connection Manager (class 6, instance 1).
constexpr uint8_t kUcmmPrefix[] = {0x52, 0x02, 0x20, 0x06, 0x24, 0x01, 0x09, 0xF0};
constexpr uint8_t kMspPrefix[] = {0x0A, 0x02, 0x20, 0x02, 0x24, 0x01};

std::atomic<uint32_t> g_fwd_open_counter{0};

bool path_ok(const uint8_t *path, size_t len) {
    return path != nullptr && len > 0 && len % 2 == 0 && len <= CIP_PATH_MAX;
}

// Appends one symbolic segment; new length or -1.
int put_symbolic(uint8_t *out, size_t len, size_t cap, const char *name, size_t nlen) {
    if (nlen < 1 || nlen > 255) return -1;
    size_t need = 2 + nlen + (nlen & 1);
    if (len + need > cap) return -1;
    out[len] = 0x91;
    out[len + 1] = (uint8_t)nlen;
    memcpy(out + len + 2, name, nlen);
    if (nlen & 1) out[len + 2 + nlen] = 0;
    return (int)(len + need);
}

// Wraps a request into an Unconnected Send to the controller's slot; total
// length or -1 when it does not fit.
int build_ucmm(const eip_session *s, const uint8_t *req, size_t len, uint8_t *out, size_t cap) {
    if (len > CIP_UCMM_MAX) return -1;
    size_t n = sizeof kUcmmPrefix;
    size_t total = n + 2 + len + (len & 1) + 4;
    if (total > cap) return -1;
    memcpy(out, kUcmmPrefix, n);
    eip_put16(out + n, (uint16_t)len);
    n += 2;
    memcpy(out + n, req, len);
    n += len;
    if (len & 1) out[n++] = 0;
    out[n++] = 0x01;  // route path size in words
    out[n++] = 0x00;
    out[n++] = 0x01;  // backplane port
    out[n++] = (uint8_t)s->slot;
    return (int)n;
}

size_t reply_header_len(const uint8_t *reply) {
    return 4 + 2 * (size_t)reply[3];
}

// Request builder over a fixed buffer; any overflow marks it bad.
struct req_buf {
    uint8_t *p;
    size_t cap;
    size_t n = 0;
    bool bad = false;
    void u8(uint8_t v) {
        if (n + 1 > cap) {
            bad = true;
            return;
        }
        p[n++] = v;
    }
    void u16(uint16_t v) {
        u8((uint8_t)v);
        u8((uint8_t)(v >> 8));
    }
    void u32(uint32_t v) {
        u16((uint16_t)v);
        u16((uint16_t)(v >> 16));
    }
    void bytes(const void *src, size_t len) {
        if (n + len > cap) {
            bad = true;
            return;
        }
        memcpy(p + n, src, len);
        n += len;
    }
};

// Service, path size in words, path.
void put_service_path(req_buf &b, uint8_t service, const uint8_t *path, size_t path_len) {
    b.u8(service);
    b.u8((uint8_t)(path_len / 2));
    b.bytes(path, path_len);
}

}  // namespace

int cip_type_size(uint16_t type) {
    return type > 0xFF ? 0 : zq_vtype_size(type);
}

double cip_decode_numeric(const uint8_t *b, uint16_t type) {
    return type > 0xFF ? 0.0 : zq_vtype_decode_le(b, type);
}

uint16_t cip_sym_to_type(uint16_t symbol_type) {
    if (symbol_type & 0x8000) return 0;
    uint16_t t = symbol_type & 0xFF;
    return cip_type_size(t) > 0 ? t : 0;
}

int cip_path_append_elem(uint8_t *path, size_t len, size_t cap, uint32_t index) {
    if (index <= 0xFF) {
        if (len + 2 > cap) return -1;
        path[len] = 0x28;
        path[len + 1] = (uint8_t)index;
        return (int)(len + 2);
    }
    if (index <= 0xFFFF) {
        if (len + 4 > cap) return -1;
        path[len] = 0x29;
        path[len + 1] = 0;
        eip_put16(path + len + 2, (uint16_t)index);
        return (int)(len + 4);
    }
    // Larger indices need the 32-bit segment; cutting to 16 bits would address
    // another element.
    if (len + 6 > cap) return -1;
    path[len] = 0x2A;
    path[len + 1] = 0;
    eip_put32(path + len + 2, index);
    return (int)(len + 6);
}

int cip_build_tag_path(const char *name, uint32_t index, int with_index, uint8_t *out, size_t cap) {
    if (name == nullptr) return -1;
    size_t nlen = strnlen(name, 256);
    if (nlen < 1 || nlen > 255) return -1;
    if (nlen + 3 + (with_index ? 4 : 0) >= 257) return -1;
    int n = put_symbolic(out, 0, cap, name, nlen);
    if (n < 0) return -1;
    if (with_index) n = cip_path_append_elem(out, (size_t)n, cap, index);
    return n;
}

int cip_build_tag_path_ex(const char *text, int *bit_from, int *bit_to, uint8_t *out, size_t cap) {
    if (bit_from) *bit_from = -1;
    if (bit_to) *bit_to = -1;
    if (text == nullptr) return -1;
    size_t tlen = strnlen(text, 512);
    if (tlen == 0 || tlen > 511) return -1;

    // Bit suffix: ".<digits>" or ".<digits>-<digits>" after the last '.'.
    size_t body_len = tlen;
    const char *dot = strrchr(text, '.');
    if (dot != nullptr) {
        const char *suf = dot + 1;
        size_t slen = tlen - (size_t)(suf - text);
        int dashes = 0;
        bool digits_only = slen > 0 && suf[0] != '-';
        for (size_t i = 0; i < slen && digits_only; i++) {
            if (suf[i] == '-') {
                dashes++;
            } else if (suf[i] < '0' || suf[i] > '9') {
                digits_only = false;
            }
        }
        if (digits_only && dashes <= 1) {
            long from = strtol(suf, nullptr, 10);
            const char *dash = strchr(suf, '-');
            long to = dash ? strtol(dash + 1, nullptr, 10) : from;
            // No elementary type has more than 64 bits; a larger bit number
            // would only shift past the value's width.
            if (from > 63 || to > 63) return -1;
            if (bit_from) *bit_from = (int)from;
            if (bit_to) *bit_to = (int)to;
            body_len = (size_t)(dot - text);
        }
    }
    if (body_len == 0) return -1;

    size_t n = 0;
    size_t pos = 0;
    while (pos <= body_len) {
        size_t end = pos;
        while (end < body_len && text[end] != '.')
            end++;
        // One member: name, then optional "[i,j,...]".
        size_t name_end = pos;
        while (name_end < end && text[name_end] != '[')
            name_end++;
        size_t nlen = name_end - pos;
        if (nlen < 1 || nlen > 255) return -1;
        size_t seg = 2 + nlen + (nlen & 1);
        if (n + seg > 255) return -1;
        int r = put_symbolic(out, n, cap, text + pos, nlen);
        if (r < 0) return -1;
        n = (size_t)r;
        if (name_end < end) {
            size_t p = name_end + 1;
            for (;;) {
                while (p < end && text[p] == ' ')
                    p++;
                size_t d0 = p;
                uint64_t v = 0;
                while (p < end && text[p] >= '0' && text[p] <= '9') {
                    v = v * 10 + (uint64_t)(text[p] - '0');
                    if (v > 0xFFFFFFFFull) return -1;
                    p++;
                }
                if (p == d0) return -1;
                while (p < end && text[p] == ' ')
                    p++;
                if (n > 252) return -1;
                r = cip_path_append_elem(out, n, cap, (uint32_t)v);
                if (r < 0) return -1;
                n = (size_t)r;
                if (p < end && text[p] == ',') {
                    p++;
                    continue;
                }
                if (p < end && text[p] == ']') {
                    p++;
                    break;
                }
                return -1;
            }
            if (p != end) return -1;  // text after ']' within the member
        }
        if (end >= body_len) break;
        pos = end + 1;
        if (pos >= body_len) return -1;  // trailing '.'
    }
    return (int)n;
}

int cip_send(eip_session *s, const uint8_t *request, size_t len, uint8_t *out, size_t *out_len) {
    if (s->cip_connected) return eip_send_unitdata(s, request, len, out, out_len) == 0 ? 0 : -1;
    uint8_t wrapped[CIP_UCMM_MAX + 16];
    int n = build_ucmm(s, request, len, wrapped, sizeof wrapped);
    if (n < 0) {
        log_err("cip_send: переповнення буфера UCMM");
        return -1;
    }
    return eip_send_rrdata(s, wrapped, (size_t)n, out, out_len) == 0 ? 0 : -1;
}

namespace {

// General-status handling shared by cip_request and the always-unconnected
// symbol lookup. Returns 0 (data in out), 1 or -1.
int decode_reply(const uint8_t *reply, size_t n, uint8_t *out, size_t *out_len) {
    if (n < 4) {
        log_err("CIP: відповідь занадто коротка");
        return -1;
    }
    if (reply[2] != 0) {
        if (reply[3] != 0 && n > 5) {
            log_msg("CIP помилка: статус 0x%02X, розширений 0x%04X", reply[2],
                    eip_get16(reply + 4));
        } else {
            log_msg("CIP помилка: статус 0x%02X", reply[2]);
        }
        return 1;
    }
    size_t h = reply_header_len(reply);
    if (n < h) {
        log_err("CIP: переповнення заголовка відповіді");
        return -1;
    }
    if (n - h > *out_len) {
        log_err("CIP: відповідь занадто велика");
        return -1;
    }
    memcpy(out, reply + h, n - h);
    *out_len = n - h;
    return 0;
}

}  // namespace

int cip_request(eip_session *s, const uint8_t *request, size_t len, uint8_t *out, size_t *out_len) {
    uint8_t reply[CIP_REPLY_MAX];
    size_t n = sizeof reply;
    if (cip_send(s, request, len, reply, &n) != 0) return -1;
    int rc = decode_reply(reply, n, out, out_len);
    if (rc != 0) s->errors++;
    return rc;
}

namespace {

// Read Tag on an encoded path; data (type word first) into out.
int read_tag(eip_session *s, const uint8_t *path, size_t path_len, uint16_t count, uint8_t *out,
             size_t *out_len) {
    uint8_t req[8 + CIP_PATH_MAX];
    req_buf b{req, sizeof req};
    put_service_path(b, CIP_SVC_READ_TAG, path, path_len);
    b.u16(count);
    if (b.bad) return 1;
    return cip_request(s, req, b.n, out, out_len);
}

}  // namespace

int cip_build_read(const uint8_t *path, size_t path_len, uint16_t count, int fragmented,
                   uint32_t offset, uint8_t *req, size_t cap) {
    if (!path_ok(path, path_len)) return -1;
    req_buf b{req, cap};
    put_service_path(b, fragmented ? CIP_SVC_READ_TAG_FRAGMENTED : CIP_SVC_READ_TAG, path,
                     path_len);
    b.u16(count);
    if (fragmented) b.u32(offset);
    return b.bad ? -1 : (int)b.n;
}

int cip_reply_data(const uint8_t *reply, size_t n, const uint8_t **data, size_t *data_len) {
    if (n < 4) {
        log_err("CIP: відповідь занадто коротка");
        return -1;
    }
    size_t h = reply_header_len(reply);
    if (n < h) {
        log_err("CIP: переповнення заголовка відповіді");
        return -1;
    }
    *data = reply + h;
    *data_len = n - h;
    return reply[2];
}

namespace {

// Write Tag with a 16-bit type word and raw element bytes.
int write_tag(eip_session *s, const uint8_t *path, size_t path_len, uint16_t type, uint16_t count,
              const uint8_t *data, size_t size) {
    uint8_t req[16 + CIP_PATH_MAX + 256];
    req_buf b{req, sizeof req};
    put_service_path(b, CIP_SVC_WRITE_TAG, path, path_len);
    b.u16(type);
    b.u16(count);
    b.bytes(data, size);
    if (b.bad) return 1;
    uint8_t reply[16];
    size_t n = sizeof reply;
    return cip_request(s, req, b.n, reply, &n);
}

}  // namespace

int cip_read_real(eip_session *s, const char *name, uint32_t index, int count, double *values,
                  uint16_t *type_out, int *n_out) {
    if (n_out) *n_out = 0;
    uint8_t path[CIP_PATH_MAX];
    int plen = cip_build_tag_path(name, index, 1, path, sizeof path);
    if (plen < 0) {
        log_err("read_real: ім'я '%s' задовге", name ? name : "");
        return 1;
    }
    if (count < 1 || count > 0xFFFF) return 1;
    uint8_t data[1024];
    size_t n = sizeof data;
    int rc = read_tag(s, path, (size_t)plen, (uint16_t)count, data, &n);
    if (rc != 0) return rc;
    if (n < 2) {
        log_err("read_real: відповідь без типу (%zu байт)", n);
        return 1;
    }
    uint16_t type = eip_get16(data);
    if (type_out) *type_out = type;
    int size = cip_type_size(type);
    if (size == 0) {
        log_err("read_real: тип 0x%04X не підтримується", type);
        return 1;
    }
    int got = (int)((n - 2) / (size_t)size);
    if (got > count) got = count;
    for (int i = 0; i < got; i++)
        values[i] = cip_decode_numeric(data + 2 + i * size, type);
    if (n_out) *n_out = got;
    return 0;
}

int cip_read_tag_single(eip_session *s, const uint8_t *path, size_t path_len, uint8_t value[8],
                        uint32_t *size_out, uint16_t *type_out) {
    if (!path_ok(path, path_len)) return 1;
    uint8_t data[64];
    size_t n = sizeof data;
    int rc = read_tag(s, path, path_len, 1, data, &n);
    if (rc != 0) return rc;
    if (n < 2) return 1;
    uint16_t type = eip_get16(data);
    int size = cip_type_size(type);
    if (type_out) *type_out = type;
    if (size == 0 || n < 2 + (size_t)size) return 1;
    memset(value, 0, 8);
    memcpy(value, data + 2, (size_t)size);
    if (size_out) *size_out = (uint32_t)size;
    return 0;
}

int cip_read_tag_count(eip_session *s, const uint8_t *path, size_t path_len, int count,
                       uint8_t *buffer, size_t capacity, uint32_t *size_out, uint16_t *type_out,
                       int *n_out) {
    if (n_out) *n_out = 0;
    if (!path_ok(path, path_len) || count < 1 || count > 0xFFFF) return 1;
    uint8_t data[600];
    size_t n = sizeof data;
    int rc = read_tag(s, path, path_len, (uint16_t)count, data, &n);
    if (rc != 0) return rc;
    if (n < 2) return 1;
    uint16_t type = eip_get16(data);
    int size = cip_type_size(type);
    if (type_out) *type_out = type;
    if (size == 0) return 1;
    size_t got = (n - 2) / (size_t)size;
    if (got > (size_t)count) got = (size_t)count;
    if (got > capacity / (size_t)size) got = capacity / (size_t)size;
    memcpy(buffer, data + 2, got * (size_t)size);
    if (size_out) *size_out = (uint32_t)size;
    if (n_out) *n_out = (int)got;
    return 0;
}

int cip_bits_from_reply(const uint8_t *data, size_t n, uint32_t first_bit, uint32_t first_word,
                        int count, uint8_t *bits, int *next) {
    if (n < 2) return 1;  // no type word: a refusal, like every short tag reply
    uint16_t type = eip_get16(data);
    if (type == CIP_TYPE_BOOL) {
        // A scalar BOOL (or a controller that answers bytes): one byte per bit.
        for (int i = 0; i < count && (size_t)(2 + i) < n; i++)
            bits[i] = data[2 + i] ? 1 : 0;
        *next = count;
        return 0;
    }
    if (type != CIP_TYPE_DWORD) {
        log_err("read_bool: несподіваний тип 0x%04X", type);
        return 1;
    }
    uint64_t words = (n - 2) / 4;
    int k = *next;
    for (; k < count; k++) {
        uint64_t bit = (uint64_t)first_bit + (uint64_t)k;
        uint64_t word = bit / 32;
        if (word < first_word) continue;
        if (word >= first_word + words) break;
        bits[k] = (eip_get32(data + 2 + 4 * (size_t)(word - first_word)) >> (bit % 32)) & 1;
    }
    *next = k;
    return 0;
}

int cip_read_bool(eip_session *s, const char *name, uint32_t first_bit, int count, uint8_t *bits) {
    if (count < 1) return 0;
    memset(bits, 0, (size_t)count);
    // Words per request: the reply (type word + data) must fit 256 bytes.
    constexpr uint32_t kMaxWords = 63;
    uint64_t last_bit = (uint64_t)first_bit + (uint64_t)count;  // exclusive
    uint64_t first_word = first_bit / 32;
    uint64_t end_word = (last_bit + 31) / 32;
    if (end_word > 0x8000000ull) return 1;  // beyond any 32-bit element index
    int k = 0;                              // next result bit
    for (uint64_t w0 = first_word; w0 < end_word;) {
        uint64_t words = end_word - w0;
        if (words > kMaxWords) words = kMaxWords;
        uint8_t path[CIP_PATH_MAX];
        uint32_t elem = (uint32_t)(w0 * 32);
        int plen = cip_build_tag_path(name, elem, elem != 0, path, sizeof path);
        if (plen < 0) {
            log_err("read_bool: ім'я '%s' задовге", name ? name : "");
            return 1;
        }
        uint8_t data[256];
        size_t n = sizeof data;
        int rc = read_tag(s, path, (size_t)plen, (uint16_t)words, data, &n);
        if (rc != 0) return rc;
        if (n < 2) return 1;  // no type word: a refusal, like every short tag reply
        int rb = cip_bits_from_reply(data, n, first_bit, (uint32_t)w0, count, bits, &k);
        if (rb != 0) return rb;
        if (eip_get16(data) == CIP_TYPE_BOOL) return 0;
        w0 += words;
    }
    return 0;
}

int cip_build_multi_read(const cip_multi_item *items, int n, uint8_t *req, size_t cap) {
    if (n < 1 || n > CIP_MSP_ITEMS_LARGE_MAX) return -1;
    req_buf b{req, cap};
    b.bytes(kMspPrefix, sizeof kMspPrefix);
    b.u16((uint16_t)n);
    size_t offsets_at = b.n;
    for (int i = 0; i < n; i++)
        b.u16(0);
    size_t base = offsets_at - 2;  // offsets count from the service-count field
    for (int i = 0; i < n; i++) {
        if (!path_ok(items[i].path, items[i].path_len)) return -1;
        if (!b.bad) eip_put16(req + offsets_at + 2 * i, (uint16_t)(b.n - base));
        put_service_path(b, CIP_SVC_READ_TAG, items[i].path, items[i].path_len);
        b.u16(items[i].count);
    }
    return b.bad ? -1 : (int)b.n;
}

int cip_parse_multi_read(const uint8_t *reply, size_t rn, int n, cip_multi_result *results) {
    if (rn < 4) {
        log_err("MSP: коротка відповідь");
        return -1;
    }
    uint8_t gs = reply[2];
    if (gs != 0 && gs != CIP_STATUS_EMBEDDED_SERVICE_ERROR) {
        if (rn > 5 && reply[3] != 0) {
            log_msg("MSP помилка: статус 0x%02X ext 0x%04X", gs, eip_get16(reply + 4));
        } else {
            log_msg("MSP помилка: статус 0x%02X", gs);
        }
        return 1;
    }
    size_t h = reply_header_len(reply);
    if (rn < h + 2) return -1;
    const uint8_t *d = reply + h;
    size_t dn = rn - h;
    int count = eip_get16(d);
    if (count != n) {
        log_err("MSP: к-сть відповідей %d != %d", count, n);
        return -1;
    }
    for (int i = 0; i < n; i++) {
        cip_multi_result &r = results[i];
        r.status = -1;
        r.type = 0;
        r.size = 0;
        memset(r.value, 0, sizeof r.value);
        size_t at = 2 + 2 * (size_t)i;
        if (at + 2 > dn) continue;
        size_t off = eip_get16(d + at);
        // The embedded reply ends where the next one starts (or at the end).
        size_t end = dn;
        if (i + 1 < n && at + 4 <= dn) {
            size_t next = eip_get16(d + at + 2);
            if (next > off && next < end) end = next;
        }
        if (off + 4 > end) continue;
        const uint8_t *e = d + off;
        r.status = e[2];
        if (r.status != 0) continue;
        size_t tpos = off + 4 + 2 * (size_t)e[3];
        if (tpos + 2 > end) {
            r.status = -1;
            continue;
        }
        r.type = eip_get16(d + tpos);
        int size = cip_type_size(r.type);
        if (size == 0 || tpos + 2 + (size_t)size > end) {
            r.status = -1;
            continue;
        }
        memcpy(r.value, d + tpos + 2, (size_t)size);
        r.size = (uint32_t)size;
    }
    return 0;
}

int cip_read_multi(eip_session *s, const cip_multi_item *items, int n, cip_multi_result *results) {
    if (n < 1 || n > CIP_MSP_ITEMS_MAX) return -1;
    uint8_t req[CIP_MSP_MAX];
    int len = cip_build_multi_read(items, n, req, sizeof req);
    if (len < 0) return -1;
    uint8_t reply[CIP_REPLY_MAX];
    size_t rn = sizeof reply;
    if (cip_send(s, req, (size_t)len, reply, &rn) != 0) return -1;
    int rc = cip_parse_multi_read(reply, rn, n, results);
    if (rc != 0) s->errors++;
    return rc;
}

int cip_encode_numeric(uint16_t type, double value, uint8_t out[8], size_t *size_out) {
    memset(out, 0, 8);
    if (type < CIP_TYPE_BOOL || type > CIP_TYPE_LREAL) return 1;
    if (!std::isfinite(value)) return 1;
    int size = cip_type_size(type);
    *size_out = (size_t)size;
    if (type == CIP_TYPE_BOOL) {
        out[0] = value != 0.0 ? 0xFF : 0x00;
        return 0;
    }
    if (type == CIP_TYPE_REAL) {
        if (std::fabs(value) > 3.4028234663852886e38) return 1;
        float f = (float)value;
        uint32_t u;
        memcpy(&u, &f, 4);
        eip_put32(out, u);
        return 0;
    }
    if (type == CIP_TYPE_LREAL) {
        uint64_t u;
        memcpy(&u, &value, 8);
        eip_put64(out, u);
        return 0;
    }
    double r = std::trunc(value < 0 ? value - 0.5 : value + 0.5);
    double lo, hi;
    if (zq_vtype_int_range(type, &lo, &hi)) {
        if (r < lo || r > hi) return 1;
        int64_t v = (int64_t)r;
        for (int i = 0; i < size; i++)
            out[i] = (uint8_t)((uint64_t)v >> (8 * i));
        return 0;
    }
    if (type == CIP_TYPE_LINT) {
        if (r < -9223372036854775808.0 || r >= 9223372036854775808.0) return 1;
        eip_put64(out, (uint64_t)(int64_t)r);
        return 0;
    }
    // ULINT
    if (r < 0 || r >= 18446744073709551616.0) return 1;
    eip_put64(out, (uint64_t)r);
    return 0;
}

int cip_write_numeric(eip_session *s, const char *name, uint32_t index, uint16_t type,
                      double value) {
    if (type < CIP_TYPE_BOOL || type > CIP_TYPE_LREAL) {
        log_err("write_numeric: тип 0x%04X не підтримується", type);
        return 1;
    }
    uint8_t data[8];
    size_t size = 0;
    if (cip_encode_numeric(type, value, data, &size) != 0) {
        // Wrapping into the type's width would write a different number.
        log_err("write_numeric: значення %g поза межами типу 0x%04X", value, type);
        return 1;
    }
    uint8_t path[CIP_PATH_MAX];
    int plen = cip_build_tag_path(name, index, 1, path, sizeof path);
    if (plen < 0) {
        log_err("write: ім'я '%s' задовге", name ? name : "");
        return 1;
    }
    return write_tag(s, path, (size_t)plen, (uint16_t)(type & 0xFF), 1, data, size);
}

int cip_write_tag_single(eip_session *s, const uint8_t *path, size_t path_len, uint16_t type,
                         const uint8_t *data, size_t size) {
    if (!path_ok(path, path_len) || size > 8) return 1;
    return write_tag(s, path, path_len, type, 1, data, size);
}

int cip_write_masked(eip_session *s, const uint8_t *path, size_t path_len, int mask_size,
                     uint32_t or_mask, uint32_t and_mask) {
    if (!path_ok(path, path_len) || mask_size < 1 || mask_size > 4) return 1;
    uint8_t req[16 + CIP_PATH_MAX];
    req_buf b{req, sizeof req};
    put_service_path(b, CIP_SVC_READ_MODIFY_WRITE, path, path_len);
    b.u16((uint16_t)mask_size);
    for (int i = 0; i < mask_size; i++)
        b.u8((uint8_t)(or_mask >> (8 * i)));
    for (int i = 0; i < mask_size; i++)
        b.u8((uint8_t)(and_mask >> (8 * i)));
    if (b.bad) return 1;
    uint8_t reply[16];
    size_t n = sizeof reply;
    return cip_request(s, req, b.n, reply, &n);
}

int cip_write_bool(eip_session *s, const char *name, uint32_t bit, int value) {
    // Only the word holding the bit is read and written back, so bits the
    // controller changes elsewhere in the array are never overwritten.
    uint32_t elem = (bit / 32) * 32;
    uint8_t path[CIP_PATH_MAX];
    int plen = cip_build_tag_path(name, elem, elem != 0, path, sizeof path);
    if (plen < 0) {
        log_err("cip_write_bool: ім'я '%s' задовге", name ? name : "");
        return 1;
    }
    uint8_t data[256];
    size_t n = sizeof data;
    int rc = read_tag(s, path, (size_t)plen, 1, data, &n);
    if (rc != 0) return 1;
    if (n < 6) {
        log_err("cip_write_bool: read response too short (%zu)", n);
        return 1;
    }
    uint16_t type = eip_get16(data);
    if (type != CIP_TYPE_DWORD) {
        log_err("cip_write_bool: %s — не BOOL-масив (тип 0x%04X)", name, type);
        return 1;
    }
    uint32_t word = eip_get32(data + 2);
    if (value) {
        word |= 1u << (bit % 32);
    } else {
        word &= ~(1u << (bit % 32));
    }
    uint8_t out[4];
    eip_put32(out, word);
    return write_tag(s, path, (size_t)plen, CIP_TYPE_DWORD, 1, out, 4);
}

namespace {

// Get Instance Attribute List on the Symbol class from start instance.
size_t build_symbol_request(uint8_t *req, uint16_t start, int with_type) {
    req_buf b{req, 32};
    b.u8(CIP_SVC_GET_INSTANCE_ATTRIBUTE_LIST);
    b.u8(3);  // 0x20 0x6B 0x25 0x00 and a 16-bit instance: three words
    b.u8(0x20);
    b.u8(0x6B);
    b.u8(0x25);
    b.u8(0x00);
    b.u16(start);
    b.u16(with_type ? 2 : 1);
    b.u16(1);
    if (with_type) b.u16(2);
    return b.n;
}

}  // namespace

uint32_t cip_find_tag_instance(eip_session *s, const char *name) {
    if (name == nullptr) return 0;
    size_t nlen = strlen(name);
    uint32_t start = 0;
    for (int page = 0; page < 500 && start <= 0xFFFF; page++) {
        uint8_t req[32];
        size_t rl = build_symbol_request(req, (uint16_t)start, 0);
        uint8_t wrapped[64];
        int wl = build_ucmm(s, req, rl, wrapped, sizeof wrapped);
        uint8_t reply[1024];
        size_t n = sizeof reply;
        if (wl < 0 || eip_send_rrdata(s, wrapped, (size_t)wl, reply, &n) != 0) return 0;
        if (n < 4) return 0;
        uint8_t gs = reply[2];
        if (gs != 0 && gs != CIP_STATUS_PARTIAL_TRANSFER) return 0;
        size_t p = reply_header_len(reply);
        uint32_t last = 0;
        bool any = false;
        while (p + 6 <= n) {
            uint32_t inst = eip_get32(reply + p);
            size_t len = eip_get16(reply + p + 4);
            if (p + 6 + len > n) break;
            if (len == nlen && memcmp(reply + p + 6, name, len) == 0) return inst;
            last = inst;
            any = true;
            p += 6 + len;
        }
        if (gs != CIP_STATUS_PARTIAL_TRANSFER || !any) return 0;
        start = last + 1;
    }
    return 0;
}

int cip_get_symbols(eip_session *s, cip_symbol *symbols, int max, int *n_out) {
    int stored = 0;
    if (n_out) *n_out = 0;
    uint32_t start = 0;
    for (int page = 0; page < 2000 && start <= 0xFFFF; page++) {
        uint8_t req[32];
        size_t rl = build_symbol_request(req, (uint16_t)start, 1);
        uint8_t reply[CIP_REPLY_MAX];
        size_t n = sizeof reply;
        if (cip_send(s, req, rl, reply, &n) != 0 || n < 4) return -1;
        uint8_t gs = reply[2];
        if (gs != 0 && gs != CIP_STATUS_PARTIAL_TRANSFER) return stored == 0 ? -1 : 0;
        size_t p = reply_header_len(reply);
        uint32_t last = 0;
        bool any = false;
        while (p + 6 <= n) {
            uint32_t inst = eip_get32(reply + p);
            size_t len = eip_get16(reply + p + 4);
            if (p + 6 + len + 2 > n) break;
            if (stored < max) {
                cip_symbol &sym = symbols[stored++];
                size_t c = len < sizeof sym.name - 1 ? len : sizeof sym.name - 1;
                memcpy(sym.name, reply + p + 6, c);
                sym.name[c] = 0;
                sym.type = eip_get16(reply + p + 6 + len);
                if (n_out) *n_out = stored;
            }
            last = inst;
            any = true;
            p += 6 + len + 2;
        }
        if (gs != CIP_STATUS_PARTIAL_TRANSFER || !any) break;
        start = last + 1;
    }
    if (n_out) *n_out = stored;
    return 0;
}

int cip_get_attributes_all(eip_session *s, uint16_t cls, uint16_t instance, uint8_t *out,
                           size_t capacity, size_t *len_out) {
    uint8_t req[16];
    req_buf b{req, sizeof req};
    b.u8(CIP_SVC_GET_ATTRIBUTES_ALL);
    b.u8(0);  // path size, set below
    if (cls <= 0xFF) {
        b.u8(0x20);
        b.u8((uint8_t)cls);
    } else {
        b.u8(0x21);
        b.u8(0);
        b.u16(cls);
    }
    if (instance <= 0xFF) {
        b.u8(0x24);
        b.u8((uint8_t)instance);
    } else {
        b.u8(0x25);
        b.u8(0);
        b.u16(instance);
    }
    req[1] = (uint8_t)((b.n - 2) / 2);
    uint8_t data[256];
    size_t n = sizeof data;
    int rc = cip_request(s, req, b.n, data, &n);
    if (rc != 0) return rc;
    size_t c = n < capacity ? n : capacity;
    memcpy(out, data, c);
    if (len_out) *len_out = c;
    return 0;
}

int cip_read_identity(eip_session *s, uint8_t *out, size_t capacity, size_t *len_out) {
    return cip_get_attributes_all(s, 0x01, 0x01, out, capacity, len_out);
}

int cip_read_controller_attrs(eip_session *s, uint8_t *out, size_t capacity, size_t *len_out) {
    static const uint8_t req[] = {CIP_SVC_GET_ATTRIBUTE_LIST,
                                  0x03,
                                  0x20,
                                  0xAC,
                                  0x25,
                                  0x00,
                                  0x01,
                                  0x00,
                                  0x05,
                                  0x00,
                                  0x01,
                                  0x00,
                                  0x02,
                                  0x00,
                                  0x03,
                                  0x00,
                                  0x04,
                                  0x00,
                                  0x0A,
                                  0x00};
    uint8_t data[64];
    size_t n = sizeof data;
    int rc = cip_request(s, req, sizeof req, data, &n);
    if (rc != 0) return rc;
    size_t c = n < capacity ? n : capacity;
    memcpy(out, data, c);
    if (len_out) *len_out = c;
    return 0;
}

int cip_read_plc_time(eip_session *s, int64_t *microseconds_out) {
    static const uint8_t req[] = {
        CIP_SVC_GET_ATTRIBUTE_LIST, 0x02, 0x20, 0x8B, 0x24, 0x01, 0x01, 0x00, 0x0B, 0x00};
    uint8_t data[32];
    size_t n = sizeof data;
    int rc = cip_request(s, req, sizeof req, data, &n);
    if (rc != 0) return rc;
    if (n <= 13) {
        log_err("PLC time: коротка відповідь %zu", n);
        return 1;
    }
    uint16_t st = eip_get16(data + 4);
    if (st != 0) {
        log_msg("PLC time read: attr status 0x%04X", st);
        return 1;
    }
    *microseconds_out = (int64_t)eip_get64(data + 6);
    return 0;
}

int cip_write_plc_time(eip_session *s, int64_t microseconds) {
    uint8_t req[18] = {
        CIP_SVC_SET_ATTRIBUTE_LIST, 0x02, 0x20, 0x8B, 0x24, 0x01, 0x01, 0x00, 0x06, 0x00};
    eip_put64(req + 10, (uint64_t)microseconds);
    uint8_t data[32];
    size_t n = sizeof data;
    int rc = cip_request(s, req, sizeof req, data, &n);
    if (rc != 0) return rc;
    if (n > 5) {
        uint16_t st = eip_get16(data + 4);
        if (st != 0) {
            log_msg("PLC time write: attr status 0x%04X", st);
            return 1;
        }
    }
    return 0;
}

namespace {

// Forward Open (size 0: the classic 500-byte connection) or Large Forward
// Open of `size` bytes. 0, 1 refused, -1 transport failure.
int open_connection(eip_session *s, uint16_t size, uint8_t *status_out) {
    s->cip_connected = 0;
    s->seq = 0;
    s->conn_size = 0;
    uint32_t k = g_fwd_open_counter.fetch_add(1);
    s->ot_conn_id = k + 0x20000001u;
    s->conn_serial = (uint16_t)((uint64_t)time(nullptr) + k);
    bool large = size != 0;

    uint8_t req[64];
    req_buf b{req, sizeof req};
    const uint8_t prefix[] = {large ? CIP_SVC_LARGE_FORWARD_OPEN : CIP_SVC_FORWARD_OPEN,
                              0x02,
                              0x20,
                              0x06,
                              0x24,
                              0x01,
                              0x0A,
                              0xF0};
    b.bytes(prefix, sizeof prefix);
    b.u32(s->ot_conn_id);
    b.u32(0);
    b.u16(s->conn_serial);
    b.u16(0x0059);
    b.u32(0x00000001);
    b.u8(3);
    b.u8(0);
    b.u8(0);
    b.u8(0);
    // Point-to-point, low priority, variable size; the large form carries
    // the size in 16 bits of a 32-bit word.
    for (int dir = 0; dir < 2; dir++) {
        b.u32(500000);
        if (large)
            b.u32(0x42000000u | size);
        else
            b.u16(0x43F4);
    }
    b.u8(0xA3);
    b.u8(3);
    const uint8_t path[] = {0x01, (uint8_t)s->slot, 0x20, 0x02, 0x24, 0x01};
    b.bytes(path, sizeof path);

    const char *what = large ? "LargeForwardOpen" : "ForwardOpen";
    uint8_t reply[128];
    size_t n = sizeof reply;
    if (eip_send_rrdata(s, req, b.n, reply, &n) != 0) {
        log_msg("%s: транспортна помилка", what);
        return -1;
    }
    if (n <= 3) {
        log_msg("%s: відповідь занадто коротка (%zu)", what, n);
        return -1;
    }
    if (reply[2] != 0) {
        if (status_out) {
            *status_out = reply[2];  // the caller reports the refusal itself
        } else if (reply[3] != 0 && n > 5) {
            log_msg("%s: CIP помилка 0x%02X ext 0x%04X", what, reply[2], eip_get16(reply + 4));
        } else {
            log_msg("%s: CIP помилка 0x%02X", what, reply[2]);
        }
        return 1;
    }
    size_t h = reply_header_len(reply);
    if (n < h + 8) {
        log_msg("%s: неповна відповідь (%zu байт)", what, n);
        return -1;
    }
    s->ot_conn_id = eip_get32(reply + h);
    s->to_conn_id = eip_get32(reply + h + 4);
    if (s->to_conn_id == 0) {
        if (s->ot_conn_id == 0) {
            log_msg("%s: обидва conn_id=0 (UCMM fallback)", what);
            return 1;
        }
        log_msg("%s: T→O=0, O→T_confirmed=0x%08X — ControlLogix quirk, use O→T", what,
                s->ot_conn_id);
        s->to_conn_id = s->ot_conn_id;
    }
    s->cip_connected = 1;
    s->conn_size = large ? size : CIP_CONN_SIZE_DEFAULT;
    log_msg("%s OK: conn_id=0x%08X serial=0x%04X", what, s->to_conn_id, s->conn_serial);
    return 0;
}

}  // namespace

int cip_forward_open(eip_session *s) {
    return open_connection(s, 0, nullptr);
}

int cip_large_forward_open(eip_session *s, uint16_t size, uint8_t *status_out) {
    if (size <= CIP_CONN_SIZE_DEFAULT || size > CIP_CONN_SIZE_LARGE_MAX) return 1;
    return open_connection(s, size, status_out);
}

size_t cip_conn_budget(const eip_session *s) {
    // The connection size counts the 2-byte sequence count; unconnected
    // requests keep the Unconnected Send limit.
    if (!s->cip_connected || s->conn_size < 2) return CIP_UCMM_MAX;
    return (size_t)s->conn_size - 2;
}

int cip_forward_close(eip_session *s) {
    if (!s->cip_connected) return 0;
    s->cip_connected = 0;
    s->conn_size = 0;
    uint8_t req[24];
    req_buf b{req, sizeof req};
    const uint8_t prefix[] = {0x4E, 0x02, 0x20, 0x06, 0x24, 0x01, 0x0A, 0xF0};
    b.bytes(prefix, sizeof prefix);
    b.u16(s->conn_serial);
    b.u16(0x0059);
    b.u32(0x00000001);
    b.u8(3);
    b.u8(0);
    const uint8_t path[] = {0x01, (uint8_t)s->slot, 0x20, 0x02, 0x24, 0x01};
    b.bytes(path, sizeof path);
    uint8_t reply[64];
    size_t n = sizeof reply;
    int rc = eip_send_rrdata(s, req, b.n, reply, &n);
    log_msg("ForwardClose відправлено");
    return rc == 0 ? 0 : -1;
}
