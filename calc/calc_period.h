#pragma once
// Production periods (shift, day, decade) from one anchor time of day, in
// the process's local time zone, and cron schedules.

#include <cstddef>
#include <cstdint>
#include <ctime>

enum { CALC_PERIOD_SHIFT = 0, CALC_PERIOD_DAY = 1, CALC_PERIOD_DECADE = 2 };

struct calc_period_cfg {
    int anchor_min = 480;  // minutes after local midnight, 0..1439
    int shift_h = 12;      // divisor of 24; anything else counts as 12
    int64_t ref_ms = 0;    // reference for shift numbering, 0 = epoch
};

int64_t calc_period_start(int kind, int64_t t_ms, const calc_period_cfg *cfg);
int64_t calc_period_end(int kind, int64_t start_ms, const calc_period_cfg *cfg);
// Fills tick slots 2..4 (starts) and 5..7 (lengths) from slot 0.
void calc_period_fill(int64_t *tick, const calc_period_cfg *cfg);
int calc_period_parse_anchor(const char *text, int *minutes);
int calc_period_parse_ref(const char *text, int anchor_min, int64_t *ref_ms);
int64_t calc_shift_index(int64_t t_ms, const calc_period_cfg *cfg);

enum { CRON_FIELDS = 0, CRON_HOURLY = 1, CRON_SHIFT = 2, CRON_DAILY = 3, CRON_DECADE = 4 };

struct cron_t {
    int kind;
    uint64_t min_mask;
    uint32_t hour_mask;
    uint32_t dom_mask;
    uint16_t mon_mask;
    uint8_t dow_mask;
    int dom_star;
    int dow_star;
};

int cron_parse(const char *text, cron_t *out, char *err, size_t errsz);
int cron_match(const cron_t *c, const struct tm *lt);
