#include "updater/upd_extract.h"

#include <archive.h>
#include <archive_entry.h>
#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "updater/upd_fs.h"
#include "updater/upd_manifest.h"

namespace {

const char MARKER[] = "__ZQSTACK_PAYLOAD__";
const char SYMLINK_MSG[] = "архів містить symlink — відхилено (не покрито підписом)";
const char BAD_MSG[] = "розпакування архіву не вдалося";

struct reader {
    struct archive *a = archive_read_new();
    ~reader() {
        if (a) archive_read_free(a);
    }
};

// Strips the "./" our own packer puts first and a directory's trailing
// slash; anything else non-canonical stays and is refused by upd_path_ok.
std::string entry_path(const char *raw, bool is_dir) {
    std::string s = raw ? raw : "";
    while (s.compare(0, 2, "./") == 0)
        s.erase(0, 2);
    if (is_dir && !s.empty() && s.back() == '/') s.pop_back();
    return s;
}

bool write_file(struct archive *a, int stage_fd, const std::string &path, uint64_t *total,
                std::array<uint8_t, 32> *hash, std::string *err) {
    int fd = upd_create_file(stage_fd, path, 0600, err);
    if (fd < 0) return false;
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    bool ok = md && EVP_DigestInit_ex(md, EVP_sha256(), nullptr) == 1;
    uint64_t size = 0;
    char buf[65536];
    for (;;) {
        la_ssize_t n = ok ? archive_read_data(a, buf, sizeof buf) : -1;
        if (n == 0) break;
        if (n < 0) {
            ok = false;
            *err = BAD_MSG;
            break;
        }
        size += (uint64_t)n;
        *total += (uint64_t)n;
        if (size > UPD_FILE_MAX || *total > UPD_TOTAL_MAX) {
            ok = false;
            *err = "файл «" + path + "» відсутній або нечитабельний";
            break;
        }
        if (!upd_write_all(fd, buf, (size_t)n) || EVP_DigestUpdate(md, buf, (size_t)n) != 1) {
            ok = false;
            *err = BAD_MSG;
            break;
        }
    }
    unsigned int hl = 0;
    if (ok && EVP_DigestFinal_ex(md, hash->data(), &hl) != 1) ok = false;
    EVP_MD_CTX_free(md);
    if (close(fd) != 0 && ok) {
        ok = false;
        *err = BAD_MSG;
    }
    return ok;
}

bool read_small(struct archive *a, std::string *out, size_t max) {
    out->clear();
    char buf[8192];
    for (;;) {
        la_ssize_t n = archive_read_data(a, buf, sizeof buf);
        if (n == 0) return true;
        if (n < 0 || out->size() + (size_t)n > max) return false;
        out->append(buf, (size_t)n);
    }
}

bool extract_from(struct archive *a, int stage_fd, upd_extracted *out, std::string *err) {
    std::set<std::string> names;
    uint64_t total = 0;
    struct archive_entry *e;
    for (;;) {
        int r = archive_read_next_header(a, &e);
        if (r == ARCHIVE_EOF) break;
        if (r != ARCHIVE_OK) {
            *err = BAD_MSG;
            return false;
        }
        if (names.size() >= UPD_ENTRIES_MAX) {
            *err = BAD_MSG;
            return false;
        }
        mode_t type = archive_entry_filetype(e);
        if (type == AE_IFLNK || archive_entry_hardlink(e) || archive_entry_symlink(e)) {
            *err = SYMLINK_MSG;
            return false;
        }
        if ((type != AE_IFREG && type != AE_IFDIR) || archive_entry_sparse_count(e) > 0) {
            *err = BAD_MSG;
            return false;
        }
        bool is_dir = type == AE_IFDIR;
        std::string path = entry_path(archive_entry_pathname(e), is_dir);
        if (is_dir && path.empty()) continue;  // the "./" root entry
        if (!upd_path_ok(path) || !names.insert(path).second) {
            *err = "manifest: підозрілий шлях файла";
            return false;
        }
        size_t slash = path.find('/');
        std::string top = path.substr(0, slash);
        out->top[top] = out->top[top] || is_dir || slash != std::string::npos;
        if (is_dir) {
            if (!upd_make_dirs(stage_fd, path, true, err)) return false;
            continue;
        }
        if (path == "dist_manifest.json") {
            // One byte past the limit tells "too large" from "just fits".
            if (!read_small(a, &out->manifest, UPD_MANIFEST_MAX)) {
                *err = "dist_manifest.json не парситься";
                return false;
            }
            out->have_manifest = true;
            continue;
        }
        if (path == "dist_manifest.sig") {
            if (!read_small(a, &out->sig, UPD_SIG_MAX)) {
                *err = "архів без валідного підпису (dist_manifest.sig) — відхилено";
                return false;
            }
            out->have_sig = true;
            continue;
        }
        std::array<uint8_t, 32> h;
        if (!write_file(a, stage_fd, path, &total, &h, err)) return false;
        out->files[path] = h;
    }
    return true;
}

void setup(struct archive *a) {
    archive_read_support_filter_gzip(a);
    archive_read_support_format_tar(a);
    archive_read_support_format_gnutar(a);
}

}  // namespace

bool upd_archive_open(const char *path, uid_t owner_uid, upd_archive *out, std::string *err) {
    out->fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (out->fd < 0 || fstat(out->fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        (st.st_uid != owner_uid && st.st_uid != 0)) {
        *err = errno == ELOOP || out->fd >= 0 ? "bad archive path" : "архів не читається";
        upd_archive_close(out);
        return false;
    }
    out->dev = st.st_dev;
    out->ino = st.st_ino;
    return true;
}

bool upd_archive_find_marker(upd_archive *a, std::string *err) {
    char buf[UPD_PREAMBLE_MAX];
    ssize_t n = pread(a->fd, buf, sizeof buf, 0);
    if (n < 0) {
        *err = "архів не читається";
        return false;
    }
    size_t pos = 0;
    while (pos < (size_t)n) {
        const char *nl = (const char *)memchr(buf + pos, '\n', (size_t)n - pos);
        if (!nl) break;  // a marker line must end within the searched bytes
        size_t end = (size_t)(nl - buf);
        size_t len = end - pos;
        while (len > 0 && buf[pos + len - 1] == '\r')
            len--;
        if (len < 512 && len == sizeof MARKER - 1 && memcmp(buf + pos, MARKER, len) == 0) {
            a->payload = (off_t)end + 1;
            return true;
        }
        pos = end + 1;
    }
    *err = "маркер дистрибутива не знайдено — не наш архів";
    return false;
}

void upd_archive_close(upd_archive *a) {
    if (a->fd >= 0) close(a->fd);
    a->fd = -1;
}

bool upd_extract(const upd_archive &ar, int stage_fd, upd_extracted *out, std::string *err) {
    // A private descriptor so the shared offset of ar.fd stays untouched.
    char self[64];
    snprintf(self, sizeof self, "/proc/self/fd/%d", ar.fd);
    int fd = open(self, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || st.st_dev != ar.dev || st.st_ino != ar.ino ||
        lseek(fd, ar.payload, SEEK_SET) != ar.payload) {
        if (fd >= 0) close(fd);
        *err = "архів не читається";
        return false;
    }
    reader r;
    setup(r.a);
    bool ok = archive_read_open_fd(r.a, fd, 65536) == ARCHIVE_OK;
    if (!ok) *err = BAD_MSG;
    ok = ok && extract_from(r.a, stage_fd, out, err);
    archive_read_free(r.a);
    r.a = nullptr;
    close(fd);
    return ok;
}

bool upd_extract_mem(const void *data, size_t len, int stage_fd, upd_extracted *out,
                     std::string *err) {
    reader r;
    setup(r.a);
    if (archive_read_open_memory(r.a, data, len) != ARCHIVE_OK) {
        *err = BAD_MSG;
        return false;
    }
    return extract_from(r.a, stage_fd, out, err);
}
