// Arbitrary bytes as an uploaded web-page archive: the check and the
// extraction must neither crash nor write outside the target folder.
#include "tests/fuzz/eng_zip_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    eng_zip_fuzz::run_one(data, size);
    return 0;
}
