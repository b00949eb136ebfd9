// Statements of the Structured Text parser: assignments and their targets,
// IF, FOR, WHILE, REPEAT, CASE, instructions, JSR/SBR/RET, statement lists
// and routine definitions.

#include <cstdio>
#include <cstring>
#include <new>

#include "calc/cexpr_parse_int.h"

namespace cxp {
namespace {

const char *const kListStops[] = {
    "elif",       "elsif",     "else",    "fi",          "end_if",   "end_for",
    "endfor",     "end_case",  "endcase", "end_while",   "endwhile", "until",
    "end_repeat", "endrepeat", "routine", "end_routine",
};

}  // namespace

namespace {

// Optional bit suffix of a target; the target, or null after an error.
cx_node *target_bit(cx_parser *p, cx_node *t, bool discrete) {
    int bit = p_bit_target(p, discrete);
    if (bit == -2) return nullptr;
    if (bit >= 0) {
        t->has_bit = 1;
        t->bit = bit;
    }
    return t;
}

}  // namespace

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
        return target_bit(p, t, false);
    }
    const char *q = after_ws(after);
    if (*q == '[' && len == 1 && is_chan_letter(c)) {
        cx_node *n = p_indirect(p, q, c == 'D' || c == 'd', true);
        if (!n) return nullptr;
        t->is_discrete = n->is_discrete;
        t->index = -1;
        t->args[0] = n;
        t->nargs = 1;
        return t;
    }
    if (*q == '[') {
        cx_node *n = p_array_elem(p, name, q);
        if (!n) return nullptr;
        t->type = n->type;
        if (!fold_array(n)) {
            t->args[0] = n;
            t->nargs = 1;
        }
        t->index = n->index;
        return target_bit(p, t, false);
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
    return target_bit(p, t, isd);
}

namespace {

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

// Body of FOR, WHILE and REPEAT, where EXIT is allowed.
cx_node *p_loop_body(cx_parser *p) {
    p->loop_depth++;
    cx_node *body = p_stmt_list(p, false);
    p->loop_depth--;
    return body;
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
    if (!(n->child = p_loop_body(p))) return nullptr;
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
    if (!(n->child = p_loop_body(p))) return nullptr;
    if (!expect_kw2(p, "end_while", "endwhile", "очікувалось 'END_WHILE'")) return nullptr;
    return n;
}

cx_node *p_repeat(cx_parser *p, int line) {
    cx_node *n = nn(p, CX_REPEAT);
    if (!n) return nullptr;
    n->line = line;
    if (!(n->child = p_loop_body(p))) return nullptr;
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
    double v = 0;
    int type = 0;
    const char *end = nullptr;
    int based = p_based(p, s, &end, &v, &type);
    if (based < 0) return false;
    if (based) {
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
        v = c_strtod(buf, nullptr);
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

// Operands up to ')': targets (SBR parameters) or expressions (RET
// values), at most CX_MAX_IO. The count, or -1 after an error.
int p_operands(cx_parser *p, bool targets, int line, const char *too_many, cx_node **head) {
    if (!skip_ws(p)) return -1;
    cx_node *tail = nullptr;
    int cnt = 0;
    if (*p->s != ')') {
        for (;;) {
            if (cnt >= CX_MAX_IO) {
                perr(p, too_many);
                return -1;
            }
            cx_node *x = targets ? p_target(p) : p_expr(p);
            if (!x || !append_elem(p, head, &tail, x)) return -1;
            if (targets) x->line = line;
            cnt++;
            if (accept(p, ",")) continue;
            if (p->has_err) return -1;
            break;
        }
    }
    if (!accept(p, ")")) {
        if (!p->has_err) perr(p, "очікувалась ')'");
        return -1;
    }
    return cnt;
}

cx_node *p_sbr(cx_parser *p, int line) {
    cx_node *n = nn(p, CX_SBR);
    if (!n) return nullptr;
    n->line = line;
    int cnt = p_operands(p, true, line, "понад 40 параметрів", &n->child);
    if (cnt < 0) return nullptr;
    n->ninputs = cnt;
    return n;
}

cx_node *p_ret(cx_parser *p, int line, bool bare) {
    cx_node *n = nn(p, CX_RET);
    if (!n) return nullptr;
    n->line = line;
    if (bare) return n;
    int cnt = p_operands(p, false, line, "RET: понад 40 значень", &n->child);
    if (cnt < 0) return nullptr;
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

}  // namespace

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

namespace {

std::string lower_name(const char *name) {
    std::string k(name);
    for (char &ch : k)
        ch = lower(ch);
    return k;
}

}  // namespace

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

namespace {

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

}  // namespace

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

}  // namespace cxp
