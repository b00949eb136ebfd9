// The alarm engine's cost per turn: one quiet evaluation of 1,024 events
// (as a share of the default 500 ms takt), a storm in which all 1,024 raise
// at once (journal and active list written once), and, as the baseline,
// one atomic write of the journal that storm leaves behind.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "alarm/alarm_engine.h"
#include "common/atomic_file.h"
#include "common/log.h"

namespace {

constexpr int N = 1024;

struct values {
    std::vector<double> a = std::vector<double>(N + 1, 0.0);
    static int fn(void *ctx, char kind, int ch, double *out) {
        values *v = (values *)ctx;
        *out = ch > 0 && ch <= N ? v->a[ch] : 0;
        return 0;
    }
};

struct bench_dir {
    std::string path;
    bench_dir() {
        char t[] = "/tmp/zqalarm_bench_XXXXXX";
        path = mkdtemp(t);
        std::string ev = "{\"takt_ms\":500,\"events\":[";
        const char *conds[] = {"gt", "gte", "lt", "lte", "equ", "neq"};
        for (int i = 1; i <= N; i++)
            // Half scale their channel first, so both expression forms count.
            ev += (i > 1 ? "," : "") + std::string("{\"id\":") + std::to_string(i) +
                  ",\"expr1\":\"A" + std::to_string(i) + (i % 2 ? " * 2" : "") +
                  "\",\"expr2\":\"1000\",\"cond\":\"" + conds[i % 6] +
                  "\",\"delta\":1,\"desc\":\"Подія " + std::to_string(i) +
                  "\",\"lvl\":1,\"station\":1}";
        ev += "]}";
        atomic_file_write(path + "/alarm.json", ev);
        log_init(path.c_str(), "bench");
        log_set_flags(0, 0, 0);
    }
    void clean() {
        std::string cmd = "rm -f '" + path + "'/journal-* '" + path + "'/alarms_active.json";
        if (system(cmd.c_str()) != 0) {
        }
    }
    ~bench_dir() {
        std::string cmd = "rm -rf '" + path + "'";
        if (system(cmd.c_str()) != 0) {
        }
    }
};

// Channel values that keep every event quiet, or raise every one of them.
void set_all(values *v, bool storm) {
    for (int i = 1; i <= N; i++) {
        static const double k_quiet[] = {0, 0, 5000, 5000, 0, 1000};
        static const double k_raise[] = {5000, 5000, 0, 0, 1000, 0};
        double l = storm ? k_raise[i % 6] : k_quiet[i % 6];
        v->a[i] = i % 2 ? l / 2 : l;
    }
}

const int64_t T0 = 1796551200000;  // 2026-12-06 10:00 UTC

void BM_TurnQuiet1024(benchmark::State &st) {
    bench_dir d;
    values v;
    set_all(&v, false);
    alarm_engine e;
    alarm_engine_start(&e, d.path, 0, T0);
    int64_t t = T0;
    for (auto _ : st)
        if (alarm_engine_turn(&e, t += 500, values::fn, &v) != 0) st.SkipWithError("raised");
}
BENCHMARK(BM_TurnQuiet1024)->Unit(benchmark::kMicrosecond);

void BM_Storm1024(benchmark::State &st) {
    bench_dir d;
    values v;
    int64_t t = T0;
    for (auto _ : st) {
        st.PauseTiming();
        d.clean();
        set_all(&v, false);
        auto e = std::make_unique<alarm_engine>();
        alarm_engine_start(e.get(), d.path, 0, t);
        set_all(&v, true);
        st.ResumeTiming();
        int n = alarm_engine_turn(e.get(), t += 500, values::fn, &v);
        if (n != N) st.SkipWithError("not every event raised");
    }
}
BENCHMARK(BM_Storm1024)->Unit(benchmark::kMillisecond);

// Baseline: one atomic write of the journal a 1,024-alarm storm leaves.
void BM_AtomicWriteStormJournal(benchmark::State &st) {
    bench_dir d;
    std::vector<alarm_jline> lines(N);
    for (int i = 0; i < N; i++) {
        lines[i].is_record = true;
        alarm_record &r = lines[i].rec;
        r.id = 2026120600001 + i;
        snprintf(r.ts, sizeof r.ts, "2026-12-06T10:00:00.500");
        r.event_id = i + 1;
        snprintf(r.desc, sizeof r.desc, "Подія %d", i + 1);
        snprintf(r.expr, sizeof r.expr, "A%d * 2 > 1000", i + 1);
        snprintf(r.params, sizeof r.params, "[%d]", i + 1);
    }
    std::string text;
    alarm_journal_format(lines, &text);
    std::string path = d.path + "/journal-06122026.jsonl";
    for (auto _ : st)
        benchmark::DoNotOptimize(atomic_file_write(path, text));
    st.counters["bytes"] = (double)text.size();
}
BENCHMARK(BM_AtomicWriteStormJournal)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
