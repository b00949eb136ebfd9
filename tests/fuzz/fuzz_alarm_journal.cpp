// Feeds arbitrary bytes as a journal file: records written back parse to
// the same record, and lines that were not records come back unchanged.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "alarm/alarm_journal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size), out;
    std::vector<alarm_jline> lines, again;
    alarm_journal_parse(text, &lines);
    alarm_journal_format(lines, &out);
    alarm_journal_parse(out, &again);
    if (again.size() != lines.size()) abort();
    for (size_t i = 0; i < lines.size(); i++) {
        if (lines[i].is_record != again[i].is_record) abort();
        if (lines[i].is_record &&
            alarm_record_line(lines[i].rec) != alarm_record_line(again[i].rec))
            abort();
        if (!lines[i].is_record && lines[i].raw != again[i].raw) abort();
    }
    return 0;
}
