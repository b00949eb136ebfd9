// An independent EtherNet/IP client (the st-ethernet-ip package, vendored
// with its dependencies under third_party/st-ethernet-ip) reads and writes
// the simulator's tags, connected and unconnected.

#include <gtest/gtest.h>

#include <string>

#include "test_plcsim_util.h"

namespace {

class NpmClient : public ::testing::TestWithParam<const char *> {};

TEST_P(NpmClient, ReadsAndWritesScalarsAndArrays) {
    if (access("/usr/bin/node", X_OK) != 0)
        FAIL() << "/usr/bin/node is not installed (Debian package nodejs)";
    std::string modules = std::string(ZQ_SOURCE_DIR) + "/third_party/st-ethernet-ip/node_modules";
    if (access((modules + "/st-ethernet-ip/package.json").c_str(), R_OK) != 0)
        FAIL() << "st-ethernet-ip is missing under " << modules;

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

    tsup::RunResult r =
        tsup::run({.argv = {"/usr/bin/node",
                            std::string(ZQ_SOURCE_DIR) + "/tests/plc_driver/plcsim_npm_check.js",
                            sim.addr, GetParam()},
                   .env = {"NODE_PATH=" + modules},
                   .err_to_out = true},
                  60000);
    const std::string &out = r.out;
    EXPECT_EQ(0, r.status) << out << "\n--- simulator ---\n" << sim.output();
    EXPECT_EQ(std::string::npos, out.find("FAIL")) << out;
    EXPECT_NE(std::string::npos, out.find("OK array fragmented read")) << out;
    EXPECT_NE(std::string::npos, out.find("OK packed array read")) << out;
    EXPECT_NE(std::string::npos, out.find("OK disconnect")) << out;
    sim.cleanup();
}

INSTANTIATE_TEST_SUITE_P(Messaging, NpmClient, ::testing::Values("connected", "unconnected"));

}  // namespace
