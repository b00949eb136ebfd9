// Periods and cron schedules in Europe/Kyiv local time: midnight, month and
// year ends, and both daylight-saving changes (2026-03-29 03:00 -> 04:00,
// 2026-10-25 04:00 -> 03:00).

#include <gtest/gtest.h>

#include <string>

#include "calc/calc_host.h"
#include "calc/calc_period.h"

namespace {

constexpr int64_t kHour = 3600000;
constexpr int64_t kDay = 24 * kHour;

struct period_fixture : ::testing::Test {
    calc_period_cfg cfg;
    void SetUp() override {
        setenv("TZ", "Europe/Kyiv", 1);
        tzset();
    }
    int64_t start(int kind, int64_t t) { return calc_period_start(kind, t, &cfg); }
    int64_t end(int kind, int64_t s) { return calc_period_end(kind, s, &cfg); }
};

TEST_F(period_fixture, ShiftAndDayAroundTheAnchor) {
    EXPECT_EQ(start(CALC_PERIOD_SHIFT, calc_host_local_ms(2026, 3, 10, 7, 59)),
              calc_host_local_ms(2026, 3, 9, 20, 0));
    EXPECT_EQ(start(CALC_PERIOD_SHIFT, calc_host_local_ms(2026, 3, 10, 8, 0)),
              calc_host_local_ms(2026, 3, 10, 8, 0));
    EXPECT_EQ(start(CALC_PERIOD_SHIFT, calc_host_local_ms(2026, 3, 10, 19, 59, 59)),
              calc_host_local_ms(2026, 3, 10, 8, 0));
    EXPECT_EQ(start(CALC_PERIOD_DAY, calc_host_local_ms(2026, 3, 10, 7, 59)),
              calc_host_local_ms(2026, 3, 9, 8, 0));
    EXPECT_EQ(start(CALC_PERIOD_DAY, calc_host_local_ms(2026, 3, 10, 8, 0)),
              calc_host_local_ms(2026, 3, 10, 8, 0));
    // across local midnight the night shift and the day go on
    EXPECT_EQ(start(CALC_PERIOD_SHIFT, calc_host_local_ms(2026, 3, 10, 0, 0)),
              calc_host_local_ms(2026, 3, 9, 20, 0));
    EXPECT_EQ(start(CALC_PERIOD_SHIFT, calc_host_local_ms(2026, 3, 9, 23, 59)),
              calc_host_local_ms(2026, 3, 9, 20, 0));
    EXPECT_EQ(end(CALC_PERIOD_SHIFT, calc_host_local_ms(2026, 3, 9, 20, 0)),
              calc_host_local_ms(2026, 3, 10, 8, 0));
    EXPECT_EQ(end(CALC_PERIOD_DAY, calc_host_local_ms(2026, 3, 9, 8, 0)),
              calc_host_local_ms(2026, 3, 10, 8, 0));

    cfg.anchor_min = 6 * 60 + 30;
    cfg.shift_h = 8;
    EXPECT_EQ(start(CALC_PERIOD_SHIFT, calc_host_local_ms(2026, 3, 10, 14, 29)),
              calc_host_local_ms(2026, 3, 10, 6, 30));
    EXPECT_EQ(start(CALC_PERIOD_SHIFT, calc_host_local_ms(2026, 3, 10, 14, 30)),
              calc_host_local_ms(2026, 3, 10, 14, 30));
    EXPECT_EQ(start(CALC_PERIOD_SHIFT, calc_host_local_ms(2026, 3, 10, 22, 30)),
              calc_host_local_ms(2026, 3, 10, 22, 30));
    EXPECT_EQ(start(CALC_PERIOD_SHIFT, calc_host_local_ms(2026, 3, 10, 6, 29)),
              calc_host_local_ms(2026, 3, 9, 22, 30));
    // midnight anchor, one shift a day; a shift length that does not divide 24 counts as 12
    cfg.anchor_min = 0;
    cfg.shift_h = 24;
    EXPECT_EQ(start(CALC_PERIOD_SHIFT, calc_host_local_ms(2026, 3, 10, 23, 59)),
              calc_host_local_ms(2026, 3, 10, 0, 0));
    cfg.shift_h = 5;
    EXPECT_EQ(start(CALC_PERIOD_SHIFT, calc_host_local_ms(2026, 3, 10, 13, 0)),
              calc_host_local_ms(2026, 3, 10, 12, 0));
}

TEST_F(period_fixture, DecadesAndMonthEnds) {
    // days 1..10 belong to the decade that starts on the 1st at the anchor time
    EXPECT_EQ(start(CALC_PERIOD_DECADE, calc_host_local_ms(2026, 3, 5, 7, 0)),
              calc_host_local_ms(2026, 3, 1, 8, 0));
    // only the 1st before the anchor belongs to the previous month's third decade
    EXPECT_EQ(start(CALC_PERIOD_DECADE, calc_host_local_ms(2026, 3, 1, 7, 59)),
              calc_host_local_ms(2026, 2, 21, 8, 0));
    EXPECT_EQ(start(CALC_PERIOD_DECADE, calc_host_local_ms(2026, 3, 11, 7, 59)),
              calc_host_local_ms(2026, 3, 1, 8, 0));
    EXPECT_EQ(start(CALC_PERIOD_DECADE, calc_host_local_ms(2026, 3, 21, 7, 59)),
              calc_host_local_ms(2026, 3, 11, 8, 0));
    EXPECT_EQ(start(CALC_PERIOD_DECADE, calc_host_local_ms(2026, 3, 31, 23, 59)),
              calc_host_local_ms(2026, 3, 21, 8, 0));
    // the third decade of February ends on 1 March: eight days in 2026
    int64_t feb = calc_host_local_ms(2026, 2, 21, 8, 0);
    EXPECT_EQ(end(CALC_PERIOD_DECADE, feb), calc_host_local_ms(2026, 3, 1, 8, 0));
    EXPECT_EQ(end(CALC_PERIOD_DECADE, feb) - feb, 8 * kDay);
    EXPECT_EQ(end(CALC_PERIOD_DECADE, calc_host_local_ms(2026, 1, 21, 8, 0)),
              calc_host_local_ms(2026, 2, 1, 8, 0));
    EXPECT_EQ(end(CALC_PERIOD_DECADE, calc_host_local_ms(2026, 3, 11, 8, 0)),
              calc_host_local_ms(2026, 3, 21, 8, 0));
    // over the year end
    EXPECT_EQ(start(CALC_PERIOD_DECADE, calc_host_local_ms(2027, 1, 1, 7, 0)),
              calc_host_local_ms(2026, 12, 21, 8, 0));
    EXPECT_EQ(end(CALC_PERIOD_DECADE, calc_host_local_ms(2026, 12, 21, 8, 0)),
              calc_host_local_ms(2027, 1, 1, 8, 0));
    EXPECT_EQ(start(CALC_PERIOD_DAY, calc_host_local_ms(2027, 1, 1, 7, 0)),
              calc_host_local_ms(2026, 12, 31, 8, 0));
    EXPECT_EQ(start(CALC_PERIOD_SHIFT, calc_host_local_ms(2026, 4, 1, 0, 30)),
              calc_host_local_ms(2026, 3, 31, 20, 0));
}

TEST_F(period_fixture, DaylightSavingChangesStretchPeriods) {
    int64_t tick[CX_TICK_SLOTS] = {};
    // spring: the night shift and the day lose an hour
    tick[0] = calc_host_local_ms(2026, 3, 29, 5, 0);
    calc_period_fill(tick, &cfg);
    EXPECT_EQ(tick[2], calc_host_local_ms(2026, 3, 28, 20, 0));
    EXPECT_EQ(tick[5], 11 * kHour);
    EXPECT_EQ(tick[3], calc_host_local_ms(2026, 3, 28, 8, 0));
    EXPECT_EQ(tick[6], 23 * kHour);
    EXPECT_EQ(tick[4], calc_host_local_ms(2026, 3, 21, 8, 0));
    EXPECT_EQ(tick[7], 11 * kDay - kHour);
    // the local hour that does not exist still belongs to the night shift
    EXPECT_EQ(start(CALC_PERIOD_SHIFT, calc_host_local_ms(2026, 3, 29, 2, 59) + 60000),
              calc_host_local_ms(2026, 3, 28, 20, 0));
    // autumn: an hour longer
    tick[0] = calc_host_local_ms(2026, 10, 25, 5, 0);
    calc_period_fill(tick, &cfg);
    EXPECT_EQ(tick[2], calc_host_local_ms(2026, 10, 24, 20, 0));
    EXPECT_EQ(tick[5], 13 * kHour);
    EXPECT_EQ(tick[6], 25 * kHour);
    // the day shift after each change is a plain 12 hours
    tick[0] = calc_host_local_ms(2026, 10, 25, 9, 0);
    calc_period_fill(tick, &cfg);
    EXPECT_EQ(tick[5], 12 * kHour);
}

// Every instant belongs to exactly one period, and periods follow each
// other without gaps, across both changes, month ends and odd anchors.
TEST_F(period_fixture, PeriodsTileTheTimeline) {
    const int anchors[] = {0, 8 * 60, 3 * 60 + 30, 6 * 60 + 30, 23 * 60 + 45};
    const int shifts[] = {8, 12, 24};
    const int64_t windows[] = {
        calc_host_local_ms(2026, 3, 28, 0, 0), calc_host_local_ms(2026, 10, 24, 0, 0),
        calc_host_local_ms(2026, 2, 27, 0, 0), calc_host_local_ms(2026, 12, 31, 0, 0)};
    for (int a : anchors)
        for (int h : shifts) {
            cfg.anchor_min = a;
            cfg.shift_h = h;
            for (int64_t w : windows)
                for (int64_t t = w; t < w + 3 * kDay; t += 7 * 60000) {
                    for (int kind = 0; kind < 3; kind++) {
                        int64_t s = start(kind, t);
                        int64_t e = end(kind, s);
                        ASSERT_LE(s, t) << a << " " << h << " " << kind << " " << t;
                        ASSERT_GT(e, t) << a << " " << h << " " << kind << " " << t;
                        ASSERT_EQ(start(kind, e), e) << a << " " << h << " " << kind << " " << t;
                    }
                }
        }
}

TEST_F(period_fixture, AnchorReferenceAndShiftNumber) {
    int m = -1;
    EXPECT_EQ(calc_period_parse_anchor("08:00", &m), 0);
    EXPECT_EQ(m, 480);
    EXPECT_EQ(calc_period_parse_anchor("2026-01-05 8:30", &m), 0);
    EXPECT_EQ(m, 510);
    EXPECT_EQ(calc_period_parse_anchor("зміна з 23:59", &m), 0);
    EXPECT_EQ(m, 1439);
    m = 7;
    EXPECT_EQ(calc_period_parse_anchor("24:00", &m), -1);
    EXPECT_EQ(calc_period_parse_anchor("12:60", &m), -1);
    EXPECT_EQ(calc_period_parse_anchor("8", &m), -1);
    EXPECT_EQ(calc_period_parse_anchor("99999999999:1", &m), -1);
    EXPECT_EQ(calc_period_parse_anchor("", &m), -1);
    EXPECT_EQ(m, 7);

    int64_t ref = 1;
    EXPECT_EQ(calc_period_parse_ref("2026-01-05 08:00", 480, &ref), 0);
    EXPECT_EQ(ref, calc_host_local_ms(2026, 1, 5, 8, 0));
    EXPECT_EQ(calc_period_parse_ref("1970-01-01", 480, &ref), -1);
    EXPECT_EQ(ref, 0);
    EXPECT_EQ(calc_period_parse_ref("2026-13-01", 480, &ref), -1);
    EXPECT_EQ(calc_period_parse_ref("08:00", 480, &ref), -1);

    cfg.ref_ms = calc_host_local_ms(2026, 1, 5, 8, 0);
    EXPECT_EQ(calc_shift_index(calc_host_local_ms(2026, 1, 5, 9, 0), &cfg), 0);
    EXPECT_EQ(calc_shift_index(calc_host_local_ms(2026, 1, 5, 21, 0), &cfg), 1);
    EXPECT_EQ(calc_shift_index(calc_host_local_ms(2026, 1, 4, 21, 0), &cfg), -1);
    EXPECT_EQ(calc_shift_index(calc_host_local_ms(2026, 1, 5, 7, 0), &cfg), -1);
    // 84 days later, after the spring change, the count is still whole
    EXPECT_EQ(calc_shift_index(calc_host_local_ms(2026, 3, 30, 9, 0), &cfg), 168);
    EXPECT_EQ(calc_shift_index(calc_host_local_ms(2026, 10, 26, 9, 0), &cfg), 2 * 294);
    cfg.ref_ms = 0;
    int64_t a = calc_shift_index(calc_host_local_ms(2026, 3, 10, 9, 0), &cfg);
    EXPECT_EQ(calc_shift_index(calc_host_local_ms(2026, 3, 10, 21, 0), &cfg), a + 1);
    cfg.shift_h = 0;
    EXPECT_EQ(calc_shift_index(calc_host_local_ms(2026, 3, 10, 21, 0), &cfg), 0);
}

struct tm local_tm(int y, int mo, int d, int h, int mi) {
    time_t t = static_cast<time_t>(calc_host_local_ms(y, mo, d, h, mi) / 1000);
    struct tm lt;
    localtime_r(&t, &lt);
    return lt;
}

TEST_F(period_fixture, CronParsing) {
    cron_t c;
    char err[128];
    ASSERT_EQ(cron_parse("*/15 * * * *", &c, err, sizeof err), 0);
    EXPECT_EQ(c.kind, CRON_FIELDS);
    EXPECT_EQ(c.min_mask, (1ull << 0) | (1ull << 15) | (1ull << 30) | (1ull << 45));
    EXPECT_EQ(c.dom_star, 1);
    ASSERT_EQ(cron_parse("5/15 * * * *", &c, err, sizeof err), 0);
    EXPECT_EQ(c.min_mask, (1ull << 5) | (1ull << 20) | (1ull << 35) | (1ull << 50));
    ASSERT_EQ(cron_parse("  0 8 * * 7 \n", &c, err, sizeof err), 0);
    EXPECT_EQ(c.dow_mask, 1);
    EXPECT_EQ(c.dow_star, 0);
    ASSERT_EQ(cron_parse("0-10/5,30 6-18/6 1,15 1-12/3 1-5", &c, err, sizeof err), 0);
    EXPECT_EQ(c.min_mask, (1ull << 0) | (1ull << 5) | (1ull << 10) | (1ull << 30));
    EXPECT_EQ(c.hour_mask, (1u << 6) | (1u << 12) | (1u << 18));
    EXPECT_EQ(c.dom_mask, (1u << 1) | (1u << 15));
    EXPECT_EQ(c.mon_mask, (1u << 1) | (1u << 4) | (1u << 7) | (1u << 10));
    EXPECT_EQ(c.dow_mask, 0b111110);
    ASSERT_EQ(cron_parse("*/2 * */1 * *", &c, err, sizeof err), 0);
    EXPECT_EQ(c.dom_star, 1);  // a star with step 1 counts as a star
    ASSERT_EQ(cron_parse("0 * */2 * *", &c, err, sizeof err), 0);
    EXPECT_EQ(c.dom_star, 0);

    const struct {
        const char *text;
        int kind;
    } presets[] = {{"@hourly", CRON_HOURLY},
                   {"@shift", CRON_SHIFT},
                   {"@daily", CRON_DAILY},
                   {"@decade", CRON_DECADE}};
    for (const auto &p : presets) {
        ASSERT_EQ(cron_parse(p.text, &c, err, sizeof err), 0) << p.text;
        EXPECT_EQ(c.kind, p.kind);
        struct tm lt = local_tm(2026, 3, 10, 8, 0);
        EXPECT_EQ(cron_match(&c, &lt), 0);  // presets fire on boundaries, never here
    }

    const struct {
        const char *text;
        const char *msg;
    } bad[] = {
        {"", "порожній розклад"},
        {"   ", "порожній розклад"},
        {"@weekly", "невідомий пресет (@shift/@daily/@hourly/@decade)"},
        {"@Daily", "невідомий пресет (@shift/@daily/@hourly/@decade)"},
        {"0 8 * *", "cron: потрібно 5 полів (хв год день міс дн_тижня)"},
        {"0 8 * * * *", "cron: потрібно 5 полів (хв год день міс дн_тижня)"},
        {"61 * * * *", "cron: поле хвилин"},
        {"*/0 * * * *", "cron: поле хвилин"},
        {"a * * * *", "cron: поле хвилин"},
        {"1, * * * *", "cron: поле хвилин"},
        {"0 24 * * *", "cron: поле годин"},
        {"0 5-3 * * *", "cron: поле годин"},
        {"0 0 0 * *", "cron: поле дня місяця"},
        {"0 0 32 * *", "cron: поле дня місяця"},
        {"0 0 * 13 *", "cron: поле місяця"},
        {"0 0 * 0 *", "cron: поле місяця"},
        {"0 0 * * 8", "cron: поле дня тижня"},
        {"0 0 * * -1", "cron: поле дня тижня"},
        {"0 0 * * 99999999999", "cron: поле дня тижня"},
    };
    for (const auto &b : bad) {
        EXPECT_EQ(cron_parse(b.text, &c, err, sizeof err), -1) << b.text;
        EXPECT_STREQ(err, b.msg) << b.text;
    }
    std::string huge(1000, '1');
    EXPECT_EQ(cron_parse(huge.c_str(), &c, err, sizeof err), -1);
}

TEST_F(period_fixture, CronMatching) {
    cron_t c;
    char err[128];
    // Sundays at 08:00 (weekday 7)
    ASSERT_EQ(cron_parse("0 8 * * 7", &c, err, sizeof err), 0);
    struct tm sun = local_tm(2026, 3, 29, 8, 0);  // the spring change day
    EXPECT_EQ(cron_match(&c, &sun), 1);
    struct tm sat = local_tm(2026, 3, 28, 8, 0);
    EXPECT_EQ(cron_match(&c, &sat), 0);
    struct tm sun1 = local_tm(2026, 3, 29, 8, 1);
    EXPECT_EQ(cron_match(&c, &sun1), 0);
    // day of month 1 and 15 or any Monday
    ASSERT_EQ(cron_parse("0 0 1,15 * 1", &c, err, sizeof err), 0);
    int hits = 0;
    for (int d = 1; d <= 31; d++) {
        struct tm lt = local_tm(2026, 3, d, 0, 0);
        if (cron_match(&c, &lt)) hits++;
    }
    EXPECT_EQ(hits, 2 + 5 - 0);  // 1st (Sunday), 15th (Sunday), Mondays 2, 9, 16, 23, 30
    // a star day of month: only Mondays
    ASSERT_EQ(cron_parse("0 0 * * 1", &c, err, sizeof err), 0);
    hits = 0;
    for (int d = 1; d <= 31; d++) {
        struct tm lt = local_tm(2026, 3, d, 0, 0);
        if (cron_match(&c, &lt)) hits++;
    }
    EXPECT_EQ(hits, 5);
    // a day of month with a star weekday: that day only
    ASSERT_EQ(cron_parse("30 23 31 * *", &c, err, sizeof err), 0);
    struct tm last = local_tm(2026, 12, 31, 23, 30);
    EXPECT_EQ(cron_match(&c, &last), 1);
    struct tm apr = local_tm(2026, 4, 30, 23, 30);
    EXPECT_EQ(cron_match(&c, &apr), 0);
    // months
    ASSERT_EQ(cron_parse("0 3 * 10 *", &c, err, sizeof err), 0);
    struct tm oct = local_tm(2026, 10, 25, 3, 0);  // the repeated hour
    EXPECT_EQ(cron_match(&c, &oct), 1);
    struct tm nov = local_tm(2026, 11, 25, 3, 0);
    EXPECT_EQ(cron_match(&c, &nov), 0);
}

}  // namespace
