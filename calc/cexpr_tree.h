#pragma once
// Tree walking shared by the parser checks and the evaluator's state access.

#include "calc/cexpr.h"

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
