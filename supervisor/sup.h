#pragma once

// zqsup: creates the real-time database of a project, starts the other
// programs of the stack as children, restarts them when they die, applies
// imports and reloads on signals, and stops everything in order.
//
// Single-threaded. Signal handlers only set the g_sig* flags; all work
// happens in the main loop.

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "common/json.h"
#include "common/shm.h"

// ---- process-wide state ----------------------------------------------------

constexpr int SUP_MAX_CHILDREN = 8;
constexpr int SUP_MAX_ARGS = 16;
constexpr int SUP_RESTART_MS = 3000;     // a child restarts at most once per 3 s
constexpr int SUP_STOP_GRACE_MS = 5000;  // SIGTERM to SIGKILL
constexpr int SUP_LOOP_MS = 200;         // one main-loop pass
constexpr int SUP_MAX_CONNECTIONS = 64;

struct sup_child {
    char name[32];
    char path[512];
    char args[512];
    pid_t pid;
    time_t started_at;        // wall clock, for people
    int64_t started_mono_ms;  // monotonic, for restart pacing
    bool restart;
    int starts;  // since the row was added; restarts are starts - 1
};

extern sup_child g_ch[SUP_MAX_CHILDREN];
extern int g_n_ch;

extern std::string g_stack_dir;
extern std::string g_base_dir;  // project directory (real path)
extern std::string g_project_name;
extern std::string g_ini_path;
extern std::string g_shm_name_su;
extern std::string g_pidfile;
extern bool g_driver_gated;
extern ShmHandle g_shm;

extern volatile sig_atomic_t g_shutdown;
extern volatile sig_atomic_t g_sigchld;
extern volatile sig_atomic_t g_sigusr1;
extern volatile sig_atomic_t g_sigusr2;

// ---- log (sup_log.cpp) -----------------------------------------------------

// Prints the message on standard output and writes it, trailing newlines
// removed and cut to 1023 bytes, to the supervisor's daily log.
void sup_log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Same, but to standard error (start-up problems) and the log.
void sup_log_stderr(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

int64_t sup_mono_ms();
// Sleeps on the monotonic clock in slices of one loop pass, keeping the
// liveness fields moving; returns early once a shutdown is pending (when
// stop_on_shutdown).
void sup_sleep_ms(int64_t ms, bool stop_on_shutdown);

// ---- database sizing (sup_size.cpp) ----------------------------------------

struct sup_shm_sizing {
    uint32_t analogs;
    uint32_t discretes;
    uint32_t plcs;
    bool has_groups;
};

// Sizing over a parsed configuration. Returns 0, or -2 when the sizes cannot
// be represented (total_size beyond 4 GiB - 1); *total_out gets the 64-bit
// object size either way.
int sup_spec_from_tree(const json_node *root, sup_shm_sizing *out, uint64_t *total_out);

// Sizing from ./config.yaml: 0, -1 unreadable, -2 absurd sizes.
int shm_spec_from_yaml(sup_shm_sizing *out, uint64_t *total_out);

// Prefix from <project_dir>/config.yaml ("/logix_drv" unless logix.shm_name
// is a valid one-component name), cut to 63 characters.
std::string shm_prefix_from_yaml(const std::string &project_dir);

// ---- database life (sup_shm.cpp) -------------------------------------------

// One full pass: size, name check, removal, creation, log line. Returns 0,
// -1 when config.yaml cannot be read, -2 when the object was not created.
int shm_create_run();
// Liveness fields when no driver runs; paced on the monotonic clock so a
// wall clock stepped back does not stop the heartbeat.
void sup_keepalive_tick();
// Closes the handle and removes the object of the current name.
void sup_shm_remove();

// ---- children (sup_child.cpp) ----------------------------------------------

// Adds a row ("%s/%s" path from the stack directory); -1 when the table is
// full (logged, not started).
int sup_child_add(const char *name, const char *program, const char *args);
void sup_child_remove(int index);
int sup_child_find(const char *name);
// Splits args at spaces and tabs into at most SUP_MAX_ARGS arguments.
std::vector<std::string> sup_split_args(const char *path, const char *args);
void sup_start_one(sup_child *c);
void sup_stop_one(sup_child *c);
// Reaps every ended child without blocking, restarts those flagged for it
// (paced to once per SUP_RESTART_MS each). Returns the number reaped.
int sup_reap_children();
// Children whose fork failed (no SIGCHLD will come for them) are tried
// again once their pacing interval has passed, instead of staying down.
int sup_retry_unstarted();
// Fills the table from the configuration rules (start-up).
void sup_fill_children();
// Reload: stops and removes optional children no longer required, adds and
// starts newly required ones.
void sup_reconcile_children();
void sup_print_status();

// True when ./config.yaml has a top-level "<name>:" line.
bool sup_config_has_top_section(const char *name);
bool sup_config_text_has_top_section(const char *text, const char *name);

// ---- pid file (sup_pidfile.cpp) --------------------------------------------

struct sup_pid_entry {
    std::string name;
    pid_t pid;
};

std::vector<sup_pid_entry> sup_parse_pidfile(const std::string &text);
void sup_write_pidfile();  // also writes ./run/zqsup.status
void sup_write_status();
// Clean-up of a previous run: signals only stack programs whose working
// directory is this project directory. -1 (logged, nothing touched) when a
// project of the same name runs from another directory.
int sup_cleanup_stale();
// A live supervisor of a project with this project's name in another
// directory (same pid file, same database name): its directory and pid.
bool sup_find_namesake(std::string *dir, pid_t *pid);
// True when pid runs one of the stack's programs (first cmdline string).
bool sup_pid_is_stack_program(pid_t pid);
// True when /proc/<pid>/cwd resolves to dir.
bool sup_pid_cwd_is(pid_t pid, const std::string &dir);

// ---- steps that later parts plug in (sup_hooks.cpp) ------------------------

// Legacy channel tables check and channels.json bootstrap.
void sup_hook_legacy_tables();
// config.yaml from the legacy ini or the skeleton; true when it now exists.
bool sup_hook_generate_config();
// Adds skeleton sections/keys missing from config.yaml.
void sup_hook_augment_config();
// Backup settings, newest backup date; mount list.
void sup_hook_load_backup_settings();
void sup_hook_load_mounts();
// Main-loop steps 2 and 3.
void sup_hook_backup_tick();
void sup_hook_mount_tick();
// Reaps the mount process; true when pid was it.
bool sup_hook_reap_mount(pid_t pid);
// The reaper found a pid outside the table: true when it was the backup's.
bool sup_hook_reap_backup(pid_t pid, int wait_status);
// Shutdown: a running backup is stopped and its partial archive removed.
void sup_hook_backup_stop();

// ---- program (sup_run.cpp) -------------------------------------------------

// Applies "<dir>/<file>.import" over "<dir>/<file>": 1 applied, 0 none, -1 error.
int sup_apply_import(const std::string &import_path, const std::string &target);
void sup_handle_usr1();
void sup_handle_usr2();
int sup_main(int argc, char **argv);
