#pragma once
// What the other programs of the stack report about themselves, read from
// the small status files they keep in the project (./run/zqsup.status,
// ./run/zqtrend.status, the alarm program's active list, the MQTT bridge's
// status.json) plus the database. /api/health and /metrics share one
// snapshot that is read at most once a second, so a monitor polling fast
// costs a few stat() calls, not file scans.

#include <stdint.h>

#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

struct srv_state;

constexpr int64_t RT_SNAPSHOT_MS = 1000;
// Older than this, a trend row or an alarm turn means that program is stuck.
constexpr int64_t RT_TREND_STALE_MS = 30000;
constexpr int64_t RT_ALARM_STALE_MS = 60000;

struct rt_program {
    std::string name;
    int pid = 0;
    bool alive = false;  // running and not stopped or a zombie
    long restarts = 0;
};

struct rt_snapshot {
    int64_t wall_ms = 0;  // when it was read
    bool sup_known = false;
    std::vector<rt_program> programs;

    bool trend_known = false;
    uint64_t trend_rows_written = 0, trend_rows_dropped = 0;
    int64_t trend_last_row_ms = 0, trend_status_ms = 0;

    bool alarm_known = false;
    int64_t alarm_turn_ms = 0;  // time stamp of the active list
    long alarms_active = 0;

    bool mqtt_known = false;
    bool mqtt_connected = false;
    long mqtt_sent = 0, mqtt_received = 0, mqtt_reports = 0, mqtt_dropped = 0;
};

// The current snapshot (re-read when older than RT_SNAPSHOT_MS).
std::shared_ptr<const rt_snapshot> rt_snapshot_get(srv_state *st);

// A pid that runs and is neither stopped nor a zombie.
bool rt_pid_running(int pid);

struct srv_reply;
// Counts an answer by its HTTP status for /metrics (none sent: not counted).
void rt_metrics_count_reply(const srv_reply *r);
// Status codes and counts seen so far, in code order.
std::vector<std::pair<int, uint64_t>> rt_metrics_http_counts();
