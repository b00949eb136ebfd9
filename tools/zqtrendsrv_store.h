#pragma once
// Storage side of the test trend server: per-source copies of the pushed
// day files, the cursor and hash answers, and the strict checking and
// applying of ZQP1 frames.

#include <stddef.h>
#include <stdint.h>

#include <string>

struct srv_store {
    std::string dir;  // <dir>/<src>/<YYYYMMDD>00.<rps|rpm|rph>
    // Counters for tests.
    long long frames = 0, plain = 0, compressed = 0, records = 0, bytes = 0, rejected = 0;
    long long row_bytes = 0;  // of byte records: each row once unless something was resent
    std::string last_error;
};

struct srv_answer {
    int status = 200;
    std::string body;  // JSON text
};

// A source name as it arrives (percent-encoded) → a safe directory name;
// false for anything that could leave the store.
bool srv_src_ok(const std::string &raw, std::string *src);

void srv_cursor(srv_store *s, const std::string &src, uint32_t date, srv_answer *a);
void srv_hash(srv_store *s, const std::string &src, uint32_t date, const std::string &kind,
              long long len, srv_answer *a);
// Checks every record before touching a file; applies them in order.
void srv_ingest(srv_store *s, const std::string &src, const uint8_t *p, size_t n, srv_answer *a);
// Cuts the file the frame's first record names by `below` bytes and answers
// 409 (a server that lost its tail); false when the frame names no file.
bool srv_force_conflict(srv_store *s, const std::string &src, const uint8_t *p, size_t n,
                        long long below, srv_answer *a);
