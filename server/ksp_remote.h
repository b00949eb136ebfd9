#pragma once
// History of panel curves from a remote trend server: a small HTTP/1.0
// client with time-outs, an overall deadline and an answer size cap, and a
// tolerant scanner of the server's JSON answer.

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

struct ksp_url {
    char host[128];
    int port;
    char path[192];  // "" or "/..." without a trailing slash
};

// Accepts only "http://host[:port][/path]" with a host of letters, digits,
// '.' and '-', and a path of letters, digits and "/._~-".
bool ksp_url_parse(const char *url, ksp_url *out);

struct ksp_http_limits {
    int connect_ms = 3000;
    int send_ms = 3000;
    int recv_ms = 3000;   // per read
    int total_ms = 8000;  // whole request
    size_t max_answer = 32u << 20;
};

// GET target (path and query) from the server; the body of a 200 answer,
// 0, or -1 on any failure, time-out or an answer over the cap.
int ksp_http_get(const ksp_url *u, const std::string &target, const ksp_http_limits *lim,
                 std::string *body);

// Percent-encoding of a query value (everything but unreserved characters).
void ksp_pct_encode(std::string_view s, std::string *out);

// One series per key: times in ms and values (NaN = missing), of equal
// length (the shorter of the two arrays of the answer).
struct ksp_series {
    std::vector<int64_t> t;
    std::vector<double> v;
};

// Reads {"times": [...], "channels": {key: [v|null, ...], ...}}. false when
// there is no times array.
bool ksp_remote_scan(std::string_view body, const std::vector<std::string> &keys,
                     std::vector<ksp_series> *out);

// History of keys between two local times "YYYYMMDDhhmmss" built from
// start_s and end_s (seconds since 1970 UTC). 0 or -1.
int ksp_remote_history(const char *trendurl, int64_t start_s, int64_t end_s,
                       const std::vector<std::string> &keys, const ksp_http_limits *lim,
                       std::vector<ksp_series> *out);
