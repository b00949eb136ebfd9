// ZIP archives of operator pages. Uploaded archives are untrusted: libarchive
// only reads them (from the central directory, as unzip would), and every
// file is created here, one path element at a time, with O_EXCL and
// O_NOFOLLOW below the staging folder, so no entry can reach outside it.

#include <archive.h>
#include <archive_entry.h>
#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "server/eng_core.h"
#include "server/eng_www.h"

namespace {

struct archive_reader {
    struct archive *a = archive_read_new();
    ~archive_reader() {
        if (a) archive_read_free(a);
    }
};

const char *entry_name(struct archive_entry *e) {
    const char *n = archive_entry_pathname(e);
    if (!n) n = archive_entry_pathname_utf8(e);
    return n ? n : "";
}

enum name_status { NAME_OK, NAME_UNSAFE, NAME_DEEP };

// Splits an entry name at either slash into its elements ("." and empty
// ones dropped); a leading slash or backslash, a drive letter or a ".."
// element make it unsafe.
name_status split_name(const char *name, std::vector<std::string> *parts, bool *is_dir) {
    parts->clear();
    size_t n = strlen(name);
    *is_dir = n > 0 && (name[n - 1] == '/' || name[n - 1] == '\\');
    if (name[0] == '/' || name[0] == '\\') return NAME_UNSAFE;
    if (isalpha((unsigned char)name[0]) && name[1] == ':') return NAME_UNSAFE;
    const char *p = name;
    while (*p) {
        size_t len = strcspn(p, "/\\");
        std::string el(p, len);
        p += len;
        if (*p) p++;
        if (el.empty() || el == ".") continue;
        if (el == "..") return NAME_UNSAFE;
        parts->push_back(el);
    }
    return (int)parts->size() > ENG_WWW_MAX_DEPTH ? NAME_DEEP : NAME_OK;
}

bool page_type_ok(const std::string &file) {
    static const char *const allowed[] = {"htm", "html", "xml",   "js",   "css", "json",
                                          "gif", "png",  "jpg",   "jpeg", "svg", "ico",
                                          "bmp", "woff", "woff2", "ks"};
    size_t dot = file.rfind('.');
    if (dot == std::string::npos || dot + 1 >= file.size() || file.size() - dot - 1 > 15)
        return false;
    std::string ext = file.substr(dot + 1);
    for (char &ch : ext)
        ch = (char)tolower((unsigned char)ch);
    for (const char *a : allowed)
        if (ext == a) return true;
    return false;
}

// An archive without entries (just the end record, as our own snapshot of
// an empty folder is): libarchive refuses those as not a ZIP.
bool is_empty_zip(const void *data, size_t len) {
    const unsigned char *b = (const unsigned char *)data;
    if (len < 22 || memcmp(b, "PK\x05\x06", 4) != 0) return false;
    unsigned total = b[10] | b[11] << 8, comment = b[20] | b[21] << 8;
    return total == 0 && 22 + comment == len;
}

int open_archive(archive_reader *r, const void *data, size_t len, std::string *err) {
    if (!r->a || archive_read_support_format_zip_seekable(r->a) != ARCHIVE_OK ||
        archive_read_open_memory(r->a, data, len) != ARCHIVE_OK) {
        *err = "архів пошкоджений або не ZIP";
        return -1;
    }
    return 0;
}

// The next entry, checked; 1 at the end, 0 with *parts and *is_dir, -1 with *err.
int next_entry(archive_reader *r, const eng_zip_rules &rules, std::vector<std::string> *parts,
               bool *is_dir, struct archive_entry **ep, std::string *err) {
    struct archive_entry *e;
    int rc = archive_read_next_header(r->a, &e);
    if (rc == ARCHIVE_EOF) return 1;
    if (rc < ARCHIVE_WARN) {
        *err = "архів пошкоджений або не ZIP";
        return -1;
    }
    *ep = e;
    const char *name = entry_name(e);
    name_status ns = split_name(name, parts, is_dir);
    if (ns == NAME_UNSAFE) {
        *err = "небезпечний шлях в архіві: " + eng_cut_utf8(name, 180);
        return -1;
    }
    if (ns == NAME_DEEP) {
        *err = "надто глибокий шлях в архіві: " + eng_cut_utf8(name, 180);
        return -1;
    }
    mode_t type = archive_entry_filetype(e);
    if (type == AE_IFLNK || archive_entry_hardlink(e) || archive_entry_symlink(e)) {
        *err = "архів містить symlink — відхилено";
        return -1;
    }
    if (type == AE_IFDIR) *is_dir = true;
    if (parts->empty()) *is_dir = true;
    if (!*is_dir && type != AE_IFREG && type != 0) {
        *err = "недозволений тип файла: " + eng_cut_utf8(name, 180);
        return -1;
    }
    // Pages in wwwdir are served before the system pages: an "eng/" folder
    // there would replace the editor, and its login form, for everybody.
    if (rules.reserve_editor && !parts->empty() &&
        strcasecmp((*parts)[0].c_str(), ENG_WWW_EDITOR_DIR) == 0) {
        *err = "тека eng/ зарезервована для інженерного редактора: " + eng_cut_utf8(name, 180);
        return -1;
    }
    if (!*is_dir && rules.check_types && !page_type_ok(parts->back())) {
        *err = "недозволений тип файла: " + eng_cut_utf8(name, 180);
        return -1;
    }
    return 0;
}

std::string too_big() {
    return "архів завеликий: понад " + std::to_string(ENG_WWW_MAX_TOTAL >> 20) +
           " МіБ після розпакування";
}

struct fd_guard {
    int fd;
    ~fd_guard() {
        if (fd >= 0) close(fd);
    }
};

// Opens (creating when needed) the directory `parts[0..n)` below `root`
// without following links; the descriptor, or -1.
int open_dirs(int root, const std::vector<std::string> &parts, size_t n) {
    int cur = dup(root);
    for (size_t i = 0; i < n && cur >= 0; i++) {
        if (mkdirat(cur, parts[i].c_str(), 0755) != 0 && errno != EEXIST) {
            close(cur);
            return -1;
        }
        int next = openat(cur, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(cur);
        cur = next;
    }
    return cur;
}

// Writes the current entry's data into a new file; -1 with *err.
int write_entry(archive_reader *r, struct archive_entry *e, int dir, const std::string &name,
                uint64_t *total, std::string *err) {
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(st.st_mode) || unlinkat(dir, name.c_str(), 0) != 0) {
            *err = "не вдалося замінити " + eng_cut_utf8(name.c_str(), 180);
            return -1;
        }
    }
    mode_t mode = (archive_entry_perm(e) & 0111) ? 0755 : 0644;
    fd_guard out{
        openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode)};
    if (out.fd < 0) {
        *err = "не вдалося створити " + eng_cut_utf8(name.c_str(), 180) + ": " + strerror(errno);
        return -1;
    }
    int64_t declared = archive_entry_size_is_set(e) ? archive_entry_size(e) : -1;
    int64_t got = 0;
    static thread_local char buf[65536];
    for (;;) {
        la_ssize_t n = archive_read_data(r->a, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) {
            *err = "архів пошкоджений: " + eng_cut_utf8(name.c_str(), 180);
            return -1;
        }
        got += n;
        *total += (uint64_t)n;
        // Headers can lie: the bytes that actually come out are counted too.
        if ((declared >= 0 && got > declared) || *total > ENG_WWW_MAX_TOTAL) {
            *err = too_big();
            return -1;
        }
        for (la_ssize_t done = 0; done < n;) {
            ssize_t w = write(out.fd, buf + done, (size_t)(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                *err = "помилка запису " + eng_cut_utf8(name.c_str(), 180) + ": " + strerror(errno);
                return -1;
            }
            done += w;
        }
    }
    if (archive_entry_mtime_is_set(e)) {
        struct timespec times[2];
        times[0].tv_sec = times[1].tv_sec = archive_entry_mtime(e);
        times[0].tv_nsec = times[1].tv_nsec = 0;
        futimens(out.fd, times);
    }
    int fd = out.fd;
    out.fd = -1;
    if (close(fd) != 0) {
        *err = "помилка запису " + eng_cut_utf8(name.c_str(), 180);
        return -1;
    }
    return 0;
}

}  // namespace

int eng_zip_check(const void *data, size_t len, const eng_zip_rules &rules, std::string *err) {
    if (is_empty_zip(data, len)) return 0;
    archive_reader r;
    if (open_archive(&r, data, len, err) != 0) return -1;
    std::vector<std::string> parts;
    int files = 0, entries = 0;
    uint64_t total = 0;
    for (;;) {
        bool is_dir;
        struct archive_entry *e = nullptr;
        int rc = next_entry(&r, rules, &parts, &is_dir, &e, err);
        if (rc == 1) break;
        if (rc < 0) return -1;
        if (++entries > ENG_WWW_MAX_ENTRIES) {
            *err = "забагато записів в архіві (понад " + std::to_string(ENG_WWW_MAX_ENTRIES) + ")";
            return -1;
        }
        if (is_dir) continue;
        files++;
        if (archive_entry_size_is_set(e) && archive_entry_size(e) > 0)
            total += (uint64_t)archive_entry_size(e);
        if (total > ENG_WWW_MAX_TOTAL) {
            *err = too_big();
            return -1;
        }
    }
    return files;
}

int eng_zip_extract(const void *data, size_t len, int dir_fd, const char *sub,
                    const eng_zip_rules &rules, std::string *err) {
    archive_reader r;
    bool empty = is_empty_zip(data, len);
    if (!empty && open_archive(&r, data, len, err) != 0) return -1;
    std::vector<std::string> base;
    if (sub && *sub) base.push_back(sub);
    fd_guard root{open_dirs(dir_fd, base, base.size())};
    if (root.fd < 0) {
        *err = std::string("не вдалося створити підтеку: ") + strerror(errno);
        return -1;
    }
    if (empty) return 0;
    std::vector<std::string> parts;
    uint64_t total = 0;
    for (;;) {
        bool is_dir;
        struct archive_entry *e = nullptr;
        int rc = next_entry(&r, rules, &parts, &is_dir, &e, err);
        if (rc == 1) return 0;
        if (rc < 0) return -1;
        size_t ndirs = is_dir ? parts.size() : parts.size() - 1;
        fd_guard dir{open_dirs(root.fd, parts, ndirs)};
        if (dir.fd < 0) {
            *err = "не вдалося створити теку для " + eng_cut_utf8(entry_name(e), 180);
            return -1;
        }
        if (!is_dir && write_entry(&r, e, dir.fd, parts.back(), &total, err) != 0) return -1;
    }
}

namespace {

struct archive_writer {
    struct archive *a = archive_write_new();
    ~archive_writer() {
        if (a) archive_write_free(a);
    }
};

// Relative paths of folders (ending in "/") and regular files below `dir`.
void tree_entries(int fd, const std::string &prefix, int depth, std::vector<std::string> *out) {
    DIR *d = fdopendir(fd);
    if (!d) {
        close(fd);
        return;
    }
    std::vector<std::string> names;
    while (struct dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    std::sort(names.begin(), names.end());
    for (const std::string &n : names) {
        struct stat st;
        if (fstatat(dirfd(d), n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISREG(st.st_mode)) {
            out->push_back(prefix + n);
        } else if (S_ISDIR(st.st_mode) && depth < ENG_WWW_MAX_DEPTH) {
            out->push_back(prefix + n + "/");
            int sub = openat(dirfd(d), n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0) tree_entries(sub, prefix + n + "/", depth + 1, out);
        }
    }
    closedir(d);
}

int add_file(struct archive *a, int root, const std::string &rel, struct archive_entry *e,
             std::string *err) {
    fd_guard in{openat(root, rel.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
    struct stat st;
    if (in.fd < 0 || fstat(in.fd, &st) != 0) return 0;  // went away meanwhile
    archive_entry_set_filetype(e, AE_IFREG);
    archive_entry_set_perm(e, st.st_mode & 0777);
    archive_entry_set_size(e, st.st_size);
    archive_entry_set_mtime(e, st.st_mtime, 0);
    if (archive_write_header(a, e) != ARCHIVE_OK) {
        *err = std::string("не вдалося створити архів: ") + archive_error_string(a);
        return -1;
    }
    static thread_local char buf[65536];
    int64_t left = st.st_size;
    while (left > 0) {
        ssize_t n = read(in.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (n > left) n = (ssize_t)left;
        if (archive_write_data(a, buf, (size_t)n) != n) {
            *err = std::string("не вдалося створити архів: ") + archive_error_string(a);
            return -1;
        }
        left -= n;
    }
    // A file that shrank meanwhile is padded to the size announced.
    memset(buf, 0, sizeof buf);
    while (left > 0) {
        size_t n = left > (int64_t)sizeof buf ? sizeof buf : (size_t)left;
        if (archive_write_data(a, buf, n) != (la_ssize_t)n) return -1;
        left -= (int64_t)n;
    }
    return 0;
}

}  // namespace

int eng_zip_tree(const char *dir, const char *out_path, std::string *err) {
    std::vector<std::string> entries;
    fd_guard root{open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (root.fd >= 0) {
        int walk = dup(root.fd);
        if (walk >= 0) tree_entries(walk, "", 1, &entries);
    }
    if (entries.empty()) {
        // The end-of-central-directory record alone: the empty ZIP.
        static const unsigned char empty[22] = {0x50, 0x4b, 0x05, 0x06};
        int fd = open(out_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        bool ok = fd >= 0 && write(fd, empty, sizeof empty) == (ssize_t)sizeof empty;
        if (fd >= 0 && close(fd) != 0) ok = false;
        if (!ok) {
            unlink(out_path);
            *err = "не вдалося створити знімок";
            return -1;
        }
        return 0;
    }
    archive_writer w;
    if (!w.a || archive_write_set_format_zip(w.a) != ARCHIVE_OK ||
        archive_write_zip_set_compression_deflate(w.a) != ARCHIVE_OK ||
        archive_write_open_filename(w.a, out_path) != ARCHIVE_OK) {
        *err = "не вдалося створити архів";
        unlink(out_path);
        return -1;
    }
    std::unique_ptr<struct archive_entry, void (*)(struct archive_entry *)> e(archive_entry_new(),
                                                                              archive_entry_free);
    int rc = 0;
    for (const std::string &rel : entries) {
        archive_entry_clear(e.get());
        archive_entry_set_pathname(e.get(), rel.c_str());
        if (rel.back() == '/') {
            archive_entry_set_filetype(e.get(), AE_IFDIR);
            archive_entry_set_perm(e.get(), 0755);
            if (archive_write_header(w.a, e.get()) != ARCHIVE_OK) rc = -1;
        } else {
            rc = add_file(w.a, root.fd, rel, e.get(), err);
        }
        if (rc != 0) break;
    }
    if (archive_write_close(w.a) != ARCHIVE_OK) rc = -1;
    if (rc != 0) {
        if (err->empty()) *err = "не вдалося створити архів";
        unlink(out_path);
    }
    return rc;
}
