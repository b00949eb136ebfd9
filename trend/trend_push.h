#pragma once
// Trend push: replicates the version-2 daily files byte for byte to central
// trend servers over HTTP, one worker thread per destination, with byte
// cursors held by the server. Also the wire pieces (URL, ZQP1 frames, answer
// fields) that the test trend server and the fuzz targets share.

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <string>
#include <vector>

#include "trend_config.h"

constexpr int PUSH_MAX_DEST = 2;
constexpr int PUSH_FRAME_HDR = 16;
constexpr int PUSH_REC_HDR = 18;
constexpr int PUSH_MAX_RECORDS = 256;
constexpr size_t PUSH_MAX_PAYLOAD = 64u << 20;  // an inflated payload beyond this is refused
constexpr int PUSH_SLOT_FRAME = 200;            // slot records per frame

enum { PUSH_RES_SEC = 0, PUSH_RES_MIN = 1, PUSH_RES_HOUR = 2 };
enum { PUSH_OP_BYTES = 0, PUSH_OP_HEADER = 1, PUSH_OP_SLOT = 2 };

// "rps", "rpm", "rph" by resolution.
const char *push_kind_ext(int res);

// --- base URL -------------------------------------------------------------

struct push_url {
    std::string host;  // at most 255 characters
    int port = 80;
};
// "http://host[:port][/]"; false with *why set for anything else (another
// scheme, a path, a bad port).
bool push_url_parse(const char *url, push_url *out, std::string *why);
// A token is sent in a header line: only bytes 0x21..0x7E, at most 127.
bool push_token_ok(const std::string &token);
// Percent-encodes everything but unreserved characters.
std::string push_pct_encode(const std::string &s);
// Inverse of the above; false on a malformed escape.
bool push_pct_decode(const std::string &s, std::string *out);

// --- calendar days (YYYYMMDD numbers) ---------------------------------------

bool push_ymd_valid(uint32_t ymd);
uint32_t push_ymd_next(uint32_t ymd);  // the following calendar day
uint32_t push_ymd_prev(uint32_t ymd);

// --- ZQP1 frames -----------------------------------------------------------

struct push_frame {
    std::vector<uint8_t> b;  // 16-byte header then records
    int count = 0;
};
void push_frame_init(push_frame *f);
// Appends one record; false when the frame already holds 256 records.
bool push_frame_add(push_frame *f, int res, int op, uint32_t date, uint64_t off, const void *data,
                    uint32_t len);
// The bytes to send: compressed when asked and when that makes it smaller,
// else the frame as built (flag 0).
std::vector<uint8_t> push_frame_wire(const push_frame *f, bool deflate);

struct push_rec {
    int res = 0, op = 0;
    uint32_t date = 0;
    uint64_t off = 0;
    uint32_t len = 0;
    const uint8_t *data = nullptr;  // points into the parsed payload
};
struct push_parsed {
    std::vector<uint8_t> inflated;  // payload of a compressed frame
    std::vector<push_rec> recs;
    bool compressed = false;
};
// Checks and splits a received frame; false with *why set.
bool push_frame_parse(const uint8_t *p, size_t n, push_parsed *out, std::string *why);

// --- answers ----------------------------------------------------------------

struct push_reply {
    int status = 0;  // 0: transport failure
    std::string body;
};
// Status line and body of a raw HTTP answer; false when it is not one.
bool push_reply_parse(const char *p, size_t n, push_reply *out);
// The number right after "\"key\":"; false when absent or malformed.
bool push_answer_num(const std::string &body, const char *key, long long *out);
// The hexadecimal string after "\"key\":\""; false when absent or malformed.
bool push_answer_hex(const std::string &body, const char *key, uint32_t *out);

// --- one HTTP exchange ------------------------------------------------------

struct push_http_opts {
    int connect_ms = 4000;
    int idle_ms = 10000;                         // without any progress
    int overall_ms = 120000;                     // the whole exchange
    const std::atomic<bool> *running = nullptr;  // checked while waiting
};
// One HTTP/1.1 exchange with Connection: close. 0 with out->status set, or
// -1 (status 0) on any transport failure, a deadline or a stop request.
int push_http_do(const push_url &u, const char *method, const std::string &path,
                 const std::string &token, const void *body, size_t len, push_reply *out,
                 const push_http_opts &o);

// --- the worker ---------------------------------------------------------------

struct push_start_args {
    std::string maindir;  // ends in '/'
    int main_fmt = 0;
    std::vector<trend_push_dest> dests;
    std::string src;          // project name
    std::string tokens_path;  // push_tokens.json, re-read when it changes
    std::string run_dir = "run";
    int64_t (*now_ms)() = nullptr;  // wall clock naming the days (ms since 1970)
};
// Starts one thread per destination (at most 2); prints why nothing starts.
void push_worker_start(const push_start_args &a);
// Stops and joins every worker; returns promptly even mid-exchange.
void push_worker_stop();
