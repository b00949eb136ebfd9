// The wire pieces of the trend push (URLs, frames, answers) and the HTTP
// exchange against the test trend server and against peers that stall.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "tests/support/files.h"
#include "tests/support/net.h"
#include "tests/support/proc.h"
#include "tests/support/wait.h"
#include "trend/trend_push.h"

namespace {

TEST(PushUrl, AcceptsOnlyAPlainHostAndPort) {
    push_url u;
    std::string why;
    ASSERT_TRUE(push_url_parse("HTTP://trend.example:8081/", &u, &why));
    EXPECT_EQ("trend.example", u.host);
    EXPECT_EQ(8081, u.port);
    ASSERT_TRUE(push_url_parse("http://10.0.0.5", &u, &why));
    EXPECT_EQ(80, u.port);
    for (const char *bad : {"https://h/", "http://h/trends", "http://h:0/", "http://h:65536",
                            "http://:80/", "http://h:80x", "http://user@h/", "ftp://h"})
        EXPECT_FALSE(push_url_parse(bad, &u, &why)) << bad;
    EXPECT_FALSE(why.empty());
}

TEST(PushUrl, TokensAndSourceNamesCannotBreakTheRequest) {
    EXPECT_TRUE(push_token_ok("abc.DEF-123_~"));
    EXPECT_FALSE(push_token_ok("abc\r\nX-Evil: 1"));
    EXPECT_FALSE(push_token_ok("with space"));
    EXPECT_FALSE(push_token_ok(std::string(128, 'a')));
    std::string enc = push_pct_encode("Сайт 1&date=1");
    EXPECT_EQ(std::string::npos, enc.find_first_of(" &=")) << enc;
    std::string dec;
    ASSERT_TRUE(push_pct_decode(enc, &dec));
    EXPECT_EQ("Сайт 1&date=1", dec);
    EXPECT_FALSE(push_pct_decode("a%2", &dec));
    EXPECT_FALSE(push_pct_decode("a%zz", &dec));
}

TEST(PushDays, CalendarArithmetic) {
    EXPECT_TRUE(push_ymd_valid(20240229));
    EXPECT_FALSE(push_ymd_valid(20230229));
    EXPECT_FALSE(push_ymd_valid(21000229));
    EXPECT_FALSE(push_ymd_valid(20261301));
    EXPECT_FALSE(push_ymd_valid(20260100));
    EXPECT_FALSE(push_ymd_valid(19691231));
    EXPECT_EQ(20240301u, push_ymd_next(20240229));
    EXPECT_EQ(20270101u, push_ymd_next(20261231));
    EXPECT_EQ(20261231u, push_ymd_prev(20270101));
    EXPECT_EQ(20230228u, push_ymd_prev(20230301));
}

std::vector<uint8_t> random_bytes(size_t n) {
    std::mt19937 rng(7);
    std::vector<uint8_t> v(n);
    for (auto &b : v)
        b = (uint8_t)rng();
    return v;
}

TEST(PushFrame, RoundTripsPlainAndCompressed) {
    std::vector<uint8_t> rows(4000, 0), slot = random_bytes(160);
    for (size_t i = 0; i < rows.size(); i += 40)
        rows[i] = (uint8_t)i;
    push_frame f;
    push_frame_init(&f);
    ASSERT_TRUE(push_frame_add(&f, PUSH_RES_MIN, PUSH_OP_BYTES, 20260610, 10304, rows.data(),
                               (uint32_t)rows.size()));
    ASSERT_TRUE(
        push_frame_add(&f, PUSH_RES_HOUR, PUSH_OP_SLOT, 20260610, 64 + 160 * 3, slot.data(), 160));
    EXPECT_EQ(16u + 18 + 4000 + 18 + 160, f.b.size());
    for (bool deflate : {false, true}) {
        std::vector<uint8_t> w = push_frame_wire(&f, deflate);
        EXPECT_EQ(deflate ? 1 : 0, w[5] & 1);
        if (deflate) {
            EXPECT_LT(w.size(), f.b.size());
        }
        push_parsed p;
        std::string why;
        ASSERT_TRUE(push_frame_parse(w.data(), w.size(), &p, &why)) << why;
        ASSERT_EQ(2u, p.recs.size());
        EXPECT_EQ(PUSH_RES_MIN, p.recs[0].res);
        EXPECT_EQ(10304u, p.recs[0].off);
        EXPECT_EQ(0, memcmp(rows.data(), p.recs[0].data, rows.size()));
        EXPECT_EQ(PUSH_OP_SLOT, p.recs[1].op);
        EXPECT_EQ(20260610u, p.recs[1].date);
        EXPECT_EQ(0, memcmp(slot.data(), p.recs[1].data, 160));
    }
}

TEST(PushFrame, AnIncompressibleFrameKeepsThePlainFlag) {
    std::vector<uint8_t> noise = random_bytes(3000);
    push_frame f;
    push_frame_init(&f);
    push_frame_add(&f, 0, 0, 20260610, 64 + 160 * 64, noise.data(), (uint32_t)noise.size());
    EXPECT_EQ(f.b, push_frame_wire(&f, true));
    push_frame empty;
    push_frame_init(&empty);
    EXPECT_EQ(empty.b, push_frame_wire(&empty, true));
}

TEST(PushFrame, ParserRejectsMalformedFrames) {
    push_frame f;
    push_frame_init(&f);
    uint8_t d[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    push_frame_add(&f, 0, 0, 20260610, 100, d, 8);
    auto bad = [&](std::vector<uint8_t> b, const char *what) {
        push_parsed p;
        std::string why;
        EXPECT_FALSE(push_frame_parse(b.data(), b.size(), &p, &why)) << what;
        EXPECT_FALSE(why.empty()) << what;
    };
    std::vector<uint8_t> b = f.b;
    bad(std::vector<uint8_t>(b.begin(), b.begin() + 15), "short");
    b[0] = 'X', bad(b, "magic"), b = f.b;
    b[4] = 2, bad(b, "version"), b = f.b;
    b[12] = 1, b[13] = 1, bad(b, "257 records"), b = f.b;
    b[12] = 2, bad(b, "count beyond the records"), b = f.b;
    b[16 + 14] = 9, bad(b, "length past the end"), b = f.b;
    b[16] = 3, bad(b, "resolution"), b = f.b;
    b.push_back(0), bad(b, "trailing byte"), b = f.b;
    b[5] = 1, bad(b, "flag without a zlib stream");
    push_frame full;
    push_frame_init(&full);
    for (int i = 0; i < PUSH_MAX_RECORDS; i++)
        ASSERT_TRUE(push_frame_add(&full, 0, 0, 20260610, 0, d, 1));
    EXPECT_FALSE(push_frame_add(&full, 0, 0, 20260610, 0, d, 1));
}

TEST(PushAnswer, FieldsAreReadFromThePlainText) {
    push_reply r;
    std::string raw =
        "HTTP/1.1 409 Conflict\r\nContent-Length: 30\r\n\r\n{\"have\": 123, \"crc\":\"0aBc\"}";
    ASSERT_TRUE(push_reply_parse(raw.data(), raw.size(), &r));
    EXPECT_EQ(409, r.status);
    long long n;
    uint32_t crc;
    ASSERT_TRUE(push_answer_num(r.body, "have", &n));
    EXPECT_EQ(123, n);
    ASSERT_TRUE(push_answer_hex(r.body, "crc", &crc));
    EXPECT_EQ(0xabcu, crc);
    EXPECT_FALSE(push_answer_num("{\"rps\":\"12\"}", "rps", &n));
    EXPECT_FALSE(push_answer_num("{\"rps\":99999999999999999999}", "rps", &n));
    EXPECT_TRUE(push_answer_num("{\"rps\":-5}", "rps", &n));
    EXPECT_EQ(-5, n);
    EXPECT_FALSE(push_answer_hex("{\"crc\":\"123456789\"}", "crc", &crc));
    EXPECT_FALSE(push_reply_parse("HTTP/2 200", 10, &r));
    EXPECT_FALSE(push_reply_parse("SSH-2.0-OpenSSH_9\r\n", 19, &r));
}

// A zqtrendsrv on a free loopback port for the exchanges below.
struct Server {
    tsup::TempDir dir{"pushsrv"};
    tsup::Child c;
    push_url u;
    Server() {
        std::string out = dir / "out.txt";
        for (int i = 0; i < 5; i++) {
            u.host = "127.0.0.1";
            u.port = tsup::free_port();
            EXPECT_TRUE(
                tsup::child_start(&c, {.argv = {ZQ_BIN_DIR "/zqtrendsrv", "--dir", dir / "store",
                                                "--port", std::to_string(u.port)},
                                       .out_path = out}));
            if (tsup::wait_for_text(out, "listening on", 5000)) return;
            tsup::child_stop(&c);
        }
        ADD_FAILURE() << "zqtrendsrv did not start";
    }
    push_reply send(const char *method, const std::string &path, const std::vector<uint8_t> &body) {
        push_reply r;
        push_http_do(u, method, path, "", body.data(), body.size(), &r, push_http_opts());
        return r;
    }
};

std::vector<uint8_t> v2_header(uint32_t date, char kind, uint32_t slots, uint32_t row) {
    std::vector<uint8_t> h(64 + 160 * slots, 0);
    memcpy(h.data(), "ZQT2", 4);
    h[4] = 2;
    h[6] = (uint8_t)kind;
    uint32_t f[5] = {(uint32_t)h.size(), slots, row, 1000, date};
    memcpy(h.data() + 8, f, sizeof f);
    return h;
}

TEST(PushExchange, TheTestServerStoresPlainAndCompressedFramesAndExplainsRefusals) {
    Server s;
    std::vector<uint8_t> hdr = v2_header(20260610, 's', 1, 12), rows = random_bytes(120);
    push_frame f;
    push_frame_init(&f);
    push_frame_add(&f, 0, PUSH_OP_HEADER, 20260610, 0, hdr.data(), (uint32_t)hdr.size());
    push_reply r = s.send("POST", "/api/trend/ingest?src=a%20b", push_frame_wire(&f, true));
    EXPECT_EQ(200, r.status) << r.body;
    push_frame_init(&f);
    push_frame_add(&f, 0, PUSH_OP_BYTES, 20260610, hdr.size(), rows.data(), 120);
    std::vector<uint8_t> w = push_frame_wire(&f, true);
    EXPECT_EQ(0, w[5]);  // random rows do not compress
    r = s.send("POST", "/api/trend/ingest?src=a%20b", w);
    EXPECT_EQ(200, r.status) << r.body;
    std::vector<uint8_t> want = hdr;
    want.insert(want.end(), rows.begin(), rows.end());
    EXPECT_EQ(want, tsup::read_bytes(s.dir / "store/a b/2026061000.rps"));

    r = s.send("GET", "/api/trend/cursor?src=a%20b&date=20260610", {});
    long long n;
    ASSERT_TRUE(push_answer_num(r.body, "rps", &n)) << r.body;
    EXPECT_EQ((long long)want.size(), n);
    r = s.send("GET", "/api/trend/hash?src=a%20b&date=20260610&kind=rps&len=64", {});
    uint32_t crc;
    ASSERT_TRUE(push_answer_hex(r.body, "crc", &crc)) << r.body;

    // A row cut in half, a gap, a foreign source name.
    push_frame_init(&f);
    push_frame_add(&f, 0, PUSH_OP_BYTES, 20260610, want.size(), rows.data(), 6);
    r = s.send("POST", "/api/trend/ingest?src=a%20b", f.b);
    EXPECT_EQ(400, r.status);
    EXPECT_NE(std::string::npos, r.body.find("row boundary")) << r.body;
    push_frame_init(&f);
    push_frame_add(&f, 0, PUSH_OP_BYTES, 20260610, want.size() + 12, rows.data(), 12);
    r = s.send("POST", "/api/trend/ingest?src=a%20b", f.b);
    EXPECT_EQ(409, r.status);
    ASSERT_TRUE(push_answer_num(r.body, "have", &n));
    EXPECT_EQ((long long)want.size(), n);
    r = s.send("POST", "/api/trend/ingest?src=..", f.b);
    EXPECT_EQ(400, r.status);
    EXPECT_EQ(want, tsup::read_bytes(s.dir / "store/a b/2026061000.rps"));
}

// A peer that accepts and then sends its answer one byte at a time.
struct Trickler {
    int port = 0, ls = -1;
    std::thread th;
    std::atomic<bool> stop{false};
    Trickler() {
        ls = tsup::tcp_listen(&port);
        th = std::thread([this] {
            int fd = accept(ls, nullptr, nullptr);
            const char *ans = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n";
            for (size_t i = 0; fd >= 0 && !stop; i++) {
                send(fd, ans + (i % strlen(ans)), 1, MSG_NOSIGNAL);
                usleep(20000);
            }
            if (fd >= 0) close(fd);
        });
    }
    ~Trickler() {
        stop = true;
        shutdown(ls, SHUT_RDWR);
        th.join();
        close(ls);
    }
};

TEST(PushExchange, AStallingServerIsLeftAtTheDeadlineOrOnStop) {
    {
        Trickler t;
        push_url u{"127.0.0.1", t.port};
        push_http_opts o;
        o.overall_ms = 300;
        push_reply r;
        EXPECT_EQ(-1, push_http_do(u, "GET", "/", "", nullptr, 0, &r, o));
        EXPECT_EQ(0, r.status);
    }
    {
        Trickler t;
        push_url u{"127.0.0.1", t.port};
        std::atomic<bool> running{true};
        push_http_opts o;
        o.running = &running;
        std::thread stopper([&] {
            usleep(200000);
            running = false;
        });
        push_reply r;
        long long t0 = tsup::now_ms();
        EXPECT_EQ(-1, push_http_do(u, "GET", "/", "", nullptr, 0, &r, o));
        stopper.join();
        EXPECT_LT(tsup::now_ms() - t0, 60000);  // not the two-minute overall deadline
    }
}

}  // namespace
