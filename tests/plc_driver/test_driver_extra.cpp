// zqlogix behaviours that need the simulator's rarer faults: the watchdog on
// a link that answers but yields no data, arrays read before their type is
// known, and the clock set with its one correction.

#include <chrono>
#include <regex>
#include <thread>

#include "cip.h"
#include "test_driver_util.h"

namespace {

int64_t utc_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The simulator's traced reads of one tag, as "START xCOUNT" in order.
std::vector<std::string> traced_reads(const plcsim_proc &sim, const std::string &tag) {
    std::vector<std::string> out;
    std::string text = sim.output();
    std::regex re("read " + tag + "\\[(\\d+)\\] count (\\d+)");
    for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it)
        out.push_back((*it)[1].str() + " x" + (*it)[2].str());
    return out;
}

// Tags that vanish for a moment (reads answered "path destination unknown",
// as while a program is replaced) are latched as missing and no longer read:
// the session stays up but brings no data, and only the watchdog recovers.
// Scalars only, since refused array reads would reach the error limit first.
// With a 6 s takt the limit is 2 * 6 + 5 = 17 s, not 15.
TEST(DriverWatchdog, ReconnectsAfterTwoTaktsAndFiveSecondsWithoutData) {
    plcsim_proc sim;
    ASSERT_TRUE(sim.start({"--tag", "Temp:REAL[1]=21.5", "--tag", "Count:DINT[1]=7"}));
    ASSERT_TRUE(sim.control("refuse_reads 5"));
    driver_proc drv;
    ASSERT_TRUE(drv.start("  groups:\n    - ipaddr: " + sim.addr +
                          "\n      takt: 6000\n      items: |\n        A1,v,Temp\n"
                          "        A2,v,Count\n"));
    // The first pass, at connect, finds nothing; that is the last time this
    // connection refreshed the watchdog.
    ShmHeader *h = shm_header(&drv.db);
    ASSERT_TRUE(wait_until([&] { return h->poll_count > 0; }, 10000)) << drv.log();
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(sim.control("clear"));
    EXPECT_TRUE(drv.all_quality({1, 2}, {}, 0));
    EXPECT_TRUE(drv.wait_log("тег 'Count' не знайдено в ПЛК (CIP 0x05)", 1000)) << drv.log();
    EXPECT_EQ(shm_plc(&drv.db, 0)->connected, 1);

    ASSERT_TRUE(drv.wait_log("Watchdog:", 22000)) << drv.log();
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(16500));
    EXPECT_TRUE(drv.an_is(1, 21.5, 10000)) << drv.log();
    EXPECT_TRUE(drv.an_is(2, 7));
    EXPECT_EQ(drv.log_count("Підключено. Початок опитування"), 2u);
    EXPECT_EQ(drv.log_count("Перевищено ліміт"), 0u);
    EXPECT_EQ(drv.log_count("Watchdog:"), 1u);
    sim.cleanup();
}

// A controller that will not list symbol types leaves array types unknown
// until the first reply: the first pass must still read an LREAL array
// whole, then use each type's own chunk; discrete channels on a numeric
// array must not be read as bits.
TEST(DriverUnknownType, ArraysAreReadInChunksThatFitUntilTheTypeIsKnown) {
    plcsim_proc sim;
    ASSERT_TRUE(sim.start({"--refuse-symbol-types", "--trace-reads", "--tag", "Big:LREAL[100]=1.25",
                           "--tag", "Arr:REAL[200]=2.5", "--tag", "Modes:DINT[10]=3", "--tag",
                           "Flags:BOOL[64]"}));
    ASSERT_TRUE(
        sim.control("set Big[99] -3.5e300\nset Arr[199] 4.5\nset Arr[60] 6\nset Flags[37] 1"));
    driver_proc drv;
    ASSERT_TRUE(
        drv.start("  groups:\n    - ipaddr: " + sim.addr +
                  "\n      takt: 100\n      items: |\n        A1,v,Big[0]\n"
                  "        A2,v,Big[99]\n        A3,v,Arr[0]\n        A4,v,Arr[60]\n"
                  "        A5,v,Arr[199]\n        D1,c,Modes[2]\n        D2,c,Flags[37]\n"));
    EXPECT_TRUE(drv.an_is(1, 1.25)) << drv.log();
    EXPECT_TRUE(drv.an_is(2, -3.5e300));
    EXPECT_TRUE(drv.an_is(3, 2.5));
    EXPECT_TRUE(drv.an_is(4, 6));
    EXPECT_TRUE(drv.an_is(5, 4.5));
    EXPECT_TRUE(drv.di_is(1, 3)) << drv.log();
    EXPECT_TRUE(drv.di_is(2, 1));
    EXPECT_EQ(drv.an_vt(2), CIP_TYPE_LREAL);
    EXPECT_EQ(drv.an_vt(5), CIP_TYPE_REAL);
    EXPECT_EQ(drv.di_vt(1), CIP_TYPE_DINT);
    EXPECT_EQ(drv.di_vt(2), CIP_TYPE_BOOL);
    EXPECT_TRUE(drv.wait_log("валідація масивів по інстанції", 1000));
    uint32_t polls = shm_header(&drv.db)->poll_count;
    ASSERT_TRUE(wait_until([&] { return shm_header(&drv.db)->poll_count > polls + 2; }, 3000));
    EXPECT_EQ(drv.stop(), 0);  // no read half-logged while the trace is parsed

    std::vector<std::string> big = traced_reads(sim, "Big");
    std::vector<std::string> arr = traced_reads(sim, "Arr");
    ASSERT_GE(big.size(), 6u) << sim.output();
    ASSERT_GE(arr.size(), 5u);
    // LREAL: 60 fit one reply before and after the type is known.
    for (size_t i = 0; i < big.size(); ++i)
        EXPECT_EQ(big[i], i % 2 ? "60 x40" : "0 x60") << i;
    // REAL: 60 until the first reply names the type, then 120 at a time.
    std::vector<std::string> first = {"0 x60", "60 x120", "180 x20"};
    EXPECT_EQ(std::vector<std::string>(arr.begin(), arr.begin() + 3), first);
    for (size_t i = 3; i < arr.size(); ++i)
        EXPECT_EQ(arr[i], i % 2 ? "0 x120" : "120 x80") << i;
    EXPECT_EQ(sim.output().find("refused Read Tag"), std::string::npos);
    EXPECT_EQ(drv.log_count("Перевищено ліміт"), 0u);
    sim.cleanup();
}

class DriverClockSet : public ::testing::Test {
  protected:
    plcsim_proc sim;
    driver_proc drv;
    ShmHeader *h = nullptr;
    void SetUp() override {
        ASSERT_TRUE(sim.start({"--tag", "Temp:REAL[1]=21.5"}));
        ASSERT_TRUE(
            drv.start("  time:\n    tz_offset_min: 0\n    dst: off\n  groups:\n"
                      "    - ipaddr: " +
                      sim.addr + "\n      takt: 100\n      items: |\n        A1,v,Temp\n"));
        ASSERT_TRUE(drv.an_is(1, 21.5)) << drv.log();
        h = shm_header(&drv.db);
    }
    void TearDown() override { sim.cleanup(); }
    // Posts a clock set and waits for its completion.
    void sync_clock() {
        uint32_t want = shm_time_request(&drv.db, 0, true);
        ASSERT_TRUE(wait_until([&] { return shm_time_done(&drv.db, true) == want; }, 8000))
            << drv.log();
    }
    size_t sets() const {
        std::string out = sim.output();
        size_t n = 0;
        for (size_t p = out.find("clock set to"); p != std::string::npos;
             p = out.find("clock set to", p + 1))
            ++n;
        return n;
    }
};

TEST_F(DriverClockSet, ALandingOffBySecondsIsCorrectedOnce) {
    // Half a second off is close enough: one write, no correction.
    ASSERT_TRUE(sim.control("clock_skew_ms 500"));
    h->time_rc = 99;
    sync_clock();
    EXPECT_EQ(h->time_rc, 0);
    EXPECT_EQ(sets(), 1u);
    EXPECT_NEAR(static_cast<double>(h->plc_time_us - h->host_time_us), 500e3, 300e3);

    // Three seconds off: the target is written again, moved by the error.
    ASSERT_TRUE(sim.control("clock_skew_ms 3000"));
    sync_clock();
    EXPECT_EQ(h->time_rc, 0);
    EXPECT_EQ(sets(), 3u) << sim.output();
    EXPECT_NEAR(static_cast<double>(h->plc_time_us - h->host_time_us), 0, 300e3);
    EXPECT_NEAR(static_cast<double>(h->plc_time_us), static_cast<double>(utc_us()), 2e6);
    EXPECT_NEAR(static_cast<double>(h->time_read_ms), static_cast<double>(utc_us() / 1000), 2e3);
    EXPECT_TRUE(drv.wait_log("PLC time sync: rc=0", 2000, 2));
}

TEST_F(DriverClockSet, TheResultIsThatOfTheLastOperation) {
    // The first write lands 3 s off and is accepted; the correction is
    // refused: the requester must see the refusal and the clock as read.
    ASSERT_TRUE(sim.control("clock_skew_ms 3000\nrefuse_clock_set 1"));
    sync_clock();
    EXPECT_EQ(h->time_rc, 1);
    EXPECT_TRUE(sim.wait_output("refused", 2000));
    EXPECT_NEAR(static_cast<double>(h->plc_time_us - h->host_time_us), 3e6, 300e3);
    EXPECT_TRUE(drv.wait_log("PLC time sync: rc=1", 2000));

    // A clock that refuses every set: rc 1, the last read stays as it was.
    ASSERT_TRUE(sim.control("refuse_clock_set 0"));
    int64_t plc_before = h->plc_time_us;
    h->time_rc = 0;
    sync_clock();
    EXPECT_EQ(h->time_rc, 1);
    EXPECT_EQ(h->plc_time_us, plc_before);

    // A refusal is no link failure: polling goes on, and a set after the
    // controller accepts again succeeds.
    EXPECT_EQ(shm_plc(&drv.db, 0)->connected, 1);
    EXPECT_EQ(drv.log_count("Підключено. Початок опитування"), 1u);
    ASSERT_TRUE(sim.control("clear"));
    sync_clock();
    EXPECT_EQ(h->time_rc, 0);
    EXPECT_NEAR(static_cast<double>(h->plc_time_us - h->host_time_us), 0, 300e3);
    EXPECT_EQ(drv.an(1)->quality, 1);
}

}  // namespace
