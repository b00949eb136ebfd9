#include "common/local_time.h"

struct tm zq_tm_of(int year, int month, int day, int hour, int minute, int second) {
    struct tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return tm;
}

int64_t zq_local_epoch(int year, int month, int day, int hour, int minute, int second, int isdst) {
    struct tm tm = zq_tm_of(year, month, day, hour, minute, second);
    tm.tm_isdst = isdst;
    return (int64_t)mktime(&tm);
}

bool zq_epoch_local(int64_t seconds, struct tm *out) {
    time_t t = (time_t)seconds;
    return localtime_r(&t, out) != nullptr;
}
