#pragma once
// Chart-recorder panels: the `.ks` panel file (a small XML text kept among
// the web pages) and the text rules every output of a panel obeys. A panel
// file can be written from any operator station, so nothing from it
// reaches a page unchecked: colours come from a safe set and text is
// escaped where it is written.

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>

constexpr int KSP_MAX_CURVES = 32;
constexpr int KSP_JSON_MAX_POINTS = 20000;
constexpr int KSP_SVG_MAX_POINTS = 86400;
constexpr int KSP_MAX_TAKT = 86400;
constexpr size_t KSP_FILE_MAX = 1u << 20;

struct ksp_curve {
    char param[32];  // tag name, for example "A12"
    char src[16];    // source name of the remote key
    char color[32];  // safe colour
    char desc[192];  // UTF-8
    double min, max;
};

struct ksp_panel {
    int takt;     // seconds between points, 1..86400
    int npoints;  // 2..limit
    int trendsrc;
    char trendurl[256];
    char bgcolor[32], bordercolor[32];
    bool showgrid, showdesc;
    int ncurves;
    ksp_curve c[KSP_MAX_CURVES];
};

// Parses a panel file. max_points is the upper clamp of npoints. 0, or -1
// when the text has no <ksp> tag.
int ksp_parse(std::string_view text, int max_points, ksp_panel *out);

// Value of attribute `name` in one tag's text (between "<name" and ">"),
// entities decoded; false when absent.
bool ksp_attr(std::string_view tag, const char *name, std::string *out);

// A colour usable anywhere: "#rgb", "#rrggbb" or a name of 1..20 letters.
bool ksp_color_safe(const char *c);

// Text for XML: & < > " ' escaped, characters XML forbids dropped, invalid
// UTF-8 bytes replaced by '?'.
void ksp_xml_escape(std::string_view s, std::string *out);

// Panel name checks: not empty, no leading '/', no ".." path element.
bool ksp_name_ok(const char *name);
