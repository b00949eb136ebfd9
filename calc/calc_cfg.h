#pragma once
// Configuration of the calculation engine: the calc section of config.yaml
// (settings, own tags, shift calendar, schedules) and the program file
// calc.st (a VAR block of variables laid out as numbered cells, then the
// Structured Text program). Everything lives in one calc_cfg record owned
// by the caller and messages are collected in it instead of being logged,
// so the server can check posted programs on several threads at once.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "calc/calc_period.h"
#include "calc/cexpr.h"
#include "common/json.h"

constexpr int CALC_MAX_CELLS = 1 << 20;      // cells of all variables together
constexpr size_t CALC_MAX_TEXT = 16u << 20;  // program text
constexpr int CALC_SHIFT_NO = 999999;        // pseudo-channel: crew number
constexpr int CALC_SHIFT_INDEX = 999998;     // pseudo-channel: shift index
constexpr int CALC_MAX_ORDER = 64;           // shift_order entries
constexpr size_t CALC_MAX_DECL_NAMES = 64;   // names of one declaration

struct cx_tree_free {
    void operator()(cx_node *n) const { cx_free(n); }
};
using cx_tree = std::unique_ptr<cx_node, cx_tree_free>;

// A message of a load: line 0 when it does not concern a line of calc.st.
struct calc_msg {
    int line;
    bool error;
    std::string text;
};

// A database channel this engine owns and writes.
struct calc_tag {
    int isd = 0;
    int ch = 0;
    std::string name;
    int type = 0;   // CIP code
    int typed = 0;  // the type was written explicitly
    // Value and quality captured at the last save or read from the state file.
    double rem_v = 0;
    int rem_q = 0;
    int has_rem = 0;
};

struct calc_var {
    std::string name;
    int type = CX_T_LREAL;  // element type; 0 for structures
    int is_array = 0;
    int ndim = 0;
    int dim[3] = {0, 0, 0};
    int cells = 0;
    int base = 0;
    int kind = CX_KIND_PLAIN;
};

struct calc_prog {
    int id = 1;
    std::string name = "st";
    int enabled = 1;
    std::string text;  // with the VAR block blanked
    cx_tree root;
    // Per-program values carried through the state file.
    int64_t run_pstart_ms = 0;
    double last_val = 0;
    int last_bad = 1, has_last = 0;
    double prev_val = 0;
    int prev_bad = 1, has_prev_val = 0;
};

struct calc_field {
    std::string col;  // at most 31 characters
    int isd = 0;
    int index = 0;
};

enum { CALC_ACT_SET = 0, CALC_ACT_REPORT = 1 };

struct calc_sched {
    std::string key;  // the entry's text, to keep its mark across reloads
    std::string cron_text;
    cron_t cron{};
    int action = CALC_ACT_REPORT;
    // set
    int t_isd = 0, t_index = 0;
    cx_tree value;
    // report
    std::string name, topic, file;
    int csv = 0, daily = 0, qos = 0, retain = 0;
    std::vector<calc_field> fields;
    // firing: the last mark seen, none before the first tick
    bool has_mark = false;
    bool mark_none = true;
    int64_t mark = 0;
};

struct calc_cfg {
    std::string dir = "./calc";
    int takt_ms = 1000;
    int stale_ms = 10000;
    std::string shm_name;
    std::string spool_dir;
    calc_period_cfg pc;
    std::vector<int> shift_order;
    std::vector<calc_tag> tags;
    std::unique_ptr<calc_prog> prog;  // the calc.st program, when loaded
    std::vector<calc_var> vars;
    int ncells = 0;
    std::vector<double> init;  // per cell, NaN = no initializer
    std::vector<calc_sched> scheds;
    std::unordered_map<std::string, int> tag_by_name;  // index in tags
    std::unordered_map<std::string, int> var_by_name;  // index in vars
    std::vector<calc_msg> msgs;                        // of the loads so far
    json_ptr doc;  // config.yaml as read, for the schedules (they name variables)
};

// ---- config.yaml ----

// Resets to defaults and reads config.yaml (text variant: its content). 0,
// or -1 when it cannot be read or parsed. Schedules may name variables of
// calc.st, so they are built by calc_items_load and calc_cfg_reload_hot.
int calc_cfg_load(calc_cfg *cfg, const char *path);
int calc_cfg_load_text(calc_cfg *cfg, const char *yaml_text);
// Re-reads takt_ms, stale_ms, the shift settings, the spool directory and the
// schedules; schedules whose text is unchanged keep their firing marks.
int calc_cfg_reload_hot(calc_cfg *cfg, const char *path);
// The same without the schedules, for a caller that reloads calc.st next
// (calc_items_load builds them).
int calc_cfg_reload_settings(calc_cfg *cfg, const char *path);

// ---- calc.st ----

// Frees the program and the variables, then calc_st_load. 1 a program was
// loaded (or the file holds no statements), 0 no file, -1 error.
int calc_items_load(calc_cfg *cfg);
int calc_st_load(calc_cfg *cfg);
// Declarations plus program from a text (blanked in place). 0 or -1 with the
// message in err and its line in *line. validate: stricter declaration rules.
int calc_st_parse_text(char *text, calc_cfg *cfg, cx_tree *out, int validate, char *err,
                       size_t errsz, int *line, int *col = nullptr);
// Renames <dir>/calc.st.import over calc.st; 1 when it did.
int calc_apply_import(calc_cfg *cfg);

// Result of checking a program text against a configuration.
struct calc_check_result {
    int ok = 0;
    int line = 0;  // of the error
    int col = 0;   // its column in characters, 0 when it concerns a whole statement
    std::string error;
    std::vector<calc_msg> msgs;  // warnings of the configuration and the declarations
    int nvars = 0, ncells = 0, nstate = 0;
};
// Checks a program text against the configuration config.yaml at cfg_path
// (null: defaults) in validation mode. Re-entrant. 0 valid, -1 otherwise.
int calc_st_check(const char *text, size_t len, const char *cfg_path, calc_check_result *res);
// The classic form: message and line of the error.
int calc_st_validate(const char *text, const char *cfg_path, char *err, size_t errsz, int *line);

// ---- names and types ----

// Host table over a calc_cfg (user = the calc_cfg).
extern const cx_host calc_host_table;
// A report field or schedule target: upper-case A<n>/D<n> or a name. 0 or -1.
int calc_resolve_target(const calc_cfg *cfg, const char *name, int *isd, int *index);
// Type keyword for a slot: *err 0 ok, 1 unknown, 2 wrong slot (default type then).
int calc_vtype_from_kw(const char *word, int isd, int *err);
int calc_vtype_any(const char *word);
const char *vtype_short(int code);
// Highest bit, width and signedness for a bit assignment to a cell or own tag.
int calc_bit_profile(void *cfg, int isd, int index, int *max_bit, int *width, int *is_signed);
// Variable of a cell (index from 0), null when none.
const calc_var *calc_var_of_cell(const calc_cfg *cfg, int cell);
const calc_tag *calc_tag_of(const calc_cfg *cfg, int isd, int ch);
