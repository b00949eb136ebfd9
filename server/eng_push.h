#pragma once
// Trend push as the engineering editor sees it: the destinations of
// trends.push in config.yaml with the recorder's state for each, the token
// store push_tokens.json (kept out of config.yaml, mode 0600) and the
// back-fill request the recorder's push worker claims.

#include <string>

#include "server/srv_routes.h"

constexpr int ENG_PUSH_MAX_DESTS = 2;   // the recorder runs at most two workers
constexpr int ENG_PUSH_MAX_TOKENS = 8;  // entries of push_tokens.json
constexpr size_t ENG_PUSH_URL_MAX = 255;
constexpr size_t ENG_PUSH_TOKEN_MAX = 127;
constexpr int ENG_PUSH_BACKFILL_DAYS_MAX = 4000;  // the worker counts no more

// Paths of the files shared with the recorder, relative to the project
// directory (the server's working directory).
inline constexpr char ENG_PUSH_STATUS_FILE[] = "run/push_status.json";
inline constexpr char ENG_PUSH_BACKFILL_FILE[] = "run/push_backfill.req";

// Checks a destination's base URL as the push worker will use it:
// "http://host[:port]" with an optional "/" and nothing after it. Returns
// true, or false with *why the engineer's message.
bool eng_push_url_ok(const std::string &url, std::string *why);
// A bearer token of 1..127 bytes from 0x21..0x7E (it goes into a header
// line as it stands). Returns true, or false with *why.
bool eng_push_token_ok(const std::string &token, std::string *why);
// "YYYYMMDD" of a real calendar day from 1970 on: the date as a number,
// else 0.
unsigned eng_push_ymd(const std::string &text);
// Days from one YYYYMMDD to another, both counted.
long eng_push_days_between(unsigned from, unsigned to);

// The token store beside config.yaml (`store` is its path). Each returns 0
// or -1 with *why; a full store (8 entries) refuses a new url, a failed
// write leaves the previous store in place.
int eng_push_token_set(const std::string &store, const std::string &url, const std::string &token,
                       std::string *why);
// Success also when the url was not stored (nothing is written then).
int eng_push_token_del(const std::string &store, const std::string &url, std::string *why);
// The stored token of url, "" when none.
std::string eng_push_token_get(const std::string &store, const std::string &url);
// Where the store lives for this configuration file.
std::string eng_push_token_store(const char *yaml_path);

// Writes the back-fill request (the caller has checked the fields).
// Returns 0 or -1 with errno set.
int eng_push_backfill(const std::string &url, unsigned from, unsigned to, bool verify);

// The status answer of "push"; -1 when config.yaml cannot be read or parsed.
int eng_push_status_json(const char *yaml_path, std::string *out);

// True when the trends section makes the main destination write version-2
// files, the only ones push carries.
struct json_node;
bool eng_push_main_v2(const json_node *trends);

// SIGTERM to this project's zqtrend (the supervisor starts it again, and
// it reads its configuration and tokens anew). Returns the note for the
// engineer's message.
std::string eng_push_restart_recorder();

// Handlers of push/settings (eng_push_settings.cpp).
void eng_h_push_settings(srv_call *c);
