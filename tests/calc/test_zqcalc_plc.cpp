// zqcalc's writes to controller channels travel through the write slots and
// the real zqlogix to the simulated controller: one write per change, none
// for an unchanged or a bad value.
#include <gtest/gtest.h>

#include "calc_proc.h"
#include "tests/plc_driver/test_driver_util.h"

using namespace calctest;

TEST(ZqcalcPlc, WritesReachTheControllerOncePerChange) {
    plcsim_proc sim;
    ASSERT_TRUE(sim.start(
        {"--tag", "Temp:REAL[1]=21.5", "--tag", "Count:DINT[1]=-42", "--tag", "Flags:BOOL[64]"}));
    driver_proc drv;
    ASSERT_TRUE(drv.start(
        "    logwrite: 1\n  analogs: 64\n  discrets: 64\n  groups:\n    - ipaddr: " + sim.addr +
        "\n      takt: 100\n      items: |\n        A1,v,Temp\n"
        "        A2,v,Count\n        D1,c,Flags[5]\n"));
    ASSERT_TRUE(drv.an_is(2, -42, 15000)) << drv.log();
    project p(
        "  takt_ms: 50\n  stale_ms: 0\n  items:\n    - A5, dint, want\n    - A6, bool\n    - A10\n",
        "VAR n : DINT; END_VAR\n"
        "n := n + 1;\n"
        "A2 := want;\n"
        "D1 := A6;\n"
        "A10 := A1 * 2;\n");
    ASSERT_TRUE(p.start(drv.shm_name));
    auto writes = [&](const std::string &what) { return drv.log_count("Запис " + what); };
    auto settle = [&] {
        // 30 ticks of the engine and a few polls of the driver
        double n0 = NAN;
        tsup::wait_for([&] { return !std::isnan(n0 = var_value(p, "n")); });
        return tsup::wait_for([&] { return var_value(p, "n") >= n0 + 30; });
    };
    // Bad own tag at start: nothing is requested.
    ASSERT_TRUE(settle());
    EXPECT_EQ(writes("A2"), 0u) << drv.log();
    EXPECT_EQ(writes("D1"), 0u) << drv.log();
    // A1 feeds an own tag only; own tags are never written to a controller.
    EXPECT_TRUE(tsup::wait_for([&] { return drv.an(10)->value == 43; }));

    drv.write_an(5, 7);  // operator set-point on the own tag
    ASSERT_TRUE(drv.an_is(2, 7, 15000)) << drv.log() << p.log();
    drv.write_an(6, 1);
    ASSERT_TRUE(drv.di_is(1, 1, 15000)) << drv.log() << p.log();
    ASSERT_TRUE(settle());
    EXPECT_EQ(writes("A2 = 7"), 1u) << drv.log();
    EXPECT_EQ(writes("D1 = 1"), 1u) << drv.log();

    drv.write_an(5, NAN);  // bad: no request
    ASSERT_TRUE(tsup::wait_for([&] { return drv.an(5)->quality == 0; }));
    ASSERT_TRUE(settle());
    EXPECT_EQ(writes("A2"), 1u) << drv.log();

    drv.write_an(5, 8);
    ASSERT_TRUE(drv.an_is(2, 8, 15000)) << drv.log();
    ASSERT_TRUE(settle());
    EXPECT_EQ(writes("A2"), 2u) << drv.log();
    EXPECT_EQ(writes("A5"), 0u);
    EXPECT_EQ(writes("A10"), 0u);
    EXPECT_EQ(p.stop(), 0);
}
