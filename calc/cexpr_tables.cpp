// Tables of the Structured Text dialect: keywords, functions, instructions
// and the members of the built-in structures.

#include "calc/cexpr_parse_int.h"

namespace cxp {
namespace {

const char *const kKeywords[] = {
    "if",      "then",  "else",       "elif",        "elsif",  "fi",    "end_if",    "for",
    "to",      "by",    "do",         "end_for",     "endfor", "while", "end_while", "endwhile",
    "repeat",  "until", "end_repeat", "endrepeat",   "exit",   "case",  "of",        "end_case",
    "endcase", "and",   "or",         "xor",         "not",    "mod",   "var",       "end_var",
    "true",    "false", "routine",    "end_routine",
};

const fn_def kFns[] = {
    {"abs", 1, 1, 1},          {"min", 2, 2, 4},
    {"max", 3, 2, 4},          {"clamp", 4, 3, 3},
    {"if", 5, 2, 3},           {"round", 6, 1, 2},
    {"sqrt", 7, 1, 1},         {"sum_shift", 8, 1, 2},
    {"sum_day", 9, 1, 2},      {"sum_decade", 10, 1, 2},
    {"avg_shift", 11, 1, 1},   {"avg_day", 12, 1, 1},
    {"avg_decade", 13, 1, 1},  {"lpf", 14, 2, 2},
    {"cnt_shift", 15, 1, 1},   {"cnt_day", 16, 1, 1},
    {"cnt_decade", 17, 1, 1},  {"rhythm_shift", 18, 1, 1},
    {"rhythm_day", 19, 1, 1},  {"rhythm_decade", 20, 1, 1},
    {"prev_shift", 21, 1, 1},  {"prev_day", 22, 1, 1},
    {"prev_decade", 23, 1, 1}, {"year", 24, 0, 0},
    {"month", 25, 0, 0},       {"day", 26, 0, 0},
    {"hour", 27, 0, 0},        {"minute", 28, 0, 0},
    {"second", 29, 0, 0},      {"dow", 30, 0, 0},
    {"now_unix", 31, 0, 0},    {"isgood", 32, 1, 1},
    {"isbad", 33, 1, 1},       {"default", 34, 2, 2},
    {"sin", 35, 1, 1},         {"cos", 36, 1, 1},
    {"tan", 37, 1, 1},         {"asin", 38, 1, 1},
    {"acos", 39, 1, 1},        {"atan", 40, 1, 1},
    {"exp", 41, 1, 1},         {"ln", 42, 1, 1},
    {"log", 43, 1, 1},         {"sgn", 44, 1, 1},
    {"frac", 45, 1, 1},        {"trunc", 46, 1, 1},
    {"floor", 47, 1, 1},       {"ceil", 48, 1, 1},
    {"sqr", 49, 1, 1},         {"msec", 50, 0, 0},
    {"deg", 51, 1, 1},         {"rad", 52, 1, 1},
};

const member_def kTimer[CX_STRUCT_LEN] = {
    {"EnableIn", CX_T_BOOL, 1, 0},
    {"TimerEnable", CX_T_BOOL, 0, 0},
    {"PRE", CX_T_DINT, 0, 0},
    {"Reset", CX_T_BOOL, 0, 0},
    {"EnableOut", CX_T_BOOL, 0, 0},
    {"ACC", CX_T_DINT, 0, 0},
    {"EN", CX_T_BOOL, 0, 0},
    {"TT", CX_T_BOOL, 0, 0},
    {"DN", CX_T_BOOL, 0, 0},
    {"Status", CX_T_DINT, 0, 0},
    {"InstructFault", CX_T_BOOL, 0, 0},
    {"PresetInv", CX_T_BOOL, 0, 0},
    {"_T", CX_T_LREAL, 0, 1},
};
const member_def kCounter[CX_STRUCT_LEN] = {
    {"EnableIn", CX_T_BOOL, 1, 0}, {"CUEnable", CX_T_BOOL, 0, 0}, {"CDEnable", CX_T_BOOL, 0, 0},
    {"PRE", CX_T_DINT, 0, 0},      {"Reset", CX_T_BOOL, 0, 0},    {"EnableOut", CX_T_BOOL, 0, 0},
    {"ACC", CX_T_DINT, 0, 0},      {"CU", CX_T_BOOL, 0, 0},       {"CD", CX_T_BOOL, 0, 0},
    {"DN", CX_T_BOOL, 0, 0},       {"OV", CX_T_BOOL, 0, 0},       {"UN", CX_T_BOOL, 0, 0},
    {"_P", CX_T_BOOL, 0, 1},
};

}  // namespace

const fn_def *fn_lookup(const char *name) {
    for (const fn_def &f : kFns)
        if (ieq(name, f.name)) return &f;
    return nullptr;
}

int instr_code(const char *name) {
    if (ieq(name, "TONR")) return CX_TONR;
    if (ieq(name, "TOFR")) return CX_TOFR;
    if (ieq(name, "RTOR")) return CX_RTOR;
    if (ieq(name, "CTUD")) return CX_CTUD;
    return 0;
}

const member_def *members_of(int kind) {
    return kind == CX_KIND_TIMER ? kTimer : kind == CX_KIND_COUNTER ? kCounter : nullptr;
}

}  // namespace cxp

using namespace cxp;

int cx_is_keyword(const char *word) {
    if (!word) return 0;
    for (const char *k : kKeywords)
        if (ieq(word, k)) return 1;
    return 0;
}

int cx_struct_len(int kind) {
    return (kind == CX_KIND_TIMER || kind == CX_KIND_COUNTER) ? CX_STRUCT_LEN : 0;
}
int cx_struct_type(const char *name) {
    if (!name) return 0;
    if (ieq(name, "fbd_timer")) return CX_KIND_TIMER;
    if (ieq(name, "fbd_counter")) return CX_KIND_COUNTER;
    return 0;
}
const char *cx_struct_name(int kind) {
    return kind == CX_KIND_TIMER ? "FBD_TIMER" : kind == CX_KIND_COUNTER ? "FBD_COUNTER" : "?";
}
int cx_struct_member(int kind, const char *member) {
    const member_def *m = members_of(kind);
    if (!m || !member) return -1;
    for (int i = 0; i < CX_STRUCT_LEN; i++)
        if (!m[i].internal && ieq(member, m[i].name)) return i;
    return -1;
}
int cx_struct_member_info(int kind, int cell, const char **name, int *type, int *internal) {
    const member_def *m = members_of(kind);
    if (!m || cell < 0 || cell >= CX_STRUCT_LEN) return -1;
    if (name) *name = m[cell].name;
    if (type) *type = m[cell].type;
    if (internal) *internal = m[cell].internal;
    return 0;
}
double cx_struct_default(int kind, int cell) {
    const member_def *m = members_of(kind);
    if (!m || cell < 0 || cell >= CX_STRUCT_LEN) return 0;
    return m[cell].def;
}

const char *cx_fn_name(int fn) {
    for (const fn_def &f : kFns)
        if (f.code == fn) return f.name;
    return "?";
}

int cx_fn_period_class(int fn) {
    if (fn >= 8 && fn <= 13) return (fn - 8) % 3;
    if (fn >= 15 && fn <= 23) return (fn - 15) % 3;
    return -1;
}
