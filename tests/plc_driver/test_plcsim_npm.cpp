// An independent EtherNet/IP client (the st-ethernet-ip package, kept with
// its dependencies under tests/plc_driver/npm) reads and writes the
// simulator's tags, connected and unconnected.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "test_plcsim_util.h"

namespace {

std::string run_capture(const std::string &cmd, int *rc) {
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        *rc = -1;
        return out;
    }
    char buf[512];
    while (fgets(buf, sizeof buf, p))
        out += buf;
    int st = pclose(p);
    *rc = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

class NpmClient : public ::testing::TestWithParam<const char *> {};

TEST_P(NpmClient, ReadsAndWritesScalarsAndArrays) {
    if (access("/usr/bin/node", X_OK) != 0)
        GTEST_SKIP() << "/usr/bin/node is not installed (Debian package nodejs)";
    std::string dir = std::string(ZQ_SOURCE_DIR) + "/tests/plc_driver/npm";
    if (access((dir + "/node_modules/st-ethernet-ip/package.json").c_str(), R_OK) != 0)
        GTEST_SKIP() << "st-ethernet-ip is missing under " << dir << "/node_modules";

    plcsim_proc sim;
    ASSERT_TRUE(sim.start({"--tag", "Counter:DINT[1]=42", "--tag", "Temp:REAL[1]=21.5", "--tag",
                           "Flag:BOOL[1]", "--tag", "Data:REAL[400]", "--tag", "Ints:DINT[10]"}))
        << sim.output();
    std::string cmds;
    for (int i = 0; i < 400; i++)
        cmds += "set Data[" + std::to_string(i) + "] " + std::to_string(i) + "\n";
    for (int i = 0; i < 10; i++)
        cmds += "set Ints[" + std::to_string(i) + "] " + std::to_string(i) + "\n";
    ASSERT_TRUE(sim.control(cmds));

    int rc = -1;
    std::string out = run_capture("cd '" + dir + "' && timeout 60 /usr/bin/node check.js " +
                                      sim.addr + " " + GetParam() + " 2>&1",
                                  &rc);
    EXPECT_EQ(0, rc) << out << "\n--- simulator ---\n" << sim.output();
    EXPECT_EQ(std::string::npos, out.find("FAIL")) << out;
    EXPECT_NE(std::string::npos, out.find("OK array fragmented read")) << out;
    EXPECT_NE(std::string::npos, out.find("OK disconnect")) << out;
    sim.cleanup();
}

INSTANTIATE_TEST_SUITE_P(Messaging, NpmClient, ::testing::Values("connected", "unconnected"));

}  // namespace
