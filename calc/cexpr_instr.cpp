// Timer and counter instructions (TONR, TOFR, RTOR, CTUD) on the cells of
// FBD_TIMER and FBD_COUNTER structures, and their first-scan actions.

#include <cmath>

#include "calc/cexpr_exec_int.h"

namespace cxe {
namespace {

int64_t instr_now(ctx &c) {
    if (!c.tick) return 0;
    return c.tick[CX_TICK_MONO] ? c.tick[CX_TICK_MONO] : c.tick[CX_TICK_NOW];
}

// Timer members
enum {
    T_EN_IN,
    T_ENABLE,
    T_PRE,
    T_RESET,
    T_EN_OUT,
    T_ACC,
    T_EN,
    T_TT,
    T_DN,
    T_STATUS,
    T_FAULT,
    T_PINV,
    T_T
};
// Counter members
enum {
    C_EN_IN,
    C_CU_EN,
    C_CD_EN,
    C_PRE,
    C_RESET,
    C_EN_OUT,
    C_ACC,
    C_CU,
    C_CD,
    C_DN,
    C_OV,
    C_UN,
    C_P
};

int32_t counter_int(double v) {
    if (!std::isfinite(v)) return -1;
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(std::round(v));
}

}  // namespace

void exec_timer(ctx &c, int fn, int64_t b) {
    int64_t now = instr_now(c);
    auto rd = [&](int m, double *v) {
        cx_val x = read_cell(c, 0, b + m);
        *v = x.v;
        return !x.bad;
    };
    auto wr = [&](int m, double v) { write_cell(c, 0, b + m, 0, v); };
    double en = 0, pre = 0, reset = 0;
    if (!rd(T_ENABLE, &en) || !rd(T_PRE, &pre) || !rd(T_RESET, &reset)) {
        wr(T_T, static_cast<double>(now));
        return;
    }
    double acc = 0, tt = 0, dn = 0, t0 = 0;
    if (!rd(T_ACC, &acc)) acc = 0;
    if (!rd(T_TT, &tt)) tt = 0;
    if (!rd(T_DN, &dn)) dn = 0;
    if (!rd(T_T, &t0)) t0 = 0;
    double nowd = static_cast<double>(now);
    double elapsed = (truth(tt) && t0 > 0 && t0 <= nowd) ? nowd - t0 : 0;
    wr(T_T, nowd);
    bool invalid = false;
    double P = 0;
    if (!std::isfinite(pre) || pre < -2147483648.0)
        invalid = true;
    else if (pre > 2147483647.0)
        P = 2147483647.0;
    else {
        P = std::round(pre);
        if (P < 0) invalid = true;
    }
    bool ena = truth(en);
    wr(T_EN_OUT, 1);
    wr(T_PINV, invalid);
    wr(T_FAULT, invalid);
    if (invalid) {
        wr(T_STATUS, 3);
        wr(T_EN, ena);
        wr(T_TT, 0);
        return;
    }
    wr(T_STATUS, 0);
    if (truth(reset)) {
        wr(T_ACC, fn == CX_TOFR ? P : 0);
        wr(T_DN, 0);
        wr(T_TT, 0);
        wr(T_EN, 0);
        return;
    }
    if (fn == CX_TONR || fn == CX_RTOR) {
        if (ena) {
            if (P > acc) acc = std::fmin(P, acc + elapsed);
            wr(T_ACC, acc);
            wr(T_TT, acc < P);
            wr(T_DN, acc >= P);
        } else {
            if (fn == CX_TONR) {
                wr(T_ACC, 0);
                wr(T_DN, 0);
            } else {
                wr(T_DN, acc >= P);
            }
            wr(T_TT, 0);
        }
    } else {  // TOFR
        if (ena) {
            wr(T_ACC, 0);
            wr(T_DN, 1);
            wr(T_TT, 0);
        } else if (truth(dn)) {
            double a = acc + elapsed;
            if (P <= a) {
                wr(T_ACC, P);
                wr(T_DN, 0);
                wr(T_TT, 0);
            } else {
                wr(T_ACC, a);
                wr(T_DN, 1);
                wr(T_TT, 1);
            }
        } else {
            wr(T_DN, 0);
            wr(T_TT, 0);
        }
    }
    wr(T_EN, ena);
}

void exec_counter(ctx &c, int64_t b) {
    auto rd = [&](int m, double *v) {
        cx_val x = read_cell(c, 0, b + m);
        *v = x.v;
        return !x.bad;
    };
    auto wr = [&](int m, double v) { write_cell(c, 0, b + m, 0, v); };
    double cuen = 0, cden = 0, pre = 0, reset = 0;
    if (!rd(C_CU_EN, &cuen) || !rd(C_CD_EN, &cden) || !rd(C_PRE, &pre) || !rd(C_RESET, &reset))
        return;
    double acc = 0, cu = 0, cd = 0, ov = 0, un = 0, pf = 0;
    if (!rd(C_ACC, &acc)) acc = 0;
    if (!rd(C_CU, &cu)) cu = 0;
    if (!rd(C_CD, &cd)) cd = 0;
    if (!rd(C_OV, &ov)) ov = 0;
    if (!rd(C_UN, &un)) un = 0;
    if (!rd(C_P, &pf)) pf = 0;
    bool up_en = truth(cuen), dn_en = truth(cden);
    bool prev_cu = truth(cu), prev_cd = truth(cd);
    if (truth(pf)) {  // first scan after prescan: no edge
        prev_cu = up_en;
        prev_cd = dn_en;
        wr(C_P, 0);
    }
    wr(C_EN_OUT, 1);
    int32_t v = counter_int(acc);
    if (truth(reset)) {
        wr(C_ACC, 0);
        wr(C_OV, 0);
        wr(C_UN, 0);
        wr(C_DN, 0);
        wr(C_CU, 0);
        wr(C_CD, 0);
        return;
    }
    bool o = truth(ov), u = truth(un);
    bool up = up_en && !prev_cu, down = dn_en && !prev_cd;
    if (up && !down) {
        if (v == INT32_MAX) {
            v = INT32_MIN;
            o = true;
        } else {
            v++;
        }
    } else if (down && !up) {
        if (v == INT32_MIN) {
            v = INT32_MAX;
            u = true;
        } else {
            v--;
        }
    }
    wr(C_ACC, v);
    wr(C_OV, o);
    wr(C_UN, u);
    wr(C_DN, v >= counter_int(pre));
    wr(C_CU, up_en);
    wr(C_CD, dn_en);
}

// First-scan actions of every instruction, for every element its dynamic
// indices can address.
void prescan(ctx &c, cx_node *root) {
    int64_t now = instr_now(c);
    auto f = [&](cx_node *n) {
        if (n->kind != CX_INSTR) return true;
        int nterms = 0;
        for (cx_node *t = n->next; t; t = t->next)
            nterms++;
        int64_t k[CX_MAX_DEPTH + 1] = {};
        if (nterms > CX_MAX_DEPTH) return true;
        for (int count = 0; count < CX_LOOP_GUARD && --c.budget >= 0; count++) {
            int64_t b = n->index;
            int i = 0;
            bool empty = false;
            for (cx_node *t = n->next; t; t = t->next, i++) {
                if (t->bound <= 0) empty = true;
                b += k[i] * t->stride;
            }
            if (empty) break;
            if (n->fn == CX_CTUD) {
                write_cell(c, 0, b + C_P, 0, 1);
            } else {
                write_cell(c, 0, b + T_EN, 0, 0);
                write_cell(c, 0, b + T_TT, 0, 0);
                write_cell(c, 0, b + T_DN, 0, 0);
                write_cell(c, 0, b + T_T, 0, static_cast<double>(now));
                if (n->fn == CX_TONR) write_cell(c, 0, b + T_ACC, 0, 0);
            }
            // odometer over the index terms, last index fastest
            int j = nterms - 1;
            for (; j >= 0; j--) {
                cx_node *t = n->next;
                for (int q = 0; q < j; q++)
                    t = t->next;
                if (++k[j] < t->bound) break;
                k[j] = 0;
            }
            if (j < 0) break;
        }
        return true;
    };
    cx_walk_mut(root, f);
}

}  // namespace cxe
