#include <gtest/gtest.h>

#include <string>

#include "common/shm.h"
#include "tests/common/core_test_util.h"
#include "tests/support/proc.h"

using tsup::ShmName;

namespace {

[[maybe_unused]] auto *g_logs = ::testing::AddGlobalTestEnvironment(new core_test::LogToTempDir);

const std::string kTool = std::string(ZQ_BIN_DIR) + "/zqshm";

// Runs zqshm without inheriting the caller's database name.
tsup::RunResult zqshm(std::vector<std::string> args, std::vector<std::string> env = {}) {
    args.insert(args.begin(), kTool);
    return tsup::run({.argv = args, .env = env, .unset_env = {"LOGIX_SHM_NAME"}});
}

bool contains(const std::string &s, const std::string &part) {
    return s.find(part) != std::string::npos;
}

}  // namespace

TEST(Zqshm, SetWriteAndDumpRoundTrip) {
    ShmName n;
    ShmHandle h;
    ASSERT_EQ(shm_open_rw(n.c_str(), 13, 5, 1, &h), 0);
    snprintf(shm_plc(&h, 0)->ip, 16, "10.0.0.5");
    snprintf(shm_plc(&h, 0)->name, 48, "Boiler \"1\"");
    shm_plc(&h, 0)->mode = SHM_MODE_RUN;
    shm_set_an_vtype(&h, 12, SHM_VT_REAL);

    auto r = zqshm({"set", "A12", "3.5", "--name", n.name});
    EXPECT_EQ(r.status, 0) << r.err;
    r = zqshm({"--name", n.name, "set", "d4", "1"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = zqshm({"write", "A11", "-7.25"}, {"LOGIX_SHM_NAME=" + n.name});
    EXPECT_EQ(r.status, 0) << r.err;
    r = zqshm({"write", "D3", "5", "--name=" + n.name});
    EXPECT_EQ(r.status, 0) << r.err;

    // What another program sees in the database.
    EXPECT_EQ(shm_analog(&h, 12)->value, 3.5);
    EXPECT_EQ(shm_analog(&h, 12)->quality, 1);
    EXPECT_GT(shm_analog(&h, 12)->ts_ms, 1600000000000LL);
    EXPECT_EQ(shm_discrete(&h, 4)->value, 1);
    EXPECT_EQ(shm_discrete(&h, 4)->quality, 1);
    double v;
    ASSERT_TRUE(shm_take_write(shm_an_write_slot(&h, 11), &v));
    EXPECT_EQ(v, -7.25);
    shm_post_write(shm_an_write_slot(&h, 11), -7.25);
    EXPECT_TRUE(shm_write_pending(shm_di_write_slot(&h, 3)));
    EXPECT_EQ(shm_di_write_slot(&h, 3)->value, 1.0);

    r = zqshm({"dump", "--json", "--name", n.name});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string &j = r.out;
    EXPECT_EQ(j.rfind("{\"name\":\"" + n.name + "\",\"version\":6,", 0), 0u) << j;
    EXPECT_TRUE(contains(j, "\"an_count\":13,\"di_count\":5,\"plc_count\":1,\"total_size\":"));
    EXPECT_TRUE(contains(j, "\"ip\":\"10.0.0.5\""));
    EXPECT_TRUE(contains(j, "\"mode_name\":\"run\""));
    EXPECT_TRUE(contains(j, "\"name\":\"Boiler \\\"1\\\"\""));
    EXPECT_TRUE(contains(j, "{\"index\":12,\"value\":3.5,\"quality\":1,\"ts_ms\":")) << j;
    EXPECT_TRUE(contains(j, "\"vtype\":202,\"vtype_name\":\"REAL\",\"pending\":0"));
    EXPECT_TRUE(contains(j,
                         "{\"index\":11,\"value\":0,\"quality\":0,\"ts_ms\":0,\"vtype\":0,"
                         "\"vtype_name\":\"?\",\"pending\":1,\"write_value\":-7.25}"));
    EXPECT_TRUE(contains(j, "{\"index\":4,\"value\":1,\"quality\":1,"));
    EXPECT_TRUE(contains(j,
                         "{\"index\":3,\"value\":0,\"quality\":0,\"ts_ms\":0,\"vtype\":0,"
                         "\"vtype_name\":\"?\",\"pending\":1,\"write_value\":1}"));
    EXPECT_EQ(j.back(), '\n');

    r = zqshm({"dump"}, {"LOGIX_SHM_NAME=" + n.name});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "A12 = 3.5 q=1 ts=")) << r.out;
    EXPECT_TRUE(contains(r.out, "A11 = 0 q=0 ts=0 type=? write pending -7.25"));
    EXPECT_TRUE(contains(r.out, "PLC 0: ip 10.0.0.5 slot 0, connected 0, mode run"));
    shm_close(&h);
}

TEST(Zqshm, ErrorsAreClearAndChangeNothing) {
    ShmName n;
    ShmHandle h;
    ASSERT_EQ(shm_open_rw(n.c_str(), 3, 2, 0, &h), 0);
    std::vector<uint8_t> before(h.base, h.base + h.size);

    auto r = zqshm({"set", "A3", "1", "--name", n.name});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "A3 is out of range")) << r.err;
    r = zqshm({"set", "X1", "1", "--name", n.name});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "bad channel \"X1\"")) << r.err;
    r = zqshm({"set", "A1", "abc", "--name", n.name});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "bad value \"abc\""));
    r = zqshm({"set", "D1", "256", "--name", n.name});
    EXPECT_EQ(r.status, 2);
    r = zqshm({"set", "A99999999999", "1", "--name", n.name});
    EXPECT_EQ(r.status, 2);
    r = zqshm({"frobnicate", "--name", n.name});
    EXPECT_EQ(r.status, 2);
    r = zqshm({"dump", "--name"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(std::vector<uint8_t>(h.base, h.base + h.size), before);

    ShmName missing;
    r = zqshm({"dump", "--name", missing.name});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "SHM " + missing.name + " does not exist")) << r.err;

    shm_header(&h)->version = 5;
    r = zqshm({"dump", "--json", "--name", n.name});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(contains(r.err,
                         "magic/version mismatch (magic 0xA11CB501, version 5, binary "
                         "expects 6)"))
        << r.err;
    r = zqshm({"set", "A1", "2", "--name", n.name});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(shm_analog(&h, 1)->value, 0.0);
    shm_close(&h);

    r = zqshm({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.out, "dump --json prints one object"));
    r = zqshm({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(r.out.empty());
}
