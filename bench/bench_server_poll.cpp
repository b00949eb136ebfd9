// zqserver under load next to nginx, in the same run: wrk (2 threads, 16
// and 50 connections, one request per connection) against nginx serving a
// file, zqserver serving the same file, and zqserver answering /api/poll
// for 500 scaled tags with those very bytes. Figures only; `vs_nginx` is
// requests/s over nginx's on the same connection count. On a machine busy
// with other work the scheduler shares the cores per thread, which favours
// zqserver's many workers over nginx's one process per core: the ratios
// mean most on a quiet machine.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "bench_server.h"
#include "bench_server_load.h"
#include "common/shm.h"

namespace {

constexpr int TAGS = 500;

struct bench_env {
    tsup::TempDir tmp{"srvbench"};
    std::string dir = tmp.path, poll_script;
    bench_server srv;
    bench_nginx nginx;
    size_t poll_size = 0;
    std::string why;  // empty when everything runs

    bench_env() {
        if (system("command -v wrk >/dev/null 2>&1") != 0) {
            why = "wrk is not installed";
            return;
        }
        mkdir((dir + "/www").c_str(), 0755);
        mkdir((dir + "/nginx").c_str(), 0755);
        if (!bench_server_db(&srv, TAGS, 7)) {
            why = "no database";
            return;
        }
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
        if (!bench_server_start(&srv, dir)) {
            why = "zqserver did not start";
            return;
        }
        // The static file holds the bytes of one poll answer.
        tsup::HttpResponse a =
            tsup::http_parse(bench_server_get(&srv, tsup::http_format("POST", "/api/poll", body)));
        if (a.status != 200 || a.body.empty()) {
            why = "no poll answer";
            return;
        }
        poll_size = a.body.size();
        std::ofstream(dir + "/www/same.html") << a.body;
        std::ofstream(dir + "/nginx/same.html") << a.body;
        // nginx started by root serves as an unprivileged user: let it in.
        chmod(dir.c_str(), 0711);
        if (!bench_nginx_start(&nginx, dir + "/nginx", dir + "/nginx")) {
            why = "nginx (nginx-light) did not start";
            return;
        }
        if (tsup::http_request(nginx.port, "GET", "/same.html").body != a.body) {
            why = "nginx does not serve the file";
            return;
        }
    }
    std::string url(const char *path) const { return bench_server_url(&srv, path); }
};

bench_env &env() {
    static bench_env e;
    return e;
}

// nginx's figures per connection count, for the ratios of the runs after.
wrk_result g_nginx[2];

int slot(int conns) {
    return conns == 16 ? 0 : 1;
}

void report(benchmark::State &state, const wrk_result &r, bool ratio) {
    state.counters["req_per_s"] = r.rps;
    state.counters["p99_ms"] = r.p99_ms;
    state.counters["errors"] = (double)r.errors;
    state.counters["bytes"] = (double)env().poll_size;
    const wrk_result &n = g_nginx[slot((int)state.range(0))];
    if (ratio && n.rps > 0) state.counters["vs_nginx"] = r.rps / n.rps;
    if (!r.ok) state.SkipWithError("wrk gave no figures");
}

bool ready(benchmark::State &state) {
    if (env().why.empty()) return true;
    state.SkipWithError(env().why.c_str());
    return false;
}

void BM_NginxStatic(benchmark::State &state) {
    if (!ready(state)) return;
    bench_env &e = env();
    wrk_result &r = g_nginx[slot((int)state.range(0))];
    for (auto _ : state)
        r = wrk_run("http://127.0.0.1:" + std::to_string(e.nginx.port) + "/same.html",
                    (int)state.range(0));
    report(state, r, false);
}

void BM_ServerStatic(benchmark::State &state) {
    if (!ready(state)) return;
    wrk_result r;
    for (auto _ : state)
        r = wrk_run(env().url("/same.html"), (int)state.range(0));
    report(state, r, true);
}

void BM_ServerPoll500(benchmark::State &state) {
    if (!ready(state)) return;
    wrk_result r;
    for (auto _ : state)
        r = wrk_run(env().url("/api/poll"), (int)state.range(0), env().poll_script);
    report(state, r, true);
}

void conns(benchmark::internal::Benchmark *b) {
    b->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
}

}  // namespace

// Each connection count runs nginx first, so that the ratios compare runs
// seconds apart on a machine whose load changes.
BENCHMARK(BM_NginxStatic)->Arg(16)->Apply(conns);
BENCHMARK(BM_ServerStatic)->Arg(16)->Apply(conns);
BENCHMARK(BM_ServerPoll500)->Arg(16)->Apply(conns);
BENCHMARK(BM_NginxStatic)->Arg(50)->Apply(conns);
BENCHMARK(BM_ServerStatic)->Arg(50)->Apply(conns);
BENCHMARK(BM_ServerPoll500)->Arg(50)->Apply(conns);
BENCHMARK_MAIN();
