#pragma once
// Parser internals shared by the calc/cexpr_*.cpp files that make up the
// Structured Text parser: the parser state, the cursor and error helpers,
// the tables and the entry points of each part. Nothing outside calc/
// includes this header.

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "calc/cexpr.h"
#include "calc/cexpr_tree.h"

namespace cxp {

// ---------------------------------------------------------------- characters

inline bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
inline bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
inline bool is_alpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
inline bool is_id_start(char c) {
    return is_alpha(c) || c == '_';
}
inline bool is_id_char(char c) {
    return is_alpha(c) || is_digit(c) || c == '_';
}
// First letter of a channel name A<n> / D<n>.
inline bool is_chan_letter(char c) {
    return c == 'A' || c == 'a' || c == 'D' || c == 'd';
}
inline char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

int digit_val(char c);
// Case-insensitive equality.
bool ieq(const char *a, const char *b);
// Reads an identifier at s into out (first 63 characters); returns the
// number of characters it spans.
size_t read_ident(const char *s, char out[CX_NAME_MAX + 1]);
// Word at s equals kw (lower case; s in any case) and is not followed by an
// identifier character.
bool at_word(const char *s, const char *kw);

// ---------------------------------------------------------------- tables

struct fn_def {
    const char *name;
    int code, amin, amax;
};
const fn_def *fn_lookup(const char *name);
int instr_code(const char *name);  // CX_TONR.., 0 when not an instruction

struct member_def {
    const char *name;
    int type;
    double def;
    int internal;
};
// Member table of FBD_TIMER or FBD_COUNTER (CX_STRUCT_LEN entries), else null.
const member_def *members_of(int kind);

// ---------------------------------------------------------------- parser state

struct op_tok;

struct p_routine {
    char name[CX_NAME_MAX + 1];
    cx_node *node;
};

struct cx_parser {
    const char *s;      // cursor
    const char *start;  // start of the current segment's text
    const cx_host *host;
    void *user;
    char *err;
    size_t errsz;
    int has_err;
    int err_line;
    int err_col;
    int err_seg;
    int depth;
    int loop_depth;
    int cur_routine;
    int segment;
    const char *main_name;
    std::vector<p_routine> routines;
    // lower-case name -> routine number: a program with thousands of
    // routines must not cost quadratic time in the editor
    std::unordered_map<std::string, int> routine_index;
    std::vector<cx_node *> jsrs;
    cx_node *alloc;  // every node of this parse
    // prefix operators (NOT, unary minus) waiting for their operand; each
    // holds a depth level, so no more than CX_MAX_DEPTH wait at once
    const op_tok *prefix[CX_MAX_DEPTH];
    int nprefix;
    const char *ws_end;  // skip_ws stopped here last: no blank or comment follows
    // line cache: line number of position lpos
    const char *lpos;
    int lno;
};

// ---------------------------------------------------------------- cursor and errors

int cur_line(cx_parser *p, const char *at);
inline int line_here(cx_parser *p) {
    return cur_line(p, p->s);
}
// Error at the cursor: message plus up to 16 bytes of the text there.
void perr(cx_parser *p, const char *msg);
// Error of a whole node (program checks): message alone with its line.
void perr_line(cx_parser *p, const char *msg, int line, int segment);

// New node on the parse's allocation list; null after an error.
cx_node *nn(cx_parser *p, int kind);
void node_free_one(cx_node *n);

// One more nesting level; false (error set) past CX_MAX_DEPTH.
bool dep_in(cx_parser *p, const char *msg);
extern const char *const kDeepExpr;
extern const char *const kDeepBlock;

// Skips white space and comments; false after an error. Every operator
// level asks again at the same place, so where it stopped is kept.
bool skip_ws_at(cx_parser *p);
inline bool skip_ws(cx_parser *p) {
    if (p->has_err) return false;
    return p->s == p->ws_end || skip_ws_at(p);
}
bool accept_kw(cx_parser *p, const char *kw);
bool accept(cx_parser *p, const char *tok);
bool expect_kw(cx_parser *p, const char *kw, const char *msg);
bool expect_kw2(cx_parser *p, const char *kw1, const char *kw2, const char *msg);
// Position after blanks and tabs (no comments): for "NAME (" tests.
const char *after_blanks(const char *q);
const char *after_ws(const char *q);

// ---------------------------------------------------------------- literals

extern const char *const kBadLiteral;
// Based literal (2#..., 8#..., 16#...) at s: 1 with its value, type and
// end, 0 when s holds none, -1 after an error (bad digit, over 64 bits).
int p_based(cx_parser *p, const char *s, const char **end, double *v, int *type);
// Decimal number in the C locale, whatever the process's locale is.
double c_strtod(const char *s, char **end);
cx_node *p_number(cx_parser *p);

// ---------------------------------------------------------------- expressions

cx_node *p_expr(cx_parser *p);

enum { SEL_VALUE, SEL_TIMER, SEL_COUNTER };
// Data variable known to host slot 3 (or slot 2)?
bool data_var(cx_parser *p, const char *name, cx_data_desc *dd);
// Selection on a data variable: any number of [i, j, k] and .member
// selectors. Returns a kind 1 or kind 15 node (mode SEL_VALUE) or a
// kind 12 skeleton with base and index terms (instruction modes).
cx_node *p_select(cx_parser *p, const cx_data_desc *dd, int mode);
int host_type(cx_parser *p, int isd, int index);
// Scalar name: channel form or host slot 0.
bool resolve_scalar(cx_parser *p, const char *name, int *isd, int *index);
// Bit suffix of an assignment target; -1 none, -2 error, else the bit.
int p_bit_target(cx_parser *p, bool discrete);
// A[expr] / D[expr] after the bracket at `bracket`; a target may not
// carry a bit suffix.
cx_node *p_indirect(cx_parser *p, const char *bracket, bool discrete, bool target);
// Element of a plain array variable (host slot 1) after the bracket at
// `bracket`: a CX_ARRAY node with its indices, not folded yet.
cx_node *p_array_elem(cx_parser *p, const char *name, const char *bracket);
// Turns an array element with constant in-range indices into a plain
// reference; false when it stays dynamic.
bool fold_array(cx_node *n);

// ---------------------------------------------------------------- statements

cx_node *p_stmt_list(cx_parser *p, bool allow_empty);
cx_node *p_target(cx_parser *p);
// Name of a routine at s (len characters) is usable; error set otherwise.
bool routine_name_ok(cx_parser *p, const char *s, size_t len, int line);
cx_node *add_routine(cx_parser *p, const char *name, int line);
cx_node *find_routine(cx_parser *p, const char *name);
// Main text: statement lists and routine definitions.
bool p_main(cx_parser *p, cx_node **head, cx_node **tail);

// ---------------------------------------------------------------- program checks

bool has_stateful(const cx_node *n);
// Runs the program checks; returns the root (program node or main list).
cx_node *program_checks(cx_parser *p, cx_node *main_body);

}  // namespace cxp
