#pragma once
// zqplcsim: a Logix-family controller simulator speaking EtherNet/IP and CIP
// on TCP. Tags live in one table guarded by one mutex; every client
// connection runs on its own thread.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

enum sim_signal_kind { SIM_SIG_NONE, SIM_SIG_RAMP, SIM_SIG_SINE, SIM_SIG_SQUARE, SIM_SIG_WALK };

struct sim_tag {
    std::string name;
    uint16_t type = 0;   // elementary type code (BOOL for BOOL arrays too)
    uint32_t count = 1;  // elements; bits for a BOOL array
    bool array = false;  // declared with more than one element
    uint32_t instance = 0;
    std::vector<uint8_t> data;  // element bytes; a BOOL array holds 32-bit words
    sim_signal_kind signal = SIM_SIG_NONE;
    double period_s = 60;
    double min = 0;
    double max = 100;
};

// Size of the tag's element as served: a BOOL array is served as DWORD words.
uint16_t sim_tag_wire_type(const sim_tag &t);
uint32_t sim_tag_wire_count(const sim_tag &t);  // elements as served (words for BOOL arrays)
int sim_tag_elem_size(const sim_tag &t);
// Symbol-list type word.
uint16_t sim_tag_symbol_type(const sim_tag &t);

// Parses "NAME:TYPE[N]" with an optional ":SIGNAL" or ":SIGNAL/PERIOD/MIN/MAX"
// suffix and an optional "=VALUE" initial value. 0 or -1 with err filled.
int sim_tag_parse(const char *spec, sim_tag *out, std::string *err);
// Reads a YAML or JSON tag file: a "tags" list of {name, type, count, value,
// signal, period_s, min, max}. Appends to tags; 0 or -1 with err filled.
int sim_tags_load(const char *path, std::vector<sim_tag> *tags, std::string *err);
// Sets element i of a tag from a number (clamped to the type). 0 or -1.
int sim_tag_set(sim_tag *t, uint32_t index, double value);
double sim_tag_get(const sim_tag &t, uint32_t index);
// Advances every tag's signal to time t (seconds since start).
void sim_signals_step(std::vector<sim_tag> *tags, double t, double dt);

// Assigns symbol instances and builds the name index (names are
// case-insensitive, as on the controller). -1 with err on a duplicate name.
struct sim_state;
int sim_index_tags(sim_state *st, std::string *err);
sim_tag *sim_find_tag(sim_state *st, const std::string &name);

// Run-time faults, changeable from the control file.
struct sim_faults {
    std::atomic<int> drop_after{-1};  // requests per connection, -1 = off
    std::atomic<int> delay_ms{0};
    std::atomic<int> refuse_forward_open{0};
    std::atomic<int> refuse_large_forward_open{0};  // as controllers before firmware 20
    std::atomic<int> zero_conn_ids{0};
    std::atomic<int> refuse_reads{0};         // CIP status for every tag read, 0 = off
    std::atomic<int> refuse_multi{0};         // CIP status for every packed request, 0 = off
    std::atomic<int> refuse_symbol_types{0};  // refuse symbol lists that ask for types
    std::atomic<int> clock_skew_ms{0};        // a clock set lands this far off
    std::atomic<int> clock_sets_left{-1};     // clock sets accepted before refusals, -1 = all
    std::atomic<int> trace_reads{0};          // log every tag read (not a fault: kept by clear)
    std::atomic<uint32_t> generation{0};      // bumped on every change
};

struct sim_config {
    std::string addr = "127.0.0.1";
    int port = 44818;
    uint32_t slot = 0;
    int page_size = 100;  // symbol-list entries per reply
    std::string name = "ZQSIM";
    std::string product = "ZQ Logix Simulator";
    uint16_t product_code = 0x00A6;
    uint8_t rev_major = 33;
    uint8_t rev_minor = 11;
    uint32_t serial = 0x00C0FFEE;
    uint16_t status = 0x0060;  // run mode
    std::string control_path;
    std::string tag_file;
};

struct sim_state {
    sim_config cfg;
    std::mutex lock;  // guards tags, attrs, clock offset
    std::vector<sim_tag> tags;
    std::unordered_map<std::string, size_t> index;  // lower-case name -> tags[]
    uint32_t attr_change = 1;                       // bumped by a program download
    int64_t clock_offset_us = 0;                    // controller clock minus host clock
    sim_faults faults;
    std::atomic<uint32_t> next_conn_id{0};
    std::atomic<int> connections{0};
    std::atomic<int64_t> listen_closed_until_ms{0};  // monotonic ms; 0 = open
    std::atomic<uint32_t> drop_all_gen{0};           // bumped to drop every client
};

// Per-client state of the CIP layer: the open class-3 connections.
struct sim_conn {
    uint32_t ot_id;
    uint32_t to_id;
    uint16_t serial;
    uint16_t vendor;
    uint32_t orig_serial;
    uint32_t size;     // T->O connection size in bytes (reply limit)
    uint32_t ot_size;  // O->T connection size in bytes (request limit)
    int32_t last_seq;
    std::vector<uint8_t> last_reply;
};

struct sim_client {
    std::string peer;
    std::vector<sim_conn> conns;
};

// Reply limits of a controller: an unconnected reply carries at most this
// many CIP bytes; a connected reply at most the connection size minus the
// sequence count.
constexpr size_t SIM_UCMM_REPLY_MAX = 504;

// Processes one CIP request addressed to the Message Router (or the
// Connection Manager when from_ucmm) and writes the reply; returns its length.
// limit is the largest reply the transport allows.
size_t sim_cip_handle(sim_state *st, sim_client *cl, const uint8_t *req, size_t len, uint8_t *reply,
                      size_t limit, bool connected);

// Runs the server until stop is set; prints "listening on ADDR:PORT". 0 or -1.
int sim_run(sim_state *st, std::atomic<int> *stop);

// Applies one control command ("delay_ms 100", "set Tag[3] 1.5", ...).
// Returns 0 or -1 with err filled.
int sim_control_apply(sim_state *st, const char *line, std::string *err);

// Log line on standard output (line-buffered), with a time stamp.
void sim_log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

int64_t sim_now_us();
