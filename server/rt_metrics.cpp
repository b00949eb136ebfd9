// GET /metrics: the stack's counters in the Prometheus text format, from
// the shared snapshot of rt_health and the database header.

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/json.h"
#include "common/parse_util.h"
#include "common/shm.h"
#include "server/rt_common.h"
#include "server/rt_health.h"
#include "server/srv_routes.h"

namespace {

constexpr int RT_HTTP_CODES = 600;
std::atomic<uint64_t> g_http[RT_HTTP_CODES];

// Label values escape backslash, double quote and newline.
std::string label(const std::string &v) {
    std::string out;
    for (char ch : v) {
        if (ch == '\\')
            out += "\\\\";
        else if (ch == '"')
            out += "\\\"";
        else if (ch == '\n')
            out += "\\n";
        else
            out += ch;
    }
    return out;
}

// One connection's figures from the driver's ./run/zqlogix.status.
struct drv_conn {
    int plc = -1;
    std::string ip;
    int slot = 0;
    double passes = 0, requests = 0, pass_ms = 0, errors = 0, reconnects = 0;
};

constexpr size_t DRV_STATUS_MAX = 65536;
constexpr int DRV_CONNS_MAX = 64;

std::vector<drv_conn> read_driver_status() {
    std::vector<drv_conn> v;
    std::string text;
    if (zq_read_file_max("./run/zqlogix.status", DRV_STATUS_MAX, &text) != 0) return v;
    json_node *j = json_parse_len(text.data(), text.size());
    const json_node *a = j ? json_get(j, "controllers") : nullptr;
    if (a && a->type == JSON_ARRAY) {
        for (size_t i = 0; i < json_count(a) && i < DRV_CONNS_MAX; i++) {
            const json_node *c = json_at(a, i);
            long long plc = json_geti(c, "plc", -1);
            if (plc < 0 || plc >= DRV_CONNS_MAX) continue;
            drv_conn d;
            d.plc = int(plc);
            d.ip = json_gets(c, "ip", "");
            d.slot = int(json_geti(c, "slot", 0));
            d.passes = double(json_geti(c, "passes", 0));
            d.requests = double(json_geti(c, "requests_last_pass", 0));
            d.pass_ms = json_getn(c, "pass_ms", 0);
            d.errors = double(json_geti(c, "errors", 0));
            d.reconnects = double(json_geti(c, "reconnects", 0));
            v.push_back(d);
        }
    }
    json_free(j);
    return v;
}

// The driver's figures, read at most once a second however fast /metrics is
// polled.
std::shared_ptr<const std::vector<drv_conn>> driver_status_cached() {
    static std::mutex mu;
    static std::shared_ptr<const std::vector<drv_conn>> cached;
    static int64_t read_ms = 0;
    int64_t now = shm_now_ms();
    std::lock_guard<std::mutex> lk(mu);
    if (!cached || now - read_ms >= RT_SNAPSHOT_MS || now < read_ms) {
        cached = std::make_shared<const std::vector<drv_conn>>(read_driver_status());
        read_ms = now;
    }
    return cached;
}

struct prom {
    std::string out;
    void family(const char *name, const char *type, const char *help) {
        out += "# HELP ";
        out += name;
        out += ' ';
        out += help;
        out += "\n# TYPE ";
        out += name;
        out += ' ';
        out += type;
        out += '\n';
    }
    void sample(const char *name, const std::string &labels, double v) {
        char b[64];
        snprintf(b, sizeof b, " %.17g\n", v);
        out += name;
        if (!labels.empty()) out += "{" + labels + "}";
        out += b;
    }
};

std::string plc_labels(int i, const std::string &ip, int slot) {
    return "plc=\"" + std::to_string(i) + "\",ip=\"" + label(ip) + "\",slot=\"" +
           std::to_string(slot) + "\"";
}

// Labels come from the database's PLC block when there is one, so the
// series pair up with zq_controller_connected.
void controller_figures(prom *p, const ShmHandle *db, const std::vector<drv_conn> &d) {
    auto labels = [&](const drv_conn &x) {
        if (db && uint32_t(x.plc) < shm_plc_count(db)) {
            const ShmPlcBlock *b = shm_plc(db, uint32_t(x.plc));
            return plc_labels(x.plc, rt_fixed_str(b->ip, sizeof b->ip), b->slot);
        }
        return plc_labels(x.plc, x.ip, x.slot);
    };
    struct fam {
        const char *name, *type, *help;
        double drv_conn::*v;
        double scale;
    };
    const fam fams[] = {
        {"zq_controller_passes_total", "counter", "Poll passes of the driver's connection.",
         &drv_conn::passes, 1},
        {"zq_controller_requests_per_pass", "gauge", "Requests sent in the last poll pass.",
         &drv_conn::requests, 1},
        {"zq_controller_pass_seconds", "gauge", "Duration of the last poll pass.",
         &drv_conn::pass_ms, 0.001},
        {"zq_controller_errors_total", "counter",
         "Failed exchanges: time-outs, transport and encapsulation errors, CIP refusals.",
         &drv_conn::errors, 1},
        {"zq_controller_reconnects_total", "counter", "Connections made again after the first one.",
         &drv_conn::reconnects, 1},
    };
    for (const fam &f : fams) {
        p->family(f.name, f.type, f.help);
        for (const drv_conn &x : d)
            p->sample(f.name, labels(x), x.*f.v * f.scale);
    }
}

void h_metrics(srv_call *c) {
    std::shared_ptr<const rt_snapshot> s = rt_snapshot_get(c->st);
    int64_t now = shm_now_ms();
    prom p;

    p.family("zq_program_up", "gauge", "1 while the supervisor's child program runs.");
    for (const rt_program &g : s->programs)
        p.sample("zq_program_up", "program=\"" + label(g.name) + "\"", g.alive ? 1 : 0);
    p.family("zq_program_restarts_total", "counter",
             "Restarts of the program since the supervisor added it.");
    for (const rt_program &g : s->programs)
        p.sample("zq_program_restarts_total", "program=\"" + label(g.name) + "\"",
                 double(g.restarts));

    const ShmHandle *db = c->db;
    bool live = db && rt_db_live(c->st, db);
    p.family("zq_database_ready", "gauge", "1 while the real-time database is open.");
    p.sample("zq_database_ready", "", db ? 1 : 0);
    p.family("zq_database_live", "gauge", "1 while the database's producer keeps it current.");
    p.sample("zq_database_live", "", live ? 1 : 0);
    p.family("zq_driver_passes_total", "counter", "Poll passes stored in the database header.");
    if (db) p.sample("zq_driver_passes_total", "", double(shm_header(db)->poll_count));
    p.family("zq_controller_connected", "gauge",
             "1 while the driver is connected to the controller.");
    uint32_t n_plc = db ? shm_plc_count(db) : 0;
    for (uint32_t i = 0; i < n_plc; i++) {
        const ShmPlcBlock *b = shm_plc(db, i);
        std::string l = plc_labels(int(i), rt_fixed_str(b->ip, sizeof b->ip), b->slot);
        p.sample("zq_controller_connected", l, b->connected && live ? 1 : 0);
    }
    controller_figures(&p, c->db, *driver_status_cached());

    // Families whose program reports nothing (yet) keep their HELP and TYPE
    // lines and have no sample.
    auto one = [&](const char *name, const char *type, const char *help, bool known, double v) {
        p.family(name, type, help);
        if (known) p.sample(name, "", v);
    };
    one("zq_trend_rows_written_total", "counter", "Trend rows written to the main folder.",
        s->trend_known, double(s->trend_rows_written));
    one("zq_trend_rows_dropped_total", "counter",
        "Trend rows lost: a write failed or the clock went back.", s->trend_known,
        double(s->trend_rows_dropped));
    one("zq_trend_last_row_age_seconds", "gauge", "Age of the newest trend row.",
        s->trend_known && s->trend_last_row_ms > 0, double(now - s->trend_last_row_ms) / 1000.0);
    one("zq_alarms_active", "gauge", "Alarms in the active list.", s->alarm_known,
        double(s->alarms_active));
    one("zq_alarm_turn_age_seconds", "gauge", "Time since the alarm program's last turn.",
        s->alarm_known, double(now - s->alarm_turn_ms) / 1000.0);
    one("zq_mqtt_connected", "gauge", "1 while the MQTT bridge is connected to its broker.",
        s->mqtt_known, s->mqtt_connected ? 1 : 0);
    one("zq_mqtt_messages_sent_total", "counter", "Values and reports published.", s->mqtt_known,
        double(s->mqtt_sent + s->mqtt_reports));
    one("zq_mqtt_messages_dropped_total", "counter", "Due publications that were not sent.",
        s->mqtt_known, double(s->mqtt_dropped));
    one("zq_mqtt_messages_received_total", "counter", "Subscribed messages taken in.",
        s->mqtt_known, double(s->mqtt_received));

    p.family("zq_http_requests_total", "counter", "HTTP answers by status code.");
    for (auto &[code, n] : rt_metrics_http_counts())
        p.sample("zq_http_requests_total", "code=\"" + std::to_string(code) + "\"", double(n));

    srv_reply_body(c->reply, 200, "text/plain; version=0.0.4; charset=utf-8", std::move(p.out));
}

const srv_route routes[] = {
    {SRV_READ, "/metrics", h_metrics, SRV_METHOD_405},
};

}  // namespace

void rt_metrics_count_reply(const srv_reply *r) {
    int code = 0;
    switch (r->kind) {
        case SRV_REPLY_BODY:
            code = r->status;
            break;
        case SRV_REPLY_REDIRECT:
            code = 301;
            break;
        case SRV_REPLY_AUTH:
            code = 401;
            break;
        case SRV_REPLY_PREFLIGHT:
            code = 204;
            break;
        case SRV_REPLY_FILE:
            code = 200;
            break;
        case SRV_REPLY_NONE:
            return;
    }
    if (code >= 100 && code < RT_HTTP_CODES) g_http[code].fetch_add(1, std::memory_order_relaxed);
}

std::vector<std::pair<int, uint64_t>> rt_metrics_http_counts() {
    std::vector<std::pair<int, uint64_t>> v;
    for (int i = 100; i < RT_HTTP_CODES; i++) {
        uint64_t n = g_http[i].load(std::memory_order_relaxed);
        if (n) v.emplace_back(i, n);
    }
    return v;
}

std::span<const srv_route> rt_metrics_routes() {
    return routes;
}
