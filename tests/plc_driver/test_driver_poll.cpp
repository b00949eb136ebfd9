// zqlogix against zqplcsim: every item form read into the database, and
// operator writes through the write slots.

#include "test_driver_util.h"

namespace {

const std::vector<std::string> &kTags = kItemFormTags;

std::string group_for(const std::string &addr) {
    return "  groups:\n"
           "    - id: 0\n"
           "      ipaddr: " +
           addr +
           "\n"
           "      connpath: backplane\\0\n"
           "      takt: 100\n"
           "      items: |\n" +
           std::string(kItemForms);
}

class DriverPoll : public ::testing::Test {
  protected:
    plcsim_proc sim;
    driver_proc drv;
    void SetUp() override {
        ASSERT_TRUE(sim.start(kTags));
        ASSERT_TRUE(sim.control("set Flags[5] 1\nset Flags[40] 1\nset Dbl[150] -8.5"));
        ASSERT_TRUE(drv.start(group_for(sim.addr)));
        ASSERT_TRUE(drv.an_is(1, 21.5)) << drv.log();
    }
    void TearDown() override { sim.cleanup(); }
};

TEST_F(DriverPoll, EveryItemFormReachesTheDatabase) {
    int64_t before = shm_now_ms() - 60000;
    EXPECT_TRUE(drv.an_is(2, -42));
    EXPECT_EQ(drv.an_vt(1), 0xCA);
    EXPECT_EQ(drv.an_vt(2), 0xC4);
    EXPECT_GT(drv.an(1)->ts_ms, before);
    EXPECT_LE(drv.an(1)->ts_ms, shm_now_ms());
    // Simple array element.
    EXPECT_TRUE(drv.an_is(3, 1.5));
    EXPECT_EQ(drv.an_vt(3), 0xCA);
    // BOOL array bits (one array segment across two words).
    EXPECT_TRUE(drv.di_is(1, 1));
    EXPECT_TRUE(drv.di_is(3, 1));
    EXPECT_EQ(drv.di_vt(1), 0xC1);
    // Bit suffixes of an integer: 88 = 0b1011000.
    EXPECT_TRUE(drv.di_is(2, 1));
    EXPECT_TRUE(drv.an_is(4, 5));
    EXPECT_EQ(drv.an_vt(4), 0xC1);
    EXPECT_TRUE(drv.an_is(12, 88));
    // General segment members.
    EXPECT_TRUE(drv.an_is(5, 7));
    EXPECT_TRUE(drv.an_is(6, 7));
    EXPECT_EQ(drv.an_vt(6), 0xC3);
    EXPECT_TRUE(drv.wait_log("груповий масив 'Main.Buf[2]' [2..15]: 2 тегів", 5000));
    // Duplicate carries the first item's value.
    EXPECT_TRUE(drv.an_is(7, 21.5));
    // 64-bit types, and an LREAL array read in chunks that fit one reply.
    EXPECT_TRUE(drv.an_is(9, -1234567890123.0));
    EXPECT_EQ(drv.an_vt(9), 0xC5);
    EXPECT_TRUE(drv.an_is(10, -8.5));
    EXPECT_TRUE(drv.an_is(11, 0.25));
    EXPECT_EQ(drv.an_vt(10), 0xCB);
    EXPECT_TRUE(drv.di_is(4, 3));
    EXPECT_EQ(drv.di_vt(4), 0xC2);
    // Missing tag: quality 0, reported once, not read again.
    EXPECT_EQ(drv.an(8)->quality, 0);
    EXPECT_EQ(drv.an_vt(8), 0);
    EXPECT_TRUE(drv.wait_log("тег 'Nope' не знайдено в ПЛК (CIP 0x04)", 5000));

    ShmPlcBlock *blk = shm_plc(&drv.db, 0);
    ASSERT_NE(blk, nullptr);
    EXPECT_STREQ(blk->ip, sim.addr.substr(0, 15).c_str());
    EXPECT_EQ(blk->connected, 1);
    EXPECT_EQ(blk->mode, SHM_MODE_RUN);
    EXPECT_STREQ(blk->name, "ZQSIM");
    EXPECT_STREQ(blk->proc, "ZQ Logix Simulator");
    EXPECT_EQ(shm_header(&drv.db)->connected, 1u);

    // Values keep moving with the controller.
    // A group read wider than 600 elements: its tail is still read, singly.
    EXPECT_TRUE(drv.wait_log("груповий масив 'Main.Wide[0]' [0..800] ширше 600", 5000));
    ASSERT_TRUE(
        sim.control("set Temp 30.25\nset Flags[40] 0\nset Main.Buf[15] -3\n"
                    "set Main.Wide[800] 9\nset Main.Wide[0] 8"));
    EXPECT_TRUE(drv.an_is(14, 9));
    EXPECT_TRUE(drv.an_is(13, 8));
    EXPECT_TRUE(drv.an_is(1, 30.25));
    EXPECT_TRUE(drv.an_is(7, 30.25));
    EXPECT_TRUE(drv.di_is(3, 0));
    EXPECT_TRUE(drv.an_is(6, -3));
    uint32_t polls = shm_header(&drv.db)->poll_count;
    EXPECT_TRUE(wait_until([&] { return shm_header(&drv.db)->poll_count > polls + 3; }, 5000));
    EXPECT_EQ(drv.log_count("не знайдено в ПЛК (CIP 0x04)"), 1u);
}

TEST_F(DriverPoll, WritesReachTheControllerForEveryForm) {
    ASSERT_TRUE(drv.an_is(5, 7));
    ASSERT_TRUE(drv.an_is(4, 5));
    ASSERT_TRUE(drv.an_is(3, 1.5));
    ASSERT_TRUE(drv.di_is(1, 1));
    ASSERT_TRUE(drv.an_is(9, -1234567890123.0));

    drv.write_an(1, 55.5);                // REAL scalar
    drv.write_an(2, 41.6);                // DINT: rounded
    drv.write_an(3, -2.25);               // array element
    drv.write_di(1, 0.0);                 // BOOL array bit
    drv.write_an(4, 2);                   // bits 4..6 of a DINT
    drv.write_an(6, 123);                 // general segment member
    drv.write_an(9, 9007199254740992.0);  // LINT with 2^53
    EXPECT_TRUE(drv.an_is(1, 55.5)) << drv.log();
    EXPECT_TRUE(drv.an_is(7, 55.5));  // the duplicate follows
    EXPECT_TRUE(drv.an_is(2, 42));
    EXPECT_TRUE(drv.an_is(3, -2.25));
    EXPECT_TRUE(drv.di_is(1, 0));
    EXPECT_TRUE(drv.an_is(4, 2));
    EXPECT_TRUE(drv.an_is(12, 88 - 0x50 + 0x20));  // only bits 4..6 changed
    EXPECT_TRUE(drv.di_is(2, 1));
    EXPECT_TRUE(drv.an_is(6, 123));
    EXPECT_TRUE(drv.an_is(5, 7));
    EXPECT_TRUE(drv.an_is(9, 9007199254740992.0));
    EXPECT_TRUE(drv.wait_log("Запис A1 = 55.5", 3000));
    EXPECT_TRUE(drv.wait_log("Запис D1 = 0", 3000));

    // Writing through the duplicate's own channel works as well.
    drv.write_an(7, 12.5);
    EXPECT_TRUE(drv.an_is(1, 12.5));
    drv.write_di(2, 0);  // bit 3 of Status
    EXPECT_TRUE(drv.di_is(2, 0));

    // Last writer wins: two requests before the driver's next look give
    // one write of the second value.
    shm_post_write(shm_an_write_slot(&drv.db, 2), 1000);
    shm_post_write(shm_an_write_slot(&drv.db, 2), 2000);
    EXPECT_TRUE(drv.an_is(2, 2000));
    EXPECT_TRUE(wait_until([&] { return !drv.an_pending(2); }, 3000));
}

TEST_F(DriverPoll, ImpossibleWritesAreRefusedAndCleared) {
    ASSERT_TRUE(drv.an_is(4, 5));
    ASSERT_TRUE(drv.an_is(2, -42));
    ASSERT_TRUE(drv.di_is(4, 3));
    drv.write_an(1, NAN);
    drv.write_an(2, 1e12);  // beyond DINT
    drv.write_an(4, 9);     // does not fit 3 bits
    drv.write_an(12, -1);   // negative into a bit field
    drv.write_di(4, 300);   // beyond SINT
    drv.write_an(8, 1);     // tag never read: type unknown
    for (int ch : {1, 2, 4, 8, 12})
        EXPECT_TRUE(wait_until([&] { return !drv.an_pending(ch); }, 3000)) << ch;
    EXPECT_TRUE(drv.wait_log("Помилка запису A1", 3000));
    EXPECT_TRUE(drv.wait_log("Помилка запису A2", 3000));
    EXPECT_TRUE(drv.wait_log("Помилка запису A4", 3000));
    EXPECT_TRUE(drv.wait_log("Помилка запису A12", 3000));
    EXPECT_TRUE(drv.wait_log("Помилка запису D4", 3000));
    EXPECT_TRUE(drv.wait_log("Помилка запису A8", 3000));
    EXPECT_TRUE(drv.wait_log("тип невідомий (ще не зчитано) — запис пропущено", 3000));
    // Nothing reached the controller.
    uint32_t polls = shm_header(&drv.db)->poll_count;
    ASSERT_TRUE(wait_until([&] { return shm_header(&drv.db)->poll_count > polls + 2; }, 3000));
    EXPECT_EQ(drv.an(1)->value, 21.5);
    EXPECT_EQ(drv.an(2)->value, -42);
    EXPECT_EQ(drv.an(4)->value, 5);
    EXPECT_EQ(drv.an(12)->value, 88);
    EXPECT_EQ(drv.di(4)->value, 3);
    EXPECT_EQ(drv.an(1)->quality, 1);
}

}  // namespace
