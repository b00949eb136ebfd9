#pragma once
// Small text and file helpers shared by the programs.

#include <stddef.h>

#include <string>

// strtod in the C locale, whatever locale the program has set.
double zq_strtod_c(const char *s, char **end);

// snprintf of one double in the C locale (files never get a decimal comma).
int zq_format_double_c(char *buf, size_t cap, const char *fmt, double v);

// Reads a whole file into *out; 0, or -1 (errno set) when it cannot be read.
int zq_read_file(const char *path, std::string *out);

// Reads a whole regular file of at most max_bytes; 0, or -1 (errno set;
// EFBIG when larger, EINVAL when not a regular file).
int zq_read_file_max(const char *path, size_t max_bytes, std::string *out);

// Directory part of a path: "." without a slash, "/" for a top-level name.
std::string zq_dir_of(const char *path);

// Copies src into dst of capacity cap (cap >= 1), cut to fit and always
// terminated; a null src copies "". Returns dst.
char *zq_copy_cut(char *dst, size_t cap, const char *src);

// Creates a directory and its missing parents; 0, or -1 (errno set) at the
// first one that neither exists nor can be made. A trailing "/" is allowed.
int zq_mkdirs(const char *path, unsigned mode);

bool zq_starts_with(const char *s, const char *prefix);
bool zq_ends_with(const char *s, const char *suffix);
