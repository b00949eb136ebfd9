// The update server: its manifest.json, the comparison with the running
// release, and the download of the newest distribution.

#include <fcntl.h>
#include <openssl/evp.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <cctype>
#include <memory>

#include "common/json.h"
#include "common/parse_util.h"
#include "server/eng_run.h"
#include "server/eng_update.h"

namespace {

struct manifest_entry {
    std::string version = "?", file, sha256, built = "00000000";
    long long size = 0;
};

std::string join_url(const std::string &url, const std::string &name) {
    return url + (url.ends_with("/") ? "" : "/") + name;
}

// curl with the output in a file of at most `max` bytes.
int run_curl(const std::string &url, const std::string &out, int timeout_s, long long max,
             std::string *err) {
    eng_run_opts o;
    o.timeout_ms = (timeout_s + 5) * 1000;
    o.out_max = 4096;
    o.fsize_max = max;
    eng_run_result r;
    eng_run(
        {"curl", "-fsSL", "--proto", "=http,https", "--proto-redir", "=http,https", "--max-time",
         std::to_string(timeout_s), "--max-filesize", std::to_string(max), "-o", out, url},
        o, &r);
    if (r.status == 0) return 0;
    if (r.status == ENG_RUN_NOT_STARTED)
        *err = "curl не знайдено — встановіть curl";
    else if (r.status == 63 || r.status == 128 + SIGXFSZ)
        *err = "файл на сервері оновлень завеликий (понад " + std::to_string(max >> 20) + " МіБ)";
    else
        *err = "завантаження не вдалося (curl " +
               std::to_string(r.status == ENG_RUN_TIMEOUT || r.status > 128 ? -1 : r.status) + ")";
    return -1;
}

bool file_name_ok(const std::string &f) {
    if (f.empty() || f.find("..") != std::string::npos) return false;
    for (unsigned char ch : f)
        if (!isalnum(ch) && ch != '-' && ch != '.' && ch != '_') return false;
    return true;
}

int fetch_manifest_entry(const std::string &url, const char *product, manifest_entry *e,
                         std::string *err) {
    char tmp[] = "/tmp/zqupdm_XXXXXX";
    int fd = mkostemp(tmp, O_CLOEXEC);
    if (fd < 0) {
        *err = std::string("tmp: ") + strerror(errno);
        return -1;
    }
    close(fd);
    int rc = run_curl(join_url(url, "manifest.json"), tmp, 20, ENG_UPDATE_MANIFEST_MAX, err);
    std::string text;
    if (rc == 0 && zq_read_file_max(tmp, ENG_UPDATE_MANIFEST_MAX, &text) != 0) {
        *err = "manifest не прочитано";
        rc = -1;
    }
    unlink(tmp);
    if (rc != 0) return -1;
    json_ptr root(json_parse_len(text.data(), text.size()));
    if (!root || root->type != JSON_OBJECT) {
        *err = "manifest: биті JSON";
        return -1;
    }
    const json_node *products = json_get(root.get(), "products");
    if (!products || products->type != JSON_ARRAY) {
        *err = "manifest без products[]";
        return -1;
    }
    for (const json_node *p = products->child; p; p = p->next) {
        if (p->type != JSON_OBJECT || strcmp(json_gets(p, "product", ""), product) != 0) continue;
        e->version = json_gets(p, "version", "?");
        e->file = json_gets(p, "file", "");
        e->sha256 = json_gets(p, "sha256", "");
        e->built = json_gets(p, "built", "00000000");
        e->size = json_geti(p, "size", 0);
        if (!file_name_ok(e->file)) {
            *err = "manifest: небезпечне ім'я файла";
            return -1;
        }
        return 0;
    }
    *err = std::string("продукт '") + product + "' не знайдено в manifest";
    return -1;
}

// "<product>-<YYYYMMDD>-<revision>.run" names the revision; any other
// name stands for itself.
std::string latest_revision(const std::string &file) {
    size_t run = file.find(".run");
    std::string head = file.substr(0, run);
    for (size_t i = 0; i + 10 <= head.size(); i++) {
        if (head[i] != '-' || head[i + 9] != '-') continue;
        bool digits = true;
        for (size_t k = i + 1; k < i + 9; k++)
            digits = digits && isdigit((unsigned char)head[k]);
        if (digits) return head.substr(i + 10, 63);
    }
    return file;
}

bool sha256_file(const std::string &path, std::string *hex) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
    std::string buf(1 << 20, '\0');
    while (ok) {
        ssize_t n = read(fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        ok = EVP_DigestUpdate(ctx.get(), buf.data(), (size_t)n) == 1;
    }
    close(fd);
    unsigned char h[32];
    unsigned int len = 0;
    ok = ok && EVP_DigestFinal_ex(ctx.get(), h, &len) == 1 && len == 32;
    if (!ok) return false;
    static const char *digits = "0123456789abcdef";
    hex->clear();
    for (unsigned char b : h) {
        *hex += digits[b >> 4];
        *hex += digits[b & 15];
    }
    return true;
}

// The update URL names a web server; curl must not be talked into
// anything else (file://, a leading "-" taken as an option).
int url_ok(const std::string &url, const char *empty_msg, std::string *err) {
    if (url.empty()) {
        *err = empty_msg;
        return -1;
    }
    if (!url.starts_with("http://") && !url.starts_with("https://")) {
        *err = "update.url має починатися з http:// або https://";
        return -1;
    }
    return 0;
}

}  // namespace

int eng_update_check(const std::string &url, const char *product, std::string *answer,
                     std::string *err) {
    if (url_ok(url, "update.url не заданий у config.yaml", err) != 0) return -1;
    manifest_entry e;
    if (fetch_manifest_entry(url, product, &e, err) != 0) return -1;
    eng_update_release cur = eng_update_running();
    int cmp = e.built.compare(cur.built);
    bool newer = cmp > 0 || (cmp == 0 && latest_revision(e.file) != cur.revision);
    *answer = "{\"ok\":true,\"current_version\":\"" + json_escape_str(cur.version) +
              "\",\"current_built\":\"" + json_escape_str(cur.built) + "\",\"latest_version\":\"" +
              json_escape_str(e.version) + "\",\"latest_built\":\"" + json_escape_str(e.built) +
              "\",\"newer\":" + (newer ? "true" : "false") + ",\"file\":\"" +
              json_escape_str(e.file) + "\",\"size\":" + std::to_string(e.size) + "}";
    return 0;
}

int eng_update_pull(const std::string &url, const char *product, std::string *file,
                    std::string *err) {
    if (url_ok(url, "update.url не заданий", err) != 0) return -1;
    if (eng_update_ready(nullptr, err) != 0) return -1;
    manifest_entry e;
    if (fetch_manifest_entry(url, product, &e, err) != 0) return -1;
    *file = e.file;
    std::string path = eng_update_tmpfile("tmp: ", err);
    if (path.empty()) return -1;
    if (run_curl(join_url(url, e.file), path, 180, ENG_UPDATE_DOWNLOAD_MAX, err) != 0) {
        unlink(path.c_str());
        return -1;
    }
    std::string got;
    if (!sha256_file(path, &got)) {
        unlink(path.c_str());
        *err = "завантажений файл не прочитано";
        return -1;
    }
    if (!e.sha256.empty() && strcasecmp(e.sha256.c_str(), got.c_str()) != 0) {
        unlink(path.c_str());
        *err = "sha256 не збігається — файл пошкоджено/підмінено";
        return -1;
    }
    return eng_update_spawn({"full", path, product}, path, err);
}
