// zqtrend: records the real-time database into trend history files once a
// second (seconds rows, minute and hour averages).

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/atomic_file.h"
#include "common/lock_file.h"
#include "common/parse_util.h"
#include "common/shm.h"
#include "common/signals.h"
#include "common/test_clock.h"
#include "common/version.h"
#include "trend_mirror.h"
#include "trend_push.h"
#include "trend_rec.h"
#include "trend_shm.h"

// Wall clock in ms; ZQTREND_CLOCK shifts and speeds it up for tests.
static zq_test_clock g_clock;

static int64_t now_ms() {
    return zq_test_clock_now_ms(&g_clock);
}
static void sleep_fake_ms(int ms) {
    double real = ms / g_clock.speed;
    if (real < 1) real = 1;
    usleep((useconds_t)(real * 1000));
}

int main(int argc, char **argv) {
    if (zq_version_arg(argc, argv)) return 0;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const char *cfg_path = "source/zqbridge.ini";
    const char *base_dir = "source";
    for (int i = 1; i < argc; i++) {
        if ((!strcmp(argv[i], "-c") || !strcmp(argv[i], "--config")) && i + 1 < argc)
            cfg_path = argv[++i];
        else if ((!strcmp(argv[i], "-b") || !strcmp(argv[i], "--base")) && i + 1 < argc)
            base_dir = argv[++i];
        else if (!strcmp(argv[i], "-h")) {
            printf("Usage: %s [-c <ini>] [-b <base_dir>] [--version]\n", argv[0]);
            return 0;
        }
    }
    zq_test_clock_from_env(&g_clock, "ZQTREND_CLOCK");

    zq_signals_install_flags(0);

    switch (zq_lock_acquire("zqtrend", getenv("LOGIX_SHM_NAME"))) {
        case ZQ_LOCK_OK:
            break;
        case ZQ_LOCK_ERR_OPEN:
            perror("open lock");
            return 1;
        case ZQ_LOCK_HELD:
            fprintf(stderr, "[trend] Another instance already running. Exiting.\n");
            return 1;
    }
    zq_version_write_run("zqtrend");
    printf("[trend] zqtrend %s\n", zq_version_full());

    trend_config cfg;
    if (trend_config_load(&cfg, cfg_path, base_dir) != 0) return 1;
    if (cfg.mainpath.empty()) {
        printf(
            "[trend] mainpath порожній — запис вимкнено; чекаю налаштування шляху (config.yaml "
            "→ Зберегти і застосувати)\n");
        while (zq_sig_running)
            sleep(1);
        return 0;
    }
    trend_base base;
    if (trend_base_read(&base, cfg.a_base_path.c_str(), cfg.d_base_path.c_str(), cfg.analogs,
                        cfg.discrets) != 0)
        return 1;
    trend_cmap cm;
    trend_build_cmap(&base, &cm);
    printf("[trend] analogs=%d discretes=%d (v1 mapped cols: A%d D%d)\n", base.an_max, base.di_max,
           cm.n_an, cm.n_di);
    printf("[trend] mainpath=%s (format v%d)\n", cfg.mainpath.c_str(), cfg.main_fmt);
    if (!cfg.altpath.empty())
        printf("[trend] altpath=%s (format v%d)\n", cfg.altpath.c_str(), cfg.alt_fmt);
    if (!cfg.altpath2.empty())
        printf("[trend] altpath2=%s (format v%d)\n", cfg.altpath2.c_str(), cfg.alt2_fmt);
    printf("[trend] retention: sec=%d min=%d hour=%d days\n", cfg.autodel_sec, cfg.autodel_min,
           cfg.autodel_hour);
    trend_mirror_opts mo;
    mo.main_dir = cfg.mainpath;
    mo.alt[0] = cfg.altpath;
    mo.alt[1] = cfg.altpath2;
    mo.now_ms = now_ms;
    trend_mirror_opts_env(&mo);
    trend_mirror *mirror = trend_mirror_start(mo);

    if (cfg.shm_names.empty()) {
        fprintf(stderr, "[trend] No [Logix5000_N] groups found in INI\n");
        return 1;
    }
    trend_segments segs;
    trend_segments_init(&segs, cfg.shm_names);
    printf("[trend] groups=%d:", (int)segs.segs.size());
    for (const trend_segment &g : segs.segs)
        printf(" %s", g.name.c_str());
    printf("\n[trend] Waiting for zqlogix SHM segments...\n");
    while (zq_sig_running && !trend_try_open_groups(&segs))
        sleep_fake_ms((int)(1000 * g_clock.speed));
    if (!zq_sig_running) {
        trend_mirror_stop(mirror, 3000);
        return 0;
    }
    printf("[trend] SHM ready. Starting trend archive.\n");

    trend_recorder rec;
    if (trend_rec_init(&rec, cfg, std::move(base)) != 0) return 1;
    rec.mirror = mirror;
    rec.wait_vtypes = [&](trend_samples *s) {
        for (int i = 0; i < 30 && zq_sig_running; i++) {
            usleep(500000);
            trend_try_open_groups(&segs);
            trend_samples fresh;
            trend_snapshot(&segs, &fresh, cfg);
            for (uint32_t k = 0; k < s->an_count && k < fresh.an_count; k++)
                s->an_vt[k] = fresh.an_vt[k];
            for (uint32_t k = 0; k < s->di_count && k < fresh.di_count; k++)
                s->di_vt[k] = fresh.di_vt[k];
            for (uint32_t k = 1; k < s->an_count; k++)
                if (s->an_vt[k]) return;
        }
    };
    // The push workers start here (main directory, format, destinations).
    if (!cfg.push.empty()) {
        push_start_args pa;
        pa.maindir = cfg.mainpath;
        pa.main_fmt = cfg.main_fmt;
        pa.dests = cfg.push;
        char cwd[4096];
        const char *slash = getcwd(cwd, sizeof cwd) ? strrchr(cwd, '/') : nullptr;
        pa.src = slash && slash[1] ? slash + 1 : "zqtrend";
        pa.tokens_path = zq_dir_of(cfg_path) + "/push_tokens.json";
        pa.now_ms = now_ms;
        push_worker_start(pa);
    }

    trend_samples smp;
    int64_t next_tick = 0;
    int64_t last_row_ms = 0, status_ms = 0;
    uint64_t rows_seen = 0;
    while (zq_sig_running) {
        int sleep_ms;
        time_t tick;
        bool jumped;
        if (!trend_sched_step(&next_tick, now_ms(), &sleep_ms, &tick, &jumped)) {
            sleep_fake_ms(sleep_ms);
            continue;
        }
        if (jumped) fprintf(stderr, "[trend] стрибок годинника — переустановка такту трендів\n");
        if (zq_sig_reload) {
            zq_sig_reload = 0;
            rec.reload_req = true;
        }
        if (!trend_try_open_groups(&segs)) continue;
        trend_snapshot(&segs, &smp, cfg);
        trend_rec_tick(&rec, tick, &smp);
        // Counters for the server's health and metrics, every few seconds.
        int64_t now = now_ms();
        if (rec.rows_written != rows_seen) last_row_ms = now;
        rows_seen = rec.rows_written;
        if (now - status_ms >= 5000 || now < status_ms) {
            status_ms = now;
            atomic_file_write("./run/zqtrend.status", trend_rec_status_text(&rec, last_row_ms, now),
                              0644);
        }
    }
    printf("[trend] Shutting down\n");
    // The alternates are levelled with the main files, unless a share hangs.
    trend_mirror_stop(mirror, 3000);
    push_worker_stop();
    return 0;
}
