// In-memory host: variables, channels, host slots and the tick clock.

#include "calc/calc_host.h"

#include <strings.h>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "calc/cexpr_tree.h"
#include "common/local_time.h"

namespace {

// Channel numbers below this live in a table; programs mostly use a few
// hundred channels, and the table must not grow to a million entries
// because a program wrote A999997.
constexpr int kDenseChans = 4096;

calc_host *me(void *u) {
    return static_cast<calc_host *>(u);
}

bool id_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool id_char(char c) {
    return id_start(c) || (c >= '0' && c <= '9');
}

const calc_host_var *var_of_cell(const calc_host *h, int c) {
    for (const calc_host_var &v : h->vars)
        if (c >= v.base && c < v.base + v.cells) return &v;
    return nullptr;
}

// Cell of a channel; null when the number is out of range or, unless
// `create`, when the channel was never stored.
calc_host_cell *chan_cell(calc_host *h, int isd, int index, bool create) {
    if (index < 1 || index > CX_CHAN_MAX) return nullptr;
    int k = isd ? 1 : 0;
    if (index < kDenseChans) {
        std::vector<calc_host_cell> &t = h->chan[k];
        if (static_cast<size_t>(index) >= t.size()) {
            if (!create) return nullptr;
            t.resize(static_cast<size_t>(index) + 1, calc_host_cell{0, 0, 0});
        }
        return &t[static_cast<size_t>(index)];
    }
    auto it = h->chan_far[k].find(index);
    if (it != h->chan_far[k].end()) return &it->second;
    if (!create) return nullptr;
    return &h->chan_far[k][index];
}

// Variable cells and channels below kDenseChans are read and written on the
// fast paths below (a benchmark tick does little else besides evaluating);
// the rest goes through chan_cell.

inline bool is_var(int isd, int index) {
    return !isd && index >= CX_VAR_BASE;
}

inline void store_var(calc_host *h, int index, int bad, double v) {
    size_t k = static_cast<size_t>(index - CX_VAR_BASE);
    bool good = !bad && std::isfinite(v);
    if (k < h->cells.size()) h->cells[k] = calc_host_cell{good ? v : 0, 1, good};
}

// Stores into a channel; true when it is stored for the first time.
bool store_chan(calc_host *h, int isd, int index, int bad, double v) {
    calc_host_cell *cell = chan_cell(h, isd, index, true);
    if (!cell) return false;
    bool good = !bad && std::isfinite(v);
    if (good && isd) v = std::fmin(255, std::fmax(0, std::round(v)));
    bool first = !cell->known;
    *cell = calc_host_cell{good ? v : 0, 1, good};
    return first;
}

__attribute__((noinline)) int read_far(const calc_host *h, int isd, int index, double *out) {
    const calc_host_cell *c = chan_cell(const_cast<calc_host *>(h), isd, index, false);
    if (!c || !c->good) return -1;
    *out = c->v;
    return 0;
}

__attribute__((noinline)) void write_chan(calc_host *h, int isd, int index, int bad, double v) {
    if (store_chan(h, isd, index, bad, v)) h->created.emplace_back(isd ? 1 : 0, index);
}

const struct {
    const char *n;
    int t;
} kTypes[] = {{"BOOL", CX_T_BOOL}, {"SINT", CX_T_SINT},   {"INT", CX_T_INT},
              {"DINT", CX_T_DINT}, {"LINT", CX_T_LINT},   {"USINT", CX_T_USINT},
              {"UINT", CX_T_UINT}, {"UDINT", CX_T_UDINT}, {"ULINT", CX_T_ULINT},
              {"REAL", CX_T_REAL}, {"LREAL", CX_T_LREAL}};

bool type_word(const char *w, int *type, int *kind) {
    *kind = cx_struct_type(w);
    if (*kind) {
        *type = 0;
        return true;
    }
    for (const auto &t : kTypes)
        if (strcasecmp(w, t.n) == 0) {
            *type = t.t;
            return true;
        }
    return false;
}

}  // namespace

// ---------------------------------------------------------------- variables

int calc_host_add_var(calc_host *h, const char *name, int type, int kind, int ndim,
                      const int *dim) {
    if (!name || !id_start(name[0])) return -1;
    size_t len = 0;
    while (id_char(name[len]))
        len++;
    if (name[len] || len > CX_NAME_MAX || cx_is_keyword(name) || calc_host_find(h, name)) return -1;
    if (kind != CX_KIND_PLAIN && kind != CX_KIND_TIMER && kind != CX_KIND_COUNTER) return -1;
    if (ndim < 0 || ndim > 3 || (ndim > 0 && !dim)) return -1;
    calc_host_var v{name, kind ? 0 : type, kind, ndim, {0, 0, 0}, 0, 0};
    int64_t n = kind ? CX_STRUCT_LEN : 1;
    for (int i = 0; i < ndim; i++) {
        if (dim[i] < 1 || dim[i] > CALC_HOST_MAX_CELLS) return -1;
        v.dim[i] = dim[i];
        n *= dim[i];
        if (n > CALC_HOST_MAX_CELLS) return -1;
    }
    if (n + static_cast<int64_t>(h->cells.size()) > CALC_HOST_MAX_CELLS) return -1;
    v.base = static_cast<int>(h->cells.size());
    v.cells = static_cast<int>(n);
    h->cells.resize(h->cells.size() + static_cast<size_t>(n));
    for (int i = 0; i < v.cells; i++) {
        double init = kind ? cx_struct_default(kind, i % CX_STRUCT_LEN) : 0;
        h->cells[static_cast<size_t>(v.base + i)] = calc_host_cell{init, 1, 1};
    }
    h->vars.push_back(v);
    return 0;
}

int calc_host_declare(calc_host *h, const char *decl) {
    const char *q = decl;
    if (!q || !id_start(*q)) return -1;
    while (id_char(*q))
        q++;
    std::string name(decl, static_cast<size_t>(q - decl));
    int type = CX_T_LREAL, kind = CX_KIND_PLAIN, ndim = 0, dim[3] = {0, 0, 0};
    if (*q == '[') {
        q++;
        for (;;) {
            char *end = nullptr;
            long n = strtol(q, &end, 10);
            if (end == q || n < 1 || n > CALC_HOST_MAX_CELLS || ndim >= 3) return -1;
            dim[ndim++] = static_cast<int>(n);
            q = end;
            if (*q == ',') {
                q++;
                continue;
            }
            if (*q != ']') return -1;
            q++;
            break;
        }
    }
    if (*q == ':') {
        if (!type_word(q + 1, &type, &kind)) return -1;
    } else if (*q) {
        return -1;
    }
    return calc_host_add_var(h, name.c_str(), type, kind, ndim, dim);
}

const calc_host_var *calc_host_find(const calc_host *h, const char *name) {
    for (const calc_host_var &v : h->vars)
        if (v.name == name) return &v;
    return nullptr;
}

// ---------------------------------------------------------------- host slots

int calc_host_resolve(void *u, const char *name, int *isd, int *index) {
    const calc_host_var *v = calc_host_find(me(u), name);
    if (!v || v->kind != CX_KIND_PLAIN) return -1;
    *isd = 0;
    *index = CX_VAR_BASE + v->base;
    return 0;
}

int calc_host_array_info(void *u, const char *name, int *base, int dim[3], int *ndim) {
    const calc_host_var *v = calc_host_find(me(u), name);
    if (!v || v->kind != CX_KIND_PLAIN || v->ndim == 0) return -1;
    cx_fill_array_info(v, base, dim, ndim);
    return 0;
}

int calc_host_data_info(void *u, const char *name, cx_data_desc *out) {
    const calc_host_var *v = calc_host_find(me(u), name);
    if (!v || v->kind == CX_KIND_PLAIN) return -1;
    cx_fill_data_desc(v, out);
    return 0;
}

int calc_host_type_of(void *u, int isd, int index) {
    if (isd || index < CX_VAR_BASE) return 0;
    const calc_host_var *v = var_of_cell(me(u), index - CX_VAR_BASE);
    return v && v->kind == CX_KIND_PLAIN ? v->type : 0;
}

const cx_host calc_host_slots = {
    calc_host_resolve, calc_host_array_info, nullptr, calc_host_data_info, nullptr,
    nullptr,           calc_host_type_of};

int calc_host_read(void *u, int isd, int index, double *out) {
    const calc_host *h = me(u);
    const calc_host_cell *c;
    if (is_var(isd, index)) {
        size_t k = static_cast<size_t>(index - CX_VAR_BASE);
        if (k >= h->cells.size()) return -1;
        c = &h->cells[k];
    } else if (static_cast<unsigned>(index) < kDenseChans) {
        const std::vector<calc_host_cell> &t = h->chan[isd ? 1 : 0];
        if (static_cast<size_t>(index) >= t.size()) return -1;
        c = &t[static_cast<size_t>(index)];  // channel 0 is never stored: reads bad
    } else {
        return read_far(h, isd, index, out);
    }
    if (!c->good) return -1;
    *out = c->v;
    return 0;
}

void calc_host_write(void *u, int isd, int index, int bad, double v) {
    calc_host *h = me(u);
    h->writes++;
    if (is_var(isd, index))
        store_var(h, index, bad, v);
    else
        write_chan(h, isd, index, bad, v);
}

// ---------------------------------------------------------------- cells

void calc_host_store(calc_host *h, int isd, int index, int bad, double v) {
    if (is_var(isd, index))
        store_var(h, index, bad, v);
    else
        store_chan(h, isd, index, bad, v);
}

int calc_host_lookup(const calc_host *h, const char *name, int *isd, int *index) {
    cx_load_opts lo{};
    lo.host = &calc_host_slots;
    lo.user = const_cast<calc_host *>(h);  // the slots only read
    cx_node *n = cx_load(name, &lo);
    bool ok = n && n->kind == CX_REF;
    if (ok) {
        *isd = n->is_discrete;
        *index = n->index;
    }
    cx_free(n);
    return ok ? 0 : -1;
}

double calc_host_value(const calc_host *h, const char *name) {
    int isd = 0, index = 0;
    double v = NAN;
    if (calc_host_lookup(h, name, &isd, &index) != 0 ||
        calc_host_read(const_cast<calc_host *>(h), isd, index, &v) != 0)
        return NAN;
    return v;
}

int calc_host_set(calc_host *h, const char *name, double value, int bad) {
    int isd = 0, index = 0;
    if (calc_host_lookup(h, name, &isd, &index) != 0) return -1;
    calc_host_store(h, isd, index, bad, value);
    return 0;
}

std::string calc_host_cell_name(const calc_host *h, int isd, int index) {
    char buf[160];
    if (isd || index < CX_VAR_BASE) {
        snprintf(buf, sizeof buf, "%c%d", isd ? 'D' : 'A', index);
        return buf;
    }
    int c = index - CX_VAR_BASE;
    const calc_host_var *v = var_of_cell(h, c);
    if (!v) return "?";
    std::string out = v->name;
    int off = c - v->base;
    int elen = v->kind == CX_KIND_PLAIN ? 1 : CX_STRUCT_LEN;
    int el = off / elen;
    if (v->ndim > 0) {
        int idx[3] = {0, 0, 0};
        for (int i = v->ndim - 1; i >= 0; i--) {
            idx[i] = el % v->dim[i];
            el /= v->dim[i];
        }
        out += "[";
        for (int i = 0; i < v->ndim; i++) {
            snprintf(buf, sizeof buf, i ? ",%d" : "%d", idx[i]);
            out += buf;
        }
        out += "]";
    }
    if (v->kind != CX_KIND_PLAIN) {
        const char *m = "?";
        cx_struct_member_info(v->kind, off % elen, &m, nullptr, nullptr);
        out += ".";
        out += m;
    }
    return out;
}

// ---------------------------------------------------------------- programs

cx_load_opts calc_host_opts(calc_host *h) {
    cx_load_opts lo{};
    lo.host = &calc_host_slots;
    lo.user = h;
    lo.err = h->err;
    lo.errsz = sizeof h->err;
    return lo;
}

cx_node *calc_host_parse(calc_host *h, const char *text) {
    cx_load_opts lo = calc_host_opts(h);
    cx_node *root = cx_load(text, &lo);
    h->line = lo.line;
    h->col = lo.col;
    return root;
}

void calc_host_at(calc_host *h, int64_t now_ms, int64_t dt_ms) {
    h->tick[CX_TICK_NOW] = now_ms;
    h->tick[CX_TICK_DT] = dt_ms;
    h->tick[CX_TICK_MONO] = now_ms;
    calc_period_fill(h->tick, &h->pc);
}

int calc_host_run(calc_host *h, cx_node *root) {
    return cx_exec_tick(root, calc_host_read, h, h->tick, calc_host_write, h);
}

cx_val calc_host_eval(calc_host *h, cx_node *root, bool with_tick) {
    return cx_eval_tick(root, calc_host_read, h, with_tick ? h->tick : nullptr);
}

int64_t calc_host_local_ms(int year, int month, int day, int hour, int minute, int second) {
    int64_t t = zq_local_epoch(year, month, day, hour, minute, second);
    return t == -1 ? INT64_MIN : t * 1000;
}
