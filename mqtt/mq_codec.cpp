#include "mq_codec.h"

#include <string.h>

namespace {

// Bytes the remaining length takes (1..4), 0 when it cannot be encoded.
int rl_size(size_t rl) {
    if (rl > MQ_MAX_REMAINING) return 0;
    return rl < 128 ? 1 : rl < 16384 ? 2 : rl < 2097152 ? 3 : 4;
}

// Total packet size for this remaining length when it fits cap, else 0.
size_t fits(size_t cap, size_t rl) {
    int k = rl_size(rl);
    if (k == 0 || !cap) return 0;
    size_t total = 1 + (size_t)k + rl;
    return total <= cap ? total : 0;
}

// Writes the fixed header; the caller has checked the room.
size_t put_header(uint8_t *buf, uint8_t first, size_t rl) {
    size_t n = 0;
    buf[n++] = first;
    do {
        uint8_t b = (uint8_t)(rl & 0x7F);
        rl >>= 7;
        if (rl) b |= 0x80;
        buf[n++] = b;
    } while (rl);
    return n;
}

size_t put16(uint8_t *p, uint16_t v) {
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
    return 2;
}

size_t put_str(uint8_t *p, const char *s, size_t len) {
    put16(p, (uint16_t)len);
    if (len) memcpy(p + 2, s, len);
    return 2 + len;
}

size_t slen(const char *s) {
    return s ? strlen(s) : 0;
}

}  // namespace

bool mq_topic_name_ok(const char *topic, size_t len) {
    if (!topic || len == 0 || len > 65535) return false;
    for (size_t i = 0; i < len; i++)
        if (topic[i] == '+' || topic[i] == '#' || topic[i] == 0) return false;
    return true;
}

bool mq_topic_filter_ok(const char *f, size_t len) {
    if (!f || len == 0 || len > 65535) return false;
    for (size_t i = 0; i < len; i++) {
        char c = f[i];
        if (c == 0) return false;
        bool level_start = i == 0 || f[i - 1] == '/';
        bool level_end = i + 1 == len || f[i + 1] == '/';
        if (c == '#' && !(level_start && i + 1 == len)) return false;
        if (c == '+' && !(level_start && level_end)) return false;
    }
    return true;
}

int mq_enc_connect(uint8_t *buf, size_t cap, const char *client_id, const char *user,
                   const char *password, int keepalive_s) {
    size_t lc = slen(client_id), lu = slen(user), lp = slen(password);
    // A password without a user name is a protocol violation the broker
    // answers by closing the connection.
    if (lp && !lu) return -1;
    if (keepalive_s < 0 || keepalive_s > 65535) return -1;
    size_t rl = 10 + 2 + lc + (lu ? 2 + lu : 0) + (lp ? 2 + lp : 0);
    if (rl > 512) return -1;
    size_t total = fits(cap, rl);
    if (!total) return -1;
    size_t n = put_header(buf, 0x10, rl);
    n += put_str(buf + n, "MQTT", 4);
    buf[n++] = 4;
    buf[n++] = (uint8_t)(0x02 | (lu ? 0x80 : 0) | (lp ? 0x40 : 0));
    n += put16(buf + n, (uint16_t)keepalive_s);
    n += put_str(buf + n, client_id, lc);
    if (lu) n += put_str(buf + n, user, lu);
    if (lp) n += put_str(buf + n, password, lp);
    return (int)n;
}

int mq_enc_publish(uint8_t *buf, size_t cap, const char *topic, const void *payload,
                   size_t payload_len, int qos, int retain, uint16_t packet_id) {
    size_t lt = slen(topic);
    if (!mq_topic_name_ok(topic, lt)) return -1;
    if (qos < 0 || qos > 2 || (qos > 0 && packet_id == 0)) return -1;
    if (payload_len && !payload) return -1;
    size_t rl = 2 + lt + (qos ? 2 : 0) + payload_len;
    if (rl < payload_len) return -1;  // overflow
    size_t total = fits(cap, rl);
    if (!total || total > 0x7FFFFFFF) return -1;
    size_t n = put_header(buf, (uint8_t)(0x30 | (qos << 1) | (retain ? 1 : 0)), rl);
    n += put_str(buf + n, topic, lt);
    if (qos) n += put16(buf + n, packet_id);
    if (payload_len) memcpy(buf + n, payload, payload_len);
    return (int)(n + payload_len);
}

int mq_enc_puback(uint8_t *buf, size_t cap, uint16_t packet_id) {
    if (cap < 4 || packet_id == 0) return -1;
    buf[0] = 0x40;
    buf[1] = 2;
    put16(buf + 2, packet_id);
    return 4;
}

int mq_enc_subscribe(uint8_t *buf, size_t cap, uint16_t packet_id, const char *filter, int qos) {
    size_t lf = slen(filter);
    if (packet_id == 0 || qos < 0 || qos > 2) return -1;
    if (lf >= 296 || !mq_topic_filter_ok(filter, lf)) return -1;
    size_t rl = 2 + 2 + lf + 1;
    if (!fits(cap, rl)) return -1;
    size_t n = put_header(buf, 0x82, rl);
    n += put16(buf + n, packet_id);
    n += put_str(buf + n, filter, lf);
    buf[n++] = (uint8_t)qos;
    return (int)n;
}

static int two_bytes(uint8_t *buf, size_t cap, uint8_t first) {
    if (cap < 2) return -1;
    buf[0] = first;
    buf[1] = 0;
    return 2;
}

int mq_enc_pingreq(uint8_t *buf, size_t cap) {
    return two_bytes(buf, cap, 0xC0);
}

int mq_enc_disconnect(uint8_t *buf, size_t cap) {
    return two_bytes(buf, cap, 0xE0);
}

int mq_peek_header(const uint8_t *data, size_t len, uint8_t *type, uint8_t *flags,
                   size_t *header_len, uint32_t *remaining) {
    if (len < 2) return 0;
    uint32_t rl = 0;
    size_t i = 1;
    for (int shift = 0;; shift += 7, i++) {
        if (i > 4) return -1;  // a fifth length byte
        if (i >= len) return 0;
        rl |= (uint32_t)(data[i] & 0x7F) << shift;
        if (!(data[i] & 0x80)) break;
    }
    uint8_t t = data[0] >> 4;
    if (t == 0 || t == 15) return -1;
    *type = t;
    *flags = data[0] & 0x0F;
    *header_len = i + 1;
    *remaining = rl;
    return 1;
}

int mq_parse(const uint8_t *data, size_t len, mq_packet *packet) {
    uint8_t type = 0, flags = 0;
    size_t hl = 0;
    uint32_t rl = 0;
    int r = mq_peek_header(data, len, &type, &flags, &hl, &rl);
    if (r <= 0) return r;
    if (len - hl < rl) return 0;
    if (hl + rl > 0x7FFFFFFF) return -1;
    packet->type = type;
    packet->flags = flags;
    packet->body = data + hl;
    packet->body_len = rl;
    return (int)(hl + rl);
}

int mq_connack_rc(const mq_packet *p) {
    if (!p || p->type != MQ_CONNACK || p->body_len < 2) return -1;
    return p->body[1];
}

int mq_puback_id(const mq_packet *p) {
    if (!p || p->type != MQ_PUBACK || p->body_len != 2) return -1;
    return p->body[0] << 8 | p->body[1];
}

int mq_pub_decode(const mq_packet *p, char *topic_buf, size_t topic_cap, const uint8_t **payload,
                  size_t *payload_len, uint16_t *packet_id, int *qos_out) {
    if (!p || p->type != MQ_PUBLISH || p->body_len < 2 || !topic_buf || !topic_cap) return -1;
    int qos = (p->flags >> 1) & 3;
    if (qos == 3) return -1;
    size_t t = (size_t)(p->body[0] << 8 | p->body[1]);
    if (p->body_len < t + 2 || t >= topic_cap) return -1;
    const char *tp = (const char *)p->body + 2;
    if (!mq_topic_name_ok(tp, t)) return -1;
    size_t off = 2 + t;
    uint16_t id = 0;
    if (qos) {
        if (p->body_len < off + 2) return -1;
        id = (uint16_t)(p->body[off] << 8 | p->body[off + 1]);
        if (id == 0) return -1;
        off += 2;
    }
    memcpy(topic_buf, tp, t);
    topic_buf[t] = 0;
    if (payload) *payload = p->body + off;
    if (payload_len) *payload_len = p->body_len - off;
    if (packet_id) *packet_id = id;
    if (qos_out) *qos_out = qos;
    return 0;
}
