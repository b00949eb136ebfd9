#pragma once
// The panel answers of the server, with their caches: the JSON frame of a
// panel (moved on by one point per takt instead of re-reading history) and
// the SVG picture of a panel file.

#include <string>

#include "ksp_frame.h"

constexpr int KSP_FRAME_CACHE = 32;
constexpr int KSP_SVG_CACHE = 16;
constexpr int KSP_IDLE_S = 60;           // an unused frame is dropped after this
constexpr int KSP_HISTORY_RETRY_S = 30;  // a frame without history is rebuilt after this

// JSON frame of the panel file cfg (relative to wwwdir, else sys_wwwdir);
// false when the name is refused, the file is missing or has no <ksp> tag
// (answered 404 "Bad cfg").
bool ksp_frame_json(const ksp_env *env, const char *cfg, std::string *out);

// SVG picture of the panel at URL path `path` (leading '/' allowed) with
// the requested width and height; false when the panel cannot be read.
bool ksp_render_svg(const ksp_env *env, const char *path, int wd, int hg, std::string *out);

// Empties both caches (tests, and a configuration reload).
void ksp_cache_clear();
