// A 24-hour query of 12 channels over one full day's seconds file, in each
// format (version 1 packed, 800 analog + 64 discrete channels; version 2
// with the same channels), next to reading the same bytes with `cat` in
// the same run. Counter x_cat: query time / cat time (goal: under 2).
// ZQ_BENCH_ROWS shortens the day (default 86400 rows).
// Then a 12-curve panel (1700 points, takt 1 s) in process: frames served
// on the incremental path (one new point per takt) next to full rebuilds
// from the same files; counter x_rebuild: incremental time / rebuild time.
// Last, the real zqserver over the same files: panel frames served per
// second (one client, a new connection each) next to /api/poll for the
// same 12 tags; counter x_poll: frames per second / polls per second.

#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench_server.h"
#include "common/shm.h"
#include "server/ksp_cache.h"
#include "trend/trend_query.h"
#include "trend/trend_v1.h"
#include "trend/trend_v2.h"
#include "trend/tz.h"

namespace {

constexpr int kAn = 800, kDi = 64;

long rows_per_day() {
    const char *e = getenv("ZQ_BENCH_ROWS");
    long n = e ? atol(e) : 86400;
    return std::clamp(n, 10L, 86400L);
}

trend_base make_base() {
    trend_base b;
    trend_grow_an(&b, kAn + 1);
    trend_grow_di(&b, kDi + 1);
    for (int n = 1; n <= kAn; n++)
        b.an[(size_t)n].present = 1;
    for (int n = 1; n <= kDi; n++)
        b.di[(size_t)n].present = 1;
    b.an_max = kAn;
    b.di_max = kDi;
    return b;
}

struct Files {
    std::string dir, v1, v2;
    Files() {
        char t[] = "/tmp/zq-bench-tq-XXXXXX";
        dir = mkdtemp(t);
        v1 = dir + "/26031000.rps";
        v2 = dir + "/2026031000.rps";
        trend_base b = make_base();
        trend_cmap m;
        trend_build_cmap(&b, &m);
        trend_meta_create_rns((dir + "/26031000.rns").c_str(), &b, &m);
        long rows = rows_per_day();
        // Version 1, packed: 800 analog cells, 4 packed cells, time.
        {
            FILE *f = fopen(v1.c_str(), "wb");
            std::vector<uint32_t> row(kAn + 4 + 1);
            for (long r = 0; r < rows; r++) {
                for (int k = 0; k < kAn; k++)
                    row[(size_t)k] = trend_cell_float((float)(r % 1000) + (float)k);
                for (int k = 0; k < 4; k++)
                    row[(size_t)(kAn + k)] = 0x55555555u;
                row[kAn + 4] = (uint32_t)(r * 86400 / rows) * 1000;
                fwrite(row.data(), 4, row.size(), f);
            }
            fclose(f);
        }
        // Version 2: float slots.
        {
            // The version-2 file of the day in another directory's name
            // would be merged with the version-1 file; keep them apart.
            v2 = dir + "/v2/2026031000.rps";
            std::filesystem::create_directories(dir + "/v2");
            v2_table t;
            v2_table_build(&t, &b, nullptr, 0, nullptr, 0);
            v2_file_create(v2.c_str(), 's', 20260310, 1000, &t);
            FILE *f = fopen(v2.c_str(), "ab");
            std::vector<uint8_t> row((size_t)t.row_size);
            std::vector<double> an(kAn + 1);
            std::vector<uint8_t> aq(kAn + 1, 1), dv(kDi + 1, 1), dq(kDi + 1, 1);
            for (long r = 0; r < rows; r++) {
                for (int k = 1; k <= kAn; k++)
                    an[(size_t)k] = (double)(r % 1000) + k;
                v2_row_pack(row.data(), &t, an.data(), aq.data(), kAn + 1, dv.data(), dq.data(),
                            kDi + 1, (uint32_t)(r * 86400 / rows) * 1000);
                fwrite(row.data(), 1, row.size(), f);
            }
            fclose(f);
        }
    }
    ~Files() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

Files &files() {
    static Files f;
    return f;
}

double seconds_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Best of three `cat` runs of the file to /dev/null.
double cat_seconds(const std::string &path) {
    std::string cmd = "cat '" + path + "' > /dev/null";
    double best = 1e9;
    for (int i = 0; i < 3; i++) {
        double t0 = seconds_now();
        if (system(cmd.c_str()) != 0) return 0;
        best = std::min(best, seconds_now() - t0);
    }
    return best;
}

void run_query(benchmark::State &state, const std::string &path) {
    tz_set_offset_min(0);
    std::unique_ptr<trend_query_result> r(new trend_query_result);
    std::string dir = path.substr(0, path.rfind('/'));
    double cat = cat_seconds(path);
    const char *names[12] = {"A1",   "A50",  "A100", "A200", "A300", "A400",
                             "A500", "A600", "A700", "A800", "D1",   "D64"};
    struct tm a = {}, b = {};
    a.tm_year = b.tm_year = 126;
    a.tm_mon = b.tm_mon = 2;
    a.tm_mday = b.tm_mday = 10;
    b.tm_hour = 23;
    b.tm_min = b.tm_sec = 59;
    double total = 0;
    for (auto _ : state) {
        double t0 = seconds_now();
        trend_query(r.get(), dir.c_str(), 's', &a, &b, names, 12, kAn, kDi);
        total += seconds_now() - t0;
        benchmark::DoNotOptimize(r->count);
    }
    struct stat st;
    stat(path.c_str(), &st);
    state.SetBytesProcessed((int64_t)state.iterations() * st.st_size);
    state.counters["points"] = r->count;
    state.counters["cat_ms"] = cat * 1000;
    if (cat > 0) state.counters["x_cat"] = total / (double)state.iterations() / cat;
}

void BM_QueryDayV1(benchmark::State &state) {
    run_query(state, files().v1);
}
void BM_QueryDayV2(benchmark::State &state) {
    run_query(state, files().v2);
}
BENCHMARK(BM_QueryDayV1)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_QueryDayV2)->Unit(benchmark::kMillisecond)->MinTime(2);

// The panel over the version-2 day, its clock 12:00 of that day.
struct Panel {
    ksp_env env;
    int64_t now = 0;
    std::string www;
    Panel() {
        tz_set_offset_min(0);
        www = files().dir + "/www";
        std::filesystem::create_directories(www);
        std::string ks = "<ksp takt=\"1\" npoints=\"1700\">";
        for (int k = 0; k < 12; k++)
            ks += "<e param=\"A" + std::to_string(k * 60 + 1) + "\" min=\"0\" max=\"2000\"/>";
        FILE *f = fopen((www + "/p.ks").c_str(), "wb");
        fputs((ks + "</ksp>").c_str(), f);
        fclose(f);
        env.wwwdir = www;
        env.trend_dir = files().v2.substr(0, files().v2.rfind('/'));
        env.now_ms = [this] { return now; };
        env.live = [](const char *, double *v) {
            *v = 42;
            return true;
        };
        struct tm t = {};
        t.tm_year = 126;
        t.tm_mon = 2;
        t.tm_mday = 10;
        t.tm_hour = 12;
        now = (int64_t)timegm(&t) * 1000;
    }
};

double g_rebuild_ms = 0;

void BM_PanelFrameRebuild(benchmark::State &state) {
    Panel p;
    std::string out;
    double total = 0;
    for (auto _ : state) {
        ksp_cache_clear();
        double t0 = seconds_now();
        ksp_frame_json(&p.env, "p.ks", &out);
        total += seconds_now() - t0;
    }
    g_rebuild_ms = total / (double)state.iterations() * 1000;
    state.counters["json_bytes"] = (double)out.size();
}

void BM_PanelFrameIncremental(benchmark::State &state) {
    Panel p;
    std::string out;
    ksp_cache_clear();
    ksp_frame_json(&p.env, "p.ks", &out);
    double total = 0;
    for (auto _ : state) {
        p.now += 1000;  // one takt later
        double t0 = seconds_now();
        ksp_frame_json(&p.env, "p.ks", &out);
        total += seconds_now() - t0;
    }
    double ms = total / (double)state.iterations() * 1000;
    state.counters["frames_per_s"] = 1000 / ms;
    if (g_rebuild_ms > 0) state.counters["x_rebuild"] = ms / g_rebuild_ms;
}

// zqserver on the version-2 day (its clock is the real one, so only the
// newest points come from the files) with 12 live analogs.
struct Server {
    std::string dir;
    bench_server srv;
    bool ok = false;
    Server() {
        dir = files().dir + "/srv";
        std::filesystem::create_directories(dir + "/www");
        if (!bench_server_db(&srv, kAn, kDi)) return;
        for (int i = 1; i <= kAn; i++)
            shm_update_analog(&srv.h, i, 1, shm_now_ms(), i);
        std::string ks = "<ksp takt=\"1\" npoints=\"1700\">";
        for (int k = 0; k < 12; k++)
            ks += "<e param=\"A" + std::to_string(k * 60 + 1) + "\"/>";
        FILE *f = fopen((dir + "/www/p.ks").c_str(), "wb");
        fputs((ks + "</ksp>").c_str(), f);
        fclose(f);
        ok = bench_server_start(
            &srv, dir,
            "trends:\n  mainpath_linux: " + files().v2.substr(0, files().v2.rfind('/')) + "\n");
    }
    // One request on a new connection; the whole answer.
    std::string get(const std::string &req) const { return bench_server_get(&srv, req); }
};

Server &server() {
    static Server s;
    return s;
}

double g_poll_rps = 0;

void serve_loop(benchmark::State &state, const std::string &req) {
    Server &s = server();
    if (!s.ok) {
        state.SkipWithError("zqserver did not start");
        return;
    }
    size_t bytes = 0;
    double t0 = seconds_now();
    for (auto _ : state)
        bytes = s.get(req).size();
    double rps = (double)state.iterations() / (seconds_now() - t0);
    state.counters["req_per_s"] = rps;
    state.counters["bytes"] = (double)bytes;
    if (req.compare(0, 4, "POST") == 0)
        g_poll_rps = rps;
    else if (g_poll_rps > 0)
        state.counters["x_poll"] = rps / g_poll_rps;
}

void BM_ServerPoll12(benchmark::State &state) {
    std::string body = "{\"tags\":[";
    for (int k = 0; k < 12; k++)
        body += (k ? ",\"A" : "\"A") + std::to_string(k * 60 + 1) + "\"";
    body += "]}";
    serve_loop(state,
               "POST /api/poll HTTP/1.0\r\nContent-Type: application/json\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\n\r\n" + body);
}

void BM_ServerPanelFrame12(benchmark::State &state) {
    serve_loop(state, "GET /api/ksp/frame?cfg=p.ks HTTP/1.0\r\n\r\n");
}

BENCHMARK(BM_PanelFrameRebuild)->Unit(benchmark::kMillisecond)->MinTime(1);
BENCHMARK(BM_PanelFrameIncremental)->Unit(benchmark::kMicrosecond)->MinTime(1);
BENCHMARK(BM_ServerPoll12)->Unit(benchmark::kMicrosecond)->MinTime(3)->UseRealTime();
BENCHMARK(BM_ServerPanelFrame12)->Unit(benchmark::kMicrosecond)->MinTime(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
