#include "server/eng_gate.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>
#include <time.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/json.h"
#include "common/parse_util.h"
#include "server/eng_tokens.h"
#include "server/http.h"
#include "server/srv_reply.h"
#include "server/srv_state.h"

void gate_reset(gate_state *g) {
    std::lock_guard<std::mutex> lk(g->mu);
    memset(g->slots, 0, sizeof g->slots);
}

long long gate_lock_seconds(unsigned failures) {
    if (failures < 6) return 0;
    unsigned e = failures - 6;
    if (e > 7) return 3600;  // 30 * 2^7 already passes one hour; no shift overflow
    long long s = 30LL << e;
    return s > 3600 ? 3600 : s;
}

bool srv_secret_equal(const char *a, const char *b) {
    unsigned char ha[SHA256_DIGEST_LENGTH], hb[SHA256_DIGEST_LENGTH];
    SHA256((const unsigned char *)a, strlen(a), ha);
    SHA256((const unsigned char *)b, strlen(b), hb);
    return CRYPTO_memcmp(ha, hb, sizeof ha) == 0;
}

static int b64val(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

static size_t b64_decode(const char *in, char *out, size_t cap) {
    size_t n = 0;
    unsigned acc = 0;
    int bits = 0;
    for (; *in && *in != '='; in++) {
        int v = b64val(*in);
        if (v < 0) continue;
        acc = (acc << 6) | (unsigned)v;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            if (n + 1 < cap) out[n++] = (char)((acc >> bits) & 0xFF);
        }
    }
    out[n] = 0;
    return n;
}

// Checks credentials; fills the acting user on success.
static bool gate_check(const http_request *req, const srv_config &cfg, char *user, size_t cap) {
    char auth[128];
    if (!http_header(req, "Authorization", auth, sizeof auth)) return false;
    if (strncmp(auth, "Bearer ", 7) == 0) {
        char role[32];
        return eng_tokens_verify(cfg.tokens_file, auth + 7, user, cap, role, sizeof role);
    }
    if (strncmp(auth, "Basic ", 6) == 0) {
        char dec[256];
        b64_decode(auth + 6, dec, sizeof dec);
        const char *colon = strchr(dec, ':');
        if (!colon) return false;
        if (!srv_secret_equal(colon + 1, cfg.eng_password)) return false;
        zq_copy_cut(user, cap, "(пароль)");
        return true;
    }
    return false;
}

// Slot of `ip` while it is locked out at `now`, else null. Caller holds mu.
static gate_rate_slot *locked_slot(gate_state *g, const char *ip, int64_t now) {
    for (auto &s : g->slots)
        if (s.ip[0] && strcmp(s.ip, ip) == 0 && s.blocked_until > now) return &s;
    return nullptr;
}

// Counts one failed login of `ip`; from the sixth in a row on, the address
// is locked out for a doubling time (at most one hour).
static void gate_fail(gate_state *g, const char *ip, int64_t now) {
    std::lock_guard<std::mutex> lk(g->mu);
    gate_rate_slot *slot = nullptr;
    for (auto &s : g->slots)
        if (s.ip[0] && strcmp(s.ip, ip) == 0) slot = &s;
    if (!slot)
        for (auto &s : g->slots)
            if (!s.ip[0]) {
                slot = &s;
                break;
            }
    if (!slot) {
        slot = &g->slots[0];
        for (auto &s : g->slots)
            if (s.blocked_until < slot->blocked_until) slot = &s;
        memset(slot, 0, sizeof *slot);
    }
    if (!slot->ip[0]) zq_copy_cut(slot->ip, sizeof slot->ip, ip);
    if (slot->failures < UINT32_MAX) slot->failures++;
    if (slot->failures >= 6) slot->blocked_until = now + gate_lock_seconds(slot->failures);
}

bool gate_authorized(srv_state *st, const http_request *req) {
    if (!st->cfg.eng_password[0]) return false;
    {
        std::lock_guard<std::mutex> lk(st->gate.mu);
        if (locked_slot(&st->gate, req->client_ip, time(nullptr))) return false;
    }
    char user[64];
    if (gate_check(req, st->cfg, user, sizeof user)) return true;
    // Otherwise a refused upload would tell a password guess apart from a
    // right one without ever meeting the lock-out.
    gate_fail(&st->gate, req->client_ip, time(nullptr));
    return false;
}

bool gate_admit(srv_state *st, const http_request *req, srv_reply *out, char *user, size_t cap) {
    if (!st->cfg.eng_password[0]) {
        srv_reply_text(out, 403, "Engineering editor not configured");
        return false;
    }
    int64_t now = time(nullptr);
    {
        std::lock_guard<std::mutex> lk(st->gate.mu);
        if (gate_rate_slot *s = locked_slot(&st->gate, req->client_ip, now)) {
            char extra[160];
            snprintf(extra, sizeof extra,
                     ",\"retry_after\":%d,\"msg\":\"Забагато спроб — зачекайте\"",
                     (int)(s->blocked_until - now));
            srv_reply_error(out, 429, "rate_limited", extra, SRV_JSON_UTF8);
            return false;
        }
    }
    if (gate_check(req, st->cfg, user, cap)) {
        std::lock_guard<std::mutex> lk(st->gate.mu);
        for (auto &s : st->gate.slots)
            if (s.ip[0] && strcmp(s.ip, req->client_ip) == 0) memset(&s, 0, sizeof s);
        return true;
    }
    gate_fail(&st->gate, req->client_ip, now);
    // The editor page logs in with its own form: a challenge would make the
    // browser pop up its native dialog over it.
    char xrw[32];
    if (http_header(req, "X-Requested-With", xrw, sizeof xrw) && strcmp(xrw, "zq-eng") == 0)
        srv_reply_error(out, 401, "unauthorized", "", SRV_JSON_UTF8);
    else
        srv_reply_auth(out, "Engineering Editor");
    return false;
}
