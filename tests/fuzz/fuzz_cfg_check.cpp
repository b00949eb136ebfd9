// The configuration check on arbitrary text: no crash, at most 64 issues,
// each message within its bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/cfg_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text((const char *)data, size);
    std::vector<cfg_issue> issues;
    int n = cfg_check(text, &issues);
    if (n > CFG_CHECK_MAX_ISSUES || (n >= 0 && (size_t)n != issues.size())) abort();
    for (const cfg_issue &i : issues)
        if (i.msg.size() > (size_t)CFG_CHECK_MSG_MAX || i.line < 0) abort();
    return 0;
}
