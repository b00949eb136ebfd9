#pragma once
// Version-2 trend files: 64-byte header, 160-byte slot records, rows of
// native-width values with a missing-value bitmap. Writer and reader.

#include <stdint.h>
#include <stdio.h>

#include <vector>

#include "trend_acc.h"
#include "trend_base.h"

constexpr int V2_HDR = 64;
constexpr int V2_SLOT = 160;
constexpr uint16_t V2_VERSION = 2;

struct v2_slot {
    char name[8];  // "A12", NUL-padded; empty for a spare slot
    uint8_t kind;  // 1 analog, 3 discrete, 0 spare
    uint8_t vtype;
    double code_min, code_max, phys_min, phys_max;
    char units[16];  // UTF-8, at most 15 bytes
    char desc[96];   // UTF-8, at most 95 bytes
    int32_t chan;    // channel number, -1 for spare slots
};

struct v2_table {
    std::vector<v2_slot> slots;
    int used = 0;
    int row_size = 0;
    uint32_t interval = 0;  // from a file
    uint32_t date = 0;
    char kind = 0;
    std::vector<int> off;  // column offset of each slot in a row
    int bitmap_off = 0;
};

// Width of a value type (0 for codes no writer produces).
int v2_vtype_size(uint8_t vtype);
// Recomputes offsets, bitmap offset and row size from the value types.
int v2_table_layout(v2_table *t);
void v2_slot_encode(const v2_slot *s, uint8_t out[V2_SLOT]);
void v2_slot_decode(const uint8_t in[V2_SLOT], v2_slot *s);
// Stores a value by type; false for NaN (0 is stored and the caller sets the
// missing bit).
bool v2_store_col(uint8_t *p, uint8_t vtype, double v);

// Writer.
int v2_table_build(v2_table *t, const trend_base *b, const uint8_t *an_vt, int an_vt_n,
                   const uint8_t *di_vt, int di_vt_n);
int v2_table_avg(v2_table *out, const v2_table *sec);
// Record of one channel from the base (name, kind, ranges, units, description).
bool v2_channel_record(const trend_base *b, char letter, int n, v2_slot *out);
std::vector<uint8_t> v2_header_blob(const v2_table *t, char kind, uint32_t date, uint32_t interval);
int v2_file_create(const char *path, char kind, uint32_t date, uint32_t interval,
                   const v2_table *t);
// Keeps a matching file, else moves a non-empty one aside and creates it.
// 1 created, 0 kept, -1 failure.
int v2_ensure_main_file(const v2_table *t, const char *path, char kind, uint32_t interval,
                        uint32_t date);
int v2_append_main(const char *path, const v2_table *t, char kind, uint32_t date, uint32_t interval,
                   const uint8_t *row);
// Build a row; return the row size.
int v2_row_pack(uint8_t *row, const v2_table *t, const double *an_val, const uint8_t *an_q,
                int an_count, const uint8_t *di_val, const uint8_t *di_q, int di_count,
                uint32_t ms);
int v2_row_pack_avg(uint8_t *row, const v2_table *t, const trend_acc *acc, uint32_t ms);
int v2_chan_patch(const char *path, int slot, const uint8_t rec[V2_SLOT]);
// 1 valid (table filled), 0 not a version-2 file, -1 unreadable or invalid.
int v2_file_open_check(const char *path, v2_table *out);
// Time of the last whole row; false when the file has no row.
bool v2_last_row_ms(const char *path, uint32_t *ms);

// Reader.
struct v2r_slot {
    v2_slot s;
    int off;  // -1 for an unknown type
};
struct v2r_file {
    std::vector<v2r_slot> slots;
    int slot_count = 0;
    int header_size = 0;
    int row_size = 0;
    uint32_t interval = 0;
    uint32_t date = 0;
    char kind = 0;
    int bitmap_off = 0;
};
int v2r_probe(const char *path);
int v2r_parse(FILE *f, v2r_file *out);  // 0 or -1
void v2r_free(v2r_file *r);
int v2r_find_slot(const v2r_file *r, const char *name);
double v2r_col(const v2r_slot *s, const uint8_t *row);
double v2r_scale(const v2r_slot *s, double v);
bool v2r_missing(const v2r_file *r, const uint8_t *row, int slot);
int v2r_row_ms(FILE *f, const v2r_file *r, long row, uint32_t *ms);
long v2r_row_count(FILE *f, const v2r_file *r);
