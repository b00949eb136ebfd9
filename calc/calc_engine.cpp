// The engine's tick: database access for the program, own tags, write
// requests to other channels, external set-points and the tick clock.

#include "calc/calc_engine.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/log.h"
#include "common/shm_report.h"

namespace {

calc_engine *eng(void *u) {
    return static_cast<calc_engine *>(u);
}

uint32_t wkey(int isd, int ch) {
    return (static_cast<uint32_t>(isd) << 31) | static_cast<uint32_t>(ch);
}

int own_index(const calc_engine *e, int isd, int ch) {
    const std::vector<int> &t = e->own[isd ? 1 : 0];
    return ch >= 0 && static_cast<size_t>(ch) < t.size() ? t[static_cast<size_t>(ch)] : -1;
}

void build_own(calc_engine *e) {
    for (auto &t : e->own)
        t.clear();
    for (size_t i = 0; i < e->cfg.tags.size(); i++) {
        const calc_tag &t = e->cfg.tags[i];
        std::vector<int> &v = e->own[t.isd ? 1 : 0];
        if (v.size() <= static_cast<size_t>(t.ch)) v.resize(static_cast<size_t>(t.ch) + 1, -1);
        v[static_cast<size_t>(t.ch)] = static_cast<int>(i);
    }
}

double round_half_away(double v) {
    return v < 0 ? -std::floor(-v + 0.5) : std::floor(v + 0.5);
}

uint8_t to_byte(double v) {
    v = round_half_away(v);
    return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

const channel_rec *an_rec(const calc_engine *e, int ch) {
    return e->have_reg ? channels_an(&e->reg, ch) : nullptr;
}

bool scaled(const channel_rec *r) {
    return r && r->has_scale && r->code_max != r->code_min && r->phys_max != r->phys_min;
}

// Own tag value into its database record.
void write_own(calc_engine *e, const calc_tag &t, int bad, double v, int64_t now) {
    if (!e->attached) return;
    if (t.isd) {
        ShmDiscrete *d = shm_discrete(&e->db, t.ch);
        if (!d) return;
        bool good = !bad && std::isfinite(v);
        d->value = good ? to_byte(v) : 0;
        d->ts_ms = now;
        d->quality = good ? 1 : 0;
        if (uint8_t *vt = shm_di_vtype(&e->db, t.ch))
            *vt = static_cast<uint8_t>(t.type ? t.type : CX_T_USINT);
        return;
    }
    ShmAnalog *a = shm_analog(&e->db, t.ch);
    if (!a) return;
    bool good = !bad && std::isfinite(v);
    if (good) {
        const channel_rec *r = an_rec(e, t.ch);
        if (scaled(r)) v = channels_to_code(r, v);
        v = calc_vtype_quantize(v, t.type ? t.type : CX_T_LREAL);
        good = std::isfinite(v);
    }
    a->value = good ? v : 0;
    a->ts_ms = now;
    a->quality = good ? 1 : 0;
    if (uint8_t *vt = shm_an_vtype(&e->db, t.ch))
        *vt = static_cast<uint8_t>(t.type ? t.type : CX_T_LREAL);
}

// A request to a channel the engine does not own, sent only when it changes.
void ring_write(calc_engine *e, int isd, int ch, double v) {
    if (!std::isfinite(v) || !e->attached) return;
    uint32_t count = isd ? shm_di_count(&e->db) : shm_an_count(&e->db);
    if (ch < 1 || static_cast<uint32_t>(ch) >= count) return;
    if (isd) v = to_byte(v);
    uint32_t k = wkey(isd, ch);
    auto it = e->wreq.find(k);
    if (it != e->wreq.end() && std::fabs(v - it->second) <= 0) return;
    double out = v;
    if (!isd) {
        const channel_rec *r = an_rec(e, ch);
        if (scaled(r)) out = channels_to_code(r, v);
        if (!std::isfinite(out)) return;
    }
    ShmWriteSlot *slot = isd ? shm_di_write_slot(&e->db, ch) : shm_an_write_slot(&e->db, ch);
    if (!slot) return;
    shm_post_write(slot, out);
    e->wreq[k] = v;
    // One line per channel and 10 s: a program that changes a value every
    // tick must not fill the log.
    int64_t now = e->tick[CX_TICK_MONO];
    auto lg = e->wlog_ms.find(k);
    if (lg == e->wlog_ms.end() || now - lg->second >= 10000) {
        log_msg("calc: → слот %c%d = %.10g (write-ring)", isd ? 'D' : 'A', ch, v);
        e->wlog_ms[k] = now;
    }
}

void take_setpoints(calc_engine *e, int64_t now) {
    if (!e->attached) return;
    for (const calc_tag &t : e->cfg.tags) {
        ShmWriteSlot *slot =
            t.isd ? shm_di_write_slot(&e->db, t.ch) : shm_an_write_slot(&e->db, t.ch);
        double v = 0;
        if (!slot || !shm_write_pending(slot) || !shm_take_write(slot, &v)) continue;
        if (t.isd) {
            ShmDiscrete *d = shm_discrete(&e->db, t.ch);
            if (!d) continue;
            bool good = std::isfinite(v);
            d->value = good ? to_byte(v) : 0;
            d->quality = good ? 1 : 0;
            d->ts_ms = now;
            if (uint8_t *vt = shm_di_vtype(&e->db, t.ch)) *vt = static_cast<uint8_t>(t.type);
            log_msg("calc: уставка D%d = %lld (зовнішній запис)", t.ch,
                    static_cast<long long>(d->value));
        } else {
            ShmAnalog *a = shm_analog(&e->db, t.ch);
            if (!a) continue;
            double q = std::isfinite(v) ? calc_vtype_quantize(v, t.type) : NAN;
            bool good = std::isfinite(q);
            a->value = good ? q : 0;
            a->quality = good ? 1 : 0;
            a->ts_ms = now;
            if (uint8_t *vt = shm_an_vtype(&e->db, t.ch)) *vt = static_cast<uint8_t>(t.type);
            log_msg("calc: уставка A%d = %.10g (зовнішній запис)", t.ch, v);
        }
    }
}

void restore_tags(calc_engine *e, int64_t now) {
    int n = 0;
    for (const calc_tag &t : e->cfg.tags) {
        if (!t.has_rem) continue;
        if (t.isd) {
            ShmDiscrete *d = shm_discrete(&e->db, t.ch);
            if (!d) continue;
            d->value = std::isfinite(t.rem_v) ? to_byte(std::trunc(t.rem_v)) : 0;
            d->quality = static_cast<uint8_t>(t.rem_q);
            d->ts_ms = now;
            if (uint8_t *vt = shm_di_vtype(&e->db, t.ch)) *vt = static_cast<uint8_t>(t.type);
        } else {
            ShmAnalog *a = shm_analog(&e->db, t.ch);
            if (!a) continue;
            double v = t.rem_v;
            if (t.rem_q == 1) v = calc_vtype_quantize(v, t.type);
            a->value = std::isfinite(v) ? v : 0;
            a->quality = std::isfinite(v) ? static_cast<uint8_t>(t.rem_q) : 0;
            a->ts_ms = now;
            if (uint8_t *vt = shm_an_vtype(&e->db, t.ch)) *vt = static_cast<uint8_t>(t.type);
        }
        n++;
    }
    if (n) log_msg("calc: відновлено %d значень тегів у SHM", n);
}

void load_registry(calc_engine *e) {
    e->have_reg = channels_load(&e->reg, e->chan_path.c_str()) == 0;
    if (!e->have_reg) log_msg("channels.json не завантажено — шкали passthrough");
}

void load_items(calc_engine *e) {
    e->prog_failed = calc_items_load(&e->cfg) < 0;
    calc_engine_flush_msgs(e);
    calc_engine_reset_store(e);
    calc_state_load(e);
}

}  // namespace

double calc_vtype_quantize(double v, int type) {
    if (!std::isfinite(v)) return v;
    auto sat = [](double x, double lo, double hi) { return x < lo ? lo : x > hi ? hi : x; };
    switch (type) {
        case CX_T_REAL:
            return static_cast<double>(static_cast<float>(v));
        case CX_T_BOOL:
        case CX_T_USINT:
            return sat(round_half_away(v), 0, 255);
        case CX_T_SINT:
            return sat(round_half_away(v), -128, 127);
        case CX_T_INT:
            return sat(round_half_away(v), -32768, 32767);
        case CX_T_DINT:
            return sat(round_half_away(v), -2147483648.0, 2147483647.0);
        case CX_T_UINT:
            return sat(round_half_away(v), 0, 65535);
        case CX_T_UDINT:
            return sat(round_half_away(v), 0, 4294967295.0);
        case CX_T_ULINT:
            return std::fmax(0, round_half_away(v));
        case CX_T_LINT:
            return round_half_away(v);
        default:
            return v;
    }
}

void calc_engine_flush_msgs(calc_engine *e) {
    for (const calc_msg &m : e->cfg.msgs) {
        if (m.error)
            log_err("%s", m.text.c_str());
        else
            log_msg("%s", m.text.c_str());
    }
    e->cfg.msgs.clear();
}

void calc_engine_reset_store(calc_engine *e) {
    size_t n = static_cast<size_t>(e->cfg.ncells);
    e->cells.assign(n, 0);
    e->cell_bad.assign(n, 0);
    for (const calc_var &v : e->cfg.vars)
        if (v.kind != CX_KIND_PLAIN)
            for (int i = 0; i < v.cells; i++)
                e->cells[static_cast<size_t>(v.base + i)] =
                    cx_struct_default(v.kind, i % CX_STRUCT_LEN);
    for (size_t i = 0; i < n && i < e->cfg.init.size(); i++)
        if (!std::isnan(e->cfg.init[i])) e->cells[i] = e->cfg.init[i];
}

int calc_engine_start(calc_engine *e, const char *cfg_path) {
    e->cfg_path = cfg_path;
    if (calc_cfg_load(&e->cfg, cfg_path) != 0) return -1;
    calc_engine_flush_msgs(e);
    build_own(e);
    mkdir(e->cfg.dir.c_str(), 0755);
    log_msg("calc: dir=%s takt=%d мс stale=%d мс, власних тегів=%d", e->cfg.dir.c_str(),
            e->cfg.takt_ms, e->cfg.stale_ms, static_cast<int>(e->cfg.tags.size()));
    load_registry(e);
    load_items(e);
    log_msg("calc: якір %02d:%02d, зміна %d год", e->cfg.pc.anchor_min / 60,
            e->cfg.pc.anchor_min % 60, e->cfg.pc.shift_h);
    return 0;
}

void calc_engine_reload(calc_engine *e, int64_t now_ms) {
    calc_engine_save(e, now_ms);
    calc_apply_import(&e->cfg);
    calc_engine_flush_msgs(e);
    load_registry(e);
    // Settings first: the schedules built with the program may name its
    // variables, and keep the marks of unchanged entries.
    if (calc_cfg_reload_settings(&e->cfg, e->cfg_path.c_str()) != 0)
        log_err("не читається %s — лишаю попередні налаштування", e->cfg_path.c_str());
    load_items(e);
    log_msg("calc: перечитано конфіг/шкали (SIGUSR1)");
}

bool calc_engine_attach(calc_engine *e, int64_t now_ms) {
    if (e->attached && !shm_check_magic(&e->db)) {
        shm_handle_close(&e->db);
        e->attached = false;
    }
    if (e->attached) return true;
    if (shm_handle_open(&e->db, e->cfg.shm_name.c_str(), true) != 0) {
        if (e->db.status == SHM_ERR_MISMATCH || e->db.status == SHM_ERR_LAYOUT)
            shm_report_open_failure(&e->db, SHM_MSG_CALC);
        if (!e->wait_logged)
            log_msg("чекаю SHM %s (драйвер ще не створив)", e->cfg.shm_name.c_str());
        e->wait_logged = true;
        return false;
    }
    e->wait_logged = false;
    e->attached = true;
    log_msg("SHM відкрито RW: %s (%u байт)", e->cfg.shm_name.c_str(),
            static_cast<unsigned>(e->db.size));
    restore_tags(e, now_ms);
    return true;
}

int calc_engine_read(void *u, int isd, int index, double *out) {
    calc_engine *e = eng(u);
    if (!isd && index >= CX_VAR_BASE) {
        size_t c = static_cast<size_t>(index - CX_VAR_BASE);
        if (c >= e->cells.size() || e->cell_bad[c]) return -1;
        *out = e->cells[c];
        return 0;
    }
    if (index == CALC_SHIFT_INDEX || index == CALC_SHIFT_NO) {
        int64_t si = calc_shift_index(e->tick[CX_TICK_NOW], &e->cfg.pc);
        if (index == CALC_SHIFT_INDEX) {
            *out = static_cast<double>(si);
            return 0;
        }
        int64_t n = static_cast<int64_t>(e->cfg.shift_order.size());
        if (n == 0) return -1;
        *out = e->cfg.shift_order[static_cast<size_t>(((si % n) + n) % n)];
        return 0;
    }
    if (!e->attached) return -1;
    int64_t now = e->tick[CX_TICK_NOW];
    int64_t oldest = e->cfg.stale_ms > 0 ? now - e->cfg.stale_ms : INT64_MIN;
    if (isd) {
        const ShmDiscrete *d = shm_discrete(&e->db, index);
        if (!d || index < 1 || d->quality != 1 || d->ts_ms < oldest) return -1;
        *out = d->value;
        return 0;
    }
    const ShmAnalog *a = shm_analog(&e->db, index);
    if (!a || index < 1 || a->quality != 1 || a->ts_ms < oldest || !std::isfinite(a->value))
        return -1;
    *out = channels_to_phys(an_rec(e, index), a->value);
    return std::isfinite(*out) ? 0 : -1;
}

void calc_engine_write(void *u, int isd, int index, int bad, double v) {
    calc_engine *e = eng(u);
    if (!isd && index >= CX_VAR_BASE) {
        size_t c = static_cast<size_t>(index - CX_VAR_BASE);
        if (c >= e->cells.size()) return;
        bool good = !bad && std::isfinite(v);
        e->cells[c] = good ? v : 0;
        e->cell_bad[c] = !good;
        return;
    }
    int oi = own_index(e, isd, index);
    if (oi >= 0) {
        write_own(e, e->cfg.tags[static_cast<size_t>(oi)], bad, v, e->tick[CX_TICK_NOW]);
        return;
    }
    if (!bad && index <= CX_CHAN_MAX) ring_write(e, isd, index, v);
}

void calc_engine_tick(calc_engine *e, int64_t now_ms, int64_t mono_ms) {
    int64_t dt = 0;
    if (e->prev_now != 0) {
        dt = now_ms - e->prev_now;
        int64_t lim = e->cfg.takt_ms < 1000 ? 10000 : 10LL * e->cfg.takt_ms;
        if (dt < 0) {
            dt = 0;  // clock stepped back
        } else if (dt > lim) {
            if (!e->clamp_logged)
                log_msg("calc: пропуск %lld мс не інтегрується (dt-кламп)",
                        static_cast<long long>(dt));
            e->clamp_logged = true;
            dt = 0;
        }
    }
    e->prev_now = now_ms;
    e->tick[CX_TICK_NOW] = now_ms;
    e->tick[CX_TICK_DT] = dt;
    e->tick[CX_TICK_MONO] = mono_ms;
    calc_period_fill(e->tick, &e->cfg.pc);
    for (int k = 0; k < 3; k++) {
        int64_t s = e->tick[CX_TICK_START + k];
        if (e->prev_start[k] != 0 && s != e->prev_start[k]) e->boundary = true;
        e->prev_start[k] = s;
    }
    take_setpoints(e, now_ms);
    calc_engine_commands(e);
    if (e->cfg.prog && e->cfg.prog->enabled)
        cx_exec_tick(e->cfg.prog->root.get(), calc_engine_read, e, e->tick, calc_engine_write, e);
    calc_engine_schedules(e, now_ms);
    if (e->attached)
        for (const calc_tag &t : e->cfg.tags) {
            if (t.isd) {
                ShmDiscrete *d = shm_discrete(&e->db, t.ch);
                if (d && d->quality == 1) d->ts_ms = now_ms;
            } else {
                ShmAnalog *a = shm_analog(&e->db, t.ch);
                if (a && a->quality == 1) a->ts_ms = now_ms;
            }
        }
    e->ticks++;
    if (e->boundary || e->last_save_mono == 0 || mono_ms - e->last_save_mono >= 1000) {
        calc_engine_save(e, now_ms);
        e->last_save_mono = mono_ms;
        e->boundary = false;
    }
}

void calc_engine_stop(calc_engine *e, int64_t now_ms) {
    calc_engine_save(e, now_ms);
    log_msg("zqcalc: вихід");
    if (e->attached) shm_handle_close(&e->db);
    e->attached = false;
}
