// Feeds arbitrary config.yaml texts to the backup section writer and
// arbitrary names to the checks the backup endpoints apply to requests.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/json.h"
#include "common/yaml.h"
#include "common/yaml_edit.h"
#include "server/eng_backup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string in(reinterpret_cast<const char *>(data), size);
    std::string text = in;
    int rc = eng_backup_section_set(&text, true, 3, 4, 5);
    if (rc == YAML_EDIT_OK) {
        if (!eng_backup_has_section(text)) abort();
        json_ptr before(yaml_parse(in.c_str()));
        json_ptr after(yaml_parse(text.c_str()));
        // A text that read before and still reads holds what was set.
        if (before && after && strlen(in.c_str()) == in.size()) {
            const json_node *bk = json_get(after.get(), "backup");
            if (json_geti(bk, "keep", 0) != 5 ||
                strcmp(json_gets(bk, "schedule", ""), "03:04") != 0)
                abort();
        }
    }
    std::string name = in.substr(0, in.find('\0'));
    if (eng_backup_name_ok(name.c_str()) &&
        (name.find('/') != std::string::npos || name.find("..") != std::string::npos))
        abort();
    std::string stamp = eng_backup_stamp_of(name.c_str());
    if (!stamp.empty() && stamp.size() != 15) abort();
    int h, m;
    if (eng_backup_schedule_ok(name.c_str(), &h, &m) && (h < 0 || h > 23 || m < 0 || m > 59))
        abort();
    return 0;
}
