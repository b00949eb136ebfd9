// GET /api/health: one answer for load balancers and monitors, 200 when the
// stack works, 503 with the reasons when it does not.

#include "server/rt_health.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/json.h"
#include "common/parse_util.h"
#include "common/shm.h"
#include "server/rt_common.h"
#include "server/srv_routes.h"

namespace {

constexpr size_t RT_STATUS_FILE_MAX = 65536;
constexpr size_t RT_ACTIVE_FILE_MAX = 4 << 20;

std::mutex g_snap_mu;
std::shared_ptr<const rt_snapshot> g_snap;

struct json_del {
    void operator()(json_node *n) const { json_free(n); }
};
using json_ptr = std::unique_ptr<json_node, json_del>;

json_ptr read_json(const std::string &path, size_t max) {
    std::string text;
    if (zq_read_file_max(path.c_str(), max, &text) != 0) return nullptr;
    return json_ptr(json_parse_len(text.data(), text.size()));
}

void read_supervisor(rt_snapshot *s) {
    json_ptr j = read_json("./run/zqsup.status", RT_STATUS_FILE_MAX);
    const json_node *ch = j ? json_get(j.get(), "children") : nullptr;
    if (!ch || ch->type != JSON_ARRAY) return;
    s->sup_known = true;
    for (size_t i = 0; i < json_count(ch) && i < 16; i++) {
        const json_node *c = json_at(ch, i);
        rt_program p;
        p.name = json_gets(c, "name", "");
        if (p.name.empty()) continue;
        long long pid = json_geti(c, "pid", 0);
        p.pid = pid > 1 && pid < 0x3fffffff ? int(pid) : 0;
        p.restarts = long(json_geti(c, "restarts", 0));
        p.alive = p.pid > 0 && rt_pid_running(p.pid);
        s->programs.push_back(p);
    }
}

void read_trend(rt_snapshot *s) {
    json_ptr j = read_json("./run/zqtrend.status", RT_STATUS_FILE_MAX);
    if (!j) return;
    s->trend_known = true;
    s->trend_rows_written = uint64_t(json_geti(j.get(), "rows_written", 0));
    s->trend_rows_dropped = uint64_t(json_geti(j.get(), "rows_dropped", 0));
    s->trend_last_row_ms = json_geti(j.get(), "last_row_ms", 0);
    s->trend_status_ms = json_geti(j.get(), "ts", 0);
}

// The alarm program touches its active list every turn and rewrites it
// (a new file renamed in place) when the list changes: parse it only then.
void read_alarm(srv_state *st, rt_snapshot *s) {
    static ino_t seen_ino = 0;
    static off_t seen_size = -1;
    static long seen_count = 0;
    std::string path = std::string(st->cfg.alarm_dir) + "/alarms_active.json";
    struct stat sb;
    if (stat(path.c_str(), &sb) != 0) return;
    s->alarm_known = true;
    s->alarm_turn_ms = int64_t(sb.st_mtim.tv_sec) * 1000 + sb.st_mtim.tv_nsec / 1000000;
    if (sb.st_ino != seen_ino || sb.st_size != seen_size) {
        json_ptr j = read_json(path, RT_ACTIVE_FILE_MAX);
        const json_node *a = j ? json_get(j.get(), "active") : nullptr;
        seen_count = a && a->type == JSON_ARRAY ? long(json_count(a)) : 0;
        seen_ino = sb.st_ino;
        seen_size = sb.st_size;
    }
    s->alarms_active = seen_count;
}

void read_mqtt(srv_state *st, rt_snapshot *s) {
    json_ptr j = read_json(std::string(st->cfg.mqtt_dir) + "/status.json", RT_STATUS_FILE_MAX);
    if (!j) return;
    s->mqtt_known = true;
    s->mqtt_connected = json_geti(j.get(), "connected", 0) != 0;
    s->mqtt_sent = long(json_geti(j.get(), "pub_sent", 0));
    s->mqtt_reports = long(json_geti(j.get(), "report_sent", 0));
    s->mqtt_received = long(json_geti(j.get(), "sub_rx", 0));
    s->mqtt_dropped = long(json_geti(j.get(), "pub_dropped", 0));
}

std::string fmt_age(int64_t now, int64_t then) {
    char b[32];
    if (then <= 0) return "null";
    snprintf(b, sizeof b, "%.1f", double(now - then) / 1000.0);
    return b;
}

void h_health(srv_call *c) {
    std::shared_ptr<const rt_snapshot> s = rt_snapshot_get(c->st);
    int64_t now = shm_now_ms();
    std::vector<std::string> problems;
    std::string out = "{\"programs\":[";
    if (!s->sup_known) problems.push_back("supervisor status unknown (run/zqsup.status)");
    for (size_t i = 0; i < s->programs.size(); i++) {
        const rt_program &p = s->programs[i];
        char b[160];
        snprintf(b, sizeof b, "%s{\"name\":\"%s\",\"pid\":%d,\"alive\":%s,\"restarts\":%ld}",
                 i ? "," : "", rt_esc(p.name.c_str()).c_str(), p.pid, p.alive ? "true" : "false",
                 p.restarts);
        out += b;
        if (!p.alive) problems.push_back(p.name + " not running");
    }
    const ShmHandle *db = c->db;
    bool live = db && rt_db_live(c->st, db);
    out += "],\"database\":{\"ready\":";
    out += db ? "true" : "false";
    out += ",\"live\":";
    out += live ? "true" : "false";
    out += "},\"controllers\":[";
    if (!db)
        problems.push_back("database not ready");
    else if (!live)
        problems.push_back("database not updated");
    uint32_t n_plc = db ? shm_plc_count(db) : 0;
    for (uint32_t i = 0; i < n_plc; i++) {
        const ShmPlcBlock *b = shm_plc(db, i);
        std::string ip = rt_fixed_str(b->ip, sizeof b->ip);
        bool conn = b->connected != 0 && live;
        char row[160];
        snprintf(row, sizeof row, "%s{\"ip\":\"%s\",\"slot\":%d,\"connected\":%s}", i ? "," : "",
                 ip.c_str(), int(b->slot), conn ? "true" : "false");
        out += row;
        if (!conn) problems.push_back("controller " + ip + " not connected");
    }
    out += "],\"trend\":{\"last_row_age_s\":" + fmt_age(now, s->trend_last_row_ms);
    out += ",\"rows_written\":" + std::to_string(s->trend_rows_written) + "}";
    if (!s->trend_known) {
        problems.push_back("trend status unknown (run/zqtrend.status)");
    } else if (now - s->trend_status_ms > RT_TREND_STALE_MS) {
        problems.push_back("trend recorder not turning");
    } else if (s->trend_last_row_ms > 0 && now - s->trend_last_row_ms > RT_TREND_STALE_MS) {
        problems.push_back("no trend row written lately");
    }
    out += ",\"alarm\":{\"turn_age_s\":" + fmt_age(now, s->alarm_turn_ms);
    out += ",\"active\":" + std::to_string(s->alarms_active) + "}";
    if (!s->alarm_known)
        problems.push_back("alarm list missing");
    else if (now - s->alarm_turn_ms > RT_ALARM_STALE_MS)
        problems.push_back("alarm program stuck");
    out += ",\"problems\":[";
    for (size_t i = 0; i < problems.size(); i++)
        out += (i ? ",\"" : "\"") + rt_esc(problems[i].c_str()) + "\"";
    out += "],\"ok\":";
    out += problems.empty() ? "true}" : "false}";
    srv_reply_json(c->reply, problems.empty() ? 200 : 503, std::move(out));
}

const srv_route routes[] = {
    {SRV_READ, "/api/health", h_health, SRV_METHOD_405},
};

}  // namespace

bool rt_pid_running(int pid) {
    char path[64], buf[256];
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return false;
    buf[n] = '\0';
    // "pid (comm) S ...": the state follows the last ')'.
    const char *p = strrchr(buf, ')');
    if (!p || p[1] != ' ' || !p[2]) return false;
    char state = p[2];
    return state != 'Z' && state != 'X' && state != 'T' && state != 't';
}

// Under g_snap_mu: one reader at a time, the others take its result.
std::shared_ptr<const rt_snapshot> rt_snapshot_get(srv_state *st) {
    std::lock_guard<std::mutex> lk(g_snap_mu);
    int64_t now = shm_now_ms();
    if (g_snap && now >= g_snap->wall_ms && now - g_snap->wall_ms < RT_SNAPSHOT_MS) return g_snap;
    auto s = std::make_shared<rt_snapshot>();
    s->wall_ms = now;
    read_supervisor(s.get());
    read_trend(s.get());
    read_alarm(st, s.get());
    read_mqtt(st, s.get());
    g_snap = s;
    return g_snap;
}

std::span<const srv_route> rt_health_routes() {
    return routes;
}
