#pragma once
// Version-1 trend files: .rps/.rpm/.rph data files of 4-byte cells and their
// .rns/.rnm/.rnh sidecars of 90-byte records.

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include <vector>

#include "trend_base.h"

constexpr int META_REC = 90;
constexpr uint32_t TREND_CELL_BAD = 1;     // seconds: sample not good
constexpr uint32_t TREND_CELL_NODATA = 6;  // minutes/hours: no samples
constexpr uint32_t TREND_PACKED_EMPTY = 0xFFFFFFFFu;
constexpr int TREND_PATH_MAX = 512;

// "%s%s.%s": directory (ends in '/'), YYMMDD00 or YYYYMMDD00, extension.
int trend_filepath(char *out, size_t cap, const char *dir, const struct tm *tm, const char *ext);
int trend_filepath_v2(char *out, size_t cap, const char *dir, const struct tm *tm, const char *ext);

// Float cell with the three status bits cleared.
inline uint32_t trend_cell_float(float v) {
    uint32_t u;
    __builtin_memcpy(&u, &v, 4);
    return u & ~7u;
}
inline int trend_w_di(int n_di) {
    return (n_di + 15) / 16;
}

// Sidecars. Written atomically (temporary file and rename). 0 or -1.
int trend_meta_create_rns(const char *path, const trend_base *b, const trend_cmap *m);
int trend_meta_create_rnm(const char *path, const trend_base *b, const trend_cmap *m);
int trend_meta_create_rnh(const char *path, const trend_base *b, const trend_cmap *m);
// Sidecar bytes as the create functions write them; kind 's', 'm' or 'h'.
std::vector<uint8_t> trend_meta_bytes(const trend_base *b, const trend_cmap *m, char kind);

// 1 when the header holds these counts and the file's record count agrees
// with them; else 0.
int trend_meta_check_match(const char *path, int n_an, int n_di);
// 1 and the map when the sidecar is valid and names at least one column.
int trend_meta_load_colmap(const char *path, trend_cmap *out);

// Make the sidecar agree with the map and the data file whole-row; 1 when
// the sidecar was (re)written, 0 when kept, -1 on failure to write it.
// A data file whose layout is unknown (its sidecar was missing or did not
// match) is renamed aside instead of being cut to the new width.
int trend_ensure_sec_meta(const char *meta, const char *data, const trend_base *b,
                          const trend_cmap *m, bool packed, bool force);
int trend_ensure_min_meta(const char *meta, const char *data, const trend_base *b,
                          const trend_cmap *m, bool packed, bool force);
int trend_ensure_hour_meta(const char *meta, const char *data, const trend_base *b,
                           const trend_cmap *m, bool force);

// Append with rollback of a short write.
int trend_append(const char *path, const void *bytes, size_t len);
int trend_pad_gap(const char *path, int cells, long first, long end);
int trend_pad_gap2(const char *path, int an_cells, int packed_cells, long first, long end);
int trend_truncate_to_row(const char *path, long width);

// Positional row r (minute or hour files): pads rows before it, appends it
// when it is the next row, and drops it (result 1) when row r is already
// in the file. 0 written, 1 dropped, -1 failure.
int trend_write_row_at(const char *path, const void *row, size_t width, long r, int pad_an,
                       int pad_packed);

// Seconds rows carry their time: true when the time cells of up to 8 rows
// spread over the file are in range and ascend at this row width.
bool trend_rps_times_ascend(FILE *f, long width, long rows);

// Renames path to the first free "<path>.old<N>"; 0, or -1 (nothing moved).
int trend_rename_aside(const char *path, char *out_aside, size_t cap);

int trend_file_copy(const char *src, const char *dst);
int trend_file_append_range(const char *src, const char *dst, long long from, long long to);

// Age-based deletion; now is the current time (seconds since 1970).
// Returns the number of files removed.
int trend_cleanup(const char *dir, int sec_days, int min_days, int hour_days, time_t now);
// Date of a trend file name (v1 YYMMDD00.ext or v2 YYYYMMDD00.ext); 0 or -1.
int trend_name_date(const char *name, int *y, int *mo, int *d);
