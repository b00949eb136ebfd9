#pragma once
// The syntax tree's layout and walks over it, private to the calculation
// library (and its white-box tests): the parser builds the nodes, the
// evaluator runs them, and everyone else holds a cx_node pointer only.

#include <cstdint>

#include "calc/cexpr.h"

// Fields used on every evaluation come first, so that most nodes are read
// from one cache line.
struct cx_node {
    int kind;
    int op;
    int fn;
    int is_discrete;
    int index;
    int nargs;
    int has_bit, bit;
    double value;
    cx_node *child;
    cx_node *next;
    cx_node *args[4];
    int tgt_width, tgt_signed;
    int dim_len[3];
    int stride;
    int bound;
    int line, segment;
    uint8_t type;
    char *name;
    cx_node *routine;  // JSR: bound routine (not owned)
    double *ranges;    // CASE arm: lo, hi pairs
    int nranges;
    // Period-function state; `inited` of a statement root is the prescan flag.
    int64_t pstart_ms;
    double acc, acc2;
    int64_t t_ms;
    int inited;
    int used;      // routine reachable from the main program
    int ninputs;   // JSR inputs; routine parameter count
    int nreturns;  // JSR return targets; routine return count
    int has_ret;   // routine has a RET
    // Bookkeeping of the parser and of cx_free, not part of the tree.
    int mark;        // reachable from the root at the end of a parse
    cx_node *alink;  // allocation list of a parse; work list of cx_free
};

// Tree walks shared by the parser checks and the evaluator's state access.
// Visits nodes in tree order: the node, its child chain, its next chain,
// then its argument slots. `next` chains of nodes without arguments
// (statement lists, operand lists, routines, CASE arms) are followed by
// iteration, so a long program costs no stack; every other link is a nested
// level that the parser's depth limit already bounds. `f` returns false to
// stop the walk; walk returns false when it was stopped.
template <class F>
bool cx_walk(const cx_node *n, F &f) {
    while (n) {
        if (!f(n)) return false;
        if (n->child && !cx_walk(n->child, f)) return false;
        if (n->args[0] || n->args[1] || n->args[2] || n->args[3]) {
            if (n->next && !cx_walk(n->next, f)) return false;
            for (int i = 0; i < 4; i++)
                if (n->args[i] && !cx_walk(n->args[i], f)) return false;
            return true;
        }
        n = n->next;
    }
    return true;
}

// Same walk over a mutable tree.
template <class F>
bool cx_walk_mut(cx_node *n, F &f) {
    while (n) {
        if (!f(n)) return false;
        if (n->child && !cx_walk_mut(n->child, f)) return false;
        if (n->args[0] || n->args[1] || n->args[2] || n->args[3]) {
            if (n->next && !cx_walk_mut(n->next, f)) return false;
            for (int i = 0; i < 4; i++)
                if (n->args[i] && !cx_walk_mut(n->args[i], f)) return false;
            return true;
        }
        n = n->next;
    }
    return true;
}
