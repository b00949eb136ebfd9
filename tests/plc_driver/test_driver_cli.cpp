// zqlogix as a program: command line, legacy INI projects, attaching to or
// creating the database, and the reconnect after repeated array refusals.

#include "test_driver_util.h"

namespace {

// The program's exit status and its stdout and stderr, run in dir.
std::string run_capture(const std::vector<std::string> &argv, int *status,
                        const std::string &dir = "") {
    tsup::RunResult r = tsup::run({.argv = argv, .dir = dir, .err_to_out = true});
    *status = r.status;
    return r.out;
}

TEST(DriverProgram, CommandLineAndBadConfiguration) {
    std::string bin = std::string(ZQ_BIN_DIR) + "/zqlogix";
    int st = -1;
    std::string out = run_capture({bin, "--version"}, &st);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(out.rfind("zqlogix ", 0), 0u) << out;
    out = run_capture({bin, "--help"}, &st);
    EXPECT_EQ(st, 0);
    EXPECT_NE(out.find("Usage: "), std::string::npos);
    EXPECT_NE(out.find("[-c <ini_file>] [--version]"), std::string::npos);

    driver_proc d;  // only for its temporary directory
    out = run_capture({bin, "-c", "./none.ini"}, &st, d.dir);
    EXPECT_EQ(st, 1);
    EXPECT_NE(out.find("Помилка завантаження конфігурації: ./none.ini"), std::string::npos) << out;
    // A config.yaml without groups and no INI file fails the same way.
    tsup::write_file(d.dir + "/config.yaml", "logix:\n  shm_name: /x\n");
    out = run_capture({bin, "--config", "./none.ini"}, &st, d.dir);
    EXPECT_EQ(st, 1);
    EXPECT_NE(out.find("не має logix-груп"), std::string::npos) << out;
}

TEST(DriverProgram, LegacyIniProjectAttachesToExistingDatabase) {
    plcsim_proc sim;
    ASSERT_TRUE(sim.start({"--tag", "Speed:INT[1]=-12", "--tag", "Run:BOOL[1]=1"}));
    driver_proc drv;
    // The supervisor's database is larger than the driver needs: attach.
    ShmHandle pre;
    ASSERT_EQ(shm_open_rw(drv.shm_name.c_str(), 50, 50, 4, &pre), 0);
    shm_update_analog(&pre, 40, 1, 5, 3.5);
    tsup::write_file(drv.dir + "/zqbridge.ini",
                     "[Logix5000]\nlogdir_linux=./logs\n"
                     "[Logix5000_1]\nipaddr=" +
                         sim.addr + "\ntakt=50\nitem1=A2,v,Speed\nitem2=D3,c,Run\n");
    ASSERT_TRUE(drv.launch({}));
    ASSERT_EQ(shm_handle_open(&drv.db, drv.shm_name.c_str(), true, SHM_MSG_NONE), 0);
    EXPECT_TRUE(drv.an_is(2, -12)) << drv.log();
    EXPECT_TRUE(drv.di_is(3, 1));
    EXPECT_EQ(drv.an(40)->value, 3.5);  // nothing else was touched
    EXPECT_EQ(shm_plc_count(&drv.db), 4u);
    EXPECT_TRUE(drv.wait_log("приєднано до існуючого", 3000));
    EXPECT_EQ(drv.stop(), 0);
    shm_close(&pre);
}

TEST(DriverProgram, SmallerDatabaseIsEnlarged) {
    plcsim_proc sim;
    ASSERT_TRUE(sim.start({"--tag", "Speed:INT[1]=-12"}));
    driver_proc drv;
    ShmHandle pre;
    ASSERT_EQ(shm_open_rw(drv.shm_name.c_str(), 2, 0, 1, &pre), 0);
    shm_close(&pre);
    ASSERT_TRUE(drv.start("  groups:\n    - ipaddr: " + sim.addr +
                          "\n      items: |\n        A30,v,Speed\n"));
    // The handle may have mapped the old object: map it again once enlarged.
    ASSERT_TRUE(drv.wait_log("створюю сам (standalone)", 5000));
    shm_handle_close(&drv.db);
    ASSERT_EQ(shm_handle_open(&drv.db, drv.shm_name.c_str(), true, SHM_MSG_NONE), 0);
    EXPECT_GE(shm_an_count(&drv.db), 31u);
    EXPECT_TRUE(drv.an_is(30, -12)) << drv.log();
}

TEST(DriverProgram, RepeatedArrayRefusalsReconnect) {
    plcsim_proc sim;
    ASSERT_TRUE(sim.start({"--tag", "Levels:REAL[10]=2", "--tag", "Temp:REAL[1]=1"}));
    driver_proc drv;
    // Element 12 lies beyond the array: every read of the segment is refused.
    ASSERT_TRUE(drv.start("  groups:\n    - ipaddr: " + sim.addr +
                          "\n      takt: 50\n      items: |\n        A1,v,Levels[3]\n"
                          "        A2,v,Levels[12]\n        A3,v,Temp\n"));
    EXPECT_TRUE(drv.wait_log("Перевищено ліміт CIP-помилок (10)", 15000)) << drv.log();
    EXPECT_TRUE(drv.wait_log("Підключено. Початок опитування", 10000, 2));
    EXPECT_TRUE(drv.an_is(3, 1));
    EXPECT_EQ(drv.an(1)->quality, 0);
}

}  // namespace
