// Feeds arbitrary form fields to the checks of the trend push endpoints:
// the input is three lines (server URL, token, date). Whatever they accept
// must be safe to put into the recorder's request line and header and be a
// real calendar day.
#include <stddef.h>
#include <stdint.h>
#include <string>

#include "tests/fuzz/eng_push_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    eng_push_fuzz_run(std::string(reinterpret_cast<const char *>(data), size));
    return 0;
}
