// Timers against a wall clock that is set while they run (an operator or
// NTP stepping the host's time): they measure the monotonic tick, so a step
// back does not hold them and a step forward does not finish them early.
#include <gtest/gtest.h>

#include <cmath>

#include "calc/calc_host.h"
#include "calc/cexpr_tree.h"

namespace {

struct clock_steps : ::testing::Test {
    calc_host h;
    cx_node *p = nullptr;
    void SetUp() override {
        ASSERT_EQ(calc_host_declare(&h, "t:FBD_TIMER"), 0);
        p = calc_host_parse(&h, "t.TimerEnable := D1; t.PRE := 5000; TONR(t); D2 := t.DN;");
        ASSERT_NE(p, nullptr) << h.err;
        ASSERT_EQ(calc_host_set(&h, "D1", 1), 0);
    }
    void TearDown() override { cx_free(p); }
    // One scan with the wall clock at wall_ms and the monotonic clock at
    // mono_ms, dt from the monotonic clock as the engine computes it.
    void scan(int64_t wall_ms, int64_t mono_ms, int64_t dt_ms) {
        calc_host_at(&h, wall_ms, dt_ms);
        h.tick[CX_TICK_MONO] = mono_ms;
        calc_host_run(&h, p);
    }
    double get(const char *name) { return calc_host_value(&h, name); }
};

TEST_F(clock_steps, OnDelayFinishesWhenTheWallClockStepsBack) {
    const int64_t wall = 1773136800000, mono = 5000000;
    scan(wall, mono, 0);
    scan(wall + 1000, mono + 1000, 1000);
    // The wall clock goes back an hour; real time keeps going.
    for (int k = 2; k <= 5; k++)
        scan(wall - 3600000 + k * 1000, mono + k * 1000, 1000);
    EXPECT_EQ(get("t.ACC"), 5000);
    EXPECT_EQ(get("D2"), 1);
}

TEST_F(clock_steps, OnDelayDoesNotFinishEarlyWhenTheWallClockStepsForward) {
    const int64_t wall = 1773136800000, mono = 5000000;
    scan(wall, mono, 0);
    scan(wall + 3600000, mono + 1000, 1000);
    EXPECT_EQ(get("t.ACC"), 1000);
    EXPECT_EQ(get("D2"), 0);
    for (int k = 2; k <= 5; k++)
        scan(wall + 3600000 + k * 1000, mono + k * 1000, 1000);
    EXPECT_EQ(get("D2"), 1);
}

}  // namespace
