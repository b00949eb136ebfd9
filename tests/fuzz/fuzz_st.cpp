// Structured Text parser and evaluator on arbitrary text: the engineering
// editor validates programs from the network with this code.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "calc/calc_period.h"
#include "calc/cexpr.h"

namespace {

// Variables: n DINT, arr[4,3] LREAL, t FBD_TIMER, ts[3] FBD_TIMER, c FBD_COUNTER.
constexpr int kCells = 1 + 12 + 13 + 39 + 13;
double cells[kCells];
double chans[2][64];

int resolve(void *, const char *name, int *isd, int *index) {
    if (strcmp(name, "n") == 0 || strcmp(name, "arr") == 0) {
        *isd = 0;
        *index = CX_VAR_BASE + (name[0] == 'n' ? 0 : 1);
        return 0;
    }
    return -1;
}
int array_info(void *, const char *name, int *base, int dim[3], int *ndim) {
    if (strcmp(name, "arr") != 0) return -1;
    *base = CX_VAR_BASE + 1;
    dim[0] = 4;
    dim[1] = 3;
    dim[2] = 0;
    *ndim = 2;
    return 0;
}
int data_info(void *, const char *name, cx_data_desc *d) {
    memset(d, 0, sizeof(*d));
    if (strcmp(name, "t") == 0)
        d->base = 13, d->kind = CX_KIND_TIMER;
    else if (strcmp(name, "ts") == 0)
        d->base = 26, d->kind = CX_KIND_TIMER, d->ndim = 1, d->dim[0] = 3;
    else if (strcmp(name, "c") == 0)
        d->base = 65, d->kind = CX_KIND_COUNTER;
    else
        return -1;
    d->base += CX_VAR_BASE;
    return 0;
}
int type_of(void *, int isd, int index) {
    return !isd && index == CX_VAR_BASE ? CX_T_DINT : 0;
}

int rd(void *, int isd, int index, double *out) {
    if (!isd && index >= CX_VAR_BASE && index < CX_VAR_BASE + kCells) {
        *out = cells[index - CX_VAR_BASE];
        return 0;
    }
    if (index >= 0 && index < 64 && index % 5 != 4) {  // some channels bad
        *out = chans[isd ? 1 : 0][index];
        return 0;
    }
    return -1;
}
void wr(void *, int isd, int index, int bad, double v) {
    if (!isd && index >= CX_VAR_BASE && index < CX_VAR_BASE + kCells)
        cells[index - CX_VAR_BASE] = bad ? 0 : v;
    else if (index >= 0 && index < 64)
        chans[isd ? 1 : 0][index] = bad ? 0 : v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 65536) return 0;
    std::string text(reinterpret_cast<const char *>(data), size);
    static const cx_host host = {resolve, array_info, nullptr, data_info,
                                 nullptr, nullptr,    type_of};
    char err[256];
    memset(cells, 0, sizeof cells);
    memset(chans, 0, sizeof chans);
    cx_load_opts lo{};
    lo.host = &host;
    lo.err = err;
    lo.errsz = sizeof err;
    cx_node *root = cx_load(text.c_str(), &lo);
    if (!root) return 0;
    int tags[32];
    cx_collect_tags(root, tags, 32);
    cx_collect_assigns(root, tags, 32);
    cx_collect_periods(root);
    cx_if2_misplaced(root);
    cx_stateful_in_loop(root);
    calc_period_cfg pc;
    int64_t tick[CX_TICK_SLOTS] = {};
    for (int k = 0; k < 2; k++) {
        tick[CX_TICK_NOW] = 1773136800000 + k * 1000;
        tick[CX_TICK_DT] = k ? 1000 : 0;
        tick[CX_TICK_MONO] = tick[CX_TICK_NOW];
        calc_period_fill(tick, &pc);
        if (cx_is_stmt(root))
            cx_exec_tick(root, rd, nullptr, tick, wr, nullptr);
        else
            cx_eval_root(root, rd, nullptr, tick, nullptr);
    }
    int ns = cx_state_count(root);
    for (int i = 0; i < ns; i++) {
        cx_state_rec rec;
        if (cx_state_get(root, i, &rec) == 0) cx_state_set(root, i, &rec);
    }
    cx_free(root);
    return 0;
}
