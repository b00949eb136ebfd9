#pragma once
// Helpers shared by the runtime endpoint families (rt_*.cpp).

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

struct srv_reply;
struct srv_state;
struct json_node;
struct ShmHandle;

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

// Liveness of the database's producers (a driver, or the supervisor when no
// driver runs): values older than the bound are frozen, not good.
constexpr int64_t RT_LIVE_MIN_MS = 10000;
// Slowest takt of the logix groups in a parsed config.yaml (ms; a group
// without a valid takt polls every 100 ms); 0 without groups.
int rt_max_group_takt_ms(const json_node *root);
// The bound: 10 s, or three slowest takts when that is longer.
int64_t rt_live_bound_ms(int max_takt_ms);
// True when the header's last_poll_ms is within the bound of the wall clock
// (a clock stepped back counts as fresh). The takt is re-read from
// config.yaml when the file changes.
bool rt_db_live(srv_state *st, const ShmHandle *h);
// Records stamped before this time are frozen: INT64_MIN while the database
// is live, else now minus the bound. A record written since (by a program
// that still runs, such as the calculation engine) keeps its quality.
int64_t rt_frozen_before(srv_state *st, const ShmHandle *h);
