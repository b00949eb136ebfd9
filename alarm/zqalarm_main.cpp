// zqalarm: evaluates the alarm conditions against the real-time database,
// keeps the active list and the daily journal, carries out acknowledgements
// and pushes to a central alarm server.

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "alarm_ack.h"
#include "alarm_db.h"
#include "alarm_engine.h"
#include "alarm_push.h"
#include "common/json.h"
#include "common/lock_file.h"
#include "common/log.h"
#include "common/shm.h"
#include "common/signals.h"
#include "common/test_clock.h"
#include "common/version.h"
#include "common/yaml.h"

// Wall clock in ms; ZQALARM_CLOCK shifts it for tests that cross midnights.
static zq_test_clock g_clock;

static int64_t now_ms() {
    return zq_test_clock_now_ms(&g_clock);
}

// Sleeps ms of real time; a signal ends it early.
static void nap_ms(int ms) {
    struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

static std::string project_name() {
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return "project";
    const char *slash = strrchr(cwd, '/');
    std::string name = slash ? slash + 1 : cwd;
    if (name.empty()) return "project";
    if (name.size() > 63) name.resize(63);
    return name;
}

int main(int argc, char **argv) {
    if (argc > 1 && strcmp(argv[1], "--version") == 0) {
        printf("zqalarm %s\n", zq_version_full());
        return 0;
    }
    std::string cfg_path = "./config.yaml", shm_opt, dir_opt, chan_path = "./channels.json",
                log_dir = "./logs";
    for (int i = 1; i < argc; i++) {
        std::string *dst = nullptr;
        if (!strcmp(argv[i], "-c"))
            dst = &cfg_path;
        else if (!strcmp(argv[i], "-s"))
            dst = &shm_opt;
        else if (!strcmp(argv[i], "-D"))
            dst = &dir_opt;
        else if (!strcmp(argv[i], "-n"))
            dst = &chan_path;
        else if (!strcmp(argv[i], "-l"))
            dst = &log_dir;
        if (dst && i + 1 < argc)
            *dst = argv[++i];
        else if (!strcmp(argv[i], "-h") || !strcmp(argv[i], "--help")) {
            printf(
                "Usage: %s [-c config.yaml] [-s shm] [-D alarm_dir] [-n channels.json] "
                "[-l log_dir] [--version]\n",
                argv[0]);
            return 0;
        }
    }
    zq_test_clock_from_env(&g_clock, "ZQALARM_CLOCK");

    std::string dir = "./alarm", central_url;
    int takt_override = 0;
    json_ptr yaml(yaml_parse_file(cfg_path.c_str()));
    if (const json_node *sec = json_get(yaml.get(), "alarm")) {
        const char *d = json_gets(sec, "dir", "");
        if (*d) dir = d;
        const json_node *tn = json_get(sec, "takt_ms");
        long long t = !tn ? 0 : tn->type == JSON_STRING ? atoll(tn->string) : json_int_of(tn, 0);
        takt_override = t > 0 && t < INT32_MAX ? (int)t : 0;
        central_url = json_gets(sec, "central_url", "");
    }
    if (!dir_opt.empty()) dir = dir_opt;
    if (dir.size() > 599) dir.resize(599);
    std::string shm_name = shm_opt.empty() ? shm_resolve_name(nullptr) : shm_opt;

    // Single instance per database: a second zqalarm on the same database
    // would raise every alarm twice into the same journal.
    switch (zq_lock_acquire("zqalarm", shm_name.c_str())) {
        case ZQ_LOCK_OK:
            break;
        case ZQ_LOCK_ERR_OPEN:
            fprintf(stderr, "zqalarm: %s: %s\n", zq_lock_path("zqalarm", shm_name.c_str()).c_str(),
                    strerror(errno));
            return 1;
        case ZQ_LOCK_HELD:
            fprintf(stderr, "zqalarm: another instance already runs on %s\n", shm_name.c_str());
            return 1;
    }

    mkdir(dir.c_str(), 0775);
    mkdir(log_dir.c_str(), 0775);
    log_init(log_dir.c_str(), "zqalarm");
    zq_version_write_run("zqalarm");
    log_msg("zqalarm %s", zq_version_full());
    log_msg("zqalarm старт: SHM=%s dir=%s", shm_name.c_str(), dir.c_str());
    std::string project = project_name();

    zq_signals_install_flags(ZQ_SIG_IGNORE_PIPE);

    alarm_db db;
    auto load_channels = [&] {
        db.have_reg = channels_load(&db.reg, chan_path.c_str()) == 0;
        if (!db.have_reg) log_msg("alarm: channels.json не знайдено — значення без масштабу");
    };
    load_channels();

    alarm_engine eng;
    alarm_engine_start(&eng, dir, takt_override, now_ms());

    alarm_notifier notifier;
    bool pushing = false;
    std::string server_crc;  // notifier thread only
    alarm_push_batch batch;  // notifier thread only
    if (!central_url.empty()) {
        if (alarm_url_parse(central_url.c_str(), &notifier.url) != 0) {
            log_err("alarm: central_url має бути http://host[:port] — '%s' проігноровано",
                    central_url.c_str());
        } else {
            notifier.build = [&](std::string *body) {
                alarm_engine_push_body(&eng, project.c_str(), server_crc.c_str(), &batch);
                body->swap(batch.body);
            };
            notifier.result = [&](bool ok, const std::string &reply) {
                if (!ok) return;
                alarm_engine_push_done(&eng, batch, now_ms());
                std::string crc = alarm_reply_cfg_crc(reply);
                if (!crc.empty()) server_crc = crc;
            };
            log_msg("alarm: центральний сервер %s:%s (push)", notifier.url.host, notifier.url.port);
            alarm_notifier_start(&notifier);
            pushing = true;
        }
    }
    auto kick = [&] {
        if (pushing) alarm_notifier_kick(&notifier);
    };

    std::vector<alarm_ack_req> acks;
    while (zq_sig_running) {
        if (zq_sig_reload) {
            zq_sig_reload = 0;
            load_channels();
            alarm_engine_reload(&eng, now_ms());
            kick();
        }
        if (alarm_ack_take(dir, &acks) == 1) {
            if (alarm_engine_ack(&eng, acks, now_ms()) > 0) kick();
            alarm_ack_done(dir);
        }
        if (!db.open || !shm_check_magic(&db.h)) {
            if (!alarm_db_attach(&db, shm_name.c_str())) {
                alarm_engine_check_day(&eng, now_ms());
                nap_ms(1000);
                continue;
            }
            log_msg("alarm: SHM відкрито (%s)", shm_name.c_str());
        }
        if (alarm_engine_turn(&eng, now_ms(), alarm_db_value, &db) > 0) kick();
        // The active list's time stamp tells the server's health check this turn ran.
        utimensat(AT_FDCWD, eng.paths.active.c_str(), nullptr, 0);
        nap_ms(g_clock.speed > 1.0 ? (int)(eng.period_ms / g_clock.speed) + 1 : eng.period_ms);
    }
    log_msg("alarm зупинено");
    if (pushing) alarm_notifier_stop(&notifier);
    alarm_engine_flush(&eng);
    alarm_db_close(&db);
    return 0;
}
