#pragma once
// The route table: every endpoint of zqserver is one entry. The router
// finds the entry of a request and enforces the entry's flags before its
// handler runs; the handler only fills the reply.

#include <stddef.h>

#include <span>

#include "common/shm.h"
#include "server/http.h"
#include "server/srv_reply.h"
#include "server/srv_state.h"

// Methods an entry answers.
enum : unsigned {
    SRV_GET = 1u << 0,
    SRV_HEAD = 1u << 1,
    SRV_POST = 1u << 2,
    SRV_OPTIONS = 1u << 3,
    SRV_OTHER = 1u << 4,  // any other method name
    SRV_READ = SRV_GET | SRV_HEAD,
    SRV_ANY = 0x1f,
};

enum : unsigned {
    // How `path` matches; exact when neither is set.
    SRV_PREFIX = 1u << 0,
    SRV_SUFFIX = 1u << 1,
    // Refused with 403 "cross_site" when the Origin or Referer names
    // another host: the answers allow every origin, so without this a
    // foreign page could post through an operator's browser.
    SRV_STATE_CHANGING = 1u << 2,
    // Behind the engineering gate; the handler sees the acting user.
    SRV_ENGINEERING = 1u << 3,
    // Answered 503 {"error":"shm not available"} without the database; the
    // handler gets a non-null call->db.
    SRV_NEEDS_DB = 1u << 4,
    // An authenticated engineer may send a body past HTTP_BODY_SMALL_MAX.
    SRV_LARGE_BODY = 1u << 5,
    // A wrong method answers 405 "<METHOD> only" instead of 404.
    SRV_METHOD_405 = 1u << 6,
};

// One request as a handler sees it.
struct srv_call {
    const http_request *req;
    srv_reply *reply;
    srv_state *st;
    const char *user;     // engineering user; "" on other routes
    const ShmHandle *db;  // the database, null when absent
};

typedef void (*srv_handler)(srv_call *c);

struct srv_route {
    unsigned methods;
    const char *path;  // exact path, prefix or suffix as flags say
    srv_handler handler;
    unsigned flags;
};

// Each family of endpoints lists its entries; the table is their
// concatenation in this order, and the first entry whose path matches
// decides (prefix, suffix and catch-all entries stand after the exact ones
// they must not hide). Entries with the same path form a group, from which
// the method picks the handler.
std::span<const srv_route> eng_www_routes();
std::span<const srv_route> eng_calc_routes();
std::span<const srv_route> eng_mqtt_routes();
std::span<const srv_route> eng_backup_routes();
std::span<const srv_route> eng_time_routes();
std::span<const srv_route> eng_net_routes();
std::span<const srv_route> eng_push_routes();
std::span<const srv_route> eng_update_routes();
std::span<const srv_route> eng_api_routes();
std::span<const srv_route> rt_values_routes();
std::span<const srv_route> rt_write_routes();
std::span<const srv_route> rt_plc_routes();
std::span<const srv_route> rt_meta_routes();
std::span<const srv_route> rt_alarms_routes();
std::span<const srv_route> rt_panels_routes();
std::span<const srv_route> rt_health_routes();
std::span<const srv_route> rt_metrics_routes();
std::span<const srv_route> srv_static_routes();

// The whole table.
std::span<const srv_route> srv_route_table();

struct srv_match {
    const srv_route *route;  // null: no entry has this path
    bool method_ok;          // false: `route` is the group's first entry
    unsigned group_flags;    // flags of every entry of the group, or-ed
};
srv_match srv_route_find(const http_request *req);

// Answers one request into `out`.
void srv_dispatch(srv_state *st, const http_request *req, srv_reply *out);

// Body limit for http_read (ctx is the srv_state).
long srv_body_limit(const http_request *req, long announced, void *ctx);

// True when a state-changing request comes from a page of another site.
bool srv_cross_site(const http_request *req);
