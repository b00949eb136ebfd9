// The trend query over hand-made and damaged files: row-width search
// without a sidecar, torn rows, another channel count, packed discretes
// from the sidecar's map, analog status cells, and files no reader should
// trust; plus the local-time helpers.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "test_query_util.h"
#include "tests/fuzz/corpus_files.h"
#include "tests/fuzz/trend_query_fuzz_driver.h"
#include "trend/trend_v1.h"

namespace {

using tq::lt;
using tq::ms;

// Unpacked row of the database layout: A analog cells, D discrete cells,
// time. Analog k holds k + s / 1000, discrete k holds k.
std::vector<uint32_t> unpacked_row(int A, int D, uint32_t t_ms) {
    std::vector<uint32_t> c;
    for (int k = 1; k <= A; k++)
        c.push_back(tq::fcell((float)k + (float)t_ms / 1e6f));
    for (int k = 1; k <= D; k++)
        c.push_back((uint32_t)k);
    c.push_back(t_ms);
    return c;
}

TEST(QueryFiles, WidthFoundWithoutSidecarAndTornRowIgnored) {
    tq::Zone zone;
    tsup::TempDir d("qwidth");
    std::vector<uint32_t> all;
    for (uint32_t s = 0; s < 600; s++) {
        auto row = unpacked_row(299, 511, s * 1000);
        all.insert(all.end(), row.begin(), row.end());
    }
    all.resize(all.size() - 7);  // torn last row
    tq::append_cells(d / "26031000.rps", all);
    long cells, tcol;
    ASSERT_TRUE(trend_detect_rps_params((d / "26031000.rps").c_str(), 299, 511, &cells, &tcol));
    EXPECT_EQ(811, cells);
    EXPECT_EQ(810, tcol);
    tq::Result r;
    ASSERT_EQ(0, r.run(d.path, lt(2026, 3, 10, 0, 0, 0), lt(2026, 3, 10, 0, 10, 0),
                       {"A299", "D511", "A1"}));
    // 599 whole rows, then the fill up to 00:10:00.
    ASSERT_EQ(601u, r->count);
    EXPECT_FLOAT_EQ(299.0f + 598 / 1000.0f, (float)r->ch[0].values[598]);
    EXPECT_EQ(511.0, r->ch[1].values[598]);
    EXPECT_EQ(TQ_MISSING, r->ch[0].status[599]);
    EXPECT_EQ(ms(2026, 3, 10, 0, 10, 0), r->times[600]);
}

TEST(QueryFiles, SidecarCountsAndMapWinOverTheCallersCounts) {
    tq::Zone zone;
    tsup::TempDir d("qmap");
    // Analogs 2 and 5, discretes 3, 5, 7 packed into one cell.
    trend_base b;
    trend_grow_an(&b, 8);
    trend_grow_di(&b, 8);
    for (int n : {2, 5})
        b.an[(size_t)n].present = 1;
    for (int n : {3, 5, 7})
        b.di[(size_t)n].present = 1;
    trend_cmap m;
    m.n_an = 2;
    m.an = {2, 5};
    m.n_di = 3;
    m.di = {3, 5, 7};
    ASSERT_EQ(0, trend_meta_create_rns((d / "26031000.rns").c_str(), &b, &m));
    // D3 on, D5 off, D7 bad (3); rest 3.
    uint32_t packed = 0xFFFFFFC0u | 1u | (0u << 2) | (3u << 4);
    std::vector<uint32_t> cells;
    for (uint32_t s = 0; s < 20; s++) {
        uint32_t a5 = s == 3 ? 1u : (s == 4 ? 6u : tq::fcell(5.5f));
        uint32_t p = s == 5 ? (packed & ~(3u << 4)) | (1u << 4) : packed;
        for (uint32_t c : {tq::fcell(2.25f), a5, p, s * 1000})
            cells.push_back(c);
    }
    tq::append_cells(d / "26031000.rps", cells);
    tq::Result r;
    ASSERT_EQ(0, r.run(d.path, lt(2026, 3, 10, 0, 0, 0), lt(2026, 3, 10, 0, 0, 19),
                       {"A2", "A5", "D3", "D5", "D7", "A1", "D1"}));
    ASSERT_EQ(20u, r->count);
    EXPECT_EQ(2.25, r->ch[0].values[0]);
    EXPECT_EQ(5.5, r->ch[1].values[0]);
    EXPECT_EQ(TQ_MISSING, r->ch[1].status[3]);  // cell 1: bad sample
    EXPECT_EQ(TQ_MISSING, r->ch[1].status[4]);  // cell 6: no data
    EXPECT_EQ(1.0, r->ch[2].values[0]);
    EXPECT_EQ(TQ_VALUE, r->ch[3].status[0]);
    EXPECT_EQ(0.0, r->ch[3].values[0]);
    EXPECT_EQ(TQ_MISSING, r->ch[4].status[0]);  // code 3 is bad, not the value 3
    EXPECT_EQ(0.0, r->ch[4].values[0]);
    EXPECT_EQ(TQ_VALUE, r->ch[4].status[5]);  // pair 2 of the first packed cell
    EXPECT_EQ(1.0, r->ch[4].values[5]);
    EXPECT_EQ(TQ_NO_COLUMN, r->ch[5].status[0]);
    EXPECT_EQ(TQ_NO_COLUMN, r->ch[6].status[0]);
}

TEST(QueryFiles, GapThresholdFollowsTheFilesSpacing) {
    tq::Zone zone;
    tsup::TempDir d("qgap");
    // Rows every 5 s: the threshold is 3 * 5000, so 13 s is no gap, 22 s is one.
    std::vector<uint32_t> cells;
    for (uint32_t t : {0u, 5u, 10u, 15u, 20u, 25u, 30u, 35u, 40u, 45u, 58u, 80u, 85u}) {
        auto row = unpacked_row(1, 1, t * 1000);
        cells.insert(cells.end(), row.begin(), row.end());
    }
    tq::append_cells(d / "26031000.rps", cells);
    tq::Result r;
    ASSERT_EQ(0, r.run(d.path, lt(2026, 3, 10, 0, 0, 0), lt(2026, 3, 10, 0, 1, 25), {"A1"}, 1, 1));
    EXPECT_EQ(-1, r.find(ms(2026, 3, 10, 0, 0, 46)));
    long b = r.find(ms(2026, 3, 10, 0, 0, 59));
    ASSERT_GE(b, 0);
    EXPECT_EQ(TQ_MISSING, r->ch[0].status[b]);
    EXPECT_EQ(ms(2026, 3, 10, 0, 1, 20), r->times[b + 1]);
}

TEST(QueryFiles, HostileFilesAreSkippedOrReadWithinBounds) {
    tq::Zone zone;
    tsup::TempDir d("qhostile");
    // A FIFO must not block, a directory is not a file, an empty file and
    // random bytes give no rows; the next day still reads.
    ASSERT_EQ(0, mkfifo((d / "26031000.rps").c_str(), 0600));
    ASSERT_EQ(0, mkdir((d / "2026031000.rps").c_str(), 0755));
    tsup::write_file(d / "26031100.rps", "");
    std::string junk;
    for (int i = 0; i < 4096; i++)
        junk.push_back((char)(i * 7919 % 251));
    tsup::write_file(d / "2026031100.rps", junk);
    // A sidecar claiming 32000 + 32000 columns over a short file.
    std::string side(90, '\0');
    side[78] = side[80] = (char)0x00;
    side[79] = side[81] = (char)0x7D;
    tsup::write_file(d / "26031200.rns", side + std::string(900, 'x'));
    tsup::write_file(d / "26031200.rps", junk);
    std::vector<uint32_t> ok = unpacked_row(1, 1, 1000);
    tq::append_cells(d / "26031300.rps", ok);
    tq::Result r;
    ASSERT_EQ(0, r.run(d.path, lt(2026, 3, 10, 0, 0, 0), lt(2026, 3, 13, 0, 0, 2), {"A1"}, 1, 1));
    EXPECT_TRUE(r.ascending());
    long p = r.find(ms(2026, 3, 13, 0, 0, 1));
    ASSERT_GE(p, 0);
    EXPECT_EQ(TQ_VALUE, r->ch[0].status[p]);
}

TEST(QueryFiles, FuzzCorpusReplaysCleanly) {
    tq::Zone zone;
    auto files = fuzz_corpus_files("trend_query");
    ASSERT_GE(files.size(), 5u);
    for (const auto &f : files) {
        SCOPED_TRACE(f);
        std::string data = fuzz_read_file(f);
        tq_fuzz::run_one(reinterpret_cast<const uint8_t *>(data.data()), data.size());
    }
}

TEST(TimeZone, FixedOffsetConversionsAndRefresh) {
    tsup::ZoneGuard z("XXX-3");
    tz_set_offset_min(180);
    struct tm t = lt(2026, 12, 31, 23, 30, 0);
    EXPECT_EQ(tq::at(2026, 12, 31, 23, 30, 0) - 3600, tz_local_tm_to_unix(&t));
    EXPECT_EQ((int64_t)tz_local_tm_to_unix(&t) * 1000, tz_local_tm_to_unix_ms(&t));
    struct tm back;
    tz_unix_to_local_tm(tz_local_tm_to_unix(&t), &back);
    EXPECT_EQ(23, back.tm_hour);
    EXPECT_EQ(30, back.tm_min);
    t.tm_mday = 32;
    tz_normalize_tm(&t);
    EXPECT_EQ(127, t.tm_year);
    EXPECT_EQ(0, t.tm_mon);
    EXPECT_EQ(1, t.tm_mday);
    // The server's refresh follows the system zone.
    tz_set_offset_min(0);
    EXPECT_TRUE(tz_refresh());
    EXPECT_EQ(3 * 3600, tz_offset_sec());
    EXPECT_FALSE(tz_refresh());
    tz_set_offset_min(0);
}

}  // namespace
