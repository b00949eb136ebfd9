#include "trend_acc.h"

#include <algorithm>
#include <new>

int trend_acc::init(int cfg_an, int cfg_di) {
    an_cells = std::max(cfg_an - 1, 0);
    di_cells = std::max(cfg_di - 1, 0);
    try {
        sum.assign((size_t)an_cells + (size_t)di_cells, 0.0);
        cnt.assign((size_t)an_cells + (size_t)di_cells, 0);
    } catch (const std::bad_alloc &) {
        return -1;
    }
    return 0;
}

void trend_acc::reset() {
    std::fill(sum.begin(), sum.end(), 0.0);
    std::fill(cnt.begin(), cnt.end(), 0u);
}
