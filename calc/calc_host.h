#pragma once
// In-memory host for Structured Text programs: channels A<n>/D<n> and
// declared variables laid out in cells from CX_VAR_BASE the way the
// engine's host lays them out, the host slots the parser asks, the read and
// write callbacks the evaluator calls, and a tick clock. zqst, the tests
// and the benchmark run programs against it; one host serves one thread.

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "calc/calc_period.h"
#include "calc/cexpr.h"

// Cells of all declared variables together.
constexpr int CALC_HOST_MAX_CELLS = 1 << 20;

struct calc_host_var {
    std::string name;
    int type;  // CX_T_* of a plain variable, 0 for structures
    int kind;  // CX_KIND_PLAIN, CX_KIND_TIMER or CX_KIND_COUNTER
    int ndim;  // 0 scalar, else 1..3 dimensions in dim
    int dim[3];
    int base;   // first cell
    int cells;  // number of cells
};

struct calc_host_cell {
    double v;
    uint8_t known;  // a channel has been stored (even as bad)
    uint8_t good;
};

struct calc_host {
    std::vector<calc_host_var> vars;
    std::vector<calc_host_cell> cells;  // variable cells, index CX_VAR_BASE + i
    // Channels by number: low numbers in a table, the rest in a map.
    std::vector<calc_host_cell> chan[2];  // [is_discrete]
    std::map<int, calc_host_cell> chan_far[2];
    // Channels in the order a program write first stored them.
    std::vector<std::pair<int, int>> created;  // (is_discrete, number)
    int writes = 0;                            // write callbacks so far
    int64_t tick[CX_TICK_SLOTS] = {};
    calc_period_cfg pc;
    // Last calc_host_parse: message, line and column of its error.
    char err[512] = "";
    int line = 0, col = 0;
};

// ---- variables ----

// Declares a variable: type is a CX_T_* code for a plain variable (kind
// CX_KIND_PLAIN), ignored for FBD_TIMER/FBD_COUNTER; ndim 0..3 sizes in
// dim. Cells start good, at 0 or the structure's defaults. 0, or -1 for a
// bad or taken name, a bad size, or no room.
int calc_host_add_var(calc_host *h, const char *name, int type, int kind, int ndim, const int *dim);
// Declares a variable from NAME[N{,N}]:TYPE (TYPE BOOL, SINT, INT, DINT,
// LINT, USINT, UINT, UDINT, ULINT, REAL, LREAL, FBD_TIMER or FBD_COUNTER,
// default LREAL). 0 or -1.
int calc_host_declare(calc_host *h, const char *decl);
const calc_host_var *calc_host_find(const calc_host *h, const char *name);

// ---- host slots and callbacks (user = the calc_host) ----

// The parser's host table over these slots.
extern const cx_host calc_host_slots;
int calc_host_resolve(void *user, const char *name, int *is_discrete, int *index);
int calc_host_array_info(void *user, const char *name, int *base, int dim[3], int *ndim);
int calc_host_data_info(void *user, const char *name, cx_data_desc *out);
int calc_host_type_of(void *user, int is_discrete, int index);
// cx_read_fn: 0 with the value of a good cell; -1 for a bad, absent or
// unknown one.
int calc_host_read(void *user, int is_discrete, int index, double *out);
// cx_write_fn: a program's write; stores like calc_host_store, counts the
// write and notes a channel it stores first in `created`.
void calc_host_write(void *user, int is_discrete, int index, int bad, double value);

// ---- cells ----

// Stores like the engine stores its own tags: a value that is bad or not
// finite is kept as bad, a discrete value as a byte (rounded, 0..255).
// Channel numbers are 1..CX_CHAN_MAX; anything else is ignored.
void calc_host_store(calc_host *h, int is_discrete, int index, int bad, double value);
// Cell of a name that denotes one: A<n>, D<n>, a variable, arr[2], t.PRE,
// ts[1].ACC. 0 or -1.
int calc_host_lookup(const calc_host *h, const char *name, int *is_discrete, int *index);
// Value of a named cell; NaN when it is bad, absent or not a cell.
double calc_host_value(const calc_host *h, const char *name);
// Stores a good value (bad: a bad one) into a named cell. 0 or -1.
int calc_host_set(calc_host *h, const char *name, double value, int bad = 0);
// Name of a cell for output: A5, D3, x, arr[1,2], ts[0].DN; "?" for a
// variable cell nothing was declared at.
std::string calc_host_cell_name(const calc_host *h, int is_discrete, int index);

// ---- programs ----

// Load options with this host's slots and error buffer filled in.
cx_load_opts calc_host_opts(calc_host *h);
// Loads a program or an expression; on failure the message, line and
// column are in h->err, h->line and h->col.
cx_node *calc_host_parse(calc_host *h, const char *text);
// Sets the tick clock to now_ms with the given dt and fills the periods.
void calc_host_at(calc_host *h, int64_t now_ms, int64_t dt_ms);
// Runs a program at the current tick.
int calc_host_run(calc_host *h, cx_node *root);
// Evaluates an expression, at the current tick or with no tick.
cx_val calc_host_eval(calc_host *h, cx_node *root, bool with_tick);
// Local wall-clock time (the process's time zone) to milliseconds since
// 1970, as mktime reads it; INT64_MIN when mktime cannot.
int64_t calc_host_local_ms(int year, int month, int day, int hour, int minute, int second = 0);
