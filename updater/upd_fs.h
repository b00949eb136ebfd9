#pragma once
// File helpers that never follow a symbolic link: paths are walked one
// element at a time with O_NOFOLLOW, files are created with O_EXCL.

#include <sys/types.h>

#include <string>

bool upd_write_all(int fd, const void *data, size_t len);
// Opens (creating with mode 0700 when create is set) every folder of rel.
// Returns the descriptor of the last one, or -1.
int upd_open_dirs(int base_fd, const std::string &rel, bool create, std::string *err);
bool upd_make_dirs(int base_fd, const std::string &rel, bool last_too, std::string *err);
// Creates rel (and its parents) below base_fd for writing; -1 on failure.
int upd_create_file(int base_fd, const std::string &rel, mode_t mode, std::string *err);
// Removes name below dir_fd and, when it is a folder, all it holds; links
// are removed, never followed.
bool upd_remove_tree(int dir_fd, const char *name);
// Copies a regular file or a folder (recursively) from our own staging
// tree to dst_fd/dst_name, which must not exist. Files get file_mode
// (0755 for executables, else 0644), folders 0755; owned by root when the
// process is root. fsync'ed so a rename after it is durable.
bool upd_copy_tree(int src_dir, const char *src_name, int dst_dir, const char *dst_name,
                   mode_t file_mode, std::string *err);
