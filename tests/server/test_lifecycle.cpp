// Start-up from the legacy configuration, signals and the watch thread.
#include <gtest/gtest.h>
#include <sys/time.h>

#include "server_fixture.h"

using namespace srvtest;

TEST(Legacy, IniConfigurationAndChannelTables) {
    test_db db(6, 4, 0);
    ASSERT_TRUE(db.ok);
    server_proc srv;
    unlink((srv.dir + "/config.yaml").c_str());
    mkdir((srv.dir + "/pages").c_str(), 0755);
    write_file(srv.dir + "/pages/screen1.html", "legacy page");
    write_file(
        srv.dir + "/zqbridge.ini",
        "; legacy\n[general]\nshm_name=/ignored_by_env\n[scada]\nport=" + std::to_string(srv.port) +
            "\nwwwdir = ./pages\n[awp_slot]\ntrust1=77:10:127.0.0.1\n");
    // CP1251 descriptions; A2 carries a scale in columns 6..9.
    write_file(srv.dir + "/zqbridge.a.base",
               "n,tag,desc,a,b,c,cmin,cmax,lo,hi\n1,x,\xD2\xE5\xEC\xEF\xE5\xF0\xE0\xF2\xF3\xF0\xE0 "
               "\"1\",,,,,,,\n2,y,  Flow  ,a,b,c,0,1000,0,10\nbad,z,no\n");
    write_file(srv.dir + "/zqbridge.d.base", "n,tag,desc\n3,p,\xCD\xE0\xF1\xEE\xF1\n");
    srv.conf_arg = "./zqbridge.ini";
    shm_update_analog(&db.h, 2, 1, 1, 500);
    ASSERT_TRUE(srv.start(db.name));
    EXPECT_EQ(srv.body_of("/"), "legacy page");
    EXPECT_EQ(srv.body_of("/api/meta"),
              "{\"A1\":\"Температура \\\"1\\\"\",\"A2\":\"Flow\",\"D3\":\"Насос\"}");
    EXPECT_EQ(
        parse(srv.post("/api/poll", "{\"tags\":[\"A2\"]}")).body.rfind("{\"values\":{\"A2\":5}", 0),
        0u);
    // The trust table came from [awp_slot].
    EXPECT_EQ(parse(srv.post("/api/write", "{\"tag\":\"A2\",\"value\":1}")).status, 403);
    EXPECT_EQ(parse(srv.post("/api/write", "{\"code\":\"77\",\"tag\":\"A2\",\"value\":1}")).status,
              200);
    EXPECT_DOUBLE_EQ(shm_an_write_slot(&db.h, 2)->value, 100);
    EXPECT_EQ(read_file(srv.dir + "/stderr.txt").find("scada: config from"), std::string::npos);
}

TEST(Watch, MetadataReloadAndPageChanges) {
    server_proc srv;
    write_file(srv.dir + "/channels.json",
               "{\"version\":1,\"analogs\":[{\"id\":\"A1\",\"desc\":\"old\"}],\"discretes\":[]}");
    write_file(srv.dir + "/www/screen1.html", "v1");
    ASSERT_TRUE(srv.start());
    EXPECT_EQ(srv.body_of("/api/meta"), "{\"A1\":\"old\"}");
    EXPECT_TRUE(wait_for([&] {
        return srv.log().find("zqserver started on port " + std::to_string(srv.port) +
                              " (wwwdir=./www)") != std::string::npos;
    }));
    write_file(srv.dir + "/channels.json",
               "{\"version\":1,\"analogs\":[{\"id\":\"A1\",\"desc\":\"new\"}],\"discretes\":[]}");
    // Nothing changes until the signal.
    EXPECT_EQ(srv.body_of("/api/meta"), "{\"A1\":\"old\"}");
    kill(srv.proc.pid, SIGUSR1);
    EXPECT_TRUE(wait_for([&] { return srv.body_of("/api/meta") == "{\"A1\":\"new\"}"; }));
    EXPECT_NE(srv.log().find("meta reloaded (SIGUSR1)"), std::string::npos);

    // A page edited under wwwdir is noticed and named in the log.
    mkdir((srv.dir + "/www/sub").c_str(), 0755);
    write_file(srv.dir + "/www/sub/p.htm", "x");
    timeval later[2] = {{time(nullptr) + 100, 0}, {time(nullptr) + 100, 0}};
    utimes((srv.dir + "/www/sub/p.htm").c_str(), later);
    EXPECT_TRUE(wait_for([&] {
        return srv.log().find("wwwdir changed: sub/p.htm") != std::string::npos;
    })) << srv.log();
}

TEST(Watch, AutosyncSetsDriftingClock) {
    test_db db(2, 2, 1);
    ASSERT_TRUE(db.ok);
    ShmPlcBlock *b = shm_plc(&db.h, 0);
    strcpy(b->ip, "10.0.0.7");
    b->slot = 0;
    b->connected = 1;
    db.hdr()->connected = 1;
    server_proc srv("",
                    "logix:\n  time:\n    autosync: [\"10.0.0.7\\\\backplane\\\\0\"]\n"
                    "    autosync_threshold_ms: 1000\n");
    // The controller is 5 s behind.
    auto drv =
        std::make_unique<clock_standin>(&db.h, 1767225600000000LL - 5000000, 1767225600000000LL);
    ASSERT_TRUE(srv.start(db.name));
    EXPECT_NE(srv.body_of("/api/plc").find("\"auto\":1"), std::string::npos);
    EXPECT_TRUE(wait_for([&] { return shm_time_done(&db.h, true) == 1; }));
    EXPECT_TRUE(wait_for([&] {
        return srv.log().find(
                   "autosync ПЛК 10.0.0.7\\backplane\\0: розбіжність -5000 мс → синхронізую") !=
               std::string::npos;
    })) << srv.log();
    drv.reset();
    // Connected all along: no second check within the same day.
    EXPECT_EQ(shm_time_done(&db.h, true), 1u);
}
