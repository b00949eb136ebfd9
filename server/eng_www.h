#pragma once
// Operator web pages managed from the editor: deployment from a ZIP,
// download, fingerprint, automatic snapshots and rollback. Every change is
// built in a staging folder beside wwwdir and swapped in by rename, so the
// served pages are either the old tree or the new one, never a half.

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// Snapshots kept after every change.
constexpr int ENG_WWW_KEEP = 10;
// Snapshots listed or considered for pruning.
constexpr int ENG_WWW_LIST_MAX = 512;
// Bounds for untrusted archives: the sum of the uncompressed sizes, the
// number of entries, and the depth of a path.
constexpr uint64_t ENG_WWW_MAX_TOTAL = 512ull << 20;
constexpr int ENG_WWW_MAX_ENTRIES = 20000;
constexpr int ENG_WWW_MAX_DEPTH = 17;

// Where the pages live: `abs` is wwwdir made absolute (leading "./" and
// trailing slashes dropped), `real` the same with symbolic links resolved
// (the tree actually replaced), `snapdir` abs + "_snapshots".
struct eng_www_paths {
    std::string abs, real, snapdir;
};

// Resolves wwwdir against the working directory and refuses one that is
// "/", the project directory or one of its ancestors (replacing it would
// delete the project). 0, or -1 with *err set.
int eng_www_resolve(const char *wwwdir, eng_www_paths *out, std::string *err);

// True for a subdirectory argument of letters, digits, '_' and '-'.
bool eng_www_subdir_ok(const char *sub);
// True for a snapshot id of letters, digits, '_' and '-'.
bool eng_www_id_ok(const char *id);

// --- Archives (eng_www_zip.cpp) ---

struct eng_zip_rules {
    bool check_types;             // only page file types (deployment)
    bool reserve_editor = false;  // refuse files under a top-level "eng/"
};

// Top-level folder of wwwdir that would shadow the editor's own pages.
constexpr char ENG_WWW_EDITOR_DIR[] = "eng";

// Checks an archive without writing anything: entry names, symbolic links,
// file types, the size bound. Returns the number of files, or -1 with *err.
int eng_zip_check(const void *data, size_t len, const eng_zip_rules &rules, std::string *err);

// Extracts a checked archive below the directory `dir_fd` (under `sub`
// when not empty), creating every file itself without following links;
// existing files of the same name are replaced. 0, or -1 with *err.
int eng_zip_extract(const void *data, size_t len, int dir_fd, const char *sub,
                    const eng_zip_rules &rules, std::string *err);

// Writes a ZIP of the regular files and folders below `dir` (symbolic
// links are left out) to the new file `out_path`. A missing `dir` gives the
// empty archive. 0, or -1 with *err.
int eng_zip_tree(const char *dir, const char *out_path, std::string *err);

// --- Trees (eng_www_tree.cpp) ---

// Relative paths of the regular files below `dir`, byte-sorted; symbolic
// links are not followed and at most ENG_WWW_MAX_DEPTH levels are read.
std::vector<std::string> eng_tree_files(const char *dir);
// Removes `path` and all below it without following links; 0 or -1.
int eng_tree_remove(const char *path);
// Copies the tree at `from` (files, folders, links as links) into the
// existing empty directory `to`; 0, or -1 with *err.
int eng_tree_copy(const char *from, const char *to, std::string *err);

// --- Operations (eng_www.cpp); each takes the module lock ---

// Answer bodies are JSON; the status is 200 on success.
struct eng_www_result {
    int status = 200;
    std::string body;   // JSON answer
    std::string audit;  // action for the audit log on success, else ""
    int file_fd = -1;   // pull: the archive to stream (already unlinked)
    long file_len = 0;
};

void eng_www_deploy(const char *wwwdir, const std::string &zip, const char *sub,
                    eng_www_result *res);
void eng_www_pull(const char *wwwdir, const char *sub, eng_www_result *res);
void eng_www_version(const char *wwwdir, eng_www_result *res);
void eng_www_snapshots(const char *wwwdir, eng_www_result *res);
void eng_www_rollback(const char *wwwdir, const char *id, eng_www_result *res);

// CRC-32 over the sorted relative paths (each with its NUL) and contents
// of the files below `dir`; *files gets their number. 0 for a missing dir.
uint32_t eng_www_content_crc(const char *dir, int *files);
