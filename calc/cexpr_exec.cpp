// Evaluation of expression trees and execution of statement trees.
//
// Bad values travel as a flag, never as an error: nothing here stops the
// program. No memory is allocated; a routine frame lives on the stack, and
// recursion is bounded by the parser's depth limit and the call-depth limit.

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "calc/cexpr.h"
#include "calc/cexpr_tree.h"

bool cx_round_to_i64(double v, int64_t lo, int64_t hi, int64_t *out) {
    if (!std::isfinite(v)) return false;
    double r = std::round(v);  // half away from zero
    if (r >= 9223372036854775808.0 || r < -9223372036854775808.0) return false;
    int64_t i = static_cast<int64_t>(r);
    if (i < lo || i > hi) return false;
    *out = i;
    return true;
}

double cx_ty_fold(int64_t v, int type) {
    switch (type) {
        case CX_T_SINT:
            return static_cast<int8_t>(v);
        case CX_T_INT:
            return static_cast<int16_t>(v);
        case CX_T_DINT:
            return static_cast<int32_t>(v);
        case CX_T_USINT:
            return static_cast<uint8_t>(v);
        case CX_T_UINT:
            return static_cast<uint16_t>(v);
        case CX_T_UDINT:
            return static_cast<uint32_t>(v);
        case CX_T_LINT:
            return static_cast<double>(v);
        default:
            return static_cast<double>(static_cast<uint64_t>(v));
    }
}

namespace {

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
bool trunc_i64(double v, int64_t *out) {
    if (!std::isfinite(v) || v >= 9223372036854775808.0 || v < -9223372036854775808.0) return false;
    *out = static_cast<int64_t>(v);
    return true;
}

cx_val read_cell(ctx &c, int isd, int64_t idx) {
    if (idx < 0 || idx > INT32_MAX || !c.read) return bad();
    double v = 0;
    if (c.read(c.user, isd, static_cast<int>(idx), &v) != 0) return bad();
    return good(v);
}

void write_cell(ctx &c, int isd, int64_t idx, int is_bad, double v) {
    if (idx < 0 || idx > INT32_MAX || !c.write) return;
    c.write(c.wctx, isd, static_cast<int>(idx), is_bad, is_bad ? 0 : v);
}

cx_val ev(ctx &c, cx_node *n);

// Offset of the index terms of a dynamic cell or instruction; false when an
// index is bad or out of bounds.
bool term_offset(ctx &c, cx_node *t, int64_t *off) {
    int64_t sum = 0;
    for (; t; t = t->next) {
        cx_val v = ev(c, t->child);
        int64_t k = 0;
        if (v.bad || !cx_round_to_i64(v.v, 0, static_cast<int64_t>(t->bound) - 1, &k)) return false;
        sum += k * t->stride;  // each product < 2^62
        if (sum > INT32_MAX) return false;
    }
    *off = sum;
    return true;
}

bool array_offset(ctx &c, cx_node *n, int64_t *off) {
    int64_t sum = 0;
    for (int i = 0; i < n->nargs; i++) {
        cx_val v = ev(c, n->args[i]);
        int64_t k = 0;
        if (v.bad || !cx_round_to_i64(v.v, 0, static_cast<int64_t>(n->dim_len[i]) - 1, &k))
            return false;
        int64_t stride = 1;
        for (int j = i + 1; j < n->nargs && stride <= INT32_MAX; j++)
            stride *= n->dim_len[j];
        if (stride > INT32_MAX) return false;
        sum += k * stride;
        if (sum > INT32_MAX) return false;
    }
    *off = sum;
    return true;
}

bool indirect_index(ctx &c, cx_node *n, int64_t *idx) {
    cx_val v = ev(c, n->args[0]);
    return !v.bad && cx_round_to_i64(v.v, 0, CX_CHAN_MAX, idx);
}

int64_t now_ms(ctx &c) {
    if (c.tick) return c.tick[CX_TICK_NOW];
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool local_tm(int64_t ms, struct tm *out) {
    time_t t = static_cast<time_t>(ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000));
    return localtime_r(&t, out) != nullptr;
}

cx_val stateful(ctx &c, cx_node *n) {
    if (!c.tick) return bad();
    int64_t dt = c.tick[CX_TICK_DT];
    if (n->fn == 14) {  // lpf
        cx_val tau = ev(c, n->args[1]);
        cx_val x = ev(c, n->args[0]);
        if (tau.bad || x.bad || tau.v < 0 || !std::isfinite(x.v) || std::isnan(tau.v)) return bad();
        if (!n->inited) {
            n->inited = 1;
            n->acc = x.v;
        } else if (dt > 0) {
            double s = static_cast<double>(dt) / 1000.0;
            double a = tau.v <= 0 ? 1.0 : s / (tau.v + s);
            n->acc += (x.v - n->acc) * a;
        }
        return std::isfinite(n->acc) ? good(n->acc) : bad();
    }
    int cls = cx_fn_period_class(n->fn);
    int64_t S = c.tick[CX_TICK_START + cls];
    int64_t L = c.tick[CX_TICK_LEN + cls];
    if (n->fn >= 21) {  // prev_*
        if (!n->inited) {
            n->pstart_ms = S;
            n->t_ms = 3;
            n->inited = 1;
            n->acc = n->acc2 = 0;
        } else if (S != n->pstart_ms) {
            n->acc = n->acc2;
            n->acc2 = 0;
            n->pstart_ms = S;
            n->t_ms = 2 + ((n->t_ms >> 1) & 1);
        }
        cx_val x = ev(c, n->args[0]);
        if (!x.bad) {
            n->t_ms &= ~int64_t{2};
            n->acc2 = x.v;
        } else {
            n->t_ms |= 2;
            n->acc2 = 0;
        }
        return (n->t_ms & 1) ? bad() : good(n->acc);
    }
    bool is_cnt = n->fn >= 15 && n->fn <= 17;
    if (!n->inited || n->pstart_ms != S) {
        n->acc = 0;
        n->pstart_ms = S;
        n->inited = 1;
        n->t_ms = is_cnt ? -1 : 0;
    }
    cx_val x = ev(c, n->args[0]);
    if (n->fn <= 13) {  // sum_*, avg_*
        if (!x.bad && std::isfinite(x.v) && dt > 0) {
            n->t_ms += dt;
            n->acc += static_cast<double>(dt) * x.v;
        }
        if (n->fn >= 11) {
            if (n->t_ms <= 0) return bad();
            double r = n->acc / static_cast<double>(n->t_ms);
            return std::isfinite(r) ? good(r) : bad();
        }
        double k = 3600;
        if (n->nargs == 2) {
            cx_val kv = ev(c, n->args[1]);
            if (kv.bad || !(kv.v > 0)) return bad();
            k = kv.v;
        }
        double r = n->acc / 1000.0 / k;
        return std::isfinite(r) ? good(r) : bad();
    }
    if (is_cnt) {
        if (!x.bad) {
            if (n->t_ms == 0 && truth(x.v)) n->acc += 1;
            n->t_ms = truth(x.v) ? 1 : 0;
        }
        return good(n->acc);
    }
    // rhythm_*
    if (!x.bad && x.v == 0 && dt > 0) n->acc += static_cast<double>(dt);
    if (L <= 0) return bad();
    double r = 100.0 * (static_cast<double>(L) - n->acc) / static_cast<double>(L);
    if (r < 0) r = 0;
    if (r > 100) r = 100;
    return good(r);
}

cx_val call(ctx &c, cx_node *n) {
    switch (n->fn) {
        case 5: {  // if
            cx_val cond = ev(c, n->args[0]);
            if (cond.bad) return bad();
            if (truth(cond.v)) return ev(c, n->args[1]);
            return n->nargs == 3 ? ev(c, n->args[2]) : bad();
        }
        case 34: {  // default
            cx_val x = ev(c, n->args[0]);
            return x.bad ? ev(c, n->args[1]) : x;
        }
        case 32:
            return good(ev(c, n->args[0]).bad ? 0 : 1);
        case 33:
            return good(ev(c, n->args[0]).bad ? 1 : 0);
        default:
            break;
    }
    if (cx_fn_stateful(n->fn)) return stateful(c, n);
    double a[4] = {0, 0, 0, 0};
    bool any_bad = false;
    for (int i = 0; i < n->nargs; i++) {
        cx_val v = ev(c, n->args[i]);
        if (v.bad) any_bad = true;
        a[i] = v.v;
    }
    if (any_bad) return bad();
    double x = a[0], r = 0;
    switch (n->fn) {
        case 1:
            r = std::fabs(x);
            break;
        case 2:
            r = a[0];
            for (int i = 1; i < n->nargs; i++)
                if (a[i] < r) r = a[i];
            break;
        case 3:
            r = a[0];
            for (int i = 1; i < n->nargs; i++)
                if (a[i] > r) r = a[i];
            break;
        case 4:
            r = std::fmin(a[2], std::fmax(a[1], x));
            break;
        case 6: {
            int digits = 0;
            if (n->nargs == 2) {
                if (!std::isfinite(a[1])) return bad();
                double t = std::trunc(a[1]);
                digits = t < 0 ? 0 : t > 12 ? 12 : static_cast<int>(t);
            }
            double s = std::pow(10.0, digits);
            double y = x * s;
            double q = y < 0 ? -std::trunc(0.5 - y) : std::floor(y + 0.5);
            r = q / s;
            break;
        }
        case 7:
            if (x < 0) return bad();
            r = std::sqrt(x);
            break;
        case 24:
        case 25:
        case 26:
        case 27:
        case 28:
        case 29:
        case 30: {
            struct tm tm;
            if (!local_tm(now_ms(c), &tm)) return bad();
            switch (n->fn) {
                case 24:
                    r = tm.tm_year + 1900;
                    break;
                case 25:
                    r = tm.tm_mon + 1;
                    break;
                case 26:
                    r = tm.tm_mday;
                    break;
                case 27:
                    r = tm.tm_hour;
                    break;
                case 28:
                    r = tm.tm_min;
                    break;
                case 29:
                    r = tm.tm_sec;
                    break;
                default:
                    r = tm.tm_wday == 0 ? 7 : tm.tm_wday;
                    break;
            }
            break;
        }
        case 31:
            r = static_cast<double>(now_ms(c) / 1000);
            break;
        case 35:
            r = std::sin(x);
            break;
        case 36:
            r = std::cos(x);
            break;
        case 37:
            r = std::tan(x);
            break;
        case 38:
        case 39:
            if (x < -1 || x > 1) return bad();
            r = n->fn == 38 ? std::asin(x) : std::acos(x);
            break;
        case 40:
            r = std::atan(x);
            break;
        case 41:
            r = std::exp(x);
            break;
        case 42:
        case 43:
            if (!(x > 0)) return bad();
            r = n->fn == 42 ? std::log(x) : std::log10(x);
            break;
        case 44:
            r = x > 0 ? 1 : x < 0 ? -1 : 0;
            break;
        case 45:
            r = x - std::trunc(x);
            break;
        case 46:
            r = std::trunc(x);
            break;
        case 47:
            r = std::floor(x);
            break;
        case 48:
            r = std::ceil(x);
            break;
        case 49:
            r = x * x;
            break;
        case 50:
            r = c.tick ? static_cast<double>(c.tick[CX_TICK_NOW] % 1000) : 0;
            break;
        case 51:
            r = x * 57.29577951308232;
            break;
        case 52:
            r = x * 0.017453292519943295;
            break;
        default:
            return bad();
    }
    // an overflow to infinity or a NaN is an unknown value
    return std::isfinite(r) ? good(r) : bad();
}

cx_val binop(ctx &c, cx_node *n) {
    cx_val l = ev(c, n->child);
    cx_val r = ev(c, n->next);
    if (l.bad || r.bad) return bad();
    double a = l.v, b = r.v, x = 0;
    switch (n->op) {
        case CX_OP_ADD:
            x = a + b;
            break;
        case CX_OP_SUB:
            x = a - b;
            break;
        case CX_OP_MUL:
            x = a * b;
            break;
        case CX_OP_DIV:
            if (b == 0) return bad();
            x = a / b;
            break;
        case CX_OP_MOD:
            if (b == 0) return bad();
            x = std::fmod(a, b);
            break;
        case CX_OP_POW:
            x = std::pow(a, b);
            break;
        case CX_OP_GT:
            return good(a > b);
        case CX_OP_LT:
            return good(a < b);
        case CX_OP_GE:
            return good(a >= b);
        case CX_OP_LE:
            return good(a <= b);
        case CX_OP_EQ:
            return good(a == b);
        case CX_OP_NE:
            return good(!(a == b));
        case CX_OP_LAND:
            return good(truth(a) && truth(b));
        case CX_OP_LOR:
            return good(truth(a) || truth(b));
        case CX_OP_LXOR:
            return good(truth(a) != truth(b));
        case CX_OP_BAND:
        case CX_OP_BOR:
        case CX_OP_BXOR: {
            int64_t ia = 0, ib = 0;
            if (!trunc_i64(a, &ia) || !trunc_i64(b, &ib)) return bad();
            int64_t v = n->op == CX_OP_BAND  ? (ia & ib)
                        : n->op == CX_OP_BOR ? (ia | ib)
                                             : (ia ^ ib);
            return good(cx_ty_fold(v, n->type));
        }
        default:
            return bad();
    }
    return std::isfinite(x) ? good(x) : bad();
}

cx_val ev(ctx &c, cx_node *n) {
    switch (n->kind) {
        case CX_LIT:  // 1e999 reads as infinity: an overflow, so unknown
            return std::isfinite(n->value) ? good(n->value) : bad();
        case CX_REF:
            return read_cell(c, n->is_discrete, n->index);
        case CX_ARRAY: {
            int64_t off = 0;
            if (!array_offset(c, n, &off)) return bad();
            return read_cell(c, 0, static_cast<int64_t>(n->index) + off);
        }
        case CX_DYNCELL: {
            int64_t off = 0;
            if (!term_offset(c, n->child, &off)) return bad();
            return read_cell(c, 0, static_cast<int64_t>(n->index) + off);
        }
        case CX_INDIRECT: {
            int64_t idx = 0;
            if (!indirect_index(c, n, &idx)) return bad();
            return read_cell(c, n->is_discrete, idx);
        }
        case CX_BIT: {
            cx_val v = ev(c, n->child);
            int64_t i = 0;
            if (v.bad || !trunc_i64(v.v, &i)) return bad();
            return good(static_cast<double>((static_cast<uint64_t>(i) >> n->bit) & 1));
        }
        case CX_UNOP: {
            cx_val v = ev(c, n->child);
            if (v.bad) return v;
            if (n->op == CX_OP_NEG) return good(-v.v);
            if (n->op == CX_OP_LNOT) return good(v.v == 0 ? 1 : 0);
            int64_t i = 0;
            if (!trunc_i64(v.v, &i)) return bad();
            return good(cx_ty_fold(~i, n->type));
        }
        case CX_BINOP:
            return binop(c, n);
        case CX_CALL:
            return call(c, n);
        default:
            return bad();
    }
}

// ---------------------------------------------------------------- statements

int exec_list(ctx &c, cx_node *l);

// Resolves an assignment target to a cell; false leaves the statement out.
bool target_cell(ctx &c, cx_node *t, int *isd, int64_t *idx) {
    cx_node *x = t->args[0];
    *isd = t->is_discrete;
    if (!x) {
        *idx = t->index;
        return true;
    }
    int64_t off = 0;
    switch (x->kind) {
        case CX_INDIRECT:
            return indirect_index(c, x, idx);
        case CX_ARRAY:
            if (!array_offset(c, x, &off)) return false;
            *idx = static_cast<int64_t>(x->index) + off;
            return true;
        case CX_DYNCELL:
            if (!term_offset(c, x->child, &off)) return false;
            *idx = static_cast<int64_t>(x->index) + off;
            return true;
        default:
            return false;
    }
}

void store(ctx &c, cx_node *t, int isd, int64_t idx, cx_val v) {
    if (!t->has_bit) {
        write_cell(c, isd, idx, v.bad, v.v);
        return;
    }
    if (v.bad) return;
    cx_val cur = read_cell(c, isd, idx);
    int64_t iv = 0;
    if (cur.bad || !trunc_i64(cur.v, &iv)) iv = 0;
    uint64_t u = static_cast<uint64_t>(iv);
    uint64_t bit = uint64_t{1} << t->bit;
    u = truth(v.v) ? (u | bit) : (u & ~bit);
    int w = t->tgt_width;
    if (w >= 1 && w <= 63) {
        uint64_t mask = (uint64_t{1} << w) - 1;
        u &= mask;
        if (t->tgt_signed && ((u >> (w - 1)) & 1)) u |= ~mask;
    }
    write_cell(c, isd, idx, 0, static_cast<double>(static_cast<int64_t>(u)));
}

void assign_value(ctx &c, cx_node *t, cx_val v) {
    int isd = 0;
    int64_t idx = 0;
    if (target_cell(c, t, &isd, &idx)) store(c, t, isd, idx, v);
}

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

int32_t counter_int(double v) {
    if (!std::isfinite(v)) return -1;
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(std::round(v));
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

int exec_stmt(ctx &c, cx_node *n) {
    switch (n->kind) {
        case CX_LIST:
            return exec_list(c, n);
        case CX_ASSIGN: {
            int isd = 0;
            int64_t idx = 0;
            if (!target_cell(c, n, &isd, &idx)) return 0;
            store(c, n, isd, idx, ev(c, n->child));
            return 0;
        }
        case CX_IF: {
            cx_node *x = n;
            while (x && x->kind == CX_IF) {
                cx_val v = ev(c, x->args[0]);
                if (v.bad) return 0;
                if (truth(v.v)) return exec_list(c, x->child);
                x = x->next;
            }
            return x ? exec_list(c, x) : 0;
        }
        case CX_CASE: {
            cx_val v = ev(c, n->args[0]);
            if (v.bad) return 0;
            for (cx_node *arm = n->child; arm; arm = arm->next)
                for (int i = 0; i < arm->nranges; i++)
                    if (arm->ranges[2 * i] <= v.v && v.v <= arm->ranges[2 * i + 1])
                        return exec_list(c, arm->child);
            return exec_list(c, n->next);
        }
        case CX_FOR: {
            cx_val s = ev(c, n->args[0]);
            cx_val e = ev(c, n->args[1]);
            cx_val st = n->args[2] ? ev(c, n->args[2]) : good(1);
            if (s.bad || e.bad || st.bad) return 0;
            // bounds are kept far from the 64-bit edge so the counter cannot overflow
            const int64_t lim = int64_t{1} << 53;
            int64_t i = 0, end = 0, step = 0;
            if (!cx_round_to_i64(s.v, -lim, lim, &i) || !cx_round_to_i64(e.v, -lim, lim, &end) ||
                !cx_round_to_i64(st.v, -lim, lim, &step) || step == 0)
                return 0;
            write_cell(c, n->is_discrete, n->index, 0, static_cast<double>(i));
            for (int round = 0;
                 round < CX_LOOP_GUARD && (step > 0 ? i <= end : i >= end) && --c.budget >= 0;
                 round++) {
                int r = exec_list(c, n->child);
                if (r == 2) return 2;
                if (r == 1) break;
                i += step;
                write_cell(c, n->is_discrete, n->index, 0, static_cast<double>(i));
            }
            return 0;
        }
        case CX_WHILE:
            for (int round = 0; round < CX_LOOP_GUARD && --c.budget >= 0; round++) {
                cx_val v = ev(c, n->args[0]);
                if (v.bad || v.v == 0) break;
                int r = exec_list(c, n->child);
                if (r == 2) return 2;
                if (r == 1) break;
            }
            return 0;
        case CX_REPEAT:
            for (int round = 0; round < CX_LOOP_GUARD && --c.budget >= 0; round++) {
                int r = exec_list(c, n->child);
                if (r == 2) return 2;
                if (r == 1) break;
                cx_val v = ev(c, n->args[0]);
                if (v.bad || truth(v.v)) break;
            }
            return 0;
        case CX_EXIT:
            return 1;
        case CX_INSTR: {
            int64_t off = 0;
            if (!term_offset(c, n->next, &off)) return 0;
            int64_t b = static_cast<int64_t>(n->index) + off;
            if (n->fn == CX_CTUD)
                exec_counter(c, b);
            else
                exec_timer(c, n->fn, b);
            return 0;
        }
        case CX_PROGRAM: {
            frame *saved = c.fr;
            c.fr = nullptr;
            exec_list(c, n->child);
            c.fr = saved;
            return 0;
        }
        case CX_JSR: {
            cx_node *r = n->routine;
            if (!r) return 0;
            int depth = (c.fr ? c.fr->depth : 0) + 1;
            if (depth > CX_MAX_CALL_DEPTH) return 0;
            frame f;
            f.nin = 0;
            f.nret = 0;
            f.has_ret = 0;
            f.depth = depth;
            for (cx_node *e = n->child; e && f.nin < CX_MAX_IO; e = e->next) {
                cx_val v = ev(c, e->child);
                f.in[f.nin] = v.v;
                f.in_bad[f.nin] = static_cast<uint8_t>(v.bad);
                f.nin++;
            }
            frame *saved = c.fr;
            c.fr = &f;
            exec_list(c, r->child);
            c.fr = saved;
            if (f.has_ret) {
                int i = 0;
                for (cx_node *e = n->next; e && i < f.nret; e = e->next, i++)
                    assign_value(c, e->child, cx_val{f.ret_bad[i], f.ret[i]});
            }
            return 0;
        }
        case CX_SBR: {
            if (!c.fr) return 0;
            int i = 0;
            for (cx_node *e = n->child; e && i < CX_MAX_IO; e = e->next, i++) {
                cx_val v = i < c.fr->nin ? cx_val{c.fr->in_bad[i], c.fr->in[i]} : bad();
                assign_value(c, e->child, v);
            }
            return 0;
        }
        case CX_RET: {
            if (c.fr) {
                int i = 0;
                for (cx_node *e = n->child; e && i < CX_MAX_IO; e = e->next, i++) {
                    cx_val v = ev(c, e->child);
                    c.fr->ret[i] = v.v;
                    c.fr->ret_bad[i] = static_cast<uint8_t>(v.bad);
                }
                c.fr->nret = i;
                c.fr->has_ret = 1;
            }
            return 2;
        }
        default:
            return 0;
    }
}

int exec_list(ctx &c, cx_node *l) {
    for (; l; l = l->next) {
        int r = exec_stmt(c, l->kind == CX_LIST ? l->child : l);
        if (r) return r;
        if (l->kind != CX_LIST) break;
    }
    return 0;
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

bool state_node_at(const cx_node *root, int i, const cx_node **out) {
    int n = 0;
    const cx_node *found = nullptr;
    auto f = [&](const cx_node *x) {
        if (x->kind == CX_CALL && cx_fn_stateful(x->fn)) {
            if (n == i) {
                found = x;
                return false;
            }
            n++;
        }
        return true;
    };
    if (i >= 0) cx_walk(root, f);
    *out = found;
    return found != nullptr;
}

}  // namespace

cx_val cx_eval_tick(cx_node *root, cx_read_fn read, void *user, const int64_t *tick) {
    if (!root) return {1, 0};
    ctx c{read, user, tick, nullptr, nullptr, nullptr, 0};
    return ev(c, root);
}

cx_val cx_eval(cx_node *root, cx_read_fn read, void *user) {
    return cx_eval_tick(root, read, user, nullptr);
}

cx_val cx_eval_root(cx_node *root, cx_read_fn read, void *user, const int64_t *tick, int *skip) {
    if (skip) *skip = 0;
    if (!root) return {1, 0};
    ctx c{read, user, tick, nullptr, nullptr, nullptr, 0};
    if (root->kind == CX_CALL && root->fn == 5 && root->nargs == 2) {
        cx_val cond = ev(c, root->args[0]);
        if (cond.bad) return {1, 0};
        if (truth(cond.v)) return ev(c, root->args[1]);
        if (skip) *skip = 1;
        return {1, 0};
    }
    return ev(c, root);
}

int cx_exec_tick(cx_node *root, cx_read_fn read, void *user, const int64_t *tick, cx_write_fn write,
                 void *wctx) {
    if (!root || !cx_is_stmt(root)) return -1;
    ctx c{read, user, tick, write, wctx, nullptr, CX_EXEC_BUDGET};
    if (!root->inited) {
        prescan(c, root);
        root->inited = 1;
        c.budget = CX_EXEC_BUDGET;
    }
    exec_stmt(c, root);
    return 0;
}

int cx_state_count(const cx_node *root) {
    int n = 0;
    auto f = [&](const cx_node *x) {
        if (x->kind == CX_CALL && cx_fn_stateful(x->fn)) n++;
        return true;
    };
    if (root) cx_walk(root, f);
    return n;
}

int cx_state_get(const cx_node *root, int i, cx_state_rec *rec) {
    const cx_node *x = nullptr;
    if (!root || !rec || !state_node_at(root, i, &x)) return -1;
    memset(rec, 0, sizeof(*rec));
    snprintf(rec->fn, sizeof rec->fn, "%s", cx_fn_name(x->fn));
    rec->pstart_ms = x->pstart_ms;
    rec->acc = x->acc;
    rec->acc2 = x->acc2;
    rec->t_ms = x->t_ms;
    rec->inited = x->inited;
    return 0;
}

int cx_state_set(cx_node *root, int i, const cx_state_rec *rec) {
    const cx_node *x = nullptr;
    if (!root || !rec || !state_node_at(root, i, &x)) return -1;
    if (strncmp(rec->fn, cx_fn_name(x->fn), sizeof rec->fn) != 0) return -1;
    cx_node *m = const_cast<cx_node *>(x);
    m->pstart_ms = rec->pstart_ms;
    m->acc = rec->acc;
    m->acc2 = rec->acc2;
    m->t_ms = rec->t_ms;
    m->inited = rec->inited;
    return 0;
}
