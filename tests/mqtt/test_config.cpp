// Settings, maps and the value logic of the bridge without a broker: broker
// addresses, client ids, own channels, map entries that must be disabled,
// publication timing, message size limits and received payloads.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include "common/json.h"
#include "common/log.h"
#include "common/yaml.h"
#include "mqtt/mq_bridge.h"
#include "mqtt/mq_codec.h"
#include "tests/support/files.h"

namespace {

TEST(MqConfig, BrokerAddressAndClientId) {
    mq_config c;
    mq_parse_broker("mqtts://broker.plant:9000", &c);
    EXPECT_EQ("broker.plant", c.host);
    EXPECT_EQ(9000, c.port);
    EXPECT_TRUE(c.tls);
    mq_parse_broker("ssl://10.0.0.5", &c);
    EXPECT_EQ("10.0.0.5", c.host);
    EXPECT_EQ(8883, c.port);
    EXPECT_TRUE(c.tls);
    mq_parse_broker("broker", &c);
    EXPECT_EQ(1883, c.port);
    EXPECT_FALSE(c.tls);
    mq_parse_broker("tcp://h:99999", &c);
    EXPECT_EQ("h", c.host);
    EXPECT_EQ(1883, c.port);

    EXPECT_EQ("zq_site7", mq_default_client_id("/logix_drv_site7", nullptr));
    EXPECT_EQ("zq_north", mq_default_client_id("/plant_north", "/plant"));
    EXPECT_EQ("zq_site7", mq_default_client_id("/logix_drv_site7", "/plant"));
    EXPECT_EQ("zq_other", mq_default_client_id("/other", nullptr));
}

TEST(MqConfig, SectionDefaultsClampsAndOwnItems) {
    tsup::TempDir d("mqcfg");
    log_init(d.path.c_str(), "t");
    const char *yaml =
        "logix:\n  shm_name: /plant\nmqtt:\n  broker: tls://b.example\n  keepalive_s: 100000\n"
        "  takt_ms: 10\n  items: |\n    A12,v,Flow_1 (m3)\n    d3,c,Valve\n    X7,v,Bad\n    "
        "A0,v,Zero\n";
    json_ptr root(yaml_parse(yaml));
    ASSERT_TRUE(root);
    mq_config c;
    std::vector<mq_own> own;
    unsetenv("LOGIX_SHM_NAME");
    ASSERT_EQ(0, mq_config_from_yaml(root.get(), &c, &own));
    EXPECT_EQ(65535, c.keepalive_s);
    EXPECT_EQ(50, c.takt_ms);
    EXPECT_EQ("./mqtt", c.dir);
    EXPECT_EQ("/plant", c.shm_name);
    EXPECT_EQ("zq_plant", c.client_id);
    ASSERT_EQ(2u, own.size());
    EXPECT_EQ("Flow_1", own[0].name);
    EXPECT_TRUE(own[1].discrete);
    EXPECT_EQ(3, own[1].channel);
    std::string log = tsup::read_dir_files(d.path, "t");
    EXPECT_NE(std::string::npos, log.find("mqtt: незрозумілий item «X7,v,Bad» — пропущено"));
    EXPECT_NE(std::string::npos, log.find("mqtt: незрозумілий item «A0,v,Zero» — пропущено"));
    json_ptr none(yaml_parse("alarm:\n  dir: x\n"));
    EXPECT_EQ(-1, mq_config_from_yaml(none.get(), &c, &own));

    mq_tag t;
    EXPECT_TRUE(mq_resolve_tag("a12", own, &t));
    EXPECT_EQ('A', t.kind);
    EXPECT_TRUE(mq_resolve_tag("Valve", own, &t));
    EXPECT_EQ('D', t.kind);
    EXPECT_EQ(3, t.channel);
    for (const char *bad : {"A", "A0", "A12x", "valve", "", "A-1"})
        EXPECT_FALSE(mq_resolve_tag(bad, own, &t)) << bad;
}

TEST(MqConfig, MapsDefaultsAndDisabledEntries) {
    tsup::TempDir d("mqmaps");
    log_init(d.path.c_str(), "t");
    mq_config c;
    c.prefix = "site";
    std::vector<mq_own> own = {{false, 5, "Flow"}};
    tsup::write_file(d / "mqtt.json", R"({
      "pub":[{"tag":"A1","topic":"a","qos":2,"deadband":-3},{"tag":"A1","topic":"x/+"},
             {"tag":"A1","topic":"ok","enabled":false,"min_ms":5,"max_ms":60000}],
      "sub":[{"tag":"Flow","topic":"in/#"},{"tag":"A5","topic":"#/x"}],
      "get":{"enabled":false}})");
    mq_maps m;
    mq_maps_load(d / "mqtt.json", c, own, &m);
    ASSERT_EQ(3u, m.pub.size());
    EXPECT_EQ("site/a", m.pub[0].topic);
    EXPECT_EQ(1, m.pub[0].qos);
    EXPECT_EQ(0, m.pub[0].deadband);
    EXPECT_EQ(1000, m.pub[0].min_ms);
    EXPECT_FALSE(m.pub[1].enabled);
    EXPECT_EQ(60000, m.pub[2].max_ms);
    EXPECT_TRUE(m.sub[0].enabled);
    EXPECT_FALSE(m.sub[1].enabled);
    EXPECT_FALSE(m.get_enabled);
    std::string log = tsup::read_dir_files(d.path, "t");
    EXPECT_NE(std::string::npos, log.find("— pub=1 sub=1 get=off(allow 0)")) << log;

    tsup::write_file(d / "mqtt.json", "{\"pub\":[");
    mq_maps_load(d / "mqtt.json", c, own, &m);
    EXPECT_TRUE(m.pub.empty());
    EXPECT_NE(std::string::npos, tsup::read_dir_files(d.path, "t").find("mqtt.json — битий JSON"));
    mq_maps_load(d / "none.json", c, own, &m);
    EXPECT_TRUE(m.get_enabled);  // no file: no maps, service on
}

TEST(MqValues, PublicationTimingOnTheMonotonicClock) {
    mq_pub p;
    p.deadband = 0.5;
    p.min_ms = 1000;
    EXPECT_TRUE(mq_pub_due(p, 100, true, 10.0));
    p.published = true;
    p.last_mono_ms = 100;
    p.last_good = true;
    p.last_value = 10.0;
    EXPECT_FALSE(mq_pub_due(p, 5000, true, 10.3));
    EXPECT_FALSE(mq_pub_due(p, 900, true, 10.6));  // before min_ms
    EXPECT_TRUE(mq_pub_due(p, 1100, true, 10.6));
    EXPECT_FALSE(mq_pub_due(p, 900, false, 10.0));  // quality change waits for min_ms too
    EXPECT_TRUE(mq_pub_due(p, 1100, false, 10.0));
    p.max_ms = 60000;
    EXPECT_TRUE(mq_pub_due(p, 60100, true, 10.0));
    p.last_good = false;
    EXPECT_FALSE(mq_pub_due(p, 5000, false, 99.0));  // bad stays bad: no dead band
}

TEST(MqValues, ValueMessageDropsDescThenUnitPastTheLimit) {
    static mq_bridge b;
    b.have_reg = true;
    channel_rec *r = channels_an_slot(&b.reg, 3);
    r->used = 1;
    snprintf(r->desc, sizeof r->desc, "Тиск \"пари\"\n");
    snprintf(r->unit, sizeof r->unit, "бар");
    mq_tag t{'A', 3};
    EXPECT_EQ("{\"v\":1.5,\"q\":1,\"ts\":7,\"desc\":\"Тиск \\\"пари\\\"\\n\",\"unit\":\"бар\"}",
              mq_value_message(&b, t, true, 1.5, 7));
    EXPECT_EQ("{\"v\":null,\"q\":0,\"ts\":7,\"desc\":\"Тиск \\\"пари\\\"\\n\",\"unit\":\"бар\"}",
              mq_value_message(&b, t, false, 1.5, 7));
    std::string quotes(190, '"');
    snprintf(r->desc, sizeof r->desc, "%s", quotes.c_str());
    snprintf(r->unit, sizeof r->unit, "%s", std::string(23, '\x01').c_str());
    std::string m = mq_value_message(&b, t, true, 1.5, 7);
    EXPECT_EQ(std::string::npos, m.find("desc"));
    EXPECT_NE(std::string::npos, m.find("unit"));
    EXPECT_LE(m.size(), MQ_VALUE_MAX);
    json_ptr back(json_parse(m.c_str()));
    EXPECT_TRUE(back) << m;
}

TEST(MqValues, ReceivedPayloadsAndRequests) {
    double v = 0;
    auto sp = [&](const std::string &s) {
        return mq_sub_payload((const uint8_t *)s.data(), s.size(), &v);
    };
    EXPECT_EQ(1, sp("21.5"));
    EXPECT_EQ(21.5, v);
    EXPECT_EQ(1, sp("  -3e2 kg"));
    EXPECT_EQ(-300, v);
    EXPECT_EQ(1, sp("{\"v\":4,\"q\":1}"));
    EXPECT_EQ(4, v);
    EXPECT_EQ(0, sp("{\"v\":null}"));
    EXPECT_EQ(0, sp("{\"v\":\"12\"}"));
    for (const char *bad : {"", "   ", "abc", "nan", "{\"x\":1}", "{\"v\":1", "[1]"})
        EXPECT_EQ(-1, sp(bad)) << bad;
    EXPECT_EQ(-1, sp(std::string(256, '1')));
    EXPECT_EQ(-1, sp(std::string("1\0", 2) + "2"));

    auto gt = [](const std::string &s) {
        return mq_get_tag_text((const uint8_t *)s.data(), s.size());
    };
    EXPECT_EQ("A12", gt("  A12\n"));
    EXPECT_EQ("Pump1", gt("{\"tag\":\"Pump1\"}"));
    EXPECT_EQ("", gt(""));
    EXPECT_EQ("", gt(std::string(128, 'A')));
    EXPECT_EQ(63u, gt(std::string(100, 'A')).size());
}

TEST(MqSpool, PicksTheFirstNamesInByteOrder) {
    tsup::TempDir d("mqspool");
    static mq_bridge b;
    for (int i = 69; i >= 0; i--) {
        char n[32];
        snprintf(n, sizeof n, "r_%03d.msg", i);
        tsup::write_file(d / n, "t\n");
    }
    tsup::write_file(d / "r_000.msg.tmp", "t\n");
    tsup::write_file(d / ".msg", "t\n");
    b.spool_inflight[5] = "r_000.msg";
    std::vector<std::string> names = mq_spool_pick(&b, d.path);
    ASSERT_EQ((size_t)MQ_SPOOL_SCAN_MAX, names.size());
    EXPECT_EQ("r_001.msg", names.front());
    EXPECT_EQ("r_064.msg", names.back());
}

}  // namespace

namespace {

TEST(MqValues, RepeatedErrorLinesAreLimitedPerMinute) {
    tsup::TempDir d("mqrl");
    log_init(d.path.c_str(), "t");
    mq_ratelog r;
    int allowed = 0;
    for (int i = 0; i < 100; i++)
        allowed += mq_ratelog_allow(&r, 1000 + i, 10);
    EXPECT_EQ(10, allowed);
    EXPECT_TRUE(mq_ratelog_allow(&r, 1000 + 60000, 10));
    EXPECT_NE(std::string::npos, tsup::read_dir_files(d.path, "t")
                                     .find("ще 90 подібних повідомлень за хвилину не записано"));
}

}  // namespace

namespace {

// PUBLISH packets waiting on the far end of the bridge's socket.
std::vector<std::string> drain_publishes(int fd) {
    std::vector<std::string> topics;
    static uint8_t buf[1 << 20];
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    size_t off = 0;
    mq_packet p;
    int k;
    while (n > 0 && (k = mq_parse(buf + off, (size_t)n - off, &p)) > 0) {
        char topic[64];
        const uint8_t *pl;
        size_t len;
        if (mq_pub_decode(&p, topic, sizeof topic, &pl, &len, nullptr, nullptr) == 0)
            topics.push_back(topic + std::string(" ") + std::string((const char *)pl, len));
        off += (size_t)k;
    }
    return topics;
}

TEST(MqSpool, BatchesOf32AndQos1FilesWaitForTheirAck) {
    tsup::TempDir d("mqbatch");
    log_init(d.path.c_str(), "t");
    static mq_bridge b;
    b.cfg.dir = d.path;
    std::string spool = d / "spool";
    mkdir(spool.c_str(), 0755);
    for (int i = 0; i < 70; i++) {
        char n[32];
        snprintf(n, sizeof n, "r_%03d.msg", i);
        tsup::write_file(spool + "/" + n,
                         std::string("t/") + (i < 20 ? "q0\t0\n" : "q1\t1\n") + std::to_string(i));
    }
    int sv[2];
    auto connect = [&] {
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
        b.conn.fd = sv[0];
        b.socket_open = b.connected = true;
    };
    connect();
    mq_spool_scan(&b, 1);
    std::vector<std::string> got = drain_publishes(sv[1]);
    ASSERT_EQ(32u, got.size());
    EXPECT_EQ("t/q0 0", got.front());
    EXPECT_EQ("t/q1 31", got.back());
    EXPECT_EQ(50u, tsup::list_dir(spool).size());  // QoS 1: kept until acknowledged
    mq_spool_scan(&b, 2);
    got = drain_publishes(sv[1]);
    ASSERT_EQ(20u, got.size());  // at most 32 awaiting their acknowledgement
    EXPECT_EQ("t/q1 32", got.front());
    mq_spool_scan(&b, 3);
    EXPECT_EQ(0u, drain_publishes(sv[1]).size());
    mq_spool_acked(&b, b.spool_inflight.begin()->first);
    EXPECT_EQ(49u, tsup::list_dir(spool).size());
    EXPECT_EQ(21, b.report_sent);
    // A dropped connection sends the unacknowledged ones again.
    mq_drop(&b, "test", 4);
    close(sv[1]);
    connect();
    mq_spool_scan(&b, 5);
    got = drain_publishes(sv[1]);
    ASSERT_EQ(32u, got.size());
    EXPECT_EQ("t/q1 21", got.front());
    mq_disconnect(&b);
    close(sv[1]);
}

}  // namespace
