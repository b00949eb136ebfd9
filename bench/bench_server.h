// zqserver for the benchmarks that measure it: a database the bench fills,
// the program started in a project directory on a free loopback port, and
// whole answers on a new connection each. Everything stops and goes with
// the object.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/shm.h"
#include "tests/support/tsup.h"

struct bench_server {
    tsup::ShmName shm{"zqbench"};
    ShmHandle h;
    bool have_db = false;
    int port = 0;
    tsup::Child proc;
    bench_server() = default;
    ~bench_server() {
        tsup::child_stop(&proc);
        if (have_db) shm_close(&h);
    }
    bench_server(const bench_server &) = delete;
    bench_server &operator=(const bench_server &) = delete;
};

// Creates the database: analogs and discretes numbered from 1 up to an and
// di, one controller.
inline bool bench_server_db(bench_server *s, int an, int di) {
    s->have_db = shm_open_rw(s->shm.c_str(), uint32_t(an + 1), uint32_t(di + 1), 1, &s->h) == 0;
    return s->have_db;
}

// Writes dir/config.yaml (the port, wwwdir ./www, then extra_config) and
// starts zqserver in dir against the database; true once it answers.
// ZQ_BENCH_ZQSERVER names another build of the program, to set two builds
// side by side in one run.
inline bool bench_server_start(bench_server *s, const std::string &dir,
                               const std::string &extra_config = "") {
    const char *other = getenv("ZQ_BENCH_ZQSERVER");
    std::string bin = other && *other ? other : ZQ_BIN_DIR "/zqserver";
    s->port = tsup::free_port();
    tsup::write_file(dir + "/config.yaml", "scada:\n  port: " + std::to_string(s->port) +
                                               "\n  wwwdir: ./www\n" + extra_config);
    if (!tsup::child_start(&s->proc, {.argv = {bin, "-c", "./config.yaml"},
                                      .env = {"LOGIX_SHM_NAME=" + s->shm.name},
                                      .dir = dir}))
        return false;
    return tsup::wait_for(
        [&] { return tsup::http_request(s->port, "GET", "/api/time").status == 200; }, 5000);
}

// Sends raw request bytes on a new connection and returns all the server
// sends until it closes.
inline std::string bench_server_get(const bench_server *s, const std::string &request) {
    std::string answer;
    tsup::http_exchange_to_close(s->port, request, &answer);
    return answer;
}

inline std::string bench_server_url(const bench_server *s, const std::string &path) {
    return "http://127.0.0.1:" + std::to_string(s->port) + path;
}
