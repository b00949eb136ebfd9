// Arbitrary bytes as an HTTP request: the reader, the head parser and the
// helpers that pick values out of it must never read or write out of bounds.
#include "tests/fuzz/http_fuzz_driver.h"

#include "common/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = (log_set_flags(0, 0, 0), true);
    (void)quiet;
    if (size == 0) return 0;
    (void)http_fuzz::run_one(data, size);
    return 0;
}
