// zqmqtt under load: 5,000 publication entries whose channels change every
// 50 ms tick, received by mosquitto_sub from a local mosquitto; next to it
// mosquitto_pub -l sending the same number of messages of the same size and
// QoS to the same broker. Figures only: messages per second as the
// subscriber sees them, the bridge's latency from a value change to its
// arrival, and the rate ratio bridge/mosquitto_pub.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/shm.h"
#include "tests/support/files.h"
#include "tests/support/net.h"
#include "tests/support/proc.h"
#include "tests/support/wait.h"

namespace {

constexpr int ENTRIES = 5000;
constexpr int TAKT_MS = 50;
constexpr int WINDOW_MS = 5000;

double wall_s() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct rx_line {
    double t;
    std::string topic, payload;
};

std::vector<rx_line> read_sub(const std::string &path) {
    std::vector<rx_line> v;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        size_t a = line.find(' '), b = a == std::string::npos ? a : line.find(' ', a + 1);
        if (b == std::string::npos) continue;
        v.push_back(
            {atof(line.substr(0, a).c_str()), line.substr(a + 1, b - a - 1), line.substr(b + 1)});
    }
    return v;
}

struct env {
    tsup::TempDir dir{"mqbench"};
    tsup::ShmName shm{"mqbench"};
    ShmHandle h;
    tsup::Child broker, sub;
    int port = 0;
    bool ok = false;

    bool start_sub(const std::string &out) {
        if (!tsup::child_start(
                &sub, {.argv = {"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port),
                                "-t", "b/#", "-t", "p/#", "-t", "zqprobe", "-F", "%U %t %p"},
                       .out_path = out}))
            return false;
        return tsup::wait_for([&] {
            tsup::run({.argv = {"mosquitto_pub", "-p", std::to_string(port), "-t", "zqprobe", "-m",
                                "1"}});
            return tsup::read_file(out).find("zqprobe") != std::string::npos;
        });
    }

    env() {
        port = tsup::free_port();
        std::string conf = "listener " + std::to_string(port) +
                           " 127.0.0.1\nallow_anonymous true\npersistence false\n"
                           "max_queued_messages 1000000\n" +
                           (getuid() == 0 ? "user root\n" : "");
        tsup::write_file(dir / "mosquitto.conf", conf);
        if (!tsup::child_start(&broker,
                               {.argv = {"/usr/sbin/mosquitto", "-c", dir / "mosquitto.conf"}}))
            return;
        if (!tsup::wait_for([&] {
                int fd = tsup::tcp_connect(port);
                if (fd >= 0) close(fd);
                return fd >= 0;
            }))
            return;
        if (shm_open_rw(shm.c_str(), ENTRIES + 1, 1, 0, &h) != 0) return;
        ok = true;
    }
    ~env() {
        tsup::child_stop(&sub);
        tsup::child_stop(&broker);
        shm_close(&h);
    }
};

env &the_env() {
    static env e;
    return e;
}

struct result {
    size_t count = 0;
    double rate = 0, p50_ms = 0, p99_ms = 0;
    size_t payload_bytes = 0;
};
result g_bridge;

void BM_BridgePublish5000(benchmark::State &state) {
    env &e = the_env();
    if (!e.ok) {
        state.SkipWithError("mosquitto or the database is not available");
        return;
    }
    for (auto _ : state) {
        std::string proj = e.dir / "proj";
        mkdir(proj.c_str(), 0755);
        mkdir((proj + "/mqtt").c_str(), 0755);
        tsup::write_file(proj + "/config.yaml",
                         "mqtt:\n  broker: \"127.0.0.1:" + std::to_string(e.port) +
                             "\"\n  takt_ms: " + std::to_string(TAKT_MS) + "\n");
        std::string maps = "{\"pub\":[";
        for (int i = 1; i <= ENTRIES; i++)
            maps += (i > 1 ? "," : "") + std::string("{\"tag\":\"A") + std::to_string(i) +
                    "\",\"topic\":\"b/" + std::to_string(i) + "\",\"min_ms\":0}";
        tsup::write_file(proj + "/mqtt/mqtt.json", maps + "]}");
        std::string out = e.dir / "sub_bridge.txt";
        if (!e.start_sub(out)) {
            state.SkipWithError("mosquitto_sub did not start");
            return;
        }
        // Values carry their change time (ms within the current 1000 s), so
        // the subscriber's arrival time gives the latency.
        std::atomic<bool> run{true};
        std::thread feeder([&] {
            while (run) {
                double v = fmod(wall_s() * 1000.0, 1e6);
                for (int i = 1; i <= ENTRIES; i++)
                    shm_update_analog(&e.h, i, 1, shm_now_ms(), v);
                usleep(TAKT_MS * 1000);
            }
        });
        tsup::Child zq;
        tsup::child_start(
            &zq,
            {.argv = {ZQ_BIN_DIR "/zqmqtt"}, .env = {"LOGIX_SHM_NAME=" + e.shm.name}, .dir = proj});
        tsup::wait_for([&] { return tsup::read_file(out).find(" b/") != std::string::npos; },
                       20000);
        double t0 = wall_s() + 1.0;  // past the first full round
        usleep((WINDOW_MS + 1500) * 1000);
        double t1 = t0 + WINDOW_MS / 1000.0;
        tsup::child_stop(&zq);
        run = false;
        feeder.join();
        usleep(300 * 1000);
        tsup::child_stop(&e.sub);
        std::vector<double> lat;
        size_t bytes = 0;
        for (const rx_line &l : read_sub(out)) {
            if (l.topic.compare(0, 2, "b/") != 0 || l.t < t0 || l.t >= t1) continue;
            g_bridge.count++;
            bytes += l.payload.size();
            double sent = atof(l.payload.c_str() + 5);
            double d = fmod(fmod(l.t * 1000.0, 1e6) - sent + 1e6, 1e6);
            lat.push_back(d);
        }
        std::sort(lat.begin(), lat.end());
        g_bridge.rate = g_bridge.count / (WINDOW_MS / 1000.0);
        if (!lat.empty()) {
            g_bridge.p50_ms = lat[lat.size() / 2];
            g_bridge.p99_ms = lat[lat.size() * 99 / 100];
            g_bridge.payload_bytes = bytes / lat.size();
        }
    }
    state.counters["msgs_per_s"] = g_bridge.rate;
    state.counters["offered_per_s"] = ENTRIES * 1000.0 / TAKT_MS;
    state.counters["latency_p50_ms"] = g_bridge.p50_ms;
    state.counters["latency_p99_ms"] = g_bridge.p99_ms;
    state.counters["payload_bytes"] = (double)g_bridge.payload_bytes;
}

void BM_MosquittoPubLines(benchmark::State &state) {
    env &e = the_env();
    if (!e.ok || g_bridge.count == 0) {
        state.SkipWithError("the bridge run gave no figures");
        return;
    }
    double rate = 0;
    for (auto _ : state) {
        std::string lines = e.dir / "lines.txt";
        {
            std::ofstream f(lines);
            std::string payload(g_bridge.payload_bytes ? g_bridge.payload_bytes : 40, 'x');
            for (size_t i = 0; i < g_bridge.count; i++)
                f << payload << '\n';
        }
        std::string out = e.dir / "sub_pub.txt";
        if (!e.start_sub(out)) {
            state.SkipWithError("mosquitto_sub did not start");
            return;
        }
        double start = wall_s();
        std::string cmd = "mosquitto_pub -h 127.0.0.1 -p " + std::to_string(e.port) +
                          " -q 0 -t p/x -l < " + lines;
        if (system(cmd.c_str()) != 0) state.SkipWithError("mosquitto_pub failed");
        size_t n = 0;
        double last = start;
        tsup::wait_for(
            [&] {
                std::vector<rx_line> v = read_sub(out);
                n = 0;
                for (const rx_line &l : v)
                    if (l.topic == "p/x") {
                        n++;
                        last = l.t;
                    }
                return n >= g_bridge.count;
            },
            30000);
        tsup::child_stop(&e.sub);
        rate = last > start ? n / (last - start) : 0;
    }
    state.counters["msgs_per_s"] = rate;
    if (rate > 0) state.counters["bridge_vs_mosquitto_pub"] = g_bridge.rate / rate;
}

}  // namespace

BENCHMARK(BM_BridgePublish5000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MosquittoPubLines)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
