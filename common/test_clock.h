#pragma once
// The wall clock of a long-running program, which tests can shift and speed
// up: "<real_ms>,<fake_ms>,<speed>" in the program's environment variable
// makes the clock read fake_ms at the real instant real_ms and run speed
// times as fast from there, so tests cross minutes and midnights without
// waiting for them; all restarts of one test share the timeline.

#include <cstdint>

struct zq_test_clock {
    int64_t anchor_real = 0;  // ms since 1970 of the real clock
    int64_t anchor_fake = 0;  // what the clock reads at anchor_real
    double speed = 1.0;
};

// Takes the anchor and speed from the variable; the clock stays the real one
// when it is unset or malformed (a speed must be above 0).
void zq_test_clock_from_env(zq_test_clock *c, const char *var);

// Ms since 1970 on the clock.
int64_t zq_test_clock_now_ms(const zq_test_clock *c);
