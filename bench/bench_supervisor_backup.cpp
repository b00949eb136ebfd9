// A project archive made by the running zqsup (request to "backup OK")
// next to the same `tar czf` run by hand in the same run ("x_tar": the
// supervisor's wall time over tar's), and the largest gap in the
// database heartbeat while the archive is made ("max_gap_ms"; without a
// driver the supervisor stamps it once a second, so about 1000 means the
// loop never waited for tar).
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "common/shm.h"
#include "tests/support/tsup.h"

namespace {

constexpr int kLogFiles = 8;
constexpr int kLogBytes = 8 << 20;  // per file: 64 MiB of log text in all

double secs_since(const timespec &a) {
    timespec b;
    clock_gettime(CLOCK_MONOTONIC, &b);
    return double(b.tv_sec - a.tv_sec) + double(b.tv_nsec - a.tv_nsec) / 1e9;
}

// Log lines as programs write them: compressible, not trivially so.
void make_project(const std::string &proj, const std::string &prefix) {
    mkdir(proj.c_str(), 0755);
    tsup::write_file(proj + "/config.yaml", "logix:\n  shm_name: " + prefix + "\n");
    mkdir((proj + "/logs").c_str(), 0755);
    mkdir((proj + "/www").c_str(), 0755);
    unsigned seed = 7;
    for (int f = 0; f < kLogFiles; f++) {
        std::string t;
        t.reserve(kLogBytes + 128);
        char line[128];
        for (int i = 0; int(t.size()) < kLogBytes; i++) {
            seed = seed * 1103515245u + 12345u;
            snprintf(line, sizeof line, "2026-03-07 12:%02d:%02d.%03u [scada] A%u = %.3f q=1\n",
                     (i / 60) % 60, i % 60, seed % 1000, seed % 4000, (seed % 100000) / 7.0);
            t += line;
        }
        tsup::write_file(proj + "/logs/prog" + std::to_string(f) + ".log", t);
    }
    for (int i = 0; i < 200; i++)
        tsup::write_file(proj + "/www/page" + std::to_string(i) + ".html",
                         std::string(4000, char('a' + i % 26)));
}

void BM_SupervisorBackup64MiB(benchmark::State &state) {
    tsup::TempDir tmp("zqbkbench");
    std::string stack = tmp.path + "/stack", project = "bkb" + std::to_string(getpid());
    std::string proj = tmp.path + "/" + project, prefix = "/zqbkb" + std::to_string(getpid());
    mkdir(stack.c_str(), 0755);
    tsup::write_file(stack + "/zqsup", tsup::read_file(std::string(ZQ_BIN_DIR) + "/zqsup"));
    chmod((stack + "/zqsup").c_str(), 0755);
    for (const char *p : {"zqtrend", "zqserver", "zqalarm"}) {
        tsup::write_file(stack + "/" + p, "#!/bin/sh\nexec sleep 100000\n");
        chmod((stack + "/" + p).c_str(), 0755);
    }
    make_project(proj, prefix);

    // Baseline: the same paths by hand.
    timespec t0;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    tsup::RunResult r = tsup::run({.argv = {"tar", "czf", tmp.path + "/hand.tar.gz", "-C", proj,
                                            "config.yaml", "www", "logs"}});
    double tar_s = secs_since(t0);
    if (r.status != 0) return state.SkipWithError("tar by hand failed");

    tsup::Child sup;
    std::string out = tmp.path + "/sup.txt";
    if (!tsup::child_start(&sup, {.argv = {stack + "/zqsup", proj}, .out_path = out}) ||
        !tsup::wait_for_text(out, "[zqsup] running.", 20000))
        return state.SkipWithError("zqsup did not start");
    ShmHandle h;
    std::string shm = prefix + "_" + project;
    if (shm_handle_open(&h, shm.c_str(), false) != 0) return state.SkipWithError("no database");

    double total_s = 0, max_gap_ms = 0;
    int made = 0;
    for (auto _ : state) {
        size_t before = tsup::count_of(tsup::read_file(out), "backup OK");
        tsup::write_file(proj + "/backup.req", "");
        clock_gettime(CLOCK_MONOTONIC, &t0);
        int64_t last = shm_header(&h)->last_poll_ms;
        int64_t last_change = tsup::now_ms();
        while (tsup::count_of(tsup::read_file(out), "backup OK") == before) {
            usleep(5000);
            int64_t now = tsup::now_ms(), v = shm_header(&h)->last_poll_ms;
            if (v != last) {
                max_gap_ms = std::max(max_gap_ms, double(now - last_change));
                last = v;
                last_change = now;
            }
            if (secs_since(t0) > 600) return state.SkipWithError("no backup within 10 min");
        }
        total_s += secs_since(t0);
        made++;
        // A new second for the next archive's name.
        usleep(1100000);
    }
    shm_handle_close(&h);
    tsup::child_stop(&sup, 20000);
    unlink(("/tmp/zqsup_" + project + ".pid").c_str());
    state.counters["backup_s"] = total_s / made;
    state.counters["tar_s"] = tar_s;
    state.counters["x_tar"] = total_s / made / tar_s;
    state.counters["max_gap_ms"] = max_gap_ms;
}

BENCHMARK(BM_SupervisorBackup64MiB)->Iterations(2)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
