#pragma once
// The legacy channel tables zqbridge.a.base / zqbridge.d.base: fixed-width
// CP1251 text, a header line and one 1938-character row per channel, each
// ended by CR LF. The legacy tools and readers still use them, so rows are
// only ever added for newly configured channels, and a table of any other
// layout is never rewritten.

#include <string>
#include <vector>

#include "common/channels.h"

constexpr int LEGACY_ROW_CHARS = 1938;
constexpr int LEGACY_ROW_BYTES = LEGACY_ROW_CHARS + 2;
constexpr int LEGACY_MAX_ROWS = 8192;
constexpr int LEGACY_MAX_ITEMS = 4096;

// One driver item of the INI: "A12,c,Tag" in a [Logix5000_N] section.
struct legacy_item {
    int number;
    bool discrete;
    char flag;
    std::string ip;   // the section's ipaddr, as far as read
    std::string tag;  // controller tag, bytes as in the INI
};

// Item line "A12,c,Tag": exactly three non-empty parts, A or D (either
// case, leading blanks skipped), number 1..32767. 0 or -1.
int legacy_parse_item(const std::string &line, legacy_item *out);

// Items of the INI's [Logix5000_*] sections sorted by number, duplicates
// dropped (the first wins). 0, or -1 with errno set when the INI cannot be
// read.
int legacy_collect_items(const char *ini_path, std::vector<legacy_item> *out);

// The header line (without CR LF) and a new row for an item.
std::string legacy_header();
std::string legacy_new_row(const legacy_item &it);

enum {
    LEGACY_SYNC_OK = 0,        // nothing to add
    LEGACY_SYNC_WRITTEN = 1,   // rows added or the table created
    LEGACY_SYNC_FOREIGN = -2,  // another layout: left unchanged
    LEGACY_SYNC_FAILED = -1,   // unreadable or not written (errno set)
};

// Adds a row for every item of this table's kind that has none. *msg gets
// the line to log (may be empty).
int legacy_sync_table(const char *path, bool discrete, const std::vector<legacy_item> &items,
                      std::string *msg);

// Fills registry records (description, unit, scale, name) from the tables;
// 0, or -1 when neither table could be read.
int legacy_import_tables(channels_registry *reg, const char *a_path, const char *d_path);
