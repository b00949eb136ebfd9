#pragma once
// One fuzz input as a Structured Text program: parsed, analysed and run twice
// on the in-memory host the server's program check uses. Shared by the fuzz
// target and the corpus replay test.
#include <cstddef>
#include <cstdint>
#include <string>

#include "calc/calc_host.h"

namespace st_fuzz {

enum result { ST_TOO_LARGE = -1, ST_REFUSED = 0, ST_PROGRAM = 1, ST_EXPRESSION = 2 };

inline result run_one(const uint8_t *data, size_t size) {
    if (size > 65536) return ST_TOO_LARGE;
    std::string text(reinterpret_cast<const char *>(data), size);
    calc_host h;
    for (const char *spec :
         {"n:DINT", "arr[4,3]", "t:FBD_TIMER", "ts[3]:FBD_TIMER", "c:FBD_COUNTER"})
        calc_host_declare(&h, spec);
    for (int i = 1; i < 64; i++)
        if (i % 5 != 4) {  // some channels bad
            calc_host_store(&h, 0, i, 0, 0);
            calc_host_store(&h, 1, i, 0, 0);
        }
    cx_node *root = calc_host_parse(&h, text.c_str());
    if (!root) return ST_REFUSED;
    int tags[32];
    cx_collect_tags(root, tags, 32);
    cx_collect_assigns(root, tags, 32);
    cx_collect_periods(root);
    cx_if2_misplaced(root);
    cx_stateful_in_loop(root);
    bool stmt = cx_is_stmt(root);
    for (int k = 0; k < 2; k++) {
        calc_host_at(&h, 1773136800000 + k * 1000, k ? 1000 : 0);
        if (stmt)
            calc_host_run(&h, root);
        else
            cx_eval_root(root, calc_host_read, &h, h.tick, nullptr);
    }
    int ns = cx_state_count(root);
    for (int i = 0; i < ns; i++) {
        cx_state_rec rec;
        if (cx_state_get(root, i, &rec) == 0) cx_state_set(root, i, &rec);
    }
    cx_free(root);
    return stmt ? ST_PROGRAM : ST_EXPRESSION;
}

}  // namespace st_fuzz
