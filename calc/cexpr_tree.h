#pragma once
// The syntax tree's layout and walks over it, private to the calculation
// library (and its white-box tests): the parser builds the nodes, the
// evaluator runs them, and everyone else holds a cx_node pointer only.

#include <cstdint>

#include "calc/cexpr.h"

// Node kinds.
enum {
    CX_LIT = 0,
    CX_REF = 1,
    CX_BINOP = 2,
    CX_UNOP = 3,
    CX_CALL = 4,
    CX_ASSIGN = 5,
    CX_LIST = 6,
    CX_IF = 7,
    CX_FOR = 8,
    CX_ARRAY = 9,
    CX_INDIRECT = 10,
    CX_BIT = 11,
    CX_INSTR = 12,
    CX_CASE = 13,
    CX_ARM = 14,
    CX_DYNCELL = 15,
    CX_TERM = 16,
    CX_WHILE = 17,
    CX_REPEAT = 18,
    CX_EXIT = 19,
    CX_PROGRAM = 20,
    CX_ROUTINE = 21,
    CX_JSR = 22,
    CX_SBR = 23,
    CX_RET = 24,
    CX_ELEM = 25,
};

// Operators (binop and unop `op`).
enum {
    CX_OP_ADD = 1,
    CX_OP_SUB = 2,
    CX_OP_MUL = 3,
    CX_OP_DIV = 4,
    CX_OP_GT = 5,
    CX_OP_LT = 6,
    CX_OP_GE = 7,
    CX_OP_LE = 8,
    CX_OP_EQ = 9,
    CX_OP_NE = 10,
    CX_OP_LAND = 11,
    CX_OP_LOR = 12,
    CX_OP_LNOT = 13,
    CX_OP_NEG = 14,
    CX_OP_MOD = 15,
    CX_OP_POW = 16,
    CX_OP_LXOR = 17,
    CX_OP_BAND = 18,
    CX_OP_BOR = 19,
    CX_OP_BXOR = 20,
    CX_OP_BNOT = 21,
};

// Instruction codes (`fn` of CX_INSTR).
enum { CX_TONR = 1, CX_TOFR = 2, CX_RTOR = 3, CX_CTUD = 4 };

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
