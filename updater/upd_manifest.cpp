#include "updater/upd_manifest.h"

#include <openssl/evp.h>
#include <string.h>

#include <set>

#include "common/json.h"

namespace {

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool element_ok(const std::string &el) {
    if (el.empty() || el == "." || el == ".." || el[0] == '-') return false;
    for (unsigned char c : el)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              strchr("._-+@", c)))
            return false;
    return true;
}

}  // namespace

bool upd_hex_decode(const char *hex, size_t nbytes, uint8_t *out) {
    for (size_t i = 0; i < nbytes; i++) {
        int hi = hexval(hex[2 * i]);
        int lo = hi < 0 ? -1 : hexval(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = (uint8_t)(hi << 4 | lo);
    }
    return true;
}

std::string upd_hex(const uint8_t *data, size_t len) {
    static const char digits[] = "0123456789abcdef";
    std::string s(len * 2, '0');
    for (size_t i = 0; i < len; i++) {
        s[2 * i] = digits[data[i] >> 4];
        s[2 * i + 1] = digits[data[i] & 15];
    }
    return s;
}

bool upd_path_ok(const std::string &path) {
    // ".." anywhere, not only as an element: what a tool downstream reads
    // as a parent reference is not worth telling apart.
    if (path.empty() || path.size() > UPD_PATH_MAX || path.find("..") != std::string::npos)
        return false;
    int depth = 0;
    size_t start = 0;
    for (;;) {
        size_t slash = path.find('/', start);
        std::string el = path.substr(start, slash == std::string::npos ? slash : slash - start);
        if (!element_ok(el) || ++depth > UPD_PATH_DEPTH) return false;
        if (slash == std::string::npos) return true;
        start = slash + 1;
    }
}

bool upd_parse_sig(const char *data, size_t len, upd_sig *out) {
    bool have_id = false, have_sig = false;
    size_t pos = 0;
    while (pos < len) {
        const char *nl = (const char *)memchr(data + pos, '\n', len - pos);
        size_t end = nl ? (size_t)(nl - data) : len;
        std::string line(data + pos, end - pos);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        if (line.compare(0, 7, "key_id=") == 0) {
            std::string id = line.substr(7);
            if (id.empty() || id.size() > 15) return false;
            for (char c : id)
                if (hexval(c) < 0) return false;
            out->key_id = id;
            have_id = true;
        } else if (line.compare(0, 4, "sig=") == 0) {
            if (line.size() < 4 + 128 || !upd_hex_decode(line.c_str() + 4, 64, out->sig))
                return false;
            have_sig = true;
        }
        pos = end + 1;
    }
    return have_id && have_sig;
}

bool upd_parse_manifest(const char *data, size_t len, const char *product, upd_manifest *out,
                        std::string *err) {
    if (len > UPD_MANIFEST_MAX || memchr(data, 0, len)) {
        *err = "dist_manifest.json не парситься";
        return false;
    }
    json_ptr root(json_parse_len(data, len));
    if (!root || root->type != JSON_OBJECT) {
        *err = "dist_manifest.json не парситься";
        return false;
    }
    const json_node *prod = json_get(root.get(), "product");
    const char *p = prod && prod->type == JSON_STRING ? prod->string : "";
    if (strcmp(p, product) != 0) {
        *err = std::string("архів продукту «") + std::string(p).substr(0, 64) +
               "», а очікується «" + product + "» — не той файл";
        return false;
    }
    const json_node *ver = json_get(root.get(), "version");
    if (!ver || ver->type != JSON_STRING || !*ver->string ||
        strlen(ver->string) > UPD_VERSION_MAX) {
        *err = "dist_manifest.json не парситься";
        return false;
    }
    for (const char *c = ver->string; *c; c++)
        if ((unsigned char)*c < 0x20 || *c == '"' || *c == '\\') {
            *err = "dist_manifest.json не парситься";
            return false;
        }
    const json_node *files = json_get(root.get(), "files");
    if (!files || files->type != JSON_ARRAY) {
        *err = "manifest без files[]";
        return false;
    }
    out->product = p;
    out->version = ver->string;
    out->files.clear();
    std::set<std::string> seen;
    for (const json_node *f = files->child; f; f = f->next) {
        const json_node *fp = f->type == JSON_OBJECT ? json_get(f, "p") : nullptr;
        const json_node *fh = f->type == JSON_OBJECT ? json_get(f, "h") : nullptr;
        if (!fp || !fh || fp->type != JSON_STRING || fh->type != JSON_STRING ||
            strlen(fh->string) != 64) {
            *err = "manifest: биті поля файла";
            return false;
        }
        upd_file uf;
        uf.path = fp->string;
        bool lower = true;
        for (const char *c = fh->string; *c; c++)
            if (*c >= 'A' && *c <= 'F') lower = false;
        if (!lower || !upd_hex_decode(fh->string, 32, uf.hash)) {
            *err = "manifest: биті поля файла";
            return false;
        }
        // Also refuses names the archive could not hold without ambiguity:
        // duplicates and the manifest's own files.
        if (!upd_path_ok(uf.path) || !seen.insert(uf.path).second ||
            uf.path == "dist_manifest.json" || uf.path == "dist_manifest.sig" ||
            out->files.size() >= UPD_FILES_MAX) {
            *err = "manifest: підозрілий шлях файла";
            return false;
        }
        out->files.push_back(uf);
    }
    return true;
}

bool upd_verify_ed25519(const uint8_t pub[32], const void *msg, size_t len, const uint8_t sig[64]) {
    EVP_PKEY *key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, pub, 32);
    if (!key) return false;
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    bool ok = ctx && EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
              EVP_DigestVerify(ctx, sig, 64, (const unsigned char *)msg, len) == 1;
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    return ok;
}

int upd_version_cmp(const std::string &a, const std::string &b) {
    size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        bool da = i < a.size() && isdigit((unsigned char)a[i]);
        bool db = j < b.size() && isdigit((unsigned char)b[j]);
        if (da && db) {
            while (i < a.size() && a[i] == '0')
                i++;
            while (j < b.size() && b[j] == '0')
                j++;
            size_t si = i, sj = j;
            while (i < a.size() && isdigit((unsigned char)a[i]))
                i++;
            while (j < b.size() && isdigit((unsigned char)b[j]))
                j++;
            if (i - si != j - sj) return i - si < j - sj ? -1 : 1;
            int c = a.compare(si, i - si, b, sj, j - sj);
            if (c) return c < 0 ? -1 : 1;
            continue;
        }
        int ca = i < a.size() ? (unsigned char)a[i] : -1;
        int cb = j < b.size() ? (unsigned char)b[j] : -1;
        if (ca != cb) return ca < cb ? -1 : 1;
        i++, j++;
    }
    return 0;
}
