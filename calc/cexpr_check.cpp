// Whole-program checks of the Structured Text parser (routine rules, JSR
// binding, the call graph), the checks the configuration loader runs on a
// parsed tree, and tree inspection.

#include <cstdio>
#include <vector>

#include "calc/cexpr_parse_int.h"

namespace cxp {

bool has_stateful(const cx_node *n) {
    bool found = false;
    auto f = [&](const cx_node *x) {
        if (x->kind == CX_CALL && cx_fn_stateful(x->fn)) {
            found = true;
            return false;
        }
        return true;
    };
    cx_walk(n, f);
    return found;
}

namespace {

struct call_info {
    std::vector<cx_node *> jsrs;  // JSR nodes inside the routine
    int color = 0;                // 0 new, 1 on path, 2 done
    int depth = 0;
};

void collect_jsrs(const cx_node *body, std::vector<cx_node *> &out) {
    auto f = [&](const cx_node *x) {
        if (x->kind == CX_JSR) out.push_back(const_cast<cx_node *>(x));
        return true;
    };
    cx_walk(body, f);
}

// Depth-first over the call graph without recursion; returns false on a
// cycle (error already set).
bool call_dfs(cx_parser *p, std::vector<call_info> &ci, int start) {
    struct frame {
        int r;
        size_t k;
    };
    std::vector<frame> st;
    if (ci[start].color == 2) return true;
    st.push_back({start, 0});
    ci[start].color = 1;
    while (!st.empty()) {
        frame &f = st.back();
        call_info &c = ci[f.r];
        if (f.k < c.jsrs.size()) {
            cx_node *j = c.jsrs[f.k++];
            if (!j->routine) continue;
            int callee = j->routine->index;
            if (ci[callee].color == 1) {
                perr_line(p, "рекурсивний виклик рутини", j->line, j->segment);
                return false;
            }
            if (ci[callee].color == 0) {
                ci[callee].color = 1;
                st.push_back({callee, 0});
            }
            continue;
        }
        int d = 1;
        for (cx_node *j : c.jsrs)
            if (j->routine) {
                int cd = ci[j->routine->index].depth + 1;
                if (cd > d) d = cd;
            }
        c.depth = d;
        c.color = 2;
        st.pop_back();
    }
    return true;
}

void mark_used(std::vector<call_info> &ci, std::vector<p_routine> &rt, int start) {
    std::vector<int> st{start};
    while (!st.empty()) {
        int r = st.back();
        st.pop_back();
        if (rt[static_cast<size_t>(r)].node->used) continue;
        rt[static_cast<size_t>(r)].node->used = 1;
        for (cx_node *j : ci[static_cast<size_t>(r)].jsrs)
            if (j->routine) st.push_back(j->routine->index);
    }
}

}  // namespace

cx_node *program_checks(cx_parser *p, cx_node *main_body) {
    // 1. routines: SBR placement, parameter and return counts, stateful calls
    for (p_routine &pr : p->routines) {
        cx_node *r = pr.node;
        const cx_node *first = r->child ? r->child->child : nullptr;
        bool bad_sbr = false;
        int sbr_line = 0;
        int nret_min = -1;
        cx_node *rnode = r;
        auto f = [&](const cx_node *x) {
            if (x->kind == CX_SBR) {
                if (x != first) {
                    bad_sbr = true;
                    sbr_line = x->line;
                    return false;
                }
                rnode->ninputs = x->ninputs;
            } else if (x->kind == CX_RET) {
                rnode->has_ret = 1;
                if (nret_min < 0 || x->nreturns < nret_min) nret_min = x->nreturns;
            }
            return true;
        };
        cx_walk(r->child, f);
        if (bad_sbr) {
            perr_line(p, "SBR — лише першим оператором підпрограми", sbr_line, r->segment);
            return nullptr;
        }
        r->nreturns = nret_min < 0 ? CX_MAX_IO : nret_min;
        if (has_stateful(r->child)) {
            perr_line(p, "функція зі станом (sum/avg/cnt/rhythm/lpf/prev) у підпрограмі заборонена",
                      r->line, r->segment);
            return nullptr;
        }
    }
    // 2. JSR binding
    char msg[160];
    for (cx_node *j : p->jsrs) {
        cx_node *r = find_routine(p, j->name);
        if (!r) {
            bool main = p->main_name && ieq(j->name, p->main_name);
            perr_line(p, main ? "головну рутину викликати не можна" : "невідома рутина", j->line,
                      j->segment);
            return nullptr;
        }
        if (j->ninputs != r->ninputs) {
            snprintf(msg, sizeof msg, "JSR передає %d вх., SBR рутини приймає %d", j->ninputs,
                     r->ninputs);
            perr_line(p, msg, j->line, j->segment);
            return nullptr;
        }
        if (j->nreturns > 0 && !r->has_ret) {
            snprintf(msg, sizeof msg, "рутина без RET, а JSR чекає %d повернень", j->nreturns);
            perr_line(p, msg, j->line, j->segment);
            return nullptr;
        }
        if (j->nreturns > 0 && r->nreturns < j->nreturns) {
            snprintf(msg, sizeof msg, "RET рутини повертає %d, а JSR чекає %d", r->nreturns,
                     j->nreturns);
            perr_line(p, msg, j->line, j->segment);
            return nullptr;
        }
        j->routine = r;
    }
    // 3. call graph: recursion and call depth
    int max_depth = 0;
    if (!p->routines.empty()) {
        std::vector<call_info> ci(p->routines.size());
        for (size_t i = 0; i < p->routines.size(); i++)
            collect_jsrs(p->routines[i].node->child, ci[i].jsrs);
        std::vector<cx_node *> main_jsrs;
        collect_jsrs(main_body, main_jsrs);
        for (cx_node *j : main_jsrs) {
            int r = j->routine->index;
            if (!call_dfs(p, ci, r)) return nullptr;
            if (ci[static_cast<size_t>(r)].depth > CX_MAX_CALL_DEPTH) {
                perr_line(p, "вкладеність викликів понад 25", j->line, j->segment);
                return nullptr;
            }
            if (ci[static_cast<size_t>(r)].depth > max_depth)
                max_depth = ci[static_cast<size_t>(r)].depth;
            mark_used(ci, p->routines, r);
        }
        for (size_t i = 0; i < ci.size(); i++)
            if (!call_dfs(p, ci, static_cast<int>(i))) return nullptr;
    } else {
        return main_body;
    }
    cx_node *prog = nn(p, CX_PROGRAM);
    if (!prog) return nullptr;
    prog->child = main_body;
    prog->fn = max_depth;
    prog->line = 1;
    cx_node *tail = nullptr;
    for (p_routine &pr : p->routines) {
        if (tail)
            tail->next = pr.node;
        else
            prog->next = pr.node;
        tail = pr.node;
    }
    return prog;
}

}  // namespace cxp

using namespace cxp;

// ---------------------------------------------------------------- loader checks

int cx_if2_misplaced_loc(const cx_node *root, int *segment, int *line) {
    int found = 0;
    auto f = [&](const cx_node *x) {
        if (x != root && x->kind == CX_CALL && x->fn == 5 && x->nargs == 2) {
            found = 1;
            return false;
        }
        return true;
    };
    cx_walk(root, f);
    if (segment) *segment = -1;
    if (line) *line = 0;
    return found;
}

int cx_if2_misplaced(const cx_node *root) {
    return cx_if2_misplaced_loc(root, nullptr, nullptr);
}

int cx_stateful_in_loop_loc(const cx_node *root, int *segment, int *line) {
    int res = 0, seg = -1;
    auto f = [&](const cx_node *x) {
        if (x->kind == CX_FOR || x->kind == CX_WHILE || x->kind == CX_REPEAT) {
            bool in = x->child && has_stateful(x->child);
            for (int i = 0; i < 4 && !in; i++)
                if (x->args[i] && has_stateful(x->args[i])) in = true;
            if (in) {
                res = x->line < 1 ? 1 : x->line;
                seg = x->segment;
                return false;
            }
        }
        return true;
    };
    cx_walk(root, f);
    if (segment) *segment = res ? seg : -1;
    if (line) *line = res;
    return res;
}

int cx_stateful_in_loop(const cx_node *root) {
    return cx_stateful_in_loop_loc(root, nullptr, nullptr);
}

int cx_bit_assign_check_loc(cx_node *root, cx_bit_profile_fn profile, void *user, int *reason,
                            int *max_bit, int *segment, int *line) {
    int res = 0, seg = -1;
    if (reason) *reason = 0;
    auto f = [&](cx_node *x) {
        if (x->kind != CX_ASSIGN || !x->has_bit || x->index < 0) return true;
        int mb = 0, width = 0, sgn = 0;
        if (!profile || profile(user, x->is_discrete, x->index, &mb, &width, &sgn) != 0) {
            if (reason) *reason = 1;
        } else if (x->bit > mb) {
            if (reason) *reason = 2;
            if (max_bit) *max_bit = mb;
        } else {
            x->tgt_width = (width >= 1 && width <= 63) ? width : 0;
            x->tgt_signed = sgn ? 1 : 0;
            return true;
        }
        res = x->line < 1 ? 1 : x->line;
        seg = x->segment;
        return false;
    };
    cx_walk_mut(root, f);
    if (segment) *segment = res ? seg : -1;
    if (line) *line = res;
    return res;
}

int cx_bit_assign_check(cx_node *root, cx_bit_profile_fn profile, void *user, int *reason,
                        int *max_bit) {
    return cx_bit_assign_check_loc(root, profile, user, reason, max_bit, nullptr, nullptr);
}

// ---------------------------------------------------------------- inspection

namespace {
int collect(const cx_node *root, int *out, int cap, bool assigns) {
    int n = 0;
    auto f = [&](const cx_node *x) {
        bool take = assigns ? (x->kind == CX_ASSIGN && x->index >= 0) : x->kind == CX_REF;
        if (!take) return true;
        int code = x->is_discrete ? ~x->index : x->index;
        for (int i = 0; i < n; i++)
            if (out[i] == code) return true;
        if (n >= cap) return false;
        out[n++] = code;
        return true;
    };
    if (out && cap > 0) cx_walk(root, f);
    return n;
}
}  // namespace

int cx_collect_tags(const cx_node *root, int *out, int cap) {
    return collect(root, out, cap, false);
}
int cx_collect_assigns(const cx_node *root, int *out, int cap) {
    return collect(root, out, cap, true);
}

int cx_collect_periods(const cx_node *root) {
    int mask = 0;
    auto f = [&](const cx_node *x) {
        if (x->kind == CX_CALL) {
            int c = cx_fn_period_class(x->fn);
            if (c >= 0) mask |= 1 << c;
        }
        return true;
    };
    cx_walk(root, f);
    return mask;
}

namespace {
const cx_node *routine_at(const cx_node *root, int i) {
    if (!root || root->kind != CX_PROGRAM || i < 0) return nullptr;
    const cx_node *r = root->next;
    for (; r && i > 0; i--)
        r = r->next;
    return r;
}
}  // namespace

int cx_routine_count(const cx_node *root) {
    if (!root || root->kind != CX_PROGRAM) return 0;
    int n = 0;
    for (const cx_node *r = root->next; r; r = r->next)
        n++;
    return n;
}
const char *cx_routine_name(const cx_node *root, int i) {
    const cx_node *r = routine_at(root, i);
    return r ? r->name : nullptr;
}
int cx_routine_used(const cx_node *root, int i) {
    const cx_node *r = routine_at(root, i);
    return r ? r->used : 0;
}
int cx_call_depth(const cx_node *root) {
    return root && root->kind == CX_PROGRAM ? root->fn : 0;
}
