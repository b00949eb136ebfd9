// Panels through the real zqserver: frames and pictures over files written
// with the recorder's writers, the live value from the database as the
// newest point, one-takt moves, rebuilds on a panel change, refused
// requests, hostile panels and a remote trend server that never answers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <math.h>

#include "common/json.h"
#include "server_fixture.h"
#include "test_ksp_util.h"
#include "tests/fuzz/ks_fuzz_driver.h"

using namespace srvtest;

namespace {

bool have(const char *tool) {
    return system((std::string("which ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// The text passes `cmd` reading it from a file (jq, xmllint; make test
// installs both, so a missing tool fails).
bool passes(const char *cmd, const std::string &text) {
    if (!have(cmd)) {
        ADD_FAILURE() << cmd << " is not installed (scripts/deps.sh installs it)";
        return false;
    }
    char path[] = "/tmp/zq-ksp-check-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, text.data(), text.size()) != (ssize_t)text.size()) return false;
    close(fd);
    std::string c = std::string(cmd) + (strcmp(cmd, "jq") == 0 ? " -e . " : " --noout ") + path +
                    " >/dev/null 2>&1";
    int rc = system(c.c_str());
    unlink(path);
    return rc == 0;
}

struct Frame {
    json_node *n = nullptr;
    std::string text;
    int status = 0;
    Frame(server_proc &srv, const std::string &cfg) {
        response r = parse(srv.get("/api/ksp/frame?cfg=" + cfg));
        status = r.status;
        text = r.body;
        n = json_parse(text.c_str());
    }
    ~Frame() { json_free(n); }
    json_node *data(int k) const {
        return json_get(json_at(json_get(n, "channels"), (size_t)k), "data");
    }
    double at(int k, int i) const {
        json_node *v = json_at(data(k), (size_t)i);
        return v && v->type == JSON_NUMBER ? v->number : NAN;
    }
    int points() const { return (int)json_count(json_get(n, "times")); }
    long long time(int i) const {
        return json_int_of(json_at(json_get(n, "times"), (size_t)i), -1);
    }
    long long server_ms() const { return json_geti(n, "server_ms", 0); }
};

struct Stack {
    test_db db{16, 8, 1};
    server_proc srv{"", "trends:\n  mainpath_linux: ./Trends\n"};
    int64_t rec = 0;  // seconds: the recording ends 20 s before this
    Stack() {
        setenv("TZ", "UTC", 1);
        tzset();
        mkdir((srv.dir + "/Trends").c_str(), 0755);
        rec = time(nullptr);
        int64_t midnight = rec - rec % 86400;
        // A1 = second of the day % 1000, A2 = 2000 + the same; five minutes
        // with a 30 s hole, up to 20 s ago.
        ksp_test::write_v2(
            srv.dir + "/Trends", 2, std::max(rec - 300, midnight), rec - 20,
            [midnight](int64_t s, int k) {
                return (k - 1) * 2000 + (double)((s - midnight) % 1000);
            },
            [this](int64_t s) { return s < rec - 200 || s >= rec - 170; });
        shm_update_analog(&db.h, 1, 1, shm_now_ms(), 55.5);
        shm_update_analog(&db.h, 2, 0, shm_now_ms(), 1);  // bad quality: no live value
    }
    void panel(const std::string &name, const std::string &text) {
        write_file(srv.dir + "/www/" + name, text);
    }
};

TEST(KspServer, FrameHasHistoryGapsTrailingMissingAndTheLiveValue) {
    Stack s;
    s.panel(
        "p.ks",
        "<ksp takt=\"1\" npoints=\"300\"><e param=\"A1\" color=\"red\"/><e param=\"A2\"/></ksp>");
    ASSERT_TRUE(s.srv.start(s.db.name));
    Frame f(s.srv, "p.ks");
    ASSERT_EQ(200, f.status) << f.text;
    ASSERT_TRUE(f.n) << f.text;
    EXPECT_TRUE(passes("jq", f.text));
    EXPECT_TRUE(json_getb(f.n, "trend_ok", false));
    ASSERT_EQ(300, f.points());
    int last = 299;
    int64_t t_last = f.time(last) / 1000, midnight = s.rec - s.rec % 86400;
    auto idx = [&](int64_t t) { return last - (int)(t_last - t); };
    // Recorded values, the hole, the missing seconds after the recording.
    if (s.rec - 250 >= midnight) {
        EXPECT_EQ((double)((s.rec - 250 - midnight) % 1000), f.at(0, idx(s.rec - 250)));
    }
    EXPECT_EQ(2000 + (double)((s.rec - 30 - midnight) % 1000), f.at(1, idx(s.rec - 30)));
    EXPECT_TRUE(isnan(f.at(0, idx(s.rec - 185))));
    EXPECT_TRUE(isnan(f.at(0, idx(s.rec - 10))));
    EXPECT_TRUE(isnan(f.at(0, last - 1)));
    // The newest point is the live value; A2's is bad, so missing.
    EXPECT_EQ(55.5, f.at(0, last));
    EXPECT_TRUE(isnan(f.at(1, last)));

    // Refused requests.
    EXPECT_EQ(400, parse(s.srv.get("/api/ksp/frame")).status);
    response bad = parse(s.srv.get("/api/ksp/frame?cfg=..%2Fconfig.yaml"));
    EXPECT_EQ(404, bad.status);
    EXPECT_EQ("Bad cfg", bad.body);
    s.panel("nottag.ks", "<panel/>");
    EXPECT_EQ(404, parse(s.srv.get("/api/ksp/frame?cfg=nottag.ks")).status);
    // Without ?wd= a panel path is the file itself.
    EXPECT_NE(std::string::npos, parse(s.srv.get("/p.ks")).body.find("<ksp takt"));
}

TEST(KspServer, SameTaktSameTextOneTaktLaterMovedAndPanelChangeRebuilds) {
    Stack s;
    s.panel("p.ks", "<ksp takt=\"1\" npoints=\"100\"><e param=\"A1\"/></ksp>");
    ASSERT_TRUE(s.srv.start(s.db.name));
    // Requests are timed from the server's own clock: right after a second
    // begins, twice, then once in the next second. A loaded machine that
    // misses the second just tries again.
    bool same = false, moved = false;
    for (int attempt = 0; attempt < 8 && !(same && moved); attempt++) {
        Frame probe(s.srv, "p.ks");
        long long ms = probe.server_ms();
        std::this_thread::sleep_for(std::chrono::milliseconds(1000 - ms % 1000 + 50));
        shm_update_analog(&s.db.h, 1, 1, shm_now_ms(), 55.5);
        Frame a(s.srv, "p.ks"), b(s.srv, "p.ks");
        if (a.time(0) != b.time(0)) continue;
        same = a.text == b.text;
        shm_update_analog(&s.db.h, 1, 1, shm_now_ms(), 66.6);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000 - a.server_ms() % 1000 + 50));
        Frame c(s.srv, "p.ks");
        if (c.time(0) != a.time(0) + 1000) continue;
        // Moved by one point: the former newest (live) point is kept, the
        // new one is the live value now.
        moved = c.at(0, 98) == 55.5 && c.at(0, 99) == 66.6 && c.time(99) == a.time(99) + 1000;
    }
    EXPECT_TRUE(same);
    EXPECT_TRUE(moved);

    // A changed panel is rebuilt on the next request.
    s.panel("p.ks", "<ksp takt=\"2\" npoints=\"10\"><e param=\"A1\"/><e param=\"A2\"/></ksp>");
    struct timespec ts[2] = {{0, UTIME_NOW}, {(time_t)s.rec + 1000, 0}};
    utimensat(AT_FDCWD, (s.srv.dir + "/www/p.ks").c_str(), ts, 0);
    Frame d(s.srv, "p.ks");
    EXPECT_EQ(2, json_geti(d.n, "takt", 0));
    EXPECT_EQ(10, d.points());
    EXPECT_EQ(s.rec + 1000, json_geti(d.n, "reload", 0));
}

TEST(KspServer, TwelveLocalCurvesUnknownTagsAndPictures) {
    Stack s;
    std::string ks = "<ksp takt=\"1\" npoints=\"120\">";
    for (int k = 0; k < 14; k++)
        ks += "<e param=\"A" + std::to_string(k < 12 ? 1 : 2) + "\"/>";
    s.panel("many.ks", ks + "<e param=\"X5\"/></ksp>");
    s.panel("evil.ks",
            "<ksp bgcolor=\"red&quot; onload=&quot;alert(1)\"><e param=\"A1\" "
            "color=\"#fff&quot; onmouseover=&quot;alert(2)\" "
            "desc=\"&lt;script&gt;alert(3)&lt;/script&gt;\"/>"
            "<e param=\"&lt;/text&gt;&lt;script&gt;alert(4)&lt;/script&gt;\"/></ksp>");
    ASSERT_TRUE(s.srv.start(s.db.name));
    Frame f(s.srv, "many.ks");
    ASSERT_TRUE(f.n);
    EXPECT_EQ(15u, json_count(json_get(f.n, "channels")));
    int with_data = 0;
    for (int k = 0; k < 15; k++) {
        bool any = false;
        for (int i = 0; i < 120; i++)
            any = any || !isnan(f.at(k, i));
        with_data += any;
    }
    EXPECT_EQ(12, with_data);  // the 13th, 14th and X5 stay empty

    response pic = parse(s.srv.get("/many.ks?wd=600&hg=400"));
    EXPECT_EQ(200, pic.status);
    EXPECT_NE(std::string::npos, pic.header("Content-Type").find("image/svg+xml"));
    EXPECT_NE(std::string::npos, pic.header("Cache-Control").find("no-store"));
    EXPECT_EQ(0u, pic.body.find("<svg "));
    EXPECT_TRUE(passes("xmllint", pic.body));
    response evil = parse(s.srv.get("/evil.ks?wd=300&hg=200"));
    EXPECT_EQ(200, evil.status);
    EXPECT_FALSE(ks_fuzz::markup_executable(evil.body)) << evil.body;
    EXPECT_TRUE(passes("xmllint", evil.body));
    Frame e(s.srv, "evil.ks");
    EXPECT_TRUE(passes("jq", e.text));
    EXPECT_EQ("#000000", std::string(json_gets(e.n, "bgcolor", "")));
    EXPECT_EQ(404, parse(s.srv.get("/absent.ks?wd=300&hg=200")).status);
}

TEST(KspServer, RemoteServerThatNeverAnswersGivesAFailedFrame) {
    Stack s;
    // Accepted by the kernel's backlog, never served.
    int port = 0;
    int ls = tsup::tcp_listen(&port);
    ASSERT_GE(ls, 0);
    s.panel("r.ks", "<ksp takt=\"5\" npoints=\"10\" trendurl=\"http://127.0.0.1:" +
                        std::to_string(port) + "/t\"><e param=\"A1\"/></ksp>");
    ASSERT_TRUE(s.srv.start(s.db.name));
    Frame f(s.srv, "r.ks");
    close(ls);
    ASSERT_EQ(200, f.status);
    EXPECT_FALSE(json_getb(f.n, "trend_ok", true));
    EXPECT_TRUE(passes("jq", f.text));
}

}  // namespace
