#pragma once
// In-memory host for Structured Text tests: channels A<n>/D<n> and declared
// variables laid out in cells from CX_VAR_BASE, like the engine's host.

#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "calc/calc_period.h"
#include "calc/cexpr.h"

struct st_var {
    std::string name;
    int type;
    int kind;
    int ndim;
    int dim[3];
    int base;
    int cells;
};

struct st_host {
    std::vector<st_var> vars;
    std::vector<double> cell_v;
    std::vector<bool> cell_good;
    std::map<std::pair<int, int>, double> chans;  // absent = bad
    int writes = 0;
    int64_t tick[CX_TICK_SLOTS] = {};
    calc_period_cfg pc;
    char err[512] = "";
    int line = 0, col = 0;

    // kind: 0 plain, 1 FBD_TIMER, 2 FBD_COUNTER
    void var(const char *name, int type, int kind = 0, int d0 = 0, int d1 = 0, int d2 = 0) {
        st_var v{name, type, kind, 0, {d0, d1, d2}, static_cast<int>(cell_v.size()), 0};
        int n = kind ? CX_STRUCT_LEN : 1;
        for (int i = 0; i < 3 && v.dim[i] > 0; i++) {
            v.ndim++;
            n *= v.dim[i];
        }
        v.cells = n;
        for (int i = 0; i < n; i++) {
            cell_v.push_back(kind ? cx_struct_default(kind, i % CX_STRUCT_LEN) : 0);
            cell_good.push_back(true);
        }
        vars.push_back(v);
    }
    const st_var *find(const char *name) const {
        for (const st_var &v : vars)
            if (v.name == name) return &v;
        return nullptr;
    }
    // Value of a variable cell (by variable name and cell offset).
    double cell(const char *name, int off = 0) const {
        const st_var *v = find(name);
        return v ? cell_v[static_cast<size_t>(v->base + off)] : NAN;
    }
    bool cell_ok(const char *name, int off = 0) const {
        const st_var *v = find(name);
        return v && cell_good[static_cast<size_t>(v->base + off)];
    }
    void set_cell(const char *name, int off, double x) {
        const st_var *v = find(name);
        cell_v[static_cast<size_t>(v->base + off)] = x;
        cell_good[static_cast<size_t>(v->base + off)] = true;
    }
    void set(const char *ch, double v) { chans[key(ch)] = v; }
    void set_bad(const char *ch) { chans.erase(key(ch)); }
    bool good(const char *ch) const { return chans.count(key(ch)) != 0; }
    double get(const char *ch) const {
        auto it = chans.find(key(ch));
        return it == chans.end() ? NAN : it->second;
    }
    static std::pair<int, int> key(const char *ch) {
        return {ch[0] == 'D' || ch[0] == 'd', atoi(ch + 1)};
    }

    static st_host *me(void *u) { return static_cast<st_host *>(u); }
    static int resolve(void *u, const char *name, int *isd, int *index) {
        const st_var *v = me(u)->find(name);
        if (!v || v->kind) return -1;
        *isd = 0;
        *index = CX_VAR_BASE + v->base;
        return 0;
    }
    static int array_info(void *u, const char *name, int *base, int dim[3], int *ndim) {
        const st_var *v = me(u)->find(name);
        if (!v || v->kind || !v->ndim) return -1;
        *base = CX_VAR_BASE + v->base;
        memcpy(dim, v->dim, sizeof v->dim);
        *ndim = v->ndim;
        return 0;
    }
    static int data_info(void *u, const char *name, cx_data_desc *d) {
        const st_var *v = me(u)->find(name);
        if (!v || !v->kind) return -1;
        d->base = CX_VAR_BASE + v->base;
        d->ndim = v->ndim;
        memcpy(d->dim, v->dim, sizeof v->dim);
        d->kind = v->kind;
        d->type = 0;
        return 0;
    }
    static int type_of(void *u, int isd, int index) {
        if (isd || index < CX_VAR_BASE) return 0;
        for (const st_var &v : me(u)->vars)
            if (index - CX_VAR_BASE >= v.base && index - CX_VAR_BASE < v.base + v.cells)
                return v.kind ? 0 : v.type;
        return 0;
    }
    static int read(void *u, int isd, int index, double *out) {
        st_host *h = me(u);
        if (!isd && index >= CX_VAR_BASE) {
            size_t c = static_cast<size_t>(index - CX_VAR_BASE);
            if (c >= h->cell_v.size() || !h->cell_good[c]) return -1;
            *out = h->cell_v[c];
            return 0;
        }
        auto it = h->chans.find({isd, index});
        if (it == h->chans.end()) return -1;
        *out = it->second;
        return 0;
    }
    static void write(void *u, int isd, int index, int bad, double v) {
        st_host *h = me(u);
        h->writes++;
        bool ok = !bad && std::isfinite(v);
        if (!isd && index >= CX_VAR_BASE) {
            size_t c = static_cast<size_t>(index - CX_VAR_BASE);
            if (c >= h->cell_v.size()) return;
            h->cell_v[c] = ok ? v : 0;
            h->cell_good[c] = ok;
            return;
        }
        if (ok)
            h->chans[{isd, index}] = v;
        else
            h->chans.erase({isd, index});
    }
    cx_host table() const {
        return cx_host{resolve, array_info, nullptr, data_info, nullptr, nullptr, type_of};
    }

    cx_node *parse(const char *text) {
        cx_host t = table();
        err[0] = 0;
        cx_load_opts lo{};
        lo.host = &t;
        lo.user = this;
        lo.err = err;
        lo.errsz = sizeof err;
        cx_node *root = cx_load(text, &lo);
        line = lo.line;
        col = lo.col;
        return root;
    }
    // Advances the tick clock to now_ms with the given dt and fills periods.
    void at(int64_t now_ms, int64_t dt) {
        tick[CX_TICK_NOW] = now_ms;
        tick[CX_TICK_DT] = dt;
        tick[CX_TICK_MONO] = now_ms;
        calc_period_fill(tick, &pc);
    }
    void run(cx_node *root) { cx_exec_tick(root, read, this, tick, write, this); }
    cx_val eval(cx_node *root, bool with_tick = false) {
        return cx_eval_tick(root, read, this, with_tick ? tick : nullptr);
    }
};

// Local time in the current TZ to epoch milliseconds.
inline int64_t local_ms(int y, int mo, int d, int h, int mi, int s = 0) {
    struct tm tm {};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    return static_cast<int64_t>(mktime(&tm)) * 1000;
}
