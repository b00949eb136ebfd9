// Arbitrary bytes as a controller's replies to each client operation: no
// decoder may read past what arrived or write past the caller's buffers.
#include "tests/fuzz/cip_fuzz_driver.h"

#include "common/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = (log_set_flags(0, 0, 0), true);
    (void)quiet;
    cip_fuzz::run_one(data, size);
    return 0;
}
