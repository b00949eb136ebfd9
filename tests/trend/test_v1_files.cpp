// Version-1 files: names, sidecar bytes, the sidecar reader's checks, the
// ensure step, positional rows and the clean-up.

#include <gtest/gtest.h>

#include "trend/trend_v1.h"
#include "trend/trend_v1r.h"
#include "trend_test_util.h"

namespace {

trend_base sample_base() {
    trend_base b;
    trend_grow_an(&b, 16);
    trend_grow_di(&b, 32);
    auto an = [&](int n, const char *desc, const char *units, float lo, float hi) {
        char tag[16];
        snprintf(tag, sizeof tag, "A%d", n);
        trend_build_meta_name(b.an[(size_t)n].label, tag, desc, units);
        b.an[(size_t)n].phys_min = lo;
        b.an[(size_t)n].phys_max = hi;
        b.an[(size_t)n].present = 1;
        b.an_max = std::max(b.an_max, n);
    };
    an(1, "Temp", "C", 0, 150);
    an(3, "Level", "m", -1, 5);
    b.an[2].present = 1;  // present, no label: placeholder
    b.an_max = 3;
    trend_build_meta_name(b.di[1].label, "D1", "Pump", nullptr);
    b.di[1].low = b.di[1].high = 0;  // equal: written as 0 and 1
    b.di[1].present = 1;
    trend_build_meta_name(b.di[2].label, "D2", "Valve", nullptr);
    b.di[2].low = -1;
    b.di[2].high = 2;
    b.di[2].present = 1;
    b.di_max = 2;
    return b;
}

TEST(V1Names, FileNamesAndDates) {
    struct tm tm = {};
    tm.tm_year = 126;
    tm.tm_mon = 11;
    tm.tm_mday = 6;
    char p[256];
    trend_filepath(p, sizeof p, "/t/", &tm, "rps");
    EXPECT_STREQ("/t/26120600.rps", p);
    trend_filepath_v2(p, sizeof p, "/t/", &tm, "rpm");
    EXPECT_STREQ("/t/2026120600.rpm", p);
    int y, m, d;
    ASSERT_EQ(0, trend_name_date("26120600.rps", &y, &m, &d));
    EXPECT_EQ(2026, y);
    EXPECT_EQ(12, m);
    EXPECT_EQ(6, d);
    ASSERT_EQ(0, trend_name_date("2026120600.rpm", &y, &m, &d));
    EXPECT_EQ(6, d);
    EXPECT_EQ(-1, trend_name_date("26130100.rph", &y, &m, &d));
    EXPECT_EQ(-1, trend_name_date("2612060.rps", &y, &m, &d));
    EXPECT_EQ(-1, trend_name_date("26120600.rps.old1", &y, &m, &d));
}

TEST(V1Meta, LabelCutsTagDescriptionAndUnits) {
    char l[78];
    trend_build_meta_name(l, "A12345", std::string(100, 'x').c_str(), "0123456789abcdefXYZ");
    EXPECT_EQ("A123", std::string(l, 4));
    EXPECT_EQ(' ', l[4]);
    EXPECT_EQ(':', l[5]);
    EXPECT_EQ(std::string(56, 'x'), std::string(l + 6, 56));  // bytes 6..61
    EXPECT_EQ("0123456789abcdef", std::string(l + 62, 16));
    trend_build_meta_name(l, "A12", "Temp", "C");
    EXPECT_EQ("A12 :Temp", std::string(l, 9));
    EXPECT_EQ(' ', l[9]);
    EXPECT_EQ('C', l[62]);
}

TEST(V1Meta, SecondsSidecarBytes) {
    trend_base b = sample_base();
    trend_cmap m;
    trend_build_cmap(&b, &m);
    ASSERT_EQ(3, m.n_an);
    ASSERT_EQ(2, m.n_di);
    auto by = trend_meta_bytes(&b, &m, 's');
    ASSERT_EQ(90u * (1 + 3 + 2 + 1), by.size());
    // Header record.
    EXPECT_EQ(0.0f, tt::f32(by, 0));
    EXPECT_EQ(3, by[4]);
    EXPECT_EQ("sec ", std::string((char *)by.data() + 6, 4));
    EXPECT_EQ(6, tt::u16(by, 10));
    EXPECT_EQ(1, by[16]);
    EXPECT_EQ(std::string(50, ' '), std::string((char *)by.data() + 18, 50));
    EXPECT_EQ(24, by[70]);
    EXPECT_EQ(2, by[73]);
    EXPECT_EQ(2, by[74]);
    EXPECT_EQ(3, tt::u16(by, 76));
    EXPECT_EQ(3, tt::u16(by, 78));
    EXPECT_EQ(2, tt::u16(by, 80));
    EXPECT_EQ(1, by[86]);
    EXPECT_EQ('Z', by[88]);
    EXPECT_EQ(0, by[89]);
    // A1 with its label and range; A2 placeholder; D1 low == high → 0..1.
    EXPECT_EQ("A1 :Temp", std::string((char *)by.data() + 90, 8));
    EXPECT_EQ(1, tt::u16(by, 90 + 78));
    EXPECT_EQ(1, tt::u16(by, 90 + 80));
    EXPECT_EQ(150.0f, tt::f32(by, 90 + 86));
    EXPECT_EQ("A2 :" + std::string(74, ' '), std::string((char *)by.data() + 180, 78));
    EXPECT_EQ(0.0f, tt::f32(by, 180 + 86));
    EXPECT_EQ(3, tt::u16(by, 360 + 78));
    EXPECT_EQ(0.0f, tt::f32(by, 360 + 82));
    EXPECT_EQ(1.0f, tt::f32(by, 360 + 86));
    EXPECT_EQ(-1.0f, tt::f32(by, 450 + 82));
    // Closing record.
    EXPECT_EQ("Time : Current Time" + std::string(59, ' '),
              std::string((char *)by.data() + 540, 78));
    EXPECT_EQ(0, tt::u16(by, 540 + 78));
}

TEST(V1Meta, MinuteAndHourHeaders) {
    trend_base b = sample_base();
    auto mn = trend_meta_bytes(&b, nullptr, 'm');
    EXPECT_EQ(90u * 6, mn.size());
    EXPECT_EQ(1.0f, tt::f32(mn, 0));
    EXPECT_EQ(1, mn[4]);
    EXPECT_EQ("min ", std::string((char *)mn.data() + 6, 4));
    EXPECT_EQ(0, tt::u16(mn, 10));
    EXPECT_EQ(0, mn[70]);
    EXPECT_EQ(0, mn[86]);
    EXPECT_EQ(3, tt::u16(mn, 78));
    EXPECT_EQ(2, tt::u16(mn, 80));
    auto hr = trend_meta_bytes(&b, nullptr, 'h');
    EXPECT_EQ(2, hr[4]);
    EXPECT_EQ("hour", std::string((char *)hr.data() + 6, 4));
    EXPECT_EQ(5, tt::u16(hr, 78));
    EXPECT_EQ(0, tt::u16(hr, 80));
}

TEST(V1Meta, ReaderChecksOrderKindsAndCounts) {
    tsup::TempDir d("v1meta");
    trend_base b = sample_base();
    std::string p = d / "x.rns";
    ASSERT_EQ(0, trend_meta_create_rns(p.c_str(), &b, nullptr));
    trend_cmap m;
    ASSERT_EQ(1, trend_meta_load_colmap(p.c_str(), &m));
    EXPECT_EQ((std::vector<int>{1, 2, 3}), m.an);
    EXPECT_EQ((std::vector<int>{1, 2}), m.di);
    EXPECT_EQ(1, trend_meta_check_match(p.c_str(), 3, 2));
    EXPECT_EQ(0, trend_meta_check_match(p.c_str(), 3, 1));

    auto good = tsup::read_bytes(p);
    auto write = [&](std::vector<uint8_t> by) {
        tsup::write_file(p, std::string(by.begin(), by.end()));
    };
    // Not ascending: A1, A3, A2.
    auto bad = good;
    bad[90 * 2 + 80] = 3;
    bad[90 * 3 + 80] = 2;
    write(bad);
    EXPECT_EQ(0, trend_meta_load_colmap(p.c_str(), &m));
    EXPECT_EQ(0, m.n_an);
    // Unknown kind.
    bad = good;
    bad[90 + 78] = 2;
    write(bad);
    EXPECT_EQ(0, trend_meta_load_colmap(p.c_str(), &m));
    // One item lost: the header's counts disagree with the records.
    bad = good;
    bad.erase(bad.begin() + 90 * 3, bad.begin() + 90 * 4);
    write(bad);
    EXPECT_EQ(0, trend_meta_load_colmap(p.c_str(), &m));
    EXPECT_EQ(0, trend_meta_check_match(p.c_str(), 3, 2));
    // Torn last record.
    bad = good;
    bad.resize(bad.size() - 10);
    write(bad);
    EXPECT_EQ(0, trend_meta_load_colmap(p.c_str(), &m));
    // Header and closing record only: no map.
    trend_base empty;
    ASSERT_EQ(0, trend_meta_create_rns(p.c_str(), &empty, nullptr));
    EXPECT_EQ(180, tsup::file_size(p));
    EXPECT_EQ(0, trend_meta_load_colmap(p.c_str(), &m));
    EXPECT_EQ(0, trend_meta_load_colmap((d / "missing.rns").c_str(), &m));
}

TEST(V1Data, EnsureCutsTornRowsAndSetsAsideUnknownLayouts) {
    tsup::TempDir d("v1ensure");
    trend_base b = sample_base();
    trend_cmap m;
    trend_build_cmap(&b, &m);
    std::string rns = d / "26120600.rns", rps = d / "26120600.rps";
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, trend_ensure_sec_meta(rns.c_str(), rps.c_str(), &b, &m, true, false));
    // Packed seconds row: 3 analog + 1 packed + time = 20 bytes. A torn row
    // from a crash is cut; whole rows stay.
    auto rows_of = [](int cells, int n, size_t torn) {
        std::vector<uint32_t> c((size_t)cells * n, 0);
        for (int r = 0; r < n; r++)
            c[(size_t)(r + 1) * cells - 1] = 1000u * (r + 1);
        std::string s((const char *)c.data(), c.size() * 4);
        return s + std::string(torn, 'r');
    };
    tsup::write_file(rps, rows_of(5, 3, 7));
    EXPECT_EQ(0, trend_ensure_sec_meta(rns.c_str(), rps.c_str(), &b, &m, true, false));
    EXPECT_EQ(60, tsup::file_size(rps));
    // A sidecar that no longer matches: today's rows are kept aside, never
    // cut to another width.
    trend_cmap other = m;
    other.an.push_back(7);
    other.n_an = 4;
    EXPECT_EQ(1, trend_ensure_sec_meta(rns.c_str(), rps.c_str(), &b, &other, true, false));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(60, tsup::file_size(rps + ".old1"));
    EXPECT_EQ(630, tsup::file_size(rns + ".old1"));
    EXPECT_FALSE(tsup::file_exists(rps));
    EXPECT_NE(std::string::npos,
              out.find("truncated " + rps + ": removed 7-byte partial row (was 67 → 60)"));
    // Rows of another width (unpacked: 3 + 2 + 1 cells) under a matching
    // sidecar: the time column does not line up, the rows are kept aside.
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, trend_ensure_sec_meta(rns.c_str(), rps.c_str(), &b, &other, true, false));
    tsup::write_file(rps, rows_of(7, 5, 0));  // 4 analog + 2 unpacked + time
    EXPECT_EQ(1, trend_ensure_sec_meta(rns.c_str(), rps.c_str(), &b, &other, true, false));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(140, tsup::file_size(rps + ".old2"));
    // Minutes and hours: the data file is created empty.
    std::string rnm = d / "26120600.rnm", rpm = d / "26120600.rpm";
    testing::internal::CaptureStdout();
    trend_ensure_min_meta(rnm.c_str(), rpm.c_str(), &b, &m, true, false);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(0, tsup::file_size(rpm));
    // A forced rewrite of a matching sidecar keeps the rows.
    tsup::write_file(rpm, std::string(16 * 2, 'x'));
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, trend_ensure_min_meta(rnm.c_str(), rpm.c_str(), &b, &m, true, true));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(32, tsup::file_size(rpm));
}

TEST(V1Data, PositionalRowsArePaddedAppendedOrDropped) {
    tsup::TempDir d("v1rows");
    std::string p = d / "x.rph";
    uint32_t row[3] = {1, 2, 3};
    // First hour row of March: 04:00-05:00 on the 3rd → rows 0..51 padded.
    ASSERT_EQ(0, trend_write_row_at(p.c_str(), row, 12, 52, 3, 0));
    auto by = tsup::read_bytes(p);
    ASSERT_EQ(53u * 12, by.size());
    for (size_t c = 0; c < 52 * 3; c++)
        ASSERT_EQ(6u, tt::u32(by, c * 4));
    EXPECT_EQ(1u, tt::u32(by, 52 * 12));
    // Row 53 follows directly; a second row 52 is dropped, not appended.
    ASSERT_EQ(0, trend_write_row_at(p.c_str(), row, 12, 53, 3, 0));
    EXPECT_EQ(1, trend_write_row_at(p.c_str(), row, 12, 52, 3, 0));
    EXPECT_EQ(54 * 12, tsup::file_size(p));
    // Packed padding: analog cells 6, packed cells all ones.
    std::string q = d / "x.rpm";
    ASSERT_EQ(0, trend_write_row_at(q.c_str(), row, 12, 1, 2, 1));
    by = tsup::read_bytes(q);
    EXPECT_EQ(6u, tt::u32(by, 0));
    EXPECT_EQ(6u, tt::u32(by, 4));
    EXPECT_EQ(0xFFFFFFFFu, tt::u32(by, 8));
    // A torn row is cut before the position is counted.
    tsup::write_file(q, std::string(12 + 5, 'z'));
    ASSERT_EQ(0, trend_write_row_at(q.c_str(), row, 12, 1, 2, 1));
    EXPECT_EQ(24, tsup::file_size(q));
}

TEST(V1Data, CleanupByRetentionAndName) {
    tsup::ZoneGuard tz("UTC");
    tsup::TempDir d("v1clean");
    for (const char *n :
         {"26120100.rps", "26120100.rns", "26120100.rpm", "26110100.rph", "2026120100.rps",
          "26130100.rph", "26120100.txt", "notatrend.rps", "26120100.rps.old1"})
        tsup::write_file(d / n, "x");
    time_t now = tt::local_time(2026, 12, 6, 12, 0, 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(4, trend_cleanup((d.path + "/").c_str(), 2, 0, 30, now));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(tsup::file_exists(d / "26120100.rps"));
    EXPECT_FALSE(tsup::file_exists(d / "26120100.rns"));
    EXPECT_FALSE(tsup::file_exists(d / "2026120100.rps"));
    EXPECT_TRUE(tsup::file_exists(d / "26120100.rpm"));   // minutes kept forever
    EXPECT_FALSE(tsup::file_exists(d / "26110100.rph"));  // dated by its month's first day
    EXPECT_TRUE(tsup::file_exists(d / "26130100.rph"));
    EXPECT_TRUE(tsup::file_exists(d / "26120100.txt"));
    EXPECT_TRUE(tsup::file_exists(d / "26120100.rps.old1"));
    EXPECT_NE(std::string::npos, out.find("(6 days old, retention 2)")) << out;
    // A clock far in the past deletes nothing.
    EXPECT_EQ(0, trend_cleanup(d.path.c_str(), 1, 1, 1, 946684800));
}

// A month's hour file is dated by its first day and written all month: a
// retention shorter than the month must not take it while it is written.
TEST(V1Data, CleanupNeverTakesTheFileBeingWritten) {
    tsup::ZoneGuard tz("Europe/Kyiv");
    tsup::TempDir d("v1current");
    for (const char *n : {"26120100.rph", "26120100.rnh", "2026120100.rph", "26110100.rph",
                          "26120900.rps", "26120900.rpm"})
        tsup::write_file(d / n, "x");
    // The 8th and the 9th: only November's hour file is old.
    EXPECT_EQ(1, trend_cleanup(d.path.c_str(), 7, 7, 7, tt::local_time(2026, 12, 8, 23, 59, 0)));
    EXPECT_FALSE(tsup::file_exists(d / "26110100.rph"));
    EXPECT_EQ(0, trend_cleanup(d.path.c_str(), 7, 7, 7, tt::local_time(2026, 12, 9, 23, 59, 0)));
    // The 31st with one day kept: the 9th's seconds and minutes go, December's hours stay.
    EXPECT_EQ(2, trend_cleanup(d.path.c_str(), 1, 1, 1, tt::local_time(2026, 12, 31, 23, 59, 0)));
    EXPECT_TRUE(tsup::file_exists(d / "26120100.rph"));
    EXPECT_TRUE(tsup::file_exists(d / "26120100.rnh"));
    EXPECT_TRUE(tsup::file_exists(d / "2026120100.rph"));
    // On the first of the next month December is done and old.
    EXPECT_EQ(3, trend_cleanup(d.path.c_str(), 7, 7, 7, tt::local_time(2027, 1, 1, 0, 30, 0)));
    EXPECT_TRUE(tsup::list_dir(d.path).empty());
}

}  // namespace
