#include <time.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/log.h"
#include "common/sd_notify.h"
#include "sup.h"

namespace {

// Formats, prints to the stream, and writes the log line without trailing
// newlines, cut to 1023 bytes.
void sup_vlog(FILE *stream, const char *fmt, va_list ap) {
    char buf[1024];
    vsnprintf(buf, sizeof buf, fmt, ap);
    fputs(buf, stream);
    fflush(stream);
    size_t n = strlen(buf);
    while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r'))
        buf[--n] = '\0';
    log_msg("%s", buf);
}

}  // namespace

void sup_log(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    sup_vlog(stdout, fmt, ap);
    va_end(ap);
}

void sup_log_stderr(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    sup_vlog(stderr, fmt, ap);
    va_end(ap);
}

int64_t sup_mono_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sup_sleep_ms(int64_t ms, bool stop_on_shutdown) {
    if (ms <= 0) return;
    int64_t deadline = sup_mono_ms() + ms;
    for (;;) {
        if (stop_on_shutdown && g_shutdown) return;
        // The liveness fields keep moving while the loop waits here.
        sup_keepalive_tick();
        zq_notify_watchdog_tick(sup_mono_ms());
        int64_t left = deadline - sup_mono_ms();
        if (left <= 0) return;
        if (left > SUP_LOOP_MS) left = SUP_LOOP_MS;
        timespec ts{time_t(left / 1000), long(left % 1000) * 1000000L};
        // A signal ends a slice early; the flags are looked at again.
        nanosleep(&ts, nullptr);
    }
}
