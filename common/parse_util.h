#pragma once
// Small helpers shared by the configuration readers.

#include <string>

// strtod in the C locale, whatever locale the program has set.
double zq_strtod_c(const char *s, char **end);

// Reads a whole file into *out; 0, or -1 (errno set) when it cannot be read.
int zq_read_file(const char *path, std::string *out);
