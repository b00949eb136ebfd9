// Feeds arbitrary bytes to the YAML reader, then emits what it built and
// reads that back, so both directions see hostile trees. For trees with
// plain keys the emitted text must be a fixed point: reading and emitting it
// again gives the same text.
#include <ctype.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/yaml.h"

namespace {

// A multi-line map value is written as a literal block, which by design
// drops blank lines, "#" lines and indentation.
bool literal_safe(const char *s) {
    for (const char *line = s;;) {
        const char *nl = strchr(line, '\n');
        size_t len = nl ? (size_t)(nl - line) : strlen(line);
        if (len == 0 || isspace((unsigned char)line[0]) || line[0] == '#' ||
            isspace((unsigned char)line[len - 1]))
            return false;
        if (!nl) return true;
        line = nl + 1;
    }
}

// Keys written back verbatim must not look like quotes, dashes or comments;
// empty maps are written as "{}", which this dialect reads as a string.
bool plain_keys(const json_node *n) {
    for (; n; n = n->next) {
        if (n->key && n->type == JSON_STRING && strchr(n->string, '\n') && !literal_safe(n->string))
            return false;
        if (n->key) {
            if (!*n->key) return false;
            for (const char *p = n->key; *p; p++)
                if (!isalnum((unsigned char)*p) && *p != '_' && *p != '.') return false;
        }
        if (n->type == JSON_OBJECT && !n->child) return false;
        if (!plain_keys(n->child)) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    yaml_dup dups[4];
    size_t ndup = 0;
    json_ptr root(yaml_parse_dups(text.c_str(), dups, 4, &ndup));
    if (!root) return 0;
    for (const json_node *c = root->child; c; c = c->next) {
        size_t n = 0;
        char **items = yaml_items(c, &n);
        yaml_items_free(items, n);
    }
    std::string once = yaml_emit_str(root.get());
    json_ptr again(yaml_parse(once.c_str()));
    if (!again) abort();  // the reader only fails on null text or no memory
    if (plain_keys(root->child) && yaml_emit_str(again.get()) != once) abort();
    return 0;
}
