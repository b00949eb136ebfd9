// The support library's own behaviour where a fault would make other tests
// pass or hang for the wrong reason: exit statuses, the stop escalation,
// captured output and environment, and when an HTTP answer counts as whole.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "tests/support/tsup.h"

namespace {

TEST(SupportProcess, RunCapturesOutputEnvironmentDirectoryAndStatus) {
    tsup::TempDir dir("selftest");
    setenv("TSUP_DROPPED", "x", 1);
    tsup::RunResult r = tsup::run({.argv = {"/bin/sh", "-c",
                                            "echo out; echo err >&2; echo \"$TSUP_SET\"; "
                                            "echo \"${TSUP_DROPPED-unset}\"; pwd; exit 3"},
                                   .env = {"TSUP_SET=a=b"},
                                   .unset_env = {"TSUP_DROPPED"},
                                   .dir = dir.path});
    unsetenv("TSUP_DROPPED");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "out\na=b\nunset\n" + dir.path + "\n");
    EXPECT_EQ(r.err, "err\n");

    r = tsup::run({.argv = {"/bin/sh", "-c", "echo one; echo two >&2"}, .err_to_out = true});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "one\ntwo\n");
}

TEST(SupportProcess, StartFailuresAreReportedNotMistakenForExits) {
    tsup::Child c;
    EXPECT_FALSE(tsup::child_start(&c, {.argv = {"/nonexistent/program"}}));
    EXPECT_EQ(c.pid, -1);
    EXPECT_FALSE(tsup::child_start(&c, {.argv = {"/bin/true"}, .dir = "/nonexistent/dir"}));
    EXPECT_EQ(tsup::run({.argv = {"/nonexistent/program"}}).status, -1);
}

TEST(SupportProcess, StopEscalatesAndTimeoutsEnd) {
    tsup::Child c;
    ASSERT_TRUE(tsup::child_start(&c, {.argv = {"/bin/sleep", "30"}}));
    EXPECT_TRUE(tsup::child_running(&c));
    EXPECT_EQ(tsup::child_wait(&c, 50), -1);
    EXPECT_EQ(tsup::child_stop(&c), 128 + SIGTERM);
    EXPECT_EQ(c.pid, -1);

    // A program that ignores SIGTERM is killed once the grace time is over.
    tsup::TempDir dir("selftest");
    ASSERT_TRUE(tsup::child_start(
        &c, {.argv = {"/bin/sh", "-c", "trap '' TERM; echo ready; while :; do sleep 0.05; done"},
             .out_path = dir / "out"}));
    ASSERT_TRUE(tsup::wait_for_text(dir / "out", "ready", 5000));
    EXPECT_EQ(tsup::child_stop(&c, 200), 128 + SIGKILL);

    // A program that has already ended reports its own status.
    ASSERT_TRUE(tsup::child_start(&c, {.argv = {"/bin/sh", "-c", "exit 7"}}));
    EXPECT_TRUE(tsup::wait_for([&] { return !tsup::child_running(&c); }, 5000));
    EXPECT_EQ(c.status, 7);

    EXPECT_EQ(tsup::run({.argv = {"/bin/sleep", "30"}}, 100).status, -1);
}

TEST(SupportProcess, StdinPipeFeedsTheProgram) {
    tsup::TempDir dir("selftest");
    tsup::Child c;
    ASSERT_TRUE(
        tsup::child_start(&c, {.argv = {"/bin/cat"}, .out_path = dir / "out", .stdin_pipe = true}));
    ASSERT_EQ(write(c.stdin_fd, "hello\n", 6), 6);
    EXPECT_TRUE(tsup::wait_for_text(dir / "out", "hello\n", 5000));
    close(c.stdin_fd);
    c.stdin_fd = -1;
    EXPECT_EQ(tsup::child_wait(&c, 5000), 0);
}

TEST(SupportFiles, TempDirGoesWithEverythingInIt) {
    std::string path;
    {
        tsup::TempDir dir("selftest");
        path = dir.path;
        ASSERT_EQ(path.rfind(tsup::temp_root() + "/zqtest-selftest-", 0), 0u) << path;
        ASSERT_EQ(mkdir((dir / "a").c_str(), 0755), 0);
        ASSERT_TRUE(tsup::write_file(dir / "a/b", "x"));
        EXPECT_EQ(tsup::list_dir(dir.path), std::vector<std::string>{"a"});
    }
    EXPECT_FALSE(tsup::file_exists(path));
    EXPECT_NE(tsup::unique_name("t"), tsup::unique_name("t"));
}

TEST(SupportNet, FreePortIsBelowTheEphemeralRangeAndBindable) {
    int port = tsup::free_port();
    ASSERT_GT(port, 0);
    EXPECT_LT(port, 32768);
    int bound = port;
    int s = tsup::tcp_listen(&bound);
    EXPECT_GE(s, 0);
    EXPECT_EQ(bound, port);
    if (s >= 0) close(s);
}

// A server that answers one request and keeps the connection open: the
// client must stop at the end of the announced body and close first, not
// wait for the server to close.
TEST(SupportHttp, AnswerEndsWithItsBodyAndHeadersAreFoundInAnyCase) {
    int port = 0;
    int lfd = tsup::tcp_listen(&port);
    ASSERT_GE(lfd, 0);
    std::string request;
    bool client_closed_first = false;
    std::thread server([&] {
        int fd = accept(lfd, nullptr, nullptr);
        if (fd < 0) return;
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n > 0) request.assign(buf, size_t(n));
        tsup::send_all(fd, "HTTP/1.1 201 Created\r\ncontent-length: 5\r\nX-A:  v\r\n\r\nhello");
        char c;
        client_closed_first =
            tsup::recv_n(fd, &c, 1, 10000) == false && recv(fd, &c, 1, MSG_DONTWAIT) == 0;
        close(fd);
    });
    tsup::HttpResponse r =
        tsup::http_request(port, "POST", "/api/x", "{}", {{"Origin", "http://h"}}, 20000);
    server.join();
    EXPECT_TRUE(client_closed_first);
    close(lfd);
    EXPECT_EQ(r.status, 201);
    EXPECT_EQ(r.body, "hello");
    EXPECT_EQ(r.header("Content-Length"), "5");
    EXPECT_EQ(r.header("x-a"), "v");
    EXPECT_EQ(r.header("Missing"), "");
    EXPECT_EQ(request,
              "POST /api/x HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://h\r\n"
              "Content-Length: 2\r\n\r\n{}");

    std::string answer = "stale";
    EXPECT_FALSE(tsup::http_exchange(port, "GET / HTTP/1.1\r\n\r\n", &answer));
    EXPECT_EQ(answer, "");
    EXPECT_EQ(tsup::http_request(port, "GET", "/").status, 0);
}

// The whole-connection exchange keeps bytes after the announced body, so a
// server that sends more than one answer cannot hide it.
TEST(SupportHttp, ExchangeToCloseKeepsEverythingTheServerSent) {
    int port = 0;
    int lfd = tsup::tcp_listen(&port);
    ASSERT_GE(lfd, 0);
    std::thread server([&] {
        int fd = accept(lfd, nullptr, nullptr);
        if (fd < 0) return;
        char buf[4096];
        (void)!recv(fd, buf, sizeof buf, 0);
        tsup::send_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokHTTP/1.1 400 X\r\n\r\n");
        close(fd);
    });
    std::string answer;
    EXPECT_TRUE(tsup::http_exchange_to_close(port, "GET / HTTP/1.1\r\n\r\n", &answer));
    server.join();
    close(lfd);
    EXPECT_EQ(answer, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokHTTP/1.1 400 X\r\n\r\n");
    answer = "stale";
    EXPECT_FALSE(tsup::http_exchange_to_close(port, "GET / HTTP/1.1\r\n\r\n", &answer));
    EXPECT_EQ(answer, "");
}

}  // namespace
