// /metrics and /api/health under wrk next to /api/time, the cheapest
// answer of the same server, in one run: what a monitor scraping fast
// costs. The project holds the status files a running stack keeps (six
// programs, trend counters, 50 active alarms, the MQTT status) and a
// database with four controllers. Figures only; `vs_time` is requests/s
// over /api/time's on the same connection count.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "bench_server.h"
#include "bench_server_load.h"
#include "common/shm.h"

namespace {

struct metrics_env {
    tsup::TempDir tmp{"metricsbench"};
    std::string dir = tmp.path;
    bench_server srv;
    std::string why;

    metrics_env() {
        if (system("command -v wrk >/dev/null 2>&1") != 0) {
            why = "wrk is not installed";
            return;
        }
        for (const char *d : {"/www", "/run", "/alarm", "/mqtt"})
            mkdir((dir + d).c_str(), 0755);
        srv.have_db = shm_open_rw(srv.shm.c_str(), 101, 101, 4, &srv.h) == 0;
        if (!srv.have_db) {
            why = "no database";
            return;
        }
        shm_header(&srv.h)->connected = 1;
        shm_header(&srv.h)->last_poll_ms = shm_now_ms() + 3600 * 1000;
        for (int i = 0; i < 4; i++) {
            ShmPlcBlock *b = shm_plc(&srv.h, i);
            snprintf(b->ip, sizeof b->ip, "127.0.10.%d", i + 1);
            b->connected = 1;
        }
        std::string pid = std::to_string(getpid());
        std::string st = "{\"pid\":" + pid + ",\"children\":[";
        const char *names[] = {"driver", "trend", "scada", "zqalarm", "zqcalc", "zqmqtt"};
        for (int i = 0; i < 6; i++)
            st += std::string(i ? "," : "") + "{\"name\":\"" + names[i] + "\",\"pid\":" + pid +
                  ",\"restarts\":" + std::to_string(i) + "}";
        std::ofstream(dir + "/run/zqsup.status") << st << "]}\n";
        std::ofstream(dir + "/run/zqtrend.status")
            << "{\"rows_written\":86400,\"rows_dropped\":2,\"last_row_ms\":"
            << shm_now_ms() + 3600 * 1000 << ",\"ts\":" << shm_now_ms() + 3600 * 1000 << "}\n";
        std::string al = "{\"ts\":\"2026-01-01T00:00:00\",\"active\":[";
        for (int i = 1; i <= 50; i++)
            al += std::string(i > 1 ? "," : "") + "{\"id\":" + std::to_string(i) +
                  ",\"journal_id\":" + std::to_string(i) +
                  ",\"desc\":\"Температура котла висока\",\"expr\":\"A1 > 90\",\"params\":{},"
                  "\"lvl\":2,\"station\":1,\"since\":\"2026-01-01T00:00:00\"}";
        std::ofstream(dir + "/alarm/alarms_active.json") << al << "]}";
        std::ofstream(dir + "/mqtt/status.json")
            << "{\"connected\":1,\"pub_sent\":1000,\"sub_rx\":10,\"report_sent\":3,"
               "\"pub_dropped\":0,\"ts\":1}\n";
        if (!bench_server_start(&srv, dir)) {
            why = "zqserver did not start";
            return;
        }
        if (tsup::http_request(srv.port, "GET", "/metrics").status != 200) why = "no /metrics";
    }
};

metrics_env &env() {
    static metrics_env e;
    return e;
}

wrk_result g_time[2];

int slot(int conns) {
    return conns == 16 ? 0 : 1;
}

void run(benchmark::State &state, const char *path, bool baseline) {
    metrics_env &e = env();
    if (!e.why.empty()) {
        state.SkipWithError(e.why.c_str());
        return;
    }
    wrk_result r;
    for (auto _ : state)
        r = wrk_run(bench_server_url(&e.srv, path), (int)state.range(0));
    if (baseline) g_time[slot((int)state.range(0))] = r;
    state.counters["req_per_s"] = r.rps;
    state.counters["p99_ms"] = r.p99_ms;
    state.counters["errors"] = (double)r.errors;
    const wrk_result &t = g_time[slot((int)state.range(0))];
    if (!baseline && t.rps > 0) state.counters["vs_time"] = r.rps / t.rps;
    if (!r.ok) state.SkipWithError("wrk gave no figures");
}

void BM_ApiTime(benchmark::State &state) {
    run(state, "/api/time", true);
}
void BM_Metrics(benchmark::State &state) {
    run(state, "/metrics", false);
}
void BM_Health(benchmark::State &state) {
    run(state, "/api/health", false);
}

void opts(benchmark::internal::Benchmark *b) {
    b->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
}

}  // namespace

// /api/time first at each connection count, so the ratios compare runs
// next to each other.
BENCHMARK(BM_ApiTime)->Arg(16)->Apply(opts);
BENCHMARK(BM_Metrics)->Arg(16)->Apply(opts);
BENCHMARK(BM_Health)->Arg(16)->Apply(opts);
BENCHMARK(BM_ApiTime)->Arg(50)->Apply(opts);
BENCHMARK(BM_Metrics)->Arg(50)->Apply(opts);
BENCHMARK(BM_Health)->Arg(50)->Apply(opts);

BENCHMARK_MAIN();
