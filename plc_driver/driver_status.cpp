#include "driver_status.h"

#include <cstdio>

#include "common/atomic_file.h"
#include "common/json.h"

std::string driver_status_text(const logix_conn *conns, int n, int64_t now_ms) {
    std::string out = "{\"ts\":" + std::to_string(now_ms) + ",\"controllers\":[";
    for (int i = 0; i < n; ++i) {
        const logix_conn &c = conns[i];
        const logix_conn_stats &s = c.stats;
        char b[320];
        snprintf(b, sizeof b,
                 "%s{\"plc\":%d,\"ip\":\"%s\",\"slot\":%d,\"connected\":%d,\"passes\":%llu,"
                 "\"requests_last_pass\":%llu,\"pass_ms\":%.3f,\"errors\":%llu,"
                 "\"reconnects\":%llu}",
                 i ? "," : "", c.index, json_escape_str(c.ip).c_str(), c.slot,
                 s.connected.load(std::memory_order_relaxed),
                 (unsigned long long)s.passes.load(std::memory_order_relaxed),
                 (unsigned long long)s.last_requests.load(std::memory_order_relaxed),
                 double(s.last_pass_us.load(std::memory_order_relaxed)) / 1000.0,
                 (unsigned long long)s.errors.load(std::memory_order_relaxed),
                 (unsigned long long)s.reconnects.load(std::memory_order_relaxed));
        out += b;
    }
    out += "]}\n";
    return out;
}

int driver_status_write(const logix_conn *conns, int n, int64_t now_ms) {
    return atomic_file_write(DRIVER_STATUS_PATH, driver_status_text(conns, n, now_ms), 0644) == 0
               ? 0
               : -1;
}
