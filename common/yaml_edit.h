#pragma once
// Line editor for config.yaml: replaces or inserts one key of one map
// (a top-level section or a map nested in it) and leaves every other line
// byte for byte as it was, comments included. New lines take the
// indentation of their neighbours (the map's own child indentation), so a
// file indented by four keeps reading as the same tree.
//
// Values are given as YAML text: a scalar ("2000", "\"a\\\\b\"") or the
// lines of a block relative to indentation 0 ("- \"x\"", or nested map
// lines); the editor indents a block below its key.

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

enum {
    YAML_EDIT_OK = 0,
    YAML_EDIT_BAD_PATH = -1,    // a map on the path is missing or is not a map
    YAML_EDIT_UNREADABLE = -2,  // the file cannot be read
    YAML_EDIT_BROKEN = -3,      // the result would lose or change another section
    YAML_EDIT_WRITE = -4,       // the file cannot be replaced (errno set)
};

// Where to edit: the names of the maps from the top level down, e.g.
// {"logix", "time"}. Missing maps on the path are created at its end (a
// missing top-level section is appended to the file).
struct yaml_edit_path {
    const char *const *names;
    int depth;  // 1 .. 8
};

// Sets key to a scalar (the text after "key: "); `comment` (may be null)
// is written after the value on a new line only ("   # comment").
int yaml_edit_set_scalar(std::string *text, yaml_edit_path path, const char *key,
                         const std::string &scalar, const char *comment = nullptr);
// Sets key to a block: "key:" followed by `lines`, each indented below the
// key. An empty list writes "key: []".
int yaml_edit_set_block(std::string *text, yaml_edit_path path, const char *key,
                        const std::vector<std::string> &lines);
// Removes key and its block; YAML_EDIT_OK also when it was not there.
int yaml_edit_remove(std::string *text, yaml_edit_path path, const char *key);

// A file edit: reads the file, applies `edit` to its text, checks that
// every top-level section other than path.names[0] reads back as the same
// tree and that the edited section still reads, then replaces the file
// atomically. Every file edit of the process runs under one lock, so two
// handlers never lose each other's change. `edit` returns YAML_EDIT_OK or
// an error that is passed back without writing.
int yaml_edit_file(const char *path, yaml_edit_path where,
                   const std::function<int(std::string *text)> &edit);

// The lock yaml_edit_file holds: code that rewrites config.yaml whole (or
// by other means than yaml_edit_file) takes it too, so no edit is lost.
std::mutex &yaml_edit_mutex();

// Text of a YAML_EDIT_* code for log lines.
const char *yaml_edit_strerror(int code);
