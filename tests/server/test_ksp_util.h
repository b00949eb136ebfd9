#pragma once
// Helpers of the panel tests: temporary directories and version-2 seconds
// files written with the recorder's writers.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "trend/trend_v2.h"

namespace ksp_test {

struct Dir : tsup::TempDir {
    explicit Dir(const char *tag) : tsup::TempDir(tag) {}
    void write(const std::string &name, const std::string &text) const {
        tsup::write_file(path + "/" + name, text);
    }
};

// Rows for every second s of [from, to] (within one UTC day) in that day's
// version-2 seconds file under dir, with float analogs A1..A<n>: A<k> is
// value(s, k); seconds for which keep(s) is false get no row.
inline void write_v2(const std::string &dir, int n, int64_t from, int64_t to,
                     const std::function<double(int64_t, int)> &value,
                     const std::function<bool(int64_t)> &keep = {}) {
    trend_base b;
    trend_grow_an(&b, n + 1);
    trend_grow_di(&b, 1);
    for (int k = 1; k <= n; k++)
        b.an[(size_t)k].present = 1;
    b.an_max = n;
    v2_table t;
    ASSERT_EQ(0, v2_table_build(&t, &b, nullptr, 0, nullptr, 0));
    time_t day = (time_t)from;
    struct tm tm;
    gmtime_r(&day, &tm);
    char path[512];
    snprintf(path, sizeof path, "%s/%04d%02d%02d00.rps", dir.c_str(), tm.tm_year + 1900,
             tm.tm_mon + 1, tm.tm_mday);
    uint32_t date = (uint32_t)((tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday);
    if (access(path, F_OK) != 0) {
        ASSERT_EQ(0, v2_file_create(path, 's', date, 1000, &t));
    }
    FILE *f = fopen(path, "ab");
    ASSERT_TRUE(f);
    int64_t midnight = from - from % 86400;
    std::vector<uint8_t> row((size_t)t.row_size);
    std::vector<double> an((size_t)n + 1);
    std::vector<uint8_t> q((size_t)n + 1, 1), dv(2), dq(2);
    for (int64_t s = from; s <= to; s++) {
        if (keep && !keep(s)) continue;
        for (int k = 1; k <= n; k++)
            an[(size_t)k] = value(s, k);
        v2_row_pack(row.data(), &t, an.data(), q.data(), n + 1, dv.data(), dq.data(), 2,
                    (uint32_t)((s - midnight) * 1000));
        fwrite(row.data(), 1, row.size(), f);
    }
    fclose(f);
}

}  // namespace ksp_test
