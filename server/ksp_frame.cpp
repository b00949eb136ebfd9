#include "ksp_frame.h"

#include <math.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <memory>
#include <mutex>

#include "common/json.h"
#include "common/log.h"
#include "common/parse_util.h"
#include "trend/trend_query.h"
#include "trend/tz.h"

namespace {

// One query result for the whole server (about 10 MB), taken in turn.
std::mutex g_query_mu;
std::unique_ptr<trend_query_result> g_query;

// Longest piece of a window one query covers (one point per second).
constexpr int64_t CHUNK_S = 86399;

// Steps through a time-ordered source, one grid point after another: the
// value of a grid point is the newest sample at or before it when that
// sample is present and at most one takt older.
struct resampler {
    bool have = false, present = false;
    int64_t t = 0;
    double v = 0;
    void sample(int64_t tms, bool ok, double val) {
        have = true;
        t = tms;
        present = ok && isfinite(val);
        v = val;
    }
    float at(int64_t g, int64_t takt_ms) const {
        return (have && present && g - t <= takt_ms) ? (float)v : NAN;
    }
};

bool live_value(const ksp_env *env, const char *tag, float *out) {
    double v;
    if (env->live && env->live(tag, &v) && isfinite(v) && fabs(v) <= 3.4e38) {
        *out = (float)v;
        return true;
    }
    *out = NAN;
    return false;
}

std::string remote_key(const ksp_panel *p, const ksp_curve &c) {
    char b[64];
    if (c.src[0])
        snprintf(b, sizeof b, "%s:%s", c.src, c.param);
    else
        snprintf(b, sizeof b, "%d:%s", p->trendsrc, c.param);
    return b;
}

bool remote_mode(const ksp_panel *p) {
    return strncmp(p->trendurl, "http://", 7) == 0;
}

}  // namespace

int64_t ksp_now_ms(const ksp_env *env) {
    if (env->now_ms) return env->now_ms();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool ksp_read_panel_file(const ksp_env *env, const char *name, std::string *text, int64_t *mtime_ns,
                         long long *size) {
    if (!ksp_name_ok(name)) return false;
    for (const std::string *dir : {&env->wwwdir, &env->sys_wwwdir}) {
        if (dir->empty()) continue;
        std::string path = *dir + "/" + name;
        struct stat st;
        if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (zq_read_file_max(path.c_str(), KSP_FILE_MAX, text) != 0) return false;
        *mtime_ns = (int64_t)st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec;
        *size = st.st_size;
        return true;
    }
    return false;
}

bool ksp_history_local(const ksp_env *env, const ksp_panel *p, int64_t start_s, float *data) {
    const char *names[KSP_LOCAL_CURVES];
    int which[KSP_LOCAL_CURVES], n = 0;
    for (int k = 0; k < p->ncurves && k < KSP_LOCAL_CURVES; k++) {
        char l;
        int num;
        if (!trend_query_parse_name(p->c[k].param, &l, &num)) continue;
        names[n] = p->c[k].param;
        which[n++] = k;
    }
    if (p->ncurves > KSP_LOCAL_CURVES) {
        static std::atomic<bool> warned{false};
        if (!warned.exchange(true))
            log_msg(
                "КСП local: у .ks %d каналів, локальний режим читає лише %d "
                "(TR_MAX_CHANNELS) — решта не малюється; для >%d вживай trendurl "
                "(remote-режим до %d каналів)",
                p->ncurves, KSP_LOCAL_CURVES, KSP_LOCAL_CURVES, KSP_MAX_CURVES);
    }
    if (n == 0) return true;
    std::lock_guard<std::mutex> lk(g_query_mu);
    if (!g_query) {
        g_query.reset(new (std::nothrow) trend_query_result);
        if (!g_query) return false;
    }
    trend_query_result *r = g_query.get();
    const int64_t takt_ms = (int64_t)p->takt * 1000;
    const int64_t end_s = start_s + (int64_t)(p->npoints - 1) * p->takt;
    resampler rs[KSP_LOCAL_CURVES];
    int gi = 0;  // next grid point
    for (int64_t cs = start_s; cs <= end_s && gi < p->npoints; cs += CHUNK_S) {
        int64_t ce = std::min(cs + CHUNK_S - 1, end_s);
        struct tm a, b;
        tz_unix_to_local_tm((time_t)cs, &a);
        tz_unix_to_local_tm((time_t)ce, &b);
        if (trend_query(r, env->trend_dir.c_str(), 's', &a, &b, names, n, env->an_count,
                        env->di_count) != 0)
            return false;
        auto grid_ms = [&](int i) { return (start_s + (int64_t)i * p->takt) * 1000; };
        for (uint32_t i = 0; i <= r->count; i++) {
            // Past the last point: every grid point up to the piece's end.
            int64_t t = i < r->count ? r->times[i] : ce * 1000 + 1;
            for (; gi < p->npoints && grid_ms(gi) < t; gi++)
                for (int k = 0; k < n; k++)
                    data[(size_t)which[k] * (size_t)p->npoints + (size_t)gi] =
                        rs[k].at(grid_ms(gi), takt_ms);
            if (i == r->count) break;
            for (int k = 0; k < n; k++)
                rs[k].sample(t, r->ch[k].status[i] == TQ_VALUE, r->ch[k].values[i]);
        }
    }
    return true;
}

bool ksp_history_remote(const ksp_env *env, const ksp_panel *p, int64_t start_s, int npoints,
                        float *data, int stride) {
    std::vector<std::string> keys;
    for (int k = 0; k < p->ncurves; k++)
        keys.push_back(remote_key(p, p->c[k]));
    int64_t end_s = start_s + (int64_t)(npoints - 1) * p->takt;
    std::vector<ksp_series> s;
    int64_t from_s = start_s - p->takt;  // the sample just before the first point
    if (keys.empty()) return true;
    if (ksp_remote_history(p->trendurl, from_s, end_s, keys, &env->remote, &s) != 0) return false;
    const int64_t takt_ms = (int64_t)p->takt * 1000;
    for (int k = 0; k < p->ncurves; k++) {
        ksp_series &x = s[(size_t)k];
        if (!std::is_sorted(x.t.begin(), x.t.end())) {
            std::vector<size_t> idx(x.t.size());
            for (size_t i = 0; i < idx.size(); i++)
                idx[i] = i;
            std::stable_sort(idx.begin(), idx.end(),
                             [&](size_t a, size_t b) { return x.t[a] < x.t[b]; });
            ksp_series y;
            for (size_t i : idx) {
                y.t.push_back(x.t[i]);
                y.v.push_back(x.v[i]);
            }
            x = std::move(y);
        }
        resampler rs;
        size_t j = 0;
        for (int i = 0; i < npoints; i++) {
            int64_t g = (start_s + (int64_t)i * p->takt) * 1000;
            for (; j < x.t.size() && x.t[j] <= g; j++)
                rs.sample(x.t[j], true, x.v[j]);
            data[(size_t)k * (size_t)stride + (size_t)i] = rs.at(g, takt_ms);
        }
    }
    return true;
}

void ksp_frame_build(const ksp_env *env, ksp_frame *f, int64_t now_ms) {
    const ksp_panel &p = f->p;
    f->last_s = now_ms / 1000;
    f->built_ms = now_ms;
    f->data.assign((size_t)p.ncurves * (size_t)p.npoints, NAN);
    if (remote_mode(&p)) {
        f->trend_ok =
            ksp_history_remote(env, &p, f->start_s(), p.npoints, f->data.data(), p.npoints);
        return;
    }
    f->trend_ok = ksp_history_local(env, &p, f->start_s(), f->data.data());
    for (int k = 0; k < p.ncurves && k < KSP_LOCAL_CURVES; k++)
        live_value(env, p.c[k].param, &f->curve(k)[p.npoints - 1]);
}

void ksp_frame_shift(const ksp_env *env, ksp_frame *f, int64_t now_ms) {
    const ksp_panel &p = f->p;
    f->last_s += p.takt;
    for (int k = 0; k < p.ncurves; k++) {
        float *c = f->curve(k);
        memmove(c, c + 1, sizeof(float) * (size_t)(p.npoints - 1));
        c[p.npoints - 1] = NAN;
    }
    if (remote_mode(&p)) {
        std::vector<float> last((size_t)p.ncurves, NAN);
        bool ok = ksp_history_remote(env, &p, f->last_s, 1, last.data(), 1);
        for (int k = 0; k < p.ncurves; k++)
            f->curve(k)[p.npoints - 1] = last[(size_t)k];
        if (!ok && f->trend_ok) {
            f->trend_ok = false;
            f->built_ms = now_ms;
        }
        return;
    }
    for (int k = 0; k < p.ncurves && k < KSP_LOCAL_CURVES; k++)
        live_value(env, p.c[k].param, &f->curve(k)[p.npoints - 1]);
}

void ksp_frame_render_json(const ksp_frame *f, int64_t now_ms, std::string *out) {
    const ksp_panel &p = f->p;
    out->clear();
    out->reserve(64 + (size_t)p.npoints * 16 * (size_t)(1 + p.ncurves));
    char b[512];
    snprintf(b, sizeof b,
             "{\"takt\":%d,\"npoints\":%d,\"server_ms\":%lld,\"trendsrc\":%d,\"showgrid\":%s,"
             "\"showdesc\":%s,\"trend_ok\":%s,\"bgcolor\":\"%s\",\"bordercolor\":\"%s\","
             "\"reload\":%lld,\"times\":[",
             p.takt, p.npoints, (long long)now_ms, p.trendsrc, p.showgrid ? "true" : "false",
             p.showdesc ? "true" : "false", f->trend_ok ? "true" : "false", p.bgcolor,
             p.bordercolor, (long long)(f->file_mtime_ns / 1000000000));
    out->append(b);
    int64_t start = f->start_s();
    for (int i = 0; i < p.npoints; i++) {
        if (i) out->push_back(',');
        auto r = std::to_chars(b, b + sizeof b, (start + (int64_t)i * p.takt) * 1000);
        out->append(b, (size_t)(r.ptr - b));
    }
    out->append("],\"channels\":[");
    for (int k = 0; k < p.ncurves; k++) {
        const ksp_curve &c = p.c[k];
        char src[32];
        if (c.src[0])
            snprintf(src, sizeof src, "%s", c.src);
        else
            snprintf(src, sizeof src, "%d", p.trendsrc);
        out->append(k ? ",{\"param\":\"" : "{\"param\":\"");
        out->append(json_escape_str(c.param));
        out->append("\",\"src\":\"");
        out->append(json_escape_str(src));
        char mm[128];
        zq_format_double_c(mm, 64, "%g", c.min);
        zq_format_double_c(mm + 64, 64, "%g", c.max);
        snprintf(b, sizeof b, "\",\"min\":%s,\"max\":%s,\"color\":\"", mm, mm + 64);
        out->append(b);
        out->append(c.color);
        out->append("\",\"desc\":\"");
        out->append(json_escape_str(c.desc));
        out->append("\",\"data\":[");
        const float *d = f->curve(k);
        for (int i = 0; i < p.npoints; i++) {
            if (i) out->push_back(',');
            if (isfinite(d[i])) {
                // Locale-free and much cheaper than printf: frames are
                // rendered once per takt per panel.
                auto r =
                    std::to_chars(b, b + sizeof b, (double)d[i], std::chars_format::general, 6);
                out->append(b, (size_t)(r.ptr - b));
            } else {
                out->append("null");
            }
        }
        out->append("]}");
    }
    out->append("]}");
}
