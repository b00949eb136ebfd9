// zqlogix against controllers that refuse what the driver would rather do:
// packed reads, every configured tag, or reads for longer than the
// inactivity time-out.

#include "test_driver_util.h"

namespace {

const std::vector<std::string> kScalars = {"--tag", "Temp:REAL[1]=21.5", "--tag", "Count:DINT[1]=7",
                                           "--tag", "Level:REAL[1]=3.25"};

std::string scalar_group(const std::string &addr) {
    return "  groups:\n    - ipaddr: " + addr +
           "\n      takt: 100\n      items: |\n        A1,v,Temp\n        A2,v,Count\n"
           "        A3,v,Level\n";
}

TEST(DriverFaults, RefusedPackedReadFallsBackToSingleReads) {
    plcsim_proc sim;
    ASSERT_TRUE(sim.start(kScalars));
    ASSERT_TRUE(sim.control("refuse_multi 8"));
    driver_proc drv;
    ASSERT_TRUE(drv.start(scalar_group(sim.addr)));
    EXPECT_TRUE(drv.an_is(1, 21.5)) << drv.log();
    EXPECT_TRUE(drv.an_is(2, 7));
    EXPECT_TRUE(drv.an_is(3, 3.25));
    // The packet was tried and refused, and values keep moving without it.
    EXPECT_TRUE(sim.wait_output("refused Multiple Service Packet", 5000)) << sim.output();
    ASSERT_TRUE(sim.control("refuse_multi 8\nset Count 99"));
    EXPECT_TRUE(drv.an_is(2, 99)) << drv.log();
    EXPECT_EQ(drv.log_count("Підключено. Початок опитування"), 1u) << drv.log();
    EXPECT_EQ(drv.log_count("не знайдено"), 0u) << drv.log();
}

TEST(DriverFaults, NoConfiguredTagInTheControllerReconnects) {
    plcsim_proc sim;
    ASSERT_TRUE(sim.start({"--tag", "Other:DINT[1]=1"}));
    driver_proc drv;
    ASSERT_TRUE(drv.start("  groups:\n    - ipaddr: " + sim.addr +
                          "\n      takt: 100\n      items: |\n        A1,v,Missing[0]\n"
                          "        A2,v,Gone[2]\n"));
    // Nothing to poll (a controller being loaded looks like this): the
    // driver keeps reconnecting rather than polling an empty list.
    EXPECT_TRUE(drv.wait_log("Жодного тега не знайдено в ПЛК", 10000, 2)) << drv.log();
    EXPECT_GE(drv.log_count("Ethernet/IP сесія зареєстрована!"), 2u);
    EXPECT_EQ(drv.log_count("Підключено. Початок опитування"), 0u);
    EXPECT_TRUE(drv.all_quality({1, 2}, {}, 0));
    EXPECT_EQ(shm_plc(&drv.db, 0)->connected, 0);
}

TEST(DriverFaults, InactivityTimeoutReconnects) {
    plcsim_proc sim;
    ASSERT_TRUE(sim.start({"--tag", "Arr:REAL[10]=1.5"}));
    driver_proc drv;
    // The time-out is a legacy ini setting; without config.yaml the driver
    // reads the ini.
    tsup::write_file(drv.dir + "/zqbridge.ini",
                     "[Logix5000]\nlogdir_linux=./logs\nnatimeout=400\n[Logix5000_0]\nipaddr=" +
                         sim.addr + "\ntakt=100\nitem1=A1,v,Arr[0]\nitem2=A2,v,Arr[3]\n");
    ASSERT_TRUE(drv.launch({"-c", "./zqbridge.ini"}));
    ASSERT_TRUE(wait_until(
        [&] { return shm_handle_open(&drv.db, drv.shm_name.c_str(), true) == 0; }, 10000));
    EXPECT_TRUE(drv.an_is(1, 1.5)) << drv.log();
    // Array reads refused: no pass succeeds, so nothing counts as activity.
    ASSERT_TRUE(sim.control("refuse_reads 8"));
    EXPECT_TRUE(drv.wait_log("Таймаут активності (400 мс)", 10000)) << drv.log();
    ASSERT_TRUE(sim.control("clear"));
    EXPECT_TRUE(drv.wait_log("Підключено. Початок опитування", 10000, 2)) << drv.log();
    EXPECT_TRUE(drv.an_is(2, 1.5));
    // Healthy passes keep it alive: no further time-outs.
    size_t timeouts = drv.log_count("Таймаут активності");
    uint32_t polls = shm_header(&drv.db)->poll_count;
    ASSERT_TRUE(wait_until([&] { return shm_header(&drv.db)->poll_count > polls + 10; }, 5000));
    EXPECT_EQ(drv.log_count("Таймаут активності"), timeouts) << drv.log();
}

}  // namespace
