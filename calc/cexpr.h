#pragma once
// Structured Text dialect of the calculation engine: parser (syntax tree and
// static checks) and evaluator. The same code runs inside zqcalc and inside
// the server's engineering editor, so nothing here may crash or hang on a
// hostile program: every recursion is bounded by CX_MAX_DEPTH and loops by
// CX_LOOP_GUARD and CX_EXEC_BUDGET.

#include <cstddef>
#include <cstdint>

// CIP elementary type codes; 0 is untyped real.
enum {
    CX_T_REAL0 = 0,
    CX_T_BOOL = 0xC1,
    CX_T_SINT = 0xC2,
    CX_T_INT = 0xC3,
    CX_T_DINT = 0xC4,
    CX_T_LINT = 0xC5,
    CX_T_USINT = 0xC6,
    CX_T_UINT = 0xC7,
    CX_T_UDINT = 0xC8,
    CX_T_ULINT = 0xC9,
    CX_T_REAL = 0xCA,
    CX_T_LREAL = 0xCB,
};

// Structure kinds.
enum { CX_KIND_PLAIN = 0, CX_KIND_TIMER = 1, CX_KIND_COUNTER = 2, CX_KIND_USER = 16 };

constexpr int CX_MAX_DEPTH = 256;      // parser depth: expressions, blocks, chains
constexpr int CX_LOOP_GUARD = 100000;  // rounds of one loop per execution
// Loop rounds of one whole execution (nested loops would otherwise multiply
// the guard into hours); prescan elements have the same budget.
constexpr int64_t CX_EXEC_BUDGET = 10 * int64_t{CX_LOOP_GUARD};
constexpr int CX_MAX_CALL_DEPTH = 25;  // nested JSR
constexpr int CX_MAX_IO = 40;          // JSR inputs / returns, SBR parameters
constexpr int CX_STRUCT_LEN = 13;      // cells of FBD_TIMER and FBD_COUNTER
constexpr int CX_NAME_MAX = 63;        // identifiers keep this many characters
// Channel numbers A<n>/D<n> stop below the index space the engine's host
// reserves for its pseudo-names (999998, 999999) and variable cells
// (1000000 and up), so a channel can never alias a variable.
constexpr int CX_CHAN_MAX = 999997;
constexpr int CX_VAR_BASE = 1000000;

// A parsed expression or program. Its layout is private to the library
// (calc/cexpr_tree.h); callers hold it by pointer and free it with cx_free.
struct cx_node;

// Descriptors for host slots 3 and 4.
struct cx_data_desc {
    int base;
    int ndim;
    int dim[3];
    int kind;
    int type;
};
// Fills the host answers about a declared array or structured variable from
// a host's own record (fields base, ndim, dim[3], kind); every host keeps
// one, so the answers are built once here.
template <class Var>
void cx_fill_array_info(const Var *v, int *base, int dim[3], int *ndim) {
    *base = CX_VAR_BASE + v->base;
    for (int i = 0; i < 3; i++)
        dim[i] = v->dim[i];
    *ndim = v->ndim;
}
template <class Var>
void cx_fill_data_desc(const Var *v, cx_data_desc *out) {
    cx_fill_array_info(v, &out->base, out->dim, &out->ndim);
    out->kind = v->kind;
    out->type = 0;
}
struct cx_member_desc {
    int offset;
    int type;
    int kind;
    int ndim;
};

// Host table: absent slots mean "not found". Every slot returns 0 when found.
struct cx_host {
    int (*resolve)(void *user, const char *name, int *is_discrete, int *index);
    int (*array_info)(void *user, const char *name, int *base, int dim[3], int *ndim);
    int (*data_lookup)(void *user, const char *name, int *base, int *kind);
    int (*data_info)(void *user, const char *name, cx_data_desc *out);
    int (*member_info)(void *user, int kind, const char *member, cx_member_desc *out);
    int (*struct_len)(void *user, int kind);
    int (*type_of)(void *user, int is_discrete, int index);
};

// ---- parsing ----

// A routine given as its own text (the editor keeps one text per routine).
struct cx_segment {
    const char *name;  // routine name
    const char *text;
};

// What cx_load reads and where it reports. Zero-initialise, fill the
// inputs, and read the outputs after the call; one record per call, so
// that several threads can load programs at once.
struct cx_load_opts {
    // inputs
    const cx_host *host;  // name lookups; null: channels A<n>/D<n> only
    void *user;           // passed to every host slot
    // 0: a program when the text looks like one (cx_looks_stmt), else an
    // expression; 1: always a program. Segments make it a program too.
    int program;
    const char *main_name;   // name of the main routine (no JSR to it, no routine of that name)
    const cx_segment *segs;  // routines in texts of their own: segment i + 1 is segs[i]
    int nsegs;
    char *err;  // message on failure, cut to errsz; may be null
    size_t errsz;
    // outputs: where the error is; all 0 after success
    int line;     // 1-based line within the segment
    int col;      // 1-based column in characters; 0 when the error concerns a whole statement
    int segment;  // 0 the main text, i + 1 segs[i]
};

// Parses an expression or a program (main text plus routine segments) and
// runs the program checks. Returns the tree (free with cx_free), or null
// with the message in opts->err and its position in the outputs. opts may
// be null: no host, no message.
cx_node *cx_load(const char *text, cx_load_opts *opts);

// cx_load of a text with a host; *line receives the error line (0 after
// success).
cx_node *cx_parse_host(const char *text, const cx_host *host, void *user, char *err, size_t errsz,
                       int *line);
// cx_load of a program with its routine segments; *pos receives -1 after
// success, else the error's line << 32 | segment.
cx_node *cx_parse_program(const char *main_text, const char *main_name, const cx_segment *segs,
                          int nsegs, const cx_host *host, void *user, char *err, size_t errsz,
                          int64_t *pos);

void cx_free(cx_node *root);

int cx_is_keyword(const char *word);
int cx_is_stmt(const cx_node *root);
int cx_looks_stmt(const char *text);
int cx_comment_len(const char *start, const char *pos, int *unclosed);

// ---- checks for the configuration loader ----
int cx_if2_misplaced(const cx_node *root);
int cx_if2_misplaced_loc(const cx_node *root, int *segment, int *line);
int cx_stateful_in_loop(const cx_node *root);
int cx_stateful_in_loop_loc(const cx_node *root, int *segment, int *line);
// Bit profile callback: 0 = allowed with highest bit, width and signedness.
typedef int (*cx_bit_profile_fn)(void *user, int is_discrete, int index, int *max_bit, int *width,
                                 int *is_signed);
int cx_bit_assign_check(cx_node *root, cx_bit_profile_fn profile, void *user, int *reason,
                        int *max_bit);
int cx_bit_assign_check_loc(cx_node *root, cx_bit_profile_fn profile, void *user, int *reason,
                            int *max_bit, int *segment, int *line);

// ---- inspection ----
int cx_collect_tags(const cx_node *root, int *out, int cap);
int cx_collect_assigns(const cx_node *root, int *out, int cap);
int cx_collect_periods(const cx_node *root);
int cx_routine_count(const cx_node *root);
const char *cx_routine_name(const cx_node *root, int i);
int cx_routine_used(const cx_node *root, int i);
int cx_call_depth(const cx_node *root);

// ---- structures ----
int cx_struct_len(int kind);
int cx_struct_type(const char *name);
const char *cx_struct_name(int kind);
int cx_struct_member(int kind, const char *member);  // cell index, -1 unknown or internal
int cx_struct_member_info(int kind, int cell, const char **name, int *type, int *internal);
double cx_struct_default(int kind, int cell);

// Function table.
const char *cx_fn_name(int fn);
inline bool cx_fn_stateful(int fn) {
    return fn >= 8 && fn <= 23;
}
// Period class of a stateful function: 0 shift, 1 day, 2 decade, -1 none (lpf).
int cx_fn_period_class(int fn);

// ---- execution ----
struct cx_val {
    int bad;
    double v;
};
typedef int (*cx_read_fn)(void *user, int is_discrete, int index, double *out);
typedef void (*cx_write_fn)(void *wctx, int is_discrete, int index, int bad, double value);

// Tick context slots.
enum {
    CX_TICK_NOW = 0,
    CX_TICK_DT = 1,
    CX_TICK_START = 2,  // + period class
    CX_TICK_LEN = 5,    // + period class
    CX_TICK_MONO = 8,
    CX_TICK_SLOTS = 9,
};

cx_val cx_eval(cx_node *root, cx_read_fn read, void *user);
cx_val cx_eval_tick(cx_node *root, cx_read_fn read, void *user, const int64_t *tick);
cx_val cx_eval_root(cx_node *root, cx_read_fn read, void *user, const int64_t *tick, int *skip);
int cx_exec_tick(cx_node *root, cx_read_fn read, void *user, const int64_t *tick, cx_write_fn write,
                 void *wctx);

struct cx_state_rec {
    char fn[16];
    int64_t pstart_ms;
    double acc;
    double acc2;
    int64_t t_ms;
    int inited;
};
int cx_state_count(const cx_node *root);
int cx_state_get(const cx_node *root, int i, cx_state_rec *rec);
int cx_state_set(cx_node *root, int i, const cx_state_rec *rec);

// Integer conversions shared with the hosts: round half away from zero with
// a range check first; false for NaN or a value outside [lo, hi].
bool cx_round_to_i64(double v, int64_t lo, int64_t hi, int64_t *out);
// Wrap a signed 64-bit pattern into a CIP type (two's complement).
double cx_ty_fold(int64_t v, int type);
