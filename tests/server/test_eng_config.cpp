// config.yaml through the engineering API: check, save, refusals that leave
// the file as it was, key edits that keep the file's layout, PLC groups,
// the alarm definitions and ip names.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "eng_test_util.h"

using namespace engtest;

namespace {

std::string text_body(const std::string &text) {
    return "{\"text\":\"" + json_escape_str(text) + "\"}";
}

TEST(EngConfig, CheckSaveAndRefusal) {
    eng_server srv;
    ASSERT_TRUE(srv.start());
    std::string before = read_file(srv.dir + "/config.yaml");
    response g = srv.eget("/api/eng/config");
    EXPECT_EQ(g.header("Content-Type"), "text/plain; charset=utf-8");
    EXPECT_EQ(g.body, before);

    const std::string broken = before + "logix:\n\tshm_name: /x\n  shm_name: bad/\n";
    response v = srv.epost("/api/eng/config/validate", text_body(broken));
    EXPECT_EQ(v.status, 200);
    json_ptr vr(json_parse(v.body.c_str()));
    ASSERT_TRUE(vr) << v.body;
    EXPECT_FALSE(json_getb(vr.get(), "ok", 1));
    const json_node *errs = json_get(vr.get(), "errors");
    ASSERT_EQ(json_count(errs), 2u) << v.body;
    int tab_line = (int)std::count(before.begin(), before.end(), '\n') + 2;
    EXPECT_EQ(json_geti(json_at(errs, 0), "line", 0), tab_line);

    response s = srv.epost("/api/eng/config", text_body(broken));
    EXPECT_EQ(s.status, 400);
    EXPECT_EQ(member(s.body, "error").rfind("Рядок " + std::to_string(tab_line) + ": ", 0), 0u)
        << s.body;
    EXPECT_EQ(read_file(srv.dir + "/config.yaml"), before);

    const std::string fine = before + "alarm:\n  dir: ./alarm/\n";  // a warning only
    s = srv.epost("/api/eng/config", text_body(fine));
    EXPECT_EQ(s.status, 200) << s.body;
    EXPECT_EQ(member(s.body, "msg"), "збережено");
    EXPECT_EQ(read_file(srv.dir + "/config.yaml"), fine);
    EXPECT_NE(srv.audit().find("\"action\":\"config save\""), std::string::npos);
    EXPECT_EQ(srv.epost("/api/eng/config", "{\"txt\":1}").status, 400);
    // A large plant's file is more than an anonymous request may bring.
    std::string big = fine;
    while (big.size() < (1u << 20) + 1000)
        big += "# " + std::string(70, '=') + "\n";
    EXPECT_EQ(srv.epost("/api/eng/config", text_body(big)).status, 200);
    EXPECT_EQ(read_file(srv.dir + "/config.yaml"), big);
    unlink((srv.dir + "/config.yaml").c_str());
    EXPECT_EQ(srv.eget("/api/eng/config").body, "{\"ok\":false,\"error\":\"no config.yaml\"}");
}

// Saves and key edits on many connections at once: each lands whole, and
// no temporary file stays behind.
TEST(EngConfig, ConcurrentSavesAndEdits) {
    eng_server srv;
    ASSERT_TRUE(srv.start());
    std::string base = read_file(srv.dir + "/config.yaml");
    std::string a = base + "alarm:\n  dir: ./a\n", b = base + "alarm:\n  dir: ./b\n";
    std::vector<std::thread> th;
    for (int t = 0; t < 4; t++)
        th.emplace_back([&, t] {
            for (int i = 0; i < 8; i++) {
                if (t < 2)
                    EXPECT_EQ(srv.epost("/api/eng/config", text_body(t ? a : b)).status, 200);
                else
                    EXPECT_EQ(srv.epost("/api/eng/plc-autosync-threshold",
                                        "{\"ms\":" + std::to_string(1000 + i) + "}")
                                  .status,
                              200);
            }
        });
    for (auto &x : th)
        x.join();
    std::string end = read_file(srv.dir + "/config.yaml");
    EXPECT_TRUE(end.rfind(a.substr(0, a.size() - 1), 0) == 0 ||
                end.rfind(b.substr(0, b.size() - 1), 0) == 0)
        << end;
    EXPECT_EQ(tsup::list_dir(srv.dir, "config"), std::vector<std::string>{"config.yaml"});
}

TEST(EngConfig, KeyEditsKeepTheFilesIndentation) {
    eng_server srv("",
                   "logix:\n"
                   "    shm_name: /x   # the database\n"
                   "    time:\n"
                   "        dst: 2\n"
                   "alarm:\n"
                   "    dir: ./alarm\n");
    ASSERT_TRUE(srv.start());
    EXPECT_EQ(srv.epost("/api/eng/alarm-central", "{\"url\":\"http://h:81\"}").status, 200);
    EXPECT_EQ(srv.epost("/api/eng/plc-autosync-threshold", "{\"ms\":2500}").status, 200);
    std::string t = read_file(srv.dir + "/config.yaml");
    EXPECT_NE(t.find("    dir: ./alarm\n    central_url: \"http://h:81\"\n"), std::string::npos)
        << t;
    EXPECT_NE(t.find("        dst: 2\n        autosync_threshold_ms: 2500\n"), std::string::npos)
        << t;
    EXPECT_NE(t.find("# the database"), std::string::npos);
    EXPECT_EQ(srv.epost("/api/eng/plc-autosync-threshold", "{\"ms\":0}").status, 400);
    EXPECT_EQ(srv.epost("/api/eng/alarm-central", "{\"url\":\"ftp://h\"}").status, 400);
    EXPECT_EQ(read_file(srv.dir + "/config.yaml"), t);
}

TEST(EngConfig, PlcGroupEdits) {
    const std::string groups =
        "logix:\n"
        "  shm_name: /x\n"
        "  groups:\n"
        "    # line one\n"
        "    - id: 1\n"
        "      ipaddr: 10.0.0.1   # boiler PLC\n"
        "      connpath: \"backplane\\\\1\"\n"
        "      takt: 300\n"
        "      items: |\n"
        "        A1,c,Main.Level\n"
        "    - id: 2\n"
        "      items: |\n"
        "        A2,c,X\n";
    eng_server srv("", groups);
    ASSERT_TRUE(srv.start());
    EXPECT_EQ(srv.eget("/api/eng/logix-groups").body,
              "[{\"id\":1,\"ipaddr\":\"10.0.0.1\",\"connpath\":\"backplane\\\\1\",\"takt\":300},"
              "{\"id\":2,\"ipaddr\":\"\",\"connpath\":\"\",\"takt\":0}]");
    std::string before = read_file(srv.dir + "/config.yaml");
    response r = srv.epost("/api/eng/logix-group?id=1", "{\"ipaddr\":\"10.0.0.300\"}");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(member(r.body, "error"),
              "ipaddr «10.0.0.300» — не IPv4-адреса (драйвер приймає лише N.N.N.N)");
    EXPECT_EQ(member(srv.epost("/api/eng/logix-group?id=1", "{\"takt\":0}").body, "error"),
              "takt «0» — має бути число мс > 0");
    EXPECT_EQ(member(srv.epost("/api/eng/logix-group?id=7", "{\"takt\":5}").body, "error"),
              "No group id 7");
    EXPECT_EQ(read_file(srv.dir + "/config.yaml"), before);

    r = srv.epost("/api/eng/logix-group?id=1",
                  "{\"ipaddr\":\"10.0.0.9\",\"connpath\":\"backplane\\\\3\",\"takt\":\"250\"}");
    EXPECT_EQ(r.body, "{\"ok\":true,\"msg\":\"saved Logix5000_1\"}");
    r = srv.epost("/api/eng/logix-group?id=2", "{\"ipaddr\":\"10.0.0.2\",\"takt\":100}");
    EXPECT_EQ(r.status, 200) << r.body;
    std::string t = read_file(srv.dir + "/config.yaml");
    EXPECT_NE(t.find("    # line one\n    - id: 1\n      ipaddr: \"10.0.0.9\"   # boiler PLC\n"
                     "      connpath: \"backplane\\\\3\"\n      takt: 250\n"),
              std::string::npos)
        << t;
    EXPECT_NE(t.find("    - id: 2\n      ipaddr: \"10.0.0.2\"\n      takt: 100\n      items: |\n"),
              std::string::npos)
        << t;
    EXPECT_EQ(srv.eget("/api/eng/logix-groups").body,
              "[{\"id\":1,\"ipaddr\":\"10.0.0.9\",\"connpath\":\"backplane\\\\3\",\"takt\":250},"
              "{\"id\":2,\"ipaddr\":\"10.0.0.2\",\"connpath\":\"\",\"takt\":100}]");
    EXPECT_NE(srv.audit().find("\"action\":\"logix-group 1\""), std::string::npos);
}

TEST(EngConfig, AlarmsIpNamesAndLegacyIni) {
    int dead_port = free_port();
    eng_server srv("", "alarm:\n  dir: ./alarm\n  central_url: http://127.0.0.1:" +
                           std::to_string(dead_port) + "\n");
    write_file(srv.dir + "/zqbridge.ini", "[general]\nname=\xCF\xEB\xE0\xED\xF2\n");
    ASSERT_TRUE(srv.start());
    EXPECT_EQ(srv.eget("/api/eng/alarms").status, 404);
    EXPECT_EQ(member(srv.epost("/api/eng/alarms", "{\"x\":1}").body, "error"),
              "немає масиву events");
    EXPECT_EQ(member(srv.epost("/api/eng/alarms", "{nope").body, "error"), "невалідний JSON");
    const std::string alarms = "{\"events\":[{\"id\":1}]}";
    EXPECT_EQ(srv.epost("/api/eng/alarms", alarms).body, "{\"ok\":true,\"msg\":\"збережено\"}");
    EXPECT_EQ(read_file(srv.dir + "/alarm/alarm.json.import"), alarms);

    EXPECT_EQ(member(srv.epost("/api/eng/ip-names", "{\"x\":1}").body, "error"),
              "немає масиву names");
    // The central server is down: the local file is saved all the same.
    const std::string names = "{\"names\":[{\"ip\":\"10.0.0.7\",\"name\":\"АРМ 1\"}]}";
    EXPECT_EQ(srv.epost("/api/eng/ip-names", names).status, 200);
    EXPECT_EQ(read_file(srv.dir + "/ip_names.json"), names);
    EXPECT_EQ(srv.eget("/api/eng/ip-names").body, names);
    EXPECT_EQ(srv.eget("/api/eng/ini").body, "[general]\nname=Плант\n");
}

}  // namespace
