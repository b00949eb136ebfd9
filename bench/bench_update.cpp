// Installing a 200 MB signed distribution with zqupdate (bench-key build):
// marker search, streamed extraction with per-file SHA-256, signature,
// snapshot of the old release and the atomic install, next to what a plain
// `tar -xzf` of the same payload followed by `sha256sum` of its files costs
// in the same run ("x_tar_sha": zqupdate time over the baseline time).
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

#include "tests/support/files.h"
#include "tests/support/proc.h"

namespace {

constexpr int kFiles = 4;
constexpr size_t kFileBytes = 50u << 20;  // below the updater's 64 MiB per file

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Program-like data: compressible in part, as real binaries are.
void write_payload_file(const std::string &path, uint64_t seed) {
    std::ofstream f(path, std::ios::binary);
    std::string block(1 << 20, '\0');
    uint64_t x = seed * 0x9e3779b97f4a7c15ull + 1;
    for (size_t done = 0; done < kFileBytes; done += block.size()) {
        for (size_t i = 0; i < block.size(); i += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            uint64_t v = (i / 8) % 4 == 0 ? x : (x & 0x00ff00ff00ff00ffull);
            memcpy(&block[i], &v, 8);
        }
        f.write(block.data(), (std::streamsize)block.size());
    }
}

bool sh(const std::string &cmd) {
    tsup::ChildOpts o;
    o.argv = {"/bin/sh", "-c", cmd};
    return tsup::run(o, 600000).status == 0;
}

struct fixture {
    tsup::TempDir work{"bench_upd"};
    std::string run_file, payload;
    bool ok = false;
    fixture() {
        std::string tree = work / "tree";
        mkdir(tree.c_str(), 0755);
        mkdir((tree + "/www-sys").c_str(), 0755);
        std::ofstream(tree + "/zqsup") << "zqsup of the bench release\n";
        std::ofstream(tree + "/www-sys/index.html") << "<!doctype html>\n";
        for (int i = 0; i < kFiles; i++)
            write_payload_file(tree + "/prog" + std::to_string(i), (uint64_t)i + 1);
        run_file = work / "dist.run";
        payload = work / "payload.tar.gz";
        ok = sh(std::string(ZQ_SOURCE_DIR) + "/scripts/make_dist.sh -k " + ZQ_BENCH_KEY +
                " -i 7e57c0de -v 1.0 -o " + run_file + " " + tree + " >/dev/null") &&
             // The same gzip'd tar without the preamble, for the baseline.
             sh("sed -n '/^__ZQSTACK_PAYLOAD__$/=' " + run_file +
                " | head -1 | { read n; tail -n +$((n+1)) " + run_file + " > " + payload + "; }");
    }
};

void BM_Install200MB(benchmark::State &state) {
    static fixture fx;
    if (!fx.ok) {
        state.SkipWithError("cannot build the distribution (scripts/make_dist.sh)");
        return;
    }
    double upd_total = 0, base_total = 0;
    int n = 0;
    for (auto _ : state) {
        tsup::TempDir target{"bench_upd_target"};
        tsup::TempDir out{"bench_upd_tar"};
        chmod(target.path.c_str(), 0755);
        std::string archive = "/tmp/zqupd_" + tsup::unique_name("bench") + ".run";
        bool prepared = sh("cp " + std::string(ZQ_BENCH_UPDATER) + " " + target.path +
                           "/zqupdate && echo old >" + target.path + "/zqsup && cp " + fx.run_file +
                           " " + archive + " && sync");
        if (!prepared) {
            state.SkipWithError("cannot prepare the installation folder");
            break;
        }
        tsup::ChildOpts o;
        o.argv = {target / "zqupdate", "full", archive, "zqstack"};
        o.env = {"ZQUPD_LOG=" + (fx.work / "zqupdate.log")};
        double t0 = now_s();
        tsup::RunResult r = tsup::run(o, 600000);
        double t1 = now_s();
        unlink(archive.c_str());
        if (r.status != 0) {
            state.SkipWithError(("zqupdate failed: " + r.err).c_str());
            break;
        }
        bool base = sh("tar -xzf " + fx.payload + " -C " + out.path + " && cd " + out.path +
                       " && find . -type f ! -name 'dist_manifest.*' -print0 | xargs -0 "
                       "sha256sum >/dev/null");
        double t2 = now_s();
        if (!base) {
            state.SkipWithError("tar -xzf + sha256sum failed");
            break;
        }
        state.SetIterationTime(t1 - t0);
        upd_total += t1 - t0;
        base_total += t2 - t1;
        n++;
    }
    if (n > 0) {
        state.counters["zqupdate_s"] = upd_total / n;
        state.counters["tar_sha_s"] = base_total / n;
        state.counters["x_tar_sha"] = upd_total / base_total;
        state.SetBytesProcessed((int64_t)n * kFiles * (int64_t)kFileBytes);
    }
}
BENCHMARK(BM_Install200MB)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
