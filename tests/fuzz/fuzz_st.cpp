// Structured Text parser and evaluator on arbitrary text: the engineering
// editor validates programs from the network with this code, on the same
// in-memory host the server's program check uses.

#include <cstddef>
#include <cstdint>

#include "tests/fuzz/st_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    (void)st_fuzz::run_one(data, size);
    return 0;
}
