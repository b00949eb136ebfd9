#pragma once
// The built-in config.yaml of a fresh project: written when a project has
// neither config.yaml nor a legacy INI, and the template from which every
// release adds its new sections and keys to existing files.

// The whole text (static storage, NUL-terminated).
const char *config_skeleton_str();

// Writes the skeleton to path atomically; 0, or -1 with errno set (the old
// file, if any, is left as it was).
int config_write_skeleton(const char *path);
