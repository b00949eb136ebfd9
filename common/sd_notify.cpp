#include "common/sd_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

sockaddr_un g_addr;
socklen_t g_addr_len = 0;
int g_fd = -1;
uint64_t g_watchdog_us = 0;
int64_t g_last_ping_ms = -1;

bool parse_u64(const char *s, uint64_t *out) {
    if (!s || !*s) return false;
    uint64_t v = 0;
    for (; *s; s++) {
        if (*s < '0' || *s > '9') return false;
        if (v > (UINT64_MAX - 9) / 10) return false;
        v = v * 10 + uint64_t(*s - '0');
    }
    *out = v;
    return true;
}

// "/run/systemd/notify" or "@abstract"; false when it does not fit.
bool set_address(const char *path) {
    size_t n = strlen(path);
    if (n < 2 || n >= sizeof g_addr.sun_path || (path[0] != '/' && path[0] != '@')) return false;
    memset(&g_addr, 0, sizeof g_addr);
    g_addr.sun_family = AF_UNIX;
    memcpy(g_addr.sun_path, path, n);
    if (path[0] == '@') g_addr.sun_path[0] = '\0';
    g_addr_len = socklen_t(offsetof(sockaddr_un, sun_path) + n + (path[0] == '/' ? 1 : 0));
    return true;
}

}  // namespace

bool zq_notify_init() {
    zq_notify_reset();
    const char *sock = getenv("NOTIFY_SOCKET");
    bool ok = sock && set_address(sock);
    uint64_t usec = 0, pid = 0;
    if (ok && parse_u64(getenv("WATCHDOG_USEC"), &usec) && usec > 0) {
        const char *wp = getenv("WATCHDOG_PID");
        if (!wp || (parse_u64(wp, &pid) && pid == uint64_t(getpid()))) g_watchdog_us = usec;
    }
    if (ok) {
        g_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (g_fd < 0) {
            g_addr_len = 0;
            g_watchdog_us = 0;
            ok = false;
        }
    } else {
        g_addr_len = 0;
    }
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    unsetenv("WATCHDOG_PID");
    return ok;
}

int zq_notify(const char *state) {
    if (g_fd < 0 || g_addr_len == 0) return 1;
    size_t n = strlen(state);
    for (;;) {
        ssize_t w =
            sendto(g_fd, state, n, MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&g_addr), g_addr_len);
        if (w == ssize_t(n)) return 0;
        if (w < 0 && errno == EINTR) continue;
        return -1;
    }
}

uint64_t zq_notify_watchdog_usec() {
    return g_watchdog_us;
}

void zq_notify_watchdog_tick(int64_t now_mono_ms) {
    if (g_watchdog_us == 0) return;
    int64_t half_ms = int64_t(g_watchdog_us / 2000);
    if (g_last_ping_ms >= 0 && now_mono_ms - g_last_ping_ms < half_ms) return;
    g_last_ping_ms = now_mono_ms;
    zq_notify("WATCHDOG=1");
}

void zq_notify_reset() {
    if (g_fd >= 0) close(g_fd);
    g_fd = -1;
    g_addr_len = 0;
    g_watchdog_us = 0;
    g_last_ping_ms = -1;
}
