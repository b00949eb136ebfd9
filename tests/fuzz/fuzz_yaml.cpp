// Feeds arbitrary bytes to the YAML reader, then emits what it built and
// reads that back, so both directions see hostile trees.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "common/yaml.h"

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
        (void)json_gets(c, "items", "");
    }
    char *out = yaml_emit(root.get());
    if (out) {
        json_ptr again(yaml_parse(out));
        if (!again) abort();  // the reader only fails on null text or no memory
        free(out);
    }
    return 0;
}
