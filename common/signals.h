#pragma once

#include <signal.h>
// The signal set-up of the stack's long-running programs: stop on SIGINT and
// SIGTERM, reload on SIGUSR1, and no death by SIGPIPE on a closed socket.

enum : unsigned {
    ZQ_SIG_RESTART = 1u,      // SA_RESTART: interrupted system calls resume
    ZQ_SIG_IGNORE_PIPE = 2u,  // SIGPIPE ignored (writes fail with EPIPE instead)
    ZQ_SIG_QUIT = 4u,         // SIGQUIT stops too
};

// Installs stop for SIGINT and SIGTERM (and SIGQUIT with ZQ_SIG_QUIT) and,
// when not null, reload for SIGUSR1, with an empty mask. Without
// ZQ_SIG_RESTART a signal cuts sleeps and blocking calls short (EINTR), which
// is what a main loop waiting on its stop flag wants.
void zq_signals_install(void (*stop)(int), void (*reload)(int), unsigned flags);

// The usual pair of flags of a program's main loop: zq_signals_install_flags
// installs handlers that clear zq_sig_running on a stop signal and set
// zq_sig_reload on SIGUSR1 (the loop clears it when it has reloaded).
extern volatile sig_atomic_t zq_sig_running;
extern volatile sig_atomic_t zq_sig_reload;
void zq_signals_install_flags(unsigned flags);
