#pragma once
// Local time for the history readers: one process-wide UTC offset, applied
// as a fixed shift. The server refreshes it from the system time zone (see
// tz_refresh) so a daylight-saving change is picked up within a minute.

#include <stdint.h>
#include <time.h>

// Sets the offset (minutes east of UTC).
void tz_set_offset_min(int minutes);
// Current offset in seconds.
int tz_offset_sec();
// Offset of the system's local time at instant t, in minutes.
int tz_system_offset_min(time_t t);
// Sets the offset from the system's local time now; true when it changed.
bool tz_refresh();

// Broken-down local time → seconds (or ms) since 1970 UTC: the fields are
// read as UTC, then the offset is subtracted.
time_t tz_local_tm_to_unix(const struct tm *tm);
int64_t tz_local_tm_to_unix_ms(const struct tm *tm);
// Seconds since 1970 UTC → broken-down local time under the offset.
void tz_unix_to_local_tm(time_t t, struct tm *out);
// Normalises the fields (a 32nd day becomes the 1st of the next month).
void tz_normalize_tm(struct tm *tm);
