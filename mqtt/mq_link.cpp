// The broker connection: connecting with back-off, the CONNACK deadline,
// keep-alive, splitting received bytes into packets, and the status file.
#include <errno.h>
#include <string.h>
#include <time.h>

#include "common/atomic_file.h"
#include "common/json.h"
#include "common/log.h"
#include "mq_bridge.h"
#include "mq_codec.h"

int64_t mq_mono_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int64_t mq_wall_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

bool mq_ratelog_allow(mq_ratelog *r, int64_t now, int burst) {
    if (r->window_ms == 0 || now - r->window_ms >= 60000) {
        if (r->suppressed > 0)
            log_err("mqtt: ще %d подібних повідомлень за хвилину не записано", r->suppressed);
        r->window_ms = now;
        r->lines = 0;
        r->suppressed = 0;
    }
    if (r->lines < burst) {
        r->lines++;
        return true;
    }
    r->suppressed++;
    return false;
}

uint16_t mq_next_id(mq_bridge *b) {
    b->next_id = (uint16_t)(b->next_id == 65535 ? 1 : b->next_id + 1);
    return b->next_id;
}

void mq_drop(mq_bridge *b, const char *reason, int64_t now) {
    mq_conn_close(&b->conn);
    if (b->connected)
        log_err("mqtt: з'єднання втрачено (%s)", reason);
    else
        log_err("mqtt: підключення до %s:%d не вдалося (%s), наступна спроба через %d с",
                b->cfg.host.c_str(), b->cfg.port, reason, b->backoff_s);
    b->connected = false;
    b->socket_open = false;
    b->rx_len = 0;
    b->rx_skip = 0;
    // Reports awaiting their PUBACK stay in the spool and go again.
    b->spool_inflight.clear();
    b->next_attempt_ms = now + (int64_t)b->backoff_s * 1000;
    if (b->backoff_s < 30) b->backoff_s *= 2;
}

int mq_tx(mq_bridge *b, const uint8_t *data, size_t len, int64_t now) {
    if (!b->socket_open) return -1;
    if (mq_conn_send(&b->conn, data, len) != 0) {
        mq_drop(b, "send", now);
        return -1;
    }
    b->last_tx_ms = now;
    return 0;
}

void mq_try_connect(mq_bridge *b, int64_t now) {
    if (b->socket_open || b->cfg.host.empty() || now < b->next_attempt_ms) return;
    std::string err;
    int fd = mq_tcp_connect(b->cfg.host.c_str(), b->cfg.port, &err);
    if (fd < 0) {
        mq_drop(b, err.c_str(), now);
        return;
    }
    b->conn.fd = fd;
    if (b->cfg.tls) {
        if (!b->tls_ctx) b->tls_ctx = mq_tls_context(b->cfg.ca_file.c_str(), b->cfg.tls_insecure);
        if (!b->tls_ctx) {
            mq_drop(b, "tls", now);
            return;
        }
        if (mq_tls_start(&b->conn, b->tls_ctx, b->cfg.host.c_str(), b->cfg.tls_insecure, &err) !=
            0) {
            log_err("mqtt: TLS handshake: %s", err.c_str());
            mq_drop(b, "tls", now);
            return;
        }
        log_msg("mqtt: TLS %s", mq_tls_describe(&b->conn).c_str());
    }
    uint8_t buf[600];
    int n = mq_enc_connect(buf, sizeof buf, b->cfg.client_id.c_str(), b->cfg.user.c_str(),
                           b->cfg.pass.c_str(), b->cfg.keepalive_s);
    if (n < 0) {
        mq_drop(b, "connect enc", now);
        return;
    }
    b->socket_open = true;
    b->rx_len = 0;
    b->rx_skip = 0;
    if (mq_tx(b, buf, (size_t)n, now) != 0) return;
    b->connect_sent_ms = now;
    b->last_rx_ms = now;
}

void mq_subscribe_all(mq_bridge *b, int64_t now) {
    uint8_t buf[400];
    auto sub = [&](const std::string &topic, int qos) {
        int n = mq_enc_subscribe(buf, sizeof buf, mq_next_id(b), topic.c_str(), qos ? 1 : 0);
        if (n < 0) {
            log_err("mqtt: SUBSCRIBE «%s» не кодується — пропущено", topic.c_str());
            return 0;
        }
        return mq_tx(b, buf, (size_t)n, now);
    };
    for (const mq_sub &s : b->maps.sub)
        if (s.enabled && sub(s.topic, s.qos) != 0) return;
    if (b->maps.get_enabled && !b->cfg.prefix.empty()) sub(b->cfg.prefix + "/get", 0);
}

void mq_disconnect(mq_bridge *b) {
    if (b->connected) {
        uint8_t buf[2];
        int n = mq_enc_disconnect(buf, sizeof buf);
        if (n > 0) mq_conn_send(&b->conn, buf, (size_t)n);
    }
    mq_conn_close(&b->conn);
    b->connected = b->socket_open = false;
}

static void on_packet(mq_bridge *b, const mq_packet &p, const uint8_t *raw, size_t len,
                      int64_t now) {
    switch (p.type) {
        case MQ_CONNACK: {
            int rc = mq_connack_rc(&p);
            if (b->connected) return;
            if (rc != 0) {
                log_err("mqtt: брокер відхилив CONNECT (rc=%d)", rc);
                mq_drop(b, "connack", now);
                return;
            }
            b->connected = true;
            b->backoff_s = 1;
            log_msg("mqtt: підключено до %s:%d (client_id=%s)", b->cfg.host.c_str(), b->cfg.port,
                    b->cfg.client_id.c_str());
            // Current values go out again: the broker may have lost the
            // retained ones, and a batch cut by the drop never arrived.
            for (mq_pub &pe : b->maps.pub)
                pe.published = false;
            mq_subscribe_all(b, now);
            return;
        }
        case MQ_PUBLISH:
            if (b->connected) mq_on_publish(b, raw, len, now);
            return;
        case MQ_PUBACK: {
            int id = mq_puback_id(&p);
            if (id > 0) mq_spool_acked(b, (uint16_t)id);
            return;
        }
        default:
            return;  // SUBACK, PINGRESP
    }
}

// A PUBLISH larger than the receive buffer (a retained blob, say) is read
// and thrown away instead of dropping the connection: the broker would send
// it again on every reconnect. true when skipping started.
static bool skip_oversize(mq_bridge *b, int64_t now) {
    uint8_t type, flags;
    size_t hl;
    uint32_t rl;
    if (mq_peek_header(b->rx, b->rx_len, &type, &flags, &hl, &rl) != 1) return false;
    uint64_t total = (uint64_t)hl + rl;
    if (total <= MQ_RX_CAP || type != MQ_PUBLISH) return false;
    int qos = (flags >> 1) & 3;
    if (b->rx_len < hl + 2) return false;
    size_t t = (size_t)(b->rx[hl] << 8 | b->rx[hl + 1]);
    size_t need = hl + 2 + t + (qos ? 2 : 0);
    if (b->rx_len < need) return false;  // topic and id still to come
    std::string topic((const char *)b->rx + hl + 2, t);
    if (qos == 1) {
        uint16_t id = (uint16_t)(b->rx[hl + 2 + t] << 8 | b->rx[hl + 3 + t]);
        uint8_t ack[4];
        if (mq_enc_puback(ack, sizeof ack, id) > 0 && mq_tx(b, ack, sizeof ack, now) != 0)
            return true;
    }
    if (mq_ratelog_allow(&b->rl_rx, now))
        log_err("mqtt: повідомлення на «%s» (%llu байт) більше за буфер %zu — пропущено",
                topic.c_str(), (unsigned long long)total, MQ_RX_CAP);
    b->rx_skip = total - b->rx_len;
    b->rx_len = 0;
    return true;
}

// Splits the buffer into packets; false when the connection was dropped.
static bool drain_packets(mq_bridge *b, int64_t now) {
    size_t off = 0;
    while (b->socket_open && off < b->rx_len) {
        mq_packet p;
        int n = mq_parse(b->rx + off, b->rx_len - off, &p);
        if (n < 0) {
            mq_drop(b, "bad packet", now);
            return false;
        }
        if (n == 0) break;
        on_packet(b, p, b->rx + off, (size_t)n, now);
        off += (size_t)n;
    }
    if (!b->socket_open) return false;
    if (off) {
        memmove(b->rx, b->rx + off, b->rx_len - off);
        b->rx_len -= off;
    }
    if (b->rx_len && skip_oversize(b, now)) return b->socket_open;
    if (b->rx_len >= MQ_RX_CAP) {
        mq_drop(b, "rx overflow", now);
        return false;
    }
    return true;
}

void mq_poll_input(mq_bridge *b, int wait_ms, int64_t now) {
    if (!mq_conn_wait(&b->conn, wait_ms)) return;
    now = mq_mono_ms();
    // A bounded number of reads per turn keeps publications going under a flood.
    for (int i = 0; i < 64 && b->socket_open; i++) {
        uint8_t scratch[16384];
        long n;
        if (b->rx_skip) {
            size_t want = b->rx_skip < sizeof scratch ? (size_t)b->rx_skip : sizeof scratch;
            n = mq_conn_recv(&b->conn, scratch, want);
        } else {
            n = mq_conn_recv(&b->conn, b->rx + b->rx_len, MQ_RX_CAP - b->rx_len);
        }
        if (n == -2) return;
        if (n == 0) return mq_drop(b, "peer close", now);
        if (n < 0) return mq_drop(b, "recv", now);
        b->last_rx_ms = now;
        if (b->rx_skip) {
            b->rx_skip -= (uint64_t)n;
            continue;
        }
        b->rx_len += (size_t)n;
        if (!drain_packets(b, now)) return;
    }
}

void mq_check_timers(mq_bridge *b, int64_t now) {
    if (!b->socket_open) return;
    if (!b->connected) {
        if (now - b->connect_sent_ms > MQ_CONNACK_TIMEOUT_MS) mq_drop(b, "connack timeout", now);
        return;
    }
    int64_t ka = b->cfg.keepalive_s;
    if (now - b->last_tx_ms > ka * 500) {
        uint8_t buf[2];
        if (mq_enc_pingreq(buf, sizeof buf) > 0 && mq_tx(b, buf, 2, now) != 0) return;
    }
    if (now - b->last_rx_ms > ka * 2000) mq_drop(b, "keepalive timeout", now);
}

std::string mq_status_text(const mq_bridge *b) {
    int np = 0, ns = 0;
    for (const mq_pub &p : b->maps.pub)
        np += p.enabled;
    for (const mq_sub &s : b->maps.sub)
        ns += s.enabled;
    char buf[2048];
    snprintf(buf, sizeof buf,
             "{\"connected\":%d,\"broker\":\"%s:%d\",\"tls\":%d,\"client_id\":\"%s\",\"prefix\":"
             "\"%s\",\"pub_sent\":%ld,\"sub_rx\":%ld,\"get_answered\":%ld,\"report_sent\":%ld,"
             "\"n_pub\":%d,\"n_sub\":%d,\"pub_dropped\":%ld,\"ts\":%lld}\n",
             b->connected ? 1 : 0, json_escape_str(b->cfg.host).c_str(), b->cfg.port,
             b->cfg.tls ? 1 : 0, json_escape_str(b->cfg.client_id).c_str(),
             json_escape_str(b->cfg.prefix).c_str(), b->pub_sent, b->sub_rx, b->get_answered,
             b->report_sent, np, ns, b->pub_dropped, (long long)mq_wall_ms());
    return buf;
}

void mq_status_write(mq_bridge *b, int64_t now) {
    if (b->status_ms >= 0 && b->status_connected == b->connected && now - b->status_ms < 2000)
        return;
    b->status_connected = b->connected;
    b->status_ms = now;
    if (atomic_file_write(b->cfg.dir + "/status.json", mq_status_text(b), 0644) != 0 &&
        mq_ratelog_allow(&b->rl_spool, now))
        log_err("mqtt: status.json не записано: %s", strerror(errno));
}
