// zqsup start-up, main loop, signals, console and shutdown.

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/parse_util.h"
#include "common/sd_notify.h"
#include "common/version.h"
#include "sup.h"
#include "sup_mount.h"

std::string g_stack_dir;
std::string g_base_dir;
std::string g_project_name;
std::string g_ini_path;
std::string g_shm_name_su;
std::string g_pidfile;
bool g_driver_gated = true;
ShmHandle g_shm;

volatile sig_atomic_t g_shutdown = 0;
volatile sig_atomic_t g_sigchld = 0;
volatile sig_atomic_t g_sigusr1 = 0;
volatile sig_atomic_t g_sigusr2 = 0;

namespace {

int g_stdin_flags = -1;

void on_signal(int sig) {
    switch (sig) {
        case SIGTERM:
        case SIGQUIT:
            g_shutdown = 1;
            break;
        case SIGCHLD:
            g_sigchld = 1;
            break;
        case SIGUSR1:
            g_sigusr1 = 1;
            break;
        case SIGUSR2:
            g_sigusr2 = 1;
            break;
        default:
            break;
    }
}

// No SA_RESTART: a signal must cut the loop's sleep short.
void install_signals() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGTERM, SIGQUIT, SIGUSR1, SIGUSR2})
        sigaction(sig, &sa, nullptr);
    sa.sa_flags = SA_NOCLDSTOP;
    sigaction(SIGCHLD, &sa, nullptr);
    sa.sa_flags = 0;
    sa.sa_handler = SIG_IGN;
    // SIGTTIN: a supervisor started in the background of a shell must not be
    // stopped by its console read.
    for (int sig : {SIGINT, SIGPIPE, SIGTTIN})
        sigaction(sig, &sa, nullptr);
}

void apply_base_imports() {
    std::string dir = zq_dir_of(g_ini_path.c_str());
    for (const char *base : {"zqbridge.a.base", "zqbridge.d.base"}) {
        std::string target = dir + "/" + base;
        int rc = sup_apply_import(target + ".import", target);
        if (rc > 0) sup_log("[zqsup] Applied %s\n", base);
        if (rc < 0) sup_log("[zqsup] rename base file: %s\n", strerror(errno));
    }
    std::string ch = dir + "/channels.json";
    int rc = sup_apply_import(ch + ".import", ch);
    if (rc > 0) sup_log("[zqsup] Applied channels.json from .import\n");
    if (rc < 0) sup_log("[zqsup] rename channels import: %s\n", strerror(errno));
}

// One console byte per pass: q/Q or the Cyrillic short i (same key on a
// Ukrainian layout) quits, s/S prints the status.
void console_tick() {
    unsigned char c;
    if (read(STDIN_FILENO, &c, 1) != 1) return;
    if (c == 'q' || c == 'Q') {
        sup_log("[zqsup] quit requested\n");
        g_shutdown = 1;
    } else if (c == 's' || c == 'S') {
        sup_print_status();
    } else if (c == 0xD0) {
        unsigned char c2;
        if (read(STDIN_FILENO, &c2, 1) == 1 && (c2 == 0x99 || c2 == 0xB9)) {
            sup_log("[zqsup] quit requested\n");
            g_shutdown = 1;
        }
    }
}

void loop_sleep() {
    timespec ts{0, SUP_LOOP_MS * 1000000L};
    nanosleep(&ts, nullptr);  // a signal ends it early; the flags are looked at next pass
}

void restore_stdin() {
    if (g_stdin_flags >= 0) fcntl(STDIN_FILENO, F_SETFL, g_stdin_flags);
}

int shutdown_all() {
    zq_notify("STOPPING=1");
    sup_hook_backup_stop();
    sup_log("[zqsup] shutdown: scada → trend → driver\n");
    sup_mount_stop();
    for (int i = g_n_ch - 1; i >= 0; i--)
        sup_stop_one(&g_ch[i]);
    sup_shm_remove();
    sup_log("[zqsup] SHM removed: %s\n", g_shm_name_su.c_str());
    unlink(g_pidfile.c_str());
    sup_log("[zqsup] exited.\n");
    restore_stdin();
    log_close();
    return 0;
}

}  // namespace

int sup_apply_import(const std::string &import_path, const std::string &target) {
    struct stat st;
    if (lstat(import_path.c_str(), &st) != 0) return 0;
    if (rename(import_path.c_str(), target.c_str()) != 0) return -1;
    return 1;
}

void sup_handle_usr1() {
    sup_log("[zqsup] SIGUSR1: applying base imports\n");
    apply_base_imports();
    for (const char *name : {"trend", "scada", "zqalarm", "zqcalc", "zqmqtt"}) {
        int i = sup_child_find(name);
        if (i >= 0 && g_ch[i].pid > 0) kill(g_ch[i].pid, SIGUSR1);
    }
    sup_hook_load_backup_settings();
}

void sup_handle_usr2() {
    sup_log("[zqsup] SIGUSR2: config reload — restarting ALL children\n");
    int rc = sup_apply_import(g_ini_path + ".import", g_ini_path);
    if (rc > 0) sup_log("[zqsup] Applied zqbridge.ini from .import\n");
    if (rc < 0) sup_log("[zqsup] rename ini import: %s\n", strerror(errno));
    apply_base_imports();
    sup_hook_legacy_tables();
    int rc_shm = shm_create_run();
    sup_hook_load_backup_settings();
    sup_hook_load_mounts();
    // An unreadable file says nothing about which sections exist: stopping
    // the calc engine or the bridge because of it would be wrong.
    if (rc_shm == -1) {
        sup_log("[zqsup] WARN: config.yaml не читається — склад процесів не змінено\n");
    } else {
        sup_reconcile_children();
    }
    sup_write_pidfile();
    for (int i = 0; i < g_n_ch; i++) {
        if (g_ch[i].pid <= 0) continue;
        sup_log("[zqsup] SIGTERM → %s pid=%d\n", g_ch[i].name, int(g_ch[i].pid));
        kill(g_ch[i].pid, SIGTERM);
    }
}

int sup_main(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--version") == 0) {
            printf("zqsup %s\n", zq_version_full());
            return 0;
        }
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    const char *ini_arg = nullptr;
    const char *dir_arg = nullptr;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-c") == 0) {
            if (i + 1 < argc) ini_arg = argv[++i];
        } else if (argv[i][0] != '-' && !dir_arg) {
            dir_arg = argv[i];
        }
    }

    char buf[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) {
        perror("readlink /proc/self/exe");
        return 1;
    }
    buf[n] = '\0';
    g_stack_dir = zq_dir_of(buf);

    if (dir_arg) {
        if (!realpath(dir_arg, buf)) {
            fprintf(stderr, "[zqsup] project dir not found: %s\n", dir_arg);
            return 1;
        }
        g_base_dir = buf;
    } else {
        g_base_dir = g_stack_dir;
    }

    g_ini_path = ini_arg ? ini_arg : g_base_dir + "/zqbridge.ini";
    size_t slash = g_base_dir.rfind('/');
    g_project_name = slash == std::string::npos ? g_base_dir : g_base_dir.substr(slash + 1);
    if (g_project_name.size() > SHM_PROJECT_MAX) g_project_name.resize(SHM_PROJECT_MAX);

    g_shm_name_su =
        shm_supervisor_name(shm_prefix_from_yaml(g_base_dir).c_str(), g_project_name.c_str());
    g_pidfile = "/tmp/zqsup_" + g_project_name + ".pid";
    // Before any child exists: the service manager's variables are ours only.
    zq_notify_init();
    setenv("LOGIX_SHM_NAME", g_shm_name_su.c_str(), 1);
    setenv("ZQSTACK_DIR", g_stack_dir.c_str(), 1);

    if (chdir(g_base_dir.c_str()) != 0) {
        perror("chdir");
        return 1;
    }
    for (const char *d :
         {"./logs", "./Trends", "./www", "./alarm", "./copy_base", "./run", "./calc"}) {
        if (mkdir(d, 0775) != 0 && errno != EEXIST) {
            fprintf(stderr, "zqsup: mkdir %s: %s\n", d, strerror(errno));
        }
    }

    log_init("./logs", "zqsup");
    zq_version_write_run("zqsup");
    // Before anything can fork: a child that dies at once must be reaped, and
    // an early SIGTERM must not kill the supervisor and orphan its children.
    install_signals();
    sup_log("[zqsup] version   = %s\n", zq_version_full());
    sup_log("[zqsup] stack_dir = %s\n", g_stack_dir.c_str());
    sup_log("[zqsup] base_dir  = %s\n", g_base_dir.c_str());
    sup_log("[zqsup] ini       = %s\n", g_ini_path.c_str());
    sup_log("[zqsup] shm_name  = %s\n", g_shm_name_su.c_str());
    sup_log("[zqsup] pidfile   = %s\n", g_pidfile.c_str());

    if (sup_cleanup_stale() != 0) {
        log_close();
        return 1;
    }

    sup_hook_legacy_tables();
    // Without config.yaml the stack still starts: the children fail and are
    // retried every few seconds, and SIGUSR2 picks up a file put in later.
    if (!sup_hook_generate_config())
        sup_log_stderr("[zqsup] WARN: немає %s/config.yaml — програми чекатимуть на нього\n",
                       g_base_dir.c_str());
    sup_hook_augment_config();

    shm_create_run();
    sup_hook_load_mounts();
    sup_hook_load_backup_settings();

    if (!g_shutdown) {
        sup_fill_children();
        for (int i = 0; i < g_n_ch && !g_shutdown; i++)
            sup_start_one(&g_ch[i]);
    }
    sup_write_pidfile();
    sup_log("[zqsup] running. SIGTERM/SIGQUIT or type 'q' to quit, 's' for status.\n");
    zq_notify("READY=1");

    g_stdin_flags = fcntl(STDIN_FILENO, F_GETFL);
    if (g_stdin_flags >= 0) fcntl(STDIN_FILENO, F_SETFL, g_stdin_flags | O_NONBLOCK);

    while (!g_shutdown) {
        zq_notify_watchdog_tick(sup_mono_ms());
        sup_keepalive_tick();
        sup_hook_backup_tick();
        sup_hook_mount_tick();
        if (g_sigusr1) {
            g_sigusr1 = 0;
            sup_handle_usr1();
        }
        if (g_sigusr2) {
            g_sigusr2 = 0;
            sup_handle_usr2();
        }
        if (g_sigchld) {
            g_sigchld = 0;
            sup_reap_children();
            sup_write_pidfile();
        }
        if (sup_retry_unstarted() > 0) sup_write_pidfile();
        console_tick();
        if (g_shutdown) break;
        loop_sleep();
    }
    return shutdown_all();
}
