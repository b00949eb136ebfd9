// MQTT maps and broker settings through the engineering API of a real
// zqserver: the check's messages, refusals that leave the files as they
// were, the own-tag list, the bridge's status file.
#include <gtest/gtest.h>

#include <signal.h>

#include <string>

#include "eng_test_util.h"
#include "tests/mqtt/mq_test_util.h"

using namespace engtest;

namespace {

const std::string MQTT_SECTION =
    "mqtt:\n"
    "  # broker of the site\n"
    "  broker: tcp://127.0.0.1:1884\n"
    "  user: site\n"
    "  pass: \"s3cret\"\n"
    "  prefix: plant\n"
    "  items: |\n"
    "    A5,x,Pump1\n"
    "    d3,y,Valve_2 open\n"
    "    bad line\n";

// The error list of a refused map ("" when the answer has another shape).
std::string errors_of(const response &r) {
    const std::string head = "{\"ok\":false,\"errors\":";
    if (r.body.rfind(head, 0) != 0 || r.body.back() != '}') return "";
    return r.body.substr(head.size(), r.body.size() - head.size() - 1);
}

TEST(EngMqtt, MapReadCheckAndSave) {
    eng_server srv("", MQTT_SECTION);
    ASSERT_TRUE(srv.start());
    EXPECT_EQ(srv.eget("/api/eng/mqtt").body, "{\"version\":1,\"pub\":[],\"sub\":[]}");

    // Accepted: a sub may hold wildcards and name an own tag by its name;
    // a disabled pub entry is not checked.
    const std::string good =
        "{\"version\":1,\"pub\":[{\"tag\":\"A7\",\"topic\":\"line/t\",\"deadband\":0.5},"
        "{\"tag\":\"\",\"topic\":\"\",\"enabled\":false}],"
        "\"sub\":[{\"tag\":\"Pump1\",\"topic\":\"cmd/#\"},{\"tag\":\"D3\",\"topic\":\"v\"}],"
        "\"get\":{\"allow\":[\"A7\",\"Valve_2\"]}}";
    response s = srv.epost("/api/eng/mqtt", good);
    EXPECT_EQ(s.status, 200) << s.body;
    EXPECT_EQ(s.body, "{\"ok\":true}");
    EXPECT_EQ(read_file(srv.dir + "/mqtt/mqtt.json.import"), good);
    // The saved map is what the editor reads back until the bridge takes it.
    EXPECT_EQ(srv.eget("/api/eng/mqtt").body, good);
    EXPECT_NE(srv.audit().find("\"action\":\"mqtt save pub=2 sub=2\""), std::string::npos);

    // Every problem of the map at once, each with its entry's id.
    const std::string bad =
        "{\"pub\":[{\"tag\":\"A1\",\"topic\":\"x/#\"},"
        "{\"id\":9,\"tag\":\"Nope\",\"topic\":\"y\",\"deadband\":-1},"
        "{\"tag\":\"A2\",\"topic\":\"\"},{\"tag\":\"A2\",\"topic\":\"z\",\"qos\":2},"
        "{\"tag\":\"\",\"topic\":\"q\"},7],"
        "\"sub\":[{\"tag\":\"A12\",\"topic\":\"s\"},{\"tag\":\"A5\",\"topic\":\"a/#/b\"}],"
        "\"get\":{\"allow\":[\"A1\",\"ghost\"]}}";
    response r = srv.epost("/api/eng/mqtt", bad);
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(errors_of(r),
              "[{\"id\":1,\"msg\":\"pub: topic з wildcard\"},"
              "{\"id\":9,\"msg\":\"pub: невідомий тег\"},"
              "{\"id\":9,\"msg\":\"pub: deadband < 0\"},"
              "{\"id\":3,\"msg\":\"pub: порожній topic\"},"
              "{\"id\":4,\"msg\":\"pub: qos має бути 0 або 1\"},"
              "{\"id\":5,\"msg\":\"pub: порожній tag\"},"
              "{\"id\":6,\"msg\":\"pub: запис не є об'єктом\"},"
              "{\"id\":1,\"msg\":\"sub: не власний тег (додайте у config.yaml mqtt.items)\"},"
              "{\"id\":2,\"msg\":\"sub: недопустимий topic\"},"
              "{\"id\":0,\"msg\":\"get.allow: невідомий тег\"}]");
    EXPECT_EQ(read_file(srv.dir + "/mqtt/mqtt.json.import"), good);

    for (const char *junk : {"{\"pub\":[", "[1,2]", "{\"pub\":{}}"}) {
        r = srv.epost("/api/eng/mqtt", junk);
        EXPECT_EQ(r.status, 400) << junk;
        EXPECT_EQ(errors_of(r).rfind("[{\"id\":0,", 0), 0u) << r.body;
    }
    EXPECT_EQ(errors_of(srv.epost("/api/eng/mqtt", "nope")),
              "[{\"id\":0,\"msg\":\"невалідний JSON\"}]");
    EXPECT_EQ(read_file(srv.dir + "/mqtt/mqtt.json.import"), good);

    // Another site's page cannot post through the engineer's browser.
    r = srv.epost("/api/eng/mqtt", "{\"pub\":[]}", "", {{"Origin", "http://evil.example"}});
    EXPECT_EQ(r.status, 403);
    EXPECT_EQ(read_file(srv.dir + "/mqtt/mqtt.json.import"), good);
    EXPECT_EQ(parse(srv.post("/api/eng/mqtt", "{\"pub\":[]}", {})).status, 401);
}

TEST(EngMqtt, TagsStatusAndDirectory) {
    eng_server srv("", MQTT_SECTION + "  dir: ./br\n");
    ASSERT_TRUE(srv.start());
    EXPECT_EQ(srv.eget("/api/eng/mqtt/tags").body,
              "{\"has\":1,\"tags\":[{\"id\":\"A5\",\"name\":\"Pump1\",\"is_d\":0,\"nn\":5},"
              "{\"id\":\"D3\",\"name\":\"Valve_2\",\"is_d\":1,\"nn\":3}]}");
    EXPECT_EQ(srv.eget("/api/eng/mqtt/status").status, 404);
    const std::string st =
        "{\"connected\":1,\"broker\":\"127.0.0.1:1884\",\"tls\":0,\"client_id\":\"zq_x\","
        "\"prefix\":\"plant\",\"pub_sent\":4,\"sub_rx\":0,\"get_answered\":0,\"report_sent\":0,"
        "\"n_pub\":1,\"n_sub\":0,\"ts\":1}\n";
    ASSERT_EQ(mkdir((srv.dir + "/br").c_str(), 0755), 0);
    write_file(srv.dir + "/br/status.json", st);
    EXPECT_EQ(srv.eget("/api/eng/mqtt/status").body, st);
    write_file(srv.dir + "/br/mqtt.json", "{\"pub\":[]}");
    EXPECT_EQ(srv.eget("/api/eng/mqtt").body, "{\"pub\":[]}");
    EXPECT_EQ(srv.epost("/api/eng/mqtt", "{\"sub\":[]}").status, 200);
    EXPECT_EQ(read_file(srv.dir + "/br/mqtt.json.import"), "{\"sub\":[]}");
    EXPECT_EQ(srv.epost("/api/eng/mqtt/status", "{}").status, 405);

    eng_server none;
    ASSERT_TRUE(none.start());
    EXPECT_EQ(none.eget("/api/eng/mqtt/tags").body, "{\"has\":0,\"tags\":[]}");
    // Without own tags a sub entry has nothing to write to.
    EXPECT_EQ(
        errors_of(none.epost("/api/eng/mqtt", "{\"sub\":[{\"tag\":\"A5\",\"topic\":\"t\"}]}")),
        "[{\"id\":1,\"msg\":\"sub: не власний тег (додайте у config.yaml mqtt.items)\"}]");
}

TEST(EngMqtt, BrokerSettingsKeepPasswordAndLayout) {
    eng_server srv("", MQTT_SECTION);
    ASSERT_TRUE(srv.start());
    response g = srv.eget("/api/eng/mqtt/settings");
    EXPECT_EQ(g.body.find("s3cret"), std::string::npos) << g.body;
    json_ptr gr(json_parse(g.body.c_str()));
    ASSERT_TRUE(gr) << g.body;
    EXPECT_TRUE(json_getb(gr.get(), "pass_set", 0));
    EXPECT_EQ(json_gets(gr.get(), "broker", ""), std::string("tcp://127.0.0.1:1884"));
    EXPECT_EQ(json_gets(gr.get(), "user", ""), std::string("site"));

    const std::string before = read_file(srv.dir + "/config.yaml");
    for (const char *bad :
         {"{\"broker\":\"tls://h:70000\"}", "{\"prefix\":\"a/#\"}", "{\"keepalive_s\":2}",
          "{\"takt_ms\":\"fast\"}", "{\"user\":\"a\\nb\"}", "{\"broker\":5}"}) {
        response r = srv.epost("/api/eng/mqtt/settings", bad);
        EXPECT_EQ(r.status, 400) << bad;
        EXPECT_FALSE(member(r.body, "error").empty()) << r.body;
    }
    EXPECT_EQ(read_file(srv.dir + "/config.yaml"), before);

    // An empty password field keeps the stored one.
    response s = srv.epost("/api/eng/mqtt/settings",
                           "{\"broker\":\"mqtts://broker.local:9000\",\"user\":\"site\","
                           "\"pass\":\"\",\"prefix\":\"plant\",\"keepalive_s\":\"60\"}");
    EXPECT_EQ(s.status, 200) << s.body;
    std::string after = read_file(srv.dir + "/config.yaml");
    EXPECT_NE(after.find("  # broker of the site\n"), std::string::npos) << after;
    EXPECT_NE(after.find("mqtts://broker.local:9000"), std::string::npos) << after;
    EXPECT_NE(after.find("pass: \"s3cret\""), std::string::npos) << after;
    EXPECT_NE(after.find("keepalive_s: 60"), std::string::npos) << after;
    EXPECT_NE(after.find("    d3,y,Valve_2 open\n"), std::string::npos) << after;
    EXPECT_EQ(after.rfind(before.substr(0, before.find("mqtt:")), 0), 0u);
    EXPECT_NE(srv.audit().find("mqtt/settings broker=mqtts://broker.local:9000"),
              std::string::npos);

    s = srv.epost("/api/eng/mqtt/settings", "{\"broker\":\"h\",\"pass_clear\":true}");
    EXPECT_EQ(s.status, 200) << s.body;
    EXPECT_EQ(read_file(srv.dir + "/config.yaml").find("s3cret"), std::string::npos);
    json_ptr g2(json_parse(srv.eget("/api/eng/mqtt/settings").body.c_str()));
    EXPECT_FALSE(json_getb(g2.get(), "pass_set", 1));
}

// The whole way: a map saved through the server reaches a running zqmqtt
// on its reload signal and is published on a real broker.
TEST(EngMqtt, SavedMapReachesTheBridgeOnReload) {
    mqt::broker br;
    ASSERT_TRUE(br.start());
    mqt::subscriber sub;
    ASSERT_TRUE(sub.start(br.port, "site/#"));
    eng_server srv("", "mqtt:\n" + mqt::broker_line(br.port) +
                           "  prefix: site\n  takt_ms: 50\n  items: |\n    A5,x,Pump1\n");
    ASSERT_TRUE(srv.start());
    tsup::ShmName shm{"zqengmq"};
    ShmHandle h;
    ASSERT_EQ(0, shm_open_rw(shm.c_str(), 32, 16, 0, &h));
    shm_update_analog(&h, 1, 1, shm_now_ms(), 42.5);
    tsup::Child mq;
    ASSERT_TRUE(tsup::child_start(&mq, {.argv = {ZQ_BIN_DIR "/zqmqtt", "-c", "./config.yaml"},
                                        .env = {"LOGIX_SHM_NAME=" + shm.name},
                                        .dir = srv.dir,
                                        .out_path = srv.dir + "/zqmqtt.txt",
                                        .err_to_out = true}));
    auto mq_log = [&] { return tsup::read_dir_files(srv.dir + "/logs", "zqmqtt"); };
    EXPECT_TRUE(tsup::wait_for(
        [&] {
            return srv.eget("/api/eng/mqtt/status").body.find("\"connected\":1") !=
                   std::string::npos;
        },
        15000))
        << mq_log();

    const std::string map = "{\"pub\":[{\"tag\":\"A1\",\"topic\":\"temp\",\"min_ms\":0}]}";
    ASSERT_EQ(srv.epost("/api/eng/mqtt", map).status, 200);
    // Signalled directly: the API's reload reaches every zqmqtt of the host.
    ASSERT_EQ(kill(mq.pid, SIGUSR1), 0);
    EXPECT_TRUE(sub.wait_count("site/temp", 1)) << mq_log();
    EXPECT_EQ(sub.payload("site/temp", 0).rfind("{\"v\":42.5,\"q\":1,", 0), 0u)
        << sub.payload("site/temp", 0);
    EXPECT_EQ(read_file(srv.dir + "/mqtt/mqtt.json"), map);
    EXPECT_EQ(srv.eget("/api/eng/mqtt").body, map);
    tsup::child_stop(&mq);
    shm_close(&h);
}

}  // namespace
