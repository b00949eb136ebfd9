// Channel metadata and the endpoints that publish it, plus the small
// informational endpoints: /api/meta, /api/channels, /api/version,
// /api/time, /api/alarm-central-url, /api/ip-names.

#include "server/rt_meta.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "common/channels.h"
#include "common/cp1251.h"
#include "common/json.h"
#include "common/parse_util.h"
#include "common/version.h"
#include "server/rt_common.h"
#include "server/srv_routes.h"

namespace {

constexpr int META_MAX = 32768;

void meta_grow(std::vector<meta_chan> &v, int n) {
    if (n < (int)v.size()) return;
    size_t cap = v.empty() ? 64 : v.size();
    while ((int)cap <= n)
        cap *= 2;
    if (cap > (size_t)META_MAX) cap = META_MAX;
    v.resize(cap);
}

std::vector<std::string> csv_split(const std::string &line) {
    std::vector<std::string> out;
    size_t pos = 0;
    for (;;) {
        size_t c = line.find(',', pos);
        out.push_back(line.substr(pos, c == std::string::npos ? std::string::npos : c - pos));
        if (c == std::string::npos) break;
        pos = c + 1;
    }
    return out;
}

std::string trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// Legacy table: a header line, then "number,?,description,...", analog
// rows with code range (columns 7, 8) and physical range (9, 10).
void legacy_table(srv_meta *m, const char *path, bool analog) {
    std::string text;
    if (zq_read_file_max(path, 16u << 20, &text) != 0) {
        fprintf(stderr, "meta: can't open %s\n", path);
        return;
    }
    size_t pos = 0;
    bool header = true;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(pos, nl - pos);
        pos = nl + 1;
        if (header) {
            header = false;
            continue;
        }
        std::vector<std::string> col = csv_split(line);
        if (col.size() < 3) continue;
        long n;
        if (!rt_parse_uint(trim(col[0]).c_str(), META_MAX - 1, &n) || n < 1) continue;
        std::string d = trim(col[2]);
        if (!d.empty()) {
            std::string u = cp1251_to_utf8(d);
            if (u.size() > 506) u.resize(506);
            std::vector<meta_chan> &v = analog ? m->an : m->di;
            meta_grow(v, (int)n);
            v[n].desc = json_escape_str(u);
        }
        if (analog && col.size() >= 10) {
            channel_rec *r = channels_an_slot(&m->scale, (int)n);
            if (!r) continue;
            r->used = 1;
            r->code_min = atof(col[6].c_str());
            r->code_max = atof(col[7].c_str());
            r->phys_min = atof(col[8].c_str());
            r->phys_max = atof(col[9].c_str());
            channels_update_scale(r);
        }
    }
}

}  // namespace

int meta_load(srv_meta *m, const char *a_base, const char *d_base) {
    std::lock_guard<std::mutex> lk(m->mu);
    std::string jpath = zq_dir_of(a_base) + "/channels.json";
    channels_registry reg;
    m->an.clear();
    m->di.clear();
    if (channels_load(&reg, jpath.c_str()) == 0) {
        for (int n = 1; n < reg.an_cap; n++) {
            const channel_rec *r = channels_an(&reg, n);
            if (!r) continue;
            meta_grow(m->an, n);
            m->an[n].desc = rt_esc(r->desc);
            m->an[n].name = rt_esc(r->name);
            m->an[n].unit = rt_esc(r->unit);
        }
        for (int n = 1; n < reg.di_cap; n++) {
            const channel_rec *r = channels_di(&reg, n);
            if (!r) continue;
            meta_grow(m->di, n);
            m->di[n].desc = rt_esc(r->desc);
            m->di[n].name = rt_esc(r->name);
        }
        m->scale = std::move(reg);
        return 0;
    }
    channels_clear(&m->scale);
    legacy_table(m, a_base, true);
    legacy_table(m, d_base, false);
    return 0;
}

// Caller holds m->mu.
static double phys_locked(srv_meta *m, long n, double code) {
    if (n <= 0 || n > CHANNELS_MAX_NUMBER) return code;
    return channels_to_phys(channels_an(&m->scale, (int)n), code);
}

double meta_to_phys(srv_meta *m, long n, double code) {
    if (n <= 0 || n > CHANNELS_MAX_NUMBER) return code;
    std::lock_guard<std::mutex> lk(m->mu);
    return phys_locked(m, n, code);
}

void meta_to_phys_many(srv_meta *m, const long *chans, double *values, size_t count) {
    std::lock_guard<std::mutex> lk(m->mu);
    for (size_t i = 0; i < count; i++)
        values[i] = phys_locked(m, chans[i], values[i]);
}

double meta_to_code(srv_meta *m, long n, double phys) {
    if (n <= 0 || n > CHANNELS_MAX_NUMBER) return phys;
    std::lock_guard<std::mutex> lk(m->mu);
    return channels_to_code(channels_an(&m->scale, (int)n), phys);
}

static std::string desc_of(srv_meta *m, const std::vector<meta_chan> &v, long n) {
    std::lock_guard<std::mutex> lk(m->mu);
    return n >= 0 && n < (long)v.size() ? v[n].desc : std::string();
}

std::string meta_an_desc(srv_meta *m, long n) {
    return desc_of(m, m->an, n);
}

std::string meta_di_desc(srv_meta *m, long n) {
    return desc_of(m, m->di, n);
}

namespace {

void h_meta(srv_call *c) {
    srv_meta &m = c->st->meta;
    std::string out = "{";
    bool first = true;
    std::lock_guard<std::mutex> lk(m.mu);
    char b[32];
    for (size_t i = 1; i < m.an.size(); i++) {
        if (m.an[i].desc.empty()) continue;
        snprintf(b, sizeof b, "%s\"A%zu\":\"", first ? "" : ",", i);
        out += b;
        out += m.an[i].desc;
        out += '"';
        first = false;
    }
    for (size_t i = 1; i < m.di.size(); i++) {
        if (m.di[i].desc.empty()) continue;
        snprintf(b, sizeof b, "%s\"D%zu\":\"", first ? "" : ",", i);
        out += b;
        out += m.di[i].desc;
        out += '"';
        first = false;
    }
    out += "}";
    srv_reply_json(c->reply, 200, std::move(out));
}

// Names and units of the registry for operator pages that label channels.
void h_channels(srv_call *c) {
    srv_meta &m = c->st->meta;
    std::string out = "{\"analogs\":[";
    std::lock_guard<std::mutex> lk(m.mu);
    char b[32];
    bool first = true;
    for (size_t i = 1; i < m.an.size(); i++) {
        const meta_chan &ch = m.an[i];
        if (ch.desc.empty() && ch.name.empty() && ch.unit.empty()) continue;
        snprintf(b, sizeof b, "%s{\"id\":\"A%zu\"", first ? "" : ",", i);
        out += b;
        out += ",\"name\":\"" + ch.name + "\",\"desc\":\"" + ch.desc + "\",\"unit\":\"" + ch.unit +
               "\"}";
        first = false;
    }
    out += "],\"discretes\":[";
    first = true;
    for (size_t i = 1; i < m.di.size(); i++) {
        const meta_chan &ch = m.di[i];
        if (ch.desc.empty() && ch.name.empty()) continue;
        snprintf(b, sizeof b, "%s{\"id\":\"D%zu\"", first ? "" : ",", i);
        out += b;
        out += ",\"name\":\"" + ch.name + "\",\"desc\":\"" + ch.desc + "\"}";
        first = false;
    }
    out += "]}";
    srv_reply_json(c->reply, 200, std::move(out));
}

void h_time(srv_call *c) {
    char b[64];
    snprintf(b, sizeof b, "{\"now_ms\":%lld}", (long long)time(nullptr) * 1000);
    srv_reply_json(c->reply, 200, b);
}

void h_version(srv_call *c) {
    srv_reply_json(c->reply, 200,
                   "{\"module\":\"zqserver\",\"version\":\"" + rt_esc(zq_version_full()) + "\"}");
}

void h_central_url(srv_call *c) {
    srv_reply_json(c->reply, 200,
                   "{\"url\":\"" + rt_esc(srv_live_central_url(c->st).c_str()) + "\"}");
}

void h_ip_names(srv_call *c) {
    rt_reply_file_or(c->reply, "./ip_names.json", "{}");
}

const srv_route routes[] = {
    {SRV_ANY, "/api/meta", h_meta, 0},
    {SRV_ANY, "/api/channels", h_channels, 0},
    {SRV_ANY, "/api/time", h_time, 0},
    {SRV_ANY, "/api/version", h_version, 0},
    {SRV_ANY, "/api/alarm-central-url", h_central_url, 0},
    {SRV_ANY, "/api/ip-names", h_ip_names, 0},
};

}  // namespace

std::span<const srv_route> rt_meta_routes() {
    return routes;
}
