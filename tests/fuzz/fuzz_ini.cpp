// Feeds arbitrary bytes to the INI reader: no crash, every key line it keeps
// lies inside the text, and section order follows the line numbers.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "common/ini.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    ini_file f;
    ini_parse(text, &f);
    if (f.sections.empty() || !f.sections[0].name.empty()) abort();
    int last = 0;
    for (const ini_section &s : f.sections) {
        if (s.line < last) abort();
        last = s.line;
        for (const ini_entry &e : s.entries) {
            if (e.line <= last || e.key.size() + e.value.size() > size) abort();
            last = e.line;
            (void)ini_get(&s, e.key.c_str());
        }
    }
    return 0;
}
