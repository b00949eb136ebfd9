// zqlogix: polls Logix controller tags into the real-time database.

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "common/log.h"
#include "common/parse_util.h"
#include "common/shm.h"
#include "common/signals.h"
#include "common/version.h"
#include "driver_config.h"
#include "driver_poll.h"
#include "driver_status.h"

namespace {

logix_config g_config;
logix_conn g_conns[LOGIX_MAX_CONNS];

void on_stop_signal(int) {
    g_running.store(0);
}

// A data reload means nothing to the driver (configuration changes restart
// it), but a stray SIGUSR1 must not end it either.
void on_reload_signal(int) {}

void *thread_main(void *arg) {
    logix_poll_thread(static_cast<logix_conn *>(arg));
    return nullptr;
}

}  // namespace

int main(int argc, char **argv) {
    const char *ini = "zqbridge.ini";
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--version") == 0) {
            printf("zqlogix %s\n", zq_version_full());
            return 0;
        }
    }
    for (int i = 1; i < argc; ++i) {
        if ((strcmp(argv[i], "-c") == 0 || strcmp(argv[i], "--config") == 0) && i + 1 < argc) {
            ini = argv[++i];
        } else if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
            printf("Usage: %s [-c <ini_file>] [--version]\n", argv[0]);
            return 0;
        }
    }

    if (logix_config_load(&g_config, ini) != 0) {
        fprintf(stderr, "Помилка завантаження конфігурації: %s\n", ini);
        logix_config_free(&g_config);
        return 1;
    }

    const char *log_dir = logix_config_log_dir(&g_config);
    zq_mkdirs(log_dir, 0775);  // a fresh project logs at once
    log_init(log_dir, g_config.log_name);
    log_set_flags(g_config.log_init, g_config.log_error, g_config.log_write);
    std::string shm_name = shm_resolve_name(g_config.shm_name);
    zq_version_write_run("zqlogix");
    log_msg("zqlogix %s", zq_version_full());

    log_msg("Запуск драйвера. SHM=%s груп=%d", shm_name.c_str(), g_config.group_count);
    for (int gi = 0; gi < g_config.group_count; ++gi) {
        const logix_group &g = g_config.groups[gi];
        int singles = 0;
        for (int i = 0; i < g.item_count; ++i)
            if (!g.items[i].is_array_elem) ++singles;
        log_msg("  [%s] IP=%s слот=%d такт=%d мс  тегів=%d (масивів=%d, окремих=%d)", g.name, g.ip,
                g.slot, g.takt_ms, g.item_count, g.array_segment_count, singles);
    }

    zq_signals_install(on_stop_signal, on_reload_signal, ZQ_SIG_RESTART | ZQ_SIG_IGNORE_PIPE);

    if (g_config.group_count == 0) {
        log_msg("Завершення роботи драйвера");
        logix_config_free(&g_config);
        log_close();
        return 0;
    }

    int nconn = 0;
    for (int gi = 0; gi < g_config.group_count; ++gi) {
        logix_group *g = &g_config.groups[gi];
        logix_conn *conn = nullptr;
        for (int k = 0; k < nconn; ++k) {
            if (strcmp(g_conns[k].ip, g->ip) == 0 && g_conns[k].slot == g->slot) {
                conn = &g_conns[k];
                break;
            }
        }
        if (!conn) {
            if (nconn >= LOGIX_MAX_CONNS) continue;  // cannot happen: at most 32 groups
            conn = &g_conns[nconn];
            snprintf(conn->ip, sizeof conn->ip, "%s", g->ip);
            conn->slot = g->slot;
            conn->index = nconn;
            conn->config = &g_config;
            ++nconn;
        }
        if (conn->group_count >= LOGIX_MAX_GROUPS_PER_CONN) {
            fprintf(stderr, "Too many groups on one connection — skipping [%s]\n", g->name);
            continue;
        }
        conn->groups[conn->group_count++] = g;
        // Groups on one controller share its connection: the largest size asked wins.
        if (g->conn_size > conn->conn_size) conn->conn_size = g->conn_size;
    }

    int prev_outcome = -1;  // 0 attached, 1 created
    for (int k = 0; k < nconn; ++k) {
        logix_conn &conn = g_conns[k];
        snprintf(conn.shm_name, sizeof conn.shm_name, "%s", shm_name.c_str());
        uint32_t an = static_cast<uint32_t>(g_config.analogs > 0 ? g_config.analogs : 0);
        uint32_t di = static_cast<uint32_t>(g_config.discretes > 0 ? g_config.discretes : 0);
        int outcome = 0;
        if (shm_attach_rw(shm_name.c_str(), an, di, static_cast<uint32_t>(nconn), &conn.database) !=
            0) {
            outcome = 1;
            if (shm_open_rw(shm_name.c_str(), an, di, static_cast<uint32_t>(nconn),
                            &conn.database) != 0) {
                fprintf(stderr, "Не вдалося відкрити SHM %s\n", shm_name.c_str());
                for (int j = 0; j < k; ++j)
                    shm_close(&g_conns[j].database);
                logix_config_free(&g_config);
                log_close();
                return 1;
            }
        }
        if (outcome != prev_outcome) {
            if (outcome)
                log_msg("SHM %s нема або застаре — створюю сам (standalone)", shm_name.c_str());
            else
                log_msg("SHM %s: приєднано до існуючого (створив zqsup)", shm_name.c_str());
        }
        prev_outcome = outcome;
    }

    pthread_t threads[LOGIX_MAX_CONNS];
    int started = 0;
    for (int k = 0; k < nconn; ++k) {
        int rc = pthread_create(&threads[k], nullptr, thread_main, &g_conns[k]);
        if (rc != 0) {
            fprintf(stderr, "pthread_create: %s\n", strerror(rc));
            g_running.store(0);
            break;
        }
        ++started;
    }
    // Figures for the server's /metrics, once a second, off the poll threads.
    bool status_failed = false;
    while (started > 0 && g_running.load()) {
        // Logged once per run of failures, not every second.
        bool failed = driver_status_write(g_conns, nconn, shm_now_ms()) != 0;
        if (failed && !status_failed) log_err("Не вдалося записати %s", DRIVER_STATUS_PATH);
        status_failed = failed;
        for (int t = 0; t < 10 && g_running.load(); ++t)
            usleep(100 * 1000);
    }
    for (int k = 0; k < started; ++k)
        pthread_join(threads[k], nullptr);

    log_msg("Завершення роботи драйвера");
    for (int k = 0; k < nconn; ++k)
        shm_close(&g_conns[k].database);
    logix_config_free(&g_config);
    log_close();
    return 0;
}
