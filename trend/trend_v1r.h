#pragma once
// Reading version-1 trend files together with their sidecars.

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "trend_base.h"

struct v1r_file {
    char res = 0;         // 's', 'm' or 'h' (from the extension)
    bool packed = false;  // discretes packed 16 to a cell
    trend_cmap map;       // columns from the sidecar
    long width = 0;       // row width in bytes
    long rows = 0;        // whole rows
    long long size = 0;
    int year = 0, month = 0, day = 0;  // from the file name
    std::string meta;                  // sidecar path
};

enum { V1_VALUE = 0, V1_BAD = 1, V1_NODATA = 2 };

// Sidecar path of a data file: ".rps" → ".rns" and so on.
std::string v1r_meta_path(const char *data_path);
// Opens the layout of a data file. packed: -1 decide from the file, 0 or 1
// force. 0, or -1 with *err set.
int v1r_open(const char *path, v1r_file *out, int packed, std::string *err);
// Reads row r (cells). false when it cannot be read whole.
bool v1r_read_row(FILE *f, const v1r_file *v, long r, std::vector<uint32_t> *cells);
// Milliseconds since local midnight of the row's day (hour files: of day
// 1 + r / 24); -1 when the time cell is out of range.
int64_t v1r_row_ms(const v1r_file *v, const uint32_t *cells, long r);
// Analog column k: V1_VALUE with *v, V1_BAD (cell 1) or V1_NODATA.
int v1r_analog(const v1r_file *v, const uint32_t *cells, int k, double *out);
// Discrete column j: packed code 0/1 (3 → V1_NODATA), or the unpacked cell.
int v1r_discrete(const v1r_file *v, const uint32_t *cells, int j, double *out);
