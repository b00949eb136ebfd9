// zqsup under a service manager: a datagram socket made here stands in for
// systemd's notify socket, and the test checks what the supervisor says
// on it while a stack of stand-in children starts, runs and stops.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "sup_test_util.h"
#include "tests/support/files.h"
#include "tests/support/proc.h"
#include "tests/support/wait.h"

namespace {

using tsup::read_file;
using tsup::write_file;
using clk = std::chrono::steady_clock;

struct Msg {
    std::string text;
    clk::time_point at;
};

class Notify : public ::testing::Test {
  protected:
    tsup::TempDir tmp{"notify"};
    std::string root = tmp.path, stack, proj, prefix, sock_path;
    int sock = -1;
    tsup::Child sup;
    std::vector<Msg> msgs;

    void SetUp() override {
        ASSERT_FALSE(root.empty());
        stack = root + "/stack";
        std::string project = "n" + std::to_string(getpid());
        proj = root + "/" + project;
        prefix = "/zqnotify" + std::to_string(getpid());
        mkdir(stack.c_str(), 0755);
        mkdir(proj.c_str(), 0755);
        for (const char *p : {"zqsup", "zqtrend", "zqserver", "zqalarm"}) {
            std::string from = std::string(p) == "zqsup" ? std::string(ZQ_BIN_DIR) + "/zqsup"
                                                         : std::string(SUP_STUB);
            write_file(stack + "/" + p, read_file(from));
            chmod((stack + "/" + p).c_str(), 0755);
        }
        write_file(proj + "/config.yaml", "logix:\n  shm_name: " + prefix + "\n");
        sock_path = root + "/notify.sock";
        sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(sock, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        ASSERT_LT(sock_path.size(), sizeof a.sun_path);
        memcpy(a.sun_path, sock_path.c_str(), sock_path.size());
        ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    }

    void TearDown() override {
        tsup::child_stop(&sup, 20000);
        if (sock >= 0) close(sock);
        suptest::unlink_shm_objects(prefix);
        unlink(("/tmp/zqsup_" + proj.substr(proj.rfind('/') + 1) + ".pid").c_str());
        if (HasFailure()) std::cerr << read_file(root + "/out.txt") << read_file(root + "/err.txt");
        tsup::remove_tree(root);
    }

    void start(const std::vector<std::string> &env) {
        ASSERT_TRUE(tsup::child_start(&sup, {.argv = {stack + "/zqsup", proj},
                                             .env = env,
                                             .unset_env = {"LOGIX_SHM_NAME", "ZQSTACK_DIR"},
                                             .out_path = root + "/out.txt",
                                             .err_path = root + "/err.txt"}));
    }

    // Collects datagrams until `until` says stop or the time is up.
    bool collect(int ms, const std::function<bool()> &until) {
        auto end = clk::now() + std::chrono::milliseconds(ms);
        while (clk::now() < end) {
            if (until()) return true;
            timeval tv{0, 50000};
            setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            char b[512];
            ssize_t n = recv(sock, b, sizeof b, 0);
            if (n > 0) msgs.push_back({std::string(b, size_t(n)), clk::now()});
        }
        return until();
    }

    size_t count(const std::string &text) {
        size_t n = 0;
        for (const Msg &m : msgs)
            n += m.text == text;
        return n;
    }

    // Pids of the stand-ins' starts, in the order they noted them; only
    // those of `only` when given.
    std::vector<pid_t> stub_pids(const std::string &only = "") {
        std::vector<pid_t> v;
        std::istringstream in(read_file(proj + "/stub.log"));
        std::string word, name;
        long long pid;
        while (in >> word) {
            if (word == "start" && in >> name >> pid && (only.empty() || name == only))
                v.push_back(pid_t(pid));
            std::string rest;
            std::getline(in, rest);
        }
        return v;
    }
};

TEST_F(Notify, ReadyWatchdogAndStoppingAndChildrenDoNotInherit) {
    // 2 s watchdog: a ping is due every second.
    start({"NOTIFY_SOCKET=" + sock_path, "WATCHDOG_USEC=2000000"});
    ASSERT_TRUE(collect(20000, [&] { return count("READY=1") > 0; }));
    // READY=1 comes once the children were started.
    EXPECT_TRUE(tsup::wait_for([&] { return stub_pids().size() == 3u; }, 10000));
    ASSERT_TRUE(collect(15000, [&] { return count("WATCHDOG=1") >= 4; }));
    std::vector<clk::time_point> pings;
    for (const Msg &m : msgs)
        if (m.text == "WATCHDOG=1") pings.push_back(m.at);
    // Every gap within the watchdog limit (else systemd would kill the
    // service); on average one ping per half interval, as received here.
    for (size_t i = 1; i < pings.size(); i++) {
        double gap = std::chrono::duration<double>(pings[i] - pings[i - 1]).count();
        EXPECT_LT(gap, 2.0) << "a ping came later than the watchdog allows";
    }
    double mean = std::chrono::duration<double>(pings.back() - pings.front()).count() /
                  double(pings.size() - 1);
    EXPECT_GT(mean, 0.6) << "pings come far more often than half the interval";
    // The service manager's variables are the supervisor's, not its children's.
    for (pid_t pid : stub_pids()) {
        std::string env = read_file("/proc/" + std::to_string(pid) + "/environ");
        EXPECT_EQ(env.find("NOTIFY_SOCKET="), std::string::npos);
        EXPECT_EQ(env.find("WATCHDOG_USEC="), std::string::npos);
    }
    kill(sup.pid, SIGTERM);
    ASSERT_TRUE(collect(20000, [&] { return count("STOPPING=1") > 0; }));
    EXPECT_EQ(tsup::child_wait(&sup, 20000), 0);
    EXPECT_EQ(count("READY=1"), 1u);
}

TEST_F(Notify, WatchdogForAnotherPidAndAbstractSocketName) {
    // WATCHDOG_PID of another process: this one must not ping. An
    // "@name" socket is in the abstract namespace.
    close(sock);
    sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sock, 0);
    std::string name = "zqnotify-test-" + std::to_string(getpid());
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    memcpy(a.sun_path + 1, name.c_str(), name.size());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&a),
                   socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size())),
              0);
    start({"NOTIFY_SOCKET=@" + name, "WATCHDOG_USEC=400000", "WATCHDOG_PID=1"});
    ASSERT_TRUE(collect(20000, [&] { return count("READY=1") > 0; }));
    collect(1500, [] { return false; });
    EXPECT_EQ(count("WATCHDOG=1"), 0u);
}

TEST_F(Notify, WithoutSocketRunsAsBeforeAndCountsRestarts) {
    start({});
    ASSERT_TRUE(tsup::wait_for(
        [&] { return read_file(root + "/out.txt").find("[zqsup] running.") != std::string::npos; },
        20000));
    // ./run/zqsup.status names each child with its pid and restarts.
    std::string st;
    ASSERT_TRUE(tsup::wait_for(
        [&] {
            st = read_file(proj + "/run/zqsup.status");
            return st.find("\"zqalarm\"") != std::string::npos;
        },
        5000));
    EXPECT_EQ(st.find("\"restarts\":1"), std::string::npos) << st;
    ASSERT_TRUE(tsup::wait_for([&] { return stub_pids().size() == 3u; }, 10000));
    kill(stub_pids("zqalarm").back(), SIGKILL);
    ASSERT_TRUE(tsup::wait_for(
        [&] {
            st = read_file(proj + "/run/zqsup.status");
            return st.find("{\"name\":\"zqalarm\",\"pid\":" +
                           std::to_string(stub_pids("zqalarm").back()) + ",\"restarts\":1}") !=
                   std::string::npos;
        },
        15000))
        << st;
    kill(sup.pid, SIGTERM);
    EXPECT_EQ(tsup::child_wait(&sup, 20000), 0);
    EXPECT_EQ(msgs.size(), 0u);
}

}  // namespace
