#pragma once
// The bridge's state and its turn-by-turn operations: the broker connection
// with back-off and time-outs, publications, subscriptions, value requests,
// the report spool and the status file. One thread.
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "common/channels.h"
#include "common/shm.h"
#include "mq_config.h"
#include "mq_conn.h"

constexpr size_t MQ_RX_CAP = 65536;
constexpr size_t MQ_PUB_CAP = 1024;
constexpr size_t MQ_SPOOL_CAP = 8600;
constexpr size_t MQ_VALUE_MAX = 511;
constexpr int MQ_CONNACK_TIMEOUT_MS = 5000;
// Spool files considered per scan, sent per scan, and QoS 1 reports awaiting
// their PUBACK at once.
constexpr int MQ_SPOOL_SCAN_MAX = 64;
constexpr int MQ_SPOOL_SEND_MAX = 32;
constexpr int MQ_SPOOL_INFLIGHT_MAX = 32;

// At most `burst` lines of one kind per minute; the rest are counted and
// reported once the minute is over, so a flood of bad messages cannot fill
// the disk.
struct mq_ratelog {
    int64_t window_ms = 0;
    int lines = 0;
    int suppressed = 0;
};
bool mq_ratelog_allow(mq_ratelog *r, int64_t now_mono_ms, int burst = 10);

struct mq_bridge {
    mq_config cfg;
    std::vector<mq_own> own;
    mq_maps maps;
    channels_registry reg;
    bool have_reg = false;
    ShmHandle shm;
    bool shm_open = false;

    SSL_CTX *tls_ctx = nullptr;
    mq_conn conn;
    bool socket_open = false;  // CONNECT sent, CONNACK awaited or received
    bool connected = false;    // CONNACK 0 received
    int64_t connect_sent_ms = 0;
    int64_t last_tx_ms = 0, last_rx_ms = 0;
    int backoff_s = 1;
    int64_t next_attempt_ms = 0;
    uint16_t next_id = 0;

    uint8_t rx[MQ_RX_CAP];
    size_t rx_len = 0;
    // Bytes of an oversize PUBLISH still to be read and dropped.
    uint64_t rx_skip = 0;

    long pub_sent = 0, sub_rx = 0, get_answered = 0, report_sent = 0;
    long pub_dropped = 0;  // due publications that could not be sent
    // QoS 1 spool messages sent and awaiting PUBACK: packet id -> file name.
    std::map<uint16_t, std::string> spool_inflight;

    bool status_connected = false;
    int64_t status_ms = -1;

    mq_ratelog rl_payload, rl_get, rl_spool, rl_rx;
};

// Monotonic milliseconds (intervals and time-outs) and wall milliseconds
// (only the "ts" stamps).
int64_t mq_mono_ms();
int64_t mq_wall_ms();

uint16_t mq_next_id(mq_bridge *b);

// Connection (mq_link.cpp).
void mq_try_connect(mq_bridge *b, int64_t now);
void mq_drop(mq_bridge *b, const char *reason, int64_t now);
int mq_tx(mq_bridge *b, const uint8_t *data, size_t len, int64_t now);
void mq_subscribe_all(mq_bridge *b, int64_t now);
// Waits up to wait_ms for input, reads it and handles whole packets.
void mq_poll_input(mq_bridge *b, int wait_ms, int64_t now);
// CONNACK deadline, keep-alive ping and receive time-out.
void mq_check_timers(mq_bridge *b, int64_t now);
void mq_disconnect(mq_bridge *b);
void mq_status_write(mq_bridge *b, int64_t now);
std::string mq_status_text(const mq_bridge *b);

// Values (mq_values.cpp).
// A channel's value in physical units; false when it cannot be read.
bool mq_read_phys(const mq_bridge *b, const mq_tag &t, bool *good, double *value);
// The JSON value message, at most MQ_VALUE_MAX bytes: desc and then unit are
// left out when they would make it longer.
std::string mq_value_message(const mq_bridge *b, const mq_tag &t, bool good, double value,
                             int64_t wall_ms);
// Whether a publication entry is due now (monotonic ms).
bool mq_pub_due(const mq_pub &p, int64_t now, bool good, double value);
void mq_pub_scan(mq_bridge *b, int64_t now);
void mq_on_publish(mq_bridge *b, const uint8_t *pkt, size_t len, int64_t now);
void mq_write_own(mq_bridge *b, const mq_tag &t, bool bad, int64_t ts, double value);
void mq_stale_check(mq_bridge *b, int64_t now);
// Payload of a subscribed message: 1 good value, 0 bad value, -1 not understood.
int mq_sub_payload(const uint8_t *data, size_t len, double *value);
// Tag text of a value request payload; empty when there is none.
std::string mq_get_tag_text(const uint8_t *data, size_t len);

// Report spool (mq_spool.cpp).
// The names the next scan considers: ".msg" files in byte order, at most
// MQ_SPOOL_SCAN_MAX, leaving out those awaiting their PUBACK.
std::vector<std::string> mq_spool_pick(const mq_bridge *b, const std::string &spool_dir);
void mq_spool_scan(mq_bridge *b, int64_t now);
void mq_spool_acked(mq_bridge *b, uint16_t packet_id);
