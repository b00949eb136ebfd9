#pragma once
// A panel drawn as an SVG picture: grid, curves as polylines broken at
// missing points, and a legend with the newest values.

#include <stdint.h>

#include <string>

#include "ksp_panel.h"

constexpr int KSP_SVG_MIN_SIDE = 50;
constexpr int KSP_SVG_MAX_SIDE = 8000;

// Draws curves data (ncurves (at most 12) * npoints, NaN = missing) on the
// grid start_s + i * takt into an SVG of width w and height h (clamped).
void ksp_svg_draw(const ksp_panel *p, int64_t start_s, const float *data, int w, int h,
                  std::string *out);
