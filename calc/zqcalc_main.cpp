// zqcalc: the calculation engine. Runs calc.st over the real-time database
// every tick; see calc/calc_engine.h.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "calc/calc_engine.h"
#include "common/lock_file.h"
#include "common/log.h"
#include "common/signals.h"
#include "common/test_clock.h"
#include "common/version.h"

namespace {

// Wall clock; ZQCALC_CLOCK shifts it for tests that cross midnights and
// daylight-saving changes.
zq_test_clock g_clock;

int64_t now_ms() {
    return zq_test_clock_now_ms(&g_clock);
}

int64_t mono_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleep_until(int64_t mono_deadline) {
    int64_t left = mono_deadline - mono_ms();
    if (left <= 0) return;
    struct timespec ts = {static_cast<time_t>(left / 1000),
                          static_cast<long>(left % 1000) * 1000000L};
    nanosleep(&ts, nullptr);  // a signal ends it early
}

}  // namespace

int main(int argc, char **argv) {
    std::string cfg_path = "./config.yaml";
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--version")) {
            printf("zqcalc %s\n", zq_version_full());
            return 0;
        }
        if ((!strcmp(argv[i], "-c") || !strcmp(argv[i], "--config")) && i + 1 < argc) {
            cfg_path = argv[++i];
        } else {
            fprintf(stderr, "usage: zqcalc [-c|--config config.yaml] [--version]\n");
            return 1;
        }
    }
    zq_test_clock_from_env(&g_clock, "ZQCALC_CLOCK");
    log_init("./logs", "zqcalc");
    log_msg("zqcalc %s старт, config=%s", zq_version_full(), cfg_path.c_str());
    zq_version_write_run("zqcalc");

    static calc_engine e;
    if (calc_engine_start(&e, cfg_path.c_str()) != 0) {
        log_err("не читається %s", cfg_path.c_str());
        fprintf(stderr, "zqcalc: не читається %s\n", cfg_path.c_str());
        return 1;
    }
    switch (zq_lock_acquire("zqcalc", e.cfg.shm_name.c_str())) {
        case ZQ_LOCK_OK:
            break;
        case ZQ_LOCK_ERR_OPEN:
            fprintf(stderr, "zqcalc: %s: %s\n",
                    zq_lock_path("zqcalc", e.cfg.shm_name.c_str()).c_str(), strerror(errno));
            return 1;
        case ZQ_LOCK_HELD:
            fprintf(stderr, "zqcalc: інша копія вже працює (%s)\n",
                    zq_lock_path("zqcalc", e.cfg.shm_name.c_str()).c_str());
            return 1;
    }
    zq_signals_install_flags(ZQ_SIG_IGNORE_PIPE | ZQ_SIG_QUIT);

    int64_t deadline = mono_ms();
    while (zq_sig_running) {
        if (zq_sig_reload) {
            zq_sig_reload = 0;
            calc_engine_reload(&e, now_ms());
        }
        if (!calc_engine_attach(&e, now_ms())) {
            sleep_until(mono_ms() + 2000);
            deadline = mono_ms();
            continue;
        }
        calc_engine_tick(&e, now_ms(), mono_ms());
        deadline += e.cfg.takt_ms;
        int64_t m = mono_ms();
        if (deadline <= m)
            deadline = m;  // no catch-up after a stall
        else
            sleep_until(deadline);
    }
    calc_engine_stop(&e, now_ms());
    return 0;
}
