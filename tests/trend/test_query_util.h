#pragma once
// Helpers of the trend query tests: a recorder driven by a test clock in a
// fixed UTC+2 zone, hand-made version-1 files, and query calls by local
// time.

#include <filesystem>
#include <memory>

#include "trend/trend_config.h"
#include "trend/trend_query.h"
#include "trend/trend_rec.h"
#include "trend/tz.h"
#include "trend_test_util.h"

namespace tq {

// Local time in the tests' zone (UTC+2, no daylight saving).
inline struct tm lt(int y, int mo, int d, int h, int mi, int s) {
    return zq_tm_of(y, mo, d, h, mi, s);
}
inline time_t at(int y, int mo, int d, int h, int mi, int s) {
    return (time_t)tsup::utc_epoch(y, mo, d, h, mi, s) - 7200;
}
inline int64_t ms(int y, int mo, int d, int h, int mi, int s) {
    return (int64_t)at(y, mo, d, h, mi, s) * 1000;
}

struct Zone {
    tsup::ZoneGuard z{"XXX-2"};
    Zone() { tz_set_offset_min(120); }
    ~Zone() { tz_set_offset_min(0); }
};

// The real recorder writing into dir/Trends/.
struct Recorder {
    tsup::TempDir dir{"query"};
    trend_config cfg;
    std::unique_ptr<trend_recorder> rec;
    trend_samples s;
    std::string trends;
    explicit Recorder(int fmt) {
        trends = dir / "Trends/";
        cfg.mainpath = trends;
        cfg.main_fmt = fmt;
        cfg.analogs = 8;
        cfg.discrets = 8;
        cfg.a_base_path = dir / "zqbridge.a.base";
        cfg.d_base_path = dir / "zqbridge.d.base";
        cfg.shm_names = {"/unused"};
        s.resize(8, 8);
        tsup::write_file(dir / "channels.json",
                         tt::channels_json({{1, "Темп", "C", 0, 0, 0, 200},
                                            {2, "Тиск", "bar", 0, 1000, 0, 100},
                                            {3, "Рівень", "m", 0, 0, 0, 10}},
                                           {{1, "Насос"}, {2, "Клапан"}, {3, "Аварія"}}));
        trend_base b;
        EXPECT_EQ(0, trend_base_read(&b, cfg.a_base_path.c_str(), cfg.d_base_path.c_str(), 8, 8));
        rec = std::make_unique<trend_recorder>();
        EXPECT_EQ(0, trend_rec_init(rec.get(), cfg, std::move(b)));
    }
    // A1 = seconds since from (raw, also v1), A2 raw 500 (→ 50), A3 bad;
    // D1 = second is odd, D2 bad.
    void run(time_t from, time_t to) {
        for (time_t t = from; t <= to; t++) {
            s.an_raw[1] = s.an_v1[1] = (double)(t % 1000);
            s.an_q[1] = 1;
            s.an_raw[2] = 500;
            s.an_q[2] = 1;
            s.an_raw[3] = 1;
            s.an_q[3] = 0;
            s.di_val[1] = (uint8_t)(t % 2);
            s.di_q[1] = 1;
            s.di_val[2] = 1;
            s.di_q[2] = 0;
            trend_rec_tick(rec.get(), t, &s);
        }
    }
};

struct Result {
    std::unique_ptr<trend_query_result> r = std::make_unique<trend_query_result>();
    int run(const std::string &dir, struct tm from, struct tm to, std::vector<const char *> names,
            int an = 0, int di = 0) {
        return trend_query(r.get(), dir.c_str(), 's', &from, &to, names.data(), (int)names.size(),
                           an, di);
    }
    trend_query_result *operator->() { return r.get(); }
    // Index of the point at t, or -1.
    long find(int64_t t) const {
        for (uint32_t i = 0; i < r->count; i++)
            if (r->times[i] == t) return (long)i;
        return -1;
    }
    bool ascending() const {
        for (uint32_t i = 1; i < r->count; i++)
            if (r->times[i] <= r->times[i - 1]) return false;
        return true;
    }
};

// Cells of a hand-made version-1 seconds row.
inline uint32_t fcell(float f) {
    return tt::fbits(f) & ~7u;
}
inline void append_cells(const std::string &path, const std::vector<uint32_t> &cells) {
    FILE *f = fopen(path.c_str(), "ab");
    fwrite(cells.data(), 4, cells.size(), f);
    fclose(f);
}

}  // namespace tq
