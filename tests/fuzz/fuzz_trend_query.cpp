// Arbitrary bytes as a day's seconds file and sidecar through the trend
// query: no crash, no read outside the files, and a well-formed result.
#include "trend_query_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tq_fuzz::run_one(data, size);
    return 0;
}
