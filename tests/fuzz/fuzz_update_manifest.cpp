// Distribution manifests and signature files straight from an archive.
#include "tests/updater/update_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    update_fuzz::run_one(data, size);
    return 0;
}
