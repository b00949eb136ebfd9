// zqmqtt against a real mosquitto: what a subscriber sees of the channel
// values, what subscribed messages do to the own channels, value requests,
// bad map entries, oversize retained messages, broker restarts and refusals.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "tests/mqtt/mq_test_util.h"

namespace {

const char *kChannels = R"({"analogs":[
 {"id":"A1","name":"Boiler_Temp","desc":"Температура \"котла\"","unit":"°C"},
 {"id":"A5","name":"Flow","unit":"м3/год",
  "scale":{"code_min":0,"code_max":1000,"phys_min":0,"phys_max":100}}],
 "discretes":[{"id":"D1","name":"Pump1"}]})";

std::string own_items() {
    return "  items: |\n    A5,v,Flow\n    D2,v,Valve\n";
}

TEST(Bridge, PublishesValuesWithDeadBandIntervalsAndQuality) {
    mqt::broker br;
    ASSERT_TRUE(br.start());
    mqt::subscriber sub;
    ASSERT_TRUE(sub.start(br.port, "site/#"));
    mqt::bridge b;
    b.channels(kChannels);
    b.config(mqt::broker_line(br.port) + "  prefix: site\n  takt_ms: 50\n" + own_items());
    b.maps(R"({"pub":[
      {"tag":"A1","topic":"temp","deadband":0.5,"min_ms":1000},
      {"tag":"d1","topic":"pump","min_ms":0},
      {"tag":"A2","topic":"tick","min_ms":0,"max_ms":300}]})");
    b.set_a(1, 10.0);
    b.set_d(1, 1);
    b.set_a(2, 1);
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(sub.wait_count("site/temp", 1)) << b.log();
    std::string first = sub.payload("site/temp", 0);
    EXPECT_EQ(0u, first.find("{\"v\":10,\"q\":1,\"ts\":")) << first;
    EXPECT_NE(std::string::npos,
              first.find(",\"desc\":\"Температура \\\"котла\\\"\",\"unit\":\"°C\"}"))
        << first;
    ASSERT_TRUE(sub.wait_count("site/pump", 1));
    EXPECT_EQ(std::string::npos, sub.payload("site/pump", 0).find("unit"));
    EXPECT_NE(std::string::npos, sub.payload("site/pump", 0).find("\"desc\":\"Pump1\""));

    // Within the dead band: nothing, even after min_ms (the repeating entry
    // shows more than a second passed).
    b.set_a(1, 10.3);
    size_t ticks = sub.count("site/tick");
    ASSERT_TRUE(sub.wait_count("site/tick", ticks + 5));
    b.set_a(1, 10.6);
    ASSERT_TRUE(sub.wait_count("site/temp", 2));
    EXPECT_EQ(0u, sub.payload("site/temp", 1).find("{\"v\":10.6,\"q\":1,"));

    // A quality change is published even inside the dead band.
    b.set_a(1, 10.6, 0);
    ASSERT_TRUE(sub.wait_count("site/temp", 3));
    EXPECT_EQ(0u, sub.payload("site/temp", 2).find("{\"v\":null,\"q\":0,\"ts\":"));
    b.set_d(1, 0);
    ASSERT_TRUE(sub.wait_count("site/pump", 2));
    EXPECT_EQ(0u, sub.payload("site/pump", 1).find("{\"v\":0,\"q\":1,"));
    // The repeat carries the unchanged value.
    EXPECT_EQ(0u, sub.payload("site/tick", ticks + 4).find("{\"v\":1,\"q\":1,"));
    EXPECT_TRUE(
        tsup::wait_for([&] { return b.status().find("\"connected\":1") != std::string::npos; }));
    EXPECT_NE(std::string::npos,
              b.status().find("\"broker\":\"127.0.0.1:" + std::to_string(br.port)));
    EXPECT_NE(std::string::npos, b.status().find("\"n_pub\":3,\"n_sub\":0"));
}

TEST(Bridge, SubscribedValuesLandInOwnChannelsAndRequestsAreAnswered) {
    mqt::broker br;
    ASSERT_TRUE(br.start());
    mqt::subscriber sub;
    ASSERT_TRUE(sub.start(br.port, "site/value/#"));
    mqt::bridge b;
    b.channels(kChannels);
    b.config(mqt::broker_line(br.port) + "  prefix: site\n  takt_ms: 50\n" + own_items());
    b.maps(R"({"sub":[{"tag":"Flow","topic":"in/flow","qos":1,"stale_ms":1500},
                      {"tag":"D2","topic":"in/valve"}],
               "get":{"allow":["A1","Flow"]}})");
    b.set_a(1, 42.5);
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(b.wait_log("mqtt: підключено до")) << b.log();
    ASSERT_TRUE(tsup::wait_for([&] {
        mqt::mpub(br.port, "in/flow", "21.5", {"-q", "1"});
        return b.a(5)->quality == 1;
    })) << b.log();
    EXPECT_DOUBLE_EQ(215.0, b.a(5)->value);  // scaled back to controller units
    EXPECT_EQ(SHM_VT_LREAL, *shm_an_vtype(&b.h, 5));

    mqt::mpub(br.port, "in/flow", "{\"v\":null}");
    ASSERT_TRUE(tsup::wait_for([&] { return b.a(5)->quality == 0; }));
    mqt::mpub(br.port, "in/flow", "  {\"v\":30}");
    ASSERT_TRUE(tsup::wait_for([&] { return b.a(5)->quality == 1 && b.a(5)->value == 300; }));
    mqt::mpub(br.port, "in/flow", "abc");
    ASSERT_TRUE(b.wait_log("mqtt: sub id=1 — незрозумілий payload на «in/flow»"));
    EXPECT_EQ(300, b.a(5)->value);
    mqt::mpub(br.port, "in/flow", "{\"v\":\"x\"}");
    ASSERT_TRUE(tsup::wait_for([&] { return b.a(5)->quality == 0; }));

    mqt::mpub(br.port, "in/valve", "1.6");
    ASSERT_TRUE(tsup::wait_for([&] { return b.d(2)->quality == 1 && b.d(2)->value == 2; }));
    mqt::mpub(br.port, "in/valve", "300");
    ASSERT_TRUE(tsup::wait_for([&] { return b.d(2)->value == 255; }));

    // Stale: no message for longer than stale_ms turns the channel bad.
    mqt::mpub(br.port, "in/flow", "5");
    ASSERT_TRUE(tsup::wait_for([&] { return b.a(5)->quality == 1 && b.a(5)->value == 50; }));
    ASSERT_TRUE(tsup::wait_for([&] { return b.a(5)->quality == 0; }));

    mqt::mpub(br.port, "site/get", "A1");
    ASSERT_TRUE(sub.wait_count("site/value/A1", 1));
    EXPECT_EQ(0u, sub.payload("site/value/A1", 0).find("{\"v\":42.5,\"q\":1,"));
    mqt::mpub(br.port, "site/get", "{\"tag\":\"Flow\"}");
    ASSERT_TRUE(sub.wait_count("site/value/A5", 1));
    mqt::mpub(br.port, "site/get", "A3");
    ASSERT_TRUE(b.wait_log("mqtt: get A3 — не у списку allow, відмовлено"));
    mqt::mpub(br.port, "site/get", "Nope");
    ASSERT_TRUE(b.wait_log("mqtt: get — невідомий тег «Nope»"));
    EXPECT_EQ(0u, sub.count("site/value/A3"));
}

TEST(Bridge, BadMapEntriesAreDisabledAndTheConnectionStays) {
    mqt::broker br;
    ASSERT_TRUE(br.start());
    mqt::subscriber sub;
    ASSERT_TRUE(sub.start(br.port, "site/#"));
    mqt::bridge b;
    b.config(mqt::broker_line(br.port) + "  prefix: site\n  takt_ms: 50\n" + own_items());
    b.maps(R"({"pub":[{"tag":"A99x","topic":"x"},{"tag":"A1","topic":"bad/#"},
                      {"tag":"A1","topic":""},{"tag":"A1","topic":"ok"}],
               "sub":[{"tag":"Flow","topic":"a/#/b"},{"tag":"A1","topic":"in/a1"},
                      {"tag":"D2","topic":"in/+/valve"}],
               "get":{"allow":["Zzz"]}})");
    b.set_a(1, 1);
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(sub.wait_count("site/ok", 1)) << b.log();
    mqt::mpub(br.port, "site/get", "A1");
    ASSERT_TRUE(sub.wait_count("site/value/A1", 1));
    std::string log = b.log();
    EXPECT_EQ(1u, tsup::count_of(log, "mqtt: підключено до")) << log;
    EXPECT_EQ(0u, tsup::count_of(log, "втрачено")) << log;
    EXPECT_NE(std::string::npos, log.find("mqtt: pub id=1 — невідомий тег «A99x» — вимкнено"));
    EXPECT_NE(std::string::npos, log.find("mqtt: pub id=2 — недопустимий топік «site/bad/#»"));
    EXPECT_NE(std::string::npos, log.find("mqtt: pub id=3 — недопустимий топік"));
    EXPECT_NE(std::string::npos, log.find("mqtt: sub id=1 — недопустимий топік «a/#/b»"));
    EXPECT_NE(std::string::npos, log.find("mqtt: sub id=2 — «A1» не є власним тегом модуля"));
    EXPECT_NE(std::string::npos, log.find("mqtt: get.allow — невідомий тег «Zzz» — пропущено"));
    EXPECT_NE(std::string::npos, log.find("pub=1 sub=1 get=on(allow 0)")) << log;
}

TEST(Bridge, OversizeRetainedMessageIsSkippedWithoutDroppingTheConnection) {
    mqt::broker br;
    ASSERT_TRUE(br.start());
    ASSERT_TRUE(mqt::mpub(br.port, "in/flow", std::string(100 * 1024, 'x'), {"-r", "-q", "1"}));
    mqt::bridge b;
    b.config(mqt::broker_line(br.port) + "  takt_ms: 50\n" + own_items());
    b.maps(R"({"sub":[{"tag":"Flow","topic":"in/flow","qos":1}]})");
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(b.wait_log("більше за буфер")) << b.log();
    ASSERT_TRUE(tsup::wait_for([&] {
        mqt::mpub(br.port, "in/flow", "7");
        return b.a(5)->quality == 1 && b.a(5)->value == 7;
    }));
    std::string log = b.log();
    EXPECT_NE(std::string::npos, log.find("«in/flow» (102")) << log;
    EXPECT_EQ(1u, tsup::count_of(log, "mqtt: підключено до")) << log;
    EXPECT_EQ(0u, tsup::count_of(log, "втрачено")) << log;
}

TEST(Bridge, BrokerRestartGivesBackOffAndResubscribes) {
    mqt::broker br;
    ASSERT_TRUE(br.start());
    mqt::bridge b;
    b.config(mqt::broker_line(br.port) + "  takt_ms: 50\n  keepalive_s: 5\n" + own_items());
    b.maps(R"({"sub":[{"tag":"Flow","topic":"in/flow"}]})");
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(b.wait_log("mqtt: підключено до")) << b.log();
    br.kill9();
    ASSERT_TRUE(b.wait_log("mqtt: з'єднання втрачено (peer close)")) << b.log();
    // Failed attempts double the pause.
    ASSERT_TRUE(b.wait_log("наступна спроба через 2 с", 1, 20000)) << b.log();
    ASSERT_TRUE(br.restart());
    ASSERT_TRUE(b.wait_log("mqtt: підключено до", 2, 30000)) << b.log();
    ASSERT_TRUE(tsup::wait_for([&] {
        mqt::mpub(br.port, "in/flow", "3");
        return b.a(5)->quality == 1 && b.a(5)->value == 3;
    })) << b.log();
}

TEST(Bridge, WrongPasswordIsRefusedWithTheBrokersCode) {
    mqt::broker br;
    ASSERT_TRUE(br.start({.user = "plant", .password = "right"}));
    mqt::bridge b;
    b.config(mqt::broker_line(br.port) + "  user: plant\n  pass: wrong\n  takt_ms: 50\n");
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(b.wait_log("mqtt: брокер відхилив CONNECT (rc=5)")) << b.log();
    ASSERT_TRUE(b.wait_log("(connack)"));
    EXPECT_EQ(0u, tsup::count_of(b.log(), "mqtt: підключено до"));
    EXPECT_TRUE(
        tsup::wait_for([&] { return b.status().find("\"connected\":0") != std::string::npos; }));
}

TEST(Bridge, RefusesToStartWithoutSectionOrTwice) {
    mqt::bridge b;
    tsup::write_file(b.dir / "config.yaml", "alarm:\n  dir: ./alarm\n");
    tsup::RunResult r = tsup::run({.argv = {ZQ_BIN_DIR "/zqmqtt"},
                                   .env = {"LOGIX_SHM_NAME=" + b.shm.name},
                                   .dir = b.dir.path});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("нема секції mqtt:")) << r.err;

    b.config("  takt_ms: 50\n");
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(b.wait_log("mqtt: брокер"));
    r = tsup::run({.argv = {ZQ_BIN_DIR "/zqmqtt", "--config", "./config.yaml"},
                   .env = {"LOGIX_SHM_NAME=" + b.shm.name},
                   .dir = b.dir.path});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("інша копія вже працює")) << r.err;
    EXPECT_EQ(0, tsup::child_stop(&b.proc));
    EXPECT_NE(std::string::npos, b.log().find("zqmqtt: вихід"));
}

}  // namespace

namespace {

TEST(Bridge, ReloadAppliesImportedMapsAndResubscribes) {
    mqt::broker br;
    ASSERT_TRUE(br.start());
    mqt::bridge b;
    b.config(mqt::broker_line(br.port) + "  takt_ms: 50\n" + own_items());
    b.maps(R"({"sub":[{"tag":"Flow","topic":"in/old"}]})");
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(b.wait_log("mqtt: підключено до")) << b.log();
    tsup::write_file(b.dir / "mqtt/mqtt.json.import",
                     R"({"sub":[{"tag":"Flow","topic":"in/new"}]})");
    ASSERT_EQ(0, kill(b.proc.pid, SIGUSR1));
    ASSERT_TRUE(b.wait_log("mqtt: перечитано конфіг/шкали (SIGUSR1)"));
    EXPECT_NE(std::string::npos, b.log().find("mqtt: застосовано mqtt.json.import"));
    EXPECT_FALSE(tsup::file_exists(b.dir / "mqtt/mqtt.json.import"));
    ASSERT_TRUE(tsup::wait_for([&] {
        mqt::mpub(br.port, "in/new", "9");
        return b.a(5)->quality == 1 && b.a(5)->value == 9;
    })) << b.log();
    EXPECT_EQ(1u, tsup::count_of(b.log(), "mqtt: підключено до"));
}

TEST(Bridge, SilentPeersAreDroppedByTheirDeadlines) {
    // A listener that accepts but never answers CONNECT.
    int port = 0;
    int lfd = tsup::tcp_listen(&port);
    ASSERT_GE(lfd, 0);
    mqt::bridge b;
    b.config(mqt::broker_line(port) + "  takt_ms: 50\n");
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(b.wait_log("(connack timeout)")) << b.log();
    close(lfd);

    // A broker that stops answering once connected.
    mqt::broker br;
    ASSERT_TRUE(br.start());
    mqt::bridge c;
    c.config(mqt::broker_line(br.port) + "  takt_ms: 50\n  keepalive_s: 5\n");
    ASSERT_TRUE(c.start());
    ASSERT_TRUE(c.wait_log("mqtt: підключено до")) << c.log();
    ASSERT_EQ(0, kill(br.proc.pid, SIGSTOP));
    ASSERT_TRUE(c.wait_log("mqtt: з'єднання втрачено (keepalive timeout)", 1, 20000)) << c.log();
    kill(br.proc.pid, SIGCONT);
    EXPECT_TRUE(tsup::child_running(&c.proc));
}

}  // namespace
