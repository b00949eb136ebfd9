// Time zones and calendar dates for tests whose results must not depend on
// the host's zone.
#pragma once

#include <cstdint>
#include <string>

namespace tsup {

// Sets the process's TZ (an Olson name or a POSIX rule such as "XXX-2") for
// the life of the object, then restores the one before, unset included.
struct ZoneGuard {
    std::string old;
    bool had = false;
    explicit ZoneGuard(const char *tz);
    ~ZoneGuard();
    ZoneGuard(const ZoneGuard &) = delete;
    ZoneGuard &operator=(const ZoneGuard &) = delete;
};

// Seconds since 1970 of a UTC date and time, whatever TZ is.
int64_t utc_epoch(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

}  // namespace tsup
