#pragma once
// Project archives made by the supervisor: daily on a schedule and on
// request (./backup.req). tar runs as a child of its own process group and
// the main loop only polls it, so the heartbeat, signals and restarts go on
// during a long backup. The decisions (schedule, names, pruning, tar's exit
// status, arguments) are pure functions so they can be checked without a
// clock or a tar.

#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/json.h"

struct sup_backup_cfg {
    bool enabled = false;
    std::string dir = "./backups";
    int hh = 2, mm = 0;
    int keep = 30;
};

// A failed scheduled backup is tried again after this long, not every pass.
constexpr int64_t SUP_BACKUP_RETRY_MS = 10 * 60 * 1000;
// tar running longer than this is stopped (ZQSUP_BACKUP_MAX_S overrides).
constexpr int64_t SUP_BACKUP_MAX_MS = 3 * 3600 * 1000LL;

// "H:M": true and the time set (an hour above 23 becomes 2, a minute above
// 59 becomes 0); false leaves hh/mm alone.
bool sup_backup_parse_schedule(const char *text, int *hh, int *mm);

// The backup section of a parsed config.yaml over *cfg. Without a section
// scheduled backups are off and the other settings stay as they were.
void sup_backup_cfg_from_tree(const json_node *root, sup_backup_cfg *cfg);

// Local date YYYYMMDD of an archive named exactly
// "YYYYMMDD_HHMMSS_<project>.tar.gz", else 0.
int sup_backup_name_ymd(const char *name, const char *project);

// Leftover temporary archive of this project ("<archive>.tmp").
bool sup_backup_is_tmp_name(const char *name, const char *project);

// Newest archive date among the names, 0 when none.
int sup_backup_newest_ymd(const std::vector<std::string> &names, const char *project);

// Whether the schedule asks for a backup at local time `now`.
bool sup_backup_due(const sup_backup_cfg &cfg, int last_ymd, const struct tm &now);

// Archives to delete so that `keep` (at least 1) stay: this project's
// archives only, oldest first, never `just_made`.
std::vector<std::string> sup_backup_prune_list(const std::vector<std::string> &names,
                                               const char *project, int keep,
                                               const std::string &just_made);

enum sup_tar_verdict {
    SUP_TAR_OK,
    SUP_TAR_WARN,  // exit 1: files changed while read, the archive is usable
    SUP_TAR_FAIL,
};
// Verdict on a waitpid status; *rc gets the exit code (-1 for a signal).
sup_tar_verdict sup_backup_tar_verdict(int wait_status, int *rc);

// Project-relative path of the backup folder when it lies inside (or is)
// one of the archived paths, so tar must leave it out; "" otherwise.
// backup_real and project_real are resolved paths.
std::string sup_backup_inner_dir(const std::string &backup_real, const std::string &project_real,
                                 const std::vector<std::string> &archived);

// tar's argument vector: archive to standard output, the fixed exclusions,
// the backup folder's exclusion when `inner` is set (only the archives in
// it when it is one of the paths), then the paths.
std::vector<std::string> sup_backup_tar_argv(const std::vector<std::string> &paths,
                                             const std::string &inner);

// The archived paths of the project directory, in order, those that exist.
std::vector<std::string> sup_backup_collect_paths();

// ---- the supervisor's side (state in sup_backup.cpp) ----

// Reads the settings from ./config.yaml; `first` also looks up the newest
// archive date and removes temporary archives a crash left behind.
void sup_backup_load(bool first);
// One main-loop pass: finishes an ended tar, enforces the time cap, takes
// a request or a due scheduled backup.
void sup_backup_tick();
// The reaper found `pid` ended: true when it was tar (its status is kept).
bool sup_backup_reaped(pid_t pid, int wait_status);
// Shutdown: stops a running tar and removes its partial archive.
void sup_backup_stop();
// True while tar runs.
bool sup_backup_running();
