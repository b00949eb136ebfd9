// Settings the engineering API changes while zqserver runs: the trust
// table behind /api/write, the central alarm server's address and the
// clock autosync threshold, all seen without a restart.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "eng_test_util.h"

using namespace engtest;

namespace {

constexpr const char *SCADA = "";

std::string trust_yaml(const std::vector<std::string> &entries) {
    std::string s = "awp_slot:\n  trust:\n";
    for (const auto &e : entries)
        s += "    - \"" + e + "\"\n";
    if (entries.empty()) s = "awp_slot:\n  trust: []\n";
    return s;
}

// Replaced by rename, as an editor saves, so a reload never reads half a file.
void replace_file(const std::string &path, const std::string &text) {
    write_file(path + ".new", text);
    ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
}

struct trust_server {
    test_db db{10, 5, 1};
    eng_server srv{SCADA, trust_yaml({"111:0:127.0.0.1"})};
    std::string base = srv.config.substr(0, srv.config.find("awp_slot:"));

    bool start() { return db.ok && srv.start(db.name); }
    void set_trust(const std::vector<std::string> &entries) {
        replace_file(srv.dir + "/config.yaml", base + trust_yaml(entries));
    }
    int write_with(const std::string &code) {
        return parse(
                   srv.post("/api/write", "{\"tag\":\"D1\",\"value\":1,\"code\":\"" + code + "\"}"))
            .status;
    }
    response reload() { return srv.epost("/api/eng/sys/reload-trust", "{}"); }
};

TEST(EngTrust, ReloadChangesControlRights) {
    trust_server t;
    ASSERT_TRUE(t.start());
    EXPECT_EQ(t.write_with("111"), 200);
    EXPECT_EQ(t.write_with("222"), 403);

    // An edit alone changes nothing until the reload.
    t.set_trust({"222:30:127.0.0.1", "333:0:10.9.9.9"});
    EXPECT_EQ(t.write_with("222"), 403);
    response r = t.reload();
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "{\"ok\":true,\"n_trust\":2}");
    EXPECT_TRUE(wait_for(
        [&] { return t.srv.log().find("trust list reloaded: 2 entries") != std::string::npos; }));
    EXPECT_NE(t.srv.audit().find("sys/reload-trust"), std::string::npos);
    EXPECT_EQ(t.write_with("222"), 200);
    EXPECT_EQ(t.write_with("111"), 403);
    EXPECT_EQ(t.write_with("333"), 403);  // that code belongs to another station

    // Entries beyond the table's size are dropped; malformed ones skipped.
    std::vector<std::string> many{"no-colons", "x:1"};
    for (int i = 0; i < 70; i++)
        many.push_back(std::to_string(500 + i) + ":0:127.0.0.1");
    t.set_trust(many);
    EXPECT_EQ(t.reload().body, "{\"ok\":true,\"n_trust\":64}");
    EXPECT_EQ(t.write_with("563"), 200);
    EXPECT_EQ(t.write_with("564"), 403);

    // A trust key that is not a list keeps the table in force.
    replace_file(t.srv.dir + "/config.yaml", t.base + "awp_slot:\n  trust: [\n");
    r = t.reload();
    EXPECT_EQ(r.status, 400);
    EXPECT_NE(r.body.find("\"ok\":false"), std::string::npos);
    EXPECT_EQ(t.write_with("563"), 200);
    EXPECT_EQ(t.write_with("222"), 403);

    // An empty list opens control to everybody.
    t.set_trust({});
    EXPECT_EQ(t.reload().body, "{\"ok\":true,\"n_trust\":0}");
    EXPECT_EQ(t.write_with("anything"), 200);
}

TEST(EngTrust, ReloadFallsBackToLegacyIniAndReportsNoSource) {
    trust_server t;
    ASSERT_TRUE(t.start());
    // The server keeps running on its loaded settings without config.yaml.
    ASSERT_EQ(unlink((t.srv.dir + "/config.yaml").c_str()), 0);
    response r = t.reload();
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(r.body, "{\"ok\":false,\"error\":\"немає джерела trust (ні config.yaml, ні ini)\"}");
    EXPECT_EQ(t.write_with("111"), 200);

    write_file(t.srv.dir + "/zqbridge.ini",
               "[awp_slot]\ntrust1=\ntrust2=444:0:127.0.0.1\nlogcontrol=1\n");
    EXPECT_EQ(t.reload().body, "{\"ok\":true,\"n_trust\":1}");
    EXPECT_EQ(t.write_with("444"), 200);
    EXPECT_EQ(t.write_with("111"), 403);
}

// Writes keep passing while the table is swapped under them: code 111 is in
// both tables, first in one and last of 64 in the other.
TEST(EngTrust, WritesDuringReloadsSeeWholeTables) {
    trust_server t;
    ASSERT_TRUE(t.start());
    std::vector<std::string> big;
    for (int i = 0; i < 63; i++)
        big.push_back(std::to_string(700 + i) + ":0:10.0.0." + std::to_string(i));
    big.push_back("111:0:127.0.0.1");
    std::atomic<bool> stop{false};
    std::atomic<int> ok{0}, bad{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; w++)
        writers.emplace_back([&] {
            while (!stop)
                (t.write_with("111") == 200 ? ok : bad)++;
        });
    // At least 40 reloads, and on until enough writes overlapped them.
    for (int i = 0; i < 40 || (ok < 200 && i < 5000); i++) {
        t.set_trust(i % 2 ? std::vector<std::string>{"111:0:127.0.0.1"} : big);
        EXPECT_EQ(t.reload().status, 200);
    }
    stop = true;
    for (auto &th : writers)
        th.join();
    EXPECT_EQ(bad, 0);
    EXPECT_GT(ok, 0);
    EXPECT_TRUE(tsup::child_running(&t.srv.proc));
}

TEST(EngTrust, CentralUrlAndAutosyncThresholdApplyAtOnce) {
    test_db db(10, 5, 1);
    ASSERT_TRUE(db.ok);
    ShmPlcBlock *b = shm_plc(&db.h, 0);
    strcpy(b->ip, "10.0.0.7");
    b->slot = 2;
    const std::string extra =
        "alarm:\n  dir: ./alarm\n  central_url: \"http://old:1/\"\n"
        "logix:\n  shm_name: /x\n  groups: []\n";
    eng_server srv(SCADA, extra);
    ASSERT_TRUE(srv.start(db.name));
    EXPECT_EQ(srv.body_of("/api/alarm-central-url"), "{\"url\":\"http://old:1/\"}");
    EXPECT_EQ(srv.epost("/api/eng/alarm-central", "{\"url\":\"http://new:2\"}").status, 200);
    EXPECT_EQ(srv.body_of("/api/alarm-central-url"), "{\"url\":\"http://new:2\"}");
    // A refused edit leaves the running value alone.
    EXPECT_EQ(srv.epost("/api/eng/alarm-central", "{\"url\":\"ftp://x\"}").status, 400);
    EXPECT_EQ(srv.body_of("/api/alarm-central-url"), "{\"url\":\"http://new:2\"}");

    EXPECT_EQ(srv.epost("/api/eng/plc-autosync-threshold", "{\"ms\":1234}").status, 200);
    // The switch writes the running threshold where config.yaml lacks one.
    replace_file(srv.dir + "/config.yaml", srv.config);
    EXPECT_NE(srv.body_of("/api/plc/time/auto?plc=0&on=1").find("\"ok\":true"), std::string::npos);
    std::string cfg = read_file(srv.dir + "/config.yaml");
    EXPECT_NE(cfg.find("    autosync_threshold_ms: 1234   #"), std::string::npos) << cfg;
}

}  // namespace
