// Feeds arbitrary bytes as an acknowledgement request file: every request
// taken has a positive id and an address without blanks.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "alarm/alarm_ack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<alarm_ack_req> v;
    alarm_ack_parse(std::string(reinterpret_cast<const char *>(data), size), &v);
    for (const alarm_ack_req &q : v)
        if (q.id <= 0 || !q.ip[0] || strpbrk(q.ip, " \t\n")) abort();
    return 0;
}
