#pragma once
// The recorder's settings (config.yaml section "trends" and "logix", or the
// legacy INI) and the loading of its channel base (channels.json or the
// legacy CP1251 tables).

#include <string>
#include <vector>

#include "trend_base.h"

constexpr int TREND_FMT_V1 = 1;         // version 1, unpacked (hour files)
constexpr int TREND_FMT_V2 = 2;         // version 2
constexpr int TREND_FMT_V1_PACKED = 3;  // version 1, packed discretes
constexpr int TREND_MAX_SEGMENTS = 32;
constexpr int TREND_MAX_PUSH = 2;

struct trend_push_dest {
    std::string url;    // at most 255 characters
    std::string token;  // at most 127 characters
    bool deflate = false;
};

struct trend_config {
    std::string mainpath, altpath, altpath2;  // end in '/' when set
    int main_fmt = TREND_FMT_V1_PACKED;
    int alt_fmt = TREND_FMT_V1_PACKED;
    int alt2_fmt = TREND_FMT_V1_PACKED;
    bool sec = true, min = true, hour = true;
    int autodel_sec = 0, autodel_min = 0, autodel_hour = 0;
    int analogs = 300, discrets = 512;  // configured slot counts, slot 0 included
    std::vector<std::string> shm_names;
    std::vector<trend_push_dest> push;
    std::string a_base_path, d_base_path;
    std::string cfg_path;
};

// 0 (also with an empty main path), or -1 when neither config.yaml beside
// cfg_path nor cfg_path as an INI file can be used.
int trend_config_load(trend_config *cfg, const char *cfg_path, const char *base_dir);

const char *trend_fmt_name(int fmt);  // "v2.1" or "v1"

// 0 or -1. channels.json beside the analog table wins over the tables.
int trend_base_read(trend_base *b, const char *a_path, const char *d_path, int cfg_an, int cfg_di);
