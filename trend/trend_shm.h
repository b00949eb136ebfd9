#pragma once
// The recorder's read-only view of the database segments.

#include <string>
#include <vector>

#include "common/shm.h"
#include "trend_config.h"
#include "trend_rec.h"

struct trend_segment {
    std::string name;
    ShmHandle h;
};

struct trend_segments {
    std::vector<trend_segment> segs;
    bool warned_bigger = false;
    ~trend_segments();
};

void trend_segments_init(trend_segments *s, const std::vector<std::string> &names);
// Keeps mappings that are still valid, (re)attaches the others; true when
// at least one segment is ready.
bool trend_try_open_groups(trend_segments *s);
// Copies every ready segment's records (in name order; later segments
// overwrite earlier ones) and value types into the samples.
void trend_snapshot(trend_segments *s, trend_samples *smp, const trend_config &cfg);
