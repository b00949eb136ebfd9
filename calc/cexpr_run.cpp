// Execution of statement trees: assignments, control statements, routine
// calls, the tick entry point and the persisted per-node state.

#include <cstdio>
#include <cstring>

#include "calc/cexpr_exec_int.h"

namespace cxe {
namespace {

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

// JSR: runs the routine with a frame of its own. Out of exec_stmt so that
// the frame (about 700 bytes) is on the stack only while a routine runs,
// not on every nesting level of every statement.
__attribute__((noinline)) int exec_jsr(ctx &c, cx_node *n) {
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
        case CX_JSR:
            return exec_jsr(c, n);
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
}  // namespace cxe

using namespace cxe;

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
