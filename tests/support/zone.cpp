#include "tests/support/zone.h"

#include <stdlib.h>
#include <time.h>

#include "common/local_time.h"

namespace tsup {

ZoneGuard::ZoneGuard(const char *tz) {
    const char *o = getenv("TZ");
    had = o != nullptr;
    if (o) old = o;
    setenv("TZ", tz, 1);
    tzset();
}

ZoneGuard::~ZoneGuard() {
    if (had)
        setenv("TZ", old.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

int64_t utc_epoch(int year, int month, int day, int hour, int minute, int second) {
    struct tm t = zq_tm_of(year, month, day, hour, minute, second);
    return (int64_t)timegm(&t);
}

}  // namespace tsup
