// Lexical layer of the Structured Text parser: characters, the cursor over
// the NUL-terminated text (no token stream), comments, error positions and
// literals.

#include <locale.h>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "calc/cexpr_parse_int.h"

namespace cxp {

// ---------------------------------------------------------------- characters

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

size_t read_ident(const char *s, char out[CX_NAME_MAX + 1]) {
    size_t n = 0;
    while (is_id_char(s[n])) {
        if (n < CX_NAME_MAX) out[n] = s[n];
        n++;
    }
    out[n < CX_NAME_MAX ? n : CX_NAME_MAX] = 0;
    return n;
}

bool at_word(const char *s, const char *kw) {
    size_t i = 0;
    for (; kw[i]; i++)
        if (lower(s[i]) != kw[i]) return false;
    return !is_id_char(s[i]);
}

// ---------------------------------------------------------------- cursor and errors

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

namespace {

void set_err(cx_parser *p, const char *msg) {
    if (p->err && p->errsz) snprintf(p->err, p->errsz, "%s", msg);
}

locale_t c_locale() {
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

}  // namespace

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

bool skip_ws_at(cx_parser *p) {
    for (;;) {
        while (is_space(*p->s))
            p->s++;
        int unclosed = 0;
        int n = cx_comment_len(p->start, p->s, &unclosed);
        if (n == 0) {
            p->ws_end = p->s;
            return true;
        }
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

// ---------------------------------------------------------------- literals

const char *const kBadLiteral = "невірний літерал (цифра не з основи або понад 64 біти)";

namespace {

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

// Reads the digits of a based literal; false on a bad digit or 64-bit
// overflow.
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

// Value and type of a based literal: DINT up to 32 bits (the bit pattern,
// so 16#FFFFFFFF is -1), else LINT.
void based_value(uint64_t acc, double *v, int *type) {
    if (acc < (1ULL << 32)) {
        *v = static_cast<double>(static_cast<int32_t>(static_cast<uint32_t>(acc)));
        *type = CX_T_DINT;
    } else {
        *v = static_cast<double>(static_cast<int64_t>(acc));
        *type = CX_T_LINT;
    }
}

}  // namespace

double c_strtod(const char *s, char **end) {
    return strtod_l(s, end, c_locale());
}

int p_based(cx_parser *p, const char *s, const char **end, double *v, int *type) {
    const char *h = nullptr;
    int base = based_prefix(s, &h);
    if (!base) return 0;
    uint64_t acc = 0;
    if (!read_based(h, base, end, &acc)) {
        perr(p, kBadLiteral);
        return -1;
    }
    based_value(acc, v, type);
    return 1;
}

cx_node *p_number(cx_parser *p) {
    const char *s = p->s;
    double v = 0;
    int type = 0;
    const char *end = nullptr;
    int based = p_based(p, s, &end, &v, &type);
    if (based < 0) return nullptr;
    if (based) {
        p->s = end;
    } else {
        char *end = nullptr;
        v = c_strtod(s, &end);
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

}  // namespace cxp

using namespace cxp;

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
