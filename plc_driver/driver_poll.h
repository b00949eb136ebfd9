#pragma once
// The driver's poll loop: one thread per controller connection reads the
// configured tags into the real-time database, carries out write requests
// from the write slots, keeps the PLC block current and serves the clock
// handshake.

#include <atomic>
#include <cstdint>

#include "cip.h"
#include "common/shm.h"
#include "driver_config.h"
#include "eip.h"

constexpr int LOGIX_MAX_CONNS = 32;
constexpr int LOGIX_MAX_GROUPS_PER_CONN = 16;
constexpr int LOGIX_ATTR_BLOCK = 38;
constexpr int LOGIX_MAX_SEGMENT_ELEMS = 600;
constexpr int LOGIX_MAX_SYMBOLS = 16384;
constexpr int LOGIX_ERROR_PASS_LIMIT = 10;
// Sessions per controller on a large connection: one request in flight on each.
constexpr int LOGIX_LINKS_MAX = 4;

// Figures of one connection for ./run/zqlogix.status, set by its poll thread
// and read by the main thread's status writer.
struct logix_conn_stats {
    std::atomic<int> connected{0};
    std::atomic<uint64_t> passes{0};
    std::atomic<uint64_t> last_requests{0};  // requests of the last pass
    std::atomic<int64_t> last_pass_us{0};
    std::atomic<uint64_t> errors{0};
    std::atomic<uint64_t> reconnects{0};
};

struct logix_conn {
    char ip[64] = {};
    int slot = 0;
    int index = 0;
    logix_group *groups[LOGIX_MAX_GROUPS_PER_CONN] = {};
    int group_count = 0;
    logix_config *config = nullptr;
    ShmHandle database;
    eip_session session;
    // Large connections: the size asked for (largest conn_size of the
    // groups, 0 = classic), and the further sessions opened beside `session`.
    int conn_size = 0;
    eip_session extra[LOGIX_LINKS_MAX - 1];
    int extra_count = 0;
    char shm_name[SHM_NAME_MAX + 1] = {};
    logix_conn_stats stats;
};

// Cleared by SIGINT/SIGTERM; every thread ends within one sleep slice.
extern std::atomic<int> g_running;

void logix_poll_thread(logix_conn *conn);

// Stores one element read from the controller. Returns 0, or 1 when the type
// is not one the driver can decode (the item then gets quality 0).
int logix_apply_single(logix_item *item, const uint8_t *bytes, uint16_t type, ShmHandle *database,
                       int64_t ts_ms);

// Applies bytes to item and to every duplicate of it.
int logix_apply_with_duplicates(logix_group *group, int item, const uint8_t *bytes, uint16_t type,
                                ShmHandle *database, int64_t ts_ms);

// Value 0, quality 0 for the item and its duplicates.
void logix_fanout_bad(logix_group *group, int item, ShmHandle *database, int64_t ts_ms);

// Host wall-clock time in the controller's time base (local time), in µs.
int64_t logix_host_wall_us(const logix_config *config);

// Number of candidates (from pos) that go into the next Multiple Service
// Packet batch, by the request/reply size estimates.
int driver_batch_size(const logix_group *group, const int *candidates, int count, int pos);

// Longest time without fresh data before the connection is dropped.
int64_t driver_watchdog_ms(const logix_conn *conn);

// Controller mode and minor-fault flag from the Identity status word.
void driver_status_mode(uint16_t status, uint8_t *mode, uint8_t *minor_fault);

// Rounded half away from zero and clamped to 0..255 (NaN gives 0).
uint8_t driver_to_discrete(double v);
