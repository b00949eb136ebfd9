#pragma once
// Driver configuration: which controllers to poll, which tags feed which
// channels, and the grouping of tags into multi-element reads.

#include <cstdint>

constexpr int LOGIX_MAX_GROUPS = 32;
constexpr int LOGIX_MAX_ARRAY_SEGMENTS = 64;
constexpr int LOGIX_MAX_GENERAL_SEGMENTS = 64;
constexpr int LOGIX_PATH_MAX = 256;
constexpr int LOGIX_ITEM_LINE_MAX = 511;
constexpr int LOGIX_DEFAULT_TAKT_MS = 100;
constexpr int LOGIX_PORT = 44818;

struct logix_item {
    int ordinal = 0;
    int channel = 0;
    bool is_discrete = false;
    char text[256] = {};
    bool is_array_elem = false;
    int array_index = 0;
    uint8_t path[LOGIX_PATH_MAX] = {};
    int path_len = 0;
    int bit_from = -1;
    int bit_to = -1;
    int last_index = -1;
    int duplicate_of = -1;
    int general_segment = -1;
    int general_index = -1;
    // Chains built by logix_compute_group_segments so that a pass needs no search:
    // next item with the same path, next item of the same array segment,
    // next member of the same general segment (-1 ends each chain).
    int next_dup = -1;
    int array_seg = -1;
    int next_in_seg = -1;
    int next_member = -1;
    // Poll-loop state, reset on every connect.
    uint16_t type = 0;  // CIP type code last seen, 0 = unknown
    bool not_found = false;
};

struct array_segment {
    char name[64] = {};
    bool is_discrete = false;
    int lowest = 0;
    int highest = 0;
    int first_item = -1;
    // Poll-loop state.
    uint16_t type = 0;
    bool found = false;
    bool too_wide_logged = false;
};

struct general_segment {
    uint8_t base_path[LOGIX_PATH_MAX] = {};
    int base_len = 0;
    char name[64] = {};
    int lowest = 0;
    int highest = 0;
    int members = 0;
    int first_member = -1;
    // Poll-loop state.
    uint16_t type = 0;  // 0 = not yet active
    bool disabled = false;
    bool too_wide_logged = false;
};

struct logix_group {
    char name[32] = {};
    char ip[64] = {};
    int port = LOGIX_PORT;
    int slot = 0;
    int takt_ms = LOGIX_DEFAULT_TAKT_MS;
    // conn_size: 0 = the classic 500-byte connection; 501..4002 = a Large
    // Forward Open of that many bytes, with batches sized to it.
    int conn_size = 0;
    logix_item *items = nullptr;  // heap, grown by logix_add_tag
    int item_count = 0;
    int item_capacity = 0;
    array_segment array_segments[LOGIX_MAX_ARRAY_SEGMENTS];
    int array_segment_count = 0;
    general_segment general_segments[LOGIX_MAX_GENERAL_SEGMENTS];
    int general_segment_count = 0;
};

struct logix_config {
    char log_dir_alt[256] = {};
    char log_dir[256] = {};
    char log_name[64] = {};
    int log_init = 1;
    int log_error = 1;
    int log_write = 1;
    int inactivity_ms = 0;
    int analogs = 0;
    int discretes = 0;
    char shm_name[64] = {};
    int tz_offset_min = 0;
    bool tz_set = false;
    int dst_mode = 2;  // 0 off, 1 on, 2 auto
    logix_group groups[LOGIX_MAX_GROUPS];
    int group_count = 0;
};

// Loads config.yaml beside ini_path, else the legacy INI file itself.
// Progress and problems go to standard error. 0 or -1.
int logix_config_load(logix_config *config, const char *ini_path);

// Loads one source only (used by logix_config_load and by tests).
int logix_config_load_yaml_text(logix_config *config, const char *text, const char *file_name);
int logix_config_load_ini(logix_config *config, const char *ini_path);

void logix_config_free(logix_config *config);

// Parses "A12,v,Program:Main.Level". 0 or -1.
int logix_parse_item(const char *line, logix_item *item);

// Appends a copy of item with the given ordinal. 0, or -1 when out of memory
// (the message is printed and the item dropped).
int logix_add_tag(logix_group *group, int ordinal, const logix_item *item);

void logix_compute_group_segments(logix_group *group);

// 1 when path ends with an element segment that follows at least one
// symbolic segment; gives the bytes before it and its index. Else 0.
int logix_path_last_elem(const uint8_t *path, int len, int *base_len, int *index);

// Validated conn_size: 0 (off) or 501..4002. Out-of-range values print a
// message naming the group and give 0.
int logix_parse_conn_size(const char *group_name, const char *text);

// Directory of the log files: log_dir, else log_dir_alt, else "logs".
const char *logix_config_log_dir(const logix_config *config);
