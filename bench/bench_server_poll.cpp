// zqserver under load: wrk against /api/poll with 500 tags and against a
// static file of the same size, on one server in the same run. Figures
// only; the ratio poll/static shows what the live-value path costs over
// plain file serving.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "bench_server.h"
#include "common/shm.h"

namespace {

constexpr int TAGS = 500;

struct wrk_result {
    double rps = 0;
    double p99_ms = 0;
    bool ok = false;
};

double to_ms(const char *num, const char *unit) {
    double v = atof(num);
    if (strncmp(unit, "us", 2) == 0) return v / 1000;
    if (strncmp(unit, "ms", 2) == 0) return v;
    if (strncmp(unit, "s", 1) == 0) return v * 1000;
    return v;
}

wrk_result run_wrk(const std::string &url, const std::string &script) {
    wrk_result r;
    std::string cmd = "wrk -t2 -c16 -d4s --latency";
    if (!script.empty()) cmd += " -s " + script;
    cmd += " " + url + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char line[512];
    while (fgets(line, sizeof line, p)) {
        char num[64], unit[16];
        if (sscanf(line, " Requests/sec: %63s", num) == 1) {
            r.rps = atof(num);
            r.ok = true;
        } else if (sscanf(line, " 99%% %63[0-9.]%15s", num, unit) == 2) {
            r.p99_ms = to_ms(num, unit);
        }
    }
    pclose(p);
    return r;
}

struct bench_env {
    tsup::TempDir tmp{"srvbench"};
    std::string dir = tmp.path, poll_script;
    bench_server srv;
    size_t poll_size = 0;
    bool ok = false;

    bench_env() {
        if (system("command -v wrk >/dev/null 2>&1") != 0) return;
        mkdir((dir + "/www").c_str(), 0755);
        if (!bench_server_db(&srv, TAGS, 7)) return;
        for (int i = 1; i <= TAGS; i++)
            shm_update_analog(&srv.h, i, 1, shm_now_ms(), 1000.0 + i * 0.37);
        shm_header(&srv.h)->connected = 1;
        // Scaled channels, as on a real site.
        std::string ch = "{\"version\":1,\"analogs\":[";
        for (int i = 1; i <= TAGS; i++)
            ch +=
                (i > 1 ? "," : "") + std::string("{\"id\":\"A") + std::to_string(i) +
                "\",\"scale\":{\"code_min\":0,\"code_max\":27648,\"phys_min\":0,\"phys_max\":100}}";
        ch += "],\"discretes\":[]}";
        std::ofstream(dir + "/channels.json") << ch;
        std::string body = "{\"tags\":[";
        for (int i = 1; i <= TAGS; i++)
            body += (i > 1 ? ",\"A" : "\"A") + std::to_string(i) + "\"";
        body += "],\"pages\":[\"screen1.html\"]}";
        poll_script = dir + "/poll.lua";
        std::ofstream(poll_script) << "wrk.method = \"POST\"\nwrk.body = '" << body
                                   << "'\nwrk.headers[\"Content-Type\"] = \"application/json\"\n";
        std::ofstream(dir + "/www/screen1.html") << "<html></html>";
        if (!bench_server_start(&srv, dir)) return;
        // Size of one poll answer, for the static file of the same size.
        std::string cmd = "curl -s -X POST --data-binary @" + dir + "/body.json " +
                          bench_server_url(&srv, "/api/poll") + " | wc -c";
        std::ofstream(dir + "/body.json") << body;
        if (FILE *p = popen(cmd.c_str(), "r")) {
            char n[64] = "";
            if (fgets(n, sizeof n, p)) poll_size = strtoul(n, nullptr, 10);
            pclose(p);
        }
        if (poll_size == 0) poll_size = 12000;
        std::ofstream(dir + "/www/static.html") << std::string(poll_size, 'x');
        ok = true;
    }
    std::string url(const char *path) const { return bench_server_url(&srv, path); }
};

bench_env &env() {
    static bench_env e;
    return e;
}

wrk_result g_static;

void BM_StaticFile(benchmark::State &state) {
    bench_env &e = env();
    if (!e.ok) {
        state.SkipWithError("wrk or the server is not available");
        return;
    }
    for (auto _ : state)
        g_static = run_wrk(e.url("/static.html"), "");
    state.counters["req_per_s"] = g_static.rps;
    state.counters["p99_ms"] = g_static.p99_ms;
    state.counters["bytes"] = (double)e.poll_size;
}

void BM_ApiPoll500(benchmark::State &state) {
    bench_env &e = env();
    if (!e.ok) {
        state.SkipWithError("wrk or the server is not available");
        return;
    }
    wrk_result r;
    for (auto _ : state)
        r = run_wrk(e.url("/api/poll"), e.poll_script);
    state.counters["req_per_s"] = r.rps;
    state.counters["p99_ms"] = r.p99_ms;
    state.counters["bytes"] = (double)e.poll_size;
    if (g_static.rps > 0) state.counters["rps_vs_static"] = r.rps / g_static.rps;
    if (g_static.p99_ms > 0) state.counters["p99_vs_static"] = r.p99_ms / g_static.p99_ms;
}

}  // namespace

BENCHMARK(BM_StaticFile)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ApiPoll500)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
