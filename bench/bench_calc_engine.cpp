// One engine tick of a 1000-statement program with 200 own tags, 100
// controller writes that change every tick and 10,000 variable cells, on a
// real shared-memory database, next to the bare execution of the same
// program on the in-memory host. Prints both per tick and their ratio.

#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "calc/calc_engine.h"
#include "calc/calc_host.h"
#include "common/log.h"
#include "tests/support/files.h"

namespace {

constexpr int kStmts = 1000, kOwn = 200, kWrites = 100, kCells = 10000;

// Statements without the VAR block: own tags A101..A300, controller
// channels A401..A500, inputs A1..A60.
std::string body() {
    std::string p = "n := n + 1;\n";
    char b[160];
    for (int i = 1; i < kStmts; i++) {
        int c = (i * 37) % kCells, d = (i * 91 + 7) % kCells, k = 1 + i % 60;
        if (i <= kOwn)
            snprintf(b, sizeof b, "A%d := v[%d] * 1.5 + A%d;\n", 100 + i, c, k);
        else if (i <= kOwn + kWrites)
            snprintf(b, sizeof b, "A%d := v[%d] + n;\n", 400 + i - kOwn, c);
        else if (i % 2)
            snprintf(b, sizeof b, "v[%d] := v[%d] * 0.999 + A%d - 0.25;\n", c, d, k);
        else
            snprintf(b, sizeof b, "v[%d] := if(v[%d] > 10, v[%d] - 1, v[%d] + A%d);\n", c, d, d, d,
                     k);
        p += b;
    }
    return p;
}

std::map<std::string, double> g_us;  // CPU µs per tick, by benchmark

struct engine_rig {
    tsup::TempDir dir{"calcbench"};
    std::string shm = "/zqbench_calc_" + std::to_string(getpid());
    ShmHandle db;
    calc_engine e;
    bool ok = false;
    engine_rig() {
        if (shm_open_rw(shm.c_str(), 1024, 64, 1, &db) != 0) return;
        for (int i = 1; i <= 60; i++)
            shm_update_analog(&db, i, 1, shm_now_ms(), i * 1.5);
        std::string items;
        for (int i = 101; i <= 100 + kOwn; i++)
            items += "    - A" + std::to_string(i) + "\n";
        tsup::write_file(dir / "config.yaml",
                         "calc:\n  dir: " + dir.path + "\n  stale_ms: 0\n  items:\n" + items);
        tsup::write_file(dir / "calc.st",
                         "VAR v : ARRAY[0..9999] OF LREAL; n : LREAL; END_VAR\n" + body());
        setenv("LOGIX_SHM_NAME", shm.c_str(), 1);
        log_init((dir / "logs").c_str(), "zqcalc");
        ok = calc_engine_start(&e, (dir / "config.yaml").c_str()) == 0 && e.cfg.prog &&
             calc_engine_attach(&e, shm_now_ms());
    }
    ~engine_rig() {
        if (e.attached) shm_handle_close(&e.db);
        shm_close(&db);
        shm_unlink(shm.c_str());
    }
};

// The engine tick; the state is saved once a second as in production
// (every tenth tick at 100 ms).
void BM_Engine_Tick(benchmark::State &state) {
    engine_rig r;
    if (!r.ok) {
        state.SkipWithError("engine did not start");
        return;
    }
    int64_t now = 1773136800000, mono = 1;
    int takt = static_cast<int>(state.range(0));
    for (auto _ : state) {
        now += takt;
        mono += takt;
        calc_engine_tick(&r.e, now, mono);
    }
    state.counters["stmts"] = kStmts;
}
BENCHMARK(BM_Engine_Tick)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_Bare_Exec(benchmark::State &state) {
    calc_host h;
    calc_host_declare(&h, "v[10000]");
    calc_host_declare(&h, "n");
    for (int i = 1; i <= 60; i++)
        calc_host_store(&h, 0, i, 0, i * 1.5);
    std::string prog = body();
    cx_node *root = calc_host_parse(&h, prog.c_str());
    if (!root) {
        state.SkipWithError(h.err);
        return;
    }
    int64_t now = 1773136800000;
    for (auto _ : state) {
        now += 100;
        calc_host_at(&h, now, 100);
        calc_host_run(&h, root);
    }
    cx_free(root);
}
BENCHMARK(BM_Bare_Exec)->Unit(benchmark::kMicrosecond);

class ratio_reporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs)
            if (r.run_type == Run::RT_Iteration && r.iterations > 0)
                g_us[r.benchmark_name()] =
                    r.cpu_accumulated_time * 1e6 / static_cast<double>(r.iterations);
    }
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    ratio_reporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    auto bare = g_us.find("BM_Bare_Exec");
    for (const char *name : {"BM_Engine_Tick/100", "BM_Engine_Tick/1000"}) {
        auto e = g_us.find(name);
        if (e != g_us.end() && bare != g_us.end() && bare->second > 0)
            printf("%s: %.1f µs per tick, bare execution %.1f µs, ratio %.2f\n", name, e->second,
                   bare->second, e->second / bare->second);
    }
    benchmark::Shutdown();
    return 0;
}
