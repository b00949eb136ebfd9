#pragma once
// Helpers shared by the runtime endpoint families (rt_*.cpp).

#include <stddef.h>

#include <string>
#include <vector>

struct srv_reply;

// JSON-escaped text ("" for null).
std::string rt_esc(const char *s);
// JSON-escaped text of a fixed-size field that may lack its terminator.
std::string rt_fixed_str(const char *s, size_t cap);
// Appends a number with 15 significant digits; NaN and infinity as null.
void rt_fmt_num(std::string &out, double v);
// Decimal digits only, at most `max`.
bool rt_parse_uint(const char *s, long max, long *out);
// Parses a tag name ("A12", "d5"): kind 'A' or 'D' and the number. The
// number must fit an int; no sign, no trailing text.
bool rt_parse_tag(const char *s, char *kind, long *num);
// Scans a JSON-ish body for "key": [ "a", "b", ... ] without parsing it.
std::vector<std::string> rt_scan_list(const std::string &body, const char *key, size_t max_items,
                                      size_t max_len);
// 200 with the file's text as JSON, or `fallback` when it cannot be read.
void rt_reply_file_or(srv_reply *r, const std::string &path, const char *fallback);
