// Period arithmetic through the C library's calendar conversions, so that
// daylight-saving changes move boundaries exactly as local wall-clock time.

#include "calc/calc_period.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

int shift_hours(const calc_period_cfg *cfg) {
    int h = cfg ? cfg->shift_h : 12;
    return (h >= 1 && h <= 24 && 24 % h == 0) ? h : 12;
}

int anchor_of(const calc_period_cfg *cfg) {
    int a = cfg ? cfg->anchor_min : 480;
    return (a >= 0 && a < 1440) ? a : 480;
}

bool to_local(int64_t ms, struct tm *lt) {
    time_t t = static_cast<time_t>(ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000));
    return localtime_r(&t, lt) != nullptr;
}

// Local date (year, month 0-based, day, possibly out of range) at a minute
// of the day. The wall-clock fields are normalised first (calendar
// arithmetic without a zone); then both daylight-saving readings are tried
// and checked, so one local time always maps to the same instant: the
// earlier one in the repeated autumn hour, the reading with the offset in
// force before the change (that is, after the gap) in the skipped spring
// hour. mktime alone resolves these by an internal guess that depends on
// earlier calls.
int64_t local_ms(int year, int mon, int mday, int minute) {
    struct tm tm {};
    tm.tm_year = year;
    tm.tm_mon = mon;
    tm.tm_mday = mday;
    tm.tm_hour = minute / 60;
    tm.tm_min = minute % 60;
    time_t wall = timegm(&tm);
    struct tm norm;
    if (!gmtime_r(&wall, &norm)) return static_cast<int64_t>(wall) * 1000;
    bool found = false;
    time_t best = 0, fallback = static_cast<time_t>(-1);
    for (int dst = 0; dst <= 1; dst++) {
        struct tm x = norm;
        x.tm_isdst = dst;
        time_t t = mktime(&x);
        if (t == static_cast<time_t>(-1)) continue;
        if (dst == 0) fallback = t;
        struct tm chk;
        if (!localtime_r(&t, &chk)) continue;
        if (chk.tm_mday == norm.tm_mday && chk.tm_hour == norm.tm_hour &&
            chk.tm_min == norm.tm_min && (!found || t < best)) {
            best = t;
            found = true;
        }
    }
    if (!found) {
        if (fallback == static_cast<time_t>(-1)) {
            struct tm x = norm;
            x.tm_isdst = -1;
            fallback = mktime(&x);
        }
        best = fallback;
    }
    return static_cast<int64_t>(best) * 1000;
}

}  // namespace

int64_t calc_period_start(int kind, int64_t t_ms, const calc_period_cfg *cfg) {
    struct tm lt;
    if (!to_local(t_ms, &lt)) return t_ms;
    int anchor = anchor_of(cfg);
    switch (kind) {
        case CALC_PERIOD_SHIFT: {
            int h = shift_hours(cfg);
            int n = 24 / h;
            int first = anchor % (h * 60);
            for (int back = 0; back <= 1; back++) {
                for (int k = n - 1; k >= 0; k--) {
                    int64_t c =
                        local_ms(lt.tm_year, lt.tm_mon, lt.tm_mday - back, first + k * h * 60);
                    if (c <= t_ms) return c;
                }
            }
            // only reachable when the calendar misbehaves: a day back at the first boundary
            return local_ms(lt.tm_year, lt.tm_mon, lt.tm_mday - 2, first);
        }
        case CALC_PERIOD_DAY: {
            int64_t c = local_ms(lt.tm_year, lt.tm_mon, lt.tm_mday, anchor);
            if (t_ms >= c) return c;
            return local_ms(lt.tm_year, lt.tm_mon, lt.tm_mday - 1, anchor);
        }
        default: {
            int d = lt.tm_mday <= 10 ? 1 : lt.tm_mday <= 20 ? 11 : 21;
            int64_t c = local_ms(lt.tm_year, lt.tm_mon, d, anchor);
            if (t_ms >= c) return c;
            if (d == 1) return local_ms(lt.tm_year, lt.tm_mon - 1, 21, anchor);
            return local_ms(lt.tm_year, lt.tm_mon, d - 10, anchor);
        }
    }
}

int64_t calc_period_end(int kind, int64_t start_ms, const calc_period_cfg *cfg) {
    struct tm lt;
    if (!to_local(start_ms, &lt)) return start_ms;
    int anchor = anchor_of(cfg);
    switch (kind) {
        case CALC_PERIOD_SHIFT: {
            // The start's wall-clock time plus h hours, except that a start the
            // calendar moved out of a skipped hour (anchor 03:30 on the spring
            // change day) still ends at the next nominal boundary, so shifts
            // never overlap.
            int h = shift_hours(cfg);
            int64_t e =
                local_ms(lt.tm_year, lt.tm_mon, lt.tm_mday, lt.tm_hour * 60 + lt.tm_min + h * 60);
            int first = anchor % (h * 60);
            for (int day = 0; day <= 1; day++)
                for (int k = 0; k < 24 / h; k++) {
                    int64_t c =
                        local_ms(lt.tm_year, lt.tm_mon, lt.tm_mday + day, first + k * h * 60);
                    if (c > start_ms && c < e) e = c;
                }
            return e;
        }
        case CALC_PERIOD_DAY:
            return local_ms(lt.tm_year, lt.tm_mon, lt.tm_mday + 1, anchor);
        default:
            if (lt.tm_mday <= 10) return local_ms(lt.tm_year, lt.tm_mon, 11, anchor);
            if (lt.tm_mday <= 20) return local_ms(lt.tm_year, lt.tm_mon, 21, anchor);
            return local_ms(lt.tm_year, lt.tm_mon + 1, 1, anchor);
    }
}

void calc_period_fill(int64_t *tick, const calc_period_cfg *cfg) {
    for (int k = 0; k < 3; k++) {
        int64_t s = calc_period_start(k, tick[0], cfg);
        tick[2 + k] = s;
        tick[5 + k] = calc_period_end(k, s, cfg) - s;
    }
}

int calc_period_parse_anchor(const char *text, int *minutes) {
    if (!text) return -1;
    const char *colon = nullptr;
    for (const char *q = text; *q; q++)
        if (*q == ':' && q > text && q[-1] >= '0' && q[-1] <= '9' && q[1] >= '0' && q[1] <= '9')
            colon = q;
    if (!colon) return -1;
    const char *b = colon;
    while (b > text && b[-1] >= '0' && b[-1] <= '9')
        b--;
    // long digit runs cannot be valid; keep sscanf away from overflow
    size_t after = strspn(colon + 1, "0123456789");
    if (colon - b > 4 || after > 4) return -1;
    int h = -1, m = -1;
    if (sscanf(b, "%d:%d", &h, &m) != 2) return -1;
    if (h < 0 || h > 23 || m < 0 || m > 59) return -1;
    if (minutes) *minutes = h * 60 + m;
    return 0;
}

int calc_period_parse_ref(const char *text, int anchor_min, int64_t *ref_ms) {
    if (ref_ms) *ref_ms = 0;
    if (!text) return -1;
    int y = 0, mo = 0, d = 0;
    if (sscanf(text, "%5d-%2d-%2d", &y, &mo, &d) != 3) return -1;
    if (y <= 1970 || mo < 1 || mo > 12 || d < 1 || d > 31) return -1;
    if (anchor_min < 0 || anchor_min >= 1440) anchor_min = 480;
    if (ref_ms) *ref_ms = local_ms(y - 1900, mo - 1, d, anchor_min);
    return 0;
}

int64_t calc_shift_index(int64_t t_ms, const calc_period_cfg *cfg) {
    int h = cfg ? cfg->shift_h : 12;
    if (h <= 0) return 0;
    int64_t s = calc_period_start(CALC_PERIOD_SHIFT, t_ms, cfg);
    double q = static_cast<double>(s - (cfg ? cfg->ref_ms : 0)) / (shift_hours(cfg) * 3600000.0);
    return static_cast<int64_t>(std::round(q));
}
