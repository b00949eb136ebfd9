#pragma once
// Software updates from the editor. The server only checks its input,
// stores a distribution in a /tmp/zqupd_ temporary file, starts the
// set-user-ID updater zqupdate detached and reads back its status file; it
// never waits for an installation. Every operation returns 0, or -1 with
// the engineer's message in *err.

#include <sys/stat.h>

#include <string>
#include <vector>

inline constexpr char ENG_UPDATE_PRODUCT[] = "zqstack";
// Largest distribution the server downloads (uploads have the HTTP limit).
inline constexpr long long ENG_UPDATE_DOWNLOAD_MAX = 256ll << 20;
// Largest update-server manifest read.
inline constexpr long long ENG_UPDATE_MANIFEST_MAX = 64ll << 20;

// Installation directory: ZQSTACK_DIR when set and not empty, else ".".
std::string eng_update_dir();

// Whether the file at <dir>/zqupdate may be started as the updater: owned by
// root with the set-user-ID bit. In a file of its own so that the test build
// of the server can link another rule; release builds never do.
bool eng_update_owner_ok(const struct stat &st);

// mode "www" or "full"; data is the uploaded .run file.
int eng_update_start(const std::string &data, const char *mode, const char *product,
                     std::string *err);
// *answer: the comparison of the running release with the update server's.
int eng_update_check(const std::string &url, const char *product, std::string *answer,
                     std::string *err);
// Downloads the newest distribution, checks its SHA-256, starts a full update.
// *file gets the downloaded file's name on the update server.
int eng_update_pull(const std::string &url, const char *product, std::string *file,
                    std::string *err);
int eng_update_rollback(const std::string &name, const char *product, std::string *err);
// The updater's status file as it stands, or {"state":"none"}.
std::string eng_update_status_json();
std::string eng_update_snapshots_json();

// Shared by the two files of the implementation.
struct eng_update_release {
    std::string version, revision, built;  // built: YYYYMMDD
};
eng_update_release eng_update_running();
// Checks that the updater is installed and idle; 0 or -1 with *err.
int eng_update_ready(const char *not_installed_msg, std::string *err);
// Starts the updater with args, detached; removes `remove_on_fail` when it
// cannot be started.
int eng_update_spawn(const std::vector<std::string> &args, const std::string &remove_on_fail,
                     std::string *err);
// A new empty /tmp/zqupd_XXXXXX.run (mode 0600); "" with *err on failure.
std::string eng_update_tmpfile(const char *err_prefix, std::string *err);
