// An independent check of the bytes: a whole bridge session (connect,
// subscriptions, publications at QoS 0 and 1, a received value, a request
// and its answer, a spool report, disconnect) recorded and decoded by
// tshark's MQTT dissector, which must find nothing malformed.
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/mqtt/mq_test_util.h"
#include "tests/support/capture.h"

namespace {

std::string tshark(const std::string &pcap, std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/tshark", "-n", "-r", pcap});
    return tsup::run({.argv = args, .err_to_out = true}).out;
}

TEST(Wire, SessionDecodesInTsharkWithoutErrors) {
    if (access("/usr/bin/tshark", X_OK) != 0)
        FAIL() << "/usr/bin/tshark is not installed (Debian package tshark)";
    mqt::broker br;
    ASSERT_TRUE(br.start());
    tsup::capture_relay relay(br.port);
    mqt::subscriber sub;
    ASSERT_TRUE(sub.start(br.port, "site/#"));
    mqt::bridge b;
    b.config("  broker: \"127.0.0.1:" + std::to_string(relay.port) +
             "\"\n  prefix: site\n  user: u\n  pass: p\n  takt_ms: 50\n  keepalive_s: 5\n" +
             "  items: |\n    A5,v,Flow\n");
    b.maps(R"({"pub":[{"tag":"A1","topic":"a","qos":1,"retain":true},{"tag":"A2","topic":"b"}],
               "sub":[{"tag":"Flow","topic":"in/flow","qos":1}]})");
    b.set_a(1, 1.5);
    b.set_a(2, 2.5);
    zq_mkdirs((b.dir / "mqtt/spool").c_str(), 0755);
    tsup::write_file(b.dir / "mqtt/spool/r1.msg", "site/rpt\t1\t0\n{\"seq\":1}");
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(sub.wait_count("site/rpt", 1)) << b.log();
    ASSERT_TRUE(tsup::wait_for([&] {
        mqt::mpub(br.port, "in/flow", "4", {"-q", "1"});
        return b.a(5)->quality == 1;
    }));
    mqt::mpub(br.port, "site/get", "A2");
    ASSERT_TRUE(sub.wait_count("site/value/A2", 1));
    ASSERT_TRUE(b.wait_log("mqtt: підключено до"));
    EXPECT_EQ(0, tsup::child_stop(&b.proc));
    relay.finish();
    std::string pcap = b.dir / "session.pcap";
    ASSERT_TRUE(tsup::pcap_write_tcp(pcap, relay.recorded(), 1883));

    std::string detail = tshark(pcap, {"-V", "-d", "tcp.port==1883,mqtt"});
    EXPECT_EQ(std::string::npos, detail.find("Malformed")) << detail;
    std::string expert = tshark(pcap, {"-q", "-z", "expert"});
    EXPECT_EQ(std::string::npos, expert.find("Errors (")) << expert;
    std::string types = tshark(
        pcap, {"-d", "tcp.port==1883,mqtt", "-Y", "mqtt", "-T", "fields", "-e", "mqtt.msgtype"});
    // Connect, ConnAck, Subscribe, Publish, PubAck, Disconnect at least.
    for (const char *t : {"1", "2", "8", "3", "4", "14"})
        EXPECT_NE(std::string::npos, ("\n" + types).find(std::string("\n") + t)) << t << "\n"
                                                                                 << types;
    std::string users = tshark(pcap, {"-d", "tcp.port==1883,mqtt", "-Y", "mqtt.msgtype==1", "-T",
                                      "fields", "-e", "mqtt.username", "-e", "mqtt.clientid"});
    EXPECT_NE(std::string::npos, users.find("u\tzq_")) << users;
}

}  // namespace
