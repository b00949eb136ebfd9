#include "common/test_clock.h"

#include <stdio.h>
#include <stdlib.h>

#include "common/shm.h"

void zq_test_clock_from_env(zq_test_clock *c, const char *var) {
    const char *clk = getenv(var);
    if (!clk) return;
    long long a, f;
    double sp;
    if (sscanf(clk, "%lld,%lld,%lf", &a, &f, &sp) == 3 && sp > 0) {
        c->anchor_real = a;
        c->anchor_fake = f;
        c->speed = sp;
    }
}

int64_t zq_test_clock_now_ms(const zq_test_clock *c) {
    int64_t real = shm_now_ms();
    if (c->speed == 1.0 && c->anchor_real == 0) return real;
    return c->anchor_fake + (int64_t)((double)(real - c->anchor_real) * c->speed);
}
