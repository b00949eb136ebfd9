// Legacy channel tables and user text pass through both conversions; any
// byte sequence must convert within the capacity, always NUL-terminated.

#include <cstddef>
#include <cstdint>

#include "tests/fuzz/cp1251_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    (void)cp1251_fuzz::run_one(data, size);
    return 0;
}
