// The programs' shiftable wall clock: what the variable sets, what it
// ignores, and how the shifted clock runs.

#include <gtest/gtest.h>
#include <stdlib.h>

#include "common/shm.h"
#include "common/test_clock.h"

namespace {

const char *VAR = "ZQ_TEST_CLOCK_SELFTEST";

zq_test_clock from(const char *value) {
    if (value)
        setenv(VAR, value, 1);
    else
        unsetenv(VAR);
    zq_test_clock c;
    zq_test_clock_from_env(&c, VAR);
    unsetenv(VAR);
    return c;
}

TEST(TestClock, UnsetOrMalformedKeepsTheRealClock) {
    for (const char *v : {(const char *)nullptr, "", "x", "1,2", "1,2,0", "1,2,-1", "a,2,1"}) {
        zq_test_clock c = from(v);
        EXPECT_EQ(c.anchor_real, 0) << (v ? v : "unset");
        EXPECT_EQ(c.anchor_fake, 0) << (v ? v : "unset");
        EXPECT_EQ(c.speed, 1.0) << (v ? v : "unset");
        int64_t before = shm_now_ms();
        int64_t now = zq_test_clock_now_ms(&c);
        EXPECT_GE(now, before);
        EXPECT_LE(now, shm_now_ms());
    }
}

TEST(TestClock, ShiftedAndFasterClockRunsFromItsAnchor) {
    int64_t real = shm_now_ms();
    zq_test_clock c = from((std::to_string(real - 10000) + ",1000000,1").c_str());
    EXPECT_EQ(c.anchor_real, real - 10000);
    EXPECT_EQ(c.anchor_fake, 1000000);
    // Ten real seconds after the anchor, at the real pace.
    int64_t now = zq_test_clock_now_ms(&c);
    EXPECT_GE(now, 1010000);
    EXPECT_LE(now, 1010000 + (shm_now_ms() - real));

    c = from((std::to_string(real - 10000) + ",1000000,60").c_str());
    EXPECT_EQ(c.speed, 60.0);
    now = zq_test_clock_now_ms(&c);
    EXPECT_GE(now, 1000000 + 600000);
    EXPECT_LE(now, 1000000 + 60 * (shm_now_ms() - real + 10000));
}

}  // namespace
