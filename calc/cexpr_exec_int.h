#pragma once
// Evaluator internals shared by calc/cexpr_exec.cpp (expressions),
// calc/cexpr_run.cpp (statements) and calc/cexpr_instr.cpp (timer and
// counter instructions). Nothing outside calc/ includes this header.

#include <cmath>
#include <cstdint>

#include "calc/cexpr.h"
#include "calc/cexpr_tree.h"

namespace cxe {

// Frame of a running routine: the JSR inputs and the RET values.
struct frame {
    double in[CX_MAX_IO];
    uint8_t in_bad[CX_MAX_IO];
    double ret[CX_MAX_IO];
    uint8_t ret_bad[CX_MAX_IO];
    int nin;
    int nret;
    int has_ret;
    int depth;
};

struct ctx {
    cx_read_fn read;
    void *user;
    const int64_t *tick;
    cx_write_fn write;
    void *wctx;
    frame *fr;
    // Loop rounds left in this execution: each loop stops after
    // CX_LOOP_GUARD rounds, but nested loops multiply, so the whole
    // execution also has a total budget.
    int64_t budget;
};

inline cx_val good(double v) {
    return {0, v};
}
inline cx_val bad() {
    return {1, 0};
}
inline bool truth(double v) {
    return v != 0;
}  // NaN counts as true

// Truncation to a signed 64-bit integer for bit operations.
inline bool trunc_i64(double v, int64_t *out) {
    if (!std::isfinite(v) || v >= 9223372036854775808.0 || v < -9223372036854775808.0) return false;
    *out = static_cast<int64_t>(v);
    return true;
}

inline cx_val read_cell(ctx &c, int isd, int64_t idx) {
    if (idx < 0 || idx > INT32_MAX || !c.read) return bad();
    double v = 0;
    if (c.read(c.user, isd, static_cast<int>(idx), &v) != 0) return bad();
    return good(v);
}

inline void write_cell(ctx &c, int isd, int64_t idx, int is_bad, double v) {
    if (idx < 0 || idx > INT32_MAX || !c.write) return;
    c.write(c.wctx, isd, static_cast<int>(idx), is_bad, is_bad ? 0 : v);
}

cx_val ev(ctx &c, cx_node *n);
// Offset of the index terms of a dynamic cell or instruction; false when an
// index is bad or out of bounds.
bool term_offset(ctx &c, cx_node *t, int64_t *off);
bool array_offset(ctx &c, cx_node *n, int64_t *off);
bool indirect_index(ctx &c, cx_node *n, int64_t *idx);

// Timer and counter instructions at base cell b; first-scan actions of
// every instruction in a tree.
void exec_timer(ctx &c, int fn, int64_t b);
void exec_counter(ctx &c, int64_t b);
void prescan(ctx &c, cx_node *root);

}  // namespace cxe
