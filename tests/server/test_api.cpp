// Runtime API of the operator pages against a database made by the test.
#include <gtest/gtest.h>

#include <cmath>

#include "server_fixture.h"

using namespace srvtest;

static const char CHANNELS[] =
    "{\"version\":1,\"analogs\":[\n"
    "{\"id\":\"A1\",\"name\":\"T1\",\"desc\":\"Температура \\\"1\\\"\",\"unit\":\"°C\"},\n"
    "{\"id\":\"A3\",\"name\":\"F\",\"desc\":\"Flow\",\"unit\":\"m3/h\",\"scale\":{\"code_min\":0,"
    "\"code_max\":27648,\"el_min\":4,\"el_max\":20,\"phys_min\":0,\"phys_max\":50}}],\n"
    "\"discretes\":[{\"id\":\"D1\",\"name\":\"P1\",\"desc\":\"Pump\"}]}\n";

class Api : public ::testing::Test {
  protected:
    Api() : db(10, 5, 2), srv("  logcontrol: 1\n  logcontrolpath: ./logs\n", extra()) {}
    static std::string extra() {
        return "alarm:\n  dir: ./alarm\n  central_url: \"http://c/\\\"x\"\n"
               "logix:\n  shm_name: /x\n  groups: []\n";
    }
    void SetUp() override {
        ASSERT_TRUE(db.ok);
        write_file(srv.dir + "/channels.json", CHANNELS);
        write_file(srv.dir + "/www/screen1.html", "x");
        int64_t now = shm_now_ms();
        shm_update_analog(&db.h, 1, 1, now, 21.5);
        shm_update_analog(&db.h, 2, 0, now, 7);  // bad quality
        shm_update_analog(&db.h, 3, 1, now, 13824);
        shm_update_discrete(&db.h, 1, 1, 1, now);
        shm_update_discrete(&db.h, 2, 1, 0, now);  // bad quality
        shm_set_an_vtype(&db.h, 1, SHM_VT_REAL);
        shm_set_di_vtype(&db.h, 1, SHM_VT_BOOL);
        ShmPlcBlock *b = shm_plc(&db.h, 0);
        strcpy(b->ip, "10.0.0.7");
        b->slot = 2;
        b->connected = 1;
        b->mode = SHM_MODE_PROGRAM;
        b->minor_fault = 1;
        b->status = 0x0170;
        b->fw_major = 33;
        b->fw_minor = 11;
        b->serial = 4242;
        strcpy(b->name, "Boiler\"1");
        strcpy(b->proc, "1756-L83E");
        db.hdr()->connected = 1;
        db.hdr()->poll_count = 77;
        ASSERT_TRUE(srv.start(db.name));
    }
    ShmWriteSlot *an_slot(int n) { return shm_an_write_slot(&db.h, n); }
    ShmWriteSlot *di_slot(int n) { return shm_di_write_slot(&db.h, n); }
    test_db db;
    server_proc srv;
};

TEST_F(Api, PollValuesPlcAndReloadStamps) {
    struct stat st;
    stat((srv.dir + "/www/screen1.html").c_str(), &st);
    response r = parse(
        srv.post("/api/poll",
                 "{\"tags\":[\"A3\",\"A1\",\"a2\",\"Q1\",\"D999999\",\"A-1\",\"d1\",\"D2\",\"A0\","
                 "\"A99999999999999999999\",\"A\\\"x\"],\"pages\":[\"/screen1.html\",\"nope.html\","
                 "\"../config.yaml\"]}"));
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.header("Content-Type"), "application/json");
    EXPECT_EQ(r.body,
              "{\"values\":{\"A3\":25,\"A1\":21.5,\"a2\":null,\"Q1\":null,\"D999999\":null,"
              "\"A-1\":null,\"d1\":1,\"D2\":null,\"A0\":null,\"A99999999999999\":null,"
              "\"A\\\"x\":null},\"_c\":1,\"plc\":{\"mode\":\"program\",\"ip\":\"10.0.0.7\","
              "\"minor\":1},\"reload\":{\"/screen1.html\":" +
                  std::to_string(st.st_mtime) + ",\"nope.html\":0,\"../config.yaml\":0}}");
    // Channel 0 exists in the database and is never scaled.
    shm_update_analog(&db.h, 0, 1, 1, 5);
    EXPECT_EQ(parse(srv.post("/api/poll", "{\"tags\":[\"A0\"]}")).body.find("\"A0\":5"), 11u);
    // A non-finite controller value stays valid JSON.
    shm_update_analog(&db.h, 1, 1, 1, NAN);
    EXPECT_NE(parse(srv.post("/api/poll", "{\"tags\":[\"A1\"]}")).body.find("\"A1\":null"),
              std::string::npos);
}

TEST_F(Api, LiveVtypesStatusPlcAndInfo) {
    std::string live = srv.body_of("/api/live");
    EXPECT_EQ(live.rfind("{\"connected\":1,\"poll_count\":77,\"last_poll_ms\":", 0), 0u) << live;
    EXPECT_NE(live.find(",\"n_an\":10,\"n_di\":5,\"an\":[[0,0,0,0],[21.5,1,"), std::string::npos)
        << live;
    EXPECT_NE(live.find("[25,1,"), std::string::npos);
    EXPECT_NE(live.find(",13824]"), std::string::npos);
    EXPECT_EQ(srv.body_of("/api/vtypes?tags=A1,%20D1;A2;A0;A99;X1"),
              "{\"types\":{\"A1\":\"REAL\",\"D1\":\"BOOL\",\"A2\":\"?\",\"A99\":\"?\"}}");
    EXPECT_EQ(srv.body_of("/api/vtypes?tags=A0"), "{\"types\":{}}");
    EXPECT_EQ(srv.body_of("/api/vtypes"), "{\"types\":{}}");
    EXPECT_EQ(srv.body_of("/api/status"),
              "{\"groups\":[{\"name\":\"" + db.name +
                  "\",\"connected\":1,\"poll_count\":77,\"n_analogs\":10,\"n_discretes\":5}]}");
    EXPECT_EQ(
        srv.body_of("/api/plc"),
        "{\"plc\":[{\"ip\":\"10.0.0.7\",\"slot\":2,\"connected\":1,\"mode\":\"program\","
        "\"minor_fault\":1,\"status\":368,\"fw\":\"33.11\",\"serial\":4242,\"name\":"
        "\"Boiler\\\"1\",\"proc\":\"1756-L83E\",\"idx\":0,\"auto\":0},{\"ip\":\"\",\"slot\":0,"
        "\"connected\":0,\"mode\":\"unknown\",\"minor_fault\":0,\"status\":0,\"fw\":\"0.0\","
        "\"serial\":0,\"name\":\"\",\"proc\":\"\",\"idx\":1,\"auto\":0}]}");
    std::string t = srv.body_of("/api/time");
    long long ms = atoll(t.c_str() + strlen("{\"now_ms\":"));
    EXPECT_EQ(ms % 1000, 0);
    EXPECT_LT(std::llabs(ms - shm_now_ms()), 5000);
    EXPECT_EQ(srv.body_of("/api/version").rfind("{\"module\":\"zqserver\",\"version\":\"", 0), 0u);
    EXPECT_EQ(srv.body_of("/api/alarm-central-url"), "{\"url\":\"http://c/\\\"x\"}");
    EXPECT_EQ(srv.body_of("/api/meta"),
              "{\"A1\":\"Температура \\\"1\\\"\",\"A3\":\"Flow\",\"D1\":\"Pump\"}");
    EXPECT_EQ(srv.body_of("/api/ip-names"), "{}");
    write_file(srv.dir + "/ip_names.json", "{\"10.0.0.9\":\"Пульт\"}");
    EXPECT_EQ(srv.body_of("/api/ip-names"), "{\"10.0.0.9\":\"Пульт\"}");
}

TEST_F(Api, WritesLandInSlotsInControllerUnits) {
    EXPECT_EQ(srv.post("/api/write", "{\"tag\":\"A3\",\"value\":25}"),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 11\r\n"
              "Access-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n{\"ok\":true}");
    EXPECT_EQ(an_slot(3)->pending, 1);
    EXPECT_DOUBLE_EQ(an_slot(3)->value, 13824);
    // A value that is not a number never reaches the controller as 0.
    for (const char *v : {"\"abc\"", "null", "\"\"", "\"12x\"", "[1]", "{}"}) {
        response r =
            parse(srv.post("/api/write", std::string("{\"tag\":\"a5\",\"value\":") + v + "}"));
        EXPECT_EQ(r.status, 400) << v;
        EXPECT_EQ(r.body, "{\"error\":\"bad value\"}") << v;
    }
    EXPECT_EQ(an_slot(5)->pending, 0);
    EXPECT_EQ(parse(srv.post("/api/write", "{\"tag\":\"A1\",\"value\":\"12.5\"}")).status, 200);
    EXPECT_EQ(an_slot(1)->value, 12.5);
    EXPECT_EQ(parse(srv.post("/api/write", "{\"tag\":\"D3\",\"value\":0.5}")).status, 200);
    EXPECT_EQ(di_slot(3)->value, 1.0);
    EXPECT_EQ(di_slot(3)->pending, 1);
    EXPECT_EQ(parse(srv.post("/api/write", "{\"tag\":\"D1\",\"value\":0}")).status, 200);
    EXPECT_EQ(di_slot(1)->value, 0.0);

    const std::string range = "{\"error\":\"tag out of range\"}";
    for (const char *t : {"A10", "D5", "A-1", "A4294967297", "Z1", "A1.5"}) {
        response r =
            parse(srv.post("/api/write", std::string("{\"tag\":\"") + t + "\",\"value\":1}"));
        EXPECT_EQ(r.status, 400) << t;
        EXPECT_EQ(r.body, range) << t;
    }
    for (const char *v : {"\"nan\"", "\"inf\"", "1e999", "\"-1e999\""}) {
        response r =
            parse(srv.post("/api/write", std::string("{\"tag\":\"A7\",\"value\":") + v + "}"));
        EXPECT_EQ(r.status, 400) << v;
    }
    EXPECT_EQ(an_slot(7)->pending, 0);
    EXPECT_EQ(parse(srv.post("/api/write", "{\"tag\":\"A7\"}")).body,
              "{\"error\":\"need tag and value\"}");
    EXPECT_EQ(srv.get("/api/write"),
              "HTTP/1.1 405 Method Not Allowed\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n"
              "Access-Control-Allow-Origin: *\r\nConnection: close\r\n\r\nPOST only");

    // Operator action log: one line per accepted write.
    std::string log;
    wait_for([&] {
        system(("cat " + srv.dir + "/logs/control*.log > " + srv.dir + "/all.txt").c_str());
        log = read_file(srv.dir + "/all.txt");
        return std::count(log.begin(), log.end(), '\n') == 5;
    });
    EXPECT_NE(log.find("\"ip\":\"127.0.0.1\",\"page\":\"\",\"tag\":\"A3\",\"name\":\"Flow\","
                       "\"from\":25,\"to\":25}"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("\"tag\":\"D1\",\"name\":\"Pump\",\"from\":1,\"to\":0}"), std::string::npos);
}

TEST_F(Api, CrossSiteChangesAreRefused) {
    const std::string body = "{\"tag\":\"A1\",\"value\":3}";
    auto post = [&](const headers &h) { return parse(srv.post("/api/write", body, h)).status; };
    EXPECT_EQ(post({{"Origin", "http://evil.example"}}), 403);
    EXPECT_EQ(post({{"Origin", "null"}}), 403);
    EXPECT_EQ(post({{"Referer", "http://evil.example/x.html"}}), 403);
    EXPECT_EQ(an_slot(1)->pending, 0);
    EXPECT_EQ(post({{"Origin", "http://127.0.0.1"}}), 200);
    EXPECT_EQ(post({{"Referer", "http://127.0.0.1/screen1.html"}}), 200);
    EXPECT_EQ(post({}), 200);
    for (const char *p : {"/api/alarms/ack", "/api/ksp/save?f=a.ks", "/api/ksp/proj/save?f=a.ksp",
                          "/api/plc/time/sync", "/api/plc/time/auto?plc=0&on=1"})
        EXPECT_EQ(parse(srv.post(p, "{\"id\":1}", {{"Origin", "http://evil"}})).status, 403) << p;
    // Reads stay open to every page.
    EXPECT_EQ(parse(srv.post("/api/poll", "{}", {{"Origin", "http://evil"}})).status, 200);
}

TEST_F(Api, PlcClockRequests) {
    // No driver answers: the request times out after the handshake window.
    EXPECT_EQ(srv.body_of("/api/plc/time?plc=0"), "{\"plc\":0,\"ok\":false,\"error\":\"timeout\"}");
    EXPECT_EQ(db.hdr()->time_read_req, 1u);
    EXPECT_EQ(db.hdr()->time_plc, 0u);
    EXPECT_EQ(srv.body_of("/api/plc/time?plc=1"),
              "{\"plc\":1,\"ok\":false,\"error\":\"plc_offline\"}");
    EXPECT_EQ(srv.body_of("/api/plc/time?plc=2"), "{\"plc\":2,\"ok\":false,\"error\":\"bad_plc\"}");
    EXPECT_EQ(srv.body_of("/api/plc/time?plc=99999999999999"),
              "{\"plc\":0,\"ok\":false,\"error\":\"bad_plc\"}");
    EXPECT_EQ(srv.body_of("/api/plc/time?plc=-1"),
              "{\"plc\":0,\"ok\":false,\"error\":\"bad_plc\"}");

    // A driver stand-in answers reads and sets: 2026-01-01, controller 1.5 s ahead.
    auto drv =
        std::make_unique<clock_standin>(&db.h, 1767225600000000LL + 1500000, 1767225600000000LL);
    EXPECT_EQ(srv.body_of("/api/plc/time"),
              "{\"plc\":0,\"ok\":true,\"plc_us\":1767225601500000,\"host_us\":1767225600000000,"
              "\"plc_str\":\"2026-01-01 00:00:01\",\"host_str\":\"2026-01-01 00:00:00\","
              "\"delta_ms\":1500}");
    uint32_t syncs = db.hdr()->time_sync_done;
    EXPECT_NE(srv.body_of("/api/plc/time/sync?plc=0").find("\"ok\":true"), std::string::npos);
    EXPECT_EQ(db.hdr()->time_sync_done, syncs + 1);
    std::string all = srv.body_of("/api/plc/time/all");
    EXPECT_EQ(all.rfind("{\"ok\":true,\"rows\":[{\"plc\":0,\"ok\":true,", 0), 0u) << all;
    EXPECT_NE(all.find("{\"plc\":1,\"ok\":false,\"error\":\"plc_offline\"}],\"host_str\":\""),
              std::string::npos);
    db.hdr()->time_rc = 0;
    drv.reset();
}

TEST_F(Api, AutosyncSwitchRewritesConfig) {
    EXPECT_EQ(srv.body_of("/api/plc/time/auto?plc=0&on=1"),
              "{\"ok\":true,\"path\":\"10.0.0.7\\\\backplane\\\\2\",\"on\":1}");
    std::string cfg = read_file(srv.dir + "/config.yaml");
    EXPECT_NE(
        cfg.find("logix:\n  shm_name: /x\n  groups: []\n  time:\n    autosync:\n"
                 "      - \"10.0.0.7\\\\backplane\\\\2\"\n    autosync_threshold_ms: 2000   #"),
        std::string::npos)
        << cfg;
    EXPECT_NE(cfg.find("  shm_name: /x\n  groups: []\n"), std::string::npos);
    EXPECT_NE(srv.body_of("/api/plc").find("\"auto\":1"), std::string::npos);
    EXPECT_EQ(srv.body_of("/api/plc/time/auto?plc=0&on=0"),
              "{\"ok\":true,\"path\":\"10.0.0.7\\\\backplane\\\\2\",\"on\":0}");
    cfg = read_file(srv.dir + "/config.yaml");
    EXPECT_NE(cfg.find("  time:\n    autosync: []\n    autosync_threshold_ms: 2000"),
              std::string::npos)
        << cfg;
    EXPECT_EQ(cfg.find("backplane"), std::string::npos);
    EXPECT_EQ(srv.body_of("/api/plc/time/auto?plc=7&on=1"), "{\"ok\":false,\"error\":\"bad_plc\"}");
    EXPECT_EQ(srv.body_of("/api/plc/time/auto?plc=x&on=1"), "{\"ok\":false,\"error\":\"bad_plc\"}");
}

TEST_F(Api, AlarmViewsAndAcknowledgement) {
    std::string a = srv.dir + "/alarm";
    EXPECT_EQ(srv.body_of("/api/alarms/active"), "{}");
    EXPECT_EQ(srv.body_of("/api/alarms/journal?date=2026-12-06"), "{\"records\":[]}");
    write_file(a + "/alarms_active.json",
               "{\"ts\":\"t\",\"active\":[{\"id\":3,\"journal_id\":2026120600001,\"desc\":\"d\","
               "\"expr\":\"e\",\"params\":[],\"lvl\":1,\"station\":2,\"since\":\"s\"}]}");
    write_file(a + "/journal-06122026.jsonl",
               "{\"id\":2026120600001,\"station\":2}\r\n\n{\"id\":2026120600002,\"station\":1}\n");
    write_file(a + "/journal-05122026.jsonl", "");
    write_file(a + "/journal-0512202.jsonl", "");
    write_file(a + "/alarm.json",
               "{\"stations\":[{\"id\":2,\"desc\":\"s\",\"ack_ips\":[\"10.9.9.9\"]},"
               "{\"id\":1,\"desc\":\"t\",\"ack_ips\":[]}]}");
    EXPECT_EQ(srv.body_of("/api/alarms/active"), read_file(a + "/alarms_active.json"));
    EXPECT_EQ(srv.body_of("/api/alarms/journal?date=2026-12-06"),
              "{\"records\":[{\"id\":2026120600001,\"station\":2},{\"id\":2026120600002,"
              "\"station\":1}]}");
    EXPECT_EQ(srv.body_of("/api/alarms/dates"), "[\"2026-12-06\",\"2026-12-05\"]");
    EXPECT_EQ(srv.body_of("/api/alarms/config"), read_file(a + "/alarm.json"));

    // Station 2 may be acknowledged only from 10.9.9.9.
    response no = parse(srv.post("/api/alarms/ack", "{\"id\":2026120600001}"));
    EXPECT_EQ(no.status, 403);
    EXPECT_EQ(no.body,
              "{\"ok\":false,\"error\":\"no_control\",\"msg\":\"У вас немає прав квитування\"}");
    // Station 1 (found in the journal) has no address list.
    EXPECT_EQ(parse(srv.post("/api/alarms/ack", "{\"id\":2026120600002}")).body, "{\"ok\":true}");
    EXPECT_EQ(read_file(a + "/ack.req"), "2026120600002 127.0.0.1\n");
    for (const char *b : {"{\"id\":0}", "{\"id\":-4}", "{}", "{\"id\":\"x\"}", "{\"id\":1.5}"})
        EXPECT_EQ(parse(srv.post("/api/alarms/ack", b)).body, "{\"ok\":false}") << b;
    EXPECT_EQ(parse(srv.get("/api/alarms/ack")).status, 404);
    EXPECT_EQ(parse(srv.post("/api/alarms/active", "")).status, 404);
}

TEST_F(Api, PanelFiles) {
    auto save = [&](const std::string &q, const std::string &body) {
        return parse(srv.post("/api/ksp/save?" + q, body));
    };
    EXPECT_EQ(save("f=p1.ks", "<ksp/>").body, "{\"ok\":true}");
    EXPECT_EQ(read_file(srv.dir + "/www/p1.ks"), "<ksp/>");
    EXPECT_EQ(read_file(srv.dir + "/www/p1.htm"),
              "<!DOCTYPE html><html><head><meta charset=\"UTF-8\"><script>location.replace('/"
              "ksp_viewer.htm?cfg=p1.ks');</script></head><body></body></html>\n");
    EXPECT_EQ(save("f=p2.ks&dir=sub", "<ksp a/>").body, "{\"ok\":true}");
    EXPECT_NE(read_file(srv.dir + "/www/sub/p2.htm").find("cfg=sub/p2.ks'"), std::string::npos);
    // A panel named like an existing page leaves that page alone.
    write_file(srv.dir + "/www/screen2.htm", "operator page");
    EXPECT_EQ(save("f=screen2.ks", "<ksp/>").body, "{\"ok\":true}");
    EXPECT_EQ(read_file(srv.dir + "/www/screen2.htm"), "operator page");
    EXPECT_EQ(save("f=p1.ks", "<ksp v2/>").body, "{\"ok\":true}");  // launcher rewritten
    EXPECT_EQ(save("f=.ks", "x").body, "{\"ok\":false,\"msg\":\"invalid filename\"}");
    EXPECT_EQ(save("f=a.kss", "x").body, "{\"ok\":false,\"msg\":\"invalid filename\"}");
    EXPECT_EQ(save("f=../a.ks", "x").body, "{\"ok\":false,\"msg\":\"invalid chars\"}");
    EXPECT_EQ(save("f=a.ks&dir=..", "x").body, "{\"ok\":false,\"msg\":\"invalid dir\"}");
    EXPECT_EQ(save("f=a.ks", "").body, "{\"ok\":false,\"msg\":\"empty body\"}");
    EXPECT_EQ(srv.body_of("/api/ksp/list"), "[\"p1.ks\",\"screen2.ks\",\"sub/p2.ks\"]");
    EXPECT_EQ(srv.get("/api/ksp/frame"),
              "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n"
              "Access-Control-Allow-Origin: *\r\nConnection: close\r\n\r\nneed ?cfg=");
    // A saved panel has frames; a missing one is a bad cfg.
    EXPECT_EQ(parse(srv.get("/api/ksp/frame?cfg=p1.ks")).status, 200);
    EXPECT_EQ(srv.get("/api/ksp/frame?cfg=p9.ks").substr(0, 22), "HTTP/1.1 404 Not Found");
    // Projects need ksp_projdir.
    response r = parse(srv.get("/api/ksp/proj/list"));
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(r.body, "{\"ok\":false,\"msg\":\"ksp_projdir not configured\"}");
}

TEST(ApiProjects, SaveOpenList) {
    server_proc srv("  ksp_projdir: ./proj\n");
    mkdir((srv.dir + "/proj").c_str(), 0755);
    ASSERT_TRUE(srv.start());
    auto save = [&](const std::string &f, const std::string &b) {
        return parse(srv.post("/api/ksp/proj/save?f=" + f, b)).body;
    };
    EXPECT_EQ(save("a.ksp", "<p/>"), "{\"ok\":true}");
    EXPECT_EQ(save("d/b.ksp", "<q/>"), "{\"ok\":true}");
    EXPECT_EQ(save("a.ksp", ""), "{\"ok\":false,\"msg\":\"empty body\"}");
    EXPECT_EQ(save("a.txt", "x"), "{\"ok\":false,\"msg\":\"must end in .ksp\"}");
    EXPECT_EQ(save("../a.ksp", "x"), "{\"ok\":false,\"msg\":\"invalid path\"}");
    EXPECT_EQ(save("/tmp/a.ksp", "x"), "{\"ok\":false,\"msg\":\"invalid path\"}");
    EXPECT_EQ(srv.body_of("/api/ksp/proj/list"), "[\"a.ksp\",\"d/b.ksp\"]");
    response o = parse(srv.get("/api/ksp/proj/open?f=d/b.ksp"));
    EXPECT_EQ(o.header("Content-Type"), "application/xml; charset=utf-8");
    EXPECT_EQ(o.body, "<q/>");
    EXPECT_EQ(parse(srv.get("/api/ksp/proj/open?f=../config.yaml")).body,
              "{\"ok\":false,\"msg\":\"not found\"}");
}

TEST(ApiNoDb, FormsWithoutDatabase) {
    server_proc srv;
    ASSERT_TRUE(srv.start());
    EXPECT_EQ(srv.body_of("/api/live"),
              "{\"connected\":false,\"poll_count\":0,\"n_an\":0,\"n_di\":0,\"an\":[],\"di\":[]}");
    response w = parse(srv.post("/api/write", "{\"tag\":\"A1\",\"value\":1}"));
    EXPECT_EQ(w.status, 503);
    EXPECT_EQ(w.body, "{\"error\":\"shm not available\"}");
    EXPECT_EQ(srv.body_of("/api/status"),
              "{\"groups\":[{\"name\":\"" + srv.shm_name + "\",\"connected\":false}]}");
    EXPECT_EQ(srv.body_of("/api/plc"), "{\"plc\":[]}");
    EXPECT_EQ(srv.body_of("/api/plc/time"), "{\"plc\":0,\"ok\":false,\"error\":\"no_shm\"}");
    EXPECT_EQ(srv.body_of("/api/plc/time/all"), "{\"ok\":false,\"error\":\"no_shm\",\"rows\":[]}");
    EXPECT_EQ(srv.body_of("/api/plc/time/auto?plc=0&on=1"), "{\"ok\":false,\"error\":\"no_shm\"}");
    EXPECT_EQ(srv.body_of("/api/vtypes?tags=A1"), "{\"types\":{\"A1\":\"?\"}}");
    EXPECT_EQ(
        parse(srv.post("/api/poll", "{\"tags\":[\"A1\"]}")).body,
        "{\"values\":{\"A1\":null},\"_c\":0,\"plc\":{\"mode\":\"run\",\"ip\":\"\",\"minor\":0},"
        "\"reload\":{}}");

    // The database appears later: the watch thread opens it.
    std::string name = "/zqsrv_late_" + std::to_string(getpid());
    server_proc srv2;
    ASSERT_TRUE(srv2.start(name));
    EXPECT_NE(srv2.body_of("/api/status").find("\"connected\":false"), std::string::npos);
    test_db db(4, 4, 0, name);
    ASSERT_TRUE(db.ok);
    EXPECT_TRUE(wait_for(
        [&] { return srv2.body_of("/api/status").find("\"connected\":0") != std::string::npos; }));
}

TEST(ApiTrust, ControlRightsNeedCodeAndAddress) {
    test_db db(4, 4, 0);
    ASSERT_TRUE(db.ok);
    server_proc srv("",
                    "awp_slot:\n  trust:\n    - \"4711:30:127.0.0.1\"\n    - \"99:30:10.0.0.1\"\n");
    ASSERT_TRUE(srv.start(db.name));
    const std::string refused =
        "{\"ok\":false,\"error\":\"no_control\",\"msg\":\"\\u0423 \\u0432\\u0430\\u0441 "
        "\\u043d\\u0435\\u043c\\u0430\\u0454 \\u043f\\u0440\\u0430\\u0432 "
        "\\u043a\\u0435\\u0440\\u0443\\u0432\\u0430\\u043d\\u043d\\u044f\"}";
    response r = parse(srv.post("/api/write", "{\"code\":\"99\",\"tag\":\"A1\",\"value\":1}"));
    EXPECT_EQ(r.status, 403);
    EXPECT_EQ(r.body, refused);
    EXPECT_EQ(parse(srv.post("/api/write", "{\"tag\":\"A1\",\"value\":1}")).status, 403);
    EXPECT_EQ(shm_an_write_slot(&db.h, 1)->pending, 0);
    EXPECT_EQ(
        parse(srv.post("/api/write", "{\"code\":\"4711\",\"tag\":\"A1\",\"value\":1}")).status,
        200);
    EXPECT_EQ(shm_an_write_slot(&db.h, 1)->pending, 1);
    EXPECT_EQ(parse(srv.post("/api/write", "{\"code\":4711,\"tag\":\"A2\",\"value\":1}")).status,
              200);
}
