#pragma once
// Configuration augmentation: adds to a project's config.yaml the top-level
// sections and direct child keys that a release's template has and the
// file lacks. Works on text lines, so every existing line, value, comment
// and line ending stays byte for byte; new child keys go to the end of
// their section at the section's own indentation, new sections to the end
// of the file under a marker comment.

#include <cstddef>
#include <string>

// Largest configuration file or template that augmentation reads.
constexpr size_t CFG_AUG_MAX_BYTES = 8u << 20;

enum {
    CFG_AUG_ADDED = 1,    // something was added
    CFG_AUG_NOTHING = 0,  // the file already has everything
    CFG_AUG_FAILED = -1,  // out of memory, unreadable, too large or not written
};

// Merges template into current. CFG_AUG_ADDED with the new text in *out,
// CFG_AUG_NOTHING (out untouched), or CFG_AUG_FAILED when memory runs out.
int config_augment_text(const std::string &current, const std::string &templ, std::string *out);

// Augments the file in place: read whole (at most CFG_AUG_MAX_BYTES), merged,
// and when anything was added replaced atomically keeping its permission
// bits and owner. Any failure leaves the file as it was (errno set).
int config_augment_file(const char *path, const char *template_text);
// Same with the template read from a file.
int config_augment_files(const char *path, const char *template_path);
