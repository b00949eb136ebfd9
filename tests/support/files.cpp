#include "tests/support/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tsup {

std::string temp_root() {
    const char *t = getenv("TMPDIR");
    return t && *t ? t : "/tmp";
}

TempDir::TempDir(const char *tag) {
    std::string tmpl = temp_root() + "/zqtest-" + tag + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    if (mkdtemp(buf.data())) path = buf.data();
}

TempDir::~TempDir() {
    const char *keep = getenv("ZQ_KEEP_TMP");
    if (path.empty() || (keep && *keep && *keep != '0')) return;
    remove_tree(path);
}

std::string unique_name(const char *tag) {
    static std::atomic<unsigned> seq{0};
    return std::string(tag) + "_" + std::to_string(getpid()) + "_" + std::to_string(seq++);
}

ShmName::ShmName(const char *tag) : name("/" + unique_name(tag)) {
    shm_unlink(name.c_str());
}

ShmName::~ShmName() {
    shm_unlink(name.c_str());
}

long long ShmName::real_size() const {
    int fd = shm_open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) return -1;
    struct stat st;
    long long sz = fstat(fd, &st) == 0 ? (long long)st.st_size : -1;
    close(fd);
    return sz;
}

bool remove_tree(const std::string &path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    return !ec && !file_exists(path);
}

std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::vector<uint8_t> read_bytes(const std::string &path) {
    std::string s = read_file(path);
    return std::vector<uint8_t>(s.begin(), s.end());
}

bool write_file(const std::string &path, const std::string &data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
    f.close();
    return !f.fail();
}

bool file_exists(const std::string &path) {
    return access(path.c_str(), F_OK) == 0;
}

long long file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

std::vector<std::string> list_dir(const std::string &dir, const std::string &prefix) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n == "." || n == "..") continue;
            if (n.compare(0, prefix.size(), prefix) == 0) names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string read_dir_files(const std::string &dir, const std::string &prefix) {
    std::string all;
    for (const std::string &n : list_dir(dir, prefix))
        all += read_file(dir + "/" + n);
    return all;
}

size_t count_of(const std::string &text, const std::string &needle) {
    if (needle.empty()) return 0;
    size_t n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1))
        ++n;
    return n;
}

}  // namespace tsup
