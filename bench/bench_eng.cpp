// Engineering API costs. The configuration check of 32 PLC groups × 2,000
// item lines next to a plain YAML parse of the same text ("x_parse": check
// time over parse time), and wrk against whoami with a Bearer token among
// 64 tokens, with the password, and against /api/time, on one server in
// the same run ("rps_vs_time").
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_server.h"
#include "common/cfg_check.h"
#include "common/json.h"
#include "common/yaml.h"

namespace {

constexpr int kGroups = 32;
constexpr int kItemsPerGroup = 2000;

const std::string &big_config() {
    static const std::string text = [] {
        std::string t =
            "scada:\n  port: 8080\n  wwwdir: ./www\nlogix:\n  shm_name: /logix_drv\n"
            "  groups:\n";
        char line[160];
        int a = 1, d = 1;
        for (int g = 0; g < kGroups; g++) {
            snprintf(line, sizeof line,
                     "    - id: %d\n      ipaddr: 10.0.%d.%d\n      connpath: backplane\\0\n"
                     "      takt: 100\n      items: |\n",
                     g, g / 200, 10 + g % 200);
            t += line;
            for (int i = 0; i < kItemsPerGroup; i++) {
                if (i % 2 == 1)
                    snprintf(line, sizeof line, "        D%d,bool,Program:Main.Valve_%d.%d\n", d++,
                             i, i % 16);
                else
                    snprintf(line, sizeof line, "        A%d,real,HMI_A[%d]  # sensor\n", a++, i);
                t += line;
            }
        }
        return t;
    }();
    return text;
}

double g_parse_ns = 0;

void BM_YamlParse32x2000(benchmark::State &state) {
    const std::string &t = big_config();
    for (auto _ : state) {
        json_ptr root(yaml_parse(t.c_str()));
        benchmark::DoNotOptimize(root.get());
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * t.size()));
}

void BM_CfgCheck32x2000(benchmark::State &state) {
    const std::string &t = big_config();
    std::vector<cfg_issue> issues;
    // The baseline of the same run, timed here so the ratio needs no order.
    {
        timespec a, b;
        clock_gettime(CLOCK_MONOTONIC, &a);
        for (int i = 0; i < 3; i++) {
            json_ptr root(yaml_parse(t.c_str()));
            benchmark::DoNotOptimize(root.get());
        }
        clock_gettime(CLOCK_MONOTONIC, &b);
        g_parse_ns = ((b.tv_sec - a.tv_sec) * 1e9 + (b.tv_nsec - a.tv_nsec)) / 3;
    }
    double total_ns = 0;
    for (auto _ : state) {
        timespec a, b;
        clock_gettime(CLOCK_MONOTONIC, &a);
        cfg_check(t, &issues);
        clock_gettime(CLOCK_MONOTONIC, &b);
        total_ns += (b.tv_sec - a.tv_sec) * 1e9 + (b.tv_nsec - a.tv_nsec);
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * t.size()));
    state.counters["issues"] = (double)issues.size();
    if (g_parse_ns > 0) state.counters["x_parse"] = total_ns / state.iterations() / g_parse_ns;
}

// Requests per second wrk reaches on url with one extra header.
double wrk_rps(const std::string &url, const std::string &header) {
    std::string cmd = "wrk -t2 -c16 -d3s";
    if (!header.empty()) cmd += " -H '" + header + "'";
    cmd += " " + url + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return 0;
    char line[512];
    double rps = 0;
    while (fgets(line, sizeof line, p)) {
        char num[64];
        if (sscanf(line, " Requests/sec: %63s", num) == 1) rps = atof(num);
    }
    pclose(p);
    return rps;
}

struct eng_env {
    tsup::TempDir tmp{"engbench"};
    bench_server srv;
    std::string basic = "Authorization: Basic OmJlbmNo";  // ":bench"
    std::string bearer;
    bool ok = false;
    eng_env() {
        if (system("command -v wrk >/dev/null 2>&1") != 0) return;
        mkdir((tmp.path + "/www").c_str(), 0755);
        if (!bench_server_start(&srv, tmp.path, "  eng_password: bench\n")) return;
        // The token used is the last of 64: every hash is looked at.
        for (int i = 0; i < 64; i++) {
            tsup::HttpResponse r = tsup::http_request(
                srv.port, "POST", "/api/eng/tokens", "{\"name\":\"t" + std::to_string(i) + "\"}",
                {{"Authorization", "Basic OmJlbmNo"}, {"Content-Type", "application/json"}});
            json_ptr j(json_parse(r.body.c_str()));
            bearer = json_gets(j.get(), "token", "");
            if (bearer.empty()) return;
        }
        ok = true;
    }
};

eng_env &env() {
    static eng_env e;
    return e;
}

double g_time_rps = 0;

void run_one(benchmark::State &state, const char *path, const std::string &header) {
    eng_env &e = env();
    if (!e.ok) {
        state.SkipWithError("wrk or the server is not available");
        return;
    }
    double rps = 0;
    for (auto _ : state)
        rps = wrk_rps(bench_server_url(&e.srv, path), header);
    state.counters["req_per_s"] = rps;
    if (std::string(path) == "/api/time")
        g_time_rps = rps;
    else if (g_time_rps > 0)
        state.counters["rps_vs_time"] = rps / g_time_rps;
}

void BM_ApiTime(benchmark::State &state) {
    run_one(state, "/api/time", "");
}
void BM_WhoamiBasic(benchmark::State &state) {
    run_one(state, "/api/eng/whoami", env().basic);
}
void BM_WhoamiBearer64(benchmark::State &state) {
    run_one(state, "/api/eng/whoami", "Authorization: Bearer " + env().bearer);
}

}  // namespace

BENCHMARK(BM_YamlParse32x2000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CfgCheck32x2000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApiTime)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WhoamiBasic)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_WhoamiBearer64)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
