// The MQTT packet codec: exact bytes of what the bridge sends, the refusals
// that keep protocol errors off the wire, and the splitter's bounds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mqtt/mq_codec.h"
#include "tests/fuzz/corpus_files.h"

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> v) {
    return std::vector<uint8_t>(v.begin(), v.end());
}

TEST(MqCodec, ConnectBytesAndFlags) {
    uint8_t b[600];
    int n = mq_enc_connect(b, sizeof b, "zq_site7", "plant", "pw", 30);
    ASSERT_GT(n, 0);
    std::vector<uint8_t> want = bytes({0x10, 31, 0, 4, 'M', 'Q', 'T', 'T', 4, 0xC2, 0, 30, 0, 8});
    EXPECT_EQ(want, std::vector<uint8_t>(b, b + 14));
    EXPECT_EQ(std::string("zq_site7\0\5plant\0\2pw", 19), std::string((char *)b + 14, 19));
    n = mq_enc_connect(b, sizeof b, "c", "", "", 65535);
    ASSERT_EQ(15, n);
    EXPECT_EQ(0x02, b[9]);
    EXPECT_EQ(0xFF, b[10]);
    // A password needs a user name; keep-alive is a 16-bit field; the
    // variable part stays within 512 bytes.
    EXPECT_EQ(-1, mq_enc_connect(b, sizeof b, "c", "", "pw", 30));
    EXPECT_EQ(-1, mq_enc_connect(b, sizeof b, "c", "u", "", 65536));
    std::string big(500, 'x');
    EXPECT_EQ(-1, mq_enc_connect(b, sizeof b, big.c_str(), "u", "p", 30));
    EXPECT_EQ(-1, mq_enc_connect(b, 14, "c", "", "", 30));
}

TEST(MqCodec, PublishLayoutAndRefusals) {
    uint8_t b[2048];
    int n = mq_enc_publish(b, sizeof b, "a/b", "xy", 2, 1, 1, 0x1234);
    ASSERT_EQ(11, n);
    EXPECT_EQ(bytes({0x33, 9, 0, 3, 'a', '/', 'b', 0x12, 0x34, 'x', 'y'}),
              std::vector<uint8_t>(b, b + n));
    n = mq_enc_publish(b, sizeof b, "t", "", 0, 0, 0, 0);
    EXPECT_EQ(bytes({0x30, 3, 0, 1, 't'}), std::vector<uint8_t>(b, b + n));
    n = mq_enc_publish(b, sizeof b, "t", "", 0, 0, 1, 0);
    EXPECT_EQ(0x31, b[0]);
    // 321-byte body: remaining length 0xC1 0x02.
    std::string pl(321 - 3, 'p');
    n = mq_enc_publish(b, sizeof b, "t", pl.data(), pl.size(), 0, 0, 0);
    ASSERT_EQ(324, n);
    EXPECT_EQ(0xC1, b[1]);
    EXPECT_EQ(0x02, b[2]);
    // Exactly the capacity fits; one byte less writes nothing.
    uint8_t small[5] = {9, 9, 9, 9, 9};
    EXPECT_EQ(5, mq_enc_publish(small, 5, "t", "", 0, 0, 0, 0));
    memset(small, 9, 5);
    EXPECT_EQ(-1, mq_enc_publish(small, 4, "t", "", 0, 0, 0, 0));
    EXPECT_EQ(9, small[0]);
    for (const char *bad : {"", "a/#", "a/+/b", "+"})
        EXPECT_EQ(-1, mq_enc_publish(b, sizeof b, bad, "x", 1, 0, 0, 0)) << bad;
    EXPECT_EQ(-1, mq_enc_publish(b, sizeof b, "t", "x", 1, 1, 0, 0));  // QoS 1 needs an id
    EXPECT_EQ(-1, mq_enc_publish(b, sizeof b, "t", "x", 1, 3, 0, 7));
    // Beyond what four length bytes hold.
    EXPECT_EQ(-1, mq_enc_publish(b, (size_t)1 << 30, "t", b, 268435456, 0, 0, 0));
}

TEST(MqCodec, SubscribeAndSmallPackets) {
    uint8_t b[400];
    int n = mq_enc_subscribe(b, sizeof b, 7, "in/+/x", 1);
    EXPECT_EQ(bytes({0x82, 11, 0, 7, 0, 6, 'i', 'n', '/', '+', '/', 'x', 1}),
              std::vector<uint8_t>(b, b + n));
    EXPECT_GT(mq_enc_subscribe(b, sizeof b, 1, "#", 0), 0);
    EXPECT_GT(mq_enc_subscribe(b, sizeof b, 1, "a/+", 0), 0);
    for (const char *bad : {"", "a#", "a/#/b", "a+/b", "a/b+"})
        EXPECT_EQ(-1, mq_enc_subscribe(b, sizeof b, 1, bad, 0)) << bad;
    EXPECT_EQ(-1, mq_enc_subscribe(b, sizeof b, 1, "a", 3));
    EXPECT_EQ(-1, mq_enc_subscribe(b, sizeof b, 0, "a", 0));
    EXPECT_EQ(-1, mq_enc_subscribe(b, sizeof b, 1, std::string(296, 'a').c_str(), 0));
    EXPECT_EQ(4, mq_enc_puback(b, sizeof b, 0x0102));
    EXPECT_EQ(bytes({0x40, 2, 1, 2}), std::vector<uint8_t>(b, b + 4));
    EXPECT_EQ(2, mq_enc_pingreq(b, 2));
    EXPECT_EQ(bytes({0xC0, 0}), std::vector<uint8_t>(b, b + 2));
    EXPECT_EQ(2, mq_enc_disconnect(b, 2));
    EXPECT_EQ(bytes({0xE0, 0}), std::vector<uint8_t>(b, b + 2));
    EXPECT_EQ(-1, mq_enc_pingreq(b, 1));
}

TEST(MqCodec, SplitterBounds) {
    mq_packet p;
    uint8_t one[] = {0x30};
    EXPECT_EQ(0, mq_parse(one, 1, &p));
    uint8_t five[] = {0x30, 0x80, 0x80, 0x80, 0x80, 0x01};
    EXPECT_EQ(-1, mq_parse(five, sizeof five, &p));
    uint8_t cont[] = {0x30, 0x80, 0x80};
    EXPECT_EQ(0, mq_parse(cont, sizeof cont, &p));
    uint8_t t0[] = {0x00, 0x00}, t15[] = {0xF0, 0x00};
    EXPECT_EQ(-1, mq_parse(t0, 2, &p));
    EXPECT_EQ(-1, mq_parse(t15, 2, &p));
    uint8_t connack[] = {0x20, 2, 0, 5, 0xD0, 0};
    EXPECT_EQ(0, mq_parse(connack, 3, &p));
    ASSERT_EQ(4, mq_parse(connack, sizeof connack, &p));
    EXPECT_EQ(5, mq_connack_rc(&p));
    ASSERT_EQ(2, mq_parse(connack + 4, 2, &p));
    EXPECT_EQ(MQ_PINGRESP, p.type);
    EXPECT_EQ(-1, mq_connack_rc(&p));
    uint8_t puback[] = {0x40, 2, 0x12, 0x34};
    ASSERT_EQ(4, mq_parse(puback, 4, &p));
    EXPECT_EQ(0x1234, mq_puback_id(&p));
}

TEST(MqCodec, PublishDecodeRefusals) {
    uint8_t b[300];
    mq_packet p;
    char topic[8];
    const uint8_t *pl;
    size_t pl_len;
    uint16_t id;
    int qos;
    int n = mq_enc_publish(b, sizeof b, "a/b", "hello", 5, 1, 0, 9);
    ASSERT_EQ(n, mq_parse(b, n, &p));
    ASSERT_EQ(0, mq_pub_decode(&p, topic, sizeof topic, &pl, &pl_len, &id, &qos));
    EXPECT_STREQ("a/b", topic);
    EXPECT_EQ("hello", std::string((const char *)pl, pl_len));
    EXPECT_EQ(9, id);
    EXPECT_EQ(1, qos);
    // A topic of exactly topic_cap bytes has no room for its NUL.
    EXPECT_EQ(-1, mq_pub_decode(&p, topic, 3, &pl, &pl_len, nullptr, nullptr));
    EXPECT_EQ(0, mq_pub_decode(&p, topic, 4, &pl, &pl_len, nullptr, nullptr));
    uint8_t nul[] = {0x30, 5, 0, 3, 'a', 0, 'b'};
    ASSERT_GT(mq_parse(nul, sizeof nul, &p), 0);
    EXPECT_EQ(-1, mq_pub_decode(&p, topic, sizeof topic, &pl, &pl_len, nullptr, nullptr));
    uint8_t q3[] = {0x36, 7, 0, 1, 'a', 0, 1, 'x', 'y'};
    ASSERT_GT(mq_parse(q3, sizeof q3, &p), 0);
    EXPECT_EQ(-1, mq_pub_decode(&p, topic, sizeof topic, &pl, &pl_len, nullptr, nullptr));
    uint8_t short_id[] = {0x32, 4, 0, 1, 'a', 0};  // QoS 1 with half an id
    ASSERT_GT(mq_parse(short_id, sizeof short_id, &p), 0);
    EXPECT_EQ(-1, mq_pub_decode(&p, topic, sizeof topic, &pl, &pl_len, nullptr, nullptr));
    uint8_t long_topic[] = {0x30, 3, 0, 9, 'a'};
    ASSERT_GT(mq_parse(long_topic, sizeof long_topic, &p), 0);
    EXPECT_EQ(-1, mq_pub_decode(&p, topic, sizeof topic, &pl, &pl_len, nullptr, nullptr));
}

// The fuzz corpus (seeds and whatever the fuzzer once found) through the
// splitter and decoder under the sanitizers.
TEST(MqCodec, FuzzCorpusReplays) {
    auto files = fuzz_corpus_files("mqtt_codec");
    ASSERT_FALSE(files.empty());
    for (const std::string &f : files) {
        std::vector<uint8_t> d = tsup::read_bytes(f);
        size_t off = 0;
        mq_packet p;
        int n;
        while (off < d.size() && (n = mq_parse(d.data() + off, d.size() - off, &p)) > 0) {
            char topic[256];
            const uint8_t *pl;
            size_t pl_len;
            if (mq_pub_decode(&p, topic, sizeof topic, &pl, &pl_len, nullptr, nullptr) == 0) {
                EXPECT_LE(pl + pl_len, d.data() + d.size()) << f;
            }
            off += (size_t)n;
        }
    }
}

}  // namespace
