// libFuzzer target: the calc configuration and program loader.
#include "tests/fuzz/calc_cfg_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 65536) return 0;
    calc_cfg_fuzz_one(data, size);
    return 0;
}
