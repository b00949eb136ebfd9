// Lexer and recursive-descent parser of the Structured Text dialect.
//
// The parser reads the NUL-terminated text directly (no token stream). All
// nodes of one parse are threaded on an allocation list, so an error simply
// frees that list; on success the nodes that did not end up in the tree are
// freed the same way. Every recursion is bounded by one depth counter.

#include <locale.h>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "calc/cexpr.h"
#include "calc/cexpr_tree.h"

namespace {

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
inline char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

int digit_val(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ieq(const char *a, const char *b) {
    for (; *a && *b; a++, b++)
        if (lower(*a) != lower(*b)) return false;
    return *a == *b;
}

// Reads an identifier at s into out (first 63 characters); returns the
// number of characters it spans.
size_t read_ident(const char *s, char out[CX_NAME_MAX + 1]) {
    size_t n = 0;
    while (is_id_char(s[n])) {
        if (n < CX_NAME_MAX) out[n] = s[n];
        n++;
    }
    out[n < CX_NAME_MAX ? n : CX_NAME_MAX] = 0;
    return n;
}

// Word at s equals kw (case-insensitive) and is not followed by an
// identifier character.
bool at_word(const char *s, const char *kw) {
    size_t i = 0;
    for (; kw[i]; i++)
        if (lower(s[i]) != kw[i]) return false;
    return !is_id_char(s[i]);
}

const char *const kKeywords[] = {
    "if",      "then",  "else",       "elif",        "elsif",  "fi",    "end_if",    "for",
    "to",      "by",    "do",         "end_for",     "endfor", "while", "end_while", "endwhile",
    "repeat",  "until", "end_repeat", "endrepeat",   "exit",   "case",  "of",        "end_case",
    "endcase", "and",   "or",         "xor",         "not",    "mod",   "var",       "end_var",
    "true",    "false", "routine",    "end_routine",
};

const char *const kListStops[] = {
    "elif",       "elsif",     "else",    "fi",          "end_if",   "end_for",
    "endfor",     "end_case",  "endcase", "end_while",   "endwhile", "until",
    "end_repeat", "endrepeat", "routine", "end_routine",
};

struct fn_def {
    const char *name;
    int code, amin, amax;
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

// ---------------------------------------------------------------- types

bool ty_int(int t) {
    return t >= CX_T_SINT && t <= CX_T_ULINT;
}
int ty_width(int t) {
    switch (t) {
        case CX_T_SINT:
        case CX_T_USINT:
            return 8;
        case CX_T_INT:
        case CX_T_UINT:
            return 16;
        case CX_T_DINT:
        case CX_T_UDINT:
            return 32;
        default:
            return 64;
    }
}
bool ty_signed(int t) {
    return t >= CX_T_SINT && t <= CX_T_LINT;
}
int ty_common(int a, int b) {
    int wa = ty_width(a), wb = ty_width(b);
    if (wa != wb) return wa > wb ? a : b;
    return ty_signed(a) ? a : b;
}

// ---------------------------------------------------------------- structures

struct member_def {
    const char *name;
    int type;
    double def;
    int internal;
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
const member_def *members_of(int kind) {
    return kind == CX_KIND_TIMER ? kTimer : kind == CX_KIND_COUNTER ? kCounter : nullptr;
}

// ---------------------------------------------------------------- parser state

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
    // line cache: line number of position lpos
    const char *lpos;
    int lno;
};

int cur_line(cx_parser *p, const char *at) {
    if (at < p->lpos || !p->lpos) {
        p->lpos = p->start;
        p->lno = 1;
    }
    for (const char *q = p->lpos; q < at && *q; q++)
        if (*q == '\n') p->lno++;
    p->lpos = at;
    return p->lno;
}

void set_err(cx_parser *p, const char *msg) {
    if (p->err && p->errsz) snprintf(p->err, p->errsz, "%s", msg);
}

// Error at the cursor: message plus up to 16 bytes of the text there.
void perr(cx_parser *p, const char *msg) {
    if (p->has_err) return;
    p->has_err = 1;
    p->err_seg = p->segment;
    p->err_line = cur_line(p, p->s);
    const char *ls = p->s;
    while (ls > p->start && ls[-1] != '\n')
        ls--;
    int col = 1;
    for (const char *q = ls; q < p->s; q++)
        if ((static_cast<unsigned char>(*q) & 0xC0) != 0x80) col++;
    p->err_col = col;
    if (!p->err || !p->errsz) return;
    if (!*p->s) {
        snprintf(p->err, p->errsz, "%s біля «кінець виразу»", msg);
        return;
    }
    size_t n = strnlen(p->s, 17);
    bool cut = n > 16;
    if (cut) {
        n = 16;
        // do not split a UTF-8 sequence
        while (n > 0 && (static_cast<unsigned char>(p->s[n]) & 0xC0) == 0x80)
            n--;
    }
    snprintf(p->err, p->errsz, "%s біля «%.*s%s»", msg, static_cast<int>(n), p->s, cut ? "…" : "");
}

// Error of a whole node (program checks): message alone with its line.
void perr_line(cx_parser *p, const char *msg, int line, int segment) {
    if (p->has_err) return;
    p->has_err = 1;
    p->err_line = line < 1 ? 1 : line;
    p->err_col = 0;
    p->err_seg = segment;
    set_err(p, msg);
}

cx_node *nn(cx_parser *p, int kind) {
    if (p->has_err) return nullptr;
    cx_node *n = static_cast<cx_node *>(calloc(1, sizeof(cx_node)));
    if (!n) {
        perr(p, "OOM");
        return nullptr;
    }
    n->kind = kind;
    n->segment = p->segment;
    n->alink = p->alloc;
    p->alloc = n;
    return n;
}

void node_free_one(cx_node *n) {
    free(n->name);
    free(n->ranges);
    free(n);
}

bool dep_in(cx_parser *p, const char *msg) {
    if (++p->depth > CX_MAX_DEPTH) {
        perr(p, msg);
        return false;
    }
    return true;
}

const char *const kDeepExpr = "вираз надто глибоко вкладений";
const char *const kDeepBlock = "блок надто глибоко вкладений";

// Skips white space and comments; false after an error.
bool skip_ws(cx_parser *p) {
    if (p->has_err) return false;
    for (;;) {
        while (is_space(*p->s))
            p->s++;
        int unclosed = 0;
        int n = cx_comment_len(p->start, p->s, &unclosed);
        if (n == 0) return true;
        if (unclosed) {
            perr(p, "незакритий коментар");
            return false;
        }
        p->s += n;
    }
}

bool accept_kw(cx_parser *p, const char *kw) {
    if (!skip_ws(p)) return false;
    if (!at_word(p->s, kw)) return false;
    p->s += strlen(kw);
    return true;
}

bool accept(cx_parser *p, const char *tok) {
    if (!skip_ws(p)) return false;
    size_t n = strlen(tok);
    if (strncmp(p->s, tok, n) != 0) return false;
    p->s += n;
    return true;
}

bool expect_kw(cx_parser *p, const char *kw, const char *msg) {
    if (accept_kw(p, kw)) return true;
    perr(p, msg);
    return false;
}

bool expect_kw2(cx_parser *p, const char *kw1, const char *kw2, const char *msg) {
    if (accept_kw(p, kw1) || (!p->has_err && accept_kw(p, kw2))) return true;
    perr(p, msg);
    return false;
}

// Position after blanks and tabs (no comments): for "NAME (" tests.
const char *after_blanks(const char *q) {
    while (*q == ' ' || *q == '\t')
        q++;
    return q;
}
const char *after_ws(const char *q) {
    while (is_space(*q))
        q++;
    return q;
}

locale_t c_locale() {
    static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

// ---------------------------------------------------------------- literals

const char *const kBadLiteral = "невірний літерал (цифра не з основи або понад 64 біти)";

// Base of a based literal starting at s ("2#", "8#", "16#" plus a valid
// digit), 0 otherwise; *digits receives the first digit's position.
int based_prefix(const char *s, const char **digits) {
    int base = 0;
    const char *h = nullptr;
    if (s[0] == '2' && s[1] == '#')
        base = 2, h = s + 2;
    else if (s[0] == '8' && s[1] == '#')
        base = 8, h = s + 2;
    else if (s[0] == '1' && s[1] == '6' && s[2] == '#')
        base = 16, h = s + 3;
    if (!base) return 0;
    int d = digit_val(*h);
    if (d < 0 || d >= base) return 0;
    *digits = h;
    return base;
}

// Reads a based literal; false on a bad digit or 64-bit overflow.
bool read_based(const char *h, int base, const char **end, uint64_t *val) {
    uint64_t acc = 0;
    const char *q = h;
    for (;;) {
        int d = digit_val(*q);
        if (d >= 0 && d < base) {
            if (acc > (UINT64_MAX - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base))
                return false;
            acc = acc * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
            q++;
            continue;
        }
        if (*q == '_') {
            while (*q == '_')
                q++;
            int d2 = digit_val(*q);
            if (d2 < 0 || d2 >= base) return false;
            continue;
        }
        break;
    }
    if (is_id_char(*q)) return false;
    *end = q;
    *val = acc;
    return true;
}

void based_value(uint64_t acc, double *v, int *type) {
    if (acc < (1ULL << 32)) {
        *v = static_cast<double>(static_cast<int32_t>(static_cast<uint32_t>(acc)));
        *type = CX_T_DINT;
    } else {
        *v = static_cast<double>(static_cast<int64_t>(acc));
        *type = CX_T_LINT;
    }
}

cx_node *p_number(cx_parser *p) {
    const char *s = p->s;
    const char *h = nullptr;
    double v = 0;
    int type = 0;
    int base = based_prefix(s, &h);
    if (base) {
        const char *end = nullptr;
        uint64_t acc = 0;
        if (!read_based(h, base, &end, &acc)) {
            perr(p, kBadLiteral);
            return nullptr;
        }
        based_value(acc, &v, &type);
        p->s = end;
    } else {
        char *end = nullptr;
        v = strtod_l(s, &end, c_locale());
        if (end == s) {
            perr(p, "очікувалось число, тег або '('");
            return nullptr;
        }
        bool digits = true;
        for (const char *q = s; q < end; q++)
            if (!is_digit(*q)) digits = false;
        if (digits && v <= 2147483647.0)
            type = CX_T_DINT;
        else if (digits && v < 9223372036854775808.0)
            type = CX_T_LINT;
        p->s = end;
    }
    cx_node *n = nn(p, CX_LIT);
    if (!n) return nullptr;
    n->value = v;
    n->type = static_cast<uint8_t>(type);
    return n;
}

// ---------------------------------------------------------------- expressions

cx_node *p_expr(cx_parser *p);
cx_node *p_target(cx_parser *p);

cx_node *mk_bin(cx_parser *p, int op, cx_node *l, cx_node *r) {
    cx_node *n = nn(p, CX_BINOP);
    if (!n) return nullptr;
    n->child = l;
    n->next = r;
    bool both_int = ty_int(l->type) && ty_int(r->type);
    switch (op) {
        case CX_OP_LOR:
            op = both_int ? CX_OP_BOR : op;
            break;
        case CX_OP_LXOR:
            op = both_int ? CX_OP_BXOR : op;
            break;
        case CX_OP_LAND:
            op = both_int ? CX_OP_BAND : op;
            break;
        default:
            break;
    }
    n->op = op;
    switch (op) {
        case CX_OP_DIV:
        case CX_OP_POW:
            n->type = 0;
            break;
        case CX_OP_ADD:
        case CX_OP_SUB:
        case CX_OP_MUL:
        case CX_OP_MOD:
            n->type = both_int ? static_cast<uint8_t>(ty_common(l->type, r->type)) : 0;
            break;
        case CX_OP_BAND:
        case CX_OP_BOR:
        case CX_OP_BXOR:
            n->type = static_cast<uint8_t>(ty_common(l->type, r->type));
            break;
        default:
            n->type = CX_T_BOOL;
            break;
    }
    return n;
}

cx_node *mk_neg(cx_parser *p, cx_node *x) {
    if (x->kind == CX_LIT) {  // fold so that constant indices and labels stay literal
        x->value = -x->value;
        return x;
    }
    cx_node *n = nn(p, CX_UNOP);
    if (!n) return nullptr;
    n->op = CX_OP_NEG;
    n->child = x;
    n->type = ty_int(x->type) ? x->type : 0;
    return n;
}

// Optional bit suffix right after a reference.
cx_node *p_bit_expr(cx_parser *p, cx_node *ref, bool discrete) {
    if (*p->s != '.') return ref;
    const char *q = p->s + 1;
    if (!is_digit(*q)) {
        p->s = q;
        perr(p, "після '.' очікується номер біта");
        return nullptr;
    }
    int bit = 0;
    while (is_digit(*q)) {
        if (bit < 1000) bit = bit * 10 + (*q - '0');
        q++;
    }
    if (is_id_char(*q) || *q == '.') {
        perr(p, "невірний номер біта");
        return nullptr;
    }
    if (discrete && bit > 7) {
        perr(p, "номер біта дискрета 0..7");
        return nullptr;
    }
    if (bit > 63) {
        perr(p, "номер біта 0..63");
        return nullptr;
    }
    p->s = q;
    cx_node *n = nn(p, CX_BIT);
    if (!n) return nullptr;
    n->child = ref;
    n->bit = bit;
    n->type = CX_T_BOOL;
    return n;
}

// Bit suffix of an assignment target; -1 none, -2 error, else the bit.
int p_bit_target(cx_parser *p, bool discrete) {
    if (*p->s != '.') return -1;
    const char *q = p->s + 1;
    if (!is_digit(*q)) {
        p->s = q;
        perr(p, "після '.' очікується номер біта");
        return -2;
    }
    int bit = 0;
    while (is_digit(*q)) {
        if (bit < 1000) bit = bit * 10 + (*q - '0');
        q++;
    }
    if (is_id_char(*q) || *q == '.') {
        perr(p, "невірний номер біта");
        return -2;
    }
    if (discrete && bit > 7) {
        perr(p, "номер біта дискрета 0..7");
        return -2;
    }
    if (bit > 63) {
        perr(p, "номер біта 0..63");
        return -2;
    }
    p->s = q;
    return bit;
}

// Data variable known to host slot 3 (or slot 2)?
bool data_var(cx_parser *p, const char *name, cx_data_desc *dd) {
    if (!p->host) return false;
    memset(dd, 0, sizeof(*dd));
    if (p->host->data_info && p->host->data_info(p->user, name, dd) == 0) {
        if (dd->ndim < 0 || dd->ndim > 3) return false;
        return true;
    }
    int base = 0, kind = 0;
    if (p->host->data_lookup && p->host->data_lookup(p->user, name, &base, &kind) == 0) {
        memset(dd, 0, sizeof(*dd));
        dd->base = base;
        dd->kind = kind;
        return true;
    }
    return false;
}

int elem_len(cx_parser *p, int kind) {
    if (kind == CX_KIND_PLAIN) return 1;
    if (kind == CX_KIND_TIMER || kind == CX_KIND_COUNTER) return CX_STRUCT_LEN;
    if (kind >= CX_KIND_USER && p->host && p->host->struct_len) {
        int n = p->host->struct_len(p->user, kind);
        if (n > 0) return n;
    }
    return 0;
}

enum { SEL_VALUE, SEL_TIMER, SEL_COUNTER };

// Selection on a data variable: any number of [i, j, k] and .member
// selectors. Returns a kind 1 or kind 15 node (mode SEL_VALUE) or a
// kind 12 skeleton with base and index terms (instruction modes).
cx_node *p_select(cx_parser *p, const cx_data_desc *dd, int mode) {
    int kind = dd->kind, ndim = dd->ndim, type = dd->type;
    int dims[3] = {dd->dim[0], dd->dim[1], dd->dim[2]};
    int64_t base = dd->base;
    cx_node *terms = nullptr, *tail = nullptr;
    for (int nsel = 0;; nsel++) {
        const char *q = after_ws(p->s);
        bool idx = *q == '[';
        bool mem = *p->s == '.' && is_id_start(p->s[1]);
        if (!idx && !mem) break;
        if (nsel >= CX_MAX_DEPTH) {
            perr(p, kDeepExpr);
            return nullptr;
        }
        if (idx) {
            p->s = q + 1;
            if (ndim <= 0) {
                perr(p, "невірна кількість індексів масиву");
                return nullptr;
            }
            int el = elem_len(p, kind);
            if (el <= 0) {
                perr(p, "невідома довжина типу структури");
                return nullptr;
            }
            cx_node *ix[3] = {};
            int cnt = 0;
            for (;;) {
                if (cnt >= ndim) {
                    perr(p, "невірна кількість індексів масиву");
                    return nullptr;
                }
                if (!dep_in(p, kDeepExpr)) return nullptr;
                ix[cnt] = p_expr(p);
                p->depth--;
                if (!ix[cnt]) return nullptr;
                cnt++;
                if (accept(p, ",")) continue;
                if (p->has_err) return nullptr;
                break;
            }
            if (!accept(p, "]")) {
                perr(p, "очікувалась ']'");
                return nullptr;
            }
            if (cnt != ndim) {
                perr(p, "невірна кількість індексів масиву");
                return nullptr;
            }
            for (int i = 0; i < cnt; i++) {
                int64_t stride = el;
                for (int j = i + 1; j < ndim; j++) {
                    stride *= dims[j] > 0 ? dims[j] : 1;
                    if (stride > INT32_MAX) stride = INT32_MAX;
                }
                if (ix[i]->kind == CX_LIT) {
                    int64_t k = 0;
                    if (!cx_round_to_i64(ix[i]->value, 0, dims[i] - 1, &k)) {
                        perr(p, "індекс поза межами масиву");
                        return nullptr;
                    }
                    base += k * stride;  // < 2^62: the selector's check below holds it
                    if (base > INT32_MAX) {
                        perr(p, "індекс поза межами масиву");
                        return nullptr;
                    }
                } else {
                    cx_node *t = nn(p, CX_TERM);
                    if (!t) return nullptr;
                    t->child = ix[i];
                    t->stride = static_cast<int>(stride);
                    t->bound = dims[i];
                    if (tail)
                        tail->next = t;
                    else
                        terms = t;
                    tail = t;
                }
            }
            ndim = 0;
        } else {
            if (ndim > 0) {
                perr(p, "масив — вкажи індекс");
                return nullptr;
            }
            p->s++;
            char mname[CX_NAME_MAX + 1];
            const char *m0 = p->s;
            size_t ml = read_ident(p->s, mname);
            if (kind == CX_KIND_TIMER || kind == CX_KIND_COUNTER) {
                int cell = cx_struct_member(kind, mname);
                if (cell < 0) {
                    p->s = m0;
                    perr(p, kind == CX_KIND_TIMER ? "невідомий член FBD_TIMER"
                                                  : "невідомий член FBD_COUNTER");
                    return nullptr;
                }
                base += cell;
                type = members_of(kind)[cell].type;
                kind = CX_KIND_PLAIN;
            } else {
                cx_member_desc md{};
                if (kind < CX_KIND_USER || !p->host || !p->host->member_info ||
                    p->host->member_info(p->user, kind, mname, &md) != 0 || md.ndim != 0 ||
                    md.offset < 0) {
                    p->s = m0;
                    perr(p, "невідомий член структури");
                    return nullptr;
                }
                base += md.offset;
                type = md.type;
                kind = md.kind;
            }
            p->s += ml;
        }
        if (base < 0 || base > INT32_MAX) {
            perr(p, "індекс поза межами масиву");
            return nullptr;
        }
    }
    if (mode == SEL_TIMER || mode == SEL_COUNTER) {
        int want = mode == SEL_TIMER ? CX_KIND_TIMER : CX_KIND_COUNTER;
        if (ndim > 0 || kind != want) {
            perr(p, mode == SEL_TIMER ? "аргумент — структура FBD_TIMER"
                                      : "аргумент — структура FBD_COUNTER");
            return nullptr;
        }
        cx_node *n = nn(p, CX_INSTR);
        if (!n) return nullptr;
        n->index = static_cast<int>(base);
        n->next = terms;
        return n;
    }
    if (ndim > 0) {
        perr(p, "масив — вкажи індекс");
        return nullptr;
    }
    if (kind == CX_KIND_TIMER) {
        perr(p, "FBD_TIMER — вкажи член (напр. t.DN)");
        return nullptr;
    }
    if (kind == CX_KIND_COUNTER) {
        perr(p, "FBD_COUNTER — вкажи член (напр. c.ACC)");
        return nullptr;
    }
    if (kind != CX_KIND_PLAIN) {
        perr(p, "структура — вкажи член (напр. m.Speed)");
        return nullptr;
    }
    cx_node *n = nn(p, terms ? CX_DYNCELL : CX_REF);
    if (!n) return nullptr;
    n->index = static_cast<int>(base);
    n->child = terms;
    n->type = static_cast<uint8_t>(type);
    return n;
}

int host_type(cx_parser *p, int isd, int index) {
    if (p->host && p->host->type_of) {
        int t = p->host->type_of(p->user, isd, index);
        if (t >= 0 && t <= 255) return t;
    }
    return 0;
}

// A<n> / D<n> as a whole identifier; -1 when the name is not of that form,
// -2 when the number is out of range.
int chan_name(const char *name, int *isd) {
    char c = name[0];
    if (c != 'A' && c != 'a' && c != 'D' && c != 'd') return -1;
    if (!name[1]) return -1;
    int64_t v = 0;
    for (const char *q = name + 1; *q; q++) {
        if (!is_digit(*q)) return -1;
        if (v <= CX_CHAN_MAX) v = v * 10 + (*q - '0');
    }
    *isd = (c == 'D' || c == 'd');
    return v > CX_CHAN_MAX ? -2 : static_cast<int>(v);
}

// Scalar name: channel form or host slot 0.
bool resolve_scalar(cx_parser *p, const char *name, int *isd, int *index) {
    int r = chan_name(name, isd);
    if (r >= 0) {
        *index = r;
        return true;
    }
    if (r == -2) return false;
    if (p->host && p->host->resolve && p->host->resolve(p->user, name, isd, index) == 0) {
        *isd = *isd ? 1 : 0;
        return true;
    }
    return false;
}

// Index list of a plain array variable (host slot 1): [i {, i}].
bool p_array_indices(cx_parser *p, cx_node *n, int ndim) {
    int cnt = 0;
    for (;;) {
        if (cnt >= 3) {
            perr(p, "забагато індексів масиву");
            return false;
        }
        if (!dep_in(p, kDeepExpr)) return false;
        cx_node *e = p_expr(p);
        p->depth--;
        if (!e) return false;
        n->args[cnt++] = e;
        if (accept(p, ",")) continue;
        if (p->has_err) return false;
        break;
    }
    if (!accept(p, "]")) {
        perr(p, "очікувалась ']'");
        return false;
    }
    if (cnt != ndim) {
        perr(p, "невірна кількість індексів масиву");
        return false;
    }
    n->nargs = cnt;
    return true;
}

// An element of a plain array with constant indices inside the bounds is a
// plain reference: no index arithmetic on every tick. Out-of-range constants
// stay dynamic so that they read as bad, as they would at run time.
bool fold_array(cx_node *n) {
    int64_t off = 0;
    for (int i = 0; i < n->nargs; i++) {
        int64_t k = 0;
        if (n->args[i]->kind != CX_LIT ||
            !cx_round_to_i64(n->args[i]->value, 0, n->dim_len[i] - 1, &k))
            return false;
        int64_t stride = 1;
        for (int j = i + 1; j < n->nargs && stride <= INT32_MAX; j++)
            stride *= n->dim_len[j];
        if (stride > INT32_MAX) return false;
        off += k * stride;
        if (off > INT32_MAX) return false;
    }
    if (static_cast<int64_t>(n->index) + off > INT32_MAX) return false;
    n->kind = CX_REF;
    n->index = static_cast<int>(n->index + off);
    for (int i = 0; i < 4; i++)
        n->args[i] = nullptr;  // freed with the parse's leftovers
    n->nargs = 0;
    return true;
}

cx_node *p_call(cx_parser *p, const char *name, const char *name_pos, const char *paren) {
    const fn_def *f = fn_lookup(name);
    if (!f) {
        p->s = name_pos;
        perr(p, instr_code(name) ? "інструкція — окремий оператор, напр. TONR(t);"
                                 : "невідома функція");
        return nullptr;
    }
    p->s = paren + 1;
    if (!dep_in(p, kDeepExpr)) return nullptr;
    cx_node *n = nn(p, CX_CALL);
    if (!n) return nullptr;
    n->fn = f->code;
    if (!skip_ws(p)) return nullptr;
    if (*p->s == ')') {
        p->s++;
    } else {
        for (;;) {
            if (n->nargs >= 4) {
                perr(p, "забагато аргументів");
                return nullptr;
            }
            cx_node *a = p_expr(p);
            if (!a) return nullptr;
            n->args[n->nargs++] = a;
            if (accept(p, ",")) continue;
            if (p->has_err) return nullptr;
            if (accept(p, ")")) break;
            if (!p->has_err) perr(p, "очікувалась ')'");
            return nullptr;
        }
    }
    p->depth--;
    if (n->nargs < f->amin || n->nargs > f->amax) {
        p->s = name_pos;
        perr(p, "неправильна кількість аргументів");
        return nullptr;
    }
    return n;
}

cx_node *p_primary(cx_parser *p) {
    if (!skip_ws(p)) return nullptr;
    char c = *p->s;
    if (c == '(') {
        p->s++;
        if (!dep_in(p, kDeepExpr)) return nullptr;
        cx_node *n = p_expr(p);
        p->depth--;
        if (!n) return nullptr;
        if (!accept(p, ")")) {
            perr(p, "очікувалась ')'");
            return nullptr;
        }
        return n;
    }
    if (is_digit(c) || (c == '.' && is_digit(p->s[1]))) return p_number(p);
    if (!is_id_start(c)) {
        perr(p, "очікувалось число, тег або '('");
        return nullptr;
    }
    char name[CX_NAME_MAX + 1];
    const char *id0 = p->s;
    size_t len = read_ident(p->s, name);
    const char *after = p->s + len;
    cx_data_desc dd;
    if (data_var(p, name, &dd)) {
        p->s = after;
        cx_node *r = p_select(p, &dd, SEL_VALUE);
        return r ? p_bit_expr(p, r, false) : nullptr;
    }
    const char *q = after_ws(after);
    if (*q == '(') return p_call(p, name, id0, q);
    if (*q == '[' && len == 1 && (c == 'A' || c == 'a' || c == 'D' || c == 'd')) {
        p->s = q + 1;
        if (!dep_in(p, kDeepExpr)) return nullptr;
        cx_node *e = p_expr(p);
        p->depth--;
        if (!e) return nullptr;
        if (!accept(p, "]")) {
            perr(p, "очікувалась ']'");
            return nullptr;
        }
        cx_node *n = nn(p, CX_INDIRECT);
        if (!n) return nullptr;
        n->is_discrete = (c == 'D' || c == 'd');
        n->args[0] = e;
        n->nargs = 1;
        return p_bit_expr(p, n, n->is_discrete);
    }
    if (*q == '[') {
        int base = 0, dim[3] = {0, 0, 0}, ndim = 0;
        if (!p->host || !p->host->array_info ||
            p->host->array_info(p->user, name, &base, dim, &ndim) != 0 || ndim < 1 || ndim > 3) {
            perr(p, "індексація дозволена лише для VAR-масиву");
            return nullptr;
        }
        p->s = q + 1;
        cx_node *n = nn(p, CX_ARRAY);
        if (!n) return nullptr;
        n->index = base;
        for (int i = 0; i < 3; i++)
            n->dim_len[i] = dim[i];
        if (!p_array_indices(p, n, ndim)) return nullptr;
        n->type = static_cast<uint8_t>(host_type(p, 0, base));
        fold_array(n);
        return p_bit_expr(p, n, false);
    }
    if (at_word(id0, "true") || at_word(id0, "false")) {
        p->s = after;
        cx_node *n = nn(p, CX_LIT);
        if (!n) return nullptr;
        n->value = lower(c) == 't' ? 1 : 0;
        n->type = CX_T_BOOL;
        return n;
    }
    if (cx_is_keyword(name)) {
        perr(p, "очікувався вираз, а не ключове слово");
        return nullptr;
    }
    int isd = 0, index = 0;
    if (!resolve_scalar(p, name, &isd, &index)) {
        perr(p, "невідомий тег/ім'я");
        return nullptr;
    }
    p->s = after;
    cx_node *n = nn(p, CX_REF);
    if (!n) return nullptr;
    n->is_discrete = isd;
    n->index = index;
    n->type = static_cast<uint8_t>(host_type(p, isd, index));
    return p_bit_expr(p, n, isd);
}

// Level 9: ** chains; the right operand may carry prefix minus signs.
cx_node *p_pow(cx_parser *p) {
    cx_node *l = p_primary(p);
    if (!l) return nullptr;
    int saved = p->depth;
    for (;;) {
        if (!skip_ws(p)) return nullptr;
        if (!(p->s[0] == '*' && p->s[1] == '*')) break;
        p->s += 2;
        if (!dep_in(p, kDeepExpr)) return nullptr;
        int nneg = 0;
        for (;;) {
            if (!skip_ws(p)) return nullptr;
            if (*p->s != '-') break;
            p->s++;
            nneg++;
            if (!dep_in(p, kDeepExpr)) return nullptr;
        }
        cx_node *r = p_primary(p);
        if (!r) return nullptr;
        for (int i = 0; i < nneg; i++)
            if (!(r = mk_neg(p, r))) return nullptr;
        if (!(l = mk_bin(p, CX_OP_POW, l, r))) return nullptr;
    }
    p->depth = saved;
    return l;
}

// Level 8: prefix minus.
cx_node *p_neg(cx_parser *p) {
    if (!skip_ws(p)) return nullptr;
    if (*p->s != '-') return p_pow(p);
    p->s++;
    if (!dep_in(p, kDeepExpr)) return nullptr;
    cx_node *x = p_neg(p);
    p->depth--;
    return x ? mk_neg(p, x) : nullptr;
}

// Level 7: * / MOD.
cx_node *p_mul(cx_parser *p) {
    cx_node *l = p_neg(p);
    if (!l) return nullptr;
    int saved = p->depth;
    for (;;) {
        if (!skip_ws(p)) return nullptr;
        int op = 0;
        if (p->s[0] == '*' && p->s[1] != '*')
            op = CX_OP_MUL, p->s++;
        else if (p->s[0] == '/')
            op = CX_OP_DIV, p->s++;
        else if (at_word(p->s, "mod"))
            op = CX_OP_MOD, p->s += 3;
        else
            break;
        if (!dep_in(p, kDeepExpr)) return nullptr;
        cx_node *r = p_neg(p);
        if (!r || !(l = mk_bin(p, op, l, r))) return nullptr;
    }
    p->depth = saved;
    return l;
}

// Level 6: + -.
cx_node *p_add(cx_parser *p) {
    cx_node *l = p_mul(p);
    if (!l) return nullptr;
    int saved = p->depth;
    for (;;) {
        if (!skip_ws(p)) return nullptr;
        int op = 0;
        if (*p->s == '+')
            op = CX_OP_ADD;
        else if (*p->s == '-')
            op = CX_OP_SUB;
        else
            break;
        p->s++;
        if (!dep_in(p, kDeepExpr)) return nullptr;
        cx_node *r = p_mul(p);
        if (!r || !(l = mk_bin(p, op, l, r))) return nullptr;
    }
    p->depth = saved;
    return l;
}

// Level 5: one comparison at most.
cx_node *p_cmp(cx_parser *p) {
    cx_node *l = p_add(p);
    if (!l) return nullptr;
    if (!skip_ws(p)) return nullptr;
    int op = 0;
    const char *s = p->s;
    if (s[0] == '>' && s[1] == '=')
        op = CX_OP_GE, p->s += 2;
    else if (s[0] == '<' && s[1] == '=')
        op = CX_OP_LE, p->s += 2;
    else if (s[0] == '>')
        op = CX_OP_GT, p->s++;
    else if (s[0] == '<' && s[1] != '>')
        op = CX_OP_LT, p->s++;
    if (!op) return l;
    if (!dep_in(p, kDeepExpr)) return nullptr;
    cx_node *r = p_add(p);
    p->depth--;
    return r ? mk_bin(p, op, l, r) : nullptr;
}

// Level 4': equality chain.
cx_node *p_eq(cx_parser *p) {
    cx_node *l = p_cmp(p);
    if (!l) return nullptr;
    int saved = p->depth;
    for (;;) {
        if (!skip_ws(p)) return nullptr;
        const char *s = p->s;
        int op = 0;
        if (s[0] == '=' && s[1] == '=')
            op = CX_OP_EQ, p->s += 2;
        else if (s[0] == '!' && s[1] == '=')
            op = CX_OP_NE, p->s += 2;
        else if (s[0] == '<' && s[1] == '>')
            op = CX_OP_NE, p->s += 2;
        else if (s[0] == '=')
            op = CX_OP_EQ, p->s++;
        else
            break;
        if (!dep_in(p, kDeepExpr)) return nullptr;
        cx_node *r = p_cmp(p);
        if (!r || !(l = mk_bin(p, op, l, r))) return nullptr;
    }
    p->depth = saved;
    return l;
}

// Level 4: prefix NOT / !.
cx_node *p_not(cx_parser *p) {
    if (!skip_ws(p)) return nullptr;
    bool bang = p->s[0] == '!' && p->s[1] != '=';
    bool word = !bang && at_word(p->s, "not");
    if (!bang && !word) return p_eq(p);
    p->s += bang ? 1 : 3;
    if (!dep_in(p, kDeepExpr)) return nullptr;
    cx_node *x = p_not(p);
    p->depth--;
    if (!x) return nullptr;
    cx_node *n = nn(p, CX_UNOP);
    if (!n) return nullptr;
    n->child = x;
    if (word && ty_int(x->type)) {
        n->op = CX_OP_BNOT;
        n->type = x->type;
    } else {
        n->op = CX_OP_LNOT;
        n->type = CX_T_BOOL;
    }
    return n;
}

// Levels 3, 2, 1.
cx_node *p_and(cx_parser *p) {
    cx_node *l = p_not(p);
    if (!l) return nullptr;
    int saved = p->depth;
    for (;;) {
        if (!skip_ws(p)) return nullptr;
        if (p->s[0] == '&' && p->s[1] == '&') {
            p->s += 2;
            if (!dep_in(p, kDeepExpr)) return nullptr;
            cx_node *r = p_not(p);
            if (!r) return nullptr;
            // always logical
            cx_node *n = mk_bin(p, CX_OP_LOR, l, r);
            if (!n) return nullptr;
            n->op = CX_OP_LAND;
            n->type = CX_T_BOOL;
            l = n;
            continue;
        }
        if (p->s[0] == '&')
            p->s++;
        else if (at_word(p->s, "and"))
            p->s += 3;
        else
            break;
        if (!dep_in(p, kDeepExpr)) return nullptr;
        cx_node *r = p_not(p);
        if (!r || !(l = mk_bin(p, CX_OP_LAND, l, r))) return nullptr;
    }
    p->depth = saved;
    return l;
}

cx_node *p_xor(cx_parser *p) {
    cx_node *l = p_and(p);
    if (!l) return nullptr;
    int saved = p->depth;
    for (;;) {
        if (!skip_ws(p)) return nullptr;
        if (!at_word(p->s, "xor")) break;
        p->s += 3;
        if (!dep_in(p, kDeepExpr)) return nullptr;
        cx_node *r = p_and(p);
        if (!r || !(l = mk_bin(p, CX_OP_LXOR, l, r))) return nullptr;
    }
    p->depth = saved;
    return l;
}

cx_node *p_expr(cx_parser *p) {
    cx_node *l = p_xor(p);
    if (!l) return nullptr;
    int saved = p->depth;
    for (;;) {
        if (!skip_ws(p)) return nullptr;
        bool bars = p->s[0] == '|' && p->s[1] == '|';
        if (!bars && !at_word(p->s, "or")) break;
        p->s += 2;
        if (!dep_in(p, kDeepExpr)) return nullptr;
        cx_node *r = p_xor(p);
        if (!r || !(l = mk_bin(p, CX_OP_LOR, l, r))) return nullptr;
        if (bars) {
            l->op = CX_OP_LOR;
            l->type = CX_T_BOOL;
        }
    }
    p->depth = saved;
    return l;
}

// ---------------------------------------------------------------- statements

cx_node *p_stmt_list(cx_parser *p, bool allow_empty);

int line_here(cx_parser *p) {
    return cur_line(p, p->s);
}

// Assignment target: a kind 5 node with the target in is_discrete/index
// (static) or in args[0] (array element, dynamic cell, indirect channel).
cx_node *p_target(cx_parser *p) {
    if (!skip_ws(p)) return nullptr;
    int line = line_here(p);
    char c = *p->s;
    if (!is_id_start(c)) {
        perr(p, "очікувався приймач");
        return nullptr;
    }
    char name[CX_NAME_MAX + 1];
    const char *id0 = p->s;
    size_t len = read_ident(p->s, name);
    const char *after = p->s + len;
    cx_node *t = nn(p, CX_ASSIGN);
    if (!t) return nullptr;
    t->line = line;
    cx_data_desc dd;
    if (data_var(p, name, &dd)) {
        p->s = after;
        cx_node *r = p_select(p, &dd, SEL_VALUE);
        if (!r) return nullptr;
        t->index = r->index;
        t->type = r->type;
        if (r->kind == CX_DYNCELL) {
            t->args[0] = r;
            t->nargs = 1;
        }
        int bit = p_bit_target(p, false);
        if (bit == -2) return nullptr;
        if (bit >= 0) t->has_bit = 1, t->bit = bit;
        return t;
    }
    const char *q = after_ws(after);
    if (*q == '[' && len == 1 && (c == 'A' || c == 'a' || c == 'D' || c == 'd')) {
        p->s = q + 1;
        if (!dep_in(p, kDeepExpr)) return nullptr;
        cx_node *e = p_expr(p);
        p->depth--;
        if (!e) return nullptr;
        if (!accept(p, "]")) {
            perr(p, "очікувалась ']'");
            return nullptr;
        }
        if (*p->s == '.') {
            perr(p, "бітовий запис у A[вираз]/D[вираз] заборонено");
            return nullptr;
        }
        cx_node *n = nn(p, CX_INDIRECT);
        if (!n) return nullptr;
        n->is_discrete = (c == 'D' || c == 'd');
        n->args[0] = e;
        n->nargs = 1;
        t->is_discrete = n->is_discrete;
        t->index = -1;
        t->args[0] = n;
        t->nargs = 1;
        return t;
    }
    if (*q == '[') {
        int base = 0, dim[3] = {0, 0, 0}, ndim = 0;
        if (!p->host || !p->host->array_info ||
            p->host->array_info(p->user, name, &base, dim, &ndim) != 0 || ndim < 1 || ndim > 3) {
            perr(p, "індексація дозволена лише для VAR-масиву");
            return nullptr;
        }
        p->s = q + 1;
        cx_node *n = nn(p, CX_ARRAY);
        if (!n) return nullptr;
        n->index = base;
        for (int i = 0; i < 3; i++)
            n->dim_len[i] = dim[i];
        if (!p_array_indices(p, n, ndim)) return nullptr;
        n->type = static_cast<uint8_t>(host_type(p, 0, base));
        t->index = base;
        t->type = n->type;
        if (fold_array(n)) {
            t->index = n->index;
        } else {
            t->args[0] = n;
            t->nargs = 1;
        }
        int bit = p_bit_target(p, false);
        if (bit == -2) return nullptr;
        if (bit >= 0) t->has_bit = 1, t->bit = bit;
        return t;
    }
    int isd = 0, index = 0;
    if (!resolve_scalar(p, name, &isd, &index)) {
        p->s = id0;
        perr(p, "невідомий тег-приймач");
        return nullptr;
    }
    p->s = after;
    t->is_discrete = isd;
    t->index = index;
    t->type = static_cast<uint8_t>(host_type(p, isd, index));
    int bit = p_bit_target(p, isd);
    if (bit == -2) return nullptr;
    if (bit >= 0) t->has_bit = 1, t->bit = bit;
    return t;
}

cx_node *p_if(cx_parser *p, int line) {
    cx_node *cond = p_expr(p);
    if (!cond) return nullptr;
    if (!expect_kw(p, "then", "очікувалось 'then'")) return nullptr;
    cx_node *then_l = p_stmt_list(p, false);
    if (!then_l) return nullptr;
    cx_node *n = nn(p, CX_IF);
    if (!n) return nullptr;
    n->line = line;
    n->args[0] = cond;
    n->nargs = 1;
    n->child = then_l;
    cx_node *cur = n;
    int saved = p->depth;
    for (;;) {
        if (!skip_ws(p)) return nullptr;
        int l2 = line_here(p);
        if (accept_kw(p, "elsif") || (!p->has_err && accept_kw(p, "elif"))) {
            // the branch's own list needs one more level: report the chain, not the block
            if (p->depth + 2 > CX_MAX_DEPTH) {
                perr(p, "надто довгий elif-ланцюг");
                return nullptr;
            }
            p->depth++;
            cx_node *c2 = p_expr(p);
            if (!c2) return nullptr;
            if (!expect_kw(p, "then", "очікувалось 'then'")) return nullptr;
            cx_node *l = p_stmt_list(p, false);
            if (!l) return nullptr;
            cx_node *e = nn(p, CX_IF);
            if (!e) return nullptr;
            e->line = l2;
            e->args[0] = c2;
            e->nargs = 1;
            e->child = l;
            cur->next = e;
            cur = e;
            continue;
        }
        if (p->has_err) return nullptr;
        if (accept_kw(p, "else")) {
            cx_node *l = p_stmt_list(p, false);
            if (!l) return nullptr;
            cur->next = l;
        }
        break;
    }
    p->depth = saved;
    if (!expect_kw2(p, "end_if", "fi", "очікувалось 'fi'/'END_IF'")) return nullptr;
    return n;
}

cx_node *p_for(cx_parser *p, int line) {
    if (!skip_ws(p)) return nullptr;
    if (!is_id_start(*p->s)) {
        perr(p, "очікувався лічильник циклу");
        return nullptr;
    }
    char name[CX_NAME_MAX + 1];
    size_t len = read_ident(p->s, name);
    int isd = 0, index = 0;
    if (cx_is_keyword(name) || !resolve_scalar(p, name, &isd, &index)) {
        perr(p, "невідомий лічильник циклу (заведіть VAR)");
        return nullptr;
    }
    p->s += len;
    if (!accept(p, ":=")) {
        perr(p, "очікувалось ':=' у 'for'");
        return nullptr;
    }
    cx_node *n = nn(p, CX_FOR);
    if (!n) return nullptr;
    n->line = line;
    n->is_discrete = isd;
    n->index = index;
    if (!(n->args[0] = p_expr(p))) return nullptr;
    if (!expect_kw(p, "to", "очікувалось 'to'")) return nullptr;
    if (!(n->args[1] = p_expr(p))) return nullptr;
    n->nargs = 2;
    if (accept_kw(p, "by")) {
        if (!(n->args[2] = p_expr(p))) return nullptr;
        n->nargs = 3;
    }
    if (!expect_kw(p, "do", "очікувалось 'do'")) return nullptr;
    p->loop_depth++;
    n->child = p_stmt_list(p, false);
    p->loop_depth--;
    if (!n->child) return nullptr;
    if (!expect_kw2(p, "end_for", "endfor", "очікувалось 'END_FOR'")) return nullptr;
    return n;
}

cx_node *p_while(cx_parser *p, int line) {
    cx_node *n = nn(p, CX_WHILE);
    if (!n) return nullptr;
    n->line = line;
    if (!(n->args[0] = p_expr(p))) return nullptr;
    n->nargs = 1;
    if (!expect_kw(p, "do", "очікувалось 'DO'")) return nullptr;
    p->loop_depth++;
    n->child = p_stmt_list(p, false);
    p->loop_depth--;
    if (!n->child) return nullptr;
    if (!expect_kw2(p, "end_while", "endwhile", "очікувалось 'END_WHILE'")) return nullptr;
    return n;
}

cx_node *p_repeat(cx_parser *p, int line) {
    cx_node *n = nn(p, CX_REPEAT);
    if (!n) return nullptr;
    n->line = line;
    p->loop_depth++;
    n->child = p_stmt_list(p, false);
    p->loop_depth--;
    if (!n->child) return nullptr;
    if (!expect_kw(p, "until", "очікувалось 'UNTIL'")) return nullptr;
    if (!(n->args[0] = p_expr(p))) return nullptr;
    n->nargs = 1;
    if (!expect_kw2(p, "end_repeat", "endrepeat", "очікувалось 'END_REPEAT'")) return nullptr;
    return n;
}

// CASE label: optionally signed decimal (with fraction) or based literal.
bool p_label(cx_parser *p, double *out) {
    if (!skip_ws(p)) return false;
    const char *s = p->s;
    bool neg = false;
    if (*s == '-' || *s == '+') {
        neg = *s == '-';
        s++;
    }
    if (!is_digit(*s)) {
        perr(p, "очікувалась константа-селектор");
        return false;
    }
    const char *h = nullptr;
    int base = based_prefix(s, &h);
    double v = 0;
    if (base) {
        const char *end = nullptr;
        uint64_t acc = 0;
        if (!read_based(h, base, &end, &acc)) {
            perr(p, kBadLiteral);
            return false;
        }
        int type = 0;
        based_value(acc, &v, &type);
        s = end;
    } else {
        const char *q = s;
        while (is_digit(*q))
            q++;
        if (q[0] == '.' && is_digit(q[1])) {
            q++;
            while (is_digit(*q))
                q++;
        }
        char buf[80];
        size_t n = static_cast<size_t>(q - s);
        if (n >= sizeof buf) {
            perr(p, "очікувалась константа-селектор");
            return false;
        }
        memcpy(buf, s, n);
        buf[n] = 0;
        v = strtod_l(buf, nullptr, c_locale());
        s = q;
    }
    if (is_alpha(*s) || *s == '_') {
        perr(p, "очікувалась константа-селектор");
        return false;
    }
    p->s = s;
    *out = neg ? -v : v;
    return true;
}

bool add_range(cx_parser *p, cx_node *arm, double lo, double hi) {
    int n = arm->nranges;
    if ((n & (n - 1)) == 0) {  // capacity doubles at powers of two: linear for long label lists
        size_t cap = n ? 2 * static_cast<size_t>(n) : 1;
        double *r = static_cast<double *>(realloc(arm->ranges, sizeof(double) * 2 * cap));
        if (!r) {
            perr(p, "OOM");
            return false;
        }
        arm->ranges = r;
    }
    arm->ranges[2 * n] = lo;
    arm->ranges[2 * n + 1] = hi;
    arm->nranges = n + 1;
    return true;
}

cx_node *p_case(cx_parser *p, int line) {
    if (!dep_in(p, kDeepBlock)) return nullptr;
    cx_node *n = nn(p, CX_CASE);
    if (!n) return nullptr;
    n->line = line;
    if (!(n->args[0] = p_expr(p))) return nullptr;
    n->nargs = 1;
    if (!expect_kw(p, "of", "очікувалось 'OF'")) return nullptr;
    cx_node *tail = nullptr;
    for (;;) {
        if (!skip_ws(p)) return nullptr;
        if (at_word(p->s, "else") || at_word(p->s, "end_case") || at_word(p->s, "endcase") ||
            !*p->s)
            break;
        cx_node *arm = nn(p, CX_ARM);
        if (!arm) return nullptr;
        arm->line = line_here(p);
        for (;;) {
            double lo = 0, hi = 0;
            if (!p_label(p, &lo)) return nullptr;
            hi = lo;
            if (accept(p, "..")) {
                if (!skip_ws(p)) return nullptr;
                const char *s = p->s;
                if (!(is_digit(*s) || ((*s == '-' || *s == '+') && is_digit(s[1])))) {
                    perr(p, "очікувалась верхня межа діапазону");
                    return nullptr;
                }
                if (!p_label(p, &hi)) return nullptr;
                if (lo > hi) {
                    perr(p, "діапазон селектора: нижня межа більша за верхню");
                    return nullptr;
                }
            }
            if (p->has_err || !add_range(p, arm, lo, hi)) return nullptr;
            if (accept(p, ",")) continue;
            if (p->has_err) return nullptr;
            break;
        }
        if (!skip_ws(p)) return nullptr;
        if (!(p->s[0] == ':' && p->s[1] != '=')) {
            perr(p, "очікувалась ':' після селектора");
            return nullptr;
        }
        p->s++;
        while (accept(p, ";")) {
        }
        if (p->has_err) return nullptr;
        arm->child = p_stmt_list(p, true);
        if (p->has_err) return nullptr;
        if (tail)
            tail->next = arm;
        else
            n->child = arm;
        tail = arm;
    }
    if (!n->child) {
        perr(p, "CASE без жодного селектора");
        return nullptr;
    }
    if (accept_kw(p, "else")) {
        while (accept(p, ";")) {
        }
        if (p->has_err) return nullptr;
        n->next = p_stmt_list(p, true);
        if (p->has_err) return nullptr;
    }
    if (!expect_kw2(p, "end_case", "endcase", "очікувалось 'END_CASE'")) return nullptr;
    p->depth--;
    return n;
}

// Appends an operand cell (kind 25) to a list.
bool append_elem(cx_parser *p, cx_node **head, cx_node **tail, cx_node *x) {
    cx_node *e = nn(p, CX_ELEM);
    if (!e) return false;
    e->child = x;
    if (*tail)
        (*tail)->next = e;
    else
        *head = e;
    *tail = e;
    return true;
}

cx_node *p_jsr(cx_parser *p, int line) {
    // cursor after '('
    cx_node *n = nn(p, CX_JSR);
    if (!n) return nullptr;
    n->line = line;
    if (!skip_ws(p)) return nullptr;
    if (!is_id_start(*p->s)) {
        perr(p, "JSR: очікувалось ім'я рутини");
        return nullptr;
    }
    char name[CX_NAME_MAX + 1];
    p->s += read_ident(p->s, name);
    n->name = strdup(name);
    if (!n->name) {
        perr(p, "OOM");
        return nullptr;
    }
    cx_node *ih = nullptr, *it = nullptr, *rh = nullptr, *rt = nullptr;
    if (accept(p, ",")) {
        if (!skip_ws(p)) return nullptr;
        int cnt = 0;
        const char *q = p->s;
        if (!is_digit(*q)) {
            perr(p, "JSR: кількість входів — ціле 0..40");
            return nullptr;
        }
        while (is_digit(*q)) {
            if (cnt <= CX_MAX_IO) cnt = cnt * 10 + (*q - '0');
            q++;
        }
        if (cnt > CX_MAX_IO || is_id_char(*q) || *q == '.') {
            perr(p, "JSR: кількість входів — ціле 0..40");
            return nullptr;
        }
        p->s = q;
        n->ninputs = cnt;
        for (int i = 0; i < cnt; i++) {
            if (!accept(p, ",")) {
                if (!p->has_err) perr(p, "JSR: входів менше, ніж указано");
                return nullptr;
            }
            cx_node *e = p_expr(p);
            if (!e || !append_elem(p, &ih, &it, e)) return nullptr;
        }
        while (accept(p, ",")) {
            if (n->nreturns >= CX_MAX_IO) {
                perr(p, "JSR: понад 40 повернень");
                return nullptr;
            }
            cx_node *t = p_target(p);
            if (!t || !append_elem(p, &rh, &rt, t)) return nullptr;
            t->line = line;
            n->nreturns++;
        }
    }
    if (p->has_err) return nullptr;
    if (!accept(p, ")")) {
        if (!p->has_err) perr(p, "очікувалась ')'");
        return nullptr;
    }
    n->child = ih;
    n->next = rh;
    try {
        p->jsrs.push_back(n);
    } catch (const std::bad_alloc &) {
        perr(p, "OOM");
        return nullptr;
    }
    return n;
}

cx_node *p_sbr(cx_parser *p, int line) {
    cx_node *n = nn(p, CX_SBR);
    if (!n) return nullptr;
    n->line = line;
    if (!skip_ws(p)) return nullptr;
    cx_node *h = nullptr, *t = nullptr;
    int cnt = 0;
    if (*p->s != ')') {
        for (;;) {
            if (cnt >= CX_MAX_IO) {
                perr(p, "понад 40 параметрів");
                return nullptr;
            }
            cx_node *x = p_target(p);
            if (!x || !append_elem(p, &h, &t, x)) return nullptr;
            x->line = line;
            cnt++;
            if (accept(p, ",")) continue;
            if (p->has_err) return nullptr;
            break;
        }
    }
    if (!accept(p, ")")) {
        if (!p->has_err) perr(p, "очікувалась ')'");
        return nullptr;
    }
    n->child = h;
    n->ninputs = cnt;
    return n;
}

cx_node *p_ret(cx_parser *p, int line, bool bare) {
    cx_node *n = nn(p, CX_RET);
    if (!n) return nullptr;
    n->line = line;
    if (bare) return n;
    if (!skip_ws(p)) return nullptr;
    cx_node *h = nullptr, *t = nullptr;
    int cnt = 0;
    if (*p->s != ')') {
        for (;;) {
            if (cnt >= CX_MAX_IO) {
                perr(p, "RET: понад 40 значень");
                return nullptr;
            }
            cx_node *x = p_expr(p);
            if (!x || !append_elem(p, &h, &t, x)) return nullptr;
            cnt++;
            if (accept(p, ",")) continue;
            if (p->has_err) return nullptr;
            break;
        }
    }
    if (!accept(p, ")")) {
        if (!p->has_err) perr(p, "очікувалась ')'");
        return nullptr;
    }
    n->child = h;
    n->nreturns = cnt;
    return n;
}

cx_node *p_instr(cx_parser *p, int code, int line) {
    // cursor after '('
    bool timer = code != CX_CTUD;
    const char *msg = timer ? "аргумент — структура FBD_TIMER" : "аргумент — структура FBD_COUNTER";
    if (!skip_ws(p)) return nullptr;
    char name[CX_NAME_MAX + 1];
    cx_data_desc dd;
    if (!is_id_start(*p->s)) {
        perr(p, msg);
        return nullptr;
    }
    size_t len = read_ident(p->s, name);
    if (!data_var(p, name, &dd)) {
        perr(p, msg);
        return nullptr;
    }
    p->s += len;
    cx_node *n = p_select(p, &dd, timer ? SEL_TIMER : SEL_COUNTER);
    if (!n) return nullptr;
    if (!accept(p, ")")) {
        if (!p->has_err) perr(p, "очікувалась ')'");
        return nullptr;
    }
    n->fn = code;
    n->op = timer ? 1 : 2;
    n->line = line;
    return n;
}

cx_node *p_stmt(cx_parser *p) {
    if (!skip_ws(p)) return nullptr;
    int line = line_here(p);
    const char *s0 = p->s;
    if (accept_kw(p, "if")) return p_if(p, line);
    if (accept_kw(p, "for")) return p_for(p, line);
    if (accept_kw(p, "while")) return p_while(p, line);
    if (accept_kw(p, "repeat")) return p_repeat(p, line);
    if (accept_kw(p, "case")) return p_case(p, line);
    if (accept_kw(p, "exit")) {
        if (p->loop_depth <= 0) {
            p->s = s0;
            perr(p, "EXIT поза циклом FOR/WHILE/REPEAT");
            return nullptr;
        }
        cx_node *n = nn(p, CX_EXIT);
        if (n) n->line = line;
        return n;
    }
    if (p->has_err) return nullptr;
    if (!is_id_start(*p->s)) {
        perr(p, "очікувався тег або оператор (if/for/while/repeat/case)");
        return nullptr;
    }
    char name[CX_NAME_MAX + 1];
    size_t len = read_ident(p->s, name);
    const char *q = after_blanks(p->s + len);
    if (*q == '(') {
        if (ieq(name, "JSR")) {
            p->s = q + 1;
            return p_jsr(p, line);
        }
        if (ieq(name, "SBR")) {
            if (p->cur_routine < 0) {
                perr(p, "SBR — лише в підпрограмі");
                return nullptr;
            }
            p->s = q + 1;
            return p_sbr(p, line);
        }
        if (ieq(name, "RET")) {
            if (p->cur_routine < 0) {
                perr(p, "RET у головній рутині неможливий");
                return nullptr;
            }
            p->s = q + 1;
            return p_ret(p, line, false);
        }
        if (int code = instr_code(name)) {
            p->s = q + 1;
            return p_instr(p, code, line);
        }
    }
    if (ieq(name, "RET") && (*q == ';' || *q == '\n' || *q == '\r' || *q == 0)) {
        if (p->cur_routine < 0) {
            perr(p, "RET у головній рутині неможливий");
            return nullptr;
        }
        p->s += len;
        return p_ret(p, line, true);
    }
    if (cx_is_keyword(name)) {
        perr(p, "ключове слово не може бути приймачем");
        return nullptr;
    }
    cx_node *t = p_target(p);
    if (!t) return nullptr;
    if (!accept(p, ":=")) {
        if (!p->has_err) perr(p, "очікувалось ':='");
        return nullptr;
    }
    if (!(t->child = p_expr(p))) return nullptr;
    t->line = line;
    return t;
}

bool list_stop(const char *s) {
    if (!*s || is_digit(*s) || (*s == '-' && is_digit(s[1]))) return true;
    if (!is_id_start(*s)) return false;
    for (const char *w : kListStops)
        if (at_word(s, w)) return true;
    return false;
}

// Statements separated by ';'. Walks the list iteratively.
cx_node *p_stmt_list(cx_parser *p, bool allow_empty) {
    if (!dep_in(p, kDeepBlock)) return nullptr;
    cx_node *head = nullptr, *tail = nullptr;
    for (;;) {
        if (!skip_ws(p)) return nullptr;
        if (list_stop(p->s)) break;
        cx_node *st = p_stmt(p);
        if (!st) return nullptr;
        cx_node *cell = nn(p, CX_LIST);
        if (!cell) return nullptr;
        cell->child = st;
        cell->line = st->line;
        if (tail)
            tail->next = cell;
        else
            head = cell;
        tail = cell;
        if (!skip_ws(p)) return nullptr;
        if (*p->s == ';') {
            p->s++;
            continue;
        }
        if (list_stop(p->s)) break;
        perr(p, "очікувалось ';'");
        return nullptr;
    }
    p->depth--;
    if (!head && !allow_empty) {
        perr(p, "порожній блок операторів");
        return nullptr;
    }
    return head;
}

std::string lower_name(const char *name) {
    std::string k(name);
    for (char &ch : k)
        ch = lower(ch);
    return k;
}

cx_node *find_routine(cx_parser *p, const char *name) {
    auto it = p->routine_index.find(lower_name(name));
    return it == p->routine_index.end() ? nullptr
                                        : p->routines[static_cast<size_t>(it->second)].node;
}

bool routine_name_ok(cx_parser *p, const char *s, size_t len, int line) {
    char name[CX_NAME_MAX + 1];
    if (len > CX_NAME_MAX) {
        perr_line(p, "невірне ім'я рутини", line, p->segment);
        return false;
    }
    read_ident(s, name);
    if (cx_is_keyword(name)) {
        perr_line(p, "ключове слово не може бути іменем рутини", line, p->segment);
        return false;
    }
    if (p->main_name && ieq(name, p->main_name)) {
        perr_line(p, "ім'я збігається з головною рутиною", line, p->segment);
        return false;
    }
    if (find_routine(p, name)) {
        perr_line(p, "дві рутини з однаковим ім'ям", line, p->segment);
        return false;
    }
    return true;
}

cx_node *add_routine(cx_parser *p, const char *name, int line) {
    cx_node *r = nn(p, CX_ROUTINE);
    if (!r) return nullptr;
    r->name = strdup(name);
    if (!r->name) {
        perr(p, "OOM");
        return nullptr;
    }
    r->line = line;
    r->index = static_cast<int>(p->routines.size());
    try {
        p_routine pr{};
        snprintf(pr.name, sizeof pr.name, "%s", name);
        pr.node = r;
        p->routines.push_back(pr);
        p->routine_index.emplace(lower_name(name), r->index);
    } catch (const std::bad_alloc &) {
        perr(p, "OOM");
        return nullptr;
    }
    return r;
}

bool p_routine_def(cx_parser *p) {
    int line = line_here(p);
    p->s += 7;  // "routine"
    if (!skip_ws(p)) return false;
    if (!is_id_start(*p->s)) {
        perr(p, "ROUTINE: очікувалось ім'я");
        return false;
    }
    size_t len = 0;
    while (is_id_char(p->s[len]))
        len++;
    if (!routine_name_ok(p, p->s, len, line)) return false;
    char name[CX_NAME_MAX + 1];
    read_ident(p->s, name);
    p->s += len;
    cx_node *r = add_routine(p, name, line);
    if (!r) return false;
    p->cur_routine = r->index;
    p->loop_depth = 0;
    r->child = p_stmt_list(p, true);
    if (p->has_err) return false;
    if (!skip_ws(p)) return false;
    if (at_word(p->s, "routine")) {
        perr(p, "вкладених визначень рутин немає");
        return false;
    }
    if (!expect_kw(p, "end_routine", "очікувалось 'END_ROUTINE'")) return false;
    accept(p, ";");
    p->cur_routine = -1;
    return !p->has_err;
}

// Main text: statement lists and routine definitions.
bool p_main(cx_parser *p, cx_node **head, cx_node **tail) {
    for (;;) {
        if (!skip_ws(p)) return false;
        if (!*p->s) return true;
        if (at_word(p->s, "routine")) {
            if (!p_routine_def(p)) return false;
            continue;
        }
        cx_node *l = p_stmt_list(p, true);
        if (p->has_err) return false;
        if (!l) {
            perr(p, "зайвий текст");
            return false;
        }
        if (*tail)
            (*tail)->next = l;
        else
            *head = l;
        cx_node *t = l;
        while (t->next)
            t = t->next;
        *tail = t;
    }
}

// ---------------------------------------------------------------- program checks

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

// Runs the program checks; returns the root (program node or main list).
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

// ---------------------------------------------------------------- driver

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

cx_node *parse_text(const char *text, const cx_host *host, void *user, char *err, size_t errsz,
                    int *line, int *col) {
    cx_parser p{};
    cx_node *root = nullptr;
    if (!text) text = "";
    parser_init(&p, text, host, user, err, errsz);
    try {
        if (cx_looks_stmt(text)) {
            cx_node *head = nullptr, *tail = nullptr;
            if (p_main(&p, &head, &tail)) {
                if (!head && p.routines.empty()) {
                    perr(&p, "порожній блок операторів");
                } else {
                    root = program_checks(&p, head);
                }
            }
        } else {
            root = p_expr(&p);
            if (root && skip_ws(&p) && *p.s) perr(&p, "зайвий текст після виразу");
        }
    } catch (const std::bad_alloc &) {
        perr(&p, "OOM");
    }
    root = parser_finish(&p, root);
    if (line) *line = root ? 0 : p.err_line;
    if (col) *col = root ? 0 : p.err_col;
    return root;
}

}  // namespace

// ---------------------------------------------------------------- public API

cx_node *cx_parse_host_col(const char *text, const cx_host *host, void *user, char *err,
                           size_t errsz, int *line, int *col) {
    return parse_text(text, host, user, err, errsz, line, col);
}

cx_node *cx_parse_host(const char *text, const cx_host *host, void *user, char *err, size_t errsz,
                       int *line) {
    return parse_text(text, host, user, err, errsz, line, nullptr);
}

cx_node *cx_parse(const char *text, cx_resolve_fn resolve, void *user, char *err, size_t errsz) {
    cx_host h{};
    h.resolve = resolve;
    return parse_text(text, &h, user, err, errsz, nullptr, nullptr);
}

cx_node *cx_parse_ex(const char *text, cx_resolve_fn resolve,
                     int (*array_info)(void *, const char *, int *, int[3], int *), void *user,
                     char *err, size_t errsz, int *line) {
    cx_host h{};
    h.resolve = resolve;
    h.array_info = array_info;
    return parse_text(text, &h, user, err, errsz, line, nullptr);
}

cx_node *cx_parse_st(const char *text, cx_resolve_fn resolve,
                     int (*array_info)(void *, const char *, int *, int[3], int *),
                     int (*data_lookup)(void *, const char *, int *, int *), void *user, char *err,
                     size_t errsz, int *line) {
    cx_host h{};
    h.resolve = resolve;
    h.array_info = array_info;
    h.data_lookup = data_lookup;
    return parse_text(text, &h, user, err, errsz, line, nullptr);
}

cx_node *cx_parse_program(const char *main_text, const char *main_name, const cx_segment *segs,
                          int nsegs, const cx_host *host, void *user, char *err, size_t errsz,
                          int64_t *pos) {
    cx_parser p{};
    cx_node *root = nullptr;
    parser_init(&p, main_text ? main_text : "", host, user, err, errsz);
    p.main_name = main_name;
    try {
        cx_node *head = nullptr, *tail = nullptr;
        bool ok = p_main(&p, &head, &tail);
        for (int i = 0; ok && i < nsegs; i++) {
            const char *text = segs[i].text ? segs[i].text : "";
            const char *name = segs[i].name ? segs[i].name : "";
            p.s = p.start = text;
            p.lpos = nullptr;
            p.segment = i + 1;
            size_t len = 0;
            while (is_id_char(name[len]))
                len++;
            if (!is_id_start(name[0]) || name[len]) {
                perr_line(&p, "невірне ім'я рутини", 1, p.segment);
                ok = false;
                break;
            }
            if (!routine_name_ok(&p, name, len, 1)) {
                ok = false;
                break;
            }
            cx_node *r = add_routine(&p, name, 1);
            if (!r) {
                ok = false;
                break;
            }
            p.cur_routine = r->index;
            p.loop_depth = 0;
            r->child = p_stmt_list(&p, true);
            if (!p.has_err && skip_ws(&p) && *p.s) {
                perr(&p,
                     at_word(p.s, "routine") ? "вкладених визначень рутин немає" : "зайвий текст");
            }
            p.cur_routine = -1;
            ok = !p.has_err;
        }
        if (ok) {
            if (!head && p.routines.empty())
                perr(&p, "порожній блок операторів");
            else
                root = program_checks(&p, head);
        }
    } catch (const std::bad_alloc &) {
        perr(&p, "OOM");
    }
    root = parser_finish(&p, root);
    if (pos)
        *pos = root ? -1
                    : (static_cast<int64_t>(p.err_line) << 32 |
                       static_cast<int64_t>(static_cast<uint32_t>(p.err_seg)));
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

int cx_is_keyword(const char *word) {
    if (!word) return 0;
    for (const char *k : kKeywords)
        if (ieq(word, k)) return 1;
    return 0;
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

int cx_comment_len(const char *start, const char *pos, int *unclosed) {
    if (unclosed) *unclosed = 0;
    if (!pos) return 0;
    const char *q = pos;
    if ((q[0] == '/' && q[1] == '/') || q[0] == '#') {
        if (q[0] == '#' && start && pos > start) {
            // radix mark of a based literal?
            const char *b = pos;
            while (b > start && is_digit(b[-1]))
                b--;
            size_t n = static_cast<size_t>(pos - b);
            int base = 0;
            if (n == 1 && b[0] == '2')
                base = 2;
            else if (n == 1 && b[0] == '8')
                base = 8;
            else if (n == 2 && b[0] == '1' && b[1] == '6')
                base = 16;
            bool prefixed = b > start && (is_id_char(b[-1]) || b[-1] == '.');
            int d = digit_val(pos[1]);
            if (base && !prefixed && d >= 0 && d < base) return 0;
        }
        while (*q && *q != '\n')
            q++;
        return static_cast<int>(q - pos);
    }
    char close = 0;
    if (q[0] == '/' && q[1] == '*')
        close = '/';
    else if (q[0] == '(' && q[1] == '*')
        close = ')';
    if (!close) return 0;
    q += 2;
    while (*q && !(q[0] == '*' && q[1] == close))
        q++;
    if (!*q) {
        if (unclosed) *unclosed = 1;
        return static_cast<int>(q - pos);
    }
    return static_cast<int>(q + 2 - pos);
}

int cx_looks_stmt(const char *text) {
    if (!text) return 0;
    const char *q = text;
    while (*q) {
        int unc = 0;
        int n = cx_comment_len(text, q, &unc);
        if (n > 0) {
            q += n;
            continue;
        }
        if (q[0] == ':' && q[1] == '=') return 1;
        if (is_id_start(*q) && (q == text || !is_id_char(q[-1]))) {
            size_t len = 0;
            while (is_id_char(q[len]))
                len++;
            if (len <= 15) {
                char w[16];
                memcpy(w, q, len);
                w[len] = 0;
                if (ieq(w, "routine")) return 1;
                if (instr_code(w) || ieq(w, "jsr") || ieq(w, "sbr") || ieq(w, "ret")) {
                    const char *a = after_blanks(q + len);
                    if (*a == '(') return 1;
                }
            }
            q += len;
            continue;
        }
        q++;
    }
    return 0;
}

// ---------------------------------------------------------------- checks

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

// ---------------------------------------------------------------- structures

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
