// Arbitrary bytes as a panel (.ks) file: the parser stays in bounds and the
// picture and frame it yields carry no script and no control characters.
#include "ks_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ks_fuzz::run_one(data, size);
    return 0;
}
