#include "server/api.h"

#include <dirent.h>
#include <errno.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/atomic_file.h"
#include "common/channels.h"
#include "common/cp1251.h"
#include "common/json.h"
#include "common/log.h"
#include "common/shm.h"
#include "common/version.h"
#include "common/yaml.h"
#include "server/ctrllog.h"

namespace {

const char *JSON_T = "application/json";

// ------------------------------------------------------------ database

ShmHandle g_shm;
std::atomic<bool> g_shm_ok{false};
std::mutex g_shm_open_mu;

// The database for the request at hand, or null when it is absent.
const ShmHandle *db() {
    if (!g_shm_ok.load(std::memory_order_acquire)) return nullptr;
    if (!shm_check_magic(&g_shm)) return nullptr;
    return &g_shm;
}

// ------------------------------------------------------------ metadata

struct meta_scale_t {
    float code_min, code_max, low, high;
    bool present;
};

struct meta_chan {
    std::string desc;  // JSON-escaped
    std::string name;  // JSON-escaped
    std::string unit;  // JSON-escaped
};

constexpr int META_MAX = 32768;

std::mutex g_meta_mu;
std::vector<meta_chan> g_an, g_di;
std::vector<meta_scale_t> g_scale;
std::string g_a_base, g_d_base;

void meta_grow(std::vector<meta_chan> &v, int n) {
    if (n < (int)v.size()) return;
    size_t cap = v.empty() ? 64 : v.size();
    while ((int)cap <= n)
        cap *= 2;
    if (cap > (size_t)META_MAX) cap = META_MAX;
    v.resize(cap);
}

void scale_grow(int n) {
    if (n < (int)g_scale.size()) return;
    size_t cap = g_scale.empty() ? 64 : g_scale.size();
    while ((int)cap <= n)
        cap *= 2;
    if (cap > (size_t)META_MAX) cap = META_MAX;
    g_scale.resize(cap, meta_scale_t{0, 0, 0, 0, false});
}

std::string esc(const char *s) {
    return json_escape_str(s ? s : "");
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

bool parse_uint(const char *s, long max, long *out) {
    if (!s || *s < '0' || *s > '9') return false;
    long v = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        if (v > (max - (*s - '0')) / 10) return false;
        v = v * 10 + (*s - '0');
    }
    if (*s) return false;
    *out = v;
    return true;
}

void legacy_table(const char *path, bool analog) {
    bool ok;
    std::string text = srv_read_file(path, 16u << 20, &ok);
    if (!ok) {
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
        if (!parse_uint(trim(col[0]).c_str(), META_MAX - 1, &n) || n < 1) continue;
        std::string d = trim(col[2]);
        if (!d.empty()) {
            std::string u = cp1251_to_utf8(d);
            if (u.size() > 506) u.resize(506);
            std::vector<meta_chan> &v = analog ? g_an : g_di;
            meta_grow(v, (int)n);
            v[n].desc = json_escape_str(u);
        }
        if (analog && col.size() >= 10) {
            double cmin = atof(col[6].c_str()), cmax = atof(col[7].c_str());
            scale_grow((int)n);
            g_scale[n] = meta_scale_t{(float)cmin, (float)cmax, (float)atof(col[8].c_str()),
                                      (float)atof(col[9].c_str()), cmin != cmax};
        }
    }
}

// -------------------------------------------------------------- presence

struct presence_row {
    char ip[48];
    char page[128];
    time_t first_seen, last_seen;
    bool active;
};
std::mutex g_pres_mu;
presence_row g_pres[256];

void presence_visit(const char *ip, const char *page) {
    time_t now = time(nullptr);
    std::lock_guard<std::mutex> lk(g_pres_mu);
    presence_row *free_row = nullptr;
    for (auto &r : g_pres) {
        if (r.active && now - r.last_seen > 8) r.active = false;  // expired lazily
        if (r.active && strcmp(r.ip, ip) == 0 && strcmp(r.page, page) == 0) {
            r.last_seen = now;
            return;
        }
        if (!r.active && !free_row) free_row = &r;
    }
    if (!free_row) return;
    snprintf(free_row->ip, sizeof free_row->ip, "%s", ip);
    snprintf(free_row->page, sizeof free_row->page, "%s", page);
    free_row->first_seen = free_row->last_seen = now;
    free_row->active = true;
}

// -------------------------------------------------------------- autosync

struct autosync_entry {
    char path[48];
    bool enabled;
};
std::mutex g_auto_mu;
std::vector<autosync_entry> g_auto;

bool autosync_enabled(const char *path) {
    std::lock_guard<std::mutex> lk(g_auto_mu);
    for (auto &e : g_auto)
        if (strcmp(e.path, path) == 0) return e.enabled;
    return false;
}

void autosync_load(const char *yaml_path) {
    std::lock_guard<std::mutex> lk(g_auto_mu);
    g_auto.clear();
    json_ptr root(yaml_parse_file(yaml_path));
    const json_node *list = json_get(json_get(json_get(root.get(), "logix"), "time"), "autosync");
    if (!list || list->type != JSON_ARRAY) return;
    for (const json_node *c = list->child; c && g_auto.size() < 32; c = c->next) {
        if (c->type != JSON_STRING || !c->string[0]) continue;
        autosync_entry e{};
        snprintf(e.path, sizeof e.path, "%s", c->string);
        e.enabled = true;
        g_auto.push_back(e);
    }
}

// ------------------------------------------------------------ PLC clock

std::mutex g_clock_mu;

struct clock_result {
    int rc;
    long long plc_us, host_us;
};

const char *clock_error(int rc) {
    switch (rc) {
        case -1:
            return "no_shm";
        case -2:
            return "old_driver";
        case -3:
            return "plc_offline";
        case -4:
            return "timeout";
        case -5:
            return "cip";
        case -6:
            return "bad_plc";
        default:
            return "error";
    }
}

clock_result plc_clock(long idx, bool sync) {
    std::lock_guard<std::mutex> lk(g_clock_mu);
    clock_result r{0, 0, 0};
    const ShmHandle *h = db();
    if (!h) return r.rc = -1, r;
    ShmHeader *hd = shm_header(h);
    if (hd->version < 5) return r.rc = -2, r;
    if (idx < 0 || idx >= (long)shm_plc_count(h)) return r.rc = -6, r;
    if (!hd->connected || !shm_plc(h, idx)->connected) return r.rc = -3, r;
    ShmHandle *wh = const_cast<ShmHandle *>(h);
    uint32_t want = shm_time_request(wh, (uint32_t)idx, sync);
    bool done = false;
    for (int i = 0; i < 200; i++) {
        usleep(10000);
        if (shm_time_done(h, sync) == want) {
            done = true;
            break;
        }
    }
    if (!done) return r.rc = -4, r;
    if (hd->time_rc != 0) return r.rc = -5, r;
    r.plc_us = hd->plc_time_us;
    r.host_us = hd->host_time_us;
    return r;
}

void utc_str(long long us, char *out, size_t cap) {
    time_t t = (time_t)(us / 1000000);
    if (us < 0 && us % 1000000) t--;
    struct tm tmv;
    if (!gmtime_r(&t, &tmv)) {
        snprintf(out, cap, "?");
        return;
    }
    strftime(out, cap, "%Y-%m-%d %H:%M:%S", &tmv);
}

std::string clock_json(long idx, const clock_result &r) {
    char buf[512];
    if (r.rc != 0) {
        snprintf(buf, sizeof buf, "{\"plc\":%ld,\"ok\":false,\"error\":\"%s\"}", idx,
                 clock_error(r.rc));
        return buf;
    }
    char ps[64], hs[64];
    utc_str(r.plc_us, ps, sizeof ps);
    utc_str(r.host_us, hs, sizeof hs);
    snprintf(buf, sizeof buf,
             "{\"plc\":%ld,\"ok\":true,\"plc_us\":%lld,\"host_us\":%lld,\"plc_str\":\"%s\","
             "\"host_str\":\"%s\",\"delta_ms\":%lld}",
             idx, r.plc_us, r.host_us, ps, hs, (r.plc_us - r.host_us) / 1000);
    return buf;
}

// ------------------------------------------------------------- helpers

int respond_json(int fd, int status, const std::string &s) {
    return http_respond(fd, status, JSON_T, s);
}

int respond_json(int fd, int status, const char *s) {
    return http_respond(fd, status, JSON_T, s, strlen(s));
}

void fmt_num(std::string &out, double v) {
    if (!std::isfinite(v)) {
        out += "null";  // JSON has no NaN or infinity
        return;
    }
    char b[40];
    snprintf(b, sizeof b, "%.15g", v);
    out += b;
}

// Scaled display value of analog channel n (channel 0 never scaled).
double an_display(int n, double raw) {
    if (n <= 0) return raw;
    std::lock_guard<std::mutex> lk(g_meta_mu);
    if (n >= (int)g_scale.size()) return raw;
    const meta_scale_t &s = g_scale[n];
    if (!s.present || s.code_max == s.code_min) return raw;
    return (raw - s.code_min) / ((double)s.code_max - s.code_min) * ((double)s.high - s.low) +
           s.low;
}

// Host part of an absolute URL ("http://host:port/x" -> "host:port").
std::string url_host(const char *url) {
    const char *p = strstr(url, "://");
    if (!p) return std::string();
    p += 3;
    size_t n = strcspn(p, "/?#");
    return std::string(p, n);
}

// State-changing requests from pages of other sites are refused: the
// answers carry "Access-Control-Allow-Origin: *", so without this a foreign
// page could post through an operator's browser.
bool cross_site(const http_request *req) {
    char origin[128], host[128];
    std::string from;
    if (http_header(req, "Origin", origin, sizeof origin)) {
        from = url_host(origin);
        if (from.empty()) return true;  // "null" and other opaque origins
    } else if (http_header(req, "Referer", origin, sizeof origin)) {
        from = url_host(origin);
        if (from.empty()) return true;
    } else {
        return false;
    }
    if (!http_header(req, "Host", host, sizeof host)) return true;
    return strcasecmp(from.c_str(), host) != 0;
}

bool is_post(const http_request *req) {
    return strcmp(req->method, "POST") == 0;
}
bool is_get(const http_request *req) {
    return strcmp(req->method, "GET") == 0 || strcmp(req->method, "HEAD") == 0;
}

void not_found(int fd) {
    http_respond(fd, 404, "text/plain", "Not Found", 9);
}

// Scans a JSON-ish body for "key": [ "a", "b", ... ] without parsing it.
std::vector<std::string> scan_list(const std::string &body, const char *key, size_t max_items,
                                   size_t max_len) {
    std::vector<std::string> out;
    std::string k = std::string("\"") + key + "\"";
    size_t p = body.find(k);
    if (p == std::string::npos) return out;
    p = body.find('[', p + k.size());
    if (p == std::string::npos) return out;
    p++;
    while (p < body.size() && body[p] != ']') {
        if (body[p] != '"') {
            p++;
            continue;
        }
        p++;
        std::string item;
        while (p < body.size() && body[p] != '"') {
            if (body[p] == '\\' && p + 1 < body.size()) p++;
            if (item.size() < max_len) item += body[p];
            p++;
        }
        p++;
        if (out.size() < max_items) out.push_back(item);
    }
    return out;
}

// ------------------------------------------------------------- handlers

void h_live(int fd) {
    const ShmHandle *h = db();
    if (!h) {
        respond_json(fd, 200,
                     "{\"connected\":false,\"poll_count\":0,\"n_an\":0,\"n_di\":0,\"an\":[],"
                     "\"di\":[]}");
        return;
    }
    ShmHeader *hd = shm_header(h);
    uint32_t nan_ = shm_an_count(h), ndi = shm_di_count(h);
    std::string out;
    out.reserve((size_t)nan_ * 96 + (size_t)ndi * 44 + 512);
    char b[256];
    snprintf(b, sizeof b,
             "{\"connected\":%d,\"poll_count\":%u,\"last_poll_ms\":%lld,\"n_an\":%u,\"n_di\":%u,"
             "\"an\":[",
             (int)hd->connected, hd->poll_count, (long long)hd->last_poll_ms, nan_, ndi);
    out += b;
    for (uint32_t i = 0; i < nan_; i++) {
        const ShmAnalog *a = shm_analog(h, i);
        double raw = a->value;
        if (i) out += ',';
        out += '[';
        fmt_num(out, an_display((int)i, raw));
        snprintf(b, sizeof b, ",%u,%lld,", (unsigned)a->quality, (long long)a->ts_ms);
        out += b;
        fmt_num(out, raw);
        out += ']';
    }
    out += "],\"di\":[";
    for (uint32_t i = 0; i < ndi; i++) {
        const ShmDiscrete *d = shm_discrete(h, i);
        snprintf(b, sizeof b, "%s[%u,%u,%lld]", i ? "," : "", (unsigned)d->value,
                 (unsigned)d->quality, (long long)d->ts_ms);
        out += b;
    }
    out += "]}";
    respond_json(fd, 200, out);
}

void h_poll(int fd, const http_request *req, router_ctx *ctx) {
    std::vector<std::string> tags = scan_list(req->body, "tags", 4096, 15);
    std::vector<std::string> pages = scan_list(req->body, "pages", 64, 127);
    for (auto &p : pages)
        presence_visit(req->client_ip, p.c_str());
    const ShmHandle *h = db();
    std::string out;
    out.reserve(48 * tags.size() + 176 * pages.size() + 512);
    out += "{\"values\":{";
    for (size_t i = 0; i < tags.size(); i++) {
        if (i) out += ',';
        out += '"';
        out += esc(tags[i].c_str());
        out += "\":";
        char kind;
        long n;
        bool good = false;
        if (h && api_parse_tag(tags[i].c_str(), &kind, &n)) {
            if (kind == 'A') {
                const ShmAnalog *a = shm_analog(h, n);
                if (a && a->quality == 1) {
                    fmt_num(out, an_display((int)n, a->value));
                    good = true;
                }
            } else {
                const ShmDiscrete *d = shm_discrete(h, n);
                if (d && d->quality == 1) {
                    out += d->value ? '1' : '0';
                    good = true;
                }
            }
        }
        if (!good) out += "null";
    }
    int connected = 0;
    const char *mode = "run";
    std::string ip;
    int minor = 0;
    if (h) {
        connected = (int)shm_header(h)->connected;
        int worst = 0;
        for (uint32_t k = 0; k < shm_plc_count(h); k++) {
            const ShmPlcBlock *b = shm_plc(h, k);
            if (!b->connected) continue;
            if (b->minor_fault) minor = 1;
            int rank = b->mode == SHM_MODE_FAULT ? 2 : b->mode == SHM_MODE_PROGRAM ? 1 : 0;
            if (rank > worst || (ip.empty() && rank == worst && worst > 0)) {
                worst = rank;
                ip.assign(b->ip, strnlen(b->ip, sizeof b->ip));
            }
        }
        mode = worst == 2 ? "fault" : worst == 1 ? "program" : "run";
    }
    char b[256];
    snprintf(b, sizeof b,
             "},\"_c\":%d,\"plc\":{\"mode\":\"%s\",\"ip\":\"%s\",\"minor\":%d},\"reload\":{",
             connected, mode, esc(ip.c_str()).c_str(), minor);
    out += b;
    for (size_t i = 0; i < pages.size(); i++) {
        const char *pg = pages[i].c_str();
        while (*pg == '/')
            pg++;
        long stamp = 0;
        if (!strstr(pg, "..")) {
            struct stat st;
            std::string p1 = std::string(ctx->cfg.wwwdir) + "/" + pg;
            std::string p2 = std::string(ctx->cfg.sys_wwwdir) + "/" + pg;
            if (stat(p1.c_str(), &st) == 0)
                stamp = (long)st.st_mtime;
            else if (ctx->cfg.sys_wwwdir[0] && stat(p2.c_str(), &st) == 0)
                stamp = (long)st.st_mtime;
        }
        snprintf(b, sizeof b, "%s\"", i ? "," : "");
        out += b;
        out += esc(pages[i].c_str());
        snprintf(b, sizeof b, "\":%ld", stamp);
        out += b;
    }
    out += "}}";
    respond_json(fd, 200, out);
}

void h_vtypes(int fd, const http_request *req) {
    char tags[1024];
    if (!http_query_param(req, "tags", tags, sizeof tags)) {
        respond_json(fd, 200, "{\"types\":{}}");
        return;
    }
    const ShmHandle *h = db();
    std::string out = "{\"types\":{";
    bool first = true;
    char *save = nullptr;
    for (char *it = strtok_r(tags, ",;", &save); it; it = strtok_r(nullptr, ",;", &save)) {
        while (*it == ' ')
            it++;
        char kind;
        long n;
        if (!api_parse_tag(it, &kind, &n) || n < 1) continue;
        if (out.size() >= 4048) break;
        const char *name = "?";
        if (h) {
            const uint8_t *t = kind == 'A' ? shm_an_vtype(h, n) : shm_di_vtype(h, n);
            if (t) name = shm_vtype_name(*t);
        }
        char b[64];
        snprintf(b, sizeof b, "%s\"%c%ld\":\"%s\"", first ? "" : ",", kind, n, name);
        out += b;
        first = false;
    }
    out += "}}";
    respond_json(fd, 200, out);
}

void h_write(int fd, const http_request *req, router_ctx *ctx) {
    if (!is_post(req)) {
        http_respond(fd, 405, "text/plain", "POST only", 9);
        return;
    }
    const ShmHandle *h = db();
    if (!h) {
        respond_json(fd, 503, "{\"error\":\"shm not available\"}");
        return;
    }
    json_ptr root(json_parse(req->body.c_str()));
    if (ctx->cfg.n_trust > 0) {
        char code[32];
        const json_node *cn = json_get(root.get(), "code");
        // Pages send the code as text or, when it is all digits, as a number.
        if (cn && cn->type == JSON_NUMBER && std::isfinite(cn->number) &&
            cn->number == std::floor(cn->number) && std::fabs(cn->number) < 1e18)
            snprintf(code, sizeof code, "%lld", (long long)cn->number);
        else
            snprintf(code, sizeof code, "%s", json_str_of(cn, ""));
        bool allowed = false;
        for (int i = 0; i < ctx->cfg.n_trust; i++) {
            // Every entry is compared so the time does not tell which matched.
            bool c = srv_secret_equal(code, ctx->cfg.trust[i].code);
            if (c && strcmp(ctx->cfg.trust[i].ip, req->client_ip) == 0) allowed = true;
        }
        if (!allowed) {
            respond_json(
                fd, 403,
                "{\"ok\":false,\"error\":\"no_control\",\"msg\":\"\\u0423 \\u0432\\u0430\\u0441 "
                "\\u043d\\u0435\\u043c\\u0430\\u0454 \\u043f\\u0440\\u0430\\u0432 "
                "\\u043a\\u0435\\u0440\\u0443\\u0432\\u0430\\u043d\\u043d\\u044f\"}");
            return;
        }
    }
    const json_node *tagn = json_get(root.get(), "tag");
    const json_node *valn = json_get(root.get(), "value");
    if (!tagn || tagn->type != JSON_STRING || !valn) {
        respond_json(fd, 400, "{\"error\":\"need tag and value\"}");
        return;
    }
    double value = 0;
    if (valn->type == JSON_NUMBER || valn->type == JSON_BOOL)
        value = json_num_of(valn, 0);
    else if (valn->type == JSON_STRING)
        value = strtod(valn->string, nullptr);
    if (!std::isfinite(value)) {
        respond_json(fd, 400, "{\"error\":\"bad value\"}");
        return;
    }
    char kind;
    long n;
    if (!api_parse_tag(tagn->string, &kind, &n)) {
        respond_json(fd, 400, "{\"error\":\"tag out of range\"}");
        return;
    }
    char page[128] = "";
    http_header(req, "Referer", page, sizeof page);
    char tagname[32];
    snprintf(tagname, sizeof tagname, "%c%ld", kind, n);
    std::string name;
    if (kind == 'A') {
        ShmWriteSlot *slot = shm_an_write_slot(h, n);
        const ShmAnalog *rec = shm_analog(h, n);
        if (!slot || !rec) {
            respond_json(fd, 400, "{\"error\":\"tag out of range\"}");
            return;
        }
        double raw = value;
        {
            std::lock_guard<std::mutex> lk(g_meta_mu);
            if (n > 0 && n < (long)g_scale.size()) {
                const meta_scale_t &s = g_scale[n];
                if (s.present && s.high != s.low)
                    raw = (value - s.low) / ((double)s.high - s.low) *
                              ((double)s.code_max - s.code_min) +
                          s.code_min;
            }
            if (n < (long)g_an.size()) name = g_an[n].desc;
        }
        if (!std::isfinite(raw)) {
            respond_json(fd, 400, "{\"error\":\"bad value\"}");
            return;
        }
        double from = an_display((int)n, rec->value);
        shm_post_write(slot, raw);
        ctrllog_analog(req->client_ip, page, tagname, name.c_str(), from, value);
    } else {
        ShmWriteSlot *slot = shm_di_write_slot(h, n);
        const ShmDiscrete *rec = shm_discrete(h, n);
        if (!slot || !rec) {
            respond_json(fd, 400, "{\"error\":\"tag out of range\"}");
            return;
        }
        {
            std::lock_guard<std::mutex> lk(g_meta_mu);
            if (n < (long)g_di.size()) name = g_di[n].desc;
        }
        double v = value != 0 ? 1.0 : 0.0;
        int from = rec->value ? 1 : 0;
        shm_post_write(slot, v);
        ctrllog_discrete(req->client_ip, page, tagname, name.c_str(), from, (int)v);
    }
    respond_json(fd, 200, "{\"ok\":true}");
}

void h_status(int fd, router_ctx *ctx) {
    const ShmHandle *h = db();
    char b[1024];
    std::string nm = esc(ctx->cfg.shm_name);
    if (!h) {
        snprintf(b, sizeof b, "{\"groups\":[{\"name\":\"%s\",\"connected\":false}]}", nm.c_str());
    } else {
        ShmHeader *hd = shm_header(h);
        snprintf(
            b, sizeof b,
            "{\"groups\":[{\"name\":\"%s\",\"connected\":%d,\"poll_count\":%u,\"n_analogs\":%u,"
            "\"n_discretes\":%u}]}",
            nm.c_str(), (int)hd->connected, hd->poll_count, shm_an_count(h), shm_di_count(h));
    }
    respond_json(fd, 200, b);
}

std::string plc_path(const ShmPlcBlock *b) {
    char p[64];
    snprintf(p, sizeof p, "%.*s\\backplane\\%u", (int)strnlen(b->ip, sizeof b->ip), b->ip,
             (unsigned)b->slot);
    return p;
}

std::string fixed_str(const char *s, size_t cap) {
    return esc(std::string(s, strnlen(s, cap)).c_str());
}

void h_plc(int fd) {
    const ShmHandle *h = db();
    std::string out = "{\"plc\":[";
    if (h) {
        for (uint32_t k = 0; k < shm_plc_count(h); k++) {
            const ShmPlcBlock *b = shm_plc(h, k);
            char e[1024];
            int n = snprintf(
                e, sizeof e,
                "%s{\"ip\":\"%s\",\"slot\":%u,\"connected\":%u,\"mode\":\"%s\",\"minor_fault\":%u,"
                "\"status\":%u,\"fw\":\"%u.%u\",\"serial\":%u,\"name\":\"%s\",\"proc\":\"%s\","
                "\"idx\":%u,\"auto\":%d}",
                k ? "," : "", fixed_str(b->ip, sizeof b->ip).c_str(), (unsigned)b->slot,
                (unsigned)b->connected, shm_mode_name(b->mode), (unsigned)b->minor_fault,
                (unsigned)b->status, (unsigned)b->fw_major, (unsigned)b->fw_minor, b->serial,
                fixed_str(b->name, sizeof b->name).c_str(),
                fixed_str(b->proc, sizeof b->proc).c_str(), k,
                autosync_enabled(plc_path(b).c_str()) ? 1 : 0);
            if (out.size() + (size_t)n + 2 > 8192) break;
            out.append(e, (size_t)n);
        }
    }
    out += "]}";
    respond_json(fd, 200, out);
}

// Controller index from the query: absent -> 0; not a number -> -1.
long plc_index(const http_request *req) {
    char v[32];
    if (!http_query_param(req, "plc", v, sizeof v) || !v[0]) return 0;
    long n;
    if (!parse_uint(v, INT_MAX, &n)) return -1;
    return n;
}

void local_str(time_t t, char *out, size_t cap) {
    struct tm tmv;
    localtime_r(&t, &tmv);
    strftime(out, cap, "%Y-%m-%d %H:%M:%S", &tmv);
}

void h_plc_time_all(int fd) {
    const ShmHandle *h = db();
    if (!h) {
        respond_json(fd, 200, "{\"ok\":false,\"error\":\"no_shm\",\"rows\":[]}");
        return;
    }
    std::string out = "{\"ok\":true,\"rows\":[";
    uint32_t n = shm_plc_count(h);
    for (uint32_t k = 0; k < n && out.size() <= 3696; k++) {
        if (k) out += ',';
        out += clock_json(k, plc_clock(k, false));
    }
    char hs[64];
    local_str(time(nullptr), hs, sizeof hs);
    out += "],\"host_str\":\"";
    out += hs;
    out += "\"}";
    respond_json(fd, 200, out);
}

// Rewrites the autosync list inside the logix/time block of config.yaml.
}  // namespace

std::string autosync_rewrite(const std::string &text, const std::vector<std::string> &items,
                             int threshold) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        lines.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    auto indent_of = [](const std::string &l) { return (int)l.find_first_not_of(' '); };
    auto is_blank = [](const std::string &l) {
        size_t b = l.find_first_not_of(" \t\r");
        return b == std::string::npos || l[b] == '#';
    };
    auto key_is = [&](const std::string &l, const char *key) {
        int in = indent_of(l);
        if (in < 0) return false;
        size_t kl = strlen(key);
        return l.compare((size_t)in, kl, key) == 0 && (l.size() == in + kl || l[in + kl] == ' ' ||
                                                       l[in + kl] == '\r' || l[in + kl] == '#');
    };
    auto item_lines = [&](int ind) {
        std::vector<std::string> v;
        for (auto &p : items) {
            char b[128];
            snprintf(b, sizeof b, "%*s- \"%s\"", ind, "", json_escape_str(p).c_str());
            v.push_back(b);
        }
        return v;
    };
    char thr[256];
    auto thr_line = [&](int ind) {
        snprintf(thr, sizeof thr,
                 "%*sautosync_threshold_ms: %d   # |розбіжність| ПЛК/машина, вище якої спрацьовує "
                 "автосинхронізація (мс)",
                 ind, "", threshold);
        return std::string(thr);
    };
    // logix: section bounds.
    int lx = -1;
    for (size_t i = 0; i < lines.size(); i++)
        if (indent_of(lines[i]) == 0 && key_is(lines[i], "logix:")) lx = (int)i;
    if (lx < 0) {
        lines.push_back("logix:");
        lx = (int)lines.size() - 1;
    }
    size_t lend = lines.size();
    for (size_t i = lx + 1; i < lines.size(); i++)
        if (!is_blank(lines[i]) && indent_of(lines[i]) == 0) {
            lend = i;
            break;
        }
    int child = 2;
    for (size_t i = lx + 1; i < lend; i++)
        if (!is_blank(lines[i])) {
            child = indent_of(lines[i]);
            break;
        }
    int tm = -1;
    for (size_t i = lx + 1; i < lend; i++)
        if (indent_of(lines[i]) == child && key_is(lines[i], "time:")) tm = (int)i;
    std::vector<std::string> ins;
    if (tm < 0) {
        ins.push_back(std::string(child, ' ') + "time:");
        ins.push_back(std::string(child + 2, ' ') + "autosync:");
        for (auto &l : item_lines(child + 4))
            ins.push_back(l);
        ins.push_back(thr_line(child + 2));
        lines.insert(lines.begin() + lx + 1, ins.begin(), ins.end());
    } else {
        size_t tend = lend;
        for (size_t i = tm + 1; i < lend; i++)
            if (!is_blank(lines[i]) && indent_of(lines[i]) <= child) {
                tend = i;
                break;
            }
        int as = -1, tchild = child + 2;
        bool has_thr = false;
        for (size_t i = tm + 1; i < tend; i++) {
            if (is_blank(lines[i])) continue;
            if (key_is(lines[i], "autosync:")) {
                as = (int)i;
                tchild = indent_of(lines[i]);
            }
            if (key_is(lines[i], "autosync_threshold_ms:")) has_thr = true;
        }
        if (as >= 0) {
            size_t e = as + 1;
            while (e < tend && (is_blank(lines[e]) || indent_of(lines[e]) > tchild ||
                                (indent_of(lines[e]) == tchild && lines[e][tchild] == '-')))
                e++;
            // Keep comments and blank lines that trail the list.
            while (e > (size_t)as + 1 && is_blank(lines[e - 1]))
                e--;
            lines.erase(lines.begin() + as + 1, lines.begin() + e);
            lines[as] = std::string(tchild, ' ') + "autosync:";
            std::vector<std::string> il = item_lines(tchild + 2);
            lines.insert(lines.begin() + as + 1, il.begin(), il.end());
        } else {
            for (size_t i = tm + 1; i < tend; i++)
                if (!is_blank(lines[i])) {
                    tchild = indent_of(lines[i]);
                    break;
                }
            ins.push_back(std::string(tchild, ' ') + "autosync:");
            for (auto &l : item_lines(tchild + 2))
                ins.push_back(l);
            if (!has_thr) ins.push_back(thr_line(tchild));
            lines.insert(lines.begin() + tm + 1, ins.begin(), ins.end());
        }
    }
    std::string out;
    for (auto &l : lines)
        out += l + "\n";
    return out;
}

namespace {

int autosync_save(const char *yaml_path, int threshold) {
    std::lock_guard<std::mutex> flk(srv_config_file_mutex());
    bool ok;
    std::string text = srv_read_file(yaml_path, 8u << 20, &ok);
    // An unreadable configuration is never replaced by a stub.
    if (!ok) return -1;
    std::vector<std::string> items;
    {
        std::lock_guard<std::mutex> lk(g_auto_mu);
        for (auto &e : g_auto)
            if (e.enabled) items.push_back(e.path);
    }
    std::string out = autosync_rewrite(text, items, threshold);
    return atomic_file_write(yaml_path, out.data(), out.size());
}

void h_plc_time_auto(int fd, const http_request *req, router_ctx *ctx) {
    const ShmHandle *h = db();
    if (!h) {
        respond_json(fd, 200, "{\"ok\":false,\"error\":\"no_shm\"}");
        return;
    }
    long idx = plc_index(req);
    if (idx < 0 || idx >= (long)shm_plc_count(h)) {
        respond_json(fd, 200, "{\"ok\":false,\"error\":\"bad_plc\"}");
        return;
    }
    char on_s[8] = "0";
    http_query_param(req, "on", on_s, sizeof on_s);
    int on = atoi(on_s) != 0;
    const ShmPlcBlock *b = shm_plc(h, idx);
    std::string path = plc_path(b);
    {
        std::lock_guard<std::mutex> lk(g_auto_mu);
        bool found = false;
        for (auto &e : g_auto)
            if (path == e.path) {
                e.enabled = on;
                found = true;
            }
        if (!found && g_auto.size() < 32) {
            autosync_entry e{};
            snprintf(e.path, sizeof e.path, "%s", path.c_str());
            e.enabled = on;
            g_auto.push_back(e);
        }
    }
    if (autosync_save(ctx->cfg.yaml_path, ctx->cfg.autosync_threshold_ms) != 0)
        log_err("autosync: can't rewrite %s: %s", ctx->cfg.yaml_path, strerror(errno));
    char out[256];
    snprintf(out, sizeof out, "{\"ok\":true,\"path\":\"%s\\\\backplane\\\\%u\",\"on\":%d}",
             fixed_str(b->ip, sizeof b->ip).c_str(), (unsigned)b->slot, on);
    respond_json(fd, 200, out);
}

void h_meta(int fd) {
    std::string out = "{";
    bool first = true;
    std::lock_guard<std::mutex> lk(g_meta_mu);
    char b[32];
    for (size_t i = 1; i < g_an.size(); i++) {
        if (g_an[i].desc.empty()) continue;
        snprintf(b, sizeof b, "%s\"A%zu\":\"", first ? "" : ",", i);
        out += b;
        out += g_an[i].desc;
        out += '"';
        first = false;
    }
    for (size_t i = 1; i < g_di.size(); i++) {
        if (g_di[i].desc.empty()) continue;
        snprintf(b, sizeof b, "%s\"D%zu\":\"", first ? "" : ",", i);
        out += b;
        out += g_di[i].desc;
        out += '"';
        first = false;
    }
    out += "}";
    respond_json(fd, 200, out);
}

// Names and units of the registry for operator pages that label channels.
void h_channels(int fd) {
    std::string out = "{\"analogs\":[";
    std::lock_guard<std::mutex> lk(g_meta_mu);
    char b[32];
    bool first = true;
    for (size_t i = 1; i < g_an.size(); i++) {
        const meta_chan &c = g_an[i];
        if (c.desc.empty() && c.name.empty() && c.unit.empty()) continue;
        snprintf(b, sizeof b, "%s{\"id\":\"A%zu\"", first ? "" : ",", i);
        out += b;
        out +=
            ",\"name\":\"" + c.name + "\",\"desc\":\"" + c.desc + "\",\"unit\":\"" + c.unit + "\"}";
        first = false;
    }
    out += "],\"discretes\":[";
    first = true;
    for (size_t i = 1; i < g_di.size(); i++) {
        const meta_chan &c = g_di[i];
        if (c.desc.empty() && c.name.empty()) continue;
        snprintf(b, sizeof b, "%s{\"id\":\"D%zu\"", first ? "" : ",", i);
        out += b;
        out += ",\"name\":\"" + c.name + "\",\"desc\":\"" + c.desc + "\"}";
        first = false;
    }
    out += "]}";
    respond_json(fd, 200, out);
}

void h_file_or(int fd, const std::string &path, const char *fallback) {
    bool ok;
    std::string s = srv_read_file(path.c_str(), 16u << 20, &ok);
    if (!ok) s = fallback;
    respond_json(fd, 200, s);
}

// ---------------------------------------------------------------- alarms

bool valid_date(const char *d, int *y, int *m, int *dd) {
    if (strlen(d) != 10 || d[4] != '-' || d[7] != '-') return false;
    for (int i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (d[i] < '0' || d[i] > '9') return false;
    *y = atoi(d);
    *m = atoi(d + 5);
    *dd = atoi(d + 8);
    return *m >= 1 && *m <= 12 && *dd >= 1 && *dd <= 31;
}

void h_alarms(int fd, const http_request *req, router_ctx *ctx) {
    const char *sub = req->path + strlen("/api/alarms/");
    std::string dir = ctx->cfg.alarm_dir;
    if (strcmp(sub, "ack") == 0 && is_post(req)) {
        json_ptr root(json_parse(req->body.c_str()));
        long long id = json_geti(root.get(), "id", 0);
        const json_node *idn = json_get(root.get(), "id");
        if (idn && idn->type == JSON_STRING) {
            long v;
            id = parse_uint(idn->string, LONG_MAX, &v) ? v : 0;
        } else if (idn && idn->type == JSON_NUMBER && idn->number != std::floor(idn->number)) {
            id = 0;
        }
        if (id <= 0) {
            respond_json(fd, 400, "{\"ok\":false}");
            return;
        }
        long long station = -1;
        {
            json_ptr act(json_parse_file((dir + "/alarms_active.json").c_str()));
            const json_node *list = json_get(act.get(), "active");
            for (const json_node *c = list ? list->child : nullptr; c; c = c->next)
                if (json_geti(c, "journal_id", -1) == id) {
                    station = json_geti(c, "station", -1);
                    break;
                }
        }
        if (station < 0) {
            char day[16];
            snprintf(day, sizeof day, "%02lld%02lld%04lld", (id / 100000) % 100,
                     (id / 10000000) % 100, id / 1000000000);
            bool ok;
            std::string j =
                srv_read_file((dir + "/journal-" + day + ".jsonl").c_str(), 64u << 20, &ok);
            size_t pos = 0;
            while (ok && pos < j.size() && station < 0) {
                size_t nl = j.find('\n', pos);
                if (nl == std::string::npos) nl = j.size();
                json_ptr rec(json_parse_len(j.data() + pos, nl - pos));
                if (rec && json_geti(rec.get(), "id", -1) == id)
                    station = json_geti(rec.get(), "station", -1);
                pos = nl + 1;
            }
        }
        if (station >= 0) {
            json_ptr cfg(json_parse_file((dir + "/alarm.json").c_str()));
            const json_node *st = json_get(cfg.get(), "stations");
            for (const json_node *s = st ? st->child : nullptr; s; s = s->next) {
                if (json_geti(s, "id", -1) != station) continue;
                const json_node *ips = json_get(s, "ack_ips");
                if (!ips || ips->type != JSON_ARRAY || !ips->child) break;
                bool allowed = false;
                for (const json_node *ip = ips->child; ip; ip = ip->next)
                    if (ip->type == JSON_STRING && strcmp(ip->string, req->client_ip) == 0)
                        allowed = true;
                if (!allowed) {
                    respond_json(fd, 403,
                                 "{\"ok\":false,\"error\":\"no_control\",\"msg\":\"У вас немає "
                                 "прав квитування\"}");
                    return;
                }
                break;
            }
        }
        // Appends from several connection threads must not interleave.
        static std::mutex ack_mu;
        std::lock_guard<std::mutex> lk(ack_mu);
        FILE *f = fopen((dir + "/ack.req").c_str(), "a");
        if (!f) {
            respond_json(fd, 400, "{\"ok\":false}");
            return;
        }
        fprintf(f, "%lld %s\n", id, req->client_ip);
        fclose(f);
        respond_json(fd, 200, "{\"ok\":true}");
        return;
    }
    if (!is_get(req)) {
        not_found(fd);
        return;
    }
    if (strcmp(sub, "active") == 0) {
        h_file_or(fd, dir + "/alarms_active.json", "{}");
    } else if (strcmp(sub, "config") == 0) {
        h_file_or(fd, dir + "/alarm.json", "{}");
    } else if (strcmp(sub, "journal") == 0) {
        char d[32] = "";
        int y, m, dd;
        char day[16];
        if (http_query_param(req, "date", d, sizeof d) && valid_date(d, &y, &m, &dd)) {
            snprintf(day, sizeof day, "%02d%02d%04d", dd, m, y);
        } else {
            time_t now = time(nullptr);
            struct tm tmv;
            localtime_r(&now, &tmv);
            strftime(day, sizeof day, "%d%m%Y", &tmv);
        }
        bool ok;
        std::string j = srv_read_file((dir + "/journal-" + day + ".jsonl").c_str(), 64u << 20, &ok);
        std::string out = "{\"records\":[";
        bool first = true;
        size_t pos = 0;
        while (ok && pos < j.size()) {
            size_t nl = j.find('\n', pos);
            if (nl == std::string::npos) nl = j.size();
            std::string line = j.substr(pos, nl - pos);
            pos = nl + 1;
            while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
                line.pop_back();
            if (line.empty()) continue;
            if (!first) out += ',';
            out += line;
            first = false;
        }
        out += "]}";
        respond_json(fd, 200, out);
    } else if (strcmp(sub, "dates") == 0) {
        std::vector<std::string> days;
        if (DIR *d = opendir(dir.c_str())) {
            while (dirent *e = readdir(d)) {
                const char *n = e->d_name;
                if (strlen(n) != 22 || strncmp(n, "journal-", 8) != 0 ||
                    strcmp(n + 16, ".jsonl") != 0)
                    continue;
                bool digits = true;
                for (int i = 8; i < 16; i++)
                    if (n[i] < '0' || n[i] > '9') digits = false;
                if (!digits) continue;
                char ymd[16];
                snprintf(ymd, sizeof ymd, "%.4s-%.2s-%.2s", n + 12, n + 10, n + 8);
                days.push_back(ymd);
            }
            closedir(d);
        }
        std::sort(days.rbegin(), days.rend());
        if (days.size() > 150) days.resize(150);
        std::string out = "[";
        for (size_t i = 0; i < days.size(); i++)
            out += (i ? ",\"" : "\"") + days[i] + "\"";
        out += "]";
        respond_json(fd, 200, out);
    } else {
        not_found(fd);
    }
}

// ------------------------------------------------------------------ ksp

bool name_chars(const char *s, size_t n) {
    for (size_t i = 0; i < n; i++) {
        char c = s[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-'))
            return false;
    }
    return n > 0;
}

bool proj_path_ok(const char *f) {
    if (!f[0] || f[0] == '/') return false;
    std::string s = f;
    size_t pos = 0;
    for (;;) {
        size_t sl = s.find('/', pos);
        std::string el = s.substr(pos, sl == std::string::npos ? std::string::npos : sl - pos);
        if (el == "..") return false;
        if (sl == std::string::npos) break;
        pos = sl + 1;
    }
    return true;
}

void list_files(const std::string &root, const char *ext, size_t cap, std::string *out) {
    std::vector<std::string> names;
    auto scan = [&](const std::string &dir, const std::string &prefix, bool recurse) {
        DIR *d = opendir(dir.c_str());
        if (!d) return std::vector<std::string>();
        std::vector<std::string> subs;
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::string full = dir + "/" + e->d_name;
            struct stat st;
            if (stat(full.c_str(), &st) != 0) continue;
            if (S_ISDIR(st.st_mode)) {
                if (recurse) subs.push_back(e->d_name);
            } else if (S_ISREG(st.st_mode) && srv_ends_with(e->d_name, ext)) {
                names.push_back(prefix + e->d_name);
            }
        }
        closedir(d);
        return subs;
    };
    for (auto &s : scan(root, "", true))
        scan(root + "/" + s, s + "/", false);
    std::sort(names.begin(), names.end());
    *out = "[";
    bool first = true;
    for (auto &n : names) {
        std::string item = (first ? "\"" : ",\"") + esc(n.c_str()) + "\"";
        if (out->size() + item.size() + 1 > cap) break;
        *out += item;
        first = false;
    }
    *out += "]";
}

const char LAUNCHER_HEAD[] =
    "<!DOCTYPE html><html><head><meta "
    "charset=\"UTF-8\"><script>location.replace('/ksp_viewer.htm?cfg=";

void h_ksp(int fd, const http_request *req, router_ctx *ctx) {
    const char *sub = req->path + strlen("/api/ksp/");
    const char *projdir = ctx->cfg.ksp_projdir;
    bool proj = srv_starts_with(sub, "proj/");
    if (proj && !projdir[0] &&
        ((strcmp(sub, "proj/list") == 0 || strcmp(sub, "proj/open") == 0) ? is_get(req)
         : strcmp(sub, "proj/save") == 0                                  ? is_post(req)
                                                                          : false)) {
        respond_json(fd, 503, "{\"ok\":false,\"msg\":\"ksp_projdir not configured\"}");
        return;
    }
    if (strcmp(sub, "frame") == 0 && is_get(req)) {
        char cfgq[512];
        if (!http_query_param(req, "cfg", cfgq, sizeof cfgq) || !cfgq[0]) {
            http_respond(fd, 400, "text/plain", "need ?cfg=", 10);
            return;
        }
        // Frames need the trend query, which is not part of this server yet.
        http_respond(fd, 404, "text/plain", "Bad cfg", 7);
    } else if (strcmp(sub, "list") == 0 && is_get(req)) {
        std::string out;
        list_files(ctx->cfg.wwwdir, ".ks", 8192, &out);
        respond_json(fd, 200, out);
    } else if (strcmp(sub, "save") == 0 && is_post(req)) {
        char f[256] = "", dir[256] = "";
        http_query_param(req, "f", f, sizeof f);
        bool has_dir = http_query_param(req, "dir", dir, sizeof dir) && dir[0];
        size_t fl = strlen(f);
        if (fl < 4 || !srv_ends_with(f, ".ks")) {
            respond_json(fd, 400, "{\"ok\":false,\"msg\":\"invalid filename\"}");
            return;
        }
        if (!name_chars(f, fl - 3)) {
            respond_json(fd, 400, "{\"ok\":false,\"msg\":\"invalid chars\"}");
            return;
        }
        if (has_dir && !name_chars(dir, strlen(dir))) {
            respond_json(fd, 400, "{\"ok\":false,\"msg\":\"invalid dir\"}");
            return;
        }
        if (req->body.empty()) {
            respond_json(fd, 400, "{\"ok\":false,\"msg\":\"empty body\"}");
            return;
        }
        std::string base = ctx->cfg.wwwdir;
        if (has_dir) {
            base += "/";
            base += dir;
            mkdir(base.c_str(), 0755);
        }
        std::string target = base + "/" + f;
        if (atomic_file_write(target, req->body) != 0) {
            respond_json(fd, 500, "{\"ok\":false,\"msg\":\"write failed\"}");
            return;
        }
        std::string page = target.substr(0, target.size() - 3) + ".htm";
        // The launcher replaces only an earlier launcher: a panel named like
        // an existing page must not overwrite that page.
        bool ok;
        std::string old = srv_read_file(page.c_str(), 1u << 20, &ok);
        struct stat st;
        bool absent = lstat(page.c_str(), &st) != 0 && errno == ENOENT;
        if (absent || (ok && old.compare(0, sizeof LAUNCHER_HEAD - 1, LAUNCHER_HEAD) == 0)) {
            std::string cfgv = has_dir ? std::string(dir) + "/" + f : std::string(f);
            std::string html =
                std::string(LAUNCHER_HEAD) + cfgv + "');</script></head><body></body></html>\n";
            atomic_file_write(page, html);
        }
        respond_json(fd, 200, "{\"ok\":true}");
    } else if (strcmp(sub, "proj/list") == 0 && is_get(req)) {
        std::string out;
        list_files(projdir, ".ksp", 16384, &out);
        respond_json(fd, 200, out);
    } else if (strcmp(sub, "proj/open") == 0 && is_get(req)) {
        char f[512] = "";
        http_query_param(req, "f", f, sizeof f);
        bool ok = false;
        std::string s;
        if (proj_path_ok(f))
            s = srv_read_file((std::string(projdir) + "/" + f).c_str(), 64u << 20, &ok);
        if (!ok) {
            respond_json(fd, 404, "{\"ok\":false,\"msg\":\"not found\"}");
            return;
        }
        http_respond(fd, 200, "application/xml; charset=utf-8", s);
    } else if (strcmp(sub, "proj/save") == 0 && is_post(req)) {
        char f[512] = "";
        http_query_param(req, "f", f, sizeof f);
        if (req->body.empty()) {
            respond_json(fd, 400, "{\"ok\":false,\"msg\":\"empty body\"}");
            return;
        }
        if (!srv_ends_with(f, ".ksp")) {
            respond_json(fd, 400, "{\"ok\":false,\"msg\":\"must end in .ksp\"}");
            return;
        }
        if (!proj_path_ok(f)) {
            respond_json(fd, 400, "{\"ok\":false,\"msg\":\"invalid path\"}");
            return;
        }
        std::string target = std::string(projdir) + "/" + f;
        std::string d = srv_dir_of(target.c_str());
        mkdir(d.c_str(), 0755);
        if (atomic_file_write(target, req->body) != 0) {
            respond_json(fd, 500, "{\"ok\":false,\"msg\":\"write failed\"}");
            return;
        }
        respond_json(fd, 200, "{\"ok\":true}");
    } else {
        not_found(fd);
    }
}

// ------------------------------------------------------------- autosync tick

struct auto_state {
    bool was_connected;
    time_t last_connect_check;
};
auto_state g_auto_state[32];
int g_auto_yday = -1;

}  // namespace

// ------------------------------------------------------------------ public

bool api_parse_tag(const char *s, char *kind, long *num) {
    if (!s) return false;
    char k = (char)(s[0] & ~0x20);
    if (k != 'A' && k != 'D') return false;
    if (!parse_uint(s + 1, INT_MAX, num)) return false;
    *kind = k;
    return true;
}

int meta_load(const char *a_base, const char *d_base) {
    std::lock_guard<std::mutex> lk(g_meta_mu);
    std::string jpath = srv_dir_of(a_base) + "/channels.json";
    channels_registry reg;
    if (channels_load(&reg, jpath.c_str()) == 0) {
        g_an.clear();
        g_di.clear();
        g_scale.clear();
        for (int n = 1; n < reg.an_cap; n++) {
            const channel_rec *r = channels_an(&reg, n);
            if (!r) continue;
            meta_grow(g_an, n);
            scale_grow(n);
            g_an[n].desc = esc(r->desc);
            g_an[n].name = esc(r->name);
            g_an[n].unit = esc(r->unit);
            g_scale[n] = meta_scale_t{(float)r->code_min, (float)r->code_max, (float)r->phys_min,
                                      (float)r->phys_max, r->has_scale != 0};
        }
        for (int n = 1; n < reg.di_cap; n++) {
            const channel_rec *r = channels_di(&reg, n);
            if (!r) continue;
            meta_grow(g_di, n);
            g_di[n].desc = esc(r->desc);
            g_di[n].name = esc(r->name);
        }
        return 0;
    }
    g_an.clear();
    g_di.clear();
    g_scale.clear();
    legacy_table(a_base, true);
    legacy_table(d_base, false);
    return 0;
}

bool meta_scale(int ch, double *code_min, double *code_max, float *low, float *high) {
    std::lock_guard<std::mutex> lk(g_meta_mu);
    if (ch < 1 || ch >= (int)g_scale.size() || !g_scale[ch].present) return false;
    *code_min = g_scale[ch].code_min;
    *code_max = g_scale[ch].code_max;
    *low = g_scale[ch].low;
    *high = g_scale[ch].high;
    return true;
}

void api_meta_reload(router_ctx *ctx) {
    meta_load(ctx->cfg.eng_base_a, ctx->cfg.eng_base_d);
}

bool api_shm_open(router_ctx *ctx, bool log_it) {
    std::lock_guard<std::mutex> lk(g_shm_open_mu);
    if (g_shm_ok) return true;
    if (shm_handle_open(&g_shm, ctx->cfg.shm_name, true, SHM_MSG_SERVER) != 0) return false;
    g_shm_ok.store(true, std::memory_order_release);
    if (log_it) log_msg("SHM opened: %s", ctx->cfg.shm_name);
    return true;
}

void api_init(router_ctx *ctx) {
    meta_load(ctx->cfg.eng_base_a, ctx->cfg.eng_base_d);
    ctrllog_init(ctx->cfg.logcontrolpath, ctx->cfg.logcontrol != 0);
    printf("SHM name: %s\n", ctx->cfg.shm_name);
    if (api_shm_open(ctx, false)) {
        printf("SHM opened: %s\n", ctx->cfg.shm_name);
    } else {
        fprintf(stderr, "SHM not ready yet (%s) — will retry\n", ctx->cfg.shm_name);
    }
    fflush(stdout);
    autosync_load(ctx->cfg.yaml_path);
}

void api_watch_tick(router_ctx *ctx) {
    if (!g_shm_ok) api_shm_open(ctx, true);
    const ShmHandle *h = db();
    if (!h) return;
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    bool new_day = g_auto_yday >= 0 && tmv.tm_yday != g_auto_yday;
    g_auto_yday = tmv.tm_yday;
    uint32_t n = std::min<uint32_t>(shm_plc_count(h), 32);
    for (uint32_t k = 0; k < n; k++) {
        const ShmPlcBlock *b = shm_plc(h, k);
        auto_state &s = g_auto_state[k];
        if (!b->connected) {
            s.was_connected = false;
            continue;
        }
        bool just = !s.was_connected;
        s.was_connected = true;
        std::string path = plc_path(b);
        if (!autosync_enabled(path.c_str())) continue;
        bool check = new_day;
        if (just && now - s.last_connect_check >= 300) {
            check = true;
            s.last_connect_check = now;
        }
        if (!check) continue;
        clock_result r = plc_clock(k, false);
        if (r.rc != 0) continue;
        long long diff = (r.plc_us - r.host_us) / 1000;
        int thr = ctx->cfg.autosync_threshold_ms > 0 ? ctx->cfg.autosync_threshold_ms : 2000;
        if (std::llabs(diff) > thr) {
            log_msg("autosync ПЛК %s: розбіжність %lld мс → синхронізую", path.c_str(), diff);
            plc_clock(k, true);
        }
    }
}

void api_shutdown() {
    std::lock_guard<std::mutex> lk(g_shm_open_mu);
    if (g_shm_ok) {
        g_shm_ok = false;
        shm_handle_close(&g_shm);
    }
    ctrllog_close();
}

bool api_is_runtime_path(const char *p) {
    static const char *exact[] = {"/api/live",
                                  "/api/poll",
                                  "/api/vtypes",
                                  "/api/write",
                                  "/api/status",
                                  "/api/plc",
                                  "/api/plc/time",
                                  "/api/plc/time/all",
                                  "/api/plc/time/sync",
                                  "/api/plc/time/auto",
                                  "/api/time",
                                  "/api/version",
                                  "/api/alarm-central-url",
                                  "/api/meta",
                                  "/api/ip-names",
                                  "/api/channels"};
    for (const char *e : exact)
        if (strcmp(p, e) == 0) return true;
    return srv_starts_with(p, "/api/ksp/") || srv_starts_with(p, "/api/alarms/");
}

void api_dispatch(int fd, http_request *req, router_ctx *ctx) {
    const char *p = req->path;
    bool changes = strcmp(p, "/api/write") == 0 || strcmp(p, "/api/alarms/ack") == 0 ||
                   strcmp(p, "/api/ksp/save") == 0 || strcmp(p, "/api/ksp/proj/save") == 0 ||
                   strcmp(p, "/api/plc/time/sync") == 0 || strcmp(p, "/api/plc/time/auto") == 0;
    if (changes && cross_site(req)) {
        respond_json(fd, 403, "{\"ok\":false,\"error\":\"cross_site\"}");
        return;
    }
    if (strcmp(p, "/api/live") == 0)
        h_live(fd);
    else if (strcmp(p, "/api/poll") == 0)
        h_poll(fd, req, ctx);
    else if (strcmp(p, "/api/vtypes") == 0)
        h_vtypes(fd, req);
    else if (strcmp(p, "/api/write") == 0)
        h_write(fd, req, ctx);
    else if (strcmp(p, "/api/status") == 0)
        h_status(fd, ctx);
    else if (strcmp(p, "/api/plc") == 0)
        h_plc(fd);
    else if (strcmp(p, "/api/plc/time") == 0 || strcmp(p, "/api/plc/time/sync") == 0) {
        long idx = plc_index(req);
        clock_result r{-6, 0, 0};
        if (idx >= 0) r = plc_clock(idx, strcmp(p, "/api/plc/time/sync") == 0);
        respond_json(fd, 200, clock_json(idx < 0 ? 0 : idx, r));
    } else if (strcmp(p, "/api/plc/time/all") == 0)
        h_plc_time_all(fd);
    else if (strcmp(p, "/api/plc/time/auto") == 0)
        h_plc_time_auto(fd, req, ctx);
    else if (strcmp(p, "/api/time") == 0) {
        char b[64];
        snprintf(b, sizeof b, "{\"now_ms\":%lld}", (long long)time(nullptr) * 1000);
        respond_json(fd, 200, b);
    } else if (strcmp(p, "/api/version") == 0) {
        std::string b = "{\"module\":\"zqserver\",\"version\":\"" + esc(zq_version_full()) + "\"}";
        respond_json(fd, 200, b);
    } else if (strcmp(p, "/api/alarm-central-url") == 0) {
        respond_json(fd, 200, "{\"url\":\"" + esc(ctx->cfg.central_url) + "\"}");
    } else if (strcmp(p, "/api/meta") == 0)
        h_meta(fd);
    else if (strcmp(p, "/api/channels") == 0)
        h_channels(fd);
    else if (strcmp(p, "/api/ip-names") == 0)
        h_file_or(fd, "./ip_names.json", "{}");
    else if (srv_starts_with(p, "/api/alarms/"))
        h_alarms(fd, req, ctx);
    else if (srv_starts_with(p, "/api/ksp/"))
        h_ksp(fd, req, ctx);
    else
        not_found(fd);
}
