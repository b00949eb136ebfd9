#pragma once
// Everything a running zqserver shares between its connection threads and
// the watch thread: configuration, database handle, channel metadata,
// visiting pages, autosync list, the engineering gate's failure counts.
// Handlers reach it through their call record.

#include <time.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/channels.h"
#include "common/shm.h"
#include "server/eng_gate.h"
#include "server/srv_config.h"

struct srv_db {
    ShmHandle h{};
    std::atomic<bool> ok{false};
    std::mutex open_mu;  // one opener at a time (start-up, watch thread)
};

// Texts of one channel, already JSON-escaped.
struct meta_chan {
    std::string desc;
    std::string name;
    std::string unit;
};

struct srv_meta {
    std::mutex mu;
    std::vector<meta_chan> an, di;  // index = channel number
    channels_registry scale;        // analog scales by channel number
};

struct rt_presence_row {
    char ip[48];
    char page[128];
    time_t first_seen, last_seen;
    bool active;
};

struct srv_presence {
    std::mutex mu;
    rt_presence_row rows[256];
};

constexpr int RT_AUTOSYNC_MAX = 32;

struct rt_autosync_entry {
    char path[48];  // "<ip>\backplane\<slot>"
    bool enabled;
};

struct rt_autosync_plc {
    bool was_connected;
    time_t last_connect_check;
};

struct srv_autosync {
    std::mutex mu;  // guards list
    std::vector<rt_autosync_entry> list;
    // Watch thread only.
    rt_autosync_plc plc[RT_AUTOSYNC_MAX];
    int yday = -1;
};

// A whole trust table; replaced as one piece by a reload, never edited.
struct srv_trust_table {
    int n = 0;
    srv_trust e[SRV_TRUST_MAX];
};

// Settings the engineering API changes while the server runs. The start-up
// values in cfg are not read after these are seeded from them.
struct srv_live {
    std::mutex mu;  // guards trust and central_url
    std::shared_ptr<const srv_trust_table> trust;
    std::string central_url;
    std::atomic<int> autosync_threshold_ms{2000};
};

struct srv_state {
    srv_config cfg;
    srv_live live;
    std::atomic<bool> running{true};
    srv_db db;
    srv_meta meta;
    srv_presence presence;
    srv_autosync autosync;
    std::mutex clock_mu;  // one controller clock request at a time
    gate_state gate;
};

// The database, or null when it is absent or was replaced under us.
const ShmHandle *srv_db_get(srv_state *st);
// Opens the database when it is not open; logs on success when `log_it`.
// Returns true when it is open.
bool srv_db_open(srv_state *st, bool log_it);
void srv_db_close(srv_state *st);

// Seeds the live settings from cfg (at start-up, before threads run).
void srv_live_init(srv_state *st);
// The current trust table: a snapshot that a reload never changes.
std::shared_ptr<const srv_trust_table> srv_live_trust(srv_state *st);
void srv_live_set_trust(srv_state *st, std::shared_ptr<const srv_trust_table> t);
std::string srv_live_central_url(srv_state *st);
void srv_live_set_central_url(srv_state *st, const std::string &url);
