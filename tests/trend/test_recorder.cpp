// The recorder's per-tick logic driven by a test clock: which file and row
// every sample lands in across midnight, month end, both daylight-saving
// changes of Europe/Kyiv, a clock set back and a restart.

#include <gtest/gtest.h>

#include <math.h>

#include <functional>

#include "trend/trend_rec.h"
#include "trend/trend_v1r.h"
#include "trend/trend_v2.h"
#include "trend_test_util.h"

namespace {

using Values = std::function<void(time_t, trend_samples &)>;

struct Rec {
    tsup::TempDir dir{"rec"};
    trend_config cfg;
    std::unique_ptr<trend_recorder> rec;
    trend_samples s;
    std::string trends;

    explicit Rec(int fmt, int analogs = 4, int discretes = 4) {
        trends = dir / "Trends/";
        cfg.mainpath = trends;
        cfg.main_fmt = fmt;
        cfg.analogs = analogs;
        cfg.discrets = discretes;
        cfg.a_base_path = dir / "zqbridge.a.base";
        cfg.d_base_path = dir / "zqbridge.d.base";
        cfg.shm_names = {"/unused"};
        s.resize((uint32_t)analogs, (uint32_t)discretes);
        channels({{1, "Температура", "°C", 0, 0, 0, 200},
                  {2, "Тиск", "bar", 0, 1000, 0, 100},
                  {3, "Рівень", "m", 0, 0, 0, 10}},
                 {{1, "Насос"}, {2, "Клапан"}, {3, "Аварія"}});
    }
    void channels(const std::vector<tt::an_chan> &an, const std::vector<tt::di_chan> &di) {
        tsup::write_file(dir / "channels.json", tt::channels_json(an, di));
    }
    void start() {
        rec = std::make_unique<trend_recorder>();
        trend_base b;
        ASSERT_EQ(0, trend_base_read(&b, cfg.a_base_path.c_str(), cfg.d_base_path.c_str(),
                                     cfg.analogs, cfg.discrets));
        ASSERT_EQ(0, trend_rec_init(rec.get(), cfg, std::move(b)));
    }
    // Ticks every second of [from, to].
    void run(time_t from, time_t to, const Values &v) {
        for (time_t t = from; t <= to; t++) {
            v(t, s);
            trend_rec_tick(rec.get(), t, &s);
        }
    }
    std::string p(const char *name) const { return trends + name; }
};

// All good, fixed values: A1 = 10, A2 raw 500 (→ 50), A3 bad; D1 on, D2 off, D3 bad.
void fixed_values(time_t, trend_samples &s) {
    s.an_raw[1] = 10;
    s.an_q[1] = 1;
    s.an_raw[2] = 500;
    s.an_q[2] = 1;
    s.an_raw[3] = 7;
    s.an_q[3] = 0;
    s.di_val[1] = 1;
    s.di_q[1] = 1;
    s.di_val[2] = 0;
    s.di_q[2] = 1;
    s.di_val[3] = 1;
    s.di_q[3] = 0;
}

struct V1 {
    v1r_file v;
    FILE *f = nullptr;
    explicit V1(const std::string &path) {
        std::string err;
        EXPECT_EQ(0, v1r_open(path.c_str(), &v, -1, &err)) << path << ": " << err;
        f = fopen(path.c_str(), "rb");
    }
    ~V1() {
        if (f) fclose(f);
    }
    std::vector<uint32_t> row(long r) {
        std::vector<uint32_t> c;
        EXPECT_TRUE(v1r_read_row(f, &v, r, &c)) << "row " << r;
        return c;
    }
    // Analog column k of row r: value, or -1000 (bad) / -2000 (no data).
    double an(long r, int k) {
        double x = 0;
        int st = v1r_analog(&v, row(r).data(), k, &x);
        return st == V1_VALUE ? x : (st == V1_BAD ? -1000 : -2000);
    }
    double di(long r, int j) {
        double x = 0;
        return v1r_discrete(&v, row(r).data(), j, &x) == V1_VALUE ? x : -2000;
    }
};

TEST(RecorderV1, MidnightAndMonthEndLandInTheirFiles) {
    tsup::ZoneGuard tz("Europe/Kyiv");
    Rec r(TREND_FMT_V1_PACKED);
    r.start();
    r.run(tt::local_time(2026, 3, 31, 23, 58, 30), tt::local_time(2026, 4, 1, 0, 2, 10),
          fixed_values);

    // Seconds: 23:58:30 .. 23:59:59 in March's last day, then the new day.
    V1 sec(r.p("26033100.rps"));
    ASSERT_EQ(90, sec.v.rows);
    EXPECT_TRUE(sec.v.packed);
    EXPECT_EQ(4L * (3 + 1 + 1), sec.v.width);
    EXPECT_EQ((23 * 3600 + 58 * 60 + 30) * 1000, v1r_row_ms(&sec.v, sec.row(0).data(), 0));
    EXPECT_EQ(10, sec.an(0, 0));
    EXPECT_EQ(50, sec.an(0, 1));
    EXPECT_EQ(TREND_CELL_BAD, sec.row(0)[2]);
    // D1 on, D2 off, D3 bad; unused pairs are 3.
    EXPECT_EQ(0xFFFFFFF1u, sec.row(0)[3]);
    V1 sec2(r.p("26040100.rps"));
    EXPECT_EQ(131, sec2.v.rows);
    EXPECT_EQ(0, v1r_row_ms(&sec2.v, sec2.row(0).data(), 0));

    // Minutes: row 1438 (23:58) is the last of March 31; the minute ending at
    // midnight is not recorded; the new day has 00:00 and 00:01.
    V1 min(r.p("26033100.rpm"));
    ASSERT_EQ(1439, min.v.rows);
    EXPECT_EQ(10, min.an(1438, 0));
    EXPECT_EQ(50, min.an(1438, 1));
    EXPECT_EQ(-2000, min.an(1438, 2));
    EXPECT_EQ(1, min.di(1438, 0));
    EXPECT_EQ(0, min.di(1438, 1));
    EXPECT_EQ(-2000, min.di(1438, 2));
    EXPECT_EQ(-2000, min.an(0, 0));
    EXPECT_EQ(TREND_PACKED_EMPTY, min.row(17)[3]);
    V1 min2(r.p("26040100.rpm"));
    EXPECT_EQ(2, min2.v.rows);
    EXPECT_EQ(10, min2.an(0, 0));

    // Hours: the hour 23:00-24:00 of March 31 is the last row of March.
    V1 hour(r.p("26030100.rph"));
    ASSERT_EQ(744, hour.v.rows);
    EXPECT_FALSE(hour.v.packed);
    EXPECT_EQ(10, hour.an(743, 0));
    EXPECT_EQ(50, hour.an(743, 1));
    EXPECT_EQ(1, hour.di(743, 0));
    EXPECT_EQ(-2000, hour.an(742, 0));
    EXPECT_EQ(0, tsup::file_size(r.p("26040100.rph")));
    EXPECT_TRUE(tsup::file_exists(r.p("26040100.rnh")));
}

// Value = whole UTC minutes since t0, so each minute row is an exact integer.
Values minute_index(time_t t0) {
    return [t0](time_t t, trend_samples &s) {
        s.an_raw[1] = (double)((t - t0) / 60);
        s.an_q[1] = 1;
    };
}

TEST(RecorderV1, SpringForwardPadsTheMissingHour) {
    tsup::ZoneGuard tz("Europe/Kyiv");
    Rec r(TREND_FMT_V1_PACKED);
    r.start();
    time_t t0 = tt::local_time(2026, 3, 29, 2, 58, 0);
    time_t t1 = tt::local_time(2026, 3, 29, 4, 3, 0);
    ASSERT_EQ(5 * 60, t1 - t0);  // 03:00-04:00 does not exist
    r.run(t0, t1, minute_index(t0));

    V1 min(r.p("26032900.rpm"));
    ASSERT_EQ(243, min.v.rows);
    EXPECT_EQ(0, min.an(178, 0));
    EXPECT_EQ(1, min.an(179, 0));
    for (long row = 180; row < 240; row++)
        EXPECT_EQ(-2000, min.an(row, 0)) << row;
    EXPECT_EQ(2, min.an(240, 0));
    EXPECT_EQ(4, min.an(242, 0));

    V1 hour(r.p("26030100.rph"));
    ASSERT_EQ(28 * 24 + 2 + 1, hour.v.rows);
    EXPECT_EQ(0.5, hour.an(28 * 24 + 2, 0));

    V1 sec(r.p("26032900.rps"));
    EXPECT_EQ(5 * 60 + 1, sec.v.rows);
}

TEST(RecorderV1, AutumnRepeatedHourIsDroppedNotAppended) {
    tsup::ZoneGuard tz("Europe/Kyiv");
    Rec r(TREND_FMT_V1_PACKED);
    r.start();
    time_t t0 = tt::local_time(2026, 10, 25, 3, 58, 0, 1);  // summer time
    time_t t1 = tt::local_time(2026, 10, 25, 5, 3, 0, 0);
    ASSERT_EQ(125 * 60, t1 - t0);
    testing::internal::CaptureStdout();
    r.run(t0, t1, minute_index(t0));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("already written")) << out;

    V1 min(r.p("26102500.rpm"));
    ASSERT_EQ(5 * 60 + 2 + 1, min.v.rows);  // through 05:02
    EXPECT_EQ(0, min.an(238, 0));
    EXPECT_EQ(1, min.an(239, 0));
    EXPECT_EQ(62, min.an(240, 0));  // 04:00 winter time: rows stay in place
    EXPECT_EQ(124, min.an(302, 0));

    // The hour row of 03:xx covers both passes of the hour.
    V1 hour(r.p("26100100.rph"));
    EXPECT_EQ(30.5, hour.an(24 * 24 + 3, 0));

    // Seconds keep ascending: the repeated hour is not in the file.
    V1 sec(r.p("26102500.rps"));
    EXPECT_EQ(120 + 63 * 60 + 1, sec.v.rows);
    int64_t prev = -1;
    for (long i = 0; i < sec.v.rows; i++) {
        int64_t ms = v1r_row_ms(&sec.v, sec.row(i).data(), i);
        ASSERT_GT(ms, prev) << i;
        prev = ms;
    }
}

TEST(RecorderV1, ClockSetBackKeepsRowsAscending) {
    tsup::ZoneGuard tz("Europe/Kyiv");
    Rec r(TREND_FMT_V1_PACKED);
    r.start();
    time_t t = tt::local_time(2026, 6, 10, 12, 0, 0);
    r.run(t, t + 20, fixed_values);
    r.run(t + 10, t + 30, fixed_values);
    V1 sec(r.p("26061000.rps"));
    EXPECT_EQ(31, sec.v.rows);
    EXPECT_EQ((12 * 3600 + 30) * 1000, v1r_row_ms(&sec.v, sec.row(30).data(), 30));
}

TEST(RecorderV1, RestartKeepsTheLayoutOfTodaysFiles) {
    tsup::ZoneGuard tz("Europe/Kyiv");
    Rec r(TREND_FMT_V1_PACKED, 8, 8);
    r.start();
    time_t t = tt::local_time(2026, 6, 10, 11, 59, 50);
    r.run(t, t + 5, fixed_values);
    auto rns_before = tsup::read_bytes(r.p("26061000.rns"));

    // Channels added in the morning reach the files only tomorrow.
    r.channels({{1, "a", "", 0, 0, 0, 1},
                {2, "b", "", 0, 0, 0, 1},
                {3, "c", "", 0, 0, 0, 1},
                {5, "e", "", 0, 0, 0, 1}},
               {{1, "x"}, {2, "y"}, {3, "z"}, {4, "w"}});
    testing::internal::CaptureStdout();
    r.start();
    r.run(t + 30, t + 75, fixed_values);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("layout заморожено")) << out;
    EXPECT_EQ(rns_before, tsup::read_bytes(r.p("26061000.rns")));
    V1 sec(r.p("26061000.rps"));
    EXPECT_EQ(6 + 46, sec.v.rows);
    EXPECT_EQ(0, sec.v.size % sec.v.width);
    V1 min(r.p("26061000.rpm"));
    EXPECT_EQ(721, min.v.rows);  // 12:00 written at 12:01:00, after padding

    r.run(tt::local_time(2026, 6, 11, 0, 0, 0), tt::local_time(2026, 6, 11, 0, 0, 1), fixed_values);
    trend_cmap m;
    ASSERT_EQ(1, trend_meta_load_colmap(r.p("26061100.rns").c_str(), &m));
    EXPECT_EQ((std::vector<int>{1, 2, 3, 5}), m.an);
    EXPECT_EQ(4, m.n_di);
}

TEST(RecorderV1, DiscreteOnlyProject) {
    tsup::ZoneGuard tz("UTC");
    Rec r(TREND_FMT_V1_PACKED, 1, 18);
    std::vector<tt::di_chan> di;
    for (int n = 1; n <= 17; n++)
        di.push_back({n, "d"});
    r.channels({}, di);
    r.start();
    time_t t = tt::local_time(2026, 6, 10, 8, 0, 30);
    r.run(t, t + 60, [](time_t tt_, trend_samples &s) {
        for (int n = 1; n <= 17; n++) {
            s.di_val[(size_t)n] = n == 17 ? 0 : (tt_ % 2);
            s.di_q[(size_t)n] = 1;
        }
    });
    V1 sec(r.p("26061000.rps"));
    ASSERT_EQ(12, sec.v.width);  // 0 analog + 2 packed + time
    EXPECT_EQ(0xFFFFFFFCu, sec.row(0)[1]);
    V1 min(r.p("26061000.rpm"));
    ASSERT_EQ(481, min.v.rows);
    // 30 seconds of 08:00, half of them on: 0.5 rounds up to 1.
    EXPECT_EQ(1, min.di(480, 0));
    EXPECT_EQ(0, min.di(480, 16));
}

TEST(RecorderV1, ScalingUsesThePhysicalRangeOnlyWhenTheCodeRangeIsSet) {
    tsup::ZoneGuard tz("UTC");
    Rec r(TREND_FMT_V1_PACKED);
    r.start();
    time_t t = tt::local_time(2026, 6, 10, 8, 0, 0);
    r.run(t, t, [](time_t, trend_samples &s) {
        s.an_raw[1] = 123.25;  // code_min = code_max: unconverted
        s.an_q[1] = 1;
        s.an_raw[2] = 250;  // 0..1000 → 0..100
        s.an_q[2] = 1;
    });
    V1 sec(r.p("26061000.rps"));
    EXPECT_EQ(123.25, sec.an(0, 0));
    EXPECT_EQ(25, sec.an(0, 1));
}

TEST(RecorderV1, NanSamplesAreBadNotAveraged) {
    tsup::ZoneGuard tz("UTC");
    Rec r(TREND_FMT_V1_PACKED);
    r.start();
    time_t t = tt::local_time(2026, 6, 10, 8, 0, 0);
    r.run(t, t + 60, [t](time_t now, trend_samples &s) {
        s.an_raw[1] = now - t < 10 ? NAN : 4.0;
        s.an_q[1] = 1;
    });
    V1 sec(r.p("26061000.rps"));
    EXPECT_EQ(-1000, sec.an(0, 0));
    EXPECT_EQ(4, sec.an(10, 0));
    V1 min(r.p("26061000.rpm"));
    EXPECT_EQ(4, min.an(480, 0));
}

// Version 2: raw values in native widths, averages, and the hour row of
// 23:00-24:00 in the file of the day it belongs to.
TEST(RecorderV2, RowsAveragesAndTheLastHourOfTheDay) {
    tsup::ZoneGuard tz("Europe/Kyiv");
    Rec r(TREND_FMT_V2);
    r.start();
    auto vals = [](time_t t, trend_samples &s) {
        s.an_vt[1] = 0xC3;  // INT
        s.an_vt[2] = 0xCA;  // REAL → f32
        s.an_vt[3] = 0xC4;  // DINT → LREAL averages
        s.an_raw[1] = (double)(t % 100) - 50;
        s.an_q[1] = 1;
        s.an_raw[2] = 500;
        s.an_q[2] = 1;
        s.an_raw[3] = 100000;
        s.an_q[3] = (t % 2) ? 1 : 0;
        s.di_val[1] = 1;
        s.di_q[1] = 1;
        s.di_q[2] = 0;
    };
    time_t t0 = tt::local_time(2026, 5, 4, 23, 59, 0);
    r.run(t0, tt::local_time(2026, 5, 5, 0, 1, 0), vals);

    FILE *f = fopen(r.p("2026050400.rps").c_str(), "rb");
    ASSERT_TRUE(f);
    v2r_file v;
    ASSERT_EQ(0, v2r_parse(f, &v));
    EXPECT_EQ('s', v.kind);
    EXPECT_EQ(20260504u, v.date);
    EXPECT_EQ(60, v2r_row_count(f, &v));
    int a1 = v2r_find_slot(&v, "A1"), a3 = v2r_find_slot(&v, "A3"), d2 = v2r_find_slot(&v, "D2");
    ASSERT_EQ(0, a1);
    EXPECT_EQ(0xC3, v.slots[(size_t)a1].s.vtype);
    std::vector<uint8_t> row((size_t)v.row_size);
    for (long k = 0; k < 60; k++) {
        ASSERT_EQ(0, fseeko(f, v.header_size + k * v.row_size, SEEK_SET));
        ASSERT_EQ(row.size(), fread(row.data(), 1, row.size(), f));
        time_t t = t0 + k;
        uint32_t ms;
        memcpy(&ms, row.data(), 4);
        EXPECT_EQ((uint32_t)(23 * 3600 + 59 * 60 + k) * 1000u, ms);
        EXPECT_EQ((double)(t % 100) - 50, v2r_col(&v.slots[(size_t)a1], row.data()));
        EXPECT_EQ(t % 2 == 0, v2r_missing(&v, row.data(), a3));
        EXPECT_TRUE(v2r_missing(&v, row.data(), d2));
    }
    fclose(f);

    // Minute 23:59 ends at midnight: not recorded. The hour row of 23:00
    // goes to May 4th's hour file.
    EXPECT_EQ(1, [&] {
        FILE *h = fopen(r.p("2026050400.rph").c_str(), "rb");
        v2r_file hv;
        long n = (h && v2r_parse(h, &hv) == 0) ? v2r_row_count(h, &hv) : -1;
        if (n == 1) {
            std::vector<uint8_t> hr((size_t)hv.row_size);
            fseeko(h, hv.header_size, SEEK_SET);
            EXPECT_EQ(hr.size(), fread(hr.data(), 1, hr.size(), h));
            uint32_t ms;
            memcpy(&ms, hr.data(), 4);
            EXPECT_EQ(23u * 3600000u, ms);
            int s3 = v2r_find_slot(&hv, "A3");
            EXPECT_EQ(0xCB, hv.slots[(size_t)s3].s.vtype);
            EXPECT_EQ(100000.0, v2r_col(&hv.slots[(size_t)s3], hr.data()));
            int s1 = v2r_find_slot(&hv, "D1");
            EXPECT_EQ(1.0, v2r_col(&hv.slots[(size_t)s1], hr.data()));
        }
        if (h) fclose(h);
        return n;
    }());
    FILE *m = fopen(r.p("2026050400.rpm").c_str(), "rb");
    v2r_file mv;
    ASSERT_EQ(0, v2r_parse(m, &mv));
    EXPECT_EQ(0, v2r_row_count(m, &mv));
    fclose(m);
    m = fopen(r.p("2026050500.rpm").c_str(), "rb");
    ASSERT_EQ(0, v2r_parse(m, &mv));
    EXPECT_EQ(1, v2r_row_count(m, &mv));
    fclose(m);
}

TEST(RecorderV2, ReloadActivatesANewChannelInASpareSlot) {
    tsup::ZoneGuard tz("UTC");
    Rec r(TREND_FMT_V2, 8, 4);
    r.start();
    time_t t = tt::local_time(2026, 5, 4, 10, 0, 0);
    auto vals = [](time_t, trend_samples &s) {
        for (int n = 1; n < 8; n++) {
            s.an_raw[(size_t)n] = n * 1.5;
            s.an_q[(size_t)n] = 1;
        }
    };
    r.run(t, t + 2, vals);
    r.channels({{1, "a", "", 0, 0, 0, 1},
                {2, "Тиск нова назва", "kPa", 0, 1000, 0, 100},
                {3, "c", "", 0, 0, 0, 1},
                {6, "new", "", 0, 0, 0, 1}},
               {{1, "x"}, {2, "y"}, {3, "z"}});
    r.rec->reload_req = true;
    testing::internal::CaptureStdout();
    r.run(t + 3, t + 4, vals);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("new channel A6 activated in spare slot 6")) << out;
    EXPECT_NE(std::string::npos, out.find("Base reloaded (SIGUSR1)")) << out;

    for (const char *name : {"2026050400.rps", "2026050400.rpm", "2026050400.rph"}) {
        FILE *f = fopen(r.p(name).c_str(), "rb");
        v2r_file v;
        ASSERT_EQ(0, v2r_parse(f, &v)) << name;
        EXPECT_EQ(6, v2r_find_slot(&v, "A6")) << name;
        EXPECT_STREQ("kPa", v.slots[1].s.units) << name;
        if (std::string(name).find("rps") != std::string::npos) {
            std::vector<uint8_t> row((size_t)v.row_size);
            fseeko(f, v.header_size + 4L * v.row_size, SEEK_SET);
            ASSERT_EQ(row.size(), fread(row.data(), 1, row.size(), f));
            EXPECT_FALSE(v2r_missing(&v, row.data(), 6));
            EXPECT_EQ(9.0, v2r_col(&v.slots[6], row.data()));
            fseeko(f, v.header_size, SEEK_SET);
            ASSERT_EQ(row.size(), fread(row.data(), 1, row.size(), f));
            EXPECT_TRUE(v2r_missing(&v, row.data(), 6));
        }
        fclose(f);
    }
}

TEST(RecorderV2, RestartKeepsTodaysSlots) {
    tsup::ZoneGuard tz("UTC");
    for (bool sec : {true, false}) {
        Rec r(TREND_FMT_V2, 8, 4);
        r.cfg.sec = sec;
        r.start();
        time_t t = tt::local_time(2026, 5, 4, 10, 0, 30);
        r.run(t, t + 40, fixed_values);
        // A channel added before the restart must not move today's columns.
        r.channels({{1, "a", "", 0, 0, 0, 1}, {4, "new", "", 0, 0, 0, 1}}, {{1, "x"}});
        testing::internal::CaptureStdout();
        r.start();
        r.run(t + 50, t + 100, fixed_values);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos, out.find("з сьогоднішнього файла")) << out;
        EXPECT_FALSE(tsup::file_exists(r.p("2026050400.rpm.old1")));
        FILE *f = fopen(r.p("2026050400.rpm").c_str(), "rb");
        v2r_file v;
        ASSERT_EQ(0, v2r_parse(f, &v));
        EXPECT_EQ(2, v2r_row_count(f, &v)) << sec;  // 10:00 and 10:01
        EXPECT_EQ(1, v2r_find_slot(&v, "A2"));
        fclose(f);
    }
}

TEST(RecorderSchedule, SleepsTicksCatchesUpAndResynchronises) {
    int64_t next = 0;
    int sleep_ms = 0;
    time_t tick = 0;
    bool jumped = false;
    // First call: wait for the next whole second.
    EXPECT_FALSE(trend_sched_step(&next, 1000400, &sleep_ms, &tick, &jumped));
    EXPECT_EQ(250, sleep_ms);
    EXPECT_FALSE(trend_sched_step(&next, 1000900, &sleep_ms, &tick, &jumped));
    EXPECT_EQ(100, sleep_ms);
    EXPECT_TRUE(trend_sched_step(&next, 1001000, &sleep_ms, &tick, &jumped));
    EXPECT_EQ(1001, tick);
    EXPECT_FALSE(jumped);

    // Forward by 10 s: ten immediate ticks, one per missed second.
    int ticks = 0;
    while (trend_sched_step(&next, 1012000, &sleep_ms, &tick, &jumped)) {
        EXPECT_FALSE(jumped);
        if (++ticks > 20) break;
    }
    EXPECT_EQ(11, ticks);
    EXPECT_EQ(1012, tick);

    // Set back by 10 s: resynchronise to the current second.
    EXPECT_TRUE(trend_sched_step(&next, 1003000, &sleep_ms, &tick, &jumped));
    EXPECT_TRUE(jumped);
    EXPECT_EQ(1003, tick);

    // A boot in 2000 corrected by NTP: no replay of decades.
    next = 946684800 + 1;
    EXPECT_TRUE(trend_sched_step(&next, 1780000000500LL, &sleep_ms, &tick, &jumped));
    EXPECT_TRUE(jumped);
    EXPECT_EQ(1780000000, tick);
    EXPECT_FALSE(trend_sched_step(&next, 1780000000600LL, &sleep_ms, &tick, &jumped));
}

}  // namespace
