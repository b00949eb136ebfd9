#pragma once
// Pieces every engineering endpoint family shares: who is acting (the
// password login or a personal token) and the audit log of changes.

#include "server/srv_routes.h"

// Acting user of a password login; token logins act under the token's name.
inline constexpr char ENG_PASSWORD_USER[] = "(пароль)";

bool eng_is_password_user(const srv_call *c);

// Tokens in the store, disabled and expired ones included: 0 when the store
// does not exist, -1 when it exists but cannot be read or parsed (callers
// that decide a permission on the count must refuse then).
int eng_tokens_count(const srv_state *st);

// Appends one line for `action` to today's audit file in the operator-log
// folder (user and action JSON-escaped, each cut to 127 characters).
// Returns 0, or -1 when the line could not be written.
int eng_audit(const srv_call *c, const char *action);
