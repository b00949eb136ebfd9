#pragma once
// Minute and hour accumulators: per cell a sum and a count of good samples.
// Analog n uses cell n - 1, discrete n cell an_cells + n - 1; the split is
// fixed by the configured counts so discretes never fall onto analog cells
// (nor below cell 0 in a project without analogs).

#include <stddef.h>
#include <stdint.h>

#include <vector>

struct trend_acc {
    std::vector<double> sum;
    std::vector<uint32_t> cnt;
    int an_cells = 0;
    int di_cells = 0;

    // 0, or -1 without memory. cfg_an/cfg_di count slot 0.
    int init(int cfg_an, int cfg_di);
    void reset();
    int an_cell(int n) const { return (n >= 1 && n - 1 < an_cells) ? n - 1 : -1; }
    int di_cell(int n) const { return (n >= 1 && n - 1 < di_cells) ? an_cells + n - 1 : -1; }
    // Mean of the cell; false when it has no sample.
    bool mean(int cell, double *out) const {
        if (cell < 0 || cell >= (int)cnt.size() || cnt[(size_t)cell] == 0) return false;
        *out = sum[(size_t)cell] / cnt[(size_t)cell];
        return true;
    }
};
