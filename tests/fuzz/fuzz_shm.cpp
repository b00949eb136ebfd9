// Hostile shared-memory objects: whatever bytes another program (or a stale
// build) left in the object, attaching and reading every record through the
// bounds-checked accessors never reads outside the mapping.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/log.h"
#include "tests/fuzz/shm_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string name = "/zqfuzz_shm_" + std::to_string(getpid());
    static const bool quiet = [] {
        log_set_flags(0, 0, 0);  // no log files from the fuzzer's working directory
        return true;
    }();
    (void)quiet;
    (void)shm_fuzz::run_one(name.c_str(), data, size);
    return 0;
}
