#pragma once
// zqserver: configuration, router context, static files, engineering gate
// and the process main loop. The runtime API lives in api.h.

#include <atomic>
#include <mutex>
#include <string>

#include "server/http.h"

constexpr int SRV_TRUST_MAX = 64;
// Connections served at once; further ones are closed without an answer so
// that a flood cannot create unbounded threads.
constexpr int SRV_MAX_CONNECTIONS = 128;
// Of those, at most this many from one client address.
constexpr int SRV_MAX_PER_ADDRESS = 64;
constexpr int SRV_RATE_SLOTS = 128;

struct srv_trust {
    char code[32];
    char ip[48];
};

struct srv_config {
    int port = 8080;
    char wwwdir[512] = "./www";
    char sys_wwwdir[512] = "";
    char ini_file[512] = "";
    int poll_ms = 200;
    char eng_password[64] = "";
    char eng_base_a[512] = "";
    char eng_base_d[512] = "";
    int logcontrol = 0;
    char logcontrolpath[512] = "./logs";
    char ksp_projdir[512] = "";
    char shm_name[64] = "/logix_drv";
    int autosync_threshold_ms = 2000;
    char alarm_dir[512] = "./alarm";
    char calc_dir[512] = "./calc";
    char mqtt_dir[512] = "./mqtt";
    char opcua_dir[512] = "./opcua";
    char central_url[256] = "";
    char update_url[256] = "";
    char trends_dir[512] = "./Trends";
    int n_trust = 0;
    srv_trust trust[SRV_TRUST_MAX];
    char tokens_file[512] = "eng_tokens.json";
    // Where the configuration came from.
    char conf_path[512] = "zqserver.conf";  // the -c argument
    char yaml_path[512] = "";               // config.yaml beside it
    bool yaml_loaded = false;
    char legacy_ini[512] = "";
};

// Fills cfg from `-c` path: config.yaml beside it when it parses, else the
// legacy INI file; then the legacy ini's extra sections. Environment
// LOGIX_SHM_NAME wins for the database name. Never fails: missing keys keep
// their defaults.
void srv_config_load(srv_config *cfg, const char *conf_path);

// Parses one "code:timeout:ip" trust entry; false when it lacks two colons.
bool srv_parse_trust(const char *text, srv_trust *out);

// Reads an INI text and calls fn(section, key, value) for every key line.
template <typename F>
void srv_ini_parse(const std::string &text, F fn);

struct router_ctx {
    srv_config cfg;
    std::atomic<bool> running{true};
};

// Static files below wwwdir (then sys_wwwdir).
int serve_file(int fd, const router_ctx *ctx, const char *path);
// Rewrites absolute links to .ks panel files on other hosts into bare paths.
std::string http_rewrite_ks_links(const std::string &html);
// Content type and whether the type may be cached, by file extension.
const char *srv_content_type(const char *path, bool *cacheable);
// Resolves `path` under `root` (a real directory) to an existing regular
// file that does not leave root, also through symbolic links. Returns the
// resolved path or "" when there is none.
std::string srv_resolve_under(const char *root, const char *path);

// Engineering gate (password, Bearer tokens, rate limiting).
void gate_handle(int fd, const http_request *req, router_ctx *ctx);
// True when the request carries valid engineering credentials and its
// address is not locked out; wrong credentials count as a failed login.
bool gate_authorized(const http_request *req, const router_ctx *ctx);
// Rate-limit bookkeeping, exposed for tests of the lock-out arithmetic.
long long gate_lock_seconds(unsigned failures);
void gate_reset();

// Compares two secrets in time independent of where they differ.
bool srv_secret_equal(const char *a, const char *b);

// Token store check for Bearer logins: name of the matching enabled,
// unexpired token, or false.
bool eng_tokens_verify(const char *tokens_file, const char *token, char *name_out, size_t name_cap,
                       char *role_out, size_t role_cap);

void router_dispatch(int fd, http_request *req, router_ctx *ctx);

// Whole process: command line, start-up, accept loop. Returns the exit code.
int srv_main(int argc, char **argv);

// One lock for every read-modify-write of config.yaml and other shared
// project files, whichever handler does it.
std::mutex &srv_config_file_mutex();

// Small helpers shared by the handlers.
std::string srv_read_file(const char *path, size_t max_bytes, bool *ok);
bool srv_starts_with(const char *s, const char *prefix);
bool srv_ends_with(const char *s, const char *suffix);
std::string srv_dir_of(const char *path);

template <typename F>
void srv_ini_parse(const std::string &text, F fn) {
    std::string section;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(pos, nl - pos);
        pos = nl + 1;
        size_t b = line.find_first_not_of(" \t\r");
        if (b == std::string::npos) {
            if (nl == text.size()) break;
            continue;
        }
        size_t e = line.find_last_not_of(" \t\r");
        line = line.substr(b, e - b + 1);
        if (line[0] == ';' || line[0] == '#' || line.compare(0, 2, "//") == 0) continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            section = line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string k = line.substr(0, eq), v = line.substr(eq + 1);
        auto trim = [](std::string &s) {
            size_t b2 = s.find_first_not_of(" \t");
            size_t e2 = s.find_last_not_of(" \t");
            s = b2 == std::string::npos ? std::string() : s.substr(b2, e2 - b2 + 1);
        };
        trim(k);
        trim(v);
        fn(section, k, v);
        if (nl == text.size()) break;
    }
}
