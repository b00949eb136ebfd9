#pragma once
// Panel frames: the panel's curves sampled on a time grid ending at the
// present, from local trend files or a remote trend server, with the live
// value as the newest point; and the frame as JSON for the viewer page.

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "ksp_panel.h"
#include "ksp_remote.h"

constexpr int KSP_LOCAL_CURVES = 12;  // the trend query's channel limit

// What a panel needs from the server.
struct ksp_env {
    std::string wwwdir, sys_wwwdir;
    std::string trend_dir;  // main trend path
    int an_count = 0, di_count = 0;
    // Live value of a tag in engineering units; false when unknown or bad.
    std::function<bool(const char *tag, double *out)> live;
    // Wall clock in ms since 1970 (the real clock when unset).
    std::function<int64_t()> now_ms;
    ksp_http_limits remote;
};

int64_t ksp_now_ms(const ksp_env *env);

struct ksp_frame {
    ksp_panel p;
    int64_t file_mtime_ns = 0;  // the panel file the frame was built from
    long long file_size = 0;
    int64_t last_s = 0;  // time of the newest grid point
    bool trend_ok = false;
    int64_t built_ms = 0;     // when the history was last asked for
    std::vector<float> data;  // ncurves * npoints, NaN = missing
    float *curve(int k) { return data.data() + (size_t)k * (size_t)p.npoints; }
    const float *curve(int k) const { return data.data() + (size_t)k * (size_t)p.npoints; }
    int64_t start_s() const { return last_s - (int64_t)(p.npoints - 1) * p.takt; }
};

// Finds a panel file in wwwdir, then sys_wwwdir; reads it (at most 1 MiB)
// with its modification time. false when the name is refused or missing.
bool ksp_read_panel_file(const ksp_env *env, const char *name, std::string *text, int64_t *mtime_ns,
                         long long *size);

// Fills a frame ending at now from history and the live values.
void ksp_frame_build(const ksp_env *env, ksp_frame *f, int64_t now_ms);
// Moves the frame on by one takt: one new point per curve.
void ksp_frame_shift(const ksp_env *env, ksp_frame *f, int64_t now_ms);
void ksp_frame_render_json(const ksp_frame *f, int64_t now_ms, std::string *out);

// Local history of the panel's first 12 curves on the grid start_s +
// i * takt (i < npoints), into data (ncurves * npoints, NaN preset). Long
// windows are read in day-sized pieces. false when the query failed.
bool ksp_history_local(const ksp_env *env, const ksp_panel *p, int64_t start_s, float *data);
// The same from the panel's remote trend server for every curve.
bool ksp_history_remote(const ksp_env *env, const ksp_panel *p, int64_t start_s, int npoints,
                        float *data, int stride);
