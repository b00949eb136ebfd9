#pragma once
// Local wall-clock time (the process's TZ) and seconds since 1970.

#include <time.h>

#include <cstdint>

// The fields of a date and time as a struct tm, in no zone yet (tm_isdst 0).
struct tm zq_tm_of(int year, int month, int day, int hour, int minute, int second);

// Local date and time to seconds since 1970, -1 when not representable.
// Fields out of range are normalised (day 32 is the next month's first).
// isdst: -1 lets the zone decide; in the repeated autumn hour 1 takes the
// summer-time (earlier) instant and 0 the standard-time (later) one.
int64_t zq_local_epoch(int year, int month, int day, int hour, int minute, int second,
                       int isdst = -1);

// Seconds since 1970 to local date and time; false when not representable.
bool zq_epoch_local(int64_t seconds, struct tm *out);
