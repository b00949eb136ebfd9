#pragma once
// The recorder's per-tick logic, independent of the database and the real
// clock: the caller supplies the tick time and the samples, so tests can
// drive it across midnights, month ends and daylight-saving changes.

#include <signal.h>
#include <stdint.h>
#include <time.h>

#include <functional>
#include <string>
#include <vector>

#include "trend_acc.h"
#include "trend_base.h"
#include "trend_config.h"
#include "trend_v1.h"
#include "trend_v2.h"

struct trend_mirror;

// One tick's snapshot of the database (index = channel number).
struct trend_samples {
    uint32_t an_count = 0, di_count = 0;
    std::vector<double> an_raw;  // controller units (version 2)
    std::vector<double> an_v1;   // physical units where scaled (version 1)
    std::vector<uint8_t> an_q;
    std::vector<uint8_t> di_val, di_q;
    std::vector<uint8_t> an_vt, di_vt;  // published value types
    void resize(uint32_t an, uint32_t di);
};

// Last row time of a file whose rows must ascend (-1: none yet).
struct trend_last_time {
    std::string path;
    int64_t ms = -1;
    bool known = false;
};

struct trend_dest {
    std::string dir;
    int fmt = 0;  // 0 = not configured
    char rps[TREND_PATH_MAX] = {}, rpm[TREND_PATH_MAX] = {}, rph[TREND_PATH_MAX] = {};
    char rns[TREND_PATH_MAX] = {}, rnm[TREND_PATH_MAX] = {}, rnh[TREND_PATH_MAX] = {};
    uint32_t date = 0;  // YYYYMMDD of the daily files
    trend_last_time sec_last, min_last, hour_last;
};

struct trend_recorder {
    trend_config cfg;
    trend_base base;
    trend_cmap cmap;      // from the current base
    trend_cmap day_map;   // frozen for today's daily v1 files
    trend_cmap hour_map;  // frozen for this month's v1 hour file
    trend_dest dest[3];   // main, alternate 1, alternate 2
    bool use_v1 = false, use_v2 = false;
    trend_acc min_v1, hour_v1, min_v2, hour_v2;
    v2_table v2_sec, v2_avg;
    bool v2_valid = false;
    bool have_time = false;
    struct tm prev = {};  // local time of the previous tick
    int rem_hour = -1;
    bool day_open = false;
    bool first_day = true;
    bool reload_req = false;
    bool warned_v1_alt = false, warned_no_spare = false;
    bool warned_drop = false, warned_write = false;  // once a day
    // Rows of the main directory, for ./run/zqtrend.status.
    uint64_t rows_written = 0, rows_dropped = 0;
    std::vector<uint32_t> cells;
    std::vector<uint8_t> row;
    // Called on the first day when no value type is published yet; may
    // refresh the samples' value types (the program retries for 15 s).
    std::function<void(trend_samples *)> wait_vtypes;
    trend_mirror *mirror = nullptr;  // alternates' workers; none: not written
};

// {"rows_written":N,"rows_dropped":N,"last_row_ms":T,"ts":T} for the
// server's health and metrics; last_row_ms is the wall time the newest row
// was seen written (0: none yet).
std::string trend_rec_status_text(const trend_recorder *r, int64_t last_row_ms, int64_t now_ms);

// Prepares the recorder: versions in use, accumulators. 0 or -1 (message
// printed). The base must already be loaded.
int trend_rec_init(trend_recorder *r, const trend_config &cfg, trend_base &&base);
// One tick at time t (seconds since 1970); converts the samples in place.
void trend_rec_tick(trend_recorder *r, time_t t, trend_samples *s);

// Row builders, also used for alternates in another encoding: the packed
// version-1 seconds row of the day map, and minute or hour average cells.
void trend_rec_v1_sec_row(const trend_recorder *r, const trend_samples *s, uint32_t ms,
                          std::vector<uint32_t> *cells);
void trend_rec_avg_cells(const trend_acc &acc, const trend_cmap &m, bool packed,
                         std::vector<uint32_t> *out);

// Tick scheduling. next_tick is the second of the next tick (0 = unset).
// Sleep: returns false with *sleep_ms set. Tick: returns true with *tick.
// A clock set back by more than 3 s, or forward by more than
// TREND_MAX_CATCHUP_S, resynchronises to the current second (*jumped set).
constexpr int TREND_MAX_CATCHUP_S = 60;
bool trend_sched_step(int64_t *next_tick, int64_t now_ms, int *sleep_ms, time_t *tick,
                      bool *jumped);
