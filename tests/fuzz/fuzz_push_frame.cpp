// Arbitrary bytes as a ZQP1 frame posted to the test trend server.
#include "push_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    push_fuzz::run_frame(data, size);
    return 0;
}
