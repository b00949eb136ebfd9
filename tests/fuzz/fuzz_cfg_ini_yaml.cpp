// The legacy INI conversion on arbitrary INI files.
#include <stdlib.h>

#include "cfg_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!cfg_fuzz::ini_case(data, size).empty()) abort();
    return 0;
}
