// Configuration readers: YAML parse of a config.yaml with 10,000 PLC item
// lines and JSON parse throughput of a large channels.json. Each benchmark
// also reports "x_scan": its CPU time per pass divided by that of a plain
// memchr line scan over the same bytes, measured in the same run.

#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "common/channels.h"
#include "common/json.h"
#include "common/yaml.h"

namespace {

constexpr int kItems = 10000;
constexpr int kGroups = 10;

// A realistic logix section: 10 controller groups, each with 1000 item lines
// in a literal block, plus the other top-level sections.
const std::string &config_yaml() {
    static const std::string text = [] {
        std::string t =
            "scada:\n  port: 8080\n  poll_ms: 500\n  wwwdir: ./www\n"
            "trends:\n  mainpath_linux: ./Trends\n  timesec: 1\n"
            "logix:\n  shm_name: /logix_drv\n  log:\n    logdir_linux: ./logs\n"
            "    logname: Logix5000\n  time:\n    dst: auto\n  groups:\n";
        char line[160];
        int n = 0;
        for (int g = 0; g < kGroups; g++) {
            snprintf(line, sizeof line,
                     "    - id: %d\n      ipaddr: 192.168.1.%d\n      connpath: backplane\\0\n"
                     "      takt: 100\n      items: |\n",
                     g, 10 + g);
            t += line;
            for (int i = 0; i < kItems / kGroups; i++, n++) {
                if (n % 3 == 2)
                    snprintf(line, sizeof line, "        D%d,c,Program:Main.Valve_%d.%d\n",
                             n / 3 + 1, n, n % 16);
                else
                    snprintf(line, sizeof line, "        A%d,v,HMI_A[%d]  # sensor %d\n", n + 1,
                             n + 1, n);
                t += line;
            }
        }
        t += "alarm:\n  dir: ./alarm\n  takt_ms: 1000\n";
        return t;
    }();
    return text;
}

// channels.json with 10,000 analog and 2,000 discrete records.
const std::string &channels_json() {
    static const std::string text = [] {
        channels_registry reg;
        for (int n = 1; n <= 10000; n++) {
            channel_rec *r = channels_an_slot(&reg, n);
            r->used = 1;
            snprintf(r->name, sizeof r->name, "TT%d", n);
            snprintf(r->desc, sizeof r->desc, "Температура води на вході котла №%d", n % 7);
            strcpy(r->unit, "°C");
            r->code_max = 27648;
            r->el_min = 4;
            r->el_max = 20;
            strcpy(r->el_unit, "mA");
            r->phys_max = 150;
            snprintf(r->plc_tag, sizeof r->plc_tag, "HMI_A[%d]", n);
            strcpy(r->group, "Logix5000_0");
        }
        for (int n = 1; n <= 2000; n++) {
            channel_rec *r = channels_di_slot(&reg, n);
            r->used = 1;
            snprintf(r->name, sizeof r->name, "V%d", n);
            strcpy(r->area, "Котельня");
        }
        return channels_format(&reg);
    }();
    return text;
}

size_t scan_lines(const std::string &s) {
    size_t lines = 0;
    const char *p = s.data(), *end = p + s.size();
    while ((p = (const char *)memchr(p, '\n', (size_t)(end - p)))) {
        lines++;
        p++;
    }
    return lines + strlen(s.c_str()) % 2;
}

// Thread CPU time: the two shared cores make wall time too noisy for ratios.
double cpu_now() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// CPU seconds per memchr/strlen pass over the text, best of a few batches.
double scan_seconds(const std::string &s) {
    double best = 1e9;
    for (int batch = 0; batch < 5; batch++) {
        const double t0 = cpu_now();
        for (int i = 0; i < 20; i++)
            benchmark::DoNotOptimize(scan_lines(s));
        best = std::min(best, (cpu_now() - t0) / 20);
    }
    return best;
}

template <class F>
void run_with_ratio(benchmark::State &st, const std::string &text, F body) {
    const double base = scan_seconds(text);
    const double t0 = cpu_now();
    for (auto _ : st)
        body();
    const double spent = cpu_now() - t0;
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(text.size()));
    st.counters["x_scan"] = spent / double(st.iterations()) / base;
    st.counters["bytes"] = double(text.size());
}

void BM_Baseline_LineScan(benchmark::State &st) {
    const std::string &t = config_yaml();
    for (auto _ : st)
        benchmark::DoNotOptimize(scan_lines(t));
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(t.size()));
}
BENCHMARK(BM_Baseline_LineScan);

void BM_Yaml_Parse10kItems(benchmark::State &st) {
    const std::string &t = config_yaml();
    run_with_ratio(st, t, [&] {
        json_node *root = yaml_parse(t.c_str());
        benchmark::DoNotOptimize(root);
        json_free(root);
    });
}
BENCHMARK(BM_Yaml_Parse10kItems)->Unit(benchmark::kMillisecond);

// What the driver does at start: parse, then split every group's items.
void BM_Yaml_Parse10kItemsAndSplit(benchmark::State &st) {
    const std::string &t = config_yaml();
    size_t lines = 0;
    run_with_ratio(st, t, [&] {
        json_ptr root(yaml_parse(t.c_str()));
        const json_node *groups = json_get(json_get(root.get(), "logix"), "groups");
        lines = 0;
        for (const json_node *g = groups ? groups->child : nullptr; g; g = g->next) {
            size_t n = 0;
            char **items = yaml_items(json_get(g, "items"), &n);
            lines += n;
            yaml_items_free(items, n);
        }
    });
    if (lines != kItems) st.SkipWithError("wrong item count");
}
BENCHMARK(BM_Yaml_Parse10kItemsAndSplit)->Unit(benchmark::kMillisecond);

void BM_Yaml_Emit10kItems(benchmark::State &st) {
    json_ptr root(yaml_parse(config_yaml().c_str()));
    std::string out = yaml_emit_str(root.get());
    run_with_ratio(st, out, [&] { benchmark::DoNotOptimize(yaml_emit_str(root.get())); });
}
BENCHMARK(BM_Yaml_Emit10kItems)->Unit(benchmark::kMillisecond);

void BM_Json_ParseChannels(benchmark::State &st) {
    const std::string &t = channels_json();
    run_with_ratio(st, t, [&] {
        json_node *root = json_parse(t.c_str());
        benchmark::DoNotOptimize(root);
        json_free(root);
    });
}
BENCHMARK(BM_Json_ParseChannels)->Unit(benchmark::kMillisecond);

void BM_Channels_Load12k(benchmark::State &st) {
    const std::string &t = channels_json();
    char path[] = "/tmp/zq_bench_channels_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, t.data(), t.size()) != (ssize_t)t.size()) {
        st.SkipWithError("cannot write temporary file");
        return;
    }
    close(fd);
    channels_registry reg;
    run_with_ratio(st, t, [&] { benchmark::DoNotOptimize(channels_load(&reg, path)); });
    unlink(path);
}
BENCHMARK(BM_Channels_Load12k)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
