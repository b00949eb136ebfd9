#include "ksp_cache.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <mutex>

#include "ksp_svg.h"

namespace {

struct frame_entry {
    std::string name;
    std::shared_ptr<const ksp_frame> frame;
    std::string json;
    int64_t last_use_ms = 0;
    bool busy = false;  // a request is building or moving this frame
};

std::mutex g_mu;
frame_entry g_frames[KSP_FRAME_CACHE];

struct svg_entry {
    std::string key;
    int64_t file_mtime_ns = 0;
    long long file_size = 0;
    int64_t made_ms = 0;
    int takt = 1;
    std::string svg;
};

std::mutex g_svg_mu;
svg_entry g_svgs[KSP_SVG_CACHE];

frame_entry *find_locked(const std::string &name) {
    for (frame_entry &e : g_frames)
        if (e.frame && e.name == name) return &e;
    return nullptr;
}

void drop_idle_locked(int64_t now) {
    for (frame_entry &e : g_frames)
        if (!e.busy && (e.frame || !e.name.empty()) && now - e.last_use_ms > KSP_IDLE_S * 1000)
            e = frame_entry{};
}

// Stores a finished frame: into the entry of this name when there is one,
// else a free one, else the least recently used idle one. An entry being
// built by another request is never taken over.
void store_locked(const std::string &name, std::shared_ptr<const ksp_frame> f, std::string json,
                  int64_t now, bool was_busy) {
    frame_entry *e = nullptr;
    for (frame_entry &x : g_frames)
        if (x.name == name) e = &x;
    if (e && e->busy && !was_busy) return;  // someone else's build finishes it
    if (!e)
        for (frame_entry &x : g_frames)
            if (!x.frame && !x.busy && x.name.empty()) {
                e = &x;
                break;
            }
    if (!e)
        for (frame_entry &x : g_frames)
            if (!x.busy && (!e || x.last_use_ms < e->last_use_ms)) e = &x;
    if (!e) return;
    e->name = name;
    e->frame = std::move(f);
    e->json = std::move(json);
    e->last_use_ms = now;
    e->busy = false;
}

}  // namespace

bool ksp_frame_json(const ksp_env *env, const char *cfg, std::string *out) {
    std::string text;
    int64_t mtime_ns;
    long long size;
    if (!ksp_read_panel_file(env, cfg, &text, &mtime_ns, &size)) return false;
    int64_t now = ksp_now_ms(env);
    std::string name = cfg;
    std::shared_ptr<const ksp_frame> base;
    bool shift = false, marked = false;
    {
        std::lock_guard<std::mutex> lk(g_mu);
        drop_idle_locked(now);
        frame_entry *e = find_locked(name);
        if (e && e->frame && e->frame->file_mtime_ns == mtime_ns && e->frame->file_size == size) {
            const ksp_frame &f = *e->frame;
            int64_t elapsed = now / 1000 - f.last_s;
            bool retry = !f.trend_ok && now - f.built_ms >= KSP_HISTORY_RETRY_S * 1000;
            if ((elapsed >= 0 && elapsed < f.p.takt && !retry) || e->busy) {
                // Current, or another request is already moving it on.
                e->last_use_ms = now;
                *out = e->json;
                return true;
            }
            if (elapsed >= f.p.takt && elapsed < 2LL * f.p.takt && !retry) {
                shift = true;
                base = e->frame;
            }
        } else if (e && e->busy && e->frame) {
            *out = e->json;
            return true;
        }
        if (e) {
            e->busy = marked = true;
            e->last_use_ms = now;
        }
    }
    // Built outside the lock into a private frame.
    auto f = std::make_shared<ksp_frame>();
    if (shift) {
        *f = *base;
        ksp_frame_shift(env, f.get(), now);
    } else {
        if (ksp_parse(text, KSP_JSON_MAX_POINTS, &f->p) != 0) {
            std::lock_guard<std::mutex> lk(g_mu);
            if (marked)
                for (frame_entry &x : g_frames)
                    if (x.name == name) x = frame_entry{};
            return false;
        }
        f->file_mtime_ns = mtime_ns;
        f->file_size = size;
        ksp_frame_build(env, f.get(), now);
    }
    std::string json;
    ksp_frame_render_json(f.get(), now, &json);
    *out = json;
    std::lock_guard<std::mutex> lk(g_mu);
    store_locked(name, std::move(f), std::move(json), now, marked);
    return true;
}

bool ksp_render_svg(const ksp_env *env, const char *path, int wd, int hg, std::string *out) {
    while (*path == '/')
        path++;
    std::string text;
    int64_t mtime_ns;
    long long size;
    if (!ksp_read_panel_file(env, path, &text, &mtime_ns, &size)) return false;
    int W = std::clamp(wd, KSP_SVG_MIN_SIDE, KSP_SVG_MAX_SIDE);
    int H = std::clamp(hg, KSP_SVG_MIN_SIDE, KSP_SVG_MAX_SIDE);
    char key[600];
    snprintf(key, sizeof key, "%s|%d|%d", path, W, H);
    int64_t now = ksp_now_ms(env);
    {
        std::lock_guard<std::mutex> lk(g_svg_mu);
        for (svg_entry &e : g_svgs)
            if (e.key == key && e.file_mtime_ns == mtime_ns && e.file_size == size &&
                now >= e.made_ms && now - e.made_ms < (int64_t)e.takt * 1000) {
                *out = e.svg;
                return true;
            }
    }
    auto p = std::make_unique<ksp_panel>();
    if (ksp_parse(text, KSP_SVG_MAX_POINTS, p.get()) != 0) return false;
    int nc = std::min(p->ncurves, KSP_LOCAL_CURVES);
    std::vector<float> data((size_t)nc * (size_t)p->npoints, NAN);
    int64_t end_s = now / 1000;
    int64_t start_s = end_s - (int64_t)(p->npoints - 1) * p->takt;
    ksp_panel local = *p;
    local.ncurves = nc;
    ksp_history_local(env, &local, start_s, data.data());
    ksp_svg_draw(&local, start_s, data.data(), W, H, out);
    std::lock_guard<std::mutex> lk(g_svg_mu);
    svg_entry *slot = &g_svgs[0];
    for (svg_entry &e : g_svgs) {
        if (e.key == key) {
            slot = &e;
            break;
        }
        if (e.made_ms < slot->made_ms) slot = &e;
    }
    *slot = svg_entry{key, mtime_ns, size, now, p->takt, *out};
    return true;
}

void ksp_cache_clear() {
    {
        std::lock_guard<std::mutex> lk(g_mu);
        for (frame_entry &e : g_frames)
            e = frame_entry{};
    }
    std::lock_guard<std::mutex> lk(g_svg_mu);
    for (svg_entry &e : g_svgs)
        e = svg_entry{};
}
