// Values for the operator pages: /api/live (everything), /api/poll (the
// tags of the open pages, with controller state and page stamps),
// /api/vtypes; /api/poll also records which pages each station shows.

#include <sys/stat.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "server/rt_common.h"
#include "server/rt_meta.h"
#include "server/srv_routes.h"

namespace {

void presence_visit(srv_presence *p, const char *ip, const char *page) {
    time_t now = time(nullptr);
    std::lock_guard<std::mutex> lk(p->mu);
    rt_presence_row *free_row = nullptr;
    for (auto &r : p->rows) {
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

void h_live(srv_call *c) {
    const ShmHandle *h = c->db;
    if (!h) {
        srv_reply_json(c->reply, 200,
                       "{\"connected\":false,\"poll_count\":0,\"n_an\":0,\"n_di\":0,\"an\":[],"
                       "\"di\":[]}");
        return;
    }
    ShmHeader *hd = shm_header(h);
    // Frozen values (no producer alive) go out as bad: quality 0, no value.
    int64_t frozen = rt_frozen_before(c->st, h);
    bool live = frozen == INT64_MIN;
    uint32_t nan_ = shm_an_count(h), ndi = shm_di_count(h);
    std::string out;
    out.reserve((size_t)nan_ * 96 + (size_t)ndi * 44 + 512);
    char b[256];
    snprintf(b, sizeof b,
             "{\"connected\":%d,\"poll_count\":%u,\"last_poll_ms\":%lld,\"n_an\":%u,\"n_di\":%u,"
             "\"an\":[",
             live ? (int)hd->connected : 0, hd->poll_count, (long long)hd->last_poll_ms, nan_, ndi);
    out += b;
    // Read once, scale all under one lock, then format without it.
    std::vector<long> chans(nan_);
    std::vector<double> raws(nan_), phys(nan_);
    for (uint32_t i = 0; i < nan_; i++) {
        chans[i] = (long)i;
        raws[i] = phys[i] = shm_analog(h, i)->value;
    }
    meta_to_phys_many(&c->st->meta, chans.data(), phys.data(), nan_);
    for (uint32_t i = 0; i < nan_; i++) {
        const ShmAnalog *a = shm_analog(h, i);
        double raw = raws[i];
        if (i) out += ',';
        if (a->ts_ms < frozen) {
            snprintf(b, sizeof b, "[null,0,%lld,null]", (long long)a->ts_ms);
            out += b;
            continue;
        }
        out += '[';
        rt_fmt_num(out, phys[i]);
        snprintf(b, sizeof b, ",%u,%lld,", (unsigned)a->quality, (long long)a->ts_ms);
        out += b;
        rt_fmt_num(out, raw);
        out += ']';
    }
    out += "],\"di\":[";
    for (uint32_t i = 0; i < ndi; i++) {
        const ShmDiscrete *d = shm_discrete(h, i);
        if (d->ts_ms >= frozen)
            snprintf(b, sizeof b, "%s[%u,%u,%lld]", i ? "," : "", (unsigned)d->value,
                     (unsigned)d->quality, (long long)d->ts_ms);
        else
            snprintf(b, sizeof b, "%s[null,0,%lld]", i ? "," : "", (long long)d->ts_ms);
        out += b;
    }
    out += "]}";
    srv_reply_json(c->reply, 200, std::move(out));
}

// Good values of the tags; null for bad quality, unknown tags, no database or
// a database nobody keeps up to date.
void poll_values(srv_call *c, const std::vector<std::string> &tags, int64_t frozen,
                 std::string &out) {
    const ShmHandle *h = c->db;
    // Per tag: 'A' (scaled value), 'D' (0/1) or 0 (null). Channel 0 passes
    // unscaled, so non-analog slots go through the conversion untouched.
    std::vector<char> kinds(tags.size(), 0);
    std::vector<long> chans(tags.size(), 0);
    std::vector<double> vals(tags.size(), 0);
    for (size_t i = 0; h && i < tags.size(); i++) {
        char kind;
        long n;
        if (!rt_parse_tag(tags[i].c_str(), &kind, &n)) continue;
        if (kind == 'A') {
            const ShmAnalog *a = shm_analog(h, n);
            if (a && a->quality == 1 && a->ts_ms >= frozen) {
                kinds[i] = 'A';
                chans[i] = n;
                vals[i] = a->value;
            }
        } else {
            const ShmDiscrete *d = shm_discrete(h, n);
            if (d && d->quality == 1 && d->ts_ms >= frozen) {
                kinds[i] = 'D';
                vals[i] = d->value ? 1 : 0;
            }
        }
    }
    meta_to_phys_many(&c->st->meta, chans.data(), vals.data(), tags.size());
    for (size_t i = 0; i < tags.size(); i++) {
        if (i) out += ',';
        out += '"';
        out += rt_esc(tags[i].c_str());
        out += "\":";
        if (kinds[i] == 'A')
            rt_fmt_num(out, vals[i]);
        else if (kinds[i] == 'D')
            out += vals[i] != 0 ? '1' : '0';
        else
            out += "null";
    }
}

// Modification time of each page, so that open pages reload when edited.
void poll_stamps(srv_call *c, const std::vector<std::string> &pages, std::string &out) {
    const srv_config &cfg = c->st->cfg;
    char b[64];
    for (size_t i = 0; i < pages.size(); i++) {
        const char *pg = pages[i].c_str();
        while (*pg == '/')
            pg++;
        long stamp = 0;
        if (!strstr(pg, "..")) {
            struct stat st;
            std::string p1 = std::string(cfg.wwwdir) + "/" + pg;
            std::string p2 = std::string(cfg.sys_wwwdir) + "/" + pg;
            if (stat(p1.c_str(), &st) == 0)
                stamp = (long)st.st_mtime;
            else if (cfg.sys_wwwdir[0] && stat(p2.c_str(), &st) == 0)
                stamp = (long)st.st_mtime;
        }
        snprintf(b, sizeof b, "%s\"", i ? "," : "");
        out += b;
        out += rt_esc(pages[i].c_str());
        snprintf(b, sizeof b, "\":%ld", stamp);
        out += b;
    }
}

void h_poll(srv_call *c) {
    const http_request *req = c->req;
    std::vector<std::string> tags = rt_scan_list(req->body, "tags", 4096, 15);
    std::vector<std::string> pages = rt_scan_list(req->body, "pages", 64, 127);
    for (auto &p : pages)
        presence_visit(&c->st->presence, req->client_ip, p.c_str());
    const ShmHandle *h = c->db;
    std::string out;
    out.reserve(48 * tags.size() + 176 * pages.size() + 512);
    out += "{\"values\":{";
    int64_t frozen = rt_frozen_before(c->st, h);
    bool live = frozen == INT64_MIN;
    poll_values(c, tags, frozen, out);
    // The worst mode of the connected controllers, and the first one in it.
    int connected = 0;
    const char *mode = "run";
    std::string ip;
    int minor = 0;
    if (h && live) {
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
             connected, mode, rt_esc(ip.c_str()).c_str(), minor);
    out += b;
    poll_stamps(c, pages, out);
    out += "}}";
    srv_reply_json(c->reply, 200, std::move(out));
}

void h_vtypes(srv_call *c) {
    char tags[1024];
    if (!http_query_param(c->req, "tags", tags, sizeof tags)) {
        srv_reply_json(c->reply, 200, "{\"types\":{}}");
        return;
    }
    const ShmHandle *h = c->db;
    std::string out = "{\"types\":{";
    bool first = true;
    char *save = nullptr;
    for (char *it = strtok_r(tags, ",;", &save); it; it = strtok_r(nullptr, ",;", &save)) {
        while (*it == ' ')
            it++;
        char kind;
        long n;
        if (!rt_parse_tag(it, &kind, &n) || n < 1) continue;
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
    srv_reply_json(c->reply, 200, std::move(out));
}

const srv_route routes[] = {
    {SRV_ANY, "/api/live", h_live, 0},
    {SRV_ANY, "/api/poll", h_poll, 0},
    {SRV_ANY, "/api/vtypes", h_vtypes, 0},
};

}  // namespace

std::span<const srv_route> rt_values_routes() {
    return routes;
}
