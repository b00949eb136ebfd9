#include "common/signals.h"

#include <signal.h>

volatile sig_atomic_t zq_sig_running = 1;
volatile sig_atomic_t zq_sig_reload = 0;

static void on_stop_flag(int) {
    zq_sig_running = 0;
}

static void on_reload_flag(int) {
    zq_sig_reload = 1;
}

void zq_signals_install_flags(unsigned flags) {
    zq_signals_install(on_stop_flag, on_reload_flag, flags);
}

void zq_signals_install(void (*stop)(int), void (*reload)(int), unsigned flags) {
    struct sigaction sa = {};
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = (flags & ZQ_SIG_RESTART) ? SA_RESTART : 0;
    sa.sa_handler = stop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    if (flags & ZQ_SIG_QUIT) sigaction(SIGQUIT, &sa, nullptr);
    if (reload) {
        sa.sa_handler = reload;
        sigaction(SIGUSR1, &sa, nullptr);
    }
    if (flags & ZQ_SIG_IGNORE_PIPE) {
        sa.sa_handler = SIG_IGN;
        sa.sa_flags = 0;
        sigaction(SIGPIPE, &sa, nullptr);
    }
}
