// Trend push cost on a day of seconds rows (64 slots, 86,400 rows, about
// 23 MB): posting the 8 MiB frames to zqtrendsrv on loopback with the push
// worker's HTTP exchange, next to curl --data-binary posting the same frame
// files to the same server (without waiting for 100-continue, which the
// test server does not send); and deflating the frames as the worker does,
// next to gzip -6 of the same rows. Counters: MB/s, sizes and the ratios.

#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/net.h"
#include "tests/support/proc.h"
#include "tests/support/wait.h"
#include "trend/trend_push.h"

namespace {

constexpr uint32_t kSlots = 64, kRow = 268, kRows = 86400;
constexpr uint32_t kHs = 64 + 160 * kSlots;

double secs_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A seconds file: a few slowly moving floats, the rest of the slots spare.
std::vector<uint8_t> day_rows() {
    std::vector<uint8_t> rows((size_t)kRows * kRow, 0);
    std::mt19937 rng(1);
    float v[8] = {20, 50, 3, 100, 7, 0.5f, 12, 80};
    for (uint32_t r = 0; r < kRows; r++) {
        uint8_t *p = rows.data() + (size_t)r * kRow;
        uint32_t ms = r * 1000;
        memcpy(p, &ms, 4);
        for (int i = 0; i < 8; i++) {
            v[i] += (float)((int)(rng() % 201) - 100) / 1000.0f;
            memcpy(p + 4 + 4 * i, &v[i], 4);
        }
        memset(p + 4 + 4 * kSlots, 0xFF, 8);  // spare slots are missing
        p[4 + 4 * kSlots] = 0;
    }
    return rows;
}

std::vector<push_frame> frames_of(const std::vector<uint8_t> &rows) {
    std::vector<push_frame> out;
    const size_t chunk = (8u << 20) / kRow * kRow;
    for (size_t off = 0; off < rows.size(); off += chunk) {
        push_frame f;
        push_frame_init(&f);
        size_t n = rows.size() - off < chunk ? rows.size() - off : chunk;
        push_frame_add(&f, PUSH_RES_SEC, PUSH_OP_BYTES, 20260610, kHs + off, rows.data() + off,
                       (uint32_t)n);
        out.push_back(std::move(f));
    }
    return out;
}

struct Server {
    tsup::TempDir dir{"pushbench"};
    tsup::Child c;
    push_url u;
    bool ok = false;
    Server() {
        std::string out = dir / "srv.txt";
        u.host = "127.0.0.1";
        u.port = tsup::free_port();
        ok = tsup::child_start(&c, {.argv = {ZQ_BIN_DIR "/zqtrendsrv", "--dir", dir / "store",
                                             "--port", std::to_string(u.port)},
                                    .out_path = out}) &&
             tsup::wait_for_text(out, "listening on", 5000);
    }
    // The day's header, so that the frames land on a stored file.
    bool prime() {
        std::vector<uint8_t> h(kHs, 0);
        memcpy(h.data(), "ZQT2", 4);
        h[4] = 2;
        h[6] = 's';
        uint32_t f[5] = {kHs, kSlots, kRow, 1000, 20260610};
        memcpy(h.data() + 8, f, sizeof f);
        push_frame fr;
        push_frame_init(&fr);
        push_frame_add(&fr, 0, PUSH_OP_HEADER, 20260610, 0, h.data(), kHs);
        push_reply r;
        return push_http_do(u, "POST", "/api/trend/ingest?src=bench", "", fr.b.data(), fr.b.size(),
                            &r, push_http_opts()) == 0 &&
               r.status == 200;
    }
};

void BM_PushVsCurl(benchmark::State &state) {
    if (system("command -v curl >/dev/null 2>&1") != 0) {
        state.SkipWithError("curl is missing");
        return;
    }
    Server s;
    if (!s.ok || !s.prime()) {
        state.SkipWithError("zqtrendsrv did not start");
        return;
    }
    std::vector<uint8_t> rows = day_rows();
    std::vector<push_frame> frames = frames_of(rows);
    std::string cmd =
        "curl -sf -o /dev/null -H 'Expect:' -H 'Content-Type: application/octet-stream'";
    for (size_t i = 0; i < frames.size(); i++) {
        std::string path = s.dir / ("frame" + std::to_string(i));
        tsup::write_file(path, std::string(frames[i].b.begin(), frames[i].b.end()));
        cmd +=
            (i ? " --next -sf -o /dev/null -H 'Expect:' -H 'Content-Type: application/octet-stream'"
               : "") +
            std::string(" --data-binary @") + path +
            " http://127.0.0.1:" + std::to_string(s.u.port) + "/api/trend/ingest?src=bench";
    }
    double mb = 0;
    for (const auto &f : frames)
        mb += (double)f.b.size() / 1e6;
    double t_push = 0, t_curl = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        for (const auto &f : frames) {
            push_reply r;
            if (push_http_do(s.u, "POST", "/api/trend/ingest?src=bench", "", f.b.data(), f.b.size(),
                             &r, push_http_opts()) != 0 ||
                r.status != 200) {
                state.SkipWithError("push refused");
                return;
            }
        }
        t_push = secs_since(t0);
        t0 = std::chrono::steady_clock::now();
        if (system(cmd.c_str()) != 0) {
            state.SkipWithError("curl failed");
            return;
        }
        t_curl = secs_since(t0);
    }
    state.counters["push_MB_s"] = mb / t_push;
    state.counters["curl_MB_s"] = mb / t_curl;
    state.counters["vs_curl"] = t_curl / t_push;
}

void BM_DeflateVsGzip(benchmark::State &state) {
    if (system("command -v gzip >/dev/null 2>&1") != 0) {
        state.SkipWithError("gzip is missing");
        return;
    }
    tsup::TempDir dir("pushbench");
    std::vector<uint8_t> rows = day_rows();
    std::vector<push_frame> frames = frames_of(rows);
    std::string raw = dir / "rows", gz = dir / "rows.gz";
    tsup::write_file(raw, std::string(rows.begin(), rows.end()));
    std::string cmd = "gzip -6 -c " + raw + " > " + gz;
    double ours = 0, t_ours = 0, t_gzip = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        ours = 0;
        for (const auto &f : frames)
            ours += (double)push_frame_wire(&f, true).size();
        t_ours = secs_since(t0);
        t0 = std::chrono::steady_clock::now();
        if (system(cmd.c_str()) != 0) {
            state.SkipWithError("gzip failed");
            return;
        }
        t_gzip = secs_since(t0);
    }
    double theirs = (double)tsup::file_size(gz);
    state.counters["deflate_MB_s"] = (double)rows.size() / 1e6 / t_ours;
    state.counters["gzip_MB_s"] = (double)rows.size() / 1e6 / t_gzip;
    state.counters["vs_gzip_speed"] = t_gzip / t_ours;
    state.counters["ratio"] = (double)rows.size() / ours;
    state.counters["gzip_ratio"] = (double)rows.size() / theirs;
}

BENCHMARK(BM_PushVsCurl)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DeflateVsGzip)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
