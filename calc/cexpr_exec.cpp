// Evaluation of expression trees: values with quality, operators and
// functions (the stateful period functions keep their state in the node).
//
// Bad values travel as a flag, never as an error: nothing here stops the
// program. No memory is allocated, and recursion is bounded by the parser's
// depth limit.

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "calc/cexpr_exec_int.h"

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

namespace cxe {

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

namespace {

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

}  // namespace

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

}  // namespace cxe

using namespace cxe;

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
