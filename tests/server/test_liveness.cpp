// Values that nobody keeps up to date: a hung or stopped driver leaves its
// last values with good quality, and the operator pages must not show them
// as current.
#include <gtest/gtest.h>
#include <signal.h>

#include "../plc_driver/test_driver_util.h"
#include "common/yaml.h"
#include "server/rt_common.h"
#include "server_fixture.h"

namespace {

using namespace srvtest;

TEST(Liveness, BoundIsTenSecondsOrThreeSlowestTakts) {
    struct {
        const char *yaml;
        int takt;
    } cases[] = {
        {"scada:\n  port: 1\n", 0},
        {"logix:\n  groups: []\n", 0},
        {"logix:\n  groups:\n    - ipaddr: a\n      takt: 500\n    - ipaddr: b\n", 500},
        // A group without takt polls at the driver's default of 100 ms.
        {"logix:\n  groups:\n    - ipaddr: a\n", 100},
        {"logix:\n  groups:\n    - ipaddr: a\n      takt: 7000\n    - takt: 300\n", 7000},
        // Takts the driver refuses fall back to its default too.
        {"logix:\n  groups:\n    - takt: -5\n    - takt: 99999999\n", 100},
    };
    for (const auto &c : cases) {
        json_ptr root(yaml_parse(c.yaml));
        ASSERT_TRUE(root) << c.yaml;
        EXPECT_EQ(rt_max_group_takt_ms(root.get()), c.takt) << c.yaml;
    }
    EXPECT_EQ(rt_live_bound_ms(0), 10000);
    EXPECT_EQ(rt_live_bound_ms(3333), 10000);
    EXPECT_EQ(rt_live_bound_ms(3334), 10002);
    EXPECT_EQ(rt_live_bound_ms(3600000), 10800000);
}

class Frozen : public ::testing::Test {
  protected:
    test_db db{4, 4, 1};
    server_proc srv{"", "logix:\n  groups:\n    - ipaddr: 10.0.0.1\n      takt: 200\n"};
    void SetUp() override {
        ASSERT_TRUE(db.ok);
        int64_t now = shm_now_ms();
        shm_update_analog(&db.h, 1, 1, now, 21.5);
        shm_update_discrete(&db.h, 1, 1, 1, now);
        ShmPlcBlock *b = shm_plc(&db.h, 0);
        strcpy(b->ip, "10.0.0.1");
        b->connected = 1;
        b->mode = SHM_MODE_FAULT;
        b->minor_fault = 1;
        db.hdr()->connected = 1;
        ASSERT_TRUE(srv.start(db.name));
    }
    std::string poll() { return parse(srv.post("/api/poll", "{\"tags\":[\"A1\",\"D1\"]}")).body; }
};

TEST_F(Frozen, StaleStampShowsValuesBadAndControllerDown) {
    const std::string good =
        "{\"values\":{\"A1\":21.5,\"D1\":1},\"_c\":1,\"plc\":{\"mode\":\"fault\",\"ip\":"
        "\"10.0.0.1\",\"minor\":1},\"reload\":{}}";
    EXPECT_EQ(poll(), good);

    // The driver stopped 10.5 s ago with its records as they were.
    db.freeze();
    int64_t then = shm_now_ms() - 10500;
    db.hdr()->last_poll_ms = then;
    shm_update_analog(&db.h, 1, 1, then, 21.5);
    shm_update_discrete(&db.h, 1, 1, 1, then);
    EXPECT_EQ(poll(),
              "{\"values\":{\"A1\":null,\"D1\":null},\"_c\":0,\"plc\":{\"mode\":\"run\",\"ip\":"
              "\"\",\"minor\":0},\"reload\":{}}");
    // A record another program wrote just now (the calculation engine's)
    // is not frozen.
    shm_update_analog(&db.h, 2, 1, shm_now_ms(), 4.5);
    EXPECT_NE(parse(srv.post("/api/poll", "{\"tags\":[\"A2\"]}")).body.find("\"A2\":4.5"),
              std::string::npos);
    std::string live = srv.body_of("/api/live");
    EXPECT_EQ(live.rfind("{\"connected\":0,", 0), 0u) << live;
    EXPECT_NE(live.find("\"an\":[[null,0,"), std::string::npos) << live;
    EXPECT_NE(live.find("\"di\":[[null,0,"), std::string::npos) << live;
    EXPECT_NE(live.find("[4.5,1,"), std::string::npos) << live;
    std::string plc = srv.body_of("/api/plc");
    EXPECT_NE(plc.find("\"connected\":0,\"mode\":\"unknown\",\"minor_fault\":0"), std::string::npos)
        << plc;
    EXPECT_NE(srv.body_of("/api/status").find("\"connected\":0,"), std::string::npos);

    // A stamp inside the bound, or one from a clock stepped back, is live.
    db.hdr()->last_poll_ms = shm_now_ms() - 8000;
    EXPECT_EQ(poll(), good);
    db.hdr()->last_poll_ms = shm_now_ms() + 60000;
    EXPECT_EQ(poll(), good);
    // Never stamped: nobody has kept the old records up to date.
    db.hdr()->last_poll_ms = 0;
    EXPECT_NE(poll().find("\"A1\":null"), std::string::npos);
    EXPECT_NE(poll().find("\"_c\":0"), std::string::npos);
}

TEST_F(Frozen, SlowGroupsWidenTheBound) {
    // Three takts of 5 s: 11 s without a poll is still normal.
    write_file(srv.dir + "/config.yaml",
               srv.config + "logix:\n  groups:\n    - ipaddr: 10.0.0.1\n      takt: 5000\n");
    db.freeze();
    int64_t then = shm_now_ms() - 11000;
    db.hdr()->last_poll_ms = then;
    shm_update_analog(&db.h, 1, 1, then, 21.5);
    // The file is looked at again within a second.
    EXPECT_TRUE(wait_for([&] { return poll().find("\"A1\":21.5") != std::string::npos; }, 5000))
        << poll();
    then = shm_now_ms() - 16000;
    db.hdr()->last_poll_ms = then;
    shm_update_analog(&db.h, 1, 1, then, 21.5);
    EXPECT_NE(poll().find("\"A1\":null"), std::string::npos);
}

TEST(FrozenDriver, StoppedDriverGoesBadAndComesBack) {
    plcsim_proc sim;
    ASSERT_TRUE(sim.start({"--tag", "Temp:REAL[1]=21.5"}));
    driver_proc drv;
    ASSERT_TRUE(drv.start("  groups:\n    - ipaddr: " + sim.addr +
                          "\n      takt: 100\n      items: |\n        A1,v,Temp\n"));
    ASSERT_TRUE(drv.an_is(1, 21.5)) << drv.log();
    server_proc srv{"", "logix:\n  groups:\n    - ipaddr: " + sim.addr + "\n      takt: 100\n"};
    ASSERT_TRUE(srv.start(drv.shm_name));
    auto poll = [&] { return parse(srv.post("/api/poll", "{\"tags\":[\"A1\"]}")).body; };
    ASSERT_TRUE(wait_for([&] { return poll().find("\"A1\":21.5") != std::string::npos; }, 5000))
        << poll();

    // The stopped driver leaves quality 1 in the records.
    ASSERT_EQ(kill(drv.child.pid, SIGSTOP), 0);
    EXPECT_TRUE(
        wait_for([&] { return poll().find("\"A1\":null},\"_c\":0") != std::string::npos; }, 20000))
        << poll();
    EXPECT_EQ(drv.an(1)->quality, 1);
    ASSERT_EQ(kill(drv.child.pid, SIGCONT), 0);
    EXPECT_TRUE(
        wait_for([&] { return poll().find("\"A1\":21.5},\"_c\":1") != std::string::npos; }, 10000))
        << poll() << drv.log();
}

}  // namespace
