#pragma once
// Reader of the legacy INI files (zqbridge.ini and the programs' own .conf
// files). Legacy files repeat keys and even whole sections, so nothing is
// merged: every section and every key line is kept in file order, and a
// lookup takes the last assignment, as the old programs did.
//
// Syntax: "[name]" starts a section (a line starting with "[" without "]"
// is ignored); "key = value" lines (key and value trimmed of blanks and
// tabs; the first "=" splits); lines starting with ";", "#" or "//" and
// lines without "=" are ignored. Lines end with "\n", "\r\n" or at the end
// of the text. Keys before the first section belong to the section "".

#include <cstddef>
#include <string>
#include <vector>

// Largest INI file the readers load (legacy files are a few kilobytes).
constexpr size_t INI_MAX_BYTES = 8u << 20;

struct ini_entry {
    std::string key;
    std::string value;
    int line;  // 1-based
};

struct ini_section {
    std::string name;  // "" for keys before the first section
    int line;          // line of the "[name]" header, 0 for the head
    std::vector<ini_entry> entries;
};

struct ini_file {
    // sections[0] is always the head section "" (possibly empty); the rest
    // follow in file order, repeated names included.
    std::vector<ini_section> sections;
};

// Parses text; never fails.
void ini_parse(const std::string &text, ini_file *out);
// Reads and parses a file; 0, or -1 with errno set when it cannot be read
// (missing, not a regular file, larger than INI_MAX_BYTES).
int ini_load(const char *path, ini_file *out);

// First section with this exact name, or null.
const ini_section *ini_find(const ini_file *f, const char *name);
// Value of the last line with this key in the section, or null.
const char *ini_get(const ini_section *s, const char *key);
