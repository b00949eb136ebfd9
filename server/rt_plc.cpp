// Controllers for the operator pages: /api/status, /api/plc and the clock
// endpoints /api/plc/time (read), /api/plc/time/sync (set from the host),
// /api/plc/time/all and /api/plc/time/auto (the autosync switch).

#include "server/rt_plc.h"

#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "server/rt_common.h"
#include "server/srv_routes.h"

rt_clock rt_plc_clock(srv_state *st, long idx, bool sync) {
    std::lock_guard<std::mutex> lk(st->clock_mu);
    rt_clock r{0, 0, 0};
    const ShmHandle *h = srv_db_get(st);
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

std::string rt_plc_path(const ShmPlcBlock *b) {
    char p[64];
    snprintf(p, sizeof p, "%.*s\\backplane\\%u", (int)strnlen(b->ip, sizeof b->ip), b->ip,
             (unsigned)b->slot);
    return p;
}

namespace {

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

std::string clock_json(long idx, const rt_clock &r) {
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

// Controller index from the query: absent -> 0; not a number -> -1.
long plc_index(const http_request *req) {
    char v[32];
    if (!http_query_param(req, "plc", v, sizeof v) || !v[0]) return 0;
    long n;
    if (!rt_parse_uint(v, INT_MAX, &n)) return -1;
    return n;
}

void local_str(time_t t, char *out, size_t cap) {
    struct tm tmv;
    localtime_r(&t, &tmv);
    strftime(out, cap, "%Y-%m-%d %H:%M:%S", &tmv);
}

void h_status(srv_call *c) {
    const ShmHandle *h = c->db;
    char b[1024];
    std::string nm = rt_esc(c->st->cfg.shm_name);
    if (!h) {
        snprintf(b, sizeof b, "{\"groups\":[{\"name\":\"%s\",\"connected\":false}]}", nm.c_str());
    } else {
        ShmHeader *hd = shm_header(h);
        snprintf(
            b, sizeof b,
            "{\"groups\":[{\"name\":\"%s\",\"connected\":%d,\"poll_count\":%u,\"n_analogs\":%u,"
            "\"n_discretes\":%u}]}",
            nm.c_str(), rt_db_live(c->st, h) ? (int)hd->connected : 0, hd->poll_count,
            shm_an_count(h), shm_di_count(h));
    }
    srv_reply_json(c->reply, 200, b);
}

void h_plc(srv_call *c) {
    const ShmHandle *h = c->db;
    std::string out = "{\"plc\":[";
    if (h) {
        // A hung driver leaves its blocks as they were: show them as down.
        bool live = rt_db_live(c->st, h);
        for (uint32_t k = 0; k < shm_plc_count(h); k++) {
            const ShmPlcBlock *b = shm_plc(h, k);
            bool up = live && b->connected;
            char e[1024];
            int n = snprintf(
                e, sizeof e,
                "%s{\"ip\":\"%s\",\"slot\":%u,\"connected\":%u,\"mode\":\"%s\",\"minor_fault\":%u,"
                "\"status\":%u,\"fw\":\"%u.%u\",\"serial\":%u,\"name\":\"%s\",\"proc\":\"%s\","
                "\"idx\":%u,\"auto\":%d}",
                k ? "," : "", rt_fixed_str(b->ip, sizeof b->ip).c_str(), (unsigned)b->slot,
                up ? 1u : 0u, shm_mode_name(up ? b->mode : 0), up ? (unsigned)b->minor_fault : 0u,
                (unsigned)b->status, (unsigned)b->fw_major, (unsigned)b->fw_minor, b->serial,
                rt_fixed_str(b->name, sizeof b->name).c_str(),
                rt_fixed_str(b->proc, sizeof b->proc).c_str(), k,
                rt_autosync_enabled(c->st, rt_plc_path(b).c_str()) ? 1 : 0);
            if (out.size() + (size_t)n + 2 > 8192) break;
            out.append(e, (size_t)n);
        }
    }
    out += "]}";
    srv_reply_json(c->reply, 200, std::move(out));
}

void plc_time(srv_call *c, bool sync) {
    long idx = plc_index(c->req);
    rt_clock r{-6, 0, 0};
    if (idx >= 0) r = rt_plc_clock(c->st, idx, sync);
    srv_reply_json(c->reply, 200, clock_json(idx < 0 ? 0 : idx, r));
}

void h_plc_time(srv_call *c) {
    plc_time(c, false);
}

void h_plc_time_sync(srv_call *c) {
    plc_time(c, true);
}

void h_plc_time_all(srv_call *c) {
    const ShmHandle *h = c->db;
    if (!h) {
        srv_reply_json(c->reply, 200, "{\"ok\":false,\"error\":\"no_shm\",\"rows\":[]}");
        return;
    }
    std::string out = "{\"ok\":true,\"rows\":[";
    uint32_t n = shm_plc_count(h);
    for (uint32_t k = 0; k < n && out.size() <= 3696; k++) {
        if (k) out += ',';
        out += clock_json(k, rt_plc_clock(c->st, k, false));
    }
    char hs[64];
    local_str(time(nullptr), hs, sizeof hs);
    out += "],\"host_str\":\"";
    out += hs;
    out += "\"}";
    srv_reply_json(c->reply, 200, std::move(out));
}

void h_plc_time_auto(srv_call *c) {
    const ShmHandle *h = c->db;
    if (!h) {
        srv_reply_error(c->reply, 200, "no_shm");
        return;
    }
    long idx = plc_index(c->req);
    if (idx < 0 || idx >= (long)shm_plc_count(h)) {
        srv_reply_error(c->reply, 200, "bad_plc");
        return;
    }
    char on_s[8] = "0";
    http_query_param(c->req, "on", on_s, sizeof on_s);
    int on = atoi(on_s) != 0;
    const ShmPlcBlock *b = shm_plc(h, idx);
    rt_autosync_set(c->st, rt_plc_path(b), on);
    char out[256];
    snprintf(out, sizeof out, "{\"ok\":true,\"path\":\"%s\\\\backplane\\\\%u\",\"on\":%d}",
             rt_fixed_str(b->ip, sizeof b->ip).c_str(), (unsigned)b->slot, on);
    srv_reply_json(c->reply, 200, out);
}

const srv_route routes[] = {
    {SRV_ANY, "/api/status", h_status, 0},
    {SRV_ANY, "/api/plc", h_plc, 0},
    {SRV_ANY, "/api/plc/time", h_plc_time, 0},
    {SRV_ANY, "/api/plc/time/sync", h_plc_time_sync, SRV_STATE_CHANGING},
    {SRV_ANY, "/api/plc/time/all", h_plc_time_all, 0},
    {SRV_ANY, "/api/plc/time/auto", h_plc_time_auto, SRV_STATE_CHANGING},
};

}  // namespace

std::span<const srv_route> rt_plc_routes() {
    return routes;
}
