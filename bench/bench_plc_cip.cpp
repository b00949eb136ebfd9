// CIP client throughput against zqplcsim on loopback: 1,000 scalar DINT/REAL
// tags in Multiple Service Packets (baseline: one Read Tag per tag) and a
// REAL array of 10,000 elements in Read Tag chunks. Counters: requests and
// tags per second, request bytes per request, and the ratio of requests sent
// to the fewest that the size limits allow.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "../tests/plc_driver/test_plcsim_util.h"
#include "common/log.h"
#include "plc_driver/cip.h"
#include "plc_driver/eip.h"

namespace {

constexpr int kTags = 1000;
constexpr int kArray = 10000;
// Size limits of a controller: requests and replies of a 500-byte class-3
// connection carry at most 498 CIP bytes; unconnected replies at most 504.
constexpr size_t kRequestMax = 498;
constexpr size_t kReplyMax = 498;

plcsim_proc *g_sim = nullptr;

plcsim_proc &sim() {
    if (g_sim == nullptr) {
        log_set_flags(0, 0, 0);
        g_sim = new plcsim_proc;
        std::vector<std::string> args;
        for (int i = 0; i < kTags; i++) {
            char tag_arg[64];
            snprintf(tag_arg, sizeof tag_arg, "T%04d:%s[1]=%d", i, i % 2 ? "REAL" : "DINT", i);
            args.push_back("--tag");
            args.push_back(tag_arg);
        }
        args.push_back("--tag");
        args.push_back("Big:REAL[" + std::to_string(kArray) + "]:ramp/10/0/1000");
        if (!g_sim->start(args)) {
            fprintf(stderr, "zqplcsim did not start:\n%s\n", g_sim->output().c_str());
            exit(1);
        }
    }
    return *g_sim;
}

struct session {
    eip_session s;
    explicit session(bool connected) {
        if (eip_connect(&s, sim().addr.c_str(), EIP_PORT, 0) != 0) exit(1);
        if (connected && cip_forward_open(&s) != 0) exit(1);
    }
    ~session() {
        cip_forward_close(&s);
        eip_disconnect(&s);
    }
};

struct batch_plan {
    std::vector<std::vector<uint8_t>> paths;
    std::vector<std::pair<int, int>> batches;  // [first, count)
    size_t request_bytes = 0;
    double min_requests = 0;
};

// Packs the reads greedily up to the request and reply limits.
batch_plan plan_batches() {
    batch_plan p;
    size_t need_req = 0, need_rep = 0;
    for (int i = 0; i < kTags; i++) {
        uint8_t path[CIP_PATH_MAX];
        char name[16];
        snprintf(name, sizeof name, "T%04d", i);
        int n = cip_build_tag_path(name, 0, 0, path, sizeof path);
        p.paths.emplace_back(path, path + n);
    }
    int first = 0;
    size_t req = 8, rep = 6;  // MSP header and service count
    for (int i = 0; i < kTags; i++) {
        size_t item_req = 2 + 4 + p.paths[i].size();  // offset, service, size, path, count
        size_t item_rep = 2 + 4 + 2 + 4;              // offset, header, type, value
        need_req += item_req;
        need_rep += item_rep;
        if (i - first == CIP_MSP_ITEMS_MAX || req + item_req > kRequestMax ||
            rep + item_rep > kReplyMax) {
            p.batches.push_back({first, i - first});
            p.request_bytes += req;
            first = i;
            req = 8;
            rep = 6;
        }
        req += item_req;
        rep += item_rep;
    }
    p.batches.push_back({first, kTags - first});
    p.request_bytes += req;
    double by_req = (double)need_req / (double)(kRequestMax - 8);
    double by_rep = (double)need_rep / (double)(kReplyMax - 6);
    double by_items = (double)kTags / CIP_MSP_ITEMS_MAX;
    p.min_requests = std::ceil(std::max(by_req, std::max(by_rep, by_items)));
    return p;
}

void report(benchmark::State &state, double requests, double tags, double bytes,
            double min_requests) {
    state.counters["requests/s"] =
        benchmark::Counter(requests * (double)state.iterations(), benchmark::Counter::kIsRate);
    state.counters["tags/s"] =
        benchmark::Counter(tags * (double)state.iterations(), benchmark::Counter::kIsRate);
    state.counters["bytes/request"] = bytes / requests;
    state.counters["requests/minimum"] = requests / min_requests;
}

void BM_Scalars_SingleReads(benchmark::State &state) {
    session ses(state.range(0) != 0);
    batch_plan plan = plan_batches();
    size_t bytes = 0;
    for (auto _ : state) {
        bytes = 0;
        for (int i = 0; i < kTags; i++) {
            uint8_t v[8];
            uint32_t size;
            uint16_t type;
            const auto &p = plan.paths[(size_t)i];
            if (cip_read_tag_single(&ses.s, p.data(), p.size(), v, &size, &type) != 0)
                state.SkipWithError("read failed");
            bytes += 4 + p.size();
        }
    }
    report(state, kTags, kTags, (double)bytes, plan.min_requests);
}

void BM_Scalars_MultipleServicePacket(benchmark::State &state) {
    session ses(state.range(0) != 0);
    batch_plan plan = plan_batches();
    std::vector<cip_multi_item> items(kTags);
    for (int i = 0; i < kTags; i++)
        items[(size_t)i] = {plan.paths[(size_t)i].data(), plan.paths[(size_t)i].size(), 1};
    std::vector<cip_multi_result> res(CIP_MSP_ITEMS_MAX);
    for (auto _ : state) {
        for (auto [first, count] : plan.batches) {
            if (cip_read_multi(&ses.s, &items[(size_t)first], count, res.data()) != 0 ||
                res[(size_t)count - 1].status != 0)
                state.SkipWithError("multi read failed");
        }
    }
    report(state, (double)plan.batches.size(), kTags, (double)plan.request_bytes,
           plan.min_requests);
}

// Chunk of elements per Read Tag: 480 / 4 as the driver polls arrays, and
// the most one reply can carry.
void BM_RealArray(benchmark::State &state) {
    session ses(true);
    int chunk = (int)state.range(0);
    int best = (int)((kReplyMax - 6) / 4);
    std::vector<double> vals(kArray);
    int requests = 0;
    for (auto _ : state) {
        requests = 0;
        for (int first = 0; first < kArray; first += chunk) {
            int n = std::min(chunk, kArray - first);
            uint16_t type;
            int got = 0;
            if (cip_read_real(&ses.s, "Big", (uint32_t)first, n, &vals[(size_t)first], &type,
                              &got) != 0 ||
                got != n)
                state.SkipWithError("array read failed");
            requests++;
        }
    }
    double min_requests = std::ceil((double)kArray / best);
    // Read Tag with an element segment and a count: about 16 bytes.
    report(state, requests, kArray, 16.0 * requests, min_requests);
}

BENCHMARK(BM_Scalars_SingleReads)
    ->Arg(1)
    ->ArgName("connected")
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2)
    ->UseRealTime();
BENCHMARK(BM_Scalars_MultipleServicePacket)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("connected")
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2)
    ->UseRealTime();
BENCHMARK(BM_RealArray)
    ->Arg(120)
    ->Arg(123)
    ->ArgName("chunk")
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2)
    ->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_sim) {
        g_sim->cleanup();
        delete g_sim;
    }
    return 0;
}
