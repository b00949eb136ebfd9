// One zqlogix poll pass against the controller simulator: 2,000 scalar tags,
// 4 REAL arrays of 1,000 elements and 2 BOOL arrays of 512 bits, with the
// classic 500-byte connection and with a 4,002-byte large connection, the
// simulator answering at once or 1 ms late (as a controller on a plant
// network). Reports the pass time (median, p99), requests per pass beside
// the fewest the classic batching allows, and the poll thread's CPU time
// per pass.

#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/shm.h"
#include "plc_driver/driver_config.h"
#include "plc_driver/driver_poll.h"

namespace {

constexpr int kScalars = 2000;
constexpr int kRealArrays = 4;
constexpr int kRealLen = 1000;
constexpr int kBoolArrays = 2;
constexpr int kBoolLen = 512;

struct sim_process {
    pid_t pid = -1;
    std::string dir, addr;
    ~sim_process() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int st;
            waitpid(pid, &st, 0);
        }
        if (!dir.empty()) {
            std::string cmd = getenv("KEEP") ? "true" : "rm -rf '" + dir + "'";
            (void)system(cmd.c_str());
        }
    }
    bool start(int delay_ms) {
        char tmpl[] = "/tmp/zq-bench-driver-XXXXXX";
        if (!mkdtemp(tmpl)) return false;
        dir = tmpl;
        std::ofstream tags(dir + "/tags.yaml");
        tags << "tags:\n";
        for (int i = 0; i < kScalars; ++i)
            tags << "  - name: S" << i << "\n    type: " << (i % 2 ? "DINT" : "REAL")
                 << "\n    value: " << i << "\n";
        for (int i = 0; i < kRealArrays; ++i)
            tags << "  - name: R" << i << "\n    type: REAL\n    count: " << kRealLen
                 << "\n    signal: sine\n";
        for (int i = 0; i < kBoolArrays; ++i)
            tags << "  - name: B" << i << "\n    type: BOOL\n    count: " << kBoolLen << "\n";
        tags.close();
        unsigned p = static_cast<unsigned>(getpid());
        addr = "127.201." + std::to_string((p >> 8) % 250 + 1) + "." + std::to_string(p % 250 + 2);
        pid = fork();
        if (pid == 0) {
            if (chdir(dir.c_str()) != 0) _exit(127);
            if (!freopen("sim.out", "w", stdout)) _exit(127);
            std::string bin = std::string(ZQ_BIN_DIR) + "/zqplcsim";
            std::string delay = std::to_string(delay_ms);
            execl(bin.c_str(), bin.c_str(), "--addr", addr.c_str(), "--tags", "tags.yaml",
                  "--delay-ms", delay.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 1000; ++i) {
            std::ifstream f(dir + "/sim.out");
            std::stringstream ss;
            ss << f.rdbuf();
            if (ss.str().find("listening on") != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
};

std::string driver_yaml(const std::string &addr) {
    std::string y =
        "logix:\n  groups:\n    - ipaddr: " + addr + "\n      takt: 1\n      items: |\n";
    int a = 1, d = 1;
    for (int i = 0; i < kScalars; ++i)
        y += "        A" + std::to_string(a++) + ",v,S" + std::to_string(i) + "\n";
    for (int r = 0; r < kRealArrays; ++r)
        for (int i = 0; i < kRealLen; ++i)
            y += "        A" + std::to_string(a++) + ",v,R" + std::to_string(r) + "[" +
                 std::to_string(i) + "]\n";
    for (int b = 0; b < kBoolArrays; ++b)
        for (int i = 0; i < kBoolLen; ++i)
            y += "        D" + std::to_string(d++) + ",c,B" + std::to_string(b) + "[" +
                 std::to_string(i) + "]\n";
    return y;
}

double thread_cpu_ms(clockid_t id) {
    timespec ts;
    clock_gettime(id, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Arguments: conn_size (0 = classic), simulator reply delay in ms.
void BM_DriverPass(benchmark::State &state) {
    sim_process sim;
    if (!sim.start(static_cast<int>(state.range(1)))) {
        state.SkipWithError("zqplcsim did not start");
        return;
    }
    log_init((sim.dir + "/logs").c_str(), "bench");
    auto cfg = std::make_unique<logix_config>();
    if (logix_config_load_yaml_text(cfg.get(), driver_yaml(sim.addr).c_str(), "bench.yaml") != 0) {
        state.SkipWithError("configuration refused");
        return;
    }
    auto conn = std::make_unique<logix_conn>();
    snprintf(conn->ip, sizeof conn->ip, "%s", sim.addr.c_str());
    conn->groups[0] = &cfg->groups[0];
    conn->group_count = 1;
    conn->config = cfg.get();
    cfg->groups[0].conn_size = static_cast<int>(state.range(0));
    conn->conn_size = cfg->groups[0].conn_size;
    std::string shm = "/zq_bench_driver_" + std::to_string(getpid());
    if (shm_open_rw(shm.c_str(), cfg->analogs, cfg->discretes, 1, &conn->database) != 0) {
        state.SkipWithError("database");
        return;
    }
    ShmHeader *h = shm_header(&conn->database);
    g_running = 1;
    std::thread t(logix_poll_thread, conn.get());
    clockid_t cpu_id;
    pthread_getcpuclockid(t.native_handle(), &cpu_id);

    auto wait_pass = [&](uint32_t after) {
        while (__atomic_load_n(&h->poll_count, __ATOMIC_ACQUIRE) == after)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        return __atomic_load_n(&h->poll_count, __ATOMIC_ACQUIRE);
    };
    // Warm up: connect, learn types, activate everything.
    uint32_t pc = wait_pass(0);
    for (int i = 0; i < 5; ++i)
        pc = wait_pass(pc);

    std::vector<double> times;
    uint32_t first_pc = pc;
    double cpu0 = thread_cpu_ms(cpu_id);
    auto prev = std::chrono::steady_clock::now();
    for (auto _ : state) {
        pc = wait_pass(pc);
        auto now = std::chrono::steady_clock::now();
        double s = std::chrono::duration<double>(now - prev).count();
        prev = now;
        times.push_back(s * 1e3);
        state.SetIterationTime(s);
    }
    double cpu1 = thread_cpu_ms(cpu_id);
    uint32_t passes = pc - first_pc;
    g_running = 0;
    t.join();
    // Connected requests counted by the sessions' sequence numbers, over the
    // whole run (the connect adds a few dozen to many thousands).
    uint32_t total_requests = conn->session.seq;
    for (const eip_session &x : conn->extra)
        total_requests += x.seq;
    uint32_t total_passes = __atomic_load_n(&h->poll_count, __ATOMIC_ACQUIRE);

    std::sort(times.begin(), times.end());
    auto pct = [&](double p) {
        return times[std::min(times.size() - 1, size_t(p * times.size()))];
    };
    state.counters["median_ms"] = pct(0.5);
    state.counters["p99_ms"] = pct(0.99);
    state.counters["cpu_ms_per_pass"] = passes ? (cpu1 - cpu0) / passes : 0;
    state.counters["requests_per_pass"] =
        total_passes ? static_cast<double>(total_requests) / total_passes : 0;
    // Fewest requests: 28 scalars per packet, 120 REAL per read over the
    // 600 elements polled of each array, one read per BOOL array.
    int min_req = (kScalars + 27) / 28 + kRealArrays * (600 / 120) + kBoolArrays;
    state.counters["min_requests"] = min_req;
    shm_close(&conn->database);
    shm_unlink(shm.c_str());
    logix_config_free(cfg.get());
}

BENCHMARK(BM_DriverPass)
    ->ArgNames({"conn_size", "delay_ms"})
    ->Args({0, 0})
    ->Args({4002, 0})
    ->Args({0, 1})
    ->Args({4002, 1})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(100);

}  // namespace

BENCHMARK_MAIN();
