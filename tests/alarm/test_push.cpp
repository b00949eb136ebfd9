// The central push: URLs, what counts as an accepted reply, and the limits
// that keep a misbehaving server from stalling or bloating the notifier.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "alarm/alarm_push.h"
#include "tests/support/tsup.h"

TEST(AlarmPush, UrlParsing) {
    alarm_url u;
    ASSERT_EQ(alarm_url_parse("http://central.example:8080/x", &u), 0);
    EXPECT_STREQ(u.host, "central.example");
    EXPECT_STREQ(u.port, "8080");
    ASSERT_EQ(alarm_url_parse("http://10.0.0.1/a:b", &u), 0);
    EXPECT_STREQ(u.host, "10.0.0.1");
    EXPECT_STREQ(u.port, "80") << "a ':' after the first '/' is part of the path";
    for (const char *bad :
         {"https://h", "h:80", "http://", "http://:80", "http://h:x1", "http://h:/"})
        EXPECT_EQ(alarm_url_parse(bad, &u), -1) << bad;
    std::string long_host = "http://" + std::string(200, 'h');
    EXPECT_EQ(alarm_url_parse(long_host.c_str(), &u), -1);
}

TEST(AlarmPush, OnlyAStatusLineOf200Counts) {
    std::string body;
    EXPECT_TRUE(
        alarm_http_reply_ok("HTTP/1.1 200 OK\r\nA: b\r\n\r\n{\"cfg_crc\":\"0badf00d\"}", &body));
    EXPECT_EQ(alarm_reply_cfg_crc(body), "0badf00d");
    EXPECT_TRUE(alarm_http_reply_ok("HTTP/1.0 200\r\n\r\n", &body));
    EXPECT_FALSE(alarm_http_reply_ok("HTTP/1.1 500 Error\r\n\r\nnot 200 at all", &body));
    EXPECT_FALSE(alarm_http_reply_ok("HTTP/1.1 500 X\r\nX-Info: 200 \r\n\r\n", &body));
    EXPECT_FALSE(alarm_http_reply_ok("HTTP/1.1 2000 X\r\n\r\n", &body));
    EXPECT_FALSE(alarm_http_reply_ok("HTTP/1.1 200 OK\r\n", &body)) << "header never ended";
    EXPECT_FALSE(alarm_http_reply_ok("", &body));
    EXPECT_EQ(alarm_reply_cfg_crc("{\"cfg_crc\":\"short\"}"), "");
    EXPECT_EQ(alarm_reply_cfg_crc("not json"), "");
}

namespace {

// Accepts one connection and runs `serve` on it.
struct one_shot {
    int fd = -1, port = 0;
    std::thread th;
    explicit one_shot(std::function<void(int)> serve) {
        fd = tsup::tcp_listen(&port, 1);
        th = std::thread([this, serve] {
            int c = accept(fd, nullptr, nullptr);
            if (c < 0) return;
            serve(c);
            close(c);
        });
    }
    ~one_shot() {
        th.join();
        close(fd);
    }
};

alarm_url url_of(int port) {
    alarm_url u;
    alarm_url_parse(("http://127.0.0.1:" + std::to_string(port)).c_str(), &u);
    return u;
}

}  // namespace

// A reply beyond the cap fails instead of growing without bound; a server
// that never answers is given up after the I/O time-out.
TEST(AlarmPush, ReplyCapAndTimeouts) {
    alarm_http_limits lim;
    lim.io_ms = 300;
    lim.total_ms = 2000;
    lim.reply_max = 64 * 1024;
    {
        one_shot s([](int c) {
            std::string reply = "HTTP/1.1 200 OK\r\n\r\n" + std::string(200 * 1024, 'x');
            tsup::send_all(c, reply);
        });
        std::string body;
        EXPECT_FALSE(alarm_http_push(url_of(s.port), "{}", lim, nullptr, &body));
    }
    {
        std::atomic<bool> release{false};
        one_shot s([&](int c) {
            while (!release)
                usleep(10000);
        });
        std::string body;
        EXPECT_FALSE(alarm_http_push(url_of(s.port), "{}", lim, nullptr, &body));
        release = true;
    }
    {
        std::string got;
        one_shot s([&](int c) {
            got = tsup::recv_until_close(c, 300);
            tsup::send_all(c, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n{}");
            shutdown(c, SHUT_WR);
        });
        lim.io_ms = 3000;
        std::string body;
        EXPECT_TRUE(alarm_http_push(url_of(s.port), "{\"a\":1}", lim, nullptr, &body));
        EXPECT_EQ(body, "{}");
        EXPECT_EQ(got.rfind("POST /api/alarms/push HTTP/1.1\r\nHost: 127.0.0.1:", 0), 0u) << got;
        EXPECT_NE(got.find("Content-Length: 7\r\nConnection: close\r\n\r\n{\"a\":1}"),
                  std::string::npos);
    }
}
