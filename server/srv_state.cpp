#include "server/srv_state.h"

#include "common/log.h"

const ShmHandle *srv_db_get(srv_state *st) {
    if (!st->db.ok.load(std::memory_order_acquire)) return nullptr;
    if (!shm_check_magic(&st->db.h)) return nullptr;
    return &st->db.h;
}

bool srv_db_open(srv_state *st, bool log_it) {
    std::lock_guard<std::mutex> lk(st->db.open_mu);
    if (st->db.ok) return true;
    if (shm_handle_open(&st->db.h, st->cfg.shm_name, true, SHM_MSG_SERVER) != 0) return false;
    st->db.ok.store(true, std::memory_order_release);
    if (log_it) log_msg("SHM opened: %s", st->cfg.shm_name);
    return true;
}

void srv_db_close(srv_state *st) {
    std::lock_guard<std::mutex> lk(st->db.open_mu);
    if (st->db.ok) {
        st->db.ok = false;
        shm_handle_close(&st->db.h);
    }
}
