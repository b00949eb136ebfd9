#include "tz.h"

#include <atomic>

// Read by every request thread, written by the server's watch thread.
static std::atomic<int> g_offset_sec{0};

void tz_set_offset_min(int minutes) {
    // Real offsets lie within ±26 h; anything else is a caller's error.
    if (minutes < -26 * 60) minutes = -26 * 60;
    if (minutes > 26 * 60) minutes = 26 * 60;
    g_offset_sec.store(minutes * 60, std::memory_order_relaxed);
}

int tz_offset_sec() {
    return g_offset_sec.load(std::memory_order_relaxed);
}

int tz_system_offset_min(time_t t) {
    struct tm lt;
    if (!localtime_r(&t, &lt)) return 0;
    return (int)(lt.tm_gmtoff / 60);
}

bool tz_refresh() {
    int m = tz_system_offset_min(time(nullptr));
    int old = tz_offset_sec();
    tz_set_offset_min(m);
    return old != tz_offset_sec();
}

time_t tz_local_tm_to_unix(const struct tm *tm) {
    struct tm c = *tm;
    return timegm(&c) - tz_offset_sec();
}

int64_t tz_local_tm_to_unix_ms(const struct tm *tm) {
    return (int64_t)tz_local_tm_to_unix(tm) * 1000;
}

void tz_unix_to_local_tm(time_t t, struct tm *out) {
    time_t s = t + tz_offset_sec();
    if (!gmtime_r(&s, out)) *out = tm{};
}

void tz_normalize_tm(struct tm *tm) {
    time_t t = timegm(tm);
    struct tm n;
    if (gmtime_r(&t, &n)) *tm = n;
}
