// Arbitrary bytes as a trend server's answer read by the push worker.
#include "push_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    push_fuzz::run_answer(data, size);
    return 0;
}
