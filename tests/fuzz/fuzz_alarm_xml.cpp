// Feeds arbitrary bytes to the legacy XML converter: the result is always
// a definition file the loader accepts.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "alarm/alarm_config.h"
#include "alarm/alarm_xml.h"
#include "common/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = [] {
        log_set_flags(0, 0, 0);
        return true;
    }();
    (void)quiet;
    std::string json;
    alarm_xml_convert(std::string(reinterpret_cast<const char *>(data), size), &json);
    alarm_config c;
    if (alarm_config_parse(&c, json.c_str(), json.size()) != 0) abort();
    return 0;
}
