// CRC-32 throughput of the common library next to zlib's crc32 on the same
// buffer, and shared-memory record updates per second next to plain stores.

#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "common/crc32.h"
#include "common/shm.h"

namespace {

const std::vector<unsigned char> &buffer() {
    static std::vector<unsigned char> buf = [] {
        std::vector<unsigned char> b(1 << 20);
        std::mt19937 rng(7);
        for (auto &c : b)
            c = (unsigned char)rng();
        return b;
    }();
    return buf;
}

void BM_Crc32_Zlib(benchmark::State &st) {
    const auto &b = buffer();
    for (auto _ : st)
        benchmark::DoNotOptimize(crc32(0L, b.data(), uInt(b.size())));
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(b.size()));
}
BENCHMARK(BM_Crc32_Zlib);

void BM_Crc32_Library(benchmark::State &st) {
    const auto &b = buffer();
    for (auto _ : st)
        benchmark::DoNotOptimize(crc32_compute(b.data(), b.size()));
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(b.size()));
}
BENCHMARK(BM_Crc32_Library);

void BM_Crc32_Bytewise(benchmark::State &st) {
    const auto &b = buffer();
    for (auto _ : st)
        benchmark::DoNotOptimize(~crc32_update_bytewise(0xFFFFFFFFu, b.data(), b.size()));
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(b.size()));
}
BENCHMARK(BM_Crc32_Bytewise);

// Small frames, as trend push and file checks see them.
void BM_Crc32_Library_64B(benchmark::State &st) {
    const auto &b = buffer();
    for (auto _ : st)
        benchmark::DoNotOptimize(crc32_compute(b.data(), 64));
    st.SetBytesProcessed(int64_t(st.iterations()) * 64);
}
BENCHMARK(BM_Crc32_Library_64B);

void BM_Crc32_Zlib_64B(benchmark::State &st) {
    const auto &b = buffer();
    for (auto _ : st)
        benchmark::DoNotOptimize(crc32(0L, b.data(), 64));
    st.SetBytesProcessed(int64_t(st.iterations()) * 64);
}
BENCHMARK(BM_Crc32_Zlib_64B);

constexpr uint32_t kChannels = 10000;

// Baseline: the same three stores into a private array, no bounds checks.
void BM_ShmUpdate_PlainStores(benchmark::State &st) {
    std::vector<ShmAnalog> recs(kChannels);
    uint32_t i = 0;
    int64_t ts = 0;
    for (auto _ : st) {
        ShmAnalog &r = recs[i];
        r.quality = 1;
        r.ts_ms = ++ts;
        r.value = double(ts);
        benchmark::ClobberMemory();
        if (++i == kChannels) i = 0;
    }
    st.SetItemsProcessed(int64_t(st.iterations()));
}
BENCHMARK(BM_ShmUpdate_PlainStores);

void BM_ShmUpdate_Analog(benchmark::State &st) {
    std::string name = "/zqbench_core_" + std::to_string(getpid());
    ShmHandle h;
    if (shm_open_rw(name.c_str(), kChannels, kChannels, 4, &h) != 0) {
        st.SkipWithError("shm_open_rw failed");
        return;
    }
    uint32_t i = 0;
    int64_t ts = 0;
    for (auto _ : st) {
        ++ts;
        shm_update_analog(&h, i, 1, ts, double(ts));
        benchmark::ClobberMemory();
        if (++i == kChannels) i = 0;
    }
    st.SetItemsProcessed(int64_t(st.iterations()));
    shm_close(&h);
    shm_unlink(name.c_str());
}
BENCHMARK(BM_ShmUpdate_Analog);

void BM_ShmUpdate_Discrete(benchmark::State &st) {
    std::string name = "/zqbench_core_" + std::to_string(getpid());
    ShmHandle h;
    if (shm_open_rw(name.c_str(), kChannels, kChannels, 4, &h) != 0) {
        st.SkipWithError("shm_open_rw failed");
        return;
    }
    uint32_t i = 0;
    int64_t ts = 0;
    for (auto _ : st) {
        ++ts;
        shm_update_discrete(&h, i, uint8_t(ts), 1, ts);
        benchmark::ClobberMemory();
        if (++i == kChannels) i = 0;
    }
    st.SetItemsProcessed(int64_t(st.iterations()));
    shm_close(&h);
    shm_unlink(name.c_str());
}
BENCHMARK(BM_ShmUpdate_Discrete);

// Post and take through one write slot (release/acquire pair).
void BM_ShmWriteSlot_PostTake(benchmark::State &st) {
    ShmWriteSlot slot{};
    double v = 0, got;
    for (auto _ : st) {
        shm_post_write(&slot, v += 1);
        benchmark::DoNotOptimize(shm_take_write(&slot, &got));
    }
    st.SetItemsProcessed(int64_t(st.iterations()));
}
BENCHMARK(BM_ShmWriteSlot_PostTake);

}  // namespace

BENCHMARK_MAIN();
