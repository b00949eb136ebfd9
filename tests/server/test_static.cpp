// Static pages, request limits and slow or hostile clients against the real
// server.
#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "server_fixture.h"

using namespace srvtest;

constexpr int SRV_LIMIT = 128;   // concurrent connections the server serves
constexpr int PER_ADDRESS = 64;  // of those, from one client address

class Static : public ::testing::Test {
  protected:
    void SetUp() override {
        write_file(srv.dir + "/www/screen1.html", "<html>root page</html>");
        write_file(srv.dir + "/www/app.js", "var x=1;");
        write_file(srv.dir + "/www/data.bin", std::string(200000, 'b'));
        write_file(srv.dir + "/www/panel.html",
                   "<script src=\"http://10.1.2.3:8080/k/p1.ks\"></script>"
                   "<a href=\"http://other/page.html\">x</a>");
        mkdir((srv.dir + "/outside").c_str(), 0755);
        write_file(srv.dir + "/outside/secret.html", "secret");
        symlink((srv.dir + "/outside/secret.html").c_str(), (srv.dir + "/www/link.html").c_str());
        symlink((srv.dir + "/outside").c_str(), (srv.dir + "/www/outdir").c_str());
        ASSERT_TRUE(srv.start());
    }
    server_proc srv;
};

TEST_F(Static, RootPageWithExactHeaders) {
    std::string r = srv.get("/");
    EXPECT_EQ(r,
              "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 22\r\n"
              "Cache-Control: no-cache, no-store, must-revalidate\r\n"
              "Access-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n<html>root page</html>");
    response js = parse(srv.get("/app.js"));
    EXPECT_EQ(js.header("Content-Type"), "application/javascript");
    EXPECT_EQ(js.header("Cache-Control"), "max-age=86400");
    response bin = parse(srv.get("/data.bin"));
    EXPECT_EQ(bin.header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(bin.body.size(), 200000u);
    // HEAD: the same headers, no body.
    EXPECT_EQ(raw(srv.port, request("HEAD", "/app.js")),
              "HTTP/1.1 200 OK\r\nContent-Type: application/javascript\r\nContent-Length: 8\r\n"
              "Cache-Control: max-age=86400\r\nAccess-Control-Allow-Origin: *\r\n"
              "Connection: close\r\n\r\n");
}

TEST_F(Static, MissingAndOtherMethods) {
    EXPECT_EQ(srv.get("/nope.html"),
              "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\nContent-Length: 9\r\n"
              "Access-Control-Allow-Origin: *\r\nConnection: close\r\n\r\nNot Found");
    EXPECT_EQ(parse(srv.post("/screen1.html", "x")).status, 404);
    EXPECT_EQ(parse(srv.get("/ksp.ks?wd=100&hg=50")).status, 404);
}

TEST_F(Static, PanelLinksAreRewrittenInPages) {
    response r = parse(srv.get("/panel.html"));
    EXPECT_EQ(r.body, "<script src=\"/k/p1.ks\"></script><a href=\"http://other/page.html\">x</a>");
    EXPECT_EQ(r.header("Content-Length"), std::to_string(r.body.size()));
}

TEST_F(Static, TraversalIsRefused) {
    for (const char *p : {"/../config.yaml", "/%2e%2e/config.yaml", "/a/..%2fconfig.yaml",
                          "/..%5cconfig.yaml", "/x/%2E%2E/%2E%2E/etc/passwd"}) {
        std::string r = srv.get(p);
        EXPECT_EQ(parse(r).status, 400) << p;
        EXPECT_EQ(parse(r).body, "Bad path") << p;
    }
    // Targets that do not start with a slash, absolute-looking paths and
    // links leading out of wwwdir find nothing.
    EXPECT_EQ(parse(raw(srv.port, "GET config.yaml HTTP/1.1\r\n\r\n")).status, 400);
    EXPECT_EQ(parse(srv.get("//etc/passwd")).status, 404);
    EXPECT_EQ(parse(srv.get("/link.html")).status, 404);
    EXPECT_EQ(parse(srv.get("/outdir/secret.html")).status, 404);
    EXPECT_EQ(parse(srv.get("/screen1.html%00.png")).status, 400);
    EXPECT_EQ(parse(srv.get("/")).status, 200);
}

TEST_F(Static, OversizedOrMalformedRequestsGetNoAnswer) {
    std::string big = "GET / HTTP/1.1\r\nX: " + std::string(8200, 'a') + "\r\n\r\n";
    EXPECT_EQ(raw(srv.port, big), "");
    EXPECT_EQ(raw(srv.port, "GET / HTTP/1.1\r\nContent-Length: 268435457\r\n\r\n"), "");
    EXPECT_EQ(raw(srv.port, "POST /api/poll HTTP/1.1\r\nContent-Length: -5\r\n\r\n"), "");
    EXPECT_EQ(raw(srv.port, "POST /api/poll HTTP/1.1\r\nContent-Length: 1x\r\n\r\n"), "");
    // Bodies above 1 MiB are for authenticated engineering uploads only.
    EXPECT_EQ(raw(srv.port, "POST /api/poll HTTP/1.1\r\nContent-Length: 2000000\r\n\r\n"), "");
    EXPECT_EQ(raw(srv.port, "\r\n\r\n"), "");
    // Content-Length 0 is an empty body.
    EXPECT_EQ(parse(raw(srv.port, "POST /api/poll HTTP/1.1\r\nContent-Length: 0\r\n\r\n")).status,
              200);
    // More bytes than announced: only Content-Length of them form the body.
    std::string r =
        raw(srv.port, "POST /api/poll HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}{\"tags\":[\"A1\"]}");
    EXPECT_EQ(parse(r).body.find("A1"), std::string::npos);
    // The server survived all of it.
    EXPECT_EQ(parse(srv.get("/")).status, 200);
}

// True when the peer closes the connection within timeout_ms (end of
// stream or reset); what it sent before goes to *got.
static bool closed_by_peer(int fd, int timeout_ms, std::string *got) {
    int64_t end = now_ms() + timeout_ms;
    for (;;) {
        int64_t left = end - now_ms();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, (int)left) <= 0) continue;
        char buf[512];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
        if (n < 0) return false;
        got->append(buf, (size_t)n);
    }
}

TEST_F(Static, SlowClientsAreDropped) {
    // A client that stops inside the header block: the server closes the
    // connection by itself, without an answer.
    int s = tsup::tcp_connect(srv.port);
    ASSERT_GE(s, 0);
    send_all(s, "GET / HTTP/1.1\r\n");
    std::string got;
    EXPECT_TRUE(closed_by_peer(s, 5000, &got));
    EXPECT_EQ(got, "");
    close(s);
    // A body that never completes is dropped, the server keeps serving.
    int b = tsup::tcp_connect(srv.port);
    send_all(b, "POST /api/poll HTTP/1.1\r\nContent-Length: 100\r\n\r\n{\"tags\":");
    EXPECT_EQ(parse(srv.get("/")).status, 200);
    shutdown(b, SHUT_WR);
    EXPECT_EQ(tsup::recv_until_close(b, 3000), "");
    close(b);
}

// Opens `n` connections from `source` that announce a body and then wait.
static std::vector<int> hold(int port, const char *source, int n) {
    std::vector<int> socks;
    for (int i = 0; i < n; i++) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in src{};
        src.sin_family = AF_INET;
        inet_pton(AF_INET, source, &src.sin_addr);
        bind(s, (sockaddr *)&src, sizeof src);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons((uint16_t)port);
        if (connect(s, (sockaddr *)&a, sizeof a) != 0) {
            close(s);
            continue;
        }
        send_all(s, "POST /api/poll HTTP/1.1\r\nContent-Length: 10\r\n\r\n{");
        socks.push_back(s);
    }
    return socks;
}

static int count_closed(const std::vector<int> &socks) {
    int n = 0;
    for (int s : socks) {
        pollfd p{s, POLLIN, 0};
        n += poll(&p, 1, 0) > 0;
    }
    return n;
}

TEST_F(Static, ConnectionFloodIsBounded) {
    // One station alone gets at most its share of the connection slots...
    std::vector<int> one = hold(srv.port, "127.0.0.2", 100);
    ASSERT_EQ(one.size(), 100u);
    wait_for([&] { return count_closed(one) >= 100 - PER_ADDRESS; }, 5000);
    EXPECT_EQ(count_closed(one), 100 - PER_ADDRESS);
    // ...and all stations together at most the server's limit: the excess
    // is closed at once instead of starting a thread for each.
    std::vector<int> more;
    for (const char *src : {"127.0.0.3", "127.0.0.4"}) {
        std::vector<int> v = hold(srv.port, src, 50);
        more.insert(more.end(), v.begin(), v.end());
    }
    wait_for([&] { return count_closed(more) >= 100 - (SRV_LIMIT - PER_ADDRESS); }, 5000);
    EXPECT_EQ(count_closed(more), 100 - (SRV_LIMIT - PER_ADDRESS));
    for (int s : one)
        close(s);
    for (int s : more)
        close(s);
    EXPECT_TRUE(wait_for([&] { return parse(srv.get("/")).status == 200; }));
}

TEST_F(Static, SlowClientsHoldUpNobodyAndStopIsClean) {
    // More clients than the server keeps threads for in reserve, each
    // sending its header block one byte at a time, within the receive
    // time-out.
    std::vector<int> slow;
    for (int i = 0; i < 24; i++) {
        int s = tsup::tcp_connect(srv.port);
        ASSERT_GE(s, 0);
        send_all(s, "GET /app.js HTTP/1.1\r\n");
        slow.push_back(s);
    }
    std::atomic<bool> trickle{true};
    std::thread feeder([&] {
        while (trickle) {
            for (int s : slow)
                send(s, "X", 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    // Others are answered meanwhile, a page and an API call alike.
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(parse(srv.get("/")).body, "<html>root page</html>");
        EXPECT_EQ(parse(srv.get("/api/time")).status, 200);
    }
    // The slow ones are still being read: none has been answered or dropped.
    EXPECT_EQ(count_closed(slow), 0);
    trickle = false;
    feeder.join();
    // SIGTERM with clients in the middle of a request still ends the
    // program with its clean exit.
    EXPECT_EQ(tsup::child_stop(&srv.proc), 0);
    EXPECT_NE(srv.log().find("shutting down"), std::string::npos);
    for (int s : slow)
        close(s);
}

TEST(StaticSys, FallbackToSystemPagesAndVersion) {
    server_proc srv;
    tsup::TempDir install("zqsrv_inst");
    std::string inst = install.path;
    mkdir((inst + "/www-sys").c_str(), 0755);
    write_file(inst + "/www-sys/screen1.html", "sys page");
    ASSERT_TRUE(srv.start("", inst));
    EXPECT_EQ(parse(srv.get("/")).body, "sys page");
    write_file(srv.dir + "/www/screen1.html", "own page");
    EXPECT_EQ(parse(srv.get("/")).body, "own page");
    EXPECT_TRUE(file_exists(srv.dir + "/run/zqserver.version"));
    std::string err = read_file(srv.dir + "/stderr.txt");
    EXPECT_NE(err.find("scada: config from ./config.yaml"), std::string::npos);
    EXPECT_NE(err.find("SHM not ready yet"), std::string::npos);
    std::string out = read_file(srv.dir + "/stdout.txt");
    EXPECT_NE(out.find("zqserver listening on :" + std::to_string(srv.port) + "  (wwwdir=./www)"),
              std::string::npos);
    srv.stop();

    FILE *p = popen(ZQ_BIN_DIR "/zqserver --version", "r");
    char line[256] = "";
    ASSERT_TRUE(fgets(line, sizeof line, p));
    pclose(p);
    EXPECT_EQ(std::string(line).rfind("zqserver ", 0), 0u);
}
