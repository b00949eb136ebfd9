// Cost of the recorder's work per second for 10,000 analog and 10,000
// discrete channels: one tick (snapshot, conversion, accumulation, seconds
// row), and the extra cost of a minute and an hour row, in each format.
// Counters: bytes written per tick or row.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "common/log.h"
#include "common/shm.h"
#include "trend/trend_rec.h"
#include "trend/trend_shm.h"

namespace {

constexpr int kChannels = 10000;
// 2026-06-01 00:00:00 UTC: hour rows start at row 0, without padding.
constexpr time_t kStart = 1780272000;

// Keeps the recorder's progress lines out of the benchmark report.
struct Quiet {
    int saved;
    Quiet() {
        fflush(stdout);
        saved = dup(1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
    }
    ~Quiet() {
        fflush(stdout);
        dup2(saved, 1);
        close(saved);
    }
};

struct Env {
    std::string dir;
    std::string shm;
    ShmHandle h;
    trend_config cfg;
    trend_segments segs;
    trend_samples smp;
    std::unique_ptr<trend_recorder> rec;
    time_t t = kStart;

    explicit Env(int fmt) {
        setenv("TZ", "UTC", 1);
        tzset();
        char tmpl[] = "/tmp/zqtrend-bench-XXXXXX";
        dir = mkdtemp(tmpl);
        log_init(dir.c_str(), "bench");
        std::ofstream j(dir + "/channels.json");
        j << "{\"version\":1,\"analogs\":[";
        for (int n = 1; n <= kChannels; n++)
            j << (n > 1 ? "," : "") << "{\"id\":\"A" << n << "\",\"desc\":\"Канал " << n
              << "\",\"unit\":\"bar\",\"scale\":{\"code_min\":0,\"code_max\":27648,"
                 "\"phys_min\":0,\"phys_max\":16}}";
        j << "],\"discretes\":[";
        for (int n = 1; n <= kChannels; n++)
            j << (n > 1 ? "," : "") << "{\"id\":\"D" << n << "\",\"desc\":\"Дискрет " << n << "\"}";
        j << "]}\n";
        j.close();
        shm = "/zqtrend_bench_" + std::to_string(getpid());
        shm_open_rw(shm.c_str(), kChannels + 1, kChannels + 1, 0, &h);
        for (int n = 1; n <= kChannels; n++) {
            shm_update_analog(&h, n, 1, 0, (n * 37) % 27648);
            shm_set_an_vtype(&h, n, n % 3 == 0 ? SHM_VT_INT : SHM_VT_REAL);
            shm_update_discrete(&h, n, (uint8_t)(n & 1), 1, 0);
        }
        cfg.mainpath = dir + "/Trends/";
        cfg.main_fmt = fmt;
        cfg.analogs = kChannels + 1;
        cfg.discrets = kChannels + 1;
        cfg.a_base_path = dir + "/zqbridge.a.base";
        cfg.d_base_path = dir + "/zqbridge.d.base";
        cfg.shm_names = {shm};
        trend_segments_init(&segs, cfg.shm_names);
        Quiet q;
        trend_try_open_groups(&segs);
        trend_base b;
        trend_base_read(&b, cfg.a_base_path.c_str(), cfg.d_base_path.c_str(), cfg.analogs,
                        cfg.discrets);
        rec = std::make_unique<trend_recorder>();
        trend_rec_init(rec.get(), cfg, std::move(b));
        tick();  // opens the day and the month
    }
    ~Env() {
        rec.reset();
        shm_close(&h);
        shm_unlink(shm.c_str());
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    void tick() {
        trend_try_open_groups(&segs);
        trend_snapshot(&segs, &smp, cfg);
        trend_rec_tick(rec.get(), t++, &smp);
    }
    long long size(const char *ext) const {
        struct tm lt;
        gmtime_r(&t, &lt);
        char p[TREND_PATH_MAX];
        if (cfg.main_fmt == TREND_FMT_V2)
            trend_filepath_v2(p, sizeof p, cfg.mainpath.c_str(), &lt, ext);
        else {
            if (ext[2] == 'h') lt.tm_mday = 1;
            trend_filepath(p, sizeof p, cfg.mainpath.c_str(), &lt, ext);
        }
        struct stat st;
        return stat(p, &st) == 0 ? (long long)st.st_size : 0;
    }
};

void BM_Tick(benchmark::State &state) {
    Env e((int)state.range(0));
    Quiet q;
    long long before = e.size("rps");
    long n = 0;
    for (auto _ : state) {
        if ((e.t + 1) % 60 == 0) {  // keep minute rows out of this figure
            state.PauseTiming();
            e.tick();
            e.tick();
            n += 2;
            state.ResumeTiming();
        }
        e.tick();
        n++;
    }
    state.counters["bytes_per_tick"] = (double)(e.size("rps") - before) / (double)n;
    state.SetLabel(state.range(0) == 2 ? "v2" : "v1 packed");
}

// Baseline: the snapshot of the database alone.
void BM_Snapshot(benchmark::State &state) {
    Env e(TREND_FMT_V1_PACKED);
    for (auto _ : state) {
        trend_try_open_groups(&e.segs);
        trend_snapshot(&e.segs, &e.smp, e.cfg);
        benchmark::DoNotOptimize(e.smp.an_raw.data());
    }
}

// A tick that also writes the minute row (subtract BM_Tick for the row).
void BM_MinuteTick(benchmark::State &state) {
    Env e((int)state.range(0));
    Quiet q;
    long long bytes = 0;
    long n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        e.t = (e.t / 60 + 1) * 60 - 1;
        e.tick();
        long long before = e.size("rpm");
        state.ResumeTiming();
        e.tick();
        state.PauseTiming();
        e.t--;
        bytes += e.size("rpm") - before;
        e.t++;
        n++;
        state.ResumeTiming();
    }
    state.counters["bytes_per_row"] = (double)bytes / (double)n;
    state.SetLabel(state.range(0) == 2 ? "v2" : "v1 packed");
}

// A tick that writes the minute and the hour row.
void BM_HourTick(benchmark::State &state) {
    Env e((int)state.range(0));
    Quiet q;
    long long bytes = 0;
    long n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        e.t = (e.t / 3600 + 1) * 3600 - 1;
        e.tick();
        long long before = e.size("rph");
        state.ResumeTiming();
        e.tick();
        state.PauseTiming();
        e.t--;
        bytes += e.size("rph") - before;
        e.t++;
        n++;
        state.ResumeTiming();
    }
    state.counters["bytes_per_row"] = (double)bytes / (double)n;
    state.SetLabel(state.range(0) == 2 ? "v2" : "v1 unpacked");
}

BENCHMARK(BM_Snapshot)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Tick)
    ->Arg(TREND_FMT_V1_PACKED)
    ->Arg(TREND_FMT_V2)
    ->Iterations(300)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MinuteTick)
    ->Arg(TREND_FMT_V1_PACKED)
    ->Arg(TREND_FMT_V2)
    ->Iterations(60)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HourTick)
    ->Arg(TREND_FMT_V1_PACKED)
    ->Arg(TREND_FMT_V2)
    ->Iterations(20)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
