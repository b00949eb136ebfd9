// Mount list entries from arbitrary config.yaml bytes: what passes the
// checks reaches zqnet only as plain arguments.
#include <stddef.h>
#include <stdint.h>

#include "tests/fuzz/net_mounts_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    net_mounts_fuzz_one(std::string(reinterpret_cast<const char *>(data), size));
    return 0;
}
