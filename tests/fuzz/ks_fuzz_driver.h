#pragma once
// One fuzz input as a panel file through the parser, the SVG drawing and
// the JSON frame rendering, checking that nothing executable or malformed
// comes out. Shared by the fuzz target and the corpus replay test.
#include <ctype.h>
#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "server/ksp_frame.h"
#include "server/ksp_svg.h"

namespace ks_fuzz {

// True when a tag of the markup is a script or has an event attribute
// (text content is escaped, so '<' and '>' delimit the tags).
inline bool markup_executable(const std::string &s) {
    for (size_t a = s.find('<'); a != std::string::npos; a = s.find('<', a + 1)) {
        size_t b = s.find('>', a);
        std::string tag = s.substr(a, b == std::string::npos ? std::string::npos : b - a);
        for (char &c : tag)
            c = (char)tolower((unsigned char)c);
        if (tag.compare(0, 7, "<script") == 0 || tag.find(" on") != std::string::npos ||
            tag.find("\ton") != std::string::npos || tag.find("\non") != std::string::npos ||
            tag.find("javascript:") != std::string::npos)
            return true;
    }
    return false;
}

inline void check_text(const std::string &s) {
    if (markup_executable(s)) abort();
    for (unsigned char c : s)
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') abort();
}

inline void run_one(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    ksp_frame f;
    if (ksp_parse(text, KSP_SVG_MAX_POINTS, &f.p) != 0) return;
    ksp_panel &p = f.p;
    if (p.takt < 1 || p.takt > KSP_MAX_TAKT || p.npoints < 2 || p.npoints > KSP_SVG_MAX_POINTS ||
        p.ncurves < 0 || p.ncurves > KSP_MAX_CURVES)
        abort();
    for (int k = 0; k < p.ncurves; k++)
        if (!ksp_color_safe(p.c[k].color) || !p.c[k].param[0]) abort();
    if (!ksp_color_safe(p.bgcolor) || !ksp_color_safe(p.bordercolor)) abort();
    // Keep the picture small: the drawing cost is not what is fuzzed.
    p.npoints = std::min(p.npoints, 300);
    std::vector<float> d((size_t)p.ncurves * (size_t)p.npoints);
    for (size_t i = 0; i < d.size(); i++)
        d[i] = (i % 7 == 3) ? NAN : (float)(i % 13) - 3.0f;
    std::string svg;
    ksp_svg_draw(&p, 1700000000, d.data(), 120, 90, &svg);
    check_text(svg);
    f.data = d;
    f.last_s = 1700000000;
    std::string json;
    ksp_frame_render_json(&f, 1700000000000LL, &json);
    // "nan"/"inf" outside strings would be a number JSON has no word for;
    // panel texts may well hold those letters.
    bool in_str = false;
    for (size_t i = 0; i < json.size(); i++) {
        char ch = json[i];
        if (in_str) {
            if (ch == '\\')
                i++;
            else if (ch == '"')
                in_str = false;
        } else if (ch == '"') {
            in_str = true;
        } else if (json.compare(i, 3, "nan") == 0 || json.compare(i, 3, "inf") == 0) {
            abort();
        }
    }
    for (unsigned char c : json)
        if (c < 0x20) abort();
}

}  // namespace ks_fuzz
