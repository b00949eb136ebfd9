#pragma once
// Engineering gate: who may use the engineering pages and API. Basic
// password or Bearer token; addresses that keep failing are locked out for
// a doubling time.

#include <stddef.h>
#include <stdint.h>

#include <mutex>

#include "server/eng_tokens.h"  // eng_tokens_verify, used by the gate

struct http_request;
struct srv_reply;
struct srv_state;

constexpr int GATE_RATE_SLOTS = 128;

struct gate_rate_slot {
    char ip[48];
    uint32_t failures;
    int64_t blocked_until;
};

struct gate_state {
    std::mutex mu;
    gate_rate_slot slots[GATE_RATE_SLOTS] = {};
};

// Lets the request through (true, `user` filled with the acting user) or
// fills the refusal: editor not configured, address locked out, or 401
// (counted as a failed login).
bool gate_admit(srv_state *st, const http_request *req, srv_reply *out, char *user, size_t cap);
// True when the request carries valid engineering credentials and its
// address is not locked out; wrong credentials count as a failed login.
bool gate_authorized(srv_state *st, const http_request *req);
// Lock-out time after `failures` failed logins in a row.
long long gate_lock_seconds(unsigned failures);
void gate_reset(gate_state *g);

// Compares two secrets in time independent of where they differ.
bool srv_secret_equal(const char *a, const char *b);
