#pragma once
// MQTT 3.1.1 (protocol level 4) client packets: encoders for what the bridge
// sends and a splitter/decoder for what the broker sends. No I/O here.
//
// Encoders write into the caller's buffer and return the byte count, or -1
// when the packet does not fit or would break the protocol (the buffer is
// then untouched), so a bad map entry can never reach the broker.
#include <stddef.h>
#include <stdint.h>

enum : uint8_t {
    MQ_CONNECT = 1,
    MQ_CONNACK = 2,
    MQ_PUBLISH = 3,
    MQ_PUBACK = 4,
    MQ_SUBSCRIBE = 8,
    MQ_SUBACK = 9,
    MQ_PINGREQ = 12,
    MQ_PINGRESP = 13,
    MQ_DISCONNECT = 14,
};

// Largest remaining length the 4-byte encoding can carry.
constexpr uint32_t MQ_MAX_REMAINING = 268435455u;

struct mq_packet {
    uint8_t type = 0;   // 1..14
    uint8_t flags = 0;  // low nibble of the first byte
    const uint8_t *body = nullptr;
    size_t body_len = 0;
};

int mq_enc_connect(uint8_t *buf, size_t cap, const char *client_id, const char *user,
                   const char *password, int keepalive_s);
int mq_enc_publish(uint8_t *buf, size_t cap, const char *topic, const void *payload,
                   size_t payload_len, int qos, int retain, uint16_t packet_id);
int mq_enc_puback(uint8_t *buf, size_t cap, uint16_t packet_id);
// qos must be 0, 1 or 2 (the bridge asks for at most 1: it never answers PUBREC).
int mq_enc_subscribe(uint8_t *buf, size_t cap, uint16_t packet_id, const char *topic_filter,
                     int qos);
int mq_enc_pingreq(uint8_t *buf, size_t cap);
int mq_enc_disconnect(uint8_t *buf, size_t cap);

// > 0: length of the first whole packet (fixed header included), *packet
// filled; 0: more bytes needed; -1: malformed. Never reads past len.
int mq_parse(const uint8_t *data, size_t len, mq_packet *packet);
// Fixed header alone: 1 with *type, *flags, *header_len and *remaining set,
// 0 when more bytes are needed, -1 when malformed. For packets that do not
// fit the caller's buffer.
int mq_peek_header(const uint8_t *data, size_t len, uint8_t *type, uint8_t *flags,
                   size_t *header_len, uint32_t *remaining);

// CONNACK return code, -1 when not a CONNACK of at least 2 body bytes.
int mq_connack_rc(const mq_packet *packet);
// PUBACK packet identifier, -1 when not a PUBACK of 2 body bytes.
int mq_puback_id(const mq_packet *packet);
// 0 or -1. Topic copied and NUL-terminated (refused when it is topic_cap
// bytes or longer, holds NUL or a wildcard); payload points into the packet.
// QoS 3 is refused. packet_id and qos may be null.
int mq_pub_decode(const mq_packet *packet, char *topic_buf, size_t topic_cap,
                  const uint8_t **payload, size_t *payload_len, uint16_t *packet_id, int *qos);

// Topic checks shared by the encoders and the map loader.
// A topic name to publish on: 1..65535 bytes, no '+', '#' or NUL.
bool mq_topic_name_ok(const char *topic, size_t len);
// A subscription filter: 1..65535 bytes, no NUL, '#' only as the whole last
// level, '+' only as a whole level.
bool mq_topic_filter_ok(const char *filter, size_t len);
