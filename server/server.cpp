#include "server/server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/crypto.h>
#include <openssl/sha.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/json.h"
#include "common/log.h"
#include "common/parse_util.h"
#include "common/version.h"
#include "common/yaml.h"
#include "server/api.h"

// ---------------------------------------------------------------- helpers

bool srv_starts_with(const char *s, const char *prefix) {
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

bool srv_ends_with(const char *s, const char *suffix) {
    size_t a = strlen(s), b = strlen(suffix);
    return a >= b && memcmp(s + a - b, suffix, b) == 0;
}

std::string srv_dir_of(const char *path) {
    const char *slash = strrchr(path, '/');
    if (!slash) return ".";
    if (slash == path) return "/";
    return std::string(path, slash - path);
}

std::string srv_read_file(const char *path, size_t max_bytes, bool *ok) {
    std::string out;
    *ok = false;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (size_t)st.st_size > max_bytes) {
        close(fd);
        return out;
    }
    try {
        out.resize((size_t)st.st_size);
    } catch (...) {
        close(fd);
        return std::string();
    }
    size_t got = 0;
    while (got < out.size()) {
        ssize_t n = read(fd, &out[got], out.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += (size_t)n;
    }
    close(fd);
    out.resize(got);
    *ok = true;
    return out;
}

static void set_str(char *dst, size_t cap, const char *src) {
    snprintf(dst, cap, "%s", src ? src : "");
}

bool srv_secret_equal(const char *a, const char *b) {
    unsigned char ha[SHA256_DIGEST_LENGTH], hb[SHA256_DIGEST_LENGTH];
    SHA256((const unsigned char *)a, strlen(a), ha);
    SHA256((const unsigned char *)b, strlen(b), hb);
    return CRYPTO_memcmp(ha, hb, sizeof ha) == 0;
}

std::mutex &srv_config_file_mutex() {
    static std::mutex mu;
    return mu;
}

// ---------------------------------------------------------- configuration

bool srv_parse_trust(const char *text, srv_trust *out) {
    const char *c1 = strchr(text, ':');
    if (!c1) return false;
    const char *c2 = strchr(c1 + 1, ':');
    if (!c2) return false;
    size_t n = (size_t)(c1 - text);
    if (n > sizeof out->code - 1) n = sizeof out->code - 1;
    memcpy(out->code, text, n);
    out->code[n] = 0;
    set_str(out->ip, sizeof out->ip, c2 + 1);
    return true;
}

// A scalar of the configuration as text: a plain number (a numeric password
// or port written without quotes) reads as its decimal form.
static bool yaml_text(const json_node *sec, const char *key, char *dst, size_t cap) {
    const json_node *n = json_get(sec, key);
    if (!n) return false;
    if (n->type == JSON_STRING) {
        set_str(dst, cap, n->string);
        return true;
    }
    if (n->type == JSON_NUMBER && std::isfinite(n->number)) {
        if (n->number == std::floor(n->number) && std::fabs(n->number) < 1e18)
            snprintf(dst, cap, "%lld", (long long)n->number);
        else
            snprintf(dst, cap, "%g", n->number);
        return true;
    }
    return false;
}

static void yaml_int(const json_node *sec, const char *key, int *dst) {
    const json_node *n = json_get(sec, key);
    if (!n) return;
    if (n->type == JSON_NUMBER || n->type == JSON_BOOL) {
        long long v = json_int_of(n, *dst);
        if (v >= INT_MIN && v <= INT_MAX) *dst = (int)v;
    } else if (n->type == JSON_STRING) {
        char *end;
        long v = strtol(n->string, &end, 10);
        if (end != n->string && !*end && v >= INT_MIN && v <= INT_MAX) *dst = (int)v;
    }
}

static void add_trust(srv_config *cfg, const char *text) {
    if (cfg->n_trust >= SRV_TRUST_MAX) return;
    if (srv_parse_trust(text, &cfg->trust[cfg->n_trust])) cfg->n_trust++;
}

static bool load_yaml(srv_config *cfg) {
    bool ok;
    std::string text = srv_read_file(cfg->yaml_path, 8u << 20, &ok);
    if (!ok) return false;
    json_ptr root(yaml_parse(text.c_str()));
    if (!root) return false;
    const json_node *sc = json_get(root.get(), "scada");
    yaml_int(sc, "port", &cfg->port);
    yaml_text(sc, "wwwdir", cfg->wwwdir, sizeof cfg->wwwdir);
    yaml_text(sc, "sys_wwwdir", cfg->sys_wwwdir, sizeof cfg->sys_wwwdir);
    yaml_int(sc, "poll_ms", &cfg->poll_ms);
    yaml_text(sc, "eng_password", cfg->eng_password, sizeof cfg->eng_password);
    const json_node *awp = json_get(root.get(), "awp_slot");
    if (!json_get(sc, "logcontrol")) yaml_int(awp, "logcontrol", &cfg->logcontrol);
    yaml_int(sc, "logcontrol", &cfg->logcontrol);
    if (!yaml_text(sc, "logcontrolpath", cfg->logcontrolpath, sizeof cfg->logcontrolpath))
        yaml_text(awp, "logcontrolpath", cfg->logcontrolpath, sizeof cfg->logcontrolpath);
    yaml_text(sc, "ksp_projdir", cfg->ksp_projdir, sizeof cfg->ksp_projdir);
    yaml_text(sc, "ini_file", cfg->ini_file, sizeof cfg->ini_file);
    const json_node *lg = json_get(root.get(), "logix");
    yaml_text(lg, "shm_name", cfg->shm_name, sizeof cfg->shm_name);
    yaml_int(json_get(lg, "time"), "autosync_threshold_ms", &cfg->autosync_threshold_ms);
    yaml_text(json_get(root.get(), "alarm"), "dir", cfg->alarm_dir, sizeof cfg->alarm_dir);
    yaml_text(json_get(root.get(), "alarm"), "central_url", cfg->central_url,
              sizeof cfg->central_url);
    yaml_text(json_get(root.get(), "calc"), "dir", cfg->calc_dir, sizeof cfg->calc_dir);
    yaml_text(json_get(root.get(), "mqtt"), "dir", cfg->mqtt_dir, sizeof cfg->mqtt_dir);
    yaml_text(json_get(root.get(), "opcua"), "dir", cfg->opcua_dir, sizeof cfg->opcua_dir);
    yaml_text(json_get(root.get(), "update"), "url", cfg->update_url, sizeof cfg->update_url);
    yaml_text(json_get(root.get(), "trends"), "mainpath_linux", cfg->trends_dir,
              sizeof cfg->trends_dir);
    const json_node *trust = json_get(awp, "trust");
    if (trust && trust->type == JSON_ARRAY) {
        for (const json_node *c = trust->child; c; c = c->next)
            if (c->type == JSON_STRING) add_trust(cfg, c->string);
    }
    return true;
}

void srv_config_load(srv_config *cfg, const char *conf_path) {
    *cfg = srv_config();
    set_str(cfg->conf_path, sizeof cfg->conf_path, conf_path);
    const char *env_shm = getenv("LOGIX_SHM_NAME");
    if (env_shm && *env_shm) set_str(cfg->shm_name, sizeof cfg->shm_name, env_shm);
    const char *slash = strrchr(conf_path, '/');
    if (slash)
        snprintf(cfg->yaml_path, sizeof cfg->yaml_path, "%.*s/config.yaml",
                 (int)(slash - conf_path), conf_path);
    else
        set_str(cfg->yaml_path, sizeof cfg->yaml_path, "config.yaml");

    cfg->yaml_loaded = load_yaml(cfg);
    if (cfg->yaml_loaded) {
        fprintf(stderr, "scada: config from %s\n", cfg->yaml_path);
    } else {
        bool ok;
        std::string text = srv_read_file(conf_path, 8u << 20, &ok);
        if (ok) {
            srv_ini_parse(text,
                          [&](const std::string &sec, const std::string &k, const std::string &v) {
                              if (!sec.empty() && sec != "scada") return;
                              const char *val = v.c_str();
                              if (k == "port")
                                  cfg->port = atoi(val);
                              else if (k == "wwwdir")
                                  set_str(cfg->wwwdir, sizeof cfg->wwwdir, val);
                              else if (k == "sys_wwwdir")
                                  set_str(cfg->sys_wwwdir, sizeof cfg->sys_wwwdir, val);
                              else if (k == "ini_file")
                                  set_str(cfg->ini_file, sizeof cfg->ini_file, val);
                              else if (k == "poll_ms")
                                  cfg->poll_ms = atoi(val);
                              else if (k == "eng_password")
                                  set_str(cfg->eng_password, sizeof cfg->eng_password, val);
                              else if (k == "eng_base_a")
                                  set_str(cfg->eng_base_a, sizeof cfg->eng_base_a, val);
                              else if (k == "eng_base_d")
                                  set_str(cfg->eng_base_d, sizeof cfg->eng_base_d, val);
                              else if (k == "logcontrol")
                                  cfg->logcontrol = atoi(val);
                              else if (k == "logcontrolpath")
                                  set_str(cfg->logcontrolpath, sizeof cfg->logcontrolpath, val);
                              else if (k == "ksp_projdir")
                                  set_str(cfg->ksp_projdir, sizeof cfg->ksp_projdir, val);
                          });
        }
    }
    if (env_shm && *env_shm) set_str(cfg->shm_name, sizeof cfg->shm_name, env_shm);
    if (!cfg->sys_wwwdir[0]) {
        const char *dir = getenv("ZQSTACK_DIR");
        if (dir && *dir) snprintf(cfg->sys_wwwdir, sizeof cfg->sys_wwwdir, "%s/www-sys", dir);
    }

    // Legacy ini: named, the -c file itself, or zqbridge.ini beside it.
    const char *base = slash ? slash + 1 : conf_path;
    if (cfg->ini_file[0])
        set_str(cfg->legacy_ini, sizeof cfg->legacy_ini, cfg->ini_file);
    else if (strcmp(base, "config.yaml") != 0)
        set_str(cfg->legacy_ini, sizeof cfg->legacy_ini, conf_path);
    else
        snprintf(cfg->legacy_ini, sizeof cfg->legacy_ini, "%s/zqbridge.ini",
                 srv_dir_of(conf_path).c_str());
    if (!cfg->yaml_loaded) {
        bool ok;
        std::string text = srv_read_file(cfg->legacy_ini, 8u << 20, &ok);
        if (ok) {
            srv_ini_parse(
                text, [&](const std::string &sec, const std::string &k, const std::string &v) {
                    if (sec == "general" && k == "shm_name")
                        set_str(cfg->shm_name, sizeof cfg->shm_name, v.c_str());
                    if (sec != "awp_slot") return;
                    if (k == "logcontrol")
                        cfg->logcontrol = atoi(v.c_str());
                    else if (k == "logcontrolpath")
                        set_str(cfg->logcontrolpath, sizeof cfg->logcontrolpath, v.c_str());
                    else if (k.compare(0, 5, "trust") == 0)
                        add_trust(cfg, v.c_str());
                });
        }
        if (env_shm && *env_shm) set_str(cfg->shm_name, sizeof cfg->shm_name, env_shm);
    }
    std::string ldir = srv_dir_of(cfg->legacy_ini);
    if (!cfg->eng_base_a[0])
        snprintf(cfg->eng_base_a, sizeof cfg->eng_base_a, "%s/zqbridge.a.base", ldir.c_str());
    if (!cfg->eng_base_d[0])
        snprintf(cfg->eng_base_d, sizeof cfg->eng_base_d, "%s/zqbridge.d.base", ldir.c_str());
}

// ------------------------------------------------------------ static files

const char *srv_content_type(const char *path, bool *cacheable) {
    const char *dot = strrchr(path, '.');
    const char *slash = strrchr(path, '/');
    *cacheable = false;
    if (!dot || (slash && dot < slash)) return "application/octet-stream";
    struct {
        const char *ext, *type;
        bool cache;
    } static const tab[] = {
        {".html", "text/html", false},
        {".htm", "text/html", false},
        {".js", "application/javascript", true},
        {".css", "text/css", true},
        {".ico", "image/x-icon", false},
        {".xml", "application/xml; charset=utf-8", false},
        {".ks", "application/xml; charset=utf-8", false},
        {".svg", "image/svg+xml", true},
        {".png", "image/png", true},
        {".gif", "image/gif", true},
        {".jpg", "image/jpeg", true},
        {".jpeg", "image/jpeg", true},
    };
    for (const auto &t : tab) {
        if (strcmp(dot, t.ext) == 0) {
            *cacheable = t.cache;
            return t.type;
        }
    }
    return "application/octet-stream";
}

std::string http_rewrite_ks_links(const std::string &html) {
    static const char scheme[] = "http://";
    const size_t sl = sizeof scheme - 1;
    std::string out;
    out.reserve(html.size());
    size_t pos = 0;
    for (;;) {
        size_t at = html.find(scheme, pos);
        if (at == std::string::npos) break;
        out.append(html, pos, at - pos);
        size_t h = at + sl;
        size_t he = h;
        while (he < html.size() && !strchr("/\n\r \"'<", html[he]))
            he++;
        bool rewrite = false;
        size_t pe = he;
        if (he > h && he < html.size() && html[he] == '/') {
            while (pe < html.size() && !strchr("\n\r \"'<>?", html[pe]))
                pe++;
            rewrite = pe - he >= 3 && html.compare(pe - 3, 3, ".ks") == 0;
        }
        if (rewrite) {
            pos = he;  // the path stays, scheme and host go
        } else {
            out.append(scheme);
            pos = h;
        }
    }
    out.append(html, pos, std::string::npos);
    return out;
}

std::string srv_resolve_under(const char *root, const char *path) {
    if (!root || !*root) return std::string();
    char rroot[PATH_MAX];
    if (!realpath(root, rroot)) return std::string();
    std::string want = std::string(root) + path;
    char rfile[PATH_MAX];
    if (!realpath(want.c_str(), rfile)) return std::string();
    size_t rl = strlen(rroot);
    bool inside =
        strncmp(rfile, rroot, rl) == 0 && (rfile[rl] == '/' || (rl == 1 && rroot[0] == '/'));
    if (!inside) return std::string();
    struct stat st;
    if (stat(rfile, &st) != 0 || !S_ISREG(st.st_mode)) return std::string();
    return rfile;
}

static int respond_text(int fd, int status, const char *text) {
    return http_respond(fd, status, "text/plain", text, strlen(text));
}

int serve_file(int fd, const router_ctx *ctx, const char *path) {
    if (strstr(path, "..") || path[0] != '/') return respond_text(fd, 400, "Bad path");
    if (strcmp(path, "/") == 0) path = "/screen1.html";
    std::string file = srv_resolve_under(ctx->cfg.wwwdir, path);
    if (file.empty() && ctx->cfg.sys_wwwdir[0]) file = srv_resolve_under(ctx->cfg.sys_wwwdir, path);
    if (file.empty()) return respond_text(fd, 404, "Not Found");

    bool cache;
    const char *type = srv_content_type(path, &cache);
    bool html = srv_ends_with(path, ".html") || srv_ends_with(path, ".htm");
    int in = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return respond_text(fd, 404, "Not Found");
    struct stat st;
    if (fstat(in, &st) != 0) {
        close(in);
        return respond_text(fd, 404, "Not Found");
    }
    std::string body;
    if (html) {
        bool ok;
        close(in);
        in = -1;
        body = srv_read_file(file.c_str(), 256u << 20, &ok);
        if (!ok) return respond_text(fd, 500, "OOM");
        body = http_rewrite_ks_links(body);
    }
    long len = html ? (long)body.size() : (long)st.st_size;
    char head[512];
    int hl = snprintf(head, sizeof head,
                      "HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %ld\r\n"
                      "Cache-Control: %s\r\nAccess-Control-Allow-Origin: *\r\nConnection: "
                      "close\r\n\r\n",
                      type, len, cache ? "max-age=86400" : "no-cache, no-store, must-revalidate");
    if (html) {
        std::string all(head, (size_t)hl);
        all += body;
        return http_write_all(fd, all.data(), all.size());
    }
    // Other files are streamed: their size is not bounded by memory.
    char buf[65536];
    ssize_t n = read(in, buf, sizeof buf);
    if (n < 0) n = 0;
    std::string first(head, (size_t)hl);
    first.append(buf, (size_t)n);
    int rc = http_write_all(fd, first.data(), first.size());
    long sent = n;
    while (rc == 0 && sent < len) {
        n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        rc = http_write_all(fd, buf, (size_t)n);
        sent += n;
    }
    close(in);
    return rc;
}

// ------------------------------------------------------- engineering gate

namespace {
struct rate_slot {
    char ip[48];
    uint32_t failures;
    int64_t blocked_until;
};
std::mutex g_rate_mu;
rate_slot g_rate[SRV_RATE_SLOTS];
}  // namespace

void gate_reset() {
    std::lock_guard<std::mutex> lk(g_rate_mu);
    memset(g_rate, 0, sizeof g_rate);
}

long long gate_lock_seconds(unsigned failures) {
    if (failures < 6) return 0;
    unsigned e = failures - 6;
    if (e > 7) return 3600;  // 30 * 2^7 already passes one hour; no shift overflow
    long long s = 30LL << e;
    return s > 3600 ? 3600 : s;
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
static bool gate_check(const http_request *req, const router_ctx *ctx, char *user, size_t cap) {
    char auth[128];
    if (!http_header(req, "Authorization", auth, sizeof auth)) return false;
    if (strncmp(auth, "Bearer ", 7) == 0) {
        char role[32];
        return eng_tokens_verify(ctx->cfg.tokens_file, auth + 7, user, cap, role, sizeof role);
    }
    if (strncmp(auth, "Basic ", 6) == 0) {
        char dec[256];
        b64_decode(auth + 6, dec, sizeof dec);
        const char *colon = strchr(dec, ':');
        if (!colon) return false;
        if (!srv_secret_equal(colon + 1, ctx->cfg.eng_password)) return false;
        set_str(user, cap, "(пароль)");
        return true;
    }
    return false;
}

// Counts one failed login of `ip`; from the sixth in a row on, the address
// is locked out for a doubling time (at most one hour).
static void gate_fail(const char *ip, int64_t now) {
    std::lock_guard<std::mutex> lk(g_rate_mu);
    rate_slot *slot = nullptr;
    for (auto &s : g_rate)
        if (s.ip[0] && strcmp(s.ip, ip) == 0) slot = &s;
    if (!slot)
        for (auto &s : g_rate)
            if (!s.ip[0]) {
                slot = &s;
                break;
            }
    if (!slot) {
        slot = &g_rate[0];
        for (auto &s : g_rate)
            if (s.blocked_until < slot->blocked_until) slot = &s;
        memset(slot, 0, sizeof *slot);
    }
    if (!slot->ip[0]) set_str(slot->ip, sizeof slot->ip, ip);
    if (slot->failures < UINT32_MAX) slot->failures++;
    if (slot->failures >= 6) slot->blocked_until = now + gate_lock_seconds(slot->failures);
}

bool gate_authorized(const http_request *req, const router_ctx *ctx) {
    if (!ctx->cfg.eng_password[0]) return false;
    {
        std::lock_guard<std::mutex> lk(g_rate_mu);
        int64_t now = time(nullptr);
        for (auto &s : g_rate)
            if (s.ip[0] && strcmp(s.ip, req->client_ip) == 0 && s.blocked_until > now) return false;
    }
    char user[64];
    if (gate_check(req, ctx, user, sizeof user)) return true;
    // Otherwise a refused upload would tell a password guess apart from a
    // right one without ever meeting the lock-out.
    gate_fail(req->client_ip, time(nullptr));
    return false;
}

static void eng_api_handle(int fd, const http_request *req, router_ctx *ctx, const char *user) {
    static const char body[] = "{\"ok\":false,\"error\":\"not_found\"}";
    http_respond(fd, 404, "application/json; charset=utf-8", body, sizeof body - 1);
}

void gate_handle(int fd, const http_request *req, router_ctx *ctx) {
    if (strcmp(req->method, "OPTIONS") == 0 && srv_starts_with(req->path, "/api/eng/")) {
        static const char pre[] =
            "HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Origin: *\r\n"
            "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
            "Access-Control-Allow-Headers: authorization, content-type\r\n"
            "Access-Control-Max-Age: 600\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        http_write_all(fd, pre, sizeof pre - 1);
        return;
    }
    if (!ctx->cfg.eng_password[0]) {
        respond_text(fd, 403, "Engineering editor not configured");
        return;
    }
    int64_t now = time(nullptr);
    {
        std::lock_guard<std::mutex> lk(g_rate_mu);
        for (auto &s : g_rate) {
            if (s.ip[0] && strcmp(s.ip, req->client_ip) == 0 && s.blocked_until > now) {
                char body[256];
                int n = snprintf(body, sizeof body,
                                 "{\"ok\":false,\"error\":\"rate_limited\",\"retry_after\":%d,"
                                 "\"msg\":\"Забагато спроб — зачекайте\"}",
                                 (int)(s.blocked_until - now));
                http_respond(fd, 429, "application/json; charset=utf-8", body, (size_t)n);
                return;
            }
        }
    }
    char user[64];
    if (gate_check(req, ctx, user, sizeof user)) {
        {
            std::lock_guard<std::mutex> lk(g_rate_mu);
            for (auto &s : g_rate)
                if (s.ip[0] && strcmp(s.ip, req->client_ip) == 0) memset(&s, 0, sizeof s);
        }
        if (srv_starts_with(req->path, "/api/eng/")) {
            eng_api_handle(fd, req, ctx, user);
        } else if (strcmp(req->path, "/eng") == 0) {
            http_respond_redirect(fd, "/eng/");
        } else if (strcmp(req->path, "/eng/") == 0) {
            serve_file(fd, ctx, "/eng/index.html");
        } else if (srv_starts_with(req->path, "/eng/")) {
            serve_file(fd, ctx, req->path);
        } else {
            // "/api/eng" itself: nothing lives there.
            eng_api_handle(fd, req, ctx, user);
        }
        return;
    }
    gate_fail(req->client_ip, now);
    http_respond_401(fd, "Engineering Editor");
}

bool eng_tokens_verify(const char *tokens_file, const char *token, char *name_out, size_t name_cap,
                       char *role_out, size_t role_cap) {
    if (!token || !*token) return false;
    bool ok;
    std::string text = srv_read_file(tokens_file, 4u << 20, &ok);
    if (!ok) return false;
    json_ptr root(json_parse(text.c_str()));
    const json_node *list = json_get(root.get(), "tokens");
    if (!list || list->type != JSON_ARRAY) return false;
    unsigned char dig[SHA256_DIGEST_LENGTH];
    SHA256((const unsigned char *)token, strlen(token), dig);
    char hex[65];
    for (int i = 0; i < 32; i++)
        snprintf(hex + 2 * i, 3, "%02x", dig[i]);
    long long now = time(nullptr);
    for (const json_node *t = list->child; t; t = t->next) {
        const char *h = json_gets(t, "hash", "");
        if (strlen(h) != 64) continue;
        if (json_geti(t, "disabled", 0)) continue;
        long long exp = json_geti(t, "expires", 0);
        if (exp > 0 && exp < now) continue;
        if (CRYPTO_memcmp(h, hex, 64) != 0) continue;
        set_str(name_out, name_cap, json_gets(t, "name", ""));
        set_str(role_out, role_cap, json_gets(t, "role", ""));
        return true;
    }
    return false;
}

// ------------------------------------------------------------------ router

static bool is_eng_path(const char *p) {
    return strcmp(p, "/eng") == 0 || strcmp(p, "/api/eng") == 0 || srv_starts_with(p, "/eng/") ||
           srv_starts_with(p, "/api/eng/");
}

void router_dispatch(int fd, http_request *req, router_ctx *ctx) {
    if (is_eng_path(req->path)) {
        gate_handle(fd, req, ctx);
        return;
    }
    if (api_is_runtime_path(req->path)) {
        api_dispatch(fd, req, ctx);
        return;
    }
    bool get = strcmp(req->method, "GET") == 0 || strcmp(req->method, "HEAD") == 0;
    if (get && srv_ends_with(req->path, ".ks") && http_query_param(req, "wd", nullptr, 0)) {
        // Panels drawn as pictures need the trend query, which is not here yet.
        respond_text(fd, 404, "Not Found");
        return;
    }
    if (get) {
        if (req->path_has_nul) {
            respond_text(fd, 400, "Bad path");
            return;
        }
        serve_file(fd, ctx, req->path);
        return;
    }
    respond_text(fd, 404, "Not Found");
}

// --------------------------------------------------------------- process

namespace {
std::atomic<bool> g_running{true};
std::atomic<bool> g_meta_reload{false};
std::atomic<int> g_conns{0};
// Connections per client address, so that one misbehaving station cannot
// take every connection slot from the others.
std::mutex g_peer_mu;
std::map<uint32_t, int> g_peer_conns;

bool peer_take(uint32_t addr) {
    std::lock_guard<std::mutex> lk(g_peer_mu);
    int &n = g_peer_conns[addr];
    if (n >= SRV_MAX_PER_ADDRESS) return false;
    n++;
    return true;
}

void peer_release(uint32_t addr) {
    std::lock_guard<std::mutex> lk(g_peer_mu);
    auto it = g_peer_conns.find(addr);
    if (it != g_peer_conns.end() && --it->second <= 0) g_peer_conns.erase(it);
}

void on_stop(int) {
    g_running = false;
}
void on_usr1(int) {
    g_meta_reload = true;
}

struct conn_arg {
    int fd;
    sockaddr_in peer;
    router_ctx *ctx;
};

long body_limit(const http_request *req, long announced, void *c) {
    router_ctx *ctx = (router_ctx *)c;
    if (announced > HTTP_BODY_SMALL_MAX && srv_starts_with(req->path, "/api/eng/") &&
        gate_authorized(req, ctx))
        return HTTP_BODY_HARD_MAX;
    return HTTP_BODY_SMALL_MAX;
}

void conn_thread(conn_arg *a) {
    timeval rt{0, 300000}, st{5, 0};
    setsockopt(a->fd, SOL_SOCKET, SO_RCVTIMEO, &rt, sizeof rt);
    setsockopt(a->fd, SOL_SOCKET, SO_SNDTIMEO, &st, sizeof st);
    http_request *req = new (std::nothrow) http_request;
    if (req) {
        // The client address is known before the body limit is decided.
        inet_ntop(AF_INET, &a->peer.sin_addr, req->client_ip, sizeof req->client_ip);
        if (http_read(a->fd, req, body_limit, a->ctx) == 0) router_dispatch(a->fd, req, a->ctx);
        delete req;
    }
    close(a->fd);
    peer_release(a->peer.sin_addr.s_addr);
    delete a;
    g_conns--;
}

// Newest .htm/.html below dir (at most 8 levels), names starting with a dot
// skipped.
void newest_html(const std::string &root, const std::string &rel, int level, time_t *best,
                 std::string *best_rel) {
    if (level > 8) return;
    std::string dir = rel.empty() ? root : root + "/" + rel;
    DIR *d = opendir(dir.c_str());
    if (!d) return;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string r = rel.empty() ? std::string(e->d_name) : rel + "/" + e->d_name;
        std::string full = root + "/" + r;
        struct stat st;
        if (lstat(full.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            newest_html(root, r, level + 1, best, best_rel);
        } else if (S_ISREG(st.st_mode) &&
                   (srv_ends_with(e->d_name, ".html") || srv_ends_with(e->d_name, ".htm"))) {
            if (st.st_mtime > *best) {
                *best = st.st_mtime;
                *best_rel = r;
            }
        }
    }
    closedir(d);
}

void watch_thread(router_ctx *ctx) {
    time_t prev = 0;
    while (g_running) {
        for (int i = 0; i < 10 && g_running; i++)
            usleep(100000);
        if (!g_running) break;
        if (g_meta_reload.exchange(false)) {
            api_meta_reload(ctx);
            log_msg("meta reloaded (SIGUSR1)");
        }
        time_t best = 0;
        std::string rel;
        newest_html(ctx->cfg.wwwdir, "", 1, &best, &rel);
        if (best != 0) {
            if (prev != 0 && best != prev) log_msg("wwwdir changed: %s", rel.c_str());
            prev = best;
        }
        api_watch_tick(ctx);
    }
}
}  // namespace

int srv_main(int argc, char **argv) {
    if (zq_version_arg(argc, argv)) return 0;
    const char *conf = "zqserver.conf";
    for (int i = 1; i + 1 < argc; i++)
        if (strcmp(argv[i], "-c") == 0) conf = argv[++i];

    static router_ctx ctx;
    srv_config_load(&ctx.cfg, conf);
    zq_version_write_run("zqserver");
    mkdir(ctx.cfg.logcontrolpath, 0775);
    log_init(ctx.cfg.logcontrolpath, "scada");
    tzset();

    api_init(&ctx);

    int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (ls < 0) {
        perror("socket");
        return 1;
    }
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons((uint16_t)ctx.cfg.port);
    if (bind(ls, (sockaddr *)&addr, sizeof addr) != 0) {
        perror("bind");
        close(ls);
        return 1;
    }
    if (listen(ls, 128) != 0) {
        perror("listen");
        close(ls);
        return 1;
    }
    printf("zqserver listening on :%d  (wwwdir=%s)\n", ctx.cfg.port, ctx.cfg.wwwdir);
    fflush(stdout);
    log_msg("zqserver %s", zq_version_full());
    log_msg("zqserver started on port %d (wwwdir=%s)", ctx.cfg.port, ctx.cfg.wwwdir);

    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = on_usr1;
    sigaction(SIGUSR1, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::thread watch(watch_thread, &ctx);
    while (g_running) {
        // Signals may land on any thread, so the loop wakes up on its own to
        // see the running flag.
        pollfd pfd{ls, POLLIN, 0};
        int pr = poll(&pfd, 1, 200);
        if (pr <= 0) continue;
        sockaddr_in peer{};
        socklen_t pl = sizeof peer;
        int fd = accept4(ls, (sockaddr *)&peer, &pl, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            perror("accept");
            usleep(10000);
            continue;
        }
        if (g_conns >= SRV_MAX_CONNECTIONS || !peer_take(peer.sin_addr.s_addr)) {
            close(fd);
            continue;
        }
        conn_arg *a;
        while (!(a = new (std::nothrow) conn_arg))
            usleep(1000);
        a->fd = fd;
        a->peer = peer;
        a->ctx = &ctx;
        g_conns++;
        try {
            std::thread(conn_thread, a).detach();
        } catch (...) {
            close(fd);
            peer_release(peer.sin_addr.s_addr);
            delete a;
            g_conns--;
        }
    }
    log_msg("shutting down");
    ctx.running = false;
    close(ls);
    watch.join();
    // Connection threads still use the database mapping; give them a moment.
    for (int i = 0; i < 300 && g_conns > 0; i++)
        usleep(10000);
    if (g_conns == 0) {
        api_shutdown();
        return 0;
    }
    // A client still holds a thread: leave without running destructors
    // under its feet.
    fflush(nullptr);
    _exit(0);
}
