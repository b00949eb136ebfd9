// zqlogix link handling against zqplcsim: reconnects after injected faults,
// two controllers at once, the PLC clock handshake and an orderly stop.

#include <atomic>
#include <chrono>
#include <thread>

#include "test_driver_util.h"

namespace {

int64_t utc_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Samples the database every millisecond and remembers whether every
// watched channel was bad at the same moment.
struct bad_watch {
    const driver_proc &drv;
    std::vector<int> ans, dis;
    std::atomic<bool> seen_bad{false};
    std::atomic<bool> stop{false};
    std::thread t;
    bad_watch(const driver_proc &d, std::vector<int> a, std::vector<int> b)
        : drv(d), ans(std::move(a)), dis(std::move(b)) {
        t = std::thread([this] {
            while (!stop) {
                if (drv.all_quality(ans, dis, 0)) seen_bad = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    ~bad_watch() {
        stop = true;
        t.join();
    }
};

const std::vector<std::string> kTags = {"--tag", "Temp:REAL[1]=21.5", "--tag", "Count:DINT[1]=-42",
                                        "--tag", "Flags:BOOL[64]"};

std::string one_group(const std::string &addr) {
    return "  groups:\n    - ipaddr: " + addr +
           "\n      takt: 100\n      items: |\n        A1,v,Temp\n        A2,v,Count\n"
           "        D1,c,Flags[5]\n";
}

class DriverLink : public ::testing::Test {
  protected:
    plcsim_proc sim;
    driver_proc drv;
    void SetUp() override {
        ASSERT_TRUE(sim.start(kTags));
        ASSERT_TRUE(sim.control("set Flags[5] 1"));
        ASSERT_TRUE(drv.start(one_group(sim.addr)));
        ASSERT_TRUE(all_good()) << drv.log();
    }
    void TearDown() override { sim.cleanup(); }
    bool all_good(int ms = 10000) {
        return wait_until(
            [&] {
                return drv.all_quality({1, 2}, {1}, 1) && shm_plc(&drv.db, 0)->connected == 1;
            },
            ms);
    }
    // Injects a fault, waits until every channel went bad, clears the
    // faults and waits until every channel is good again.
    void bad_then_good(const std::string &fault, const std::string &log_needle) {
        size_t connects = drv.log_count("Підключено. Початок опитування");
        {
            bad_watch w(drv, {1, 2}, {1});
            ASSERT_TRUE(sim.control(fault));
            EXPECT_TRUE(wait_until([&] { return w.seen_bad.load(); }, 15000)) << fault << "\n"
                                                                              << drv.log();
        }
        EXPECT_TRUE(drv.wait_log(log_needle, 5000)) << drv.log();
        ASSERT_TRUE(sim.control("clear"));
        EXPECT_TRUE(all_good(15000)) << drv.log();
        EXPECT_GT(drv.log_count("Підключено. Початок опитування"), connects);
        EXPECT_TRUE(drv.an_is(1, 21.5));
    }
};

TEST_F(DriverLink, DroppedConnectionReconnects) {
    bad_then_good("delay_ms 300\ndrop_all", "Ethernet/IP сесія зареєстрована!");
}

TEST_F(DriverLink, RefusedForwardOpenFallsBackToUnconnected) {
    bad_then_good("refuse_forward_open 1\ndelay_ms 300\ndrop_all",
                  "ForwardOpen не вдалося — використовується Unconnected Send");
    // Polling and writing work without the connection too.
    ASSERT_TRUE(sim.control("refuse_forward_open 1\ndrop_all"));
    EXPECT_TRUE(drv.wait_log("ForwardOpen не вдалося", 10000, 2));
    ASSERT_TRUE(all_good());
    drv.write_an(2, 77);
    EXPECT_TRUE(drv.an_is(2, 77));
}

TEST_F(DriverLink, ChangedAttributesReconnect) {
    bad_then_good("delay_ms 200\ndownload", "Зміна атрибутів контролера:");
    EXPECT_GE(drv.log_count("масив 'Flags[5..5]' OK"), 2u);  // arrays validated again
}

TEST_F(DriverLink, SignalsDoNotDropTheLink) {
    // Slow answers keep the driver waiting on its socket, where the signals
    // land: a stop and continue, and the reload signal the supervisor sends.
    ASSERT_TRUE(sim.control("delay_ms 60"));
    size_t connects = drv.log_count("Підключено. Початок опитування");
    uint32_t polls = shm_header(&drv.db)->poll_count;
    {
        bad_watch w(drv, {1, 2}, {1});
        for (int i = 0; i < 8; i++) {
            ASSERT_EQ(kill(drv.child.pid, SIGSTOP), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(120));
            ASSERT_EQ(kill(drv.child.pid, SIGCONT), 0);
            for (int k = 0; k < 10; k++) {
                ASSERT_EQ(kill(drv.child.pid, SIGUSR1), 0);
                std::this_thread::sleep_for(std::chrono::milliseconds(7));
            }
        }
        EXPECT_TRUE(
            wait_until([&] { return shm_header(&drv.db)->poll_count > polls + 10; }, 10000));
        EXPECT_FALSE(w.seen_bad.load()) << drv.log();
    }
    EXPECT_TRUE(tsup::child_running(&drv.child)) << drv.log();
    EXPECT_EQ(drv.log_count("Підключено. Початок опитування"), connects) << drv.log();
    EXPECT_EQ(drv.log_count("EIP: помилка"), 0u) << drv.log();
    EXPECT_TRUE(all_good(1000));
}

TEST_F(DriverLink, VanishedListenerAndStaleWrites) {
    size_t connects = drv.log_count("Підключено. Початок опитування");
    {
        bad_watch w(drv, {1, 2}, {1});
        ASSERT_TRUE(sim.control("close_listen 4000\ndrop_all"));
        ASSERT_TRUE(wait_until([&] { return w.seen_bad.load(); }, 10000)) << drv.log();
    }
    EXPECT_EQ(shm_plc(&drv.db, 0)->connected, 0);
    EXPECT_EQ(shm_header(&drv.db)->connected, 0u);
    EXPECT_EQ(shm_plc(&drv.db, 0)->mode, 0);
    // A request left while the link is down is cancelled at the reconnect,
    // not carried out later.
    drv.write_an(2, 555);
    EXPECT_TRUE(drv.wait_log("недоступний, очікую", 10000)) << drv.log();
    EXPECT_TRUE(all_good(20000)) << drv.log();
    EXPECT_GT(drv.log_count("Підключено. Початок опитування"), connects);
    EXPECT_FALSE(drv.an_pending(2));
    EXPECT_TRUE(drv.wait_log("Помилка запису A2", 3000));
    uint32_t polls = shm_header(&drv.db)->poll_count;
    ASSERT_TRUE(wait_until([&] { return shm_header(&drv.db)->poll_count > polls + 3; }, 3000));
    EXPECT_EQ(drv.an(2)->value, -42);
}

TEST(DriverTwoControllers, BlocksClockAndStop) {
    plcsim_proc a, b;
    ASSERT_TRUE(a.start({"--tag", "Temp:REAL[1]=1.5", "--name", "PLANT_A"}));
    ASSERT_TRUE(b.start({"--tag", "Temp:REAL[1]=2.5", "--name", "PLANT_B", "--slot", "2"}));
    // A third controller that never answers: nothing listens there.
    std::string dead = "127.0.0.1";
    {
        plcsim_proc c;
        ASSERT_TRUE(c.start({"--tag", "X:DINT[1]"}));
        dead = c.addr;
        c.cleanup();
    }
    driver_proc drv;
    ASSERT_TRUE(drv.start(
        "  time:\n    tz_offset_min: 120\n    dst: off\n  groups:\n"
        "    - id: 1\n      ipaddr: " +
        a.addr +
        "\n      takt: 100\n      items: |\n        A1,v,Temp\n"
        "    - id: 2\n      ipaddr: " +
        b.addr +
        "\n      connpath: backplane\\2\n      takt: 150\n      items: |\n        A2,v,Temp\n"
        "    - id: 3\n      ipaddr: " +
        dead + "\n      items: |\n        A3,v,X\n"));
    EXPECT_TRUE(drv.an_is(1, 1.5)) << drv.log();
    EXPECT_TRUE(drv.an_is(2, 2.5));
    ShmPlcBlock *p0 = shm_plc(&drv.db, 0), *p1 = shm_plc(&drv.db, 1), *p2 = shm_plc(&drv.db, 2);
    ASSERT_TRUE(p0 && p1 && p2);
    EXPECT_TRUE(wait_until([&] { return p0->connected && p1->connected; }, 5000));
    EXPECT_STREQ(p0->name, "PLANT_A");
    EXPECT_STREQ(p1->name, "PLANT_B");
    EXPECT_EQ(p1->slot, 2);
    EXPECT_EQ(p2->connected, 0);
    EXPECT_EQ(shm_header(&drv.db)->connected, 1u);
    EXPECT_EQ(drv.an(3)->quality, 0);

    // Clock read from the first controller.
    uint32_t want = shm_time_request(&drv.db, 0, false);
    ASSERT_TRUE(wait_until([&] { return shm_time_done(&drv.db, false) == want; }, 3000));
    ShmHeader *h = shm_header(&drv.db);
    EXPECT_EQ(h->time_rc, 0);
    EXPECT_NEAR(static_cast<double>(h->plc_time_us), static_cast<double>(utc_us()), 5e6);
    EXPECT_NEAR(static_cast<double>(h->time_read_ms), static_cast<double>(utc_us() / 1000), 5e3);

    // Clock set on the second: controller time is UTC + 2 h all year.
    want = shm_time_request(&drv.db, 1, true);
    ASSERT_TRUE(wait_until([&] { return shm_time_done(&drv.db, true) == want; }, 3000));
    EXPECT_EQ(h->time_rc, 0);
    EXPECT_NEAR(static_cast<double>(h->plc_time_us - utc_us()), 7200e6, 5e6);
    EXPECT_NEAR(static_cast<double>(h->plc_time_us - h->host_time_us), 0, 2e6);
    EXPECT_TRUE(b.wait_output("clock set to", 3000));
    EXPECT_EQ(a.output().find("clock set to"), std::string::npos);

    // The controller that is down answers at once with a failure.
    want = shm_time_request(&drv.db, 2, false);
    ASSERT_TRUE(wait_until([&] { return shm_time_done(&drv.db, false) == want; }, 3000));
    EXPECT_NE(h->time_rc, 0);

    // Each controller keeps its own values moving.
    ASSERT_TRUE(b.control("set Temp 9.75"));
    EXPECT_TRUE(drv.an_is(2, 9.75));
    EXPECT_EQ(drv.an(1)->value, 1.5);

    // Ends by itself on SIGTERM (not killed after the grace time), with one
    // dead controller among the live ones.
    EXPECT_EQ(drv.stop(), 0);
    EXPECT_EQ(drv.log_count("ForwardClose відправлено"), 2u);
    EXPECT_TRUE(a.wait_output("closed", 3000));
    EXPECT_TRUE(b.wait_output("closed", 3000));
    EXPECT_EQ(p0->connected, 0);
    EXPECT_EQ(h->connected, 0u);
    a.cleanup();
    b.cleanup();
}

}  // namespace
