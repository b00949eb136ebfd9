// Shared by the push fuzz targets and the tests that replay their corpora:
// arbitrary bytes as a frame the test trend server receives, and as an
// answer the push worker reads.
#pragma once

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "trend/trend_push.h"
#include "zqtrendsrv_store.h"

namespace push_fuzz {

// A store directory of this process, emptied when the process ends.
inline const std::string &store_dir() {
    static std::string dir = [] {
        char tmpl[] = "/tmp/zqfuzz-push-XXXXXX";
        const char *d = mkdtemp(tmpl);
        std::string s = d ? d : "/tmp";
        static std::string cleanup = "rm -rf '" + s + "'";
        atexit([] {
            if (system(cleanup.c_str()) != 0) return;
        });
        return s;
    }();
    return dir;
}

// The frame goes through the server's checks and, when they pass, into its
// store; the answer must be one of the statuses the server gives.
inline void run_frame(const uint8_t *data, size_t size) {
    srv_store s;
    s.dir = store_dir();
    srv_answer a;
    srv_ingest(&s, "fuzz", data, size, &a);
    if (a.status != 200 && a.status != 400 && a.status != 409 && a.status != 500) abort();
    push_parsed p;
    std::string why;
    if (push_frame_parse(data, size, &p, &why)) {
        // What parses must rebuild to the same records.
        push_frame f;
        push_frame_init(&f);
        for (const push_rec &r : p.recs)
            if (!push_frame_add(&f, r.res, r.op, r.date, r.off, r.data, r.len)) abort();
        push_parsed q;
        if (!push_frame_parse(f.b.data(), f.b.size(), &q, &why) || q.recs.size() != p.recs.size())
            abort();
    }
}

// An HTTP answer as the worker reads it.
inline void run_answer(const uint8_t *data, size_t size) {
    push_reply r;
    if (!push_reply_parse((const char *)data, size, &r)) return;
    if (r.status < 100 || r.status > 999) abort();
    long long n;
    uint32_t crc;
    for (const char *k : {"rps", "rpm", "rph", "have", "free", "total"})
        push_answer_num(r.body, k, &n);
    push_answer_hex(r.body, "crc", &crc);
}

}  // namespace push_fuzz
