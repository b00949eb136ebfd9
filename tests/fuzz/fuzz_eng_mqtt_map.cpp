// Feeds arbitrary map bodies to the engineering check of MQTT maps: it must
// answer a well-formed error list, empty exactly when it accepts the map.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "common/json.h"
#include "server/eng_mqtt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string body(reinterpret_cast<const char *>(data), size);
    std::string errors;
    // No config.yaml: no own tags, no prefix.
    int rc = eng_mqtt_check(body, "/nonexistent/zq-fuzz/config.yaml", &errors);
    json_ptr list(json_parse(errors.c_str()));
    if (!list || list->type != JSON_ARRAY) abort();
    if ((rc == 0) != (json_count(list.get()) == 0)) abort();
    for (const json_node *e = list->child; e; e = e->next)
        if (!json_get(e, "id") || !*json_gets(e, "msg", "")) abort();
    return 0;
}
