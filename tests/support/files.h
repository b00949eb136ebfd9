// Files, temporary directories and unique names for tests that run in
// parallel with other test processes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tsup {

// $TMPDIR, or /tmp when it is unset.
std::string temp_root();

// A fresh directory zqtest-<tag>-XXXXXX under temp_root(), removed with all
// it holds when the object goes. ZQ_KEEP_TMP=1 in the environment keeps it
// for a post-mortem.
struct TempDir {
    std::string path;  // empty when it could not be created
    explicit TempDir(const char *tag = "tmp");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

// "<tag>_<pid>_<n>": unique among the test processes running at once.
std::string unique_name(const char *tag);

// A shared-memory object name of that form, unlinked before and after use.
struct ShmName {
    std::string name;
    explicit ShmName(const char *tag = "zqtest");
    ~ShmName();
    ShmName(const ShmName &) = delete;
    ShmName &operator=(const ShmName &) = delete;
    const char *c_str() const { return name.c_str(); }
    // Size of the object as the kernel has it, -1 when it does not exist.
    long long real_size() const;
};

// Removes path with all below it; false when anything stayed.
bool remove_tree(const std::string &path);

// The whole file; empty when it cannot be read.
std::string read_file(const std::string &path);
std::vector<uint8_t> read_bytes(const std::string &path);
// Creates or replaces the file with exactly these bytes.
bool write_file(const std::string &path, const std::string &data);
bool file_exists(const std::string &path);
// -1 when the file does not exist.
long long file_size(const std::string &path);
// Names in dir starting with prefix, sorted, without "." and "..".
std::vector<std::string> list_dir(const std::string &dir, const std::string &prefix = "");
// The files of dir whose names start with prefix, joined in name order
// (a program's day logs as one text).
std::string read_dir_files(const std::string &dir, const std::string &prefix = "");
// How often needle occurs in text (overlapping occurrences count).
size_t count_of(const std::string &text, const std::string &needle);

}  // namespace tsup
