// Feeds arbitrary bytes to the JSON reader and exercises the getters, the
// escaper and the YAML emitter on whatever tree it accepts. Trees a config
// file could hold must come back unchanged through YAML emit and parse.
#include <ctype.h>
#include <math.h>
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
            std::string doc = "[\"" + json_escape_str(n->string) + "\"]";
            json_ptr back(json_parse(doc.c_str()));
            if (!back || strcmp(back->child->string, n->string) != 0) abort();
        }
        (void)json_int_of(n, 0);
        (void)json_bool_of(n, 0);
        walk(n->child);
    }
}

// A multi-line map value is written as a literal block, which by design
// drops blank lines, "#" lines and indentation; other strings must survive.
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

// Identifier keys without repeats, no empty containers (the dialect has no
// flow maps), finite numbers.
bool config_like(const json_node *n, bool in_seq) {
    for (const json_node *a = n; a; a = a->next)
        for (const json_node *b = a->next; b; b = b->next)
            if (a->key && b->key && strcmp(a->key, b->key) == 0) return false;
    for (; n; n = n->next) {
        if (n->key) {
            if (!*n->key) return false;
            for (const char *p = n->key; *p; p++)
                if (!isalnum((unsigned char)*p) && *p != '_') return false;
        }
        if ((n->type == JSON_ARRAY || n->type == JSON_OBJECT) && !n->child) return false;
        if (n->type == JSON_NUMBER && !isfinite(n->number)) return false;
        if (n->type == JSON_STRING && !in_seq && strchr(n->string, '\n') &&
            !literal_safe(n->string))
            return false;
        if (!config_like(n->child, n->type == JSON_ARRAY)) return false;
    }
    return true;
}

// Numbers are written with six significant digits.
bool same_tree(const json_node *a, const json_node *b) {
    for (; a && b; a = a->next, b = b->next) {
        if (!a->key != !b->key || (a->key && strcmp(a->key, b->key) != 0)) return false;
        if (a->type != b->type) return false;
        if (a->type == JSON_BOOL && a->boolean != b->boolean) return false;
        if (a->type == JSON_STRING && strcmp(a->string, b->string) != 0) return false;
        if (a->type == JSON_NUMBER && a->number != b->number &&
            fabs(a->number - b->number) > 1e-5 * fabs(a->number))
            return false;
        if (!same_tree(a->child, b->child)) return false;
    }
    return !a && !b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    json_ptr root(json_parse_len(reinterpret_cast<const char *>(data), size));
    if (!root) return 0;
    walk(root.get());
    std::string y = yaml_emit_str(root.get());
    if ((root->type == JSON_ARRAY || root->type == JSON_OBJECT) && root->child &&
        config_like(root->child, root->type == JSON_ARRAY)) {
        json_ptr back(yaml_parse(y.c_str()));
        if (!back || !same_tree(root->child, back->child)) abort();
    }
    return 0;
}
