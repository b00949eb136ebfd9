// Local time and seconds since 1970 across the daylight-saving changes.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <string>

#include "common/local_time.h"
#include "tests/support/zone.h"

TEST(LocalTime, KnownInstants) {
    tsup::ZoneGuard z("Europe/Kyiv");
    EXPECT_EQ(zq_local_epoch(2024, 1, 15, 12, 0, 0), 1705312800);  // 10:00 UTC, UTC+2
    EXPECT_EQ(zq_local_epoch(2024, 7, 15, 12, 0, 0), 1721034000);  // 09:00 UTC, UTC+3
    // Out-of-range fields roll over: 32 January is 1 February.
    EXPECT_EQ(zq_local_epoch(2024, 1, 32, 0, 0, 0), zq_local_epoch(2024, 2, 1, 0, 0, 0));
}

TEST(LocalTime, SpringGapAndAutumnRepeat) {
    tsup::ZoneGuard z("Europe/Kyiv");
    // 31 March 2024: 03:00 EET becomes 04:00 EEST.
    EXPECT_EQ(zq_local_epoch(2024, 3, 31, 2, 59, 59) + 1, zq_local_epoch(2024, 3, 31, 4, 0, 0));
    // 27 October 2024: 04:00 EEST becomes 03:00 EET; 03:30 happens twice.
    int64_t summer = zq_local_epoch(2024, 10, 27, 3, 30, 0, 1);
    int64_t winter = zq_local_epoch(2024, 10, 27, 3, 30, 0, 0);
    EXPECT_EQ(winter - summer, 3600);
    EXPECT_EQ(zq_local_epoch(2024, 10, 27, 5, 0, 0) - zq_local_epoch(2024, 10, 27, 2, 0, 0),
              4 * 3600);
}

TEST(LocalTime, RoundTripEveryQuarterHourAcrossBothChanges) {
    tsup::ZoneGuard z("Europe/Kyiv");
    for (int64_t start :
         {zq_local_epoch(2024, 3, 30, 12, 0, 0), zq_local_epoch(2024, 10, 26, 12, 0, 0)}) {
        for (int64_t t = start; t < start + 2 * 86400; t += 900) {
            struct tm lt;
            ASSERT_TRUE(zq_epoch_local(t, &lt));
            int64_t back = zq_local_epoch(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour,
                                          lt.tm_min, lt.tm_sec, lt.tm_isdst);
            EXPECT_EQ(back, t) << lt.tm_mday << " " << lt.tm_hour << ":" << lt.tm_min;
        }
    }
}
