#pragma once
// Small helpers shared by the configuration readers.

#include <stddef.h>

#include <string>

// strtod in the C locale, whatever locale the program has set.
double zq_strtod_c(const char *s, char **end);

// snprintf of one double in the C locale (files never get a decimal comma).
int zq_format_double_c(char *buf, size_t cap, const char *fmt, double v);

// Reads a whole file into *out; 0, or -1 (errno set) when it cannot be read.
int zq_read_file(const char *path, std::string *out);
