// Feeds arbitrary bytes to the alarm definition loader: no crash, limits
// kept, and every event's display texts fit their fields.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "alarm/alarm_config.h"
#include "alarm/alarm_engine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    alarm_config c;
    alarm_config_parse(&c, reinterpret_cast<const char *>(data), size);
    if (c.events.size() > ALARM_MAX_EVENTS || c.levels.size() > ALARM_MAX_LEVELS ||
        c.stations.size() > ALARM_MAX_STATIONS || c.takt_ms < ALARM_TAKT_MIN_MS)
        abort();
    char b[160];
    for (const alarm_event &e : c.events) {
        alarm_event_expr_text(e, b, sizeof b);
        alarm_event_params(e, b, sizeof b);
        if (strlen(e.desc) >= sizeof e.desc) abort();
    }
    return 0;
}
