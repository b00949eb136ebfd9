// Creation, removal and (without a driver) liveness of the real-time database.

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sup.h"

namespace {

int64_t g_last_beat_mono = 0;

// Bytes that /dev/shm can still hold, counting the object about to be
// replaced. A fresh object is zero-filled page by page; past the free space
// that would end in SIGBUS instead of an error.
uint64_t shm_room(const std::string &name) {
    struct statvfs vs;
    if (statvfs("/dev/shm", &vs) != 0) return UINT64_MAX;
    uint64_t room = uint64_t(vs.f_bavail) * vs.f_frsize;
    struct stat st;
    std::string path = "/dev/shm" + name;
    if (stat(path.c_str(), &st) == 0 && st.st_size > 0) room += uint64_t(st.st_blocks) * 512;
    return room;
}

}  // namespace

int shm_create_run() {
    sup_shm_sizing sizing{};
    uint64_t total = 0;
    int rc = shm_spec_from_yaml(&sizing, &total);
    if (rc == -1) {
        sup_log("[zqsup] WARN: config.yaml не читається — SHM не створено\n");
        return -1;
    }
    if (rc == -2) {
        sup_log(
            "[zqsup] ПОМИЛКА: SHM завеликий (%llu байт > 4 ГіБ) — перевірте номери каналів "
            "і logix.analogs/discrets у config.yaml; SHM не змінено\n",
            (unsigned long long)total);
        return -2;
    }
    g_driver_gated = !sizing.has_groups;

    if (!g_project_name.empty()) {
        std::string name =
            shm_supervisor_name(shm_prefix_from_yaml(".").c_str(), g_project_name.c_str());
        if (name != g_shm_name_su) {
            sup_log("[zqsup] SHM перейменовано: %s → %s\n", g_shm_name_su.c_str(), name.c_str());
            shm_close(&g_shm);
            if (!g_shm_name_su.empty()) shm_unlink(g_shm_name_su.c_str());
            g_shm_name_su = name;
            setenv("LOGIX_SHM_NAME", name.c_str(), 1);
        }
    }

    std::string other;
    pid_t other_pid = 0;
    if (sup_find_namesake(&other, &other_pid)) {
        sup_log("[zqsup] ПОМИЛКА: SHM %s належить проєкту в %s (zqsup pid=%d) — SHM не змінено\n",
                g_shm_name_su.c_str(), other.c_str(), int(other_pid));
        return -2;
    }

    uint64_t room = shm_room(g_shm_name_su);
    if (total > room) {
        sup_log(
            "[zqsup] ПОМИЛКА: SHM %s потребує %llu байт, у /dev/shm вільно %llu — "
            "SHM не змінено\n",
            g_shm_name_su.c_str(), (unsigned long long)total, (unsigned long long)room);
        return -2;
    }

    shm_close(&g_shm);
    shm_unlink(g_shm_name_su.c_str());
    if (shm_open_rw(g_shm_name_su.c_str(), sizing.analogs, sizing.discretes, sizing.plcs, &g_shm) !=
        0) {
        sup_log("[zqsup] ПОМИЛКА: не вдалося створити SHM %s\n", g_shm_name_su.c_str());
        return -2;
    }
    g_last_beat_mono = 0;
    sup_log("[zqsup] SHM %s створено (%uA/%uD, PLC=%u)%s\n", g_shm_name_su.c_str(), sizing.analogs,
            sizing.discretes, sizing.plcs,
            g_driver_gated ? " — logix-груп нема, драйвер не стартує" : "");
    return 0;
}

void sup_keepalive_tick() {
    if (!g_driver_gated || !g_shm.base) return;
    int64_t now = sup_mono_ms();
    if (g_last_beat_mono != 0 && now - g_last_beat_mono <= 999) return;
    g_last_beat_mono = now;
    shm_set_connected(&g_shm, 1);
    shm_poll_done(&g_shm, shm_now_ms());
}

void sup_shm_remove() {
    shm_close(&g_shm);
    if (!g_shm_name_su.empty()) shm_unlink(g_shm_name_su.c_str());
}
