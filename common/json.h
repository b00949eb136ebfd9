#pragma once
// JSON reader building a node tree (shared with the YAML reader), member
// getters with defaults, and the escaper used when composing JSON text.

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <string_view>

enum json_type : uint32_t {
    JSON_NULL = 0,
    JSON_BOOL = 1,
    JSON_NUMBER = 2,
    JSON_STRING = 3,
    JSON_ARRAY = 4,   // YAML: sequence
    JSON_OBJECT = 5,  // YAML: map
};

// One allocation per node (calloc); key and string are malloc'ed and owned.
struct json_node {
    uint32_t type;
    char *key;  // member name in an object, null for array items and the root
    int32_t boolean;
    double number;
    char *string;  // never null for a string built by the readers
    json_node *child;
    json_node *next;
};

// Deepest nesting of arrays/objects the reader accepts; deeper input fails.
constexpr int JSON_MAX_DEPTH = 200;

// Parses NUL-terminated text; null on null text or any syntax error.
json_node *json_parse(const char *text);
// Same over a byte range (a NUL byte inside the range ends the text).
json_node *json_parse_len(const char *text, size_t len);
// Reads and parses a whole file; null when it cannot be read or parsed.
json_node *json_parse_file(const char *path);

// Frees the node, its subtree and every following sibling. Null is allowed.
void json_free(json_node *node);

// First member of an object with exactly this key; null otherwise.
json_node *json_get(const json_node *object, const char *key);

const char *json_str_of(const json_node *node, const char *def);
double json_num_of(const json_node *node, double def);
int json_bool_of(const json_node *node, int def);

const char *json_gets(const json_node *object, const char *key, const char *def);
double json_getn(const json_node *object, const char *key, double def);
int json_getb(const json_node *object, const char *key, int def);

// Integer reads: a non-finite number, or one outside the range of long long,
// counts as absent and yields the default (a plain cast would be undefined).
// The value is truncated toward zero like a cast.
long long json_int_of(const json_node *node, long long def);
long long json_geti(const json_node *object, const char *key, long long def);

// Children of an array/object: count and i-th child (null when out of range).
size_t json_count(const json_node *node);
json_node *json_at(const json_node *node, size_t index);

// Escaped form of src without quotes into dst (capacity bytes, NUL included);
// returns the bytes written. Output is cut once it reaches capacity - 7.
size_t json_escape(const char *src, char *dst, size_t capacity);
// Same escaping rules, whole input, no length bound.
std::string json_escape_str(std::string_view src);

// Node creation for code that builds trees (then emits them as YAML).
// All return null when memory runs out; key may be null.
json_node *json_new(uint32_t type, const char *key);
json_node *json_new_string(const char *key, const char *value);
json_node *json_new_number(const char *key, double value);
json_node *json_new_bool(const char *key, int value);
// Appends child as the last child of parent; returns child.
json_node *json_append(json_node *parent, json_node *child);
// Puts value under key in an object: it takes the place of the first member
// with that key (which is freed) or is appended. value's key is replaced by
// key. Returns value, or null (and frees value) when object is not an object
// or memory runs out.
json_node *json_set(json_node *object, const char *key, json_node *value);
// Unlinks child from parent without freeing it; returns child, or null when
// it is not a child of parent.
json_node *json_detach(json_node *parent, json_node *child);

// RAII owner of a tree: json_ptr root(json_parse(text));
struct json_deleter {
    void operator()(json_node *n) const { json_free(n); }
};
using json_ptr = std::unique_ptr<json_node, json_deleter>;
