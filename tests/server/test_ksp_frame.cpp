// Panel frames in process: history from version-2 files written with the
// recorder's writers, the live value as the newest point, the cache's
// one-takt shift and rebuilds, long windows read in pieces, and remote
// history from fake trend servers that answer, hang, stream or mismatch.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <math.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "common/json.h"
#include "server/ksp_cache.h"
#include "test_ksp_util.h"
#include "trend/tz.h"

namespace {

// 2026-03-10 12:00:00 UTC; the tests run with a zero UTC offset.
constexpr int64_t T0 = 1773144000;

using ksp_test::Dir;

// Analogs A1..A14 over [from, to]: A<k> = k * 100 + seconds since from,
// with the seconds [skip_from, skip_to] left out.
void write_v2(const std::string &dir, int64_t from, int64_t to, int64_t skip_from = 0,
              int64_t skip_to = -1) {
    ksp_test::write_v2(
        dir, 14, from, to, [from](int64_t s, int k) { return k * 100 + (double)(s - from); },
        [&](int64_t s) { return s < skip_from || s > skip_to; });
}

struct Env {
    Dir www{"www"}, trends{"trends"};
    ksp_env env;
    int64_t now = T0 * 1000;
    std::atomic<int> live_calls{0};
    Env() {
        tz_set_offset_min(0);
        ksp_cache_clear();
        env.wwwdir = www.path;
        env.trend_dir = trends.path;
        env.now_ms = [this] { return now; };
        env.live = [this](const char *tag, double *out) {
            live_calls++;
            if (strcmp(tag, "A1") != 0) return false;
            *out = 7777;
            return true;
        };
        env.remote.connect_ms = env.remote.send_ms = env.remote.recv_ms = 300;
        env.remote.total_ms = 1500;
        env.remote.max_answer = 1 << 20;
    }
    ~Env() { ksp_cache_clear(); }
    json_node *frame(const char *cfg, std::string *text = nullptr) {
        std::string j;
        if (!ksp_frame_json(&env, cfg, &j)) return nullptr;
        if (text) *text = j;
        return json_parse(j.c_str());
    }
};

struct Json {
    json_node *n;
    explicit Json(json_node *x) : n(x) {}
    ~Json() { json_free(n); }
    json_node *data(int k) const {
        return json_get(json_at(json_get(n, "channels"), (size_t)k), "data");
    }
    // Value of curve k at point i; NAN for null.
    double at(int k, int i) const {
        json_node *v = json_at(data(k), (size_t)i);
        return v && v->type == JSON_NUMBER ? v->number : NAN;
    }
    long long time(int i) const {
        return json_int_of(json_at(json_get(n, "times"), (size_t)i), -1);
    }
};

TEST(KspFrame, HistoryGapsLiveValueShiftAndRebuild) {
    Env e;
    // Data up to 11:59:00 with a hole 11:58:20..11:58:39; now is 12:00:00.
    write_v2(e.trends.path, T0 - 120, T0 - 60, T0 - 100, T0 - 81);
    e.www.write("p.ks",
                "<ksp takt=\"1\" npoints=\"121\"><e param=\"A1\"/><e param=\"a2\"/>"
                "<e param=\"X5\"/></ksp>");
    std::string text;
    Json j(e.frame("p.ks", &text));
    ASSERT_TRUE(j.n) << text;
    EXPECT_TRUE(json_getb(j.n, "trend_ok", false));
    EXPECT_EQ(121u, json_count(json_get(j.n, "times")));
    EXPECT_EQ((T0 - 120) * 1000, j.time(0));
    EXPECT_EQ(T0 * 1000, j.time(120));
    EXPECT_EQ(100, j.at(0, 0));
    EXPECT_EQ(219, j.at(1, 19));
    EXPECT_TRUE(isnan(j.at(0, 25)));  // in the hole
    EXPECT_EQ(160, j.at(0, 60));
    EXPECT_TRUE(isnan(j.at(0, 90)));   // after the data: missing
    EXPECT_EQ(7777, j.at(0, 120));     // the live value is the newest point
    EXPECT_TRUE(isnan(j.at(1, 120)));  // no live value for A2
    EXPECT_TRUE(isnan(j.at(2, 10)));   // X5: never a value
    EXPECT_EQ(std::string::npos, text.find("nan"));

    // Within the takt: the same text, no live lookup.
    int calls = e.live_calls;
    e.now += 900;
    std::string again;
    Json j2(e.frame("p.ks", &again));
    EXPECT_EQ(text.substr(text.find("\"trendsrc\"")), again.substr(again.find("\"trendsrc\"")));
    EXPECT_EQ(calls, e.live_calls);

    // One takt later: moved left by one point, one new live point.
    e.now = (T0 + 1) * 1000;
    Json j3(e.frame("p.ks"));
    EXPECT_EQ((T0 - 119) * 1000, j3.time(0));
    EXPECT_EQ(101, j3.at(0, 0));
    EXPECT_EQ(7777, j3.at(0, 119));  // yesterday's newest point moved left
    EXPECT_EQ(7777, j3.at(0, 120));
    EXPECT_EQ(calls + 3, e.live_calls);

    // The clock stepped back: rebuilt from history.
    e.now = (T0 - 30) * 1000;
    Json j4(e.frame("p.ks"));
    EXPECT_EQ((T0 - 150) * 1000, j4.time(0));
    EXPECT_EQ(7777, j4.at(0, 120));
    EXPECT_EQ(160, j4.at(0, 90));

    // A changed panel file is rebuilt on the next request.
    e.www.write("p.ks", "<ksp takt=\"2\" npoints=\"10\"><e param=\"A3\"/></ksp>");
    struct timespec ts[2] = {{0, UTIME_NOW}, {(time_t)T0 + 5, 0}};
    utimensat(AT_FDCWD, (e.www.path + "/p.ks").c_str(), ts, 0);
    Json j5(e.frame("p.ks"));
    EXPECT_EQ(2, json_geti(j5.n, "takt", 0));
    EXPECT_EQ(T0 + 5, json_geti(j5.n, "reload", 0));
    EXPECT_EQ(1u, json_count(json_get(j5.n, "channels")));

    // Refused names and panels without a <ksp> tag give no frame.
    e.www.write("bad.ks", "<panel/>");
    EXPECT_EQ(nullptr, e.frame("bad.ks"));
    EXPECT_EQ(nullptr, e.frame("../p.ks"));
    EXPECT_EQ(nullptr, e.frame("missing.ks"));
}

TEST(KspFrame, LocalPanelReadsTwelveCurvesAndLongWindowsInPieces) {
    Env e;
    // The whole previous day and today up to now: more rows than one
    // query holds.
    write_v2(e.trends.path, T0 - 43200 - 86400, T0 - 43200 - 1);
    write_v2(e.trends.path, T0 - 43200, T0 - 1);
    std::string ks = "<ksp takt=\"60\" npoints=\"2000\">";
    for (int k = 1; k <= 14; k++)
        ks += "<e param=\"A" + std::to_string(k) + "\"/>";
    std::filesystem::create_directories(e.www.path + "/sub");
    e.www.write("sub/long.ks", ks + "</ksp>");
    Json j(e.frame("sub/long.ks"));
    ASSERT_TRUE(j.n);
    // 2000 minutes back from 12:00 is 02:41 of the previous day.
    EXPECT_EQ(100 + 9660, j.at(0, 0));
    // The newest hours are there too.
    EXPECT_EQ(1100 + 43140, j.at(10, 1998));  // A11 at 11:59:00
    EXPECT_EQ(1200 + 39600, j.at(11, 1939));  // A12 at 11:00:00
    EXPECT_EQ(7777, j.at(0, 1999));
    // Curves 13 and 14 stay empty in local mode.
    for (int k = 12; k < 14; k++)
        for (int i = 0; i < 2000; i++)
            ASSERT_TRUE(isnan(j.at(k, i))) << k << " " << i;
}

// A fake trend server on a loopback port; `serve` handles one connection.
struct FakeServer {
    int fd = -1, port = 0;
    std::thread th;
    std::atomic<bool> stop{false};
    std::string last_request;
    explicit FakeServer(std::function<void(int)> serve) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, (sockaddr *)&a, sizeof a);
        socklen_t l = sizeof a;
        getsockname(fd, (sockaddr *)&a, &l);
        port = ntohs(a.sin_port);
        listen(fd, 8);
        th = std::thread([this, serve] {
            while (!stop) {
                int c = accept(fd, nullptr, nullptr);
                if (c < 0) return;
                char buf[4096];
                ssize_t n = recv(c, buf, sizeof buf, 0);
                if (n > 0) last_request.assign(buf, (size_t)n);
                if (!stop) serve(c);
                close(c);
            }
        });
    }
    void stop_and_join() {
        if (!th.joinable()) return;
        stop = true;
        shutdown(fd, SHUT_RDWR);
        th.join();
    }
    ~FakeServer() {
        stop_and_join();
        close(fd);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port) + "/trend"; }
};

void send_str(int c, const std::string &s) {
    send(c, s.data(), s.size(), MSG_NOSIGNAL);
}

TEST(KspRemote, AnswerIsResampledAndRequestIsEncoded) {
    Env e;
    FakeServer srv([](int c) {
        std::string body = "{\"times\":[" + std::to_string((T0 - 10) * 1000) + ",\n" +
                           std::to_string((T0 - 5) * 1000) +
                           "],\"channels\":{\"7:A1\":[1.5, null]," + "\"boiler x:A2\":[2,3,4,5]}}";
        send_str(c, "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                        "\r\n\r\n" + body);
    });
    e.www.write("r.ks", "<ksp takt=\"5\" npoints=\"4\" trendsrc=\"7\" trendurl=\"" + srv.url() +
                            "\"><e param=\"A1\"/><e param=\"A2\" src=\"boiler x\"/></ksp>");
    Json j(e.frame("r.ks"));
    ASSERT_TRUE(j.n);
    EXPECT_TRUE(json_getb(j.n, "trend_ok", false));
    // Grid T0-15, -10, -5, 0: samples at -10 and -5.
    EXPECT_TRUE(isnan(j.at(0, 0)));
    EXPECT_EQ(1.5, j.at(0, 1));
    EXPECT_TRUE(isnan(j.at(0, 2)));  // null
    EXPECT_EQ(2, j.at(1, 1));
    EXPECT_EQ(3, j.at(1, 2));  // values beyond the times are not read
    EXPECT_EQ(3, j.at(1, 3));
    EXPECT_NE(std::string::npos, srv.last_request.find("GET /trend/api/data/multi?type=s&start="));
    EXPECT_NE(std::string::npos, srv.last_request.find("&ch=7%3AA1,boiler%20x%3AA2 HTTP/1.0"));

    ksp_url u;
    EXPECT_TRUE(ksp_url_parse("http://host-1.example:8080/a/b/", &u));
    EXPECT_STREQ("/a/b", u.path);
    EXPECT_EQ(8080, u.port);
    for (const char *bad : {"https://h/", "http://", "http://u@h/", "http://h:0/", "http://h:99999",
                            "http://h/a?b", "http://h/a b", "http://h\r\nX: y/"})
        EXPECT_FALSE(ksp_url_parse(bad, &u)) << bad;
}

TEST(KspRemote, HangingStreamingOrBrokenServersFailInBoundedTime) {
    // Each server notes whether the client gave up first; the server
    // itself waits far longer than the client's deadline.
    static std::atomic<bool> gave_up;
    auto hang = [](int c) {
        struct pollfd p = {c, POLLIN, 0};
        char b[16];
        gave_up = poll(&p, 1, 30000) == 1 && recv(c, b, sizeof b, 0) == 0;
    };
    auto stream = [](int c) {
        send_str(c, "HTTP/1.0 200 OK\r\n\r\n{\"times\":[");
        std::string chunk(8192, '1');
        for (int i = 0; i < 100000; i++)
            if (send(c, chunk.data(), chunk.size(), MSG_NOSIGNAL) <= 0) {
                gave_up = true;
                return;
            }
    };
    auto trickle = [](int c) {
        send_str(c, "HTTP/1.0 200 OK\r\n\r\n{");
        for (int i = 0; i < 300; i++) {
            usleep(100000);
            if (send(c, " ", 1, MSG_NOSIGNAL) <= 0) {
                gave_up = true;
                return;
            }
        }
    };
    auto error = [](int c) {
        send_str(c, "HTTP/1.0 500 Oops\r\nContent-Length: 0\r\n\r\n");
        gave_up = true;
    };
    for (auto serve : std::vector<std::function<void(int)>>{hang, stream, trickle, error}) {
        Env e;
        FakeServer srv(serve);
        e.www.write("r.ks", "<ksp takt=\"1\" npoints=\"3\" trendurl=\"" + srv.url() +
                                "\"><e param=\"A1\"/></ksp>");
        gave_up = false;
        Json j(e.frame("r.ks"));
        ASSERT_TRUE(j.n);
        EXPECT_FALSE(json_getb(j.n, "trend_ok", true));
        // A frame without history is asked for again after 30 s, not shifted.
        e.now += 1000;
        Json j2(e.frame("r.ks"));
        EXPECT_FALSE(json_getb(j2.n, "trend_ok", true));
        srv.stop_and_join();
        EXPECT_TRUE(gave_up);
    }
}

TEST(KspRemote, FrameWithoutHistoryIsRebuiltAfterThirtySeconds) {
    Env e;
    std::atomic<int> calls{0};
    FakeServer srv([&](int c) {
        if (calls++ == 0) {
            send_str(c, "HTTP/1.0 503 Busy\r\nContent-Length: 0\r\n\r\n");
            return;
        }
        send_str(c, "HTTP/1.0 200 OK\r\n\r\n{\"times\":[" + std::to_string((T0 - 2) * 1000) +
                        "],\"channels\":{\"0:A1\":[5]}}");
    });
    e.www.write("r.ks", "<ksp takt=\"60\" npoints=\"20\" trendurl=\"" + srv.url() +
                            "\"><e param=\"A1\"/></ksp>");
    Json a(e.frame("r.ks"));
    EXPECT_FALSE(json_getb(a.n, "trend_ok", true));
    e.now += 20000;  // within the takt: the failed frame is kept
    Json b(e.frame("r.ks"));
    EXPECT_FALSE(json_getb(b.n, "trend_ok", true));
    EXPECT_EQ(1, calls.load());
    e.now += 11000;  // 31 s after the failed build, still within the takt
    Json c(e.frame("r.ks"));
    EXPECT_TRUE(json_getb(c.n, "trend_ok", false));
    EXPECT_EQ(5, c.at(0, 19));
}

TEST(KspRemote, ScannerToleratesLayoutAndReadsTheShorterArray) {
    std::vector<ksp_series> s;
    ASSERT_TRUE(
        ksp_remote_scan("{ \"channels\" : {\"k\":[1\t2\n3,null,5]}, \"times\" :\r\n[10 20 30]}",
                        {"k", "absent"}, &s));
    ASSERT_EQ(3u, s[0].t.size());
    EXPECT_EQ(30, s[0].t[2]);
    EXPECT_EQ(3, s[0].v[2]);
    EXPECT_TRUE(s[1].t.empty());
    EXPECT_FALSE(ksp_remote_scan("{\"channels\":{}}", {"k"}, &s));
    std::string out;
    ksp_pct_encode("a b&c=d/é", &out);
    EXPECT_EQ("a%20b%26c%3Dd%2F%C3%A9", out);
}

}  // namespace
