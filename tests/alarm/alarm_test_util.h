#pragma once
// Helpers of the alarm tests: journal lines, UTC dates and an in-memory
// channel table for the engine.

#include <stdlib.h>
#include <time.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/zone.h"

namespace alarmtest {

using tsup::file_exists;
using tsup::read_file;
using tsup::write_file;

inline std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string l;
    while (std::getline(ss, l))
        if (!l.empty()) out.push_back(l);
    return out;
}

// Milliseconds of a UTC date and time.
inline int64_t utc_ms(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return tsup::utc_epoch(y, mo, d, h, mi, s) * 1000 + ms;
}

// Channel values for the engine: key 'A'*100000 + n; quality good unless
// listed in bad.
struct fake_values {
    std::map<int, double> v;
    std::map<int, bool> bad;
    void set(char kind, int n, double x, bool good = true) {
        v[kind * 100000 + n] = x;
        bad[kind * 100000 + n] = !good;
    }
    static int fn(void *ctx, char kind, int n, double *out) {
        fake_values *f = (fake_values *)ctx;
        auto it = f->v.find(kind * 100000 + n);
        *out = it == f->v.end() ? 0 : it->second;
        if (it == f->v.end()) return 1;
        return f->bad[kind * 100000 + n] ? 1 : 0;
    }
};

}  // namespace alarmtest
