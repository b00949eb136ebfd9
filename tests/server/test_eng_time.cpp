// Time settings from the editor against a recording zqnet and a stand-in
// timedatectl: the checks before the tool runs, and the zone's standard
// offset written into the logix section.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "common/yaml.h"
#include "eng_net_util.h"

using namespace engtest;

namespace {

struct time_server : net_server {
    std::string bin = side.path + "/bin";
    explicit time_server(const std::string &extra = "") : net_server("", extra) {
        mkdir(bin.c_str(), 0755);
        write_file(
            bin + "/timedatectl",
            "#!/bin/sh\n[ \"$1\" = show ] || exit 1\n"
            "printf 'Timezone=Europe/Kyiv\\nLocalRTC=no\\nNTP=yes\\nNTPSynchronized=no\\n'\n");
        chmod((bin + "/timedatectl").c_str(), 0755);
        write_file(side.path + "/zqstack.conf", "[Time]\nNTP=ntp.plant.lan\n");
        const char *path = getenv("PATH");
        env_extra.push_back("PATH=" + bin + ":" + (path ? path : "/usr/bin:/bin"));
        env_extra.push_back("ZQNET_TIMESYNCD_CONF=" + side.path + "/zqstack.conf");
    }
    std::string yaml() const { return read_file(dir + "/config.yaml"); }
};

}  // namespace

TEST(EngTime, ConfigAndZoneList) {
    time_server s;
    ASSERT_TRUE(s.start_net());
    response r = s.eget("/api/eng/sys/time-config");
    ASSERT_EQ(r.status, 200) << r.body;
    json_ptr j(json_parse(r.body.c_str()));
    ASSERT_TRUE(j) << r.body;
    EXPECT_STREQ(json_gets(j.get(), "timezone", ""), "Europe/Kyiv");
    EXPECT_TRUE(json_getb(j.get(), "ntp", 0));
    EXPECT_FALSE(json_getb(j.get(), "ntp_synced", 1));
    EXPECT_STREQ(json_gets(j.get(), "ntp_server", ""), "ntp.plant.lan");
    EXPECT_EQ(json_geti(j.get(), "offset_min", 0), 120);
    EXPECT_EQ(strlen(json_gets(j.get(), "now", "")), 19u);

    r = s.eget("/api/eng/sys/timezones");
    json_ptr z(json_parse(r.body.c_str()));
    ASSERT_TRUE(z && z->type == JSON_ARRAY) << r.body.substr(0, 200);
    EXPECT_STREQ(json_str_of(json_at(z.get(), 0), ""), "UTC");
    EXPECT_NE(r.body.find("\"Europe/Kyiv\""), std::string::npos);
    EXPECT_NE(r.body.find("\"America/Argentina/Buenos_Aires\""), std::string::npos);
    EXPECT_EQ(r.body.find("\"posix/"), std::string::npos);
}

TEST(EngTime, ZoneChangeWritesTheWinterOffsetIntoLogixOnly) {
    time_server s(
        "logix:\n  shm_name: /x\n  time:\n    dst: true\n    tz_offset_min: 0\n"
        "calc:\n  time:\n    tz_offset_min: 7\n");
    ASSERT_TRUE(s.start_net());
    // New York keeps its standard offset whatever the season.
    response r = s.epost("/api/eng/sys/timezone", R"({"zone":"America/New_York"})");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_NE(r.body.find("\"offset_min\":-300"), std::string::npos) << r.body;
    EXPECT_NE(s.calls().find("tz-set|America/New_York"), std::string::npos);
    json_ptr cfg(yaml_parse(s.yaml().c_str()));
    EXPECT_EQ(json_geti(json_get(json_get(cfg.get(), "logix"), "time"), "tz_offset_min", 0), -300)
        << s.yaml();
    EXPECT_EQ(json_geti(json_get(json_get(cfg.get(), "logix"), "time"), "dst", 0), 1);
    EXPECT_EQ(json_geti(json_get(json_get(cfg.get(), "calc"), "time"), "tz_offset_min", 0), 7);
    size_t n = 0;
    for (size_t p = s.yaml().find("tz_offset_min"); p != std::string::npos;
         p = s.yaml().find("tz_offset_min", p + 1))
        n++;
    EXPECT_EQ(n, 2u) << s.yaml();
    EXPECT_NE(s.audit().find("sys/timezone America/New_York"), std::string::npos);

    ASSERT_EQ(s.epost("/api/eng/sys/timezone", R"({"zone":"UTC"})").status, 200);
    cfg.reset(yaml_parse(s.yaml().c_str()));
    EXPECT_EQ(json_geti(json_get(json_get(cfg.get(), "logix"), "time"), "tz_offset_min", -1), 0);
}

TEST(EngTime, ZoneChangeAddsATimeBlockUnderLogix) {
    time_server s("logix:\n  shm_name: /x\n");
    ASSERT_TRUE(s.start_net());
    ASSERT_EQ(s.epost("/api/eng/sys/timezone", R"({"zone":"Europe/Kyiv"})").status, 200);
    json_ptr cfg(yaml_parse(s.yaml().c_str()));
    EXPECT_EQ(json_geti(json_get(json_get(cfg.get(), "logix"), "time"), "tz_offset_min", 0), 120)
        << s.yaml();
    EXPECT_STREQ(json_gets(json_get(cfg.get(), "logix"), "shm_name", ""), "/x");
}

TEST(EngTime, RefusalsAndToolErrors) {
    time_server s;
    ASSERT_TRUE(s.start_net());
    for (const char *zone : {"../etc/passwd", "/etc/localtime", "-u", "Europe/../UTC", "",
                             "Nowhere/City", "Europe", "Europe/Kyiv\nx"}) {
        response r = s.epost("/api/eng/sys/timezone",
                             std::string("{\"zone\":\"") + json_escape_str(zone) + "\"}");
        EXPECT_EQ(r.status, 400) << zone;
        EXPECT_EQ(member(r.body, "error"), "bad zone") << zone;
    }
    for (const char *server : {"a b", "-x", "ntp_1.lan", "x;y"}) {
        response r = s.epost("/api/eng/sys/ntp",
                             std::string("{\"enabled\":true,\"server\":\"") + server + "\"}");
        EXPECT_EQ(member(r.body, "error"), "bad server") << server;
    }
    for (const char *dt : {"2024-01-01 00:00:0", "2023-02-29 12:00:00", "2024-13-01 00:00:00",
                           "2024-01-01T00:00:00", "2024-04-31 10:00:00", "2024-01-01 24:00:00"}) {
        response r = s.epost("/api/eng/sys/clock", std::string("{\"datetime\":\"") + dt + "\"}");
        EXPECT_EQ(member(r.body, "error"), "bad datetime") << dt;
    }
    EXPECT_EQ(s.calls(), "");

    ASSERT_EQ(s.epost("/api/eng/sys/ntp", R"({"enabled":true,"server":"pool.ntp.org"})").status,
              200);
    ASSERT_EQ(s.epost("/api/eng/sys/ntp", R"({"enabled":0})").status, 200);
    ASSERT_EQ(s.epost("/api/eng/sys/clock", R"({"datetime":"2024-02-29 23:59:59"})").status, 200);
    std::string c = s.calls();
    EXPECT_NE(c.find("ntp-set|1|pool.ntp.org"), std::string::npos) << c;
    EXPECT_NE(c.find("ntp-set|0\n"), std::string::npos) << c;
    EXPECT_NE(c.find("clock-set|2024-02-29 23:59:59"), std::string::npos) << c;

    std::string before = s.yaml();
    s.tool_fails("Failed to set time zone: Access denied\n");
    response r = s.epost("/api/eng/sys/timezone", R"({"zone":"Europe/Kyiv"})");
    EXPECT_EQ(member(r.body, "error"), "Failed to set time zone: Access denied") << r.body;
    EXPECT_EQ(s.yaml(), before);
    write_file(s.fake + "/fail", "");
    r = s.epost("/api/eng/sys/clock", R"({"datetime":"2024-01-01 00:00:00"})");
    EXPECT_EQ(member(r.body, "error"), "clock-set failed") << r.body;
}
