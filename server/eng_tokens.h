#pragma once
// Personal engineering tokens (eng_tokens.json in the project directory).
// Only the SHA-256 of a token is kept; the token itself is shown once at
// creation. Every operation loads the store, changes it and rewrites it
// whole (mode 0600) under one process-wide mutex. A store that exists but
// cannot be read, is too large or does not parse is an error, never an
// empty store: a create must not wipe the tokens it could not read.

#include <stddef.h>

#include <string>
#include <vector>

constexpr int ENG_TOKENS_MAX = 64;
constexpr size_t ENG_TOKENS_FILE_MAX = 4u << 20;

enum {
    ENG_TOK_OK = 0,
    ENG_TOK_BAD_NAME = -1,
    ENG_TOK_EXISTS = -2,
    ENG_TOK_IO = -3,  // store unreadable or unwritable, or no entropy
    ENG_TOK_FULL = -4,
    ENG_TOK_NOT_FOUND = -5,
};

struct eng_token {
    std::string name, hash, role;
    long long expires = 0;  // seconds since 1970; <= 0 never
    std::string created, last_used, last_ip;
    int disabled = 0;
};

// 0 (a missing file is an empty store) or ENG_TOK_IO.
int eng_tokens_load(const char *path, std::vector<eng_token> *out);
// The store's text for these tokens.
std::string eng_tokens_format(const std::vector<eng_token> &toks);

// 1..63 characters of letters, digits, '-', '.', '_'.
bool eng_token_name_ok(const char *name);
// Lower-case letters only, at most 15 (upper case folded, anything else
// ends it); empty becomes "engineer".
std::string eng_token_role(const char *role);

// Creates a token; *token_out receives its text (64 hex digits).
int eng_tokens_create(const char *path, const char *name, const char *role, long long expires,
                      std::string *token_out);
int eng_tokens_set_disabled(const char *path, const char *name, bool disabled);
int eng_tokens_delete(const char *path, const char *name);
// Role and expiry of a token by name.
int eng_tokens_meta(const char *path, const char *name, std::string *role, long long *expires);
// Number of tokens (disabled and expired ones included), or ENG_TOK_IO.
int eng_tokens_count_file(const char *path);
// Stamps last_used (local time now) and last_ip of a token.
int eng_tokens_touch(const char *path, const char *name, const char *ip);
// {"tokens":[...]} without the hashes; ENG_TOK_IO when unreadable.
int eng_tokens_list_json(const char *path, std::string *out);

// Name and role of the enabled, unexpired token with this text.
bool eng_tokens_verify(const char *tokens_file, const char *token, char *name_out, size_t name_cap,
                       char *role_out, size_t role_cap);
