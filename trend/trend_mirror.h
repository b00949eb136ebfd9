#pragma once
// Alternate-path mirror: one worker per alternate directory keeps the same
// history as the main directory, as a byte copy of the main file where the
// encodings agree, else as rows encoded for the alternate. The main loop
// only enqueues; an unreachable or hung share never holds it up. The clock
// is supplied, and the jobs can be run in the caller's thread, so tests
// drive the mirror across midnights without waiting.

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "trend_base.h"

constexpr int TREND_ALT_SLOTS = 2;
constexpr size_t TREND_ALT_ROW_MAX = 16384;  // row bytes a mirror job carries
constexpr int TREND_ALT_RING = 8;            // structural jobs waiting per slot
constexpr int TREND_ALT_RETRY_S = 30;        // back-off of an unreachable alternate

struct trend_mirror_opts {
    std::string main_dir;
    std::string alt[TREND_ALT_SLOTS];  // "" = slot not configured
    std::function<int64_t()> now_ms;   // wall clock, ms since 1970
    // A share under <mount_root>/<name> is written only while the mounts
    // file lists <mount_root>/<name> as a mount point.
    std::string mount_root = "/mnt/zq";
    std::string proc_mounts = "/proc/mounts";
    bool threads = true;  // false: the caller runs the jobs (trend_mirror_run)
};

// Mount root and mounts file from ZQ_MOUNT_ROOT and ZQ_PROC_MOUNTS when set.
void trend_mirror_opts_env(trend_mirror_opts *o);

struct trend_mirror;

// Checks the alternates (one that is the main directory or the other
// alternate is refused with a message) and starts a worker for each usable
// one. Never null.
trend_mirror *trend_mirror_start(const trend_mirror_opts &o);
bool trend_mirror_enabled(const trend_mirror *m, int slot);
// Lets the workers finish what is queued and bring the mirrors level with
// the main files, waiting at most wait_ms; a worker stuck on a hung share is
// left behind (and the mirror with it). m is gone afterwards.
void trend_mirror_stop(trend_mirror *m, int wait_ms);
// threads = false: runs every queued job in the calling thread; the number run.
int trend_mirror_run(trend_mirror *m);
// Slot is in back-off (its last job failed less than the retry time ago).
bool trend_mirror_down(trend_mirror *m, int slot);

// ---- jobs (called by the recorder's main loop) ----

// Row res (0 seconds, 1 minutes, 2 hours) was appended to main_path, which
// is now main_size bytes long; the alternate keeps a byte copy of it. Rows
// longer than TREND_ALT_ROW_MAX are taken from the main file.
void trend_alt_job_append(trend_mirror *m, int slot, int res, const char *main_path,
                          const char *alt_path, long long main_size, const void *row, size_t len);

// A row in the alternate's own encoding. v1 (fmt 1 or 3): cells per row
// (analog, packed) and the row index (-1 for seconds). v2 (fmt 2): header
// and row size of the day's table.
struct trend_alt_row {
    int fmt = 0;
    int an_cells = 0, packed_cells = 0;
    long row_index = -1;
    int hdr_size = 0, row_size = 0;
};
void trend_alt_job_append_indep(trend_mirror *m, int slot, int res, const char *alt_path,
                                const trend_alt_row &how, const void *row, size_t len);

// Ensure a v1 file pair (kind 's', 'm' or 'h'). mirror_src: the main data
// file when the alternate is its byte copy, else "".
void trend_alt_job_ensure_v1(trend_mirror *m, int slot, char kind, const char *dir,
                             const char *meta, const char *data,
                             std::shared_ptr<const trend_base> base,
                             std::shared_ptr<const trend_cmap> map, bool packed, bool force,
                             const char *mirror_src);
// Ensure a v2 file with this header (64 + 160 * slots bytes).
void trend_alt_job_ensure_v2(trend_mirror *m, int slot, const char *dir, const char *path,
                             std::shared_ptr<const std::vector<uint8_t>> header, int row_size,
                             const char *mirror_src);
void trend_alt_job_patch_v2(trend_mirror *m, int slot, const char *path, int v2_slot,
                            const uint8_t rec[160]);
void trend_alt_job_cleanup(trend_mirror *m, int slot, const char *dir, int sec_days, int min_days,
                           int hour_days, time_t now);

// ---- helpers, exposed for tests ----

// Whether the mounts file lists mount_point (fields decoded from the \040
// escapes); -1 when the file cannot be read.
int trend_mount_listed(const char *mounts_file, const std::string &mount_point);
// The mount point <root>/<name> that dir lies under, or "" when it lies
// outside root.
std::string trend_mount_point_of(const std::string &dir, const std::string &root);
// Absolute path with symbolic links resolved as far as it exists.
std::string trend_resolve_dir(const std::string &dir);
