// Expressions of the Structured Text parser: operands (literals, channels,
// variables, array elements, structure members, function calls) and the
// operator precedence levels.

#include <cstring>

#include "calc/cexpr_parse_int.h"

namespace cxp {
namespace {

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

}  // namespace

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

namespace {

// Optional bit suffix right after a reference.
cx_node *p_bit_expr(cx_parser *p, cx_node *ref, bool discrete) {
    int bit = p_bit_target(p, discrete);
    if (bit == -1) return ref;
    if (bit == -2) return nullptr;
    cx_node *n = nn(p, CX_BIT);
    if (!n) return nullptr;
    n->child = ref;
    n->bit = bit;
    n->type = CX_T_BOOL;
    return n;
}

}  // namespace

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

namespace {

int elem_len(cx_parser *p, int kind) {
    if (kind == CX_KIND_PLAIN) return 1;
    if (kind == CX_KIND_TIMER || kind == CX_KIND_COUNTER) return CX_STRUCT_LEN;
    if (kind >= CX_KIND_USER && p->host && p->host->struct_len) {
        int n = p->host->struct_len(p->user, kind);
        if (n > 0) return n;
    }
    return 0;
}

}  // namespace

namespace {

const char *const kBadIndexCount = "невірна кількість індексів масиву";

// Index list after '[': expr {, expr} ']', at most `max` indices (more is
// `too_many`) and then exactly ndim. The count, or -1 after an error.
int p_indices(cx_parser *p, cx_node **ix, int max, const char *too_many, int ndim) {
    int cnt = 0;
    for (;;) {
        if (cnt >= max) {
            perr(p, too_many);
            return -1;
        }
        if (!dep_in(p, kDeepExpr)) return -1;
        ix[cnt] = p_expr(p);
        p->depth--;
        if (!ix[cnt]) return -1;
        cnt++;
        if (accept(p, ",")) continue;
        if (p->has_err) return -1;
        break;
    }
    if (!accept(p, "]")) {
        perr(p, "очікувалась ']'");
        return -1;
    }
    if (cnt != ndim) {
        perr(p, kBadIndexCount);
        return -1;
    }
    return cnt;
}

}  // namespace

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
                perr(p, kBadIndexCount);
                return nullptr;
            }
            int el = elem_len(p, kind);
            if (el <= 0) {
                perr(p, "невідома довжина типу структури");
                return nullptr;
            }
            cx_node *ix[3] = {};
            int cnt = p_indices(p, ix, ndim, kBadIndexCount, ndim);
            if (cnt < 0) return nullptr;
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

namespace {

// A<n> / D<n> as a whole identifier; -1 when the name is not of that form,
// -2 when the number is out of range.
int chan_name(const char *name, int *isd) {
    char c = name[0];
    if (!is_chan_letter(c)) return -1;
    if (!name[1]) return -1;
    int64_t v = 0;
    for (const char *q = name + 1; *q; q++) {
        if (!is_digit(*q)) return -1;
        if (v <= CX_CHAN_MAX) v = v * 10 + (*q - '0');
    }
    *isd = (c == 'D' || c == 'd');
    return v > CX_CHAN_MAX ? -2 : static_cast<int>(v);
}

}  // namespace

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

cx_node *p_array_elem(cx_parser *p, const char *name, const char *bracket) {
    int base = 0, dim[3] = {0, 0, 0}, ndim = 0;
    if (!p->host || !p->host->array_info ||
        p->host->array_info(p->user, name, &base, dim, &ndim) != 0 || ndim < 1 || ndim > 3) {
        perr(p, "індексація дозволена лише для VAR-масиву");
        return nullptr;
    }
    p->s = bracket + 1;
    cx_node *n = nn(p, CX_ARRAY);
    if (!n) return nullptr;
    n->index = base;
    for (int i = 0; i < 3; i++)
        n->dim_len[i] = dim[i];
    int cnt = p_indices(p, n->args, 3, "забагато індексів масиву", ndim);
    if (cnt < 0) return nullptr;
    n->nargs = cnt;
    n->type = static_cast<uint8_t>(host_type(p, 0, base));
    return n;
}

cx_node *p_indirect(cx_parser *p, const char *bracket, bool discrete, bool target) {
    p->s = bracket + 1;
    if (!dep_in(p, kDeepExpr)) return nullptr;
    cx_node *e = p_expr(p);
    p->depth--;
    if (!e) return nullptr;
    if (!accept(p, "]")) {
        perr(p, "очікувалась ']'");
        return nullptr;
    }
    if (target && *p->s == '.') {
        perr(p, "бітовий запис у A[вираз]/D[вираз] заборонено");
        return nullptr;
    }
    cx_node *n = nn(p, CX_INDIRECT);
    if (!n) return nullptr;
    n->is_discrete = discrete;
    n->args[0] = e;
    n->nargs = 1;
    return n;
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

namespace {

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

// Operand that starts with an identifier: variable, channel, array element,
// function call or TRUE/FALSE. Kept out of p_primary so that the name
// buffer is not on the stack of every nesting level.
__attribute__((noinline)) cx_node *p_ident(cx_parser *p) {
    char c = *p->s;
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
    if (*q == '[' && len == 1 && is_chan_letter(c)) {
        cx_node *n = p_indirect(p, q, c == 'D' || c == 'd', false);
        return n ? p_bit_expr(p, n, n->is_discrete) : nullptr;
    }
    if (*q == '[') {
        cx_node *n = p_array_elem(p, name, q);
        if (!n) return nullptr;
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

cx_node *p_climb(cx_parser *p, int top);

cx_node *p_primary(cx_parser *p) {
    if (!skip_ws(p)) return nullptr;
    char c = *p->s;
    if (c == '(') {
        p->s++;
        if (!dep_in(p, kDeepExpr)) return nullptr;
        cx_node *n = p_climb(p, 0);
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
    return p_ident(p);
}

// ---------------------------------------------------------------- operators

}  // namespace

// An operator token of a precedence level.
struct op_tok {
    const char *text;
    uint8_t len;
    uint8_t word;     // a keyword: no identifier character may follow
    char not_next;    // the token does not count when this character follows
    uint8_t logical;  // logical even between integers (&&, ||)
    int op;
};

namespace {

const op_tok kOr[] = {{"||", 2, 0, 0, 1, CX_OP_LOR}, {"or", 2, 1, 0, 0, CX_OP_LOR}};
const op_tok kXor[] = {{"xor", 3, 1, 0, 0, CX_OP_LXOR}};
const op_tok kAnd[] = {
    {"&&", 2, 0, 0, 1, CX_OP_LAND}, {"&", 1, 0, 0, 0, CX_OP_LAND}, {"and", 3, 1, 0, 0, CX_OP_LAND}};
const op_tok kNot[] = {{"!", 1, 0, '=', 0, CX_OP_LNOT}, {"not", 3, 1, 0, 0, CX_OP_LNOT}};
const op_tok kEq[] = {{"==", 2, 0, 0, 0, CX_OP_EQ},
                      {"!=", 2, 0, 0, 0, CX_OP_NE},
                      {"<>", 2, 0, 0, 0, CX_OP_NE},
                      {"=", 1, 0, 0, 0, CX_OP_EQ}};
const op_tok kCmp[] = {{">=", 2, 0, 0, 0, CX_OP_GE},
                       {"<=", 2, 0, 0, 0, CX_OP_LE},
                       {">", 1, 0, 0, 0, CX_OP_GT},
                       {"<", 1, 0, '>', 0, CX_OP_LT}};
const op_tok kAdd[] = {{"+", 1, 0, 0, 0, CX_OP_ADD}, {"-", 1, 0, 0, 0, CX_OP_SUB}};
const op_tok kMul[] = {
    {"*", 1, 0, '*', 0, CX_OP_MUL}, {"/", 1, 0, 0, 0, CX_OP_DIV}, {"mod", 3, 1, 0, 0, CX_OP_MOD}};
const op_tok kNeg[] = {{"-", 1, 0, 0, 0, CX_OP_NEG}};
const op_tok kPow[] = {{"**", 2, 0, 0, 0, CX_OP_POW}};

// How a level combines operands of the next level.
enum {
    LV_CHAIN,   // left-associative chain of its operators
    LV_ONE,     // at most one operator (comparisons do not chain)
    LV_PREFIX,  // any number of prefix operators before one operand
    LV_POWER,   // chain whose right operands may carry minus signs: 2 ** -1
};

struct prec_level {
    int form;
    int nops;
    const op_tok *ops;
};

// Loosest first; past the last level comes the primary operand.
const prec_level kLevels[] = {
    {LV_CHAIN, 2, kOr},   {LV_CHAIN, 1, kXor}, {LV_CHAIN, 3, kAnd}, {LV_PREFIX, 2, kNot},
    {LV_CHAIN, 4, kEq},   {LV_ONE, 4, kCmp},   {LV_CHAIN, 2, kAdd}, {LV_CHAIN, 3, kMul},
    {LV_PREFIX, 1, kNeg}, {LV_POWER, 1, kPow},
};
constexpr int kPrimaryLevel = sizeof kLevels / sizeof kLevels[0];

// Symbols have one or two characters, keywords are lower case.
inline const op_tok *match_op(const char *s, const prec_level &lv) {
    char c = s[0];
    for (int i = 0; i < lv.nops; i++) {
        const op_tok &t = lv.ops[i];
        if (t.word) {
            if (lower(c) == t.text[0] && at_word(s, t.text)) return &t;
        } else if (c == t.text[0] && (t.len == 1 || s[1] == t.text[1]) &&
                   (!t.not_next || s[t.len] != t.not_next)) {
            return &t;
        }
    }
    return nullptr;
}

// Takes the operator of level lv at the cursor with the depth level of its
// operand; null when there is none or after an error (p->has_err).
inline const op_tok *take_op(cx_parser *p, const prec_level &lv) {
    if (!skip_ws(p)) return nullptr;
    const op_tok *t = match_op(p->s, lv);
    if (!t) return nullptr;
    p->s += t->len;
    return dep_in(p, kDeepExpr) ? t : nullptr;
}

cx_node *mk_prefix(cx_parser *p, const op_tok *t, cx_node *x) {
    if (t->op == CX_OP_NEG) return mk_neg(p, x);
    cx_node *n = nn(p, CX_UNOP);
    if (!n) return nullptr;
    n->child = x;
    if (t->word && ty_int(x->type)) {  // NOT on an integer is bitwise, ! never
        n->op = CX_OP_BNOT;
        n->type = x->type;
    } else {
        n->op = CX_OP_LNOT;
        n->type = CX_T_BOOL;
    }
    return n;
}

// Parses an expression whose loosest level is `top` (0: a whole
// expression) without recursing per level: down the levels it takes the
// prefix operators, then one primary operand, then up the levels each
// level's operators, with one recursion per right operand. The depth
// accounting is that of a descent with one function per level: every
// operator takes a depth level for its right operand; a chain keeps them
// until it ends (its tree is as deep as it is long), a single comparison or
// a prefix operator gives it back after its operand.
cx_node *p_climb(cx_parser *p, int top) {
    int saved[kPrimaryLevel];  // depth as each level was entered
    for (int lvl = top; lvl < kPrimaryLevel; lvl++) {
        saved[lvl] = p->depth;
        const prec_level &lv = kLevels[lvl];
        if (lv.form != LV_PREFIX) continue;
        while (const op_tok *t = take_op(p, lv))
            p->prefix[p->nprefix++] = t;  // each holds a depth level: fits
        if (p->has_err) return nullptr;
    }
    cx_node *x = p_primary(p);
    for (int lvl = kPrimaryLevel - 1; x && lvl >= top; lvl--) {
        const prec_level &lv = kLevels[lvl];
        if (lv.form == LV_PREFIX) {
            // innermost first; each prefix took one depth level
            for (int n = p->depth - saved[lvl]; x && n > 0; n--)
                x = mk_prefix(p, p->prefix[--p->nprefix], x);
            p->depth = saved[lvl];
            continue;
        }
        for (;;) {
            const op_tok *t = take_op(p, lv);
            if (!t) {
                if (p->has_err) return nullptr;
                break;
            }
            int nneg = 0;
            while (lv.form == LV_POWER) {
                if (!skip_ws(p)) return nullptr;
                if (*p->s != '-') break;
                p->s++;
                nneg++;
                if (!dep_in(p, kDeepExpr)) return nullptr;
            }
            cx_node *r = lvl + 1 < kPrimaryLevel ? p_climb(p, lvl + 1) : p_primary(p);
            if (!r) return nullptr;
            for (int i = 0; i < nneg; i++)
                if (!(r = mk_neg(p, r))) return nullptr;
            if (!(x = mk_bin(p, t->op, x, r))) return nullptr;
            if (t->logical) {
                x->op = t->op;
                x->type = CX_T_BOOL;
            }
            if (lv.form == LV_ONE) break;
        }
        p->depth = saved[lvl];
    }
    return x;
}

}  // namespace

cx_node *p_expr(cx_parser *p) {
    return p_climb(p, 0);
}

}  // namespace cxp
