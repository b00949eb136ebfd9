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

// Station of an alarm: from the active list, else from the journal of the
// day its id names (ids are yyyymmdd followed by a sequence number).
long long alarm_station(const std::string &dir, long long id) {
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
    if (station >= 0) return station;
    char day[32];
    snprintf(day, sizeof day, "%02lld%02lld%04lld", (id / 100000) % 100, (id / 10000000) % 100,
             id / 1000000000);
    std::string j;
    bool ok = zq_read_file_max((dir + "/journal-" + day + ".jsonl").c_str(), 64u << 20, &j) == 0;
    size_t pos = 0;
    while (ok && pos < j.size() && station < 0) {
        size_t nl = j.find('\n', pos);
        if (nl == std::string::npos) nl = j.size();
        json_ptr rec(json_parse_len(j.data() + pos, nl - pos));
        if (rec && json_geti(rec.get(), "id", -1) == id)
            station = json_geti(rec.get(), "station", -1);
        pos = nl + 1;
    }
    return station;
}

// False when the station lists the addresses that may acknowledge and the
// client is not among them.
bool may_ack(const std::string &dir, long long station, const char *ip) {
    json_ptr cfg(json_parse_file((dir + "/alarm.json").c_str()));
    const json_node *st = json_get(cfg.get(), "stations");
    for (const json_node *s = st ? st->child : nullptr; s; s = s->next) {
        if (json_geti(s, "id", -1) != station) continue;
        const json_node *ips = json_get(s, "ack_ips");
        if (!ips || ips->type != JSON_ARRAY || !ips->child) return true;
        for (const json_node *a = ips->child; a; a = a->next)
            if (a->type == JSON_STRING && strcmp(a->string, ip) == 0) return true;
        return false;
    }
    return true;
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
    long long station = alarm_station(dir, id);
    if (station >= 0 && !may_ack(dir, station, req->client_ip)) {
        srv_reply_error(c->reply, 403, "no_control", ",\"msg\":\"У вас немає прав квитування\"");
        return;
    }
    std::lock_guard<std::mutex> lk(c->st->ack_mu);
    FILE *f = fopen((dir + "/ack.req").c_str(), "a");
    if (!f) {
        srv_reply_json(c->reply, 400, "{\"ok\":false}");
        return;
    }
    fprintf(f, "%lld %s\n", id, req->client_ip);
    fclose(f);
    srv_reply_json(c->reply, 200, "{\"ok\":true}");
}

void h_active(srv_call *c) {
    rt_reply_file_or(c->reply, alarm_dir(c) + "/alarms_active.json", "{}");
}

void h_config(srv_call *c) {
    rt_reply_file_or(c->reply, alarm_dir(c) + "/alarm.json", "{}");
}

// The records of one day (?date=yyyy-mm-dd, else today) as a JSON array.
void h_journal(srv_call *c) {
    char d[32] = "";
    int y, m, dd;
    char day[16];
    if (http_query_param(c->req, "date", d, sizeof d) && valid_date(d, &y, &m, &dd)) {
        snprintf(day, sizeof day, "%02d%02d%04d", dd, m, y);
    } else {
        time_t now = time(nullptr);
        struct tm tmv;
        localtime_r(&now, &tmv);
        strftime(day, sizeof day, "%d%m%Y", &tmv);
    }
    std::string j;
    bool ok =
        zq_read_file_max((alarm_dir(c) + "/journal-" + day + ".jsonl").c_str(), 64u << 20, &j) == 0;
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
    srv_reply_json(c->reply, 200, std::move(out));
}

// Days that have a journal, newest first, at most 150.
void h_dates(srv_call *c) {
    std::vector<std::string> days;
    if (DIR *d = opendir(alarm_dir(c).c_str())) {
        while (dirent *e = readdir(d)) {
            const char *n = e->d_name;
            if (strlen(n) != 22 || strncmp(n, "journal-", 8) != 0 || strcmp(n + 16, ".jsonl") != 0)
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
