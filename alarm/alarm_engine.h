#pragma once
// The alarm program's logic, free of the real clock and the database: the
// caller passes the time of each step and a value function, so tests can
// cross midnights, step the clock back and restart at will.
//
// Threads: the main loop calls everything here except the push functions,
// which the notifier thread calls; the journal and the active text are
// guarded by `mu`.

#include <stdint.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "alarm_config.h"
#include "alarm_journal.h"

struct alarm_paths {
    std::string dir, json, xml, import, active;
};
void alarm_paths_init(alarm_paths *p, const std::string &dir);

struct alarm_engine {
    alarm_paths paths;
    alarm_config cfg;
    int takt_override_ms = 0;  // config.yaml's alarm.takt_ms when above 0
    int period_ms = ALARM_TAKT_DEFAULT_MS;

    std::mutex mu;
    int day = 0;  // YYYYMMDD of the journal held in memory
    std::vector<alarm_jline> journal;
    size_t n_records = 0;
    long long next_id = 0;
    bool journal_dirty = false;
    uint32_t version_seq = 0;
    std::string active_text;     // the active file as last written
    std::set<int> pending_days;  // older days holding records not yet pushed
    std::string scratch;         // reused for file texts
    bool full_logged = false;
};

// Start: definitions (with the legacy conversion), today's journal, the
// states of alarms that were active when the program last stopped.
void alarm_engine_start(alarm_engine *e, const std::string &dir, int takt_override_ms,
                        int64_t now_ms);
// Reload: applies alarm.json.import, reloads the definitions keeping the
// states of events whose ids remain and clearing those that went away.
// Returns the number of alarms cleared by the reload.
int alarm_engine_reload(alarm_engine *e, int64_t now_ms);
// Loads the definitions as at start or reload (no state transfer).
// 0 when definitions are in force, -1 when none could be loaded.
int alarm_engine_load_defs(alarm_engine *e, alarm_config *out);

// Follows the local calendar: on a new day (either way) the in-memory
// journal is written out and that day's file loaded as at start.
void alarm_engine_check_day(alarm_engine *e, int64_t now_ms);

// Applies acknowledgements (journal id, operator address). Returns the
// number of records changed.
struct alarm_ack_req;
int alarm_engine_ack(alarm_engine *e, const std::vector<alarm_ack_req> &reqs, int64_t now_ms);

// One evaluation of every valid event. Returns the number of raises and
// clears; the active file and the journal are rewritten at most once.
int alarm_engine_turn(alarm_engine *e, int64_t now_ms, alarm_value_fn fn, void *ctx);

// Writes what changed: the journal (when dirty). The active file is written
// by the turn itself.
void alarm_engine_flush(alarm_engine *e);

// The active file's text for the current states, stamped now.
void alarm_engine_active_text(const alarm_engine *e, int64_t now_ms, std::string *out);

// Display form of an event's condition and its channel list.
void alarm_event_expr_text(const alarm_event &ev, char *out, size_t cap);
void alarm_event_params(const alarm_event &ev, char *out, size_t cap);

// --- push to the central server (notifier thread) ---------------------------

// One record carried by a push, as it was when the body was built.
struct alarm_push_item {
    int ymd;
    long long id;
    uint32_t version;
    std::string clear_ts, ack_ts;
};
struct alarm_push_batch {
    std::string body;
    std::vector<alarm_push_item> items;
};
// Builds the body for project `src`; cfg_crc_known is the CRC the server
// last reported ("" for none).
void alarm_engine_push_body(alarm_engine *e, const char *src, const char *cfg_crc_known,
                            alarm_push_batch *out);
// After a successful push: every carried record still as it was gets
// delivered_ts = now. Records changed meanwhile stay undelivered.
void alarm_engine_push_done(alarm_engine *e, const alarm_push_batch &b, int64_t now_ms);
