#include "server/eng_tokens.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/atomic_file.h"
#include "common/json.h"
#include "common/parse_util.h"

namespace {

std::mutex g_mu;

std::string hex_of(const unsigned char *p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::string sha256_hex(const char *text) {
    unsigned char d[SHA256_DIGEST_LENGTH];
    SHA256((const unsigned char *)text, strlen(text), d);
    return hex_of(d, sizeof d);
}

std::string local_stamp() {
    time_t now = time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    char b[32];
    strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%S", &lt);
    return b;
}

int load_locked(const char *path, std::vector<eng_token> *out) {
    out->clear();
    std::string text;
    if (zq_read_file_max(path, ENG_TOKENS_FILE_MAX, &text) != 0) {
        // Only a store that is not there at all is empty.
        if (errno == ENOENT) return ENG_TOK_OK;
        return ENG_TOK_IO;
    }
    json_ptr root(json_parse(text.c_str()));
    const json_node *list = json_get(root.get(), "tokens");
    if (!list || list->type != JSON_ARRAY) return ENG_TOK_IO;
    for (const json_node *t = list->child; t; t = t->next) {
        if (t->type != JSON_OBJECT) return ENG_TOK_IO;
        eng_token k;
        k.name = json_gets(t, "name", "");
        k.hash = json_gets(t, "hash", "");
        k.role = json_gets(t, "role", "");
        k.expires = json_geti(t, "expires", 0);
        k.created = json_gets(t, "created", "");
        k.last_used = json_gets(t, "last_used", "");
        k.last_ip = json_gets(t, "last_ip", "");
        k.disabled = json_geti(t, "disabled", 0) ? 1 : 0;
        out->push_back(std::move(k));
    }
    return ENG_TOK_OK;
}

int save_locked(const char *path, const std::vector<eng_token> &toks) {
    std::string text = eng_tokens_format(toks);
    return atomic_file_write(path, text.data(), text.size(), 0600) == 0 ? ENG_TOK_OK : ENG_TOK_IO;
}

eng_token *find(std::vector<eng_token> &toks, const char *name) {
    for (eng_token &t : toks)
        if (t.name == name) return &t;
    return nullptr;
}

// Loads, lets `change` edit, saves when it returns ENG_TOK_OK.
template <typename F>
int edit(const char *path, F change) {
    std::lock_guard<std::mutex> lk(g_mu);
    std::vector<eng_token> toks;
    int rc = load_locked(path, &toks);
    if (rc != ENG_TOK_OK) return rc;
    rc = change(toks);
    if (rc != ENG_TOK_OK) return rc;
    return save_locked(path, toks);
}

int random_bytes(unsigned char *buf, size_t n) {
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    size_t got = 0;
    while (got < n) {
        ssize_t r = read(fd, buf + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += (size_t)r;
    }
    close(fd);
    return got == n ? 0 : -1;
}

// One token as JSON; the hash only for the store itself.
std::string token_json(const eng_token &t, bool with_hash) {
    std::string s = "{\"name\":\"" + json_escape_str(t.name) + "\"";
    if (with_hash) s += ",\"hash\":\"" + json_escape_str(t.hash) + "\"";
    return s + ",\"role\":\"" + json_escape_str(t.role) +
           "\",\"expires\":" + std::to_string(t.expires) + ",\"created\":\"" +
           json_escape_str(t.created) + "\",\"last_used\":\"" + json_escape_str(t.last_used) +
           "\",\"last_ip\":\"" + json_escape_str(t.last_ip) +
           "\",\"disabled\":" + std::to_string(t.disabled) + "}";
}

std::string tokens_json(const std::vector<eng_token> &toks, bool with_hash) {
    std::string s = "{\"tokens\":[";
    for (size_t i = 0; i < toks.size(); i++)
        s += (i ? "," : "") + token_json(toks[i], with_hash);
    return s + "]}";
}

// The store as last read for a login, and which file that was: every
// rewrite makes a new file (atomic replace), so the same inode, size and
// time mean the same tokens.
struct store_cache {
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    timespec mtime{};
    std::vector<eng_token> toks;
} g_cache;

bool same_file(const store_cache &c, const char *path, const struct stat &st) {
    return c.path == path && c.dev == st.st_dev && c.ino == st.st_ino && c.size == st.st_size &&
           c.mtime.tv_sec == st.st_mtim.tv_sec && c.mtime.tv_nsec == st.st_mtim.tv_nsec;
}

int load_cached(const char *path, std::vector<eng_token> *out) {
    std::lock_guard<std::mutex> lk(g_mu);
    struct stat before, after;
    bool known = stat(path, &before) == 0;
    if (known && same_file(g_cache, path, before)) {
        *out = g_cache.toks;
        return ENG_TOK_OK;
    }
    int rc = load_locked(path, out);
    g_cache.path.clear();
    // Kept only when nobody replaced the file while it was read.
    if (rc == ENG_TOK_OK && known && stat(path, &after) == 0) {
        store_cache c{path, before.st_dev, before.st_ino, before.st_size, before.st_mtim, {}};
        if (same_file(c, path, after)) {
            c.toks = *out;
            g_cache = std::move(c);
        }
    }
    return rc;
}

}  // namespace

std::string eng_tokens_format(const std::vector<eng_token> &toks) {
    return tokens_json(toks, true) + "\n";
}

int eng_tokens_load(const char *path, std::vector<eng_token> *out) {
    std::lock_guard<std::mutex> lk(g_mu);
    return load_locked(path, out);
}

bool eng_token_name_ok(const char *name) {
    size_t n = name ? strlen(name) : 0;
    if (n < 1 || n > 63) return false;
    for (size_t i = 0; i < n; i++) {
        char c = name[i];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '.' || c == '_';
        if (!ok) return false;
    }
    return true;
}

std::string eng_token_role(const char *role) {
    std::string r;
    for (const char *p = role ? role : ""; *p && r.size() < 15; p++) {
        char c = *p;
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
        if (c < 'a' || c > 'z') break;
        r += c;
    }
    return r.empty() ? "engineer" : r;
}

int eng_tokens_create(const char *path, const char *name, const char *role, long long expires,
                      std::string *token_out) {
    if (!eng_token_name_ok(name)) return ENG_TOK_BAD_NAME;
    return edit(path, [&](std::vector<eng_token> &toks) {
        if (find(toks, name)) return (int)ENG_TOK_EXISTS;
        if (toks.size() >= (size_t)ENG_TOKENS_MAX) return (int)ENG_TOK_FULL;
        unsigned char raw[32];
        if (random_bytes(raw, sizeof raw) != 0) return (int)ENG_TOK_IO;
        std::string text = hex_of(raw, sizeof raw);
        eng_token t;
        t.name = name;
        t.hash = sha256_hex(text.c_str());
        t.role = eng_token_role(role);
        t.expires = expires;
        t.created = local_stamp();
        toks.push_back(std::move(t));
        *token_out = text;
        return (int)ENG_TOK_OK;
    });
}

int eng_tokens_set_disabled(const char *path, const char *name, bool disabled) {
    return edit(path, [&](std::vector<eng_token> &toks) {
        eng_token *t = find(toks, name);
        if (!t) return (int)ENG_TOK_NOT_FOUND;
        t->disabled = disabled ? 1 : 0;
        return (int)ENG_TOK_OK;
    });
}

int eng_tokens_delete(const char *path, const char *name) {
    return edit(path, [&](std::vector<eng_token> &toks) {
        for (size_t i = 0; i < toks.size(); i++)
            if (toks[i].name == name) {
                toks.erase(toks.begin() + (long)i);
                return (int)ENG_TOK_OK;
            }
        return (int)ENG_TOK_NOT_FOUND;
    });
}

int eng_tokens_meta(const char *path, const char *name, std::string *role, long long *expires) {
    std::vector<eng_token> toks;
    int rc = eng_tokens_load(path, &toks);
    if (rc != ENG_TOK_OK) return rc;
    eng_token *t = find(toks, name);
    if (!t) return ENG_TOK_NOT_FOUND;
    *role = t->role;
    *expires = t->expires;
    return ENG_TOK_OK;
}

int eng_tokens_count_file(const char *path) {
    std::vector<eng_token> toks;
    int rc = eng_tokens_load(path, &toks);
    return rc == ENG_TOK_OK ? (int)toks.size() : rc;
}

int eng_tokens_touch(const char *path, const char *name, const char *ip) {
    return edit(path, [&](std::vector<eng_token> &toks) {
        eng_token *t = find(toks, name);
        if (!t) return (int)ENG_TOK_NOT_FOUND;
        t->last_used = local_stamp();
        t->last_ip = ip ? ip : "";
        return (int)ENG_TOK_OK;
    });
}

int eng_tokens_list_json(const char *path, std::string *out) {
    std::vector<eng_token> toks;
    int rc = eng_tokens_load(path, &toks);
    if (rc != ENG_TOK_OK) return rc;
    *out = tokens_json(toks, false);
    return ENG_TOK_OK;
}

bool eng_tokens_verify(const char *tokens_file, const char *token, char *name_out, size_t name_cap,
                       char *role_out, size_t role_cap) {
    if (!token || !*token) return false;
    std::vector<eng_token> toks;
    if (load_cached(tokens_file, &toks) != ENG_TOK_OK) return false;
    std::string hex = sha256_hex(token);
    long long now = time(nullptr);
    for (const eng_token &t : toks) {
        if (t.hash.size() != 64 || t.disabled) continue;
        if (t.expires > 0 && t.expires < now) continue;
        if (CRYPTO_memcmp(t.hash.data(), hex.data(), 64) != 0) continue;
        zq_copy_cut(name_out, name_cap, t.name.c_str());
        zq_copy_cut(role_out, role_cap, t.role.c_str());
        return true;
    }
    return false;
}
