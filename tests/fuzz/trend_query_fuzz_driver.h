#pragma once
// One fuzz input as a day's seconds file (and optionally its sidecar)
// through the trend query, checking the result's invariants. Shared by the
// fuzz target and the corpus replay test.
//
// Input: byte 0 flags (bit 0: version-2 file name, bit 1: a sidecar
// follows), with bit 1 two bytes of sidecar length (little-endian) and the
// sidecar; the rest is the data file.
#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "trend/trend_query.h"

namespace tq_fuzz {

inline const std::string &work_dir() {
    static std::string dir = [] {
        char t[] = "/tmp/zq-fuzz-tq-XXXXXX";
        const char *d = mkdtemp(t);
        return std::string(d ? d : "/tmp");
    }();
    return dir;
}

inline void put(const std::string &path, const uint8_t *p, size_t n) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) abort();
    if (n) fwrite(p, 1, n, f);
    fclose(f);
}

inline void check(const trend_query_result *r, int n) {
    if (r->count > (uint32_t)TR_MAX_POINTS || r->nch != (uint32_t)n) abort();
    for (uint32_t i = 1; i < r->count; i++)
        if (r->times[i] <= r->times[i - 1]) abort();
    for (int k = 0; k < n; k++)
        for (uint32_t i = 0; i < r->count; i++) {
            uint8_t s = r->ch[k].status[i];
            double v = r->ch[k].values[i];
            if (s > TQ_NO_COLUMN || !isfinite(v) || (s != TQ_VALUE && v != 0)) abort();
        }
}

inline void run_one(const uint8_t *data, size_t size) {
    static std::unique_ptr<trend_query_result> r(new trend_query_result);
    const std::string &dir = work_dir();
    std::string v1 = dir + "/26031000.rps", v2 = dir + "/2026031000.rps",
                side = dir + "/26031000.rns";
    unlink(v1.c_str());
    unlink(v2.c_str());
    unlink(side.c_str());
    if (size < 1) return;
    uint8_t flags = data[0];
    size_t pos = 1;
    if (flags & 2) {
        if (size < 3) return;
        size_t len = (size_t)data[1] | ((size_t)data[2] << 8);
        pos = 3;
        if (len > size - pos) len = size - pos;
        put(side, data + pos, len);
        pos += len;
    }
    put((flags & 1) ? v2 : v1, data + pos, size - pos);
    struct tm a = {}, b = {};
    a.tm_year = b.tm_year = 126;
    a.tm_mon = b.tm_mon = 2;
    a.tm_mday = b.tm_mday = 10;
    b.tm_hour = 23;
    const char *names[] = {"A1", "D1", "A2", "D20"};
    if (trend_query(r.get(), dir.c_str(), 's', &a, &b, names, 4, 2, 2) != 0) abort();
    check(r.get(), 4);
    b.tm_hour = 0;
    b.tm_min = 5;
    if (trend_query(r.get(), dir.c_str(), 's', &a, &b, names, 4, 0, 0) != 0) abort();
    check(r.get(), 4);
}

}  // namespace tq_fuzz
