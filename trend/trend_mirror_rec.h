#pragma once
// The recorder's hand-offs to the alternate-path mirror: which job each
// alternate gets for a row, an ensure step, a clean-up or a slot patch.
// Nothing happens while the recorder has no mirror.

#include <stddef.h>
#include <stdint.h>
#include <time.h>

struct trend_recorder;
struct trend_samples;

// Row res (0 seconds, 1 minutes, 2 hours) was appended to main_path. ms: the
// row's time of day (seconds) or interval start; s: the tick's samples
// (seconds rows only); period: local time the row belongs to.
void trend_mirror_rows(trend_recorder *r, int res, const char *main_path, const void *row,
                       size_t len, long row_index, uint32_t ms, const trend_samples *s,
                       const struct tm *period);
// Daily (seconds, minutes, v2 hours, clean-up) or monthly (v1 hours) files
// of the alternates for the period of lt.
void trend_mirror_ensure(trend_recorder *r, const struct tm *lt, bool daily, bool force);
// Slot v2_slot of today's tables changed: patch the v2 alternates' files.
void trend_mirror_patch_v2(trend_recorder *r, int v2_slot, const struct tm *now);
