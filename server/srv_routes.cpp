#include "server/srv_routes.h"

#include <strings.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/parse_util.h"
#include "server/eng_gate.h"

std::span<const srv_route> srv_route_table() {
    static const std::vector<srv_route> table = [] {
        std::vector<srv_route> t;
        // Engineering families come before eng_api: its /api/eng/ prefix would hide them.
        for (auto part : {
                 eng_www_routes(),
                 eng_calc_routes(),
                 eng_mqtt_routes(),
                 eng_backup_routes(),
                 eng_time_routes(),
                 eng_net_routes(),
                 eng_push_routes(),
                 eng_update_routes(),
                 eng_api_routes(),
                 rt_values_routes(),
                 rt_write_routes(),
                 rt_plc_routes(),
                 rt_meta_routes(),
                 rt_alarms_routes(),
                 rt_panels_routes(),
                 rt_health_routes(),
                 rt_metrics_routes(),
                 // Static files last: their catch-all prefix answers every other path.
                 srv_static_routes(),
             })
            t.insert(t.end(), part.begin(), part.end());
        return t;
    }();
    return table;
}

static unsigned method_bit(const char *m) {
    if (strcmp(m, "GET") == 0) return SRV_GET;
    if (strcmp(m, "HEAD") == 0) return SRV_HEAD;
    if (strcmp(m, "POST") == 0) return SRV_POST;
    if (strcmp(m, "OPTIONS") == 0) return SRV_OPTIONS;
    return SRV_OTHER;
}

static const char *method_name(unsigned bits) {
    if (bits & SRV_POST) return "POST";
    if (bits & SRV_GET) return "GET";
    if (bits & SRV_OPTIONS) return "OPTIONS";
    return "HEAD";
}

static bool path_matches(const srv_route &r, const char *path) {
    if (r.flags & SRV_PREFIX) return zq_starts_with(path, r.path);
    if (r.flags & SRV_SUFFIX) return zq_ends_with(path, r.path);
    return strcmp(path, r.path) == 0;
}

static bool same_path(const srv_route &a, const srv_route &b) {
    const unsigned kind = SRV_PREFIX | SRV_SUFFIX;
    return (a.flags & kind) == (b.flags & kind) && strcmp(a.path, b.path) == 0;
}

srv_match srv_route_find(const http_request *req) {
    srv_match m{nullptr, false, 0};
    std::span<const srv_route> t = srv_route_table();
    size_t first = 0;
    while (first < t.size() && !path_matches(t[first], req->path))
        first++;
    if (first == t.size()) return m;
    unsigned want = method_bit(req->method);
    m.route = &t[first];
    for (size_t i = first; i < t.size(); i++) {
        if (!same_path(t[i], t[first])) continue;
        m.group_flags |= t[i].flags;
        if (!m.method_ok && (t[i].methods & want)) {
            m.route = &t[i];
            m.method_ok = true;
        }
    }
    return m;
}

// Host part of an absolute URL ("http://host:port/x" -> "host:port").
static std::string url_host(const char *url) {
    const char *p = strstr(url, "://");
    if (!p) return std::string();
    p += 3;
    size_t n = strcspn(p, "/?#");
    return std::string(p, n);
}

bool srv_cross_site(const http_request *req) {
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

void srv_dispatch(srv_state *st, const http_request *req, srv_reply *out) {
    srv_match m = srv_route_find(req);
    if (!m.route) {
        srv_reply_not_found(out);
        return;
    }
    const srv_route &r = *m.route;
    unsigned flags = m.method_ok ? r.flags : m.group_flags;
    if ((flags & SRV_STATE_CHANGING) && srv_cross_site(req)) {
        srv_reply_error(out, 403, "cross_site");
        return;
    }
    if (!m.method_ok) {
        if (r.flags & SRV_METHOD_405)
            srv_reply_text(out, 405, (std::string(method_name(r.methods)) + " only").c_str());
        else
            srv_reply_not_found(out);
        return;
    }
    char user[64] = "";
    if ((r.flags & SRV_ENGINEERING) && !gate_admit(st, req, out, user, sizeof user)) return;
    srv_call c{req, out, st, user, srv_db_get(st)};
    if ((r.flags & SRV_NEEDS_DB) && !c.db) {
        srv_reply_json(out, 503, "{\"error\":\"shm not available\"}");
        return;
    }
    r.handler(&c);
}

long srv_body_limit(const http_request *req, long announced, void *ctx) {
    if (announced <= HTTP_BODY_SMALL_MAX) return HTTP_BODY_SMALL_MAX;
    srv_match m = srv_route_find(req);
    if ((m.group_flags & SRV_LARGE_BODY) && gate_authorized((srv_state *)ctx, req))
        return HTTP_BODY_HARD_MAX;
    return HTTP_BODY_SMALL_MAX;
}
