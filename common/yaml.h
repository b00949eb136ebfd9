#pragma once
// Reader and emitter for the line-oriented YAML subset of config.yaml. The
// reader builds json_node trees (common/json.h): use the json_get* getters
// on the result and release it with json_free (or hold it in a json_ptr).

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "common/json.h"

// Deepest nesting of blocks; a deeper block yields no node.
constexpr int YAML_MAX_DEPTH = 200;

// One repeated key found by yaml_parse_dups.
struct yaml_dup {
    char key[64];         // cut to 63 characters
    uint32_t first_line;  // line of the replaced occurrence (0 when unknown)
    uint32_t line;        // line of the repeating occurrence, which takes effect
    uint32_t top_level;   // 1 when the key belongs to the top-level map
};

// Root map or sequence; null only for null text or when memory runs out.
json_node *yaml_parse(const char *text);
// Also fills up to capacity duplicate records; *count_out (when not null)
// receives the number found, which may exceed capacity.
json_node *yaml_parse_dups(const char *text, yaml_dup *records, size_t capacity, size_t *count_out);
// Reads and parses a whole file; null when it cannot be read.
json_node *yaml_parse_file(const char *path);

// Lines of an "items" value (literal block string or sequence). Null with
// count 0 for a null node; an empty array for other node types.
char **yaml_items(const json_node *node, size_t *count_out);
void yaml_items_free(char **items, size_t count);
// Same as yaml_items, as a vector.
std::vector<std::string> yaml_items_vec(const json_node *node);

// Text of the node's children in this dialect (malloc'ed, free() it);
// "" for a node without children; null only for a null node.
char *yaml_emit(const json_node *node);
// Same as yaml_emit; "" for a null node.
std::string yaml_emit_str(const json_node *node);
