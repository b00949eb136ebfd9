// Version-2 files: table sizing, value encoding, header bytes, the writer's
// and reader's checks, patching and setting aside mismatching files.

#include <gtest/gtest.h>
#include <math.h>

#include "trend/trend_v2.h"
#include "trend_test_util.h"

namespace {

trend_base base_with(int n_an, int n_di) {
    trend_base b;
    grow_an(&b, n_an + 1);
    grow_di(&b, n_di + 1);
    for (int i = 1; i <= n_an; i++) {
        b.an[(size_t)i].present = 1;
        b.an[(size_t)i].code_max = 100;
        b.an[(size_t)i].phys_max = 10;
    }
    for (int i = 1; i <= n_di; i++)
        b.di[(size_t)i].present = 1;
    b.an_max = n_an;
    b.di_max = n_di;
    return b;
}

TEST(V2Table, SlotCountsAndRowSize) {
    v2_table t;
    trend_base b = base_with(10, 5);
    ASSERT_EQ(0, v2_table_build(&t, &b, nullptr, 0, nullptr, 0));
    EXPECT_EQ(64u, t.slots.size());
    EXPECT_EQ(15, t.used);
    b = base_with(48, 0);
    v2_table_build(&t, &b, nullptr, 0, nullptr, 0);
    EXPECT_EQ(64u, t.slots.size());
    EXPECT_EQ(4 + 64 * 4 + 8, t.row_size);  // all float: 268
    b = base_with(49, 0);
    v2_table_build(&t, &b, nullptr, 0, nullptr, 0);
    EXPECT_EQ(128u, t.slots.size());
    EXPECT_EQ(-1, t.slots[49].chan);
    EXPECT_EQ(0, t.slots[49].kind);
}

TEST(V2Table, ValueTypesFromTheDatabase) {
    trend_base b = base_with(4, 2);
    uint8_t vt[5] = {0, 0xC1, 0xCA, 0xC4, 0xD3};
    v2_table t, avg;
    ASSERT_EQ(0, v2_table_build(&t, &b, vt, 4, nullptr, 0));
    EXPECT_EQ(0xC6, t.slots[0].vtype);  // BOOL → USINT, one byte
    EXPECT_EQ(0, t.slots[1].vtype);     // REAL → f32
    EXPECT_EQ(0xC4, t.slots[2].vtype);
    EXPECT_EQ(0, t.slots[3].vtype);  // channel 4 beyond the published count
    EXPECT_EQ(0xC6, t.slots[4].vtype);
    EXPECT_EQ(3, t.slots[4].kind);
    EXPECT_EQ(1, t.off[1] - t.off[0]);
    ASSERT_EQ(0, v2_table_avg(&avg, &t));
    EXPECT_EQ(0, avg.slots[0].vtype);
    EXPECT_EQ(0xCB, avg.slots[2].vtype);
    EXPECT_EQ(0, avg.slots[4].vtype);
    // 4 + (4+4+8+4+4+4) ... + 59 spare floats + 8 bitmap bytes, to a multiple of 4.
    EXPECT_EQ(0, avg.row_size % 4);
}

TEST(V2Encoding, RoundingAndClamping) {
    uint8_t p[8];
    auto as_i16 = [&] {
        int16_t v;
        memcpy(&v, p, 2);
        return v;
    };
    v2_store_col(p, 0xC3, 2.5);
    EXPECT_EQ(3, as_i16());
    v2_store_col(p, 0xC3, -2.5);
    EXPECT_EQ(-3, as_i16());
    v2_store_col(p, 0xC3, 40000);
    EXPECT_EQ(32767, as_i16());
    v2_store_col(p, 0xC8, -1);
    uint32_t u;
    memcpy(&u, p, 4);
    EXPECT_EQ(0u, u);
    v2_store_col(p, 0xC6, 300);
    EXPECT_EQ(255, p[0]);
    v2_store_col(p, 0xC2, -200);
    EXPECT_EQ(-128, (int8_t)p[0]);
    v2_store_col(p, 0xC9, -5);
    uint64_t u64;
    memcpy(&u64, p, 8);
    EXPECT_EQ(0u, u64);
    v2_store_col(p, 0xC5, 1e30);  // saturates instead of undefined conversion
    int64_t i64;
    memcpy(&i64, p, 8);
    EXPECT_EQ(INT64_MAX, i64);
    EXPECT_FALSE(v2_store_col(p, 0xC4, NAN));
    EXPECT_FALSE(v2_store_col(p, 0, NAN));
}

TEST(V2Table, Utf8TextIsCutOnCharacterBoundaries) {
    trend_base b = base_with(1, 0);
    // 14 ASCII bytes + one two-byte letter = 16 bytes; the cut at 15 would
    // split the letter.
    strcpy(b.an[1].units, "abcdefghijklmnЖ");
    v2_slot s;
    ASSERT_TRUE(v2_channel_record(&b, 'A', 1, &s));
    EXPECT_STREQ("abcdefghijklmn", s.units);
    std::string desc;
    for (int i = 0; i < 60; i++)
        desc += "Ї";  // 120 bytes
    strncpy(b.an[1].desc, desc.c_str(), 95);
    ASSERT_TRUE(v2_channel_record(&b, 'A', 1, &s));
    EXPECT_EQ(94u, strlen(s.desc));
}

TEST(V2File, HeaderBytesAndReadBack) {
    tsup::TempDir d("v2file");
    trend_base b = base_with(2, 1);
    strcpy(b.an[1].units, "°C");
    strcpy(b.an[1].desc, "Температура");
    uint8_t vt[3] = {0, 0xC3, 0xCB};
    v2_table t;
    ASSERT_EQ(0, v2_table_build(&t, &b, vt, 3, nullptr, 0));
    std::string p = d / "2026120600.rps";
    ASSERT_EQ(0, v2_file_create(p.c_str(), 's', 20261206, 1000, &t));
    auto by = tsup::read_bytes(p);
    ASSERT_EQ(64u + 160 * 64, by.size());
    EXPECT_EQ("ZQT2", std::string((char *)by.data(), 4));
    EXPECT_EQ(2, tt::u16(by, 4));
    EXPECT_EQ('s', by[6]);
    EXPECT_EQ(0, by[7]);
    EXPECT_EQ(64u + 160 * 64, tt::u32(by, 8));
    EXPECT_EQ(64u, tt::u32(by, 12));
    EXPECT_EQ((uint32_t)t.row_size, tt::u32(by, 16));
    EXPECT_EQ(1000u, tt::u32(by, 20));
    EXPECT_EQ(20261206u, tt::u32(by, 24));
    for (int i = 28; i < 64; i++)
        ASSERT_EQ(0, by[(size_t)i]);
    EXPECT_EQ("A1", std::string((char *)by.data() + 64));
    EXPECT_EQ(1, by[64 + 8]);
    EXPECT_EQ(0xC3, by[64 + 9]);
    EXPECT_EQ(100.0, tt::f64(by, 64 + 24));
    EXPECT_EQ(10.0, tt::f64(by, 64 + 40));
    EXPECT_EQ("°C", std::string((char *)by.data() + 64 + 48));
    EXPECT_EQ("Температура", std::string((char *)by.data() + 64 + 64));
    EXPECT_EQ("D1", std::string((char *)by.data() + 64 + 320));
    EXPECT_EQ(0xC6, by[64 + 320 + 9]);

    // A row: A1 = 41 (INT), A2 bad, D1 = 1.
    double an[3] = {0, 41, 7};
    uint8_t aq[3] = {1, 1, 0}, dv[2] = {0, 1}, dq[2] = {1, 1};
    std::vector<uint8_t> row((size_t)t.row_size);
    v2_row_pack(row.data(), &t, an, aq, 3, dv, dq, 2, 3723000);
    ASSERT_EQ(0, v2_append_main(p.c_str(), &t, 's', 20261206, 1000, row.data()));
    FILE *f = fopen(p.c_str(), "rb");
    v2r_file r;
    ASSERT_EQ(0, v2r_parse(f, &r));
    ASSERT_EQ(1, v2r_row_count(f, &r));
    uint32_t ms;
    ASSERT_EQ(0, v2r_row_ms(f, &r, 0, &ms));
    EXPECT_EQ(3723000u, ms);
    fseeko(f, r.header_size, SEEK_SET);
    ASSERT_EQ(row.size(), fread(row.data(), 1, row.size(), f));
    fclose(f);
    EXPECT_EQ(41.0, v2r_col(&r.slots[0], row.data()));
    EXPECT_FALSE(v2r_missing(&r, row.data(), 0));
    EXPECT_EQ(4.1, v2r_scale(&r.slots[0], 41.0));
    EXPECT_TRUE(v2r_missing(&r, row.data(), 1));
    EXPECT_EQ(1.0, v2r_col(&r.slots[2], row.data()));
    EXPECT_TRUE(v2r_missing(&r, row.data(), 3));  // spare
    EXPECT_EQ(-1, v2r_find_slot(&r, "A9"));
}

TEST(V2File, ChecksRejectBadHeadersAndCutTornRows) {
    tsup::TempDir d("v2check");
    trend_base b = base_with(3, 0);
    v2_table t, back;
    v2_table_build(&t, &b, nullptr, 0, nullptr, 0);
    std::string p = d / "f.rpm";
    ASSERT_EQ(0, v2_file_create(p.c_str(), 'm', 20261206, 60000, &t));
    std::vector<uint8_t> row((size_t)t.row_size, 0);
    ASSERT_EQ(0, v2_append_main(p.c_str(), &t, 'm', 20261206, 60000, row.data()));
    auto good = tsup::read_bytes(p);
    auto put = [&](std::vector<uint8_t> by) {
        tsup::write_file(p, std::string(by.begin(), by.end()));
    };

    // Torn row: cut by the check, whole rows stay.
    auto torn = good;
    torn.resize(torn.size() + 9, 0xAA);
    put(torn);
    ASSERT_EQ(1, v2_file_open_check(p.c_str(), &back));
    EXPECT_EQ((long long)good.size(), tsup::file_size(p));
    EXPECT_EQ(3, back.used);
    EXPECT_EQ(20261206u, back.date);

    auto bad = good;
    bad[6] = 'x';
    put(bad);
    EXPECT_EQ(-1, v2_file_open_check(p.c_str(), &back));
    FILE *f = fopen(p.c_str(), "rb");
    v2r_file r;
    EXPECT_EQ(-1, v2r_parse(f, &r));
    fclose(f);
    bad = good;
    bad[16] = 4;  // row size disagrees with the types
    put(bad);
    EXPECT_EQ(-1, v2_file_open_check(p.c_str(), &back));
    bad = good;
    bad[12] = 0;  // zero slots
    put(bad);
    EXPECT_EQ(-1, v2_file_open_check(p.c_str(), &back));
    put(std::vector<uint8_t>{'Z', 'Q', 'T', '2', 0, 0});
    EXPECT_EQ(0, v2_file_open_check(p.c_str(), &back));
    put(std::vector<uint8_t>{'Z', 'Q'});
    EXPECT_EQ(-1, v2_file_open_check(p.c_str(), &back));
    put(std::vector<uint8_t>(100, 'x'));
    EXPECT_EQ(0, v2_file_open_check(p.c_str(), &back));
}

TEST(V2File, EnsureKeepsPatchesOrSetsAside) {
    tsup::TempDir d("v2ensure");
    trend_base b = base_with(3, 0);
    v2_table t;
    v2_table_build(&t, &b, nullptr, 0, nullptr, 0);
    std::string p = d / "2026120600.rps";
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, v2_ensure_main_file(&t, p.c_str(), 's', 1000, 20261206));
    std::vector<uint8_t> row((size_t)t.row_size, 0);
    ASSERT_EQ(0, v2_append_main(p.c_str(), &t, 's', 20261206, 1000, row.data()));
    long long size = tsup::file_size(p);
    // Same columns, new description: patched in place, rows kept.
    strcpy(t.slots[1].desc, "new text");
    EXPECT_EQ(0, v2_ensure_main_file(&t, p.c_str(), 's', 1000, 20261206));
    EXPECT_EQ(size, tsup::file_size(p));
    v2_table back;
    ASSERT_EQ(1, v2_file_open_check(p.c_str(), &back));
    EXPECT_STREQ("new text", back.slots[1].desc);
    // Different columns: today's rows move aside, a fresh file starts.
    trend_base b2 = base_with(70, 0);
    v2_table t2;
    v2_table_build(&t2, &b2, nullptr, 0, nullptr, 0);
    EXPECT_EQ(1, v2_ensure_main_file(&t2, p.c_str(), 's', 1000, 20261206));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("v2 layout mismatch (64 slots vs 128)")) << out;
    EXPECT_EQ(size, tsup::file_size(p + ".old1"));
    EXPECT_EQ(64 + 160 * 128, tsup::file_size(p));

    uint8_t rec[V2_SLOT];
    v2_slot s = t2.slots[0];
    strcpy(s.units, "kPa");
    v2_slot_encode(&s, rec);
    EXPECT_EQ(0, v2_chan_patch(p.c_str(), 0, rec));
    EXPECT_EQ(-1, v2_chan_patch(p.c_str(), 128, rec));
    ASSERT_EQ(1, v2_file_open_check(p.c_str(), &back));
    EXPECT_STREQ("kPa", back.slots[0].units);
}

}  // namespace
