// Steps that belong to the legacy-project conversion, configuration
// augmentation, scheduled backups and network mounts. They are not part of
// this build yet; each function is the one place where that work plugs in,
// and the supervisor calls them at the points where they run.

#include <sys/stat.h>

#include "sup.h"

// Check of zqbridge.a.base / zqbridge.d.base against the ini and the
// bootstrap of channels.json from them.
void sup_hook_legacy_tables() {}

// Generation of config.yaml from zqbridge.ini, or the skeleton. Without that
// conversion the supervisor needs an existing config.yaml.
bool sup_hook_generate_config() {
    struct stat st;
    return stat("./config.yaml", &st) == 0 && S_ISREG(st.st_mode);
}

// Skeleton sections and keys that config.yaml lacks.
void sup_hook_augment_config() {}

// backup.enabled/dir/schedule/keep and the date of the newest backup.
void sup_hook_load_backup_settings() {}

// network.mounts.
void sup_hook_load_mounts() {}

// ./backup.req and the daily schedule.
void sup_hook_backup_tick() {}

// Mount checks and the mount process.
void sup_hook_mount_tick() {}

bool sup_hook_reap_mount(pid_t) {
    return false;
}
