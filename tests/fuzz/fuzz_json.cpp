// Feeds arbitrary bytes to the JSON reader and exercises the getters, the
// escaper and the YAML emitter on whatever tree it accepts.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/json.h"
#include "common/yaml.h"

namespace {

void walk(const json_node *n) {
    for (; n; n = n->next) {
        if (n->type == JSON_STRING) {
            char buf[64];
            size_t len = json_escape(n->string, buf, sizeof buf);
            if (len >= sizeof buf || strlen(buf) != len) abort();
            std::string full = json_escape_str(n->string);
            std::string doc = "[\"" + full + "\"]";
            json_ptr back(json_parse(doc.c_str()));
            if (!back || strcmp(back->child->string, n->string) != 0) abort();
        }
        (void)json_int_of(n, 0);
        (void)json_bool_of(n, 0);
        if (n->key) (void)json_getn(n, n->key, 0);
        walk(n->child);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    json_ptr root(json_parse_len(reinterpret_cast<const char *>(data), size));
    if (!root) return 0;
    walk(root.get());
    char *y = yaml_emit(root.get());
    free(y);
    return 0;
}
