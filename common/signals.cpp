#include "common/signals.h"

#include <signal.h>

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
