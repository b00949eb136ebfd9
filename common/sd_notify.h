#pragma once
// The service manager's readiness and watchdog protocol (datagrams to the
// socket named by NOTIFY_SOCKET), written by hand so the stack needs no
// libsystemd. Without NOTIFY_SOCKET every call does nothing.

#include <cstdint>

// Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID once and removes them
// from the environment, so children started later do not talk to the
// service manager in this process's name. Returns true when a socket is set.
bool zq_notify_init();

// Sends one state text ("READY=1", "STOPPING=1", "STATUS=..."). Returns 0
// when sent, 1 when there is no socket, -1 on a send error.
int zq_notify(const char *state);

// Watchdog interval in microseconds asked for by the service manager, 0 when
// none (or when WATCHDOG_PID names another process).
uint64_t zq_notify_watchdog_usec();

// Sends "WATCHDOG=1" when half the interval has passed since the last ping
// (monotonic milliseconds). Cheap enough for every loop pass.
void zq_notify_watchdog_tick(int64_t now_mono_ms);

// Forgets the socket (tests).
void zq_notify_reset();
