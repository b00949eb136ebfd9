// Structured Text parser driver: loading a program (main text and routine
// segments) or an expression, freeing the nodes of a failed parse, and
// freeing trees.
//
// All nodes of one parse are threaded on an allocation list, so an error
// simply frees that list; on success the nodes that did not end up in the
// tree are freed the same way. Every recursion is bounded by one depth
// counter.

#include <cstdint>
#include <new>

#include "calc/cexpr_parse_int.h"

namespace cxp {
namespace {

void parser_init(cx_parser *p, const char *text, const cx_host *host, void *user, char *err,
                 size_t errsz) {
    p->s = p->start = text;
    p->host = host;
    p->user = user;
    p->err = err;
    p->errsz = errsz;
    p->cur_routine = -1;
    if (err && errsz) err[0] = 0;
}

// Frees every node of a failed parse, or the nodes a successful parse
// left out of its tree.
cx_node *parser_finish(cx_parser *p, cx_node *root) {
    if (p->has_err) root = nullptr;
    if (root) {
        auto mark = [](cx_node *x) {
            x->mark = 1;
            return true;
        };
        cx_walk_mut(root, mark);
    }
    cx_node *n = p->alloc;
    while (n) {
        cx_node *nx = n->alink;
        n->alink = nullptr;
        if (!n->mark)
            node_free_one(n);
        else
            n->mark = 0;
        n = nx;
    }
    p->alloc = nullptr;
    return root;
}

// Routines given as separate texts: segment i + 1 is the routine segs[i].
bool load_segments(cx_parser *p, const cx_segment *segs, int nsegs) {
    for (int i = 0; segs && i < nsegs; i++) {
        const char *text = segs[i].text ? segs[i].text : "";
        const char *name = segs[i].name ? segs[i].name : "";
        p->s = p->start = text;
        p->lpos = nullptr;
        p->segment = i + 1;
        size_t len = 0;
        while (is_id_char(name[len]))
            len++;
        if (!is_id_start(name[0]) || name[len]) {
            perr_line(p, "невірне ім'я рутини", 1, p->segment);
            return false;
        }
        if (!routine_name_ok(p, name, len, 1)) return false;
        cx_node *r = add_routine(p, name, 1);
        if (!r) return false;
        p->cur_routine = r->index;
        p->loop_depth = 0;
        r->child = p_stmt_list(p, true);
        if (!p->has_err && skip_ws(p) && *p->s)
            perr(p, at_word(p->s, "routine") ? "вкладених визначень рутин немає" : "зайвий текст");
        p->cur_routine = -1;
        if (p->has_err) return false;
    }
    return true;
}

cx_node *load_program(cx_parser *p, const cx_load_opts *o) {
    cx_node *head = nullptr, *tail = nullptr;
    if (!p_main(p, &head, &tail) || !load_segments(p, o->segs, o->nsegs)) return nullptr;
    if (!head && p->routines.empty()) {
        perr(p, "порожній блок операторів");
        return nullptr;
    }
    return program_checks(p, head);
}

cx_node *load_expr(cx_parser *p) {
    cx_node *root = p_expr(p);
    if (root && skip_ws(p) && *p->s) perr(p, "зайвий текст після виразу");
    return root;
}

}  // namespace
}  // namespace cxp

using namespace cxp;

cx_node *cx_load(const char *text, cx_load_opts *opts) {
    cx_load_opts none{};
    cx_load_opts *o = opts ? opts : &none;
    if (!text) text = "";
    cx_parser p{};
    parser_init(&p, text, o->host, o->user, o->err, o->errsz);
    p.main_name = o->main_name;
    cx_node *root = nullptr;
    try {
        bool program = o->program || (o->segs && o->nsegs > 0) || cx_looks_stmt(text);
        root = program ? load_program(&p, o) : load_expr(&p);
    } catch (const std::bad_alloc &) {
        perr(&p, "OOM");
    }
    root = parser_finish(&p, root);
    o->line = root ? 0 : p.err_line;
    o->col = root ? 0 : p.err_col;
    o->segment = root ? 0 : p.err_seg;
    return root;
}

cx_node *cx_parse_host(const char *text, const cx_host *host, void *user, char *err, size_t errsz,
                       int *line) {
    cx_load_opts o{};
    o.host = host;
    o.user = user;
    o.err = err;
    o.errsz = errsz;
    cx_node *root = cx_load(text, &o);
    if (line) *line = o.line;
    return root;
}

cx_node *cx_parse_program(const char *main_text, const char *main_name, const cx_segment *segs,
                          int nsegs, const cx_host *host, void *user, char *err, size_t errsz,
                          int64_t *pos) {
    cx_load_opts o{};
    o.host = host;
    o.user = user;
    o.program = 1;
    o.main_name = main_name;
    o.segs = segs;
    o.nsegs = nsegs;
    o.err = err;
    o.errsz = errsz;
    cx_node *root = cx_load(main_text, &o);
    if (pos)
        *pos = root ? -1
                    : (static_cast<int64_t>(o.line) << 32 |
                       static_cast<int64_t>(static_cast<uint32_t>(o.segment)));
    return root;
}

void cx_free(cx_node *root) {
    // Iterative: each node pushes the nodes it owns on a list threaded
    // through `alink`, so even a degenerate tree frees without recursion.
    cx_node *stack = root;
    if (root) root->alink = nullptr;
    while (stack) {
        cx_node *n = stack;
        stack = n->alink;
        cx_node *owned[6] = {n->child, n->next, n->args[0], n->args[1], n->args[2], n->args[3]};
        for (cx_node *c : owned)
            if (c) {
                c->alink = stack;
                stack = c;
            }
        node_free_one(n);
    }
}

int cx_is_stmt(const cx_node *root) {
    if (!root) return 0;
    switch (root->kind) {
        case CX_ASSIGN:
        case CX_LIST:
        case CX_IF:
        case CX_FOR:
        case CX_INSTR:
        case CX_CASE:
        case CX_WHILE:
        case CX_REPEAT:
        case CX_PROGRAM:
        case CX_JSR:
        case CX_SBR:
        case CX_RET:
            return 1;
        default:
            return 0;
    }
}
