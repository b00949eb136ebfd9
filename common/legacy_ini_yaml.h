#pragma once
// config.yaml from a legacy project's zqbridge.ini: the settings the INI
// carries, with every other key at the value a fresh project uses. Values
// are written so that the YAML reader gives back exactly the INI's text
// (CP1251 converted to UTF-8).

#include <string>

#include "common/ini.h"

// The YAML text for a parsed INI; ini_name goes into the header comment.
// 0, or -1 when memory runs out.
int legacy_ini_to_yaml_text(const ini_file &ini, const char *ini_name, std::string *out);

// Reads ini_path and replaces yaml_path atomically with the converted text.
// 0, or -1 with errno set when the INI cannot be read or the file cannot be
// written (an existing yaml_path is then left as it was).
int config_ini_to_yaml(const char *ini_path, const char *yaml_path);

// One scalar as YAML text that reads back as exactly s: plain when that is
// unambiguous and plain_ok, else double-quoted with '"', '\\', newline and
// tab escaped.
std::string legacy_yaml_scalar(const std::string &s, bool plain_ok);

// Legacy text as UTF-8: CP1251 converted, text that already is UTF-8 kept.
std::string legacy_text_utf8(const std::string &s);
