// Steps the supervisor runs at fixed points of start-up and of the main
// loop: legacy-project conversion, configuration augmentation, scheduled
// backups and network mounts (the last two not part of this build yet).

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/cfg_augment.h"
#include "common/cfg_skeleton.h"
#include "common/legacy_base.h"
#include "common/legacy_ini_yaml.h"
#include "common/parse_util.h"
#include "sup.h"
#include "sup_backup.h"
#include "sup_legacy.h"
#include "sup_mount.h"

namespace {

void log_lines(const std::string &text) {
    if (!text.empty()) sup_log("%s", text.c_str());
}

}  // namespace

// The legacy tables get rows for newly configured channels, and
// channels.json is rebuilt from the configured items. Tables and registry
// live beside the ini.
void sup_hook_legacy_tables() {
    std::string dir = zq_dir_of(g_ini_path.c_str());
    std::string a_base = dir + "/zqbridge.a.base", d_base = dir + "/zqbridge.d.base";
    std::vector<legacy_item> items;
    if (legacy_collect_items(g_ini_path.c_str(), &items) != 0) {
        // A project without an INI is not a legacy project: nothing to say.
        if (errno != ENOENT) sup_log("[base_init] %s: %s\n", g_ini_path.c_str(), strerror(errno));
    } else if (items.empty()) {
        sup_log("[base_init] no Logix5000_N items in %s\n", g_ini_path.c_str());
    } else {
        std::string msg;
        legacy_sync_table(a_base.c_str(), false, items, &msg);
        log_lines(msg);
        legacy_sync_table(d_base.c_str(), true, items, &msg);
        log_lines(msg);
    }
    std::string log;
    sup_channels_bootstrap(g_ini_path.c_str(), "./config.yaml", (dir + "/channels.json").c_str(),
                           a_base.c_str(), d_base.c_str(), &log);
    log_lines(log);
}

// config.yaml from zqbridge.ini, or the skeleton for a new project. It is
// the project's ./config.yaml that every program reads, also when -c names
// an INI elsewhere.
bool sup_hook_generate_config() {
    const char *yaml = "./config.yaml";
    struct stat st;
    if (stat(yaml, &st) == 0) return S_ISREG(st.st_mode);
    if (stat(g_ini_path.c_str(), &st) == 0) {
        if (config_ini_to_yaml(g_ini_path.c_str(), yaml) == 0) {
            sup_log("[zqsup] generated %s from zqbridge.ini\n", yaml);
        } else {
            sup_log("[zqsup] WARN: could not generate %s from ini (%s)\n", yaml, strerror(errno));
        }
    } else if (config_write_skeleton(yaml) == 0) {
        sup_log("[zqsup] wrote skeleton %s (no ini found — edit it)\n", yaml);
    } else {
        sup_log("[zqsup] WARN: could not write skeleton %s (%s)\n", yaml, strerror(errno));
    }
    return stat(yaml, &st) == 0 && S_ISREG(st.st_mode);
}

// Sections and keys of this release that config.yaml lacks.
void sup_hook_augment_config() {
    int rc = config_augment_file("./config.yaml", config_skeleton_str());
    if (rc == CFG_AUG_ADDED) {
        sup_log("[zqsup] config.yaml: дописано нові секції/ключі зі скелета\n");
    } else if (rc == CFG_AUG_FAILED && errno != ENOENT) {
        sup_log("[zqsup] WARN: config.yaml не доповнено: %s\n", strerror(errno));
    }
}

// backup.enabled/dir/schedule/keep; at start also the newest backup date.
void sup_hook_load_backup_settings() {
    static bool loaded = false;
    sup_backup_load(!loaded);
    loaded = true;
}

// network.mounts.
void sup_hook_load_mounts() {
    sup_mount_load();
}

// ./backup.req and the daily schedule; tar runs beside the loop.
void sup_hook_backup_tick() {
    sup_backup_tick();
}

bool sup_hook_reap_backup(pid_t pid, int wait_status) {
    return sup_backup_reaped(pid, wait_status);
}

void sup_hook_backup_stop() {
    sup_backup_stop();
}

// Mount checks and the mount process.
void sup_hook_mount_tick() {
    sup_mount_tick();
}

bool sup_hook_reap_mount(pid_t pid) {
    return sup_mount_reap(pid);
}
