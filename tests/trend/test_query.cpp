// The trend query over files written by the real recorder: values and
// statuses of both formats, break points, the trailing fill, a day that
// switched format, the point capacity across days, and bad requests.

#include <gtest/gtest.h>

#include "test_query_util.h"

namespace {

using tq::lt;
using tq::ms;

class QueryRecorded : public ::testing::TestWithParam<int> {};

TEST_P(QueryRecorded, ValuesStatusesBreaksAndTrailingFill) {
    tq::Zone zone;
    tq::Recorder rec(GetParam());
    // 11:59:50..12:00:00, then a gap of 5 s, then 12:00:05..12:00:10.
    rec.run(tq::at(2026, 3, 10, 11, 59, 50), tq::at(2026, 3, 10, 12, 0, 0));
    rec.run(tq::at(2026, 3, 10, 12, 0, 5), tq::at(2026, 3, 10, 12, 0, 10));
    tq::Result r;
    ASSERT_EQ(0, r.run(rec.trends, lt(2026, 3, 10, 11, 59, 55), lt(2026, 3, 10, 12, 0, 20),
                       {"A1", "a2", "A3", "D1", "D2", "A7", "D6"}, 8, 8));
    ASSERT_TRUE(r.ascending());
    // 6 rows + break + 6 rows + 10 trailing points (12:00:11..12:00:20).
    EXPECT_EQ(6u + 1 + 6 + 10, r->count);
    EXPECT_EQ(ms(2026, 3, 10, 11, 59, 55), r->times[0]);
    EXPECT_STREQ("a2", r->ch[1].name);

    long p = r.find(ms(2026, 3, 10, 11, 59, 57));
    ASSERT_GE(p, 0);
    double a1 = (double)(tq::at(2026, 3, 10, 11, 59, 57) % 1000);
    EXPECT_EQ(TQ_VALUE, r->ch[0].status[p]);
    EXPECT_EQ(a1, r->ch[0].values[p]);
    EXPECT_EQ(TQ_VALUE, r->ch[1].status[p]);
    EXPECT_FLOAT_EQ(50, (float)r->ch[1].values[p]);  // scaled from raw 500
    EXPECT_EQ(TQ_MISSING, r->ch[2].status[p]);       // bad sample
    EXPECT_EQ(0, r->ch[2].values[p]);
    EXPECT_EQ(TQ_VALUE, r->ch[3].status[p]);
    EXPECT_EQ((double)(tq::at(2026, 3, 10, 11, 59, 57) % 2), r->ch[3].values[p]);
    EXPECT_EQ(TQ_MISSING, r->ch[4].status[p]);  // packed code 3 / missing bit
    EXPECT_EQ(0, r->ch[4].values[p]);
    // Channels the recorder has no column for.
    EXPECT_EQ(TQ_NO_COLUMN, r->ch[5].status[p]);
    EXPECT_EQ(TQ_NO_COLUMN, r->ch[6].status[p]);
    EXPECT_EQ(1u, r->ch[0].has_data);
    EXPECT_EQ(0u, r->ch[2].has_data);
    EXPECT_EQ(0u, r->ch[5].has_data);

    // The 5 s gap gets a break point one second after the last row.
    long b = r.find(ms(2026, 3, 10, 12, 0, 1));
    ASSERT_GE(b, 0);
    for (int k = 0; k < 7; k++)
        EXPECT_EQ(TQ_MISSING, r->ch[k].status[b]) << k;
    EXPECT_EQ(ms(2026, 3, 10, 12, 0, 5), r->times[b + 1]);
    EXPECT_EQ(-1, r.find(ms(2026, 3, 10, 12, 0, 2)));

    // Into the future: missing points one second apart up to the end.
    EXPECT_EQ(ms(2026, 3, 10, 12, 0, 20), r->times[r->count - 1]);
    EXPECT_EQ(ms(2026, 3, 10, 12, 0, 11), r->times[r->count - 10]);
    EXPECT_EQ(TQ_MISSING, r->ch[0].status[r->count - 1]);
}

INSTANTIATE_TEST_SUITE_P(Formats, QueryRecorded,
                         ::testing::Values(TREND_FMT_V1_PACKED, TREND_FMT_V2));

TEST(Query, DaySwitchedFromVersion1ToVersion2IsMergedByTime) {
    tq::Zone zone;
    tq::Recorder v1(TREND_FMT_V1_PACKED), v2(TREND_FMT_V2);
    // Version 2 wrote the morning, version 1 the afternoon: the query reads
    // the version-1 file first, yet the times must ascend.
    v2.run(tq::at(2026, 3, 10, 9, 0, 0), tq::at(2026, 3, 10, 9, 0, 9));
    v1.run(tq::at(2026, 3, 10, 9, 0, 10), tq::at(2026, 3, 10, 9, 0, 19));
    for (const char *f : {"26031000.rps", "26031000.rns"})
        std::filesystem::copy_file(v1.trends + f, v2.trends + f);
    ASSERT_TRUE(tsup::file_exists(v2.trends + "26031000.rps"));
    ASSERT_TRUE(tsup::file_exists(v2.trends + "2026031000.rps"));
    tq::Result r;
    ASSERT_EQ(0, r.run(v2.trends, lt(2026, 3, 10, 9, 0, 0), lt(2026, 3, 10, 9, 0, 19), {"A1"}));
    ASSERT_EQ(20u, r->count);
    EXPECT_TRUE(r.ascending());
    for (uint32_t i = 0; i < r->count; i++) {
        EXPECT_EQ(TQ_VALUE, r->ch[0].status[i]) << i;  // no break at the switch
        EXPECT_EQ((double)((tq::at(2026, 3, 10, 9, 0, 0) + i) % 1000), r->ch[0].values[i]);
    }
}

TEST(Query, CapacityHoldsAcrossDaysAndFiles) {
    tq::Zone zone;
    tsup::TempDir d("qcap");
    // Two hand-made full days (one cell A1 + time), no sidecars.
    for (const char *name : {"26031000.rps", "26031100.rps"}) {
        std::vector<uint32_t> cells;
        cells.reserve(2 * 86400);
        for (uint32_t s = 0; s < 86400; s++) {
            cells.push_back(tq::fcell((float)s));
            cells.push_back(s * 1000);
        }
        tq::append_cells(d / name, cells);
    }
    tq::Result r;
    // A = 1, D = 1 makes two cells per row the first candidate.
    ASSERT_EQ(0, r.run(d.path, lt(2026, 3, 10, 12, 0, 0), lt(2026, 3, 11, 23, 0, 0), {"A1"}, 1, 1));
    EXPECT_EQ((uint32_t)TR_MAX_POINTS, r->count);
    EXPECT_TRUE(r.ascending());
    EXPECT_EQ(ms(2026, 3, 11, 11, 59, 59), r->times[r->count - 1]);
    EXPECT_EQ(43199.0, r->ch[0].values[r->count - 1]);
}

TEST(Query, BadRequestsAreRefused) {
    tq::Result r;
    std::vector<const char *> thirteen(13, "A1");
    EXPECT_EQ(-1,
              r.run("/nonexistent", lt(2026, 1, 1, 0, 0, 0), lt(2026, 1, 1, 0, 1, 0), thirteen));
    for (const char *bad : {"X5", "A0", "A", "D-1", "A1x", "A0000012", "A12345678"})
        EXPECT_EQ(-1,
                  r.run("/nonexistent", lt(2026, 1, 1, 0, 0, 0), lt(2026, 1, 1, 0, 1, 0), {bad}))
            << bad;
    struct tm a = lt(2026, 1, 1, 0, 0, 0);
    const char *n1[] = {"A1"};
    EXPECT_EQ(-1, trend_query(r.r.get(), "/nonexistent", 'm', &a, &a, n1, 1, 0, 0));
    char l;
    int n;
    ASSERT_TRUE(trend_query_parse_name("d007", &l, &n));
    EXPECT_EQ('D', l);
    EXPECT_EQ(7, n);
}

TEST(Query, VersionTwoSlotIsFoundForAnyNameSpelling) {
    tq::Zone zone;
    tq::Recorder rec(TREND_FMT_V2);
    rec.run(tq::at(2026, 3, 10, 8, 0, 0), tq::at(2026, 3, 10, 8, 0, 2));
    tq::Result r;
    ASSERT_EQ(
        0, r.run(rec.trends, lt(2026, 3, 10, 8, 0, 0), lt(2026, 3, 10, 8, 0, 2), {"a0002", "A02"}));
    ASSERT_EQ(3u, r->count);
    EXPECT_EQ(TQ_VALUE, r->ch[0].status[0]);
    EXPECT_FLOAT_EQ(50, (float)r->ch[0].values[0]);
    EXPECT_EQ(TQ_VALUE, r->ch[1].status[2]);
}

TEST(Query, HugeWindowStaysBoundedAndFillsFromItsStart) {
    tq::Zone zone;
    tq::Recorder rec(TREND_FMT_V2);
    rec.run(tq::at(2026, 3, 10, 8, 0, 0), tq::at(2026, 3, 10, 8, 0, 2));
    tq::Result r;
    // 1900..9000: the days with possible file names are visited once each.
    ASSERT_EQ(0, r.run(rec.trends, lt(1900, 1, 1, 0, 0, 0), lt(9000, 1, 1, 0, 0, 0), {"A1"}));
    EXPECT_EQ((uint32_t)TR_MAX_POINTS, r->count);
    EXPECT_EQ(ms(2026, 3, 10, 8, 0, 0), r->times[0]);
    EXPECT_EQ(TQ_VALUE, r->ch[0].status[2]);
    EXPECT_EQ(ms(2026, 3, 10, 8, 0, 3), r->times[3]);
    // An empty window (end before start) gives no point.
    ASSERT_EQ(0, r.run(rec.trends, lt(2026, 3, 10, 8, 0, 2), lt(2026, 3, 10, 8, 0, 1), {"A1"}));
    EXPECT_EQ(0u, r->count);
}

}  // namespace
