#pragma once
// Pieces every engineering endpoint family shares: who is acting (the
// password login or a personal token), the audit log of changes, and the
// answer shapes.

#include <string>

#include "common/json.h"
#include "server/srv_routes.h"

// Acting user of a password login; token logins act under the token's name.
inline constexpr char ENG_PASSWORD_USER[] = "(пароль)";

bool eng_is_password_user(const srv_call *c);

// Role of the acting user: "admin" for the password, else the token's role
// ("" when the token vanished meanwhile).
std::string eng_role(const srv_call *c, long long *expires = nullptr);

// Tokens in the store, disabled and expired ones included: 0 when the store
// does not exist, -1 when it exists but cannot be read or parsed (callers
// that decide a permission on the count must refuse then).
int eng_tokens_count(const srv_state *st);

// Appends one line for `action` to today's audit file in the operator-log
// folder (user and action JSON-escaped, each cut to 127 characters); a
// token user's token gets last_used and last_ip stamped.
// Returns 0, or -1 when the line could not be written.
int eng_audit(const srv_call *c, const char *action);
int eng_audit(const srv_call *c, const std::string &action);

// {"ok":true,"msg":"<msg>"} with 200.
void eng_ok(srv_call *c, const std::string &msg);
// {"ok":false,"error":"<msg>"}.
void eng_fail(srv_call *c, int status, const std::string &msg);
// The body as a JSON object; null (and a 400 reply) when it is none.
json_ptr eng_body_object(srv_call *c);

// Text cut to at most `max` bytes without splitting a UTF-8 sequence.
std::string eng_cut_utf8(const char *s, size_t max);

// A text as a double-quoted config.yaml scalar, as the reader decodes it.
std::string eng_yaml_quoted(const std::string &s);

// The project directory (the server's working directory), resolved.
std::string eng_project_dir();
