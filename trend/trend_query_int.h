#pragma once
// Shared by the trend query's sources: the query state and the one point
// append helper that enforces the result's capacity.

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "trend_query.h"

struct trend_q_chan {
    char letter;  // 'A' or 'D'
    int num;
    char norm[8];  // "A12"
};

struct trend_q_ctx {
    trend_query_result *r = nullptr;
    int n = 0;
    trend_q_chan ch[TR_MAX_CHANNELS];
    int64_t start_ms = 0, end_ms = 0;
    int an = 299, di = 511;  // caller's counts
};

// Appends a point at t with every channel missing; gap_ms is the distance
// to the previous point from which a break point is drawn before it (0:
// never). Returns the index, or -1 when the result is full.
inline long trend_q_add_point(trend_q_ctx *c, int64_t t, int32_t gap_ms) {
    trend_query_result *r = c->r;
    if (r->count >= (uint32_t)TR_MAX_POINTS) return -1;
    long i = (long)r->count++;
    r->times[i] = t;
    r->gap_ms[i] = gap_ms;
    for (int k = 0; k < c->n; k++) {
        r->ch[k].values[i] = 0;
        r->ch[k].status[i] = TQ_MISSING;
    }
    return i;
}

enum { TQ_ROW_STOP = -2, TQ_ROW_SKIP = -1 };

// The stop and take rules shared by both formats for a row whose time cell
// is tc (ms after midnight): the index of its new point, TQ_ROW_SKIP for a
// row before the window or not after the file's previous point, or
// TQ_ROW_STOP for a row past the day, past the window or a full result.
inline long trend_q_row_point(trend_q_ctx *c, int64_t midnight, uint32_t tc, int64_t *prev,
                              int32_t gap_ms) {
    if (tc > 86399999u) return TQ_ROW_STOP;
    int64_t t = midnight + tc;
    if (t > c->end_ms) return TQ_ROW_STOP;
    if (t < c->start_ms || t <= *prev) return TQ_ROW_SKIP;
    long i = trend_q_add_point(c, t, gap_ms);
    if (i < 0) return TQ_ROW_STOP;
    *prev = t;
    return i;
}

inline uint32_t trend_q_le32(const uint8_t *p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

inline void trend_q_set(trend_q_ctx *c, long i, int k, double v) {
    c->r->ch[k].values[i] = v;
    c->r->ch[k].status[i] = TQ_VALUE;
}
inline void trend_q_nocol(trend_q_ctx *c, long i, int k) {
    c->r->ch[k].status[i] = TQ_NO_COLUMN;
}

// Opens a regular file read-only without blocking on a FIFO; -1 otherwise.
int trend_q_open_regular(const char *path, long long *size);

// Append the rows of one day's file inside the window; 0, or -1 when
// memory runs out (a missing or unusable file is skipped with 0).
int trend_q_read_v1(trend_q_ctx *c, const char *path, int64_t midnight_ms);
int trend_q_read_v2(trend_q_ctx *c, const char *path, int64_t midnight_ms);

// Milliseconds of a day's time cell: valid up to 86399999.
constexpr uint32_t TQ_DAY_MS_MAX = 86399999u;
constexpr size_t TQ_READ_BUF = 1u << 20;

// A stdio stream over fd with a 1 MiB buffer, closed (with the fd) on scope exit.
struct trend_q_stream {
    FILE *f = nullptr;
    char *buf = nullptr;
    trend_q_stream() = default;
    trend_q_stream(const trend_q_stream &) = delete;
    trend_q_stream &operator=(const trend_q_stream &) = delete;
    ~trend_q_stream() {
        if (f) fclose(f);
        free(buf);
    }
    // Takes over fd. false when memory runs out (fd closed).
    bool open(int fd);
};
