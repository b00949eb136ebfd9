#pragma once
// Helpers shared by the trend tests: file bytes, local times in a chosen
// time zone, channel registries.

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "common/local_time.h"
#include "tests/support/files.h"
#include "tests/support/zone.h"

namespace tt {

inline uint32_t u32(const std::vector<uint8_t> &b, size_t off) {
    uint32_t v;
    memcpy(&v, b.data() + off, 4);
    return v;
}
inline uint16_t u16(const std::vector<uint8_t> &b, size_t off) {
    return (uint16_t)(b[off] | (b[off + 1] << 8));
}
inline float f32(const std::vector<uint8_t> &b, size_t off) {
    float v;
    memcpy(&v, b.data() + off, 4);
    return v;
}
inline double f64(const std::vector<uint8_t> &b, size_t off) {
    double v;
    memcpy(&v, b.data() + off, 8);
    return v;
}
inline uint32_t fbits(float f) {
    uint32_t u;
    memcpy(&u, &f, 4);
    return u;
}

inline int64_t real_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// The fake clock of zqtrend (ZQTREND_CLOCK): reads fake_start when it is
// made and runs speed times as fast from there.
struct FakeClock {
    int64_t anchor_real = real_ms();
    int64_t anchor_fake;
    double speed;
    FakeClock(int64_t fake_start_ms, double sp) : anchor_fake(fake_start_ms), speed(sp) {}
    int64_t now() const {
        return anchor_fake + (int64_t)((double)(real_ms() - anchor_real) * speed);
    }
    std::string env() const {
        return std::to_string(anchor_real) + "," + std::to_string(anchor_fake) + "," +
               std::to_string(speed);
    }
};

// Local time → seconds since 1970 (isdst: -1 let the system decide,
// 0 standard, 1 summer time for the ambiguous autumn hour).
inline time_t local_time(int y, int mo, int d, int h, int mi, int s, int isdst = -1) {
    return (time_t)zq_local_epoch(y, mo, d, h, mi, s, isdst);
}

// channels.json with analogs (number, desc, unit, code range, phys range)
// and discretes (number, desc).
struct an_chan {
    int n;
    std::string desc, unit;
    double code_min, code_max, phys_min, phys_max;
};
struct di_chan {
    int n;
    std::string desc;
};
inline std::string channels_json(const std::vector<an_chan> &an, const std::vector<di_chan> &di) {
    std::ostringstream o;
    o << "{\n  \"version\": 1,\n  \"analogs\": [\n";
    for (size_t i = 0; i < an.size(); i++) {
        const an_chan &a = an[i];
        o << "    {\"id\":\"A" << a.n << "\",\"desc\":\"" << a.desc << "\",\"unit\":\"" << a.unit
          << "\",\"scale\":{\"code_min\":" << a.code_min << ",\"code_max\":" << a.code_max
          << ",\"el_min\":0,\"el_max\":0,\"phys_min\":" << a.phys_min
          << ",\"phys_max\":" << a.phys_max << "}}" << (i + 1 < an.size() ? "," : "") << "\n";
    }
    o << "  ],\n  \"discretes\": [\n";
    for (size_t i = 0; i < di.size(); i++)
        o << "    {\"id\":\"D" << di[i].n << "\",\"desc\":\"" << di[i].desc
          << "\",\"scale\":{\"phys_min\":0,\"phys_max\":1}}" << (i + 1 < di.size() ? "," : "")
          << "\n";
    o << "  ]\n}\n";
    return o.str();
}

// Removes the instance lock zqtrend left for this database name.
inline void remove_trend_lock(const std::string &shm_name) {
    std::string lock = "/tmp/zqtrend" + shm_name + ".lock";
    for (size_t i = 12; i < lock.size(); i++)
        if (lock[i] == '/') lock[i] = '_';
    unlink(lock.c_str());
}

}  // namespace tt
