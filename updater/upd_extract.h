#pragma once
// Reading a distribution archive: a text preamble, the marker line, then a
// gzip'd tar stream. libarchive only decodes the stream; every entry is
// checked and written here, below a private staging folder, with
// O_EXCL|O_NOFOLLOW one path element at a time, hashed while written.

#include <stdint.h>
#include <sys/types.h>

#include <array>
#include <map>
#include <string>

constexpr uint64_t UPD_FILE_MAX = 64ull << 20;  // one payload file
constexpr uint64_t UPD_TOTAL_MAX = 1ull << 30;  // the whole payload
constexpr size_t UPD_ENTRIES_MAX = 20000;
constexpr size_t UPD_PREAMBLE_MAX = 65536;

struct upd_archive {
    int fd = -1;  // opened once; every later step reads through it
    dev_t dev = 0;
    ino_t ino = 0;
    off_t payload = 0;  // first byte after the marker line
};

// Opens path with O_NOFOLLOW; a regular file owned by owner_uid or root.
// The marker is looked for only when find_marker is set.
bool upd_archive_open(const char *path, uid_t owner_uid, upd_archive *out, std::string *err);
bool upd_archive_find_marker(upd_archive *a, std::string *err);
void upd_archive_close(upd_archive *a);

struct upd_extracted {
    std::string manifest;  // dist_manifest.json bytes (kept in memory, never on disk)
    std::string sig;       // dist_manifest.sig bytes
    bool have_manifest = false, have_sig = false;
    std::map<std::string, std::array<uint8_t, 32>> files;  // path -> SHA-256
    std::map<std::string, bool> top;                       // top-level name -> is a directory
};

// Extracts the tar stream after the marker into stage_fd (an empty folder
// of ours). Refuses links, special files, sparse members, unsafe or
// duplicate names and oversized data with the user's message in *err.
bool upd_extract(const upd_archive &a, int stage_fd, upd_extracted *out, std::string *err);

// Same for an in-memory tar.gz stream (used by the fuzz target).
bool upd_extract_mem(const void *data, size_t len, int stage_fd, upd_extracted *out,
                     std::string *err);
