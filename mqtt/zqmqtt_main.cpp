// zqmqtt: bridges channel values to and from one MQTT broker, answers value
// requests and publishes the report spool.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "common/json.h"
#include "common/lock_file.h"
#include "common/log.h"
#include "common/parse_util.h"
#include "common/shm.h"
#include "common/signals.h"
#include "common/version.h"
#include "common/yaml.h"
#include "mq_bridge.h"

namespace {

void nap_ms(int ms) {
    struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

void load_channels(mq_bridge *b) {
    b->have_reg = channels_load(&b->reg, "./channels.json") == 0;
    if (!b->have_reg) log_err("channels.json не завантажено — шкали passthrough");
}

void load_maps(mq_bridge *b) {
    mq_maps_load(b->cfg.dir + "/mqtt.json", b->cfg, b->own, &b->maps);
}

void reload(mq_bridge *b, int64_t now) {
    std::string imp = b->cfg.dir + "/mqtt.json.import";
    if (access(imp.c_str(), F_OK) == 0) {
        if (rename(imp.c_str(), (b->cfg.dir + "/mqtt.json").c_str()) == 0)
            log_msg("mqtt: застосовано mqtt.json.import");
        else
            log_err("mqtt: mqtt.json.import не застосовано: %s", strerror(errno));
    }
    load_channels(b);
    load_maps(b);
    if (b->connected) mq_subscribe_all(b, now);
    log_msg("mqtt: перечитано конфіг/шкали (SIGUSR1)");
}

// Attaches the database when needed; false while it is not there.
bool attach_db(mq_bridge *b, bool *waiting_logged) {
    if (b->shm_open && shm_check_magic(&b->shm)) return true;
    if (b->shm_open) {
        shm_handle_close(&b->shm);
        b->shm_open = false;
    }
    if (shm_handle_open(&b->shm, b->cfg.shm_name.c_str(), true) == 0) {
        b->shm_open = true;
        *waiting_logged = false;
        log_msg("SHM відкрито RW: %s (%zu байт)", b->cfg.shm_name.c_str(), b->shm.size);
        return true;
    }
    if (!*waiting_logged) log_msg("чекаю SHM %s", b->cfg.shm_name.c_str());
    *waiting_logged = true;
    return false;
}

}  // namespace

int main(int argc, char **argv) {
    std::string cfg_path = "./config.yaml";
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--version")) {
            printf("zqmqtt %s\n", zq_version_full());
            return 0;
        }
        if ((!strcmp(argv[i], "-c") || !strcmp(argv[i], "--config")) && i + 1 < argc)
            cfg_path = argv[++i];
    }
    mkdir("./logs", 0755);
    log_init("./logs", "zqmqtt");
    log_msg("zqmqtt %s старт, config=%s", zq_version_full(), cfg_path.c_str());
    zq_version_write_run("zqmqtt");

    static mq_bridge b;  // the receive buffer is large
    {
        json_ptr root(yaml_parse_file(cfg_path.c_str()));
        if (!root || mq_config_from_yaml(root.get(), &b.cfg, &b.own) != 0) {
            fprintf(stderr, "не читається %s або нема секції mqtt:\n", cfg_path.c_str());
            log_err("не читається %s або нема секції mqtt:", cfg_path.c_str());
            return 1;
        }
    }
    std::string lock = zq_lock_path("zqmqtt", b.cfg.shm_name.c_str());
    if (zq_lock_acquire("zqmqtt", b.cfg.shm_name.c_str()) != ZQ_LOCK_OK) {
        fprintf(stderr, "zqmqtt: інша копія вже працює (%s)\n", lock.c_str());
        return 1;
    }
    if (!b.cfg.pass.empty() && b.cfg.user.empty()) {
        // MQTT has no password without a user name; brokers close such a
        // connection, so the password is left out instead.
        log_err("mqtt: pass без user — пароль не надсилається");
        b.cfg.pass.clear();
    }
    zq_mkdirs(b.cfg.dir.c_str(), 0755);
    zq_mkdirs((b.cfg.dir + "/spool").c_str(), 0755);
    log_msg("mqtt: брокер %s:%d prefix=«%s» такт=%d мс, власних тегів=%d", b.cfg.host.c_str(),
            b.cfg.port, b.cfg.prefix.c_str(), b.cfg.takt_ms, (int)b.own.size());
    if (b.cfg.host.empty()) log_err("mqtt: broker не задано — підключення не буде");
    load_channels(&b);
    load_maps(&b);
    zq_signals_install_flags(ZQ_SIG_IGNORE_PIPE | ZQ_SIG_QUIT);

    bool waiting_logged = false;
    while (zq_sig_running) {
        int64_t now = mq_mono_ms();
        if (zq_sig_reload) {
            zq_sig_reload = 0;
            reload(&b, now);
        }
        if (!attach_db(&b, &waiting_logged)) {
            mq_status_write(&b, now);
            nap_ms(2000);
            continue;
        }
        if (!b.socket_open) mq_try_connect(&b, now);
        if (!b.socket_open) {
            mq_status_write(&b, mq_mono_ms());
            nap_ms(b.cfg.takt_ms);
            continue;
        }
        mq_poll_input(&b, b.cfg.takt_ms, now);
        now = mq_mono_ms();
        mq_check_timers(&b, now);
        if (b.connected) {
            mq_pub_scan(&b, now);
            mq_spool_scan(&b, now);
        }
        mq_stale_check(&b, now);
        mq_status_write(&b, now);
    }
    mq_disconnect(&b);
    mq_status_write(&b, mq_mono_ms());
    log_msg("zqmqtt: вихід");
    mq_tls_context_free(b.tls_ctx);
    if (b.shm_open) shm_handle_close(&b.shm);
    return 0;
}
