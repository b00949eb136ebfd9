#include "server/srv_state.h"

#include "common/log.h"
#include "common/shm_report.h"

const ShmHandle *srv_db_get(srv_state *st) {
    if (!st->db.ok.load(std::memory_order_acquire)) return nullptr;
    if (!shm_check_magic(&st->db.h)) return nullptr;
    return &st->db.h;
}

bool srv_db_open(srv_state *st, bool log_it) {
    std::lock_guard<std::mutex> lk(st->db.open_mu);
    if (st->db.ok) return true;
    if (shm_handle_open(&st->db.h, st->cfg.shm_name, true) != 0) {
        shm_report_open_failure(&st->db.h, SHM_MSG_SERVER);
        return false;
    }
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

void srv_live_init(srv_state *st) {
    auto t = std::make_shared<srv_trust_table>();
    t->n = st->cfg.n_trust;
    for (int i = 0; i < t->n; i++)
        t->e[i] = st->cfg.trust[i];
    srv_live_set_trust(st, std::move(t));
    srv_live_set_central_url(st, st->cfg.central_url);
    st->live.autosync_threshold_ms = st->cfg.autosync_threshold_ms;
}

std::shared_ptr<const srv_trust_table> srv_live_trust(srv_state *st) {
    std::lock_guard<std::mutex> lk(st->live.mu);
    return st->live.trust;
}

void srv_live_set_trust(srv_state *st, std::shared_ptr<const srv_trust_table> t) {
    std::lock_guard<std::mutex> lk(st->live.mu);
    st->live.trust = std::move(t);
}

std::string srv_live_central_url(srv_state *st) {
    std::lock_guard<std::mutex> lk(st->live.mu);
    return st->live.central_url;
}

void srv_live_set_central_url(srv_state *st, const std::string &url) {
    std::lock_guard<std::mutex> lk(st->live.mu);
    st->live.central_url = url;
}
