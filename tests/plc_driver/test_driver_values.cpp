// Storing controller values into the database, batching and status helpers.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "driver_config.h"
#include "driver_poll.h"

namespace {

struct Db {
    ShmHandle h;
    std::string name;
    Db() {
        name = "/zq_drv_values_" + std::to_string(getpid());
        EXPECT_EQ(shm_open_rw(name.c_str(), 20, 20, 1, &h), 0);
    }
    ~Db() {
        shm_close(&h);
        shm_unlink(name.c_str());
    }
};

logix_item make_item(const char *line) {
    logix_item it;
    EXPECT_EQ(logix_parse_item(line, &it), 0) << line;
    return it;
}

void le(uint8_t *b, uint64_t v, int n) {
    for (int i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(v >> (8 * i));
}

TEST(DriverApply, ScalarsKeepTypeValueAndQuality) {
    Db db;
    uint8_t b[8] = {};
    logix_item a = make_item("A3,v,Level");
    le(b, static_cast<uint32_t>(-7), 4);
    ASSERT_EQ(logix_apply_single(&a, b, CIP_TYPE_DINT, &db.h, 1234), 0);
    EXPECT_EQ(a.type, CIP_TYPE_DINT);
    EXPECT_EQ(shm_analog(&db.h, 3)->value, -7.0);
    EXPECT_EQ(shm_analog(&db.h, 3)->quality, 1);
    EXPECT_EQ(shm_analog(&db.h, 3)->ts_ms, 1234);
    EXPECT_EQ(*shm_an_vtype(&db.h, 3), 0xC4);

    float f = 2.5f;
    memcpy(b, &f, 4);
    logix_item d = make_item("D4,c,Speed");
    ASSERT_EQ(logix_apply_single(&d, b, CIP_TYPE_REAL, &db.h, 1), 0);
    EXPECT_EQ(shm_discrete(&db.h, 4)->value, 3);  // half away from zero
    f = 300.0f;
    memcpy(b, &f, 4);
    logix_apply_single(&d, b, CIP_TYPE_REAL, &db.h, 1);
    EXPECT_EQ(shm_discrete(&db.h, 4)->value, 255);
    f = -3.0f;
    memcpy(b, &f, 4);
    logix_apply_single(&d, b, CIP_TYPE_REAL, &db.h, 1);
    EXPECT_EQ(shm_discrete(&db.h, 4)->value, 0);
    EXPECT_EQ(*shm_di_vtype(&db.h, 4), 0xCA);

    double lr = 1e300;
    memcpy(b, &lr, 8);
    logix_item l = make_item("A5,v,Big");
    logix_apply_single(&l, b, CIP_TYPE_LREAL, &db.h, 1);
    EXPECT_EQ(shm_analog(&db.h, 5)->value, 1e300);
}

TEST(DriverApply, BitsOfIntegersAndBoolArrayElements) {
    Db db;
    uint8_t b[8] = {};
    logix_item bits = make_item("A6,v,Status.4-6");
    le(b, 0x5F, 4);  // bits 4..6 = 101b
    logix_apply_single(&bits, b, CIP_TYPE_DINT, &db.h, 1);
    EXPECT_EQ(shm_analog(&db.h, 6)->value, 5.0);
    EXPECT_EQ(*shm_an_vtype(&db.h, 6), 0xC1);  // bits show as BOOL

    logix_item one = make_item("D7,c,Status.31");
    le(b, 0x80000000u, 4);
    logix_apply_single(&one, b, CIP_TYPE_DINT, &db.h, 1);
    EXPECT_EQ(shm_discrete(&db.h, 7)->value, 1);

    logix_item hi = make_item("A8,v,Wide.40-47");
    le(b, 0xAB0000000000ull, 8);
    logix_apply_single(&hi, b, CIP_TYPE_LINT, &db.h, 1);
    EXPECT_EQ(shm_analog(&db.h, 8)->value, 171.0);

    logix_item wide = make_item("D9,c,Word.0-15");
    le(b, 0x1234, 4);
    logix_apply_single(&wide, b, CIP_TYPE_DINT, &db.h, 1);
    EXPECT_EQ(shm_discrete(&db.h, 9)->value, 255);  // clamped

    // A BOOL array element read as its DWORD selects bit index mod 32.
    logix_item boolel = make_item("D10,c,Prog.Flags[37]");
    le(b, 1u << 5, 4);
    logix_apply_single(&boolel, b, CIP_TYPE_DWORD, &db.h, 1);
    EXPECT_EQ(boolel.bit_from, 5);
    EXPECT_EQ(shm_discrete(&db.h, 10)->value, 1);
    EXPECT_EQ(*shm_di_vtype(&db.h, 10), 0xC1);
    le(b, ~(1u << 5), 4);
    logix_apply_single(&boolel, b, CIP_TYPE_DWORD, &db.h, 1);
    EXPECT_EQ(shm_discrete(&db.h, 10)->value, 0);
}

TEST(DriverApply, UnsupportedTypeIsBadAndNeverLearned) {
    Db db;
    uint8_t b[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    logix_item it = make_item("A11,v,Text");
    shm_update_analog(&db.h, 11, 1, 1, 42.0);
    EXPECT_EQ(logix_apply_single(&it, b, CIP_TYPE_STRING, &db.h, 77), 1);
    EXPECT_EQ(it.type, 0);
    EXPECT_EQ(shm_analog(&db.h, 11)->quality, 0);
    EXPECT_EQ(shm_analog(&db.h, 11)->value, 0.0);
    EXPECT_EQ(logix_apply_single(&it, b, 0x02A0, &db.h, 78), 1);  // a structure handle
    EXPECT_EQ(it.type, 0);
}

TEST(DriverApply, DuplicatesFollowTheFirstItem) {
    Db db;
    logix_group g;
    const char *lines[] = {"A1,v,Main.Speed", "A2,v,Main.Speed", "D3,c,Main.Status.3",
                           "D4,c,Main.Status.4", "A5,v,Main.Speed"};
    for (int i = 0; i < 5; ++i) {
        logix_item it = make_item(lines[i]);
        logix_add_tag(&g, i + 1, &it);
    }
    logix_compute_group_segments(&g);
    uint8_t b[8] = {};
    le(b, 0x18, 4);
    logix_apply_with_duplicates(&g, 0, b, CIP_TYPE_DINT, &db.h, 5);
    EXPECT_EQ(shm_analog(&db.h, 2)->value, 24.0);
    EXPECT_EQ(shm_analog(&db.h, 5)->value, 24.0);
    logix_apply_with_duplicates(&g, 2, b, CIP_TYPE_DINT, &db.h, 5);
    EXPECT_EQ(shm_discrete(&db.h, 3)->value, 1);  // bit 3 of 0x18
    EXPECT_EQ(shm_discrete(&db.h, 4)->value, 1);  // bit 4
    logix_fanout_bad(&g, 0, &db.h, 6);
    EXPECT_EQ(shm_analog(&db.h, 2)->quality, 0);
    EXPECT_EQ(shm_analog(&db.h, 5)->quality, 0);
    EXPECT_EQ(shm_analog(&db.h, 5)->ts_ms, 6);
    free(g.items);
}

// Batches of packed reads stay within the packet limits: a request
// estimate of 8 + (path + 6) per item up to 460 bytes, and a reply estimate
// of 2 + 16 per item that takes no new item once it passed 444 bytes.
TEST(DriverBatches, EstimatesLimitEachPacket) {
    logix_group g;
    int cand[200];
    for (int i = 0; i < 100; ++i) {
        logix_item it = make_item("A1,v,T");
        logix_add_tag(&g, i + 1, &it);
        cand[i] = i;
    }
    // "T": 0x91, length 1, 'T', pad = 4 bytes, 10 per item in the request:
    // 45 would fit there, but the reply estimate after 28 items is
    // 2 + 28 * 16 = 450 > 444, so the 29th opens a new packet.
    ASSERT_EQ(g.items[0].path_len, 4);
    EXPECT_EQ(driver_batch_size(&g, cand, 100, 0), 28);
    EXPECT_EQ(driver_batch_size(&g, cand, 100, 84), 16);  // what is left
    EXPECT_EQ(driver_batch_size(&g, cand, 1, 0), 1);
    free(g.items);

    logix_group l;
    std::string name = "A1,v,Program:Main." + std::string(40, 'x');
    for (int i = 0; i < 20; ++i) {
        logix_item it = make_item(name.c_str());
        logix_add_tag(&l, i + 1, &it);
        cand[i] = i;
    }
    // "Program:Main" is 2 + 12 bytes, forty x 2 + 40: 56 per path, 62 per
    // item; 8 + 7 * 62 = 442 fits in 460, an eighth item (504) does not.
    ASSERT_EQ(l.items[0].path_len, 56);
    EXPECT_EQ(driver_batch_size(&l, cand, 20, 0), 7);
    free(l.items);
}

TEST(DriverHelpers, WatchdogStatusDiscreteAndClock) {
    logix_group slow, fast;
    slow.takt_ms = 20000;
    fast.takt_ms = 100;
    logix_conn conn;
    conn.groups[0] = &fast;
    conn.group_count = 1;
    EXPECT_EQ(driver_watchdog_ms(&conn), 15000);
    conn.groups[1] = &slow;
    conn.group_count = 2;
    EXPECT_EQ(driver_watchdog_ms(&conn), 45000);

    uint8_t mode = 9, minor = 9;
    driver_status_mode(0x0060, &mode, &minor);
    EXPECT_EQ(mode, SHM_MODE_RUN);
    EXPECT_EQ(minor, 0);
    driver_status_mode(0x0070 | 0x0100, &mode, &minor);
    EXPECT_EQ(mode, SHM_MODE_PROGRAM);
    EXPECT_EQ(minor, 1);
    driver_status_mode(0x0060 | 0x0800, &mode, &minor);
    EXPECT_EQ(mode, SHM_MODE_FAULT);
    driver_status_mode(0x0050, &mode, &minor);
    EXPECT_EQ(mode, SHM_MODE_FAULT);
    driver_status_mode(0x0030, &mode, &minor);
    EXPECT_EQ(mode, SHM_MODE_UNKNOWN);

    EXPECT_EQ(driver_to_discrete(0.49), 0);
    EXPECT_EQ(driver_to_discrete(0.5), 1);
    EXPECT_EQ(driver_to_discrete(254.6), 255);
    EXPECT_EQ(driver_to_discrete(NAN), 0);
    EXPECT_EQ(driver_to_discrete(-0.7), 0);

    auto cfgp = std::make_unique<logix_config>();
    logix_config &cfg = *cfgp;
    cfg.tz_set = true;
    cfg.tz_offset_min = 120;
    cfg.dst_mode = 0;
    auto now_us = [] {
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    int64_t diff = logix_host_wall_us(&cfg) - now_us();
    EXPECT_NEAR(static_cast<double>(diff), 7200e6, 5e6);
    cfg.dst_mode = 1;
    diff = logix_host_wall_us(&cfg) - now_us();
    EXPECT_NEAR(static_cast<double>(diff), 10800e6, 5e6);
}

}  // namespace
