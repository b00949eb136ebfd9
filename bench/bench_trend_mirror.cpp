// Catch-up of an alternate after a 10-minute outage: the seconds file of
// 10,000 analog and 10,000 discrete channels (packed, 40,632-byte rows) is
// 600 rows behind its main file, and the next mirror append levels it.
// Beside it, cp of a file of the same missing bytes. Counter: MB/s.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/proc.h"
#include "trend/trend_mirror.h"

namespace {

constexpr int kAn = 10000, kDi = 10000;
constexpr size_t kRow = 4 * (kAn + (kDi + 15) / 16 + 1);
constexpr int kBefore = 3000, kOutage = 600;

struct Files {
    tsup::TempDir dir{"mirbench"};
    std::string main = dir / "main/26061000.rps", alt = dir / "alt/26061000.rps";
    std::string head = dir / "head.rps", gap = dir / "gap.rps";
    std::vector<uint8_t> row = std::vector<uint8_t>(kRow, 0x41);
    Files() {
        mkdir((dir / "main").c_str(), 0755);
        mkdir((dir / "alt").c_str(), 0755);
        std::string before(kRow * kBefore, 'a'), missing(kRow * kOutage, 'b');
        tsup::write_file(main, before + missing);
        tsup::write_file(head, before);
        tsup::write_file(gap, missing);
    }
};

Files &files() {
    static Files f;
    return f;
}

void BM_MirrorCatchUp(benchmark::State &st) {
    Files &f = files();
    trend_mirror_opts o;
    o.main_dir = f.dir / "main/";
    o.alt[0] = f.dir / "alt/";
    o.threads = false;
    trend_mirror *m = trend_mirror_start(o);
    long long size = (long long)kRow * (kBefore + kOutage);
    for (auto _ : st) {
        st.PauseTiming();
        tsup::run({.argv = {"cp", f.head, f.alt}});
        st.ResumeTiming();
        trend_alt_job_append(m, 0, 0, f.main.c_str(), f.alt.c_str(), size, f.row.data(),
                             f.row.size());
        trend_mirror_run(m);
    }
    trend_mirror_stop(m, 1000);
    if (tsup::file_size(f.alt) != size) st.SkipWithError("alternate not level");
    st.counters["MB/s"] = benchmark::Counter((double)kRow * kOutage * (double)st.iterations() / 1e6,
                                             benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MirrorCatchUp)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same missing bytes copied by cp (process start included).
void BM_CpSameBytes(benchmark::State &st) {
    Files &f = files();
    std::string dst = f.dir / "alt/copy.rps";
    for (auto _ : st)
        tsup::run({.argv = {"cp", f.gap, dst}});
    st.counters["MB/s"] = benchmark::Counter((double)kRow * kOutage * (double)st.iterations() / 1e6,
                                             benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CpSameBytes)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
