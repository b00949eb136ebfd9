#pragma once
// State of the push workers shared by their source files.

#include <sys/types.h>
#include <time.h>

#include <memory>
#include <mutex>
#include <thread>

#include "trend_push.h"

enum { PUSH_OK = 0, PUSH_FAIL = -1, PUSH_REFUSED = -2, PUSH_LAYOUT = -3 };

// One day's file of one resolution as the server holds it.
struct push_res_state {
    uint32_t date = 0;
    long long cursor = 0;  // bytes the server holds
    long long local_size = 0;
    bool valid = false;
    std::vector<uint8_t> hdr;  // header last sent or seen
    bool have_ino = false;
    ino_t ino = 0;
    bool layout_block = false;  // never appended to again (this date)
};

struct push_bf {
    bool active = false, verify = false;
    uint32_t from = 0, to = 0, cur = 0;
    int total = 0, done = 0, pushed = 0, complete = 0, skipped = 0, conflict = 0;
    long long bytes = 0;
};

// What the status file shows; copied under the module mutex.
struct push_report {
    bool up = false, blocked = false;
    long long lag = 0;
    int64_t last_ok_ms = 0;
    int fail_streak = 0;
    bool deflate = false;
    unsigned long long free = 0, total = 0;
    push_bf bf;
};

struct push_dest_state {
    int idx = 0;
    std::string url_text, token, src;  // token guarded by the module mutex
    bool deflate = false;
    push_url url;
    bool url_ok = false, token_ok = false;
    push_res_state cur[3], prev[3];
    int64_t prev_since_ms[3] = {};
    int fail_streak = 0;
    unsigned long long remote_free = 0, remote_total = 0;
    int64_t last_ok_ms = 0;
    bool blocked = false;
    bool last_transport_fail = false;  // the last exchange got no answer
    push_bf bf;
    std::string bf_warned;  // request text already reported as unusable
    struct timespec tokens_mtime = {};
    push_report rep;
    std::thread th;

    bool usable() const { return url_ok && token_ok; }
    void publish();
};

int64_t push_wall_ms();
// The non-empty token listed for url in push_tokens.json; false when none.
bool push_tokens_lookup(const char *path, const std::string &url, std::string *tok);
// Takes run/push_backfill.req when it names this destination.
void push_backfill_claim(push_dest_state &d, const std::string &run_dir, std::mutex &mu);
// One day of an active back-fill.
int push_backfill_step(push_dest_state &d);
int push_backfill_period(push_dest_state &d, int res, uint32_t date, bool verify,
                         long long *pushed);
// Writes run/push_status.json from every destination's report.
void push_status_write(const std::string &run_dir, const std::string &src,
                       const std::vector<std::unique_ptr<push_dest_state>> &dests, int64_t now_ms);
std::string push_status_json(const std::vector<const push_dest_state *> &dests, int64_t now_ms);
