#pragma once
// History of up to 12 channels over a time window, read from the seconds
// files (version 1 and version 2) of a trend directory, for the server's
// chart-recorder panels. Read-only; the caller owns one result record and
// reuses it (about 10 MB).

#include <stdint.h>
#include <stdio.h>
#include <time.h>

constexpr int TR_MAX_POINTS = 86400;
constexpr int TR_MAX_CHANNELS = 12;

// Point status of a channel.
enum { TQ_VALUE = 0, TQ_MISSING = 1, TQ_NO_COLUMN = 2 };

struct trend_query_chan {
    char name[8];  // as requested
    double values[TR_MAX_POINTS];
    uint8_t status[TR_MAX_POINTS];
    uint32_t has_data;  // 1 when some point has status TQ_VALUE
};

struct trend_query_result {
    int64_t times[TR_MAX_POINTS];  // ms since 1970 UTC, strictly ascending
    uint32_t count;
    trend_query_chan ch[TR_MAX_CHANNELS];
    uint32_t nch;
    // Working space of the query: break threshold of each point.
    int32_t gap_ms[TR_MAX_POINTS];
};

// Fills r with every seconds row of [start, end] (local times) for the
// channels names[0..n). res must be 's'. an_count and di_count are the
// analog and discrete channel counts the caller expects (below 1: 299 and
// 511); they only guide the row-width search of files without a sidecar.
// 0, or -1 for a bad request (n outside 1..12, a name that is not A<n> or
// D<n> with n >= 1 in at most 7 characters) or when memory runs out.
int trend_query(trend_query_result *r, const char *dir, char res, const struct tm *start,
                const struct tm *end, const char *const *names, int n, int an_count, int di_count);

// "a12", "A012" → letter 'A' and number 12; false when not a channel name
// or longer than 7 characters.
bool trend_query_parse_name(const char *name, char *letter, int *number);

// ---- version-1 seconds file geometry (exposed for tests) ----

// Counts of the sidecar beside a seconds data file (".rps" → ".rns").
bool trend_rns_sidecar_counts(const char *data_path, int *an, int *di);

// Column index of each wanted channel from the sidecar: an_idx[i] /
// di_idx[i] get the running analog / discrete index of channel want_an[i] /
// want_di[i], or -1. true when the sidecar lists at least one column.
bool trend_read_colmap(const char *data_path, const int *want_an, int n_an, int *an_idx,
                       const int *want_di, int n_di, int *di_idx);

// Tests whether rows of `cells` cells fit the file (fd, size) by its time
// column; on success *cells_out = cells and *time_col = cells - 1.
bool trend_try_rps_nc(int fd, long long size, long cells, long *cells_out, long *time_col);

// Row width of a version-1 seconds file found from its time column, with
// the sidecar's counts or an / di as the guide. false when none fits.
bool trend_detect_rps_params(const char *data_path, int an, int di, long *cells, long *time_col);
