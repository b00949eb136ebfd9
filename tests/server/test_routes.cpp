// Handlers run through the route table in-process, without sockets.
#include <gtest/gtest.h>

#include <memory>

#include "common/parse_util.h"
#include "server/rt_meta.h"
#include "server/rt_plc.h"
#include "server/srv_routes.h"
#include "server_fixture.h"

using namespace srvtest;

namespace {

struct answer {
    srv_reply_kind kind;
    int status;
    std::string type, body, location;
};

struct in_process {
    tsup::TempDir tmp{"zqsrv_rt"};
    std::string dir = tmp.path;
    std::unique_ptr<srv_state> st = std::make_unique<srv_state>();

    in_process() {
        mkdir((dir + "/www").c_str(), 0755);
        mkdir((dir + "/alarm").c_str(), 0755);
        snprintf(st->cfg.wwwdir, sizeof st->cfg.wwwdir, "%s/www", dir.c_str());
        snprintf(st->cfg.alarm_dir, sizeof st->cfg.alarm_dir, "%s/alarm", dir.c_str());
        snprintf(st->cfg.eng_base_a, sizeof st->cfg.eng_base_a, "%s/a.base", dir.c_str());
        snprintf(st->cfg.eng_base_d, sizeof st->cfg.eng_base_d, "%s/d.base", dir.c_str());
        snprintf(st->cfg.yaml_path, sizeof st->cfg.yaml_path, "%s/config.yaml", dir.c_str());
    }
    ~in_process() { srv_db_close(st.get()); }
    bool open_db(const std::string &name) {
        zq_copy_cut(st->cfg.shm_name, sizeof st->cfg.shm_name, name.c_str());
        return srv_db_open(st.get(), false);
    }
    void load_meta() { meta_load(&st->meta, st->cfg.eng_base_a, st->cfg.eng_base_d); }

    std::unique_ptr<http_request> req(const std::string &method, const std::string &target,
                                      const std::string &body = "",
                                      const std::string &headers = "Host: 127.0.0.1\r\n") {
        auto r = std::make_unique<http_request>();
        std::string head = method + " " + target + " HTTP/1.1\r\n" + headers + "\r\n";
        EXPECT_EQ(http_parse_head(head.data(), head.size(), r.get()), 0);
        r->body = body;
        r->body_len = (int)body.size();
        zq_copy_cut(r->client_ip, sizeof r->client_ip, "127.0.0.1");
        return r;
    }
    answer call(const std::string &method, const std::string &target, const std::string &body = "",
                const std::string &headers = "Host: 127.0.0.1\r\n") {
        auto r = req(method, target, body, headers);
        srv_reply out;
        srv_dispatch(st.get(), r.get(), &out);
        return {out.kind, out.status, out.content_type, out.body, out.location};
    }
};

// 8 analog, 4 discrete channels, one controller, and the metadata of A3
// (code 0..27648 -> 0..50) and A5 (code 0..100 -> 0..0.1).
class Routes : public ::testing::Test {
  protected:
    Routes() : db(8, 4, 1) {}
    void SetUp() override {
        ASSERT_TRUE(db.ok);
        write_file(srv.dir + "/channels.json",
                   "{\"version\":1,\"analogs\":["
                   "{\"id\":\"A3\",\"desc\":\"Flow\",\"scale\":{\"code_min\":0,\"code_max\":27648,"
                   "\"phys_min\":0,\"phys_max\":50}},"
                   "{\"id\":\"A5\",\"desc\":\"Level\",\"scale\":{\"code_min\":0,\"code_max\":100,"
                   "\"phys_min\":0,\"phys_max\":0.1}}],"
                   "\"discretes\":[{\"id\":\"D1\",\"desc\":\"Pump\"}]}");
        srv.load_meta();
        ASSERT_TRUE(srv.open_db(db.name));
        shm_update_analog(&db.h, 1, 1, 1, 21.5);
        shm_update_analog(&db.h, 2, 0, 1, 7);
        shm_update_analog(&db.h, 3, 1, 1, 13824);
        shm_update_analog(&db.h, 5, 1, 1, 50);
        shm_update_discrete(&db.h, 1, 1, 1, 1);
    }
    test_db db;
    in_process srv;
};

}  // namespace

TEST_F(Routes, PollAnswersScaledValuesWithoutRoundingThroughFloat) {
    answer a =
        srv.call("POST", "/api/poll", "{\"tags\":[\"A3\",\"A1\",\"A2\",\"A5\",\"d1\",\"A0\"]}");
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.type, "application/json");
    // 0.1 is not a float: scaled through floats A5 read 0.0500000007450581.
    EXPECT_EQ(a.body,
              "{\"values\":{\"A3\":25,\"A1\":21.5,\"A2\":null,\"A5\":0.05,\"d1\":1,"
              "\"A0\":null},\"_c\":0,\"plc\":{\"mode\":\"run\",\"ip\":\"\",\"minor\":0},"
              "\"reload\":{}}");
    EXPECT_NE(srv.call("GET", "/api/live").body.find(",[0.05,1,1,50]"), std::string::npos);
}

TEST_F(Routes, LegacyTableScalesTheSameWay) {
    unlink((srv.dir + "/channels.json").c_str());
    write_file(srv.dir + "/a.base",
               "n,tag,desc,a,b,c,cmin,cmax,lo,hi\n5,x,Level,a,b,c,0,100,0,0.1\n"
               "6,y,Flat,a,b,c,7,7,0,10\n");
    srv.load_meta();
    shm_update_analog(&db.h, 6, 1, 1, 3);
    EXPECT_EQ(srv.call("POST", "/api/poll", "{\"tags\":[\"A5\",\"A6\",\"A3\"]}")
                  .body.rfind("{\"values\":{\"A5\":0.05,\"A6\":3,\"A3\":13824}", 0),
              0u);
    // The inverse lands exactly on the controller value.
    EXPECT_EQ(srv.call("POST", "/api/write", "{\"tag\":\"A5\",\"value\":0.07}").status, 200);
    EXPECT_DOUBLE_EQ(shm_an_write_slot(&db.h, 5)->value, 70);
    // code_min == code_max: no scale, the value passes.
    EXPECT_EQ(srv.call("POST", "/api/write", "{\"tag\":\"A6\",\"value\":4}").status, 200);
    EXPECT_EQ(shm_an_write_slot(&db.h, 6)->value, 4);
}

TEST_F(Routes, WriteNeedsTheTrustCodeOfTheStation) {
    srv.st->cfg.n_trust = 1;
    srv_parse_trust("1234:60:127.0.0.1", &srv.st->cfg.trust[0]);
    srv_live_init(srv.st.get());
    answer no = srv.call("POST", "/api/write", "{\"tag\":\"A3\",\"value\":25}");
    EXPECT_EQ(no.status, 403);
    EXPECT_EQ(no.body.rfind("{\"ok\":false,\"error\":\"no_control\",\"msg\":\"\\u0423", 0), 0u);
    EXPECT_FALSE(shm_write_pending(shm_an_write_slot(&db.h, 3)));
    answer wrong = srv.call("POST", "/api/write", "{\"tag\":\"A3\",\"value\":25,\"code\":\"12\"}");
    EXPECT_EQ(wrong.status, 403);

    answer ok = srv.call("POST", "/api/write", "{\"tag\":\"A3\",\"value\":25,\"code\":1234}");
    EXPECT_EQ(ok.status, 200);
    EXPECT_EQ(ok.body, "{\"ok\":true}");
    ShmWriteSlot *slot = shm_an_write_slot(&db.h, 3);
    ASSERT_TRUE(shm_write_pending(slot));
    EXPECT_DOUBLE_EQ(slot->value, 13824);
    EXPECT_EQ(
        srv.call("POST", "/api/write", "{\"tag\":\"D1\",\"value\":5,\"code\":\"1234\"}").status,
        200);
    EXPECT_EQ(shm_di_write_slot(&db.h, 1)->value, 1);
    // The right code from another station is refused.
    auto r = srv.req("POST", "/api/write", "{\"tag\":\"A3\",\"value\":1,\"code\":\"1234\"}");
    zq_copy_cut(r->client_ip, sizeof r->client_ip, "10.1.1.1");
    srv_reply out;
    srv_dispatch(srv.st.get(), r.get(), &out);
    EXPECT_EQ(out.status, 403);
}

TEST_F(Routes, StateChangingRoutesRefuseOtherSites) {
    const std::string other = "Host: 127.0.0.1\r\nOrigin: http://evil.example\r\n";
    answer a = srv.call("POST", "/api/write", "{\"tag\":\"A3\",\"value\":1}", other);
    EXPECT_EQ(a.status, 403);
    EXPECT_EQ(a.type, "application/json");
    EXPECT_EQ(a.body, "{\"ok\":false,\"error\":\"cross_site\"}");
    EXPECT_FALSE(shm_write_pending(shm_an_write_slot(&db.h, 3)));
    // Refused before the method is looked at, as for every state-changing path.
    EXPECT_EQ(
        srv.call("GET", "/api/alarms/ack", "", "Host: h:1\r\nReferer: http://other:1/page.html\r\n")
            .status,
        403);
    EXPECT_EQ(
        srv.call("GET", "/api/plc/time/auto?plc=0&on=1", "", "Host: h\r\nOrigin: null\r\n").body,
        "{\"ok\":false,\"error\":\"cross_site\"}");
    // The same site, or reads from anywhere, pass.
    EXPECT_EQ(srv.call("POST", "/api/write", "{\"tag\":\"A3\",\"value\":1}",
                       "Host: 127.0.0.1\r\nOrigin: http://127.0.0.1\r\n")
                  .status,
              200);
    EXPECT_EQ(srv.call("GET", "/api/live", "", other).status, 200);
}

TEST_F(Routes, UnknownPathsAndWrongMethods) {
    answer m = srv.call("GET", "/api/write");
    EXPECT_EQ(m.status, 405);
    EXPECT_EQ(m.type, "text/plain");
    EXPECT_EQ(m.body, "POST only");
    for (auto [method, path] : {std::pair{"POST", "/api/alarms/active"},
                                {"GET", "/api/ksp/save"},
                                {"PUT", "/screen1.html"},
                                {"DELETE", "/api/alarms/ack"}}) {
        answer a = srv.call(method, path);
        EXPECT_EQ(a.status, 404) << method << " " << path;
        EXPECT_EQ(a.body, "Not Found") << method << " " << path;
    }
    // Unknown API paths never reach the static files, even when wwwdir has them.
    mkdir((srv.dir + "/www/api").c_str(), 0755);
    mkdir((srv.dir + "/www/api/alarms").c_str(), 0755);
    write_file(srv.dir + "/www/api/alarms/nope", "file");
    EXPECT_EQ(srv.call("GET", "/api/alarms/nope").body, "Not Found");
    EXPECT_EQ(srv.call("GET", "/api/ksp/").body, "Not Found");
    // A drawn panel is not served as its file.
    write_file(srv.dir + "/www/p.ks", "<ks/>");
    EXPECT_EQ(srv.call("GET", "/p.ks?wd=1").status, 404);
    answer f = srv.call("HEAD", "/p.ks");
    EXPECT_EQ(f.kind, SRV_REPLY_FILE);
    EXPECT_EQ(f.type, "application/xml; charset=utf-8");
}

TEST(RoutesNoDatabase, RoutesThatNeedItAnswerAlike) {
    in_process srv;
    answer w = srv.call("POST", "/api/write", "{\"tag\":\"A1\",\"value\":1}");
    EXPECT_EQ(w.status, 503);
    EXPECT_EQ(w.body, "{\"error\":\"shm not available\"}");
    // The method is checked first.
    EXPECT_EQ(srv.call("GET", "/api/write").status, 405);
    // Others keep their own answer.
    EXPECT_EQ(srv.call("GET", "/api/live").body,
              "{\"connected\":false,\"poll_count\":0,\"n_an\":0,\"n_di\":0,\"an\":[],\"di\":[]}");
    EXPECT_EQ(srv.call("GET", "/api/plc/time/auto").body, "{\"ok\":false,\"error\":\"no_shm\"}");
}

TEST(RouteTable, EveryEntryIsReachableByItsOwnPath) {
    for (const srv_route &r : srv_route_table()) {
        if (r.flags & (SRV_SUFFIX | SRV_PREFIX) && !r.path[0]) continue;  // the catch-all
        std::string path = r.path;
        if (r.flags & SRV_PREFIX) path += "x";
        if (r.flags & SRV_SUFFIX) path = "/x" + path;
        for (unsigned bit = SRV_GET; bit <= SRV_OTHER; bit <<= 1) {
            if (!(r.methods & bit)) continue;
            static const char *const names[] = {"GET", "HEAD", "POST", "OPTIONS", "PUT"};
            http_request req{};
            zq_copy_cut(req.method, sizeof req.method, names[__builtin_ctz(bit)]);
            zq_copy_cut(req.path, sizeof req.path, path.c_str());
            srv_match m = srv_route_find(&req);
            // No earlier entry hides it; entries sharing a prefix share
            // the path's methods among them.
            ASSERT_NE(m.route, nullptr) << path;
            EXPECT_TRUE(m.method_ok) << req.method << " " << path;
            if (r.flags & SRV_PREFIX) {
                EXPECT_STREQ(m.route->path, r.path) << req.method << " " << path;
            } else {
                EXPECT_EQ(m.route, &r) << req.method << " " << path;
            }
        }
    }
}

TEST(RoutesEngineering, GateAndPages) {
    in_process srv;
    EXPECT_EQ(srv.call("GET", "/api/eng/x").body, "Engineering editor not configured");
    // The preflight needs no login.
    EXPECT_EQ(srv.call("OPTIONS", "/api/eng/x").kind, SRV_REPLY_PREFLIGHT);
    zq_copy_cut(srv.st->cfg.eng_password, sizeof srv.st->cfg.eng_password, "pw");
    answer no = srv.call("GET", "/api/eng/whoami");
    EXPECT_EQ(no.kind, SRV_REPLY_AUTH);
    EXPECT_EQ(no.location, "Engineering Editor");
    const std::string basic = "Host: h\r\nAuthorization: Basic dTpwdw==\r\n";  // u:pw
    answer api = srv.call("POST", "/api/eng/no-such-endpoint", "", basic);
    EXPECT_EQ(api.status, 404);
    EXPECT_EQ(api.type, "application/json; charset=utf-8");
    EXPECT_EQ(api.body, "{\"ok\":false,\"error\":\"not_found\"}");
    EXPECT_EQ(srv.call("GET", "/eng", "", basic).kind, SRV_REPLY_REDIRECT);
    // Large bodies only for authenticated engineering API calls.
    auto up = srv.req("POST", "/api/eng/upload", "", basic);
    EXPECT_EQ(srv_body_limit(up.get(), HTTP_BODY_SMALL_MAX + 1, srv.st.get()), HTTP_BODY_HARD_MAX);
    auto page = srv.req("POST", "/eng/upload", "", basic);
    EXPECT_EQ(srv_body_limit(page.get(), HTTP_BODY_SMALL_MAX + 1, srv.st.get()),
              HTTP_BODY_SMALL_MAX);
    auto anon = srv.req("POST", "/api/eng/upload");
    EXPECT_EQ(srv_body_limit(anon.get(), HTTP_BODY_SMALL_MAX + 1, srv.st.get()),
              HTTP_BODY_SMALL_MAX);
}

// Older files hold autosync entries written with raw backslashes, which the
// YAML reader turns into "10.0.0.3backplane1".
TEST(RoutesAutosync, RawBackslashEntryStillSyncsAndIsRewrittenEscaped) {
    test_db db(2, 2, 1);
    ASSERT_TRUE(db.ok);
    ShmPlcBlock *b = shm_plc(&db.h, 0);
    strcpy(b->ip, "10.0.0.3");
    b->slot = 1;
    b->connected = 1;
    db.hdr()->connected = 1;
    in_process srv;
    write_file(srv.st->cfg.yaml_path,
               "logix:\n  time:\n    autosync:\n"
               "      - \"10.0.0.3\\backplane\\1\"\n"
               "    autosync_threshold_ms: 1000\n");
    srv.st->cfg.autosync_threshold_ms = 1000;
    rt_autosync_load(srv.st.get());
    ASSERT_TRUE(srv.open_db(db.name));
    EXPECT_NE(srv.call("GET", "/api/plc").body.find("\"auto\":1"), std::string::npos);

    {
        // The controller is 5 s behind.
        clock_standin drv(&db.h, 1767225600000000LL - 5000000, 1767225600000000LL);
        rt_autosync_tick(srv.st.get());
        EXPECT_EQ(shm_time_done(&db.h, true), 1u);
    }

    // Switching it on again saves the list: the path goes back escaped.
    EXPECT_EQ(srv.call("GET", "/api/plc/time/auto?plc=0&on=1").status, 200);
    std::string cfg = read_file(srv.st->cfg.yaml_path);
    EXPECT_NE(cfg.find("      - \"10.0.0.3\\\\backplane\\\\1\"\n"), std::string::npos) << cfg;
    EXPECT_EQ(cfg.find("10.0.0.3\\backplane\\1\""), std::string::npos) << cfg;
}
