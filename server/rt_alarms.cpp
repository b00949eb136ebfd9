// Alarms for the operator pages: the alarm server's files read back
// (/api/alarms/active, config, journal, dates) and acknowledgements passed
// to it (/api/alarms/ack appends to ack.req).

#include <dirent.h>
#include <time.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "alarm/alarm_reader.h"
#include "common/json.h"
#include "common/parse_util.h"
#include "server/rt_common.h"
#include "server/srv_routes.h"

namespace {

bool valid_date(const char *d, int *y, int *m, int *dd) {
    if (strlen(d) != 10 || d[4] != '-' || d[7] != '-') return false;
    for (int i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (d[i] < '0' || d[i] > '9') return false;
    *y = atoi(d);
    *m = atoi(d + 5);
    *dd = atoi(d + 8);
    return *m >= 1 && *m <= 12 && *dd >= 1 && *dd <= 31;
}

std::string alarm_dir(const srv_call *c) {
    return c->st->cfg.alarm_dir;
}

// Journal id from the body: a positive integer, as number or text; 0 else.
long long ack_id(const json_node *root) {
    long long id = json_geti(root, "id", 0);
    const json_node *idn = json_get(root, "id");
    if (idn && idn->type == JSON_STRING) {
        long v;
        id = rt_parse_uint(idn->string, LONG_MAX, &v) ? v : 0;
    } else if (idn && idn->type == JSON_NUMBER && idn->number != std::floor(idn->number)) {
        id = 0;
    }
    return id;
}

void h_ack(srv_call *c) {
    const http_request *req = c->req;
    std::string dir = alarm_dir(c);
    json_ptr root(json_parse(req->body.c_str()));
    long long id = ack_id(root.get());
    if (id <= 0) {
        srv_reply_json(c->reply, 400, "{\"ok\":false}");
        return;
    }
    long long station = alarm_station_of(dir, id);
    if (station >= 0 && !alarm_ack_allowed(dir, station, req->client_ip)) {
        srv_reply_error(c->reply, 403, "no_control", ",\"msg\":\"У вас немає прав квитування\"");
        return;
    }
    // One locked O_APPEND write per request: the alarm program renames the
    // file away under the same lock, so no acknowledgement is lost between.
    if (alarm_ack_append(dir, id, req->client_ip) != 0) {
        srv_reply_json(c->reply, 400, "{\"ok\":false}");
        return;
    }
    srv_reply_json(c->reply, 200, "{\"ok\":true}");
}

void h_active(srv_call *c) {
    std::string text;
    if (!alarm_read_active(alarm_dir(c), &text)) text = "{}";
    srv_reply_json(c->reply, 200, std::move(text));
}

void h_config(srv_call *c) {
    rt_reply_file_or(c->reply, alarm_dir(c) + "/alarm.json", "{}");
}

// The records of one day (?date=yyyy-mm-dd, else today) as a JSON array.
void h_journal(srv_call *c) {
    char d[32] = "";
    int y, m, dd, ymd;
    if (http_query_param(c->req, "date", d, sizeof d) && valid_date(d, &y, &m, &dd))
        ymd = y * 10000 + m * 100 + dd;  // a day that cannot exist simply has no file
    else
        ymd = alarm_local_ymd((int64_t)time(nullptr) * 1000);
    srv_reply_json(c->reply, 200, alarm_journal_json(alarm_dir(c), ymd));
}

// Days that have a journal, newest first, at most 150.
void h_dates(srv_call *c) {
    std::string out = "[";
    bool first = true;
    for (int ymd : alarm_journal_days(alarm_dir(c), 150)) {
        out += (first ? "\"" : ",\"") + alarm_iso_date(ymd) + "\"";
        first = false;
    }
    out += "]";
    srv_reply_json(c->reply, 200, std::move(out));
}

void h_not_found(srv_call *c) {
    srv_reply_not_found(c->reply);
}

const srv_route routes[] = {
    {SRV_POST, "/api/alarms/ack", h_ack, SRV_STATE_CHANGING},
    {SRV_READ, "/api/alarms/active", h_active, 0},
    {SRV_READ, "/api/alarms/config", h_config, 0},
    {SRV_READ, "/api/alarms/journal", h_journal, 0},
    {SRV_READ, "/api/alarms/dates", h_dates, 0},
    {SRV_ANY, "/api/alarms/", h_not_found, SRV_PREFIX},
};

}  // namespace

std::span<const srv_route> rt_alarms_routes() {
    return routes;
}
