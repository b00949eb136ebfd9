#pragma once
// The calculation engine: runs the calc.st program over the real-time
// database every tick, owns its own tags, forwards writes to other channels
// through the write slots, fires schedules and reports, takes commands and
// keeps its state across restarts. zqcalc drives it; tests and the
// benchmark drive it with their own clock.

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "calc/calc_cfg.h"
#include "common/channels.h"
#include "common/json.h"
#include "common/shm.h"

struct calc_report_state {
    bool inited = false;
    int64_t seq = 0;
    std::string cur_file;  // file of the latest report (daily files change)
};

struct calc_engine {
    calc_cfg cfg;
    std::string cfg_path;
    std::string chan_path = "./channels.json";
    channels_registry reg;
    bool have_reg = false;
    ShmHandle db;
    bool attached = false;
    // Variable store.
    std::vector<double> cells;
    std::vector<uint8_t> cell_bad;
    // Own tags by channel number: index in cfg.tags, -1 for none.
    std::vector<int> own[2];
    // Write requests: last requested value per (discrete, channel).
    std::unordered_map<uint32_t, double> wreq;
    std::unordered_map<uint32_t, int64_t> wlog_ms;  // last "(write-ring)" log line
    int prog_failed = 0;                            // calc.st did not load
    json_ptr carried;                               // state file as last read
    // Tick bookkeeping.
    int64_t tick[CX_TICK_SLOTS] = {};
    int64_t prev_now = 0;  // 0 before the first tick
    int64_t prev_start[3] = {0, 0, 0};
    int64_t last_save_mono = 0;
    bool boundary = false;
    bool clamp_logged = false;
    bool wait_logged = false;
    bool version_logged = false;
    std::map<std::string, calc_report_state> reports;
    uint64_t spool_seq = 0;
    int64_t ticks = 0;
};

// Reads the configuration, the registry, calc.st and the state file. 0, or
// -1 when config.yaml cannot be read.
int calc_engine_start(calc_engine *e, const char *cfg_path);
// SIGUSR1: save, apply calc.st.import, reload registry, program and
// settings, restore the state.
void calc_engine_reload(calc_engine *e, int64_t now_ms);
// Maps the database when it is not mapped (and unmaps a replaced one).
// true while mapped.
bool calc_engine_attach(calc_engine *e, int64_t now_ms);
// One round: setpoints, commands, program, schedules, freshness and the
// state save when due. mono_ms is a monotonic clock.
void calc_engine_tick(calc_engine *e, int64_t now_ms, int64_t mono_ms);
// Captures the own tags and writes calc_state.json and vars.json.
void calc_engine_save(calc_engine *e, int64_t now_ms);
void calc_engine_stop(calc_engine *e, int64_t now_ms);
// Logs and clears the configuration's collected messages.
void calc_engine_flush_msgs(calc_engine *e);

// Host callbacks over an engine (user = the calc_engine).
int calc_engine_read(void *user, int is_discrete, int index, double *out);
void calc_engine_write(void *user, int is_discrete, int index, int bad, double value);

// Commands of <dir>/cmd.req; returns the number of lines run.
int calc_engine_commands(calc_engine *e);
void calc_engine_command(calc_engine *e, const char *line);
// Resets the variable store: good 0, structure defaults, initializers.
void calc_engine_reset_store(calc_engine *e);

// State file (calc_state.c).
std::string calc_state_format(calc_engine *e, int64_t now_ms);
std::string calc_vars_format(const calc_engine *e);
int calc_state_load(calc_engine *e);
// Reports and schedules.
void calc_engine_schedules(calc_engine *e, int64_t now_ms);
void calc_engine_report(calc_engine *e, const calc_sched &s, int64_t now_ms);
// Quantizes a finite value to a CIP type.
double calc_vtype_quantize(double v, int type);
