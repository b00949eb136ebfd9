// Channel values in and out: the publication scan, value requests,
// subscribed values written into the bridge's own channels, staleness.
#include <ctype.h>
#include <math.h>
#include <string.h>

#include <vector>

#include "common/json.h"
#include "common/log.h"
#include "common/parse_util.h"
#include "mq_bridge.h"
#include "mq_codec.h"

bool mq_read_phys(const mq_bridge *b, const mq_tag &t, bool *good, double *value) {
    if (!b->shm_open) return false;
    if (t.kind == 'A') {
        const ShmAnalog *a = shm_analog(&b->shm, t.channel);
        if (!a) return false;
        double v = a->value;
        if (b->have_reg) v = channels_to_phys(channels_an(&b->reg, t.channel), v);
        *value = v;
        *good = a->quality == 1 && isfinite(v);
        return true;
    }
    const ShmDiscrete *d = shm_discrete(&b->shm, t.channel);
    if (!d) return false;
    *value = d->value;
    *good = d->quality == 1;
    return true;
}

std::string mq_value_message(const mq_bridge *b, const mq_tag &t, bool good, double value,
                             int64_t wall_ms) {
    char head[128];
    if (good) {
        char num[40];
        zq_format_double_c(num, sizeof num, "%.10g", value);
        snprintf(head, sizeof head, "{\"v\":%s,\"q\":1,\"ts\":%lld", num, (long long)wall_ms);
    } else {
        snprintf(head, sizeof head, "{\"v\":null,\"q\":0,\"ts\":%lld", (long long)wall_ms);
    }
    std::string desc, unit;
    const channel_rec *r = nullptr;
    if (b->have_reg)
        r = t.kind == 'A' ? channels_an(&b->reg, t.channel) : channels_di(&b->reg, t.channel);
    if (r) {
        desc = r->desc[0] ? r->desc : r->name;
        if (t.kind == 'A') unit = r->unit;
    }
    std::string d = desc.empty() ? "" : ",\"desc\":\"" + json_escape_str(desc) + "\"";
    std::string u = unit.empty() ? "" : ",\"unit\":\"" + json_escape_str(unit) + "\"";
    std::string msg = head;
    // Too long: leave out the description first, then the unit; the JSON
    // itself is never cut.
    if (msg.size() + d.size() + u.size() + 1 > MQ_VALUE_MAX) d.clear();
    if (msg.size() + d.size() + u.size() + 1 > MQ_VALUE_MAX) u.clear();
    return msg + d + u + "}";
}

bool mq_pub_due(const mq_pub &p, int64_t now, bool good, double value) {
    if (!p.published) return true;
    int64_t since = now - p.last_mono_ms;
    if (p.max_ms > 0 && since >= p.max_ms) return true;
    if (since < p.min_ms) return false;
    if (good != p.last_good) return true;
    return good && fabs(value - p.last_value) > p.deadband;
}

// Encodes one PUBLISH; with a batch it is queued there (flushed by the
// caller), else sent at once. 0 sent or queued, 1 does not fit (skipped),
// -1 the connection dropped.
static int publish(mq_bridge *b, const std::string &topic, const std::string &payload, int qos,
                   bool retain, int64_t now, std::string *batch = nullptr) {
    uint8_t buf[MQ_PUB_CAP];
    uint16_t id = qos ? mq_next_id(b) : 0;
    int n = mq_enc_publish(buf, sizeof buf, topic.c_str(), payload.data(), payload.size(),
                           qos ? 1 : 0, retain, id);
    if (n < 0) return 1;
    if (!batch) return mq_tx(b, buf, (size_t)n, now) == 0 ? 0 : -1;
    batch->append((const char *)buf, (size_t)n);
    return 0;
}

static int flush(mq_bridge *b, std::string *batch, int64_t now) {
    if (batch->empty()) return 0;
    int rc = mq_tx(b, (const uint8_t *)batch->data(), batch->size(), now);
    batch->clear();
    return rc;
}

void mq_pub_scan(mq_bridge *b, int64_t now) {
    int64_t wall = mq_wall_ms();
    // Many small publications go out in few large writes.
    std::string batch;
    batch.reserve(65536);
    for (mq_pub &p : b->maps.pub) {
        if (!p.enabled || !b->connected) continue;
        bool good = false;
        double v = 0;
        if (!mq_read_phys(b, p.tag, &good, &v)) continue;
        if (!mq_pub_due(p, now, good, v)) continue;
        int rc = publish(b, p.topic, mq_value_message(b, p.tag, good, v, wall), p.qos, p.retain,
                         now, &batch);
        if (rc > 0) {
            b->pub_dropped++;
            if (mq_ratelog_allow(&b->rl_spool, now))
                log_err("mqtt: pub id=%d — повідомлення не вміщується у %zu байт — пропущено", p.id,
                        MQ_PUB_CAP);
            continue;
        }
        b->pub_sent++;
        p.published = true;
        p.last_mono_ms = now;
        p.last_good = good;
        p.last_value = v;
        if (batch.size() >= 60000 && flush(b, &batch, now) != 0) return;
    }
    flush(b, &batch, now);
}

void mq_write_own(mq_bridge *b, const mq_tag &t, bool bad, int64_t ts, double value) {
    if (!b->shm_open || t.channel <= 0) return;
    if (!bad && !isfinite(value)) bad = true;
    if (t.kind == 'D') {
        if (t.channel >= (int64_t)shm_di_count(&b->shm)) return;
        double r = bad ? 0 : round(value);
        uint8_t v = r <= 0 ? 0 : r >= 255 ? 255 : (uint8_t)r;
        shm_update_discrete(&b->shm, t.channel, v, bad ? 0 : 1, ts);
        shm_set_di_vtype(&b->shm, t.channel, SHM_VT_USINT);
        return;
    }
    if (t.channel >= (int64_t)shm_an_count(&b->shm)) return;
    if (!bad && b->have_reg) {
        value = channels_to_code(channels_an(&b->reg, t.channel), value);
        if (!isfinite(value)) bad = true;
    }
    shm_update_analog(&b->shm, t.channel, bad ? 0 : 1, ts, bad ? 0 : value);
    shm_set_an_vtype(&b->shm, t.channel, SHM_VT_LREAL);
}

int mq_sub_payload(const uint8_t *data, size_t len, double *value) {
    if (len < 1 || len > 255) return -1;
    size_t i = 0;
    while (i < len && (data[i] == ' ' || data[i] == '\t' || data[i] == '\r' || data[i] == '\n'))
        i++;
    if (i == len) return -1;
    std::string text((const char *)data + i, len - i);
    if (memchr(text.data(), 0, text.size())) return -1;
    if (text[0] == '{') {
        json_ptr root(json_parse(text.c_str()));
        if (!root || root->type != JSON_OBJECT) return -1;
        const json_node *v = json_get(root.get(), "v");
        if (!v) return -1;
        if (v->type != JSON_NUMBER) return 0;
        *value = v->number;
        return 1;
    }
    char c = text[0];
    if (!isdigit((unsigned char)c) && c != '-' && c != '+' && c != '.') return -1;
    char *end = nullptr;
    double v = zq_strtod_c(text.c_str(), &end);
    if (end == text.c_str()) return -1;
    *value = v;
    return 1;
}

std::string mq_get_tag_text(const uint8_t *data, size_t len) {
    if (len < 1 || len > 127) return "";
    std::string text((const char *)data, len);
    if (memchr(text.data(), 0, text.size())) return "";
    size_t i = text.find_first_not_of(" \t\r\n");
    if (i == std::string::npos) return "";
    if (text[i] == '{') {
        json_ptr root(json_parse(text.c_str() + i));
        const char *t = root ? json_gets(root.get(), "tag", "") : "";
        std::string s = t ? t : "";
        return s.size() > 63 ? s.substr(0, 63) : s;
    }
    std::string s;
    for (; i < text.size() && s.size() < 63; i++) {
        unsigned char c = (unsigned char)text[i];
        if (!isalnum(c) && c != '_') break;
        s += (char)c;
    }
    return s;
}

static void answer_get(mq_bridge *b, const uint8_t *pl, size_t pl_len, int64_t now) {
    std::string text = mq_get_tag_text(pl, pl_len);
    mq_tag t;
    if (!mq_resolve_tag(text.c_str(), b->own, &t)) {
        if (mq_ratelog_allow(&b->rl_get, now))
            log_err("mqtt: get — невідомий тег «%s»", text.c_str());
        return;
    }
    char canon[24];
    snprintf(canon, sizeof canon, "%c%d", t.kind, t.channel);
    if (!b->maps.allow.empty()) {
        bool ok = false;
        for (const mq_tag &a : b->maps.allow)
            ok = ok || (a.kind == t.kind && a.channel == t.channel);
        if (!ok) {
            if (mq_ratelog_allow(&b->rl_get, now))
                log_err("mqtt: get %s — не у списку allow, відмовлено", canon);
            return;
        }
    }
    bool good = false;
    double v = 0;
    if (!mq_read_phys(b, t, &good, &v)) good = false;
    std::string topic = b->cfg.prefix + "/value/" + canon;
    if (publish(b, topic, mq_value_message(b, t, good, v, mq_wall_ms()), 0, false, now) == 0)
        b->get_answered++;
}

void mq_on_publish(mq_bridge *b, const uint8_t *pkt, size_t len, int64_t now) {
    mq_packet p;
    if (mq_parse(pkt, len, &p) <= 0) return;
    // Any topic that fits the received packet is taken: the subscriptions
    // match exactly, so a long topic is simply one nobody asked for.
    std::vector<char> topic(len + 1);
    const uint8_t *pl = nullptr;
    size_t pl_len = 0;
    uint16_t id = 0;
    int qos = 0;
    if (mq_pub_decode(&p, topic.data(), topic.size(), &pl, &pl_len, &id, &qos) != 0) {
        if (mq_ratelog_allow(&b->rl_payload, now))
            log_err("mqtt: PUBLISH не розібрано — пропущено");
        return;
    }
    if (qos == 1) {
        uint8_t ack[4];
        if (mq_enc_puback(ack, sizeof ack, id) > 0 && mq_tx(b, ack, sizeof ack, now) != 0) return;
    }
    const char *tp = topic.data();
    if (b->maps.get_enabled && !b->cfg.prefix.empty() && b->cfg.prefix + "/get" == tp) {
        answer_get(b, pl, pl_len, now);
        return;
    }
    for (mq_sub &s : b->maps.sub) {
        if (!s.enabled || s.topic != tp) continue;
        double v = 0;
        int r = mq_sub_payload(pl, pl_len, &v);
        if (r < 0) {
            if (mq_ratelog_allow(&b->rl_payload, now))
                log_err("mqtt: sub id=%d — незрозумілий payload на «%s»", s.id, tp);
            continue;
        }
        mq_write_own(b, s.tag, r == 0, mq_wall_ms(), v);
        b->sub_rx++;
        s.last_rx_mono_ms = now;
    }
}

void mq_stale_check(mq_bridge *b, int64_t now) {
    for (mq_sub &s : b->maps.sub) {
        if (!s.enabled || s.stale_ms <= 0 || s.last_rx_mono_ms == 0) continue;
        if (now - s.last_rx_mono_ms <= s.stale_ms) continue;
        mq_write_own(b, s.tag, true, mq_wall_ms(), 0);
        s.last_rx_mono_ms = 0;
    }
}
