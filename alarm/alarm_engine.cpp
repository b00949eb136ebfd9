#include "alarm_engine.h"

#include <math.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "alarm_ack.h"
#include "alarm_xml.h"
#include "common/atomic_file.h"
#include "common/crc32.h"
#include "common/json.h"
#include "common/log.h"
#include "common/parse_util.h"

void alarm_paths_init(alarm_paths *p, const std::string &dir) {
    p->dir = dir;
    p->json = dir + "/alarm.json";
    p->xml = dir + "/alarm.xml";
    p->import = dir + "/alarm.json.import";
    p->active = dir + "/alarms_active.json";
}

static bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void alarm_event_expr_text(const alarm_event &ev, char *out, size_t cap) {
    const char *bar = ev.abs ? "|" : "";
    char b[512];
    snprintf(b, sizeof b, "%s%s%s %s %s%s%s", bar, ev.expr1_text, bar, alarm_cond_symbol(ev.cond),
             bar, ev.expr2_text, bar);
    alarm_copy_utf8(out, cap < 160 ? cap : 160, b);
}

void alarm_event_params(const alarm_event &ev, char *out, size_t cap) {
    int ids[8], n = alarm_expr_tags(&ev.expr1, ids, 4);
    int more[4], m = alarm_expr_tags(&ev.expr2, more, 4);
    for (int i = 0; i < m && n < 8; i++) {
        bool dup = false;
        for (int k = 0; k < n; k++)
            if (ids[k] == more[i]) dup = true;
        if (!dup) ids[n++] = more[i];
    }
    size_t len = 0;
    len += (size_t)snprintf(out + len, cap - len, "[");
    for (int i = 0; i < n && len < cap; i++)
        len += (size_t)snprintf(out + len, cap - len, "%s%d", i ? "," : "", ids[i]);
    if (len < cap) snprintf(out + len, cap - len, "]");
}

// ---------------------------------------------------------------- journal

static void write_journal(alarm_engine *e) {
    if (!e->journal_dirty || !e->day) return;
    alarm_journal_format(e->journal, &e->scratch);
    std::string path = alarm_journal_path(e->paths.dir, e->day);
    if (atomic_file_write(path, e->scratch) != 0) {
        log_err("alarm: не відкрити %s", path.c_str());
        return;  // stays dirty: the next turn tries again
    }
    e->journal_dirty = false;
}

static bool has_undelivered(const std::vector<alarm_jline> &lines) {
    for (const alarm_jline &l : lines)
        if (l.is_record && !l.rec.delivered_ts[0]) return true;
    return false;
}

static void load_day(alarm_engine *e, int ymd) {
    e->day = ymd;
    e->journal.clear();
    e->n_records = 0;
    e->journal_dirty = false;
    e->full_logged = false;
    e->next_id = (long long)ymd * ALARM_ID_DAY + 1;
    std::string path = alarm_journal_path(e->paths.dir, ymd);
    if (zq_read_file(path.c_str(), &e->scratch) == 0) alarm_journal_parse(e->scratch, &e->journal);
    for (alarm_jline &l : e->journal) {
        if (!l.is_record) continue;
        e->n_records++;
        l.rec.version = ++e->version_seq;
        if (alarm_id_ymd(l.rec.id) == ymd && l.rec.id >= e->next_id) e->next_id = l.rec.id + 1;
    }
    e->journal.reserve(ALARM_JOURNAL_MAX);
    log_msg("alarm: журнал %s — %d записів", alarm_day_text(ymd).c_str(), (int)e->n_records);
}

static void check_day_locked(alarm_engine *e, int64_t now_ms) {
    int ymd = alarm_local_ymd(now_ms);
    if (!ymd || ymd == e->day) return;
    if (e->day) {
        write_journal(e);
        if (has_undelivered(e->journal)) e->pending_days.insert(e->day);
    }
    load_day(e, ymd);
}

void alarm_engine_check_day(alarm_engine *e, int64_t now_ms) {
    std::lock_guard<std::mutex> lk(e->mu);
    check_day_locked(e, now_ms);
}

static alarm_record *find_record(alarm_engine *e, long long id) {
    for (size_t i = e->journal.size(); i-- > 0;)
        if (e->journal[i].is_record && e->journal[i].rec.id == id) return &e->journal[i].rec;
    return nullptr;
}

void alarm_engine_flush(alarm_engine *e) {
    std::lock_guard<std::mutex> lk(e->mu);
    write_journal(e);
}

// ---------------------------------------------------------------- states

static void raise_event(alarm_engine *e, alarm_event *ev, int64_t now_ms) {
    ev->active = true;
    ev->since_ms = now_ms;
    ev->journal_id = 0;
    if (e->n_records >= ALARM_JOURNAL_MAX) {
        if (!e->full_logged) log_err("alarm: журнал переповнений");
        e->full_logged = true;
        return;
    }
    e->journal.emplace_back();
    alarm_jline &l = e->journal.back();
    l.is_record = true;
    alarm_record &r = l.rec;
    r.id = e->next_id++;
    alarm_local_iso(now_ms, true, r.ts, sizeof r.ts);
    r.ts_ms = now_ms;
    r.event_id = ev->id;
    zq_copy_cut(r.desc, sizeof r.desc, ev->desc);
    alarm_event_expr_text(*ev, r.expr, sizeof r.expr);
    alarm_event_params(*ev, r.params, sizeof r.params);
    zq_copy_cut(r.cond, sizeof r.cond, alarm_cond_name(ev->cond));
    r.lvl = ev->lvl;
    r.station = ev->station;
    r.version = ++e->version_seq;
    e->n_records++;
    e->journal_dirty = true;
    ev->journal_id = r.id;
    log_msg("alarm RAISE id=%lld [%d] %s", r.id, ev->lvl, ev->desc);
}

// Closes the journal record of an alarm that ended (in memory or in its
// day's file).
static void clear_record(alarm_engine *e, long long jid, int lvl, const char *desc,
                         int64_t now_ms) {
    if (jid <= 0) return;
    char now[32];
    alarm_local_iso(now_ms, true, now, sizeof now);
    int ymd = alarm_id_ymd(jid);
    if (ymd == e->day) {
        alarm_record *r = find_record(e, jid);
        if (r && !r->clear_ts[0]) {
            zq_copy_cut(r->clear_ts, sizeof r->clear_ts, now);
            r->delivered_ts[0] = 0;
            r->version = ++e->version_seq;
            e->journal_dirty = true;
            log_msg("alarm CLEAR id=%lld [%d] %s", jid, lvl, desc);
        }
        return;
    }
    bool changed = false;
    if (alarm_patch_day(e->paths.dir, jid, now, nullptr, nullptr, &changed) == 1) {
        log_msg("alarm CLEAR (cross-day) id=%lld [%d] %s", jid, lvl, desc);
        if (changed) e->pending_days.insert(ymd);
    }
}

static void clear_event(alarm_engine *e, alarm_event *ev, int64_t now_ms) {
    long long jid = ev->journal_id;
    ev->active = false;
    ev->since_ms = 0;
    ev->journal_id = 0;
    clear_record(e, jid, ev->lvl, ev->desc, now_ms);
}

static void append_esc(std::string *out, const char *s) {
    out->append(json_escape_str(s));
}

void alarm_engine_active_text(const alarm_engine *e, int64_t now_ms, std::string *out) {
    char ts[32], since[32], b[160];
    alarm_local_iso(now_ms, true, ts, sizeof ts);
    out->assign("{\"ts\":\"");
    out->append(ts);
    out->append("\",\"active\":[");
    bool first = true;
    for (const alarm_event &ev : e->cfg.events) {
        if (!ev.active) continue;
        snprintf(b, sizeof b, "%s{\"id\":%lld,\"journal_id\":%lld,\"desc\":\"", first ? "" : ",",
                 ev.id, ev.journal_id);
        out->append(b);
        append_esc(out, ev.desc);
        out->append("\",\"expr\":\"");
        alarm_event_expr_text(ev, b, sizeof b);
        append_esc(out, b);
        out->append("\",\"params\":");
        alarm_event_params(ev, b, sizeof b);
        out->append(b);
        alarm_local_iso(ev.since_ms, false, since, sizeof since);
        snprintf(b, sizeof b, ",\"lvl\":%d,\"station\":%d,\"since\":\"", ev.lvl, ev.station);
        out->append(b);
        out->append(since);
        out->append("\"}");
        first = false;
    }
    out->append("]}");
}

static void write_active(alarm_engine *e, int64_t now_ms) {
    alarm_engine_active_text(e, now_ms, &e->active_text);
    if (atomic_file_write(e->paths.active, e->active_text) != 0)
        log_err("alarm: не відкрити %s", e->paths.active.c_str());
}

// ---------------------------------------------------------------- definitions

int alarm_engine_load_defs(alarm_engine *e, alarm_config *out) {
    const alarm_paths &p = e->paths;
    if (exists(p.json)) {
        if (alarm_config_load(out, p.json.c_str()) == 0) return 0;
        // An engineer's file that does not parse is never overwritten.
        log_err("alarm: не завантажити %s", p.json.c_str());
        return -1;
    }
    if (!exists(p.xml)) {
        alarm_config_defaults(out);
        return -1;
    }
    if (alarm_import_xml(p.xml.c_str(), p.json.c_str()) == 0 &&
        alarm_config_load(out, p.json.c_str()) == 0) {
        log_msg("alarm: імпортовано %s → %s", p.xml.c_str(), p.json.c_str());
        return 0;
    }
    log_err("alarm: не завантажити %s", p.xml.c_str());
    return -1;
}

static void recompute_period(alarm_engine *e) {
    int p = e->takt_override_ms > 0 ? e->takt_override_ms : e->cfg.takt_ms;
    e->period_ms = p < ALARM_TAKT_MIN_MS ? ALARM_TAKT_MIN_MS : p;
}

static void log_defs(const alarm_engine *e) {
    log_msg("alarm: %d подій, %d станцій, takt=%d мс", (int)e->cfg.events.size(),
            (int)e->cfg.stations.size(), e->period_ms);
}

// Index of the first event with this id not yet taken; events that share
// an id are matched by occurrence.
static int match_event(const alarm_config &cfg, std::vector<bool> *taken, long long id) {
    for (size_t i = 0; i < cfg.events.size(); i++)
        if (!(*taken)[i] && cfg.events[i].id == id) {
            (*taken)[i] = true;
            return (int)i;
        }
    return -1;
}

void alarm_engine_start(alarm_engine *e, const std::string &dir, int takt_override_ms,
                        int64_t now_ms) {
    std::lock_guard<std::mutex> lk(e->mu);
    alarm_paths_init(&e->paths, dir);
    e->takt_override_ms = takt_override_ms;
    if (alarm_engine_load_defs(e, &e->cfg) != 0) alarm_config_defaults(&e->cfg);
    recompute_period(e);
    log_defs(e);
    check_day_locked(e, now_ms);

    // Alarms active at the last stop keep their records; those whose event
    // is gone (or no longer evaluated) are closed now.
    std::vector<bool> taken(e->cfg.events.size(), false);
    std::vector<alarm_active_entry> act;
    if (zq_read_file(e->paths.active.c_str(), &e->scratch) == 0 &&
        alarm_active_parse(e->scratch, &act) == 0) {
        for (const alarm_active_entry &a : act) {
            int i = match_event(e->cfg, &taken, a.event_id);
            if (i >= 0 && e->cfg.events[i].valid) {
                alarm_event &ev = e->cfg.events[i];
                ev.active = true;
                ev.journal_id = a.journal_id;
                ev.since_ms = alarm_parse_local_iso(a.since);
                if (!ev.since_ms) ev.since_ms = now_ms;
            } else {
                clear_record(e, a.journal_id, i >= 0 ? e->cfg.events[i].lvl : 0,
                             i >= 0 ? e->cfg.events[i].desc : "", now_ms);
            }
        }
    }
    // A record raised just before a stop that came before the active file
    // was written: its event takes it over instead of raising a second one.
    for (const alarm_jline &l : e->journal) {
        if (!l.is_record || l.rec.clear_ts[0]) continue;
        bool owned = false;
        for (const alarm_event &ev : e->cfg.events)
            if (ev.active && ev.journal_id == l.rec.id) owned = true;
        if (owned) continue;
        int i = match_event(e->cfg, &taken, l.rec.event_id);
        if (i < 0 || !e->cfg.events[i].valid) continue;
        alarm_event &ev = e->cfg.events[i];
        ev.active = true;
        ev.journal_id = l.rec.id;
        ev.since_ms = l.rec.ts_ms ? l.rec.ts_ms : now_ms;
    }
    write_journal(e);
    write_active(e, now_ms);
}

int alarm_engine_reload(alarm_engine *e, int64_t now_ms) {
    std::lock_guard<std::mutex> lk(e->mu);
    const alarm_paths &p = e->paths;
    if (exists(p.import)) {
        alarm_config probe;
        if (alarm_config_load(&probe, p.import.c_str()) != 0) {
            log_err("alarm: не завантажити %s", p.import.c_str());
        } else if (rename(p.import.c_str(), p.json.c_str()) == 0) {
            log_msg("alarm: застосовано %s", p.import.c_str());
        } else {
            log_err("alarm: не відкрити %s", p.import.c_str());
        }
    }
    alarm_config fresh;
    if (alarm_engine_load_defs(e, &fresh) != 0) {
        log_defs(e);
        return 0;  // the last good definitions stay in force
    }
    check_day_locked(e, now_ms);
    std::vector<bool> taken(fresh.events.size(), false);
    int cleared = 0;
    for (alarm_event &old : e->cfg.events) {
        int i = match_event(fresh, &taken, old.id);
        if (!old.active) continue;
        if (i >= 0 && fresh.events[i].valid) {
            fresh.events[i].active = true;
            fresh.events[i].since_ms = old.since_ms;
            fresh.events[i].journal_id = old.journal_id;
        } else {
            clear_event(e, &old, now_ms);
            cleared++;
        }
    }
    e->cfg = std::move(fresh);
    recompute_period(e);
    log_defs(e);
    write_journal(e);
    if (cleared) write_active(e, now_ms);
    return cleared;
}

// ---------------------------------------------------------------- acks

int alarm_engine_ack(alarm_engine *e, const std::vector<alarm_ack_req> &reqs, int64_t now_ms) {
    std::lock_guard<std::mutex> lk(e->mu);
    check_day_locked(e, now_ms);
    char now[32];
    alarm_local_iso(now_ms, true, now, sizeof now);
    int changed = 0;
    for (const alarm_ack_req &q : reqs) {
        int ymd = alarm_id_ymd(q.id);
        if (!ymd) continue;
        if (ymd == e->day) {
            alarm_record *r = find_record(e, q.id);
            if (!r || r->ack_ts[0]) continue;
            zq_copy_cut(r->ack_ts, sizeof r->ack_ts, now);
            zq_copy_cut(r->ack_ip, sizeof r->ack_ip, q.ip);
            r->delivered_ts[0] = 0;
            r->version = ++e->version_seq;
            e->journal_dirty = true;
            changed++;
            log_msg("alarm ACK id=%lld ip=%s", q.id, q.ip);
            continue;
        }
        bool ch = false;
        if (alarm_patch_day(e->paths.dir, q.id, nullptr, now, q.ip, &ch) == 1) {
            log_msg("alarm ACK (cross-day) id=%lld ip=%s", q.id, q.ip);
            if (ch) {
                e->pending_days.insert(ymd);
                changed++;
            }
        }
    }
    write_journal(e);
    return changed;
}

// ---------------------------------------------------------------- evaluation

static bool raises(int cond, double l, double r, double delta) {
    switch (cond) {
        case ALARM_GT:
            return l > r;
        case ALARM_GTE:
            return l >= r;
        case ALARM_LT:
            return l < r;
        case ALARM_LTE:
            return l <= r;
        case ALARM_EQU:
            return fabs(l - r) <= delta;
        case ALARM_NEQ:
            return fabs(l - r) > delta;
    }
    return false;
}

static bool stays(int cond, double l, double r, double delta) {
    switch (cond) {
        case ALARM_GT:
            return l > r - delta;
        case ALARM_GTE:
            return l >= r - delta;
        case ALARM_LT:
            return l < r + delta;
        case ALARM_LTE:
            return l <= r + delta;
        case ALARM_EQU:
            return fabs(l - r) <= delta;
        case ALARM_NEQ:
            return fabs(l - r) > delta;
    }
    return false;
}

int alarm_engine_turn(alarm_engine *e, int64_t now_ms, alarm_value_fn fn, void *ctx) {
    std::lock_guard<std::mutex> lk(e->mu);
    check_day_locked(e, now_ms);
    int changes = 0;
    for (alarm_event &ev : e->cfg.events) {
        if (!ev.valid) continue;
        int bad1 = 0, bad2 = 0;
        double l = alarm_expr_eval(&ev.expr1, fn, ctx, &bad1);
        double r = alarm_expr_eval(&ev.expr2, fn, ctx, &bad2);
        if (ev.check_quality && (bad1 || bad2)) {
            if (ev.active) {
                clear_event(e, &ev, now_ms);
                changes++;
            }
            continue;
        }
        if (ev.abs) {
            l = fabs(l);
            r = fabs(r);
        }
        if (!ev.active && raises(ev.cond, l, r, ev.delta)) {
            raise_event(e, &ev, now_ms);
            changes++;
        } else if (ev.active && !stays(ev.cond, l, r, ev.delta)) {
            clear_event(e, &ev, now_ms);
            changes++;
        }
    }
    // Journal first: whoever sees an alarm in the active file finds its record.
    write_journal(e);
    if (changes) write_active(e, now_ms);
    return changes;
}

// ---------------------------------------------------------------- push

void alarm_engine_push_body(alarm_engine *e, const char *src, const char *cfg_crc_known,
                            alarm_push_batch *out) {
    out->items.clear();
    std::string &b = out->body;
    std::string cfg;
    bool have_cfg = zq_read_file(e->paths.json.c_str(), &cfg) == 0;
    std::lock_guard<std::mutex> lk(e->mu);
    b.assign("{\"src\":\"");
    append_esc(&b, src);
    b.append("\",\"active\":");
    std::string active = e->active_text;
    if (active.empty() && zq_read_file(e->paths.active.c_str(), &active) != 0) active.clear();
    b.append(active.empty() ? "{\"ts\":\"\",\"active\":[]}" : active);
    b.append(",\"events\":[");
    auto add = [&](int ymd, const alarm_record &r) {
        if (out->items.size() >= ALARM_JOURNAL_MAX) return;
        if (!out->items.empty()) b.push_back(',');
        alarm_record_append(&b, r);
        out->items.push_back({ymd, r.id, r.version, r.clear_ts, r.ack_ts});
    };
    for (const alarm_jline &l : e->journal)
        if (l.is_record && !l.rec.delivered_ts[0]) add(e->day, l.rec);
    std::vector<alarm_jline> lines;
    for (int ymd : e->pending_days) {
        if (ymd == e->day) continue;
        std::string text;
        if (zq_read_file(alarm_journal_path(e->paths.dir, ymd).c_str(), &text) != 0) continue;
        alarm_journal_parse(text, &lines);
        for (const alarm_jline &l : lines)
            if (l.is_record && !l.rec.delivered_ts[0]) add(ymd, l.rec);
    }
    char crc[9];
    crc32_hex(cfg.data(), have_cfg ? cfg.size() : 0, crc);
    b.append("],\"cfg_crc\":\"");
    b.append(crc);
    b.append("\"");
    if (strcmp(crc, cfg_crc_known ? cfg_crc_known : "") != 0) {
        b.append(",\"cfg\":\"");
        append_esc(&b, have_cfg ? cfg.c_str() : "");
        b.append("\"");
    }
    b.append("}");
}

void alarm_engine_push_done(alarm_engine *e, const alarm_push_batch &batch, int64_t now_ms) {
    char now[32];
    alarm_local_iso(now_ms, true, now, sizeof now);
    std::lock_guard<std::mutex> lk(e->mu);
    std::set<int> days;
    for (const alarm_push_item &it : batch.items) {
        if (it.ymd == e->day) {
            alarm_record *r = find_record(e, it.id);
            if (r && r->version == it.version && !r->delivered_ts[0]) {
                zq_copy_cut(r->delivered_ts, sizeof r->delivered_ts, now);
                e->journal_dirty = true;
            }
        } else {
            days.insert(it.ymd);
        }
    }
    write_journal(e);
    // Older days: a record counts as unchanged while its clear and
    // acknowledgement are as they were when the body was built.
    std::map<std::pair<int, long long>, const alarm_push_item *> carried;
    for (const alarm_push_item &it : batch.items)
        if (it.ymd != e->day) carried[{it.ymd, it.id}] = &it;
    std::vector<alarm_jline> lines;
    for (int ymd : days) {
        std::string path = alarm_journal_path(e->paths.dir, ymd), text;
        if (zq_read_file(path.c_str(), &text) != 0) continue;
        alarm_journal_parse(text, &lines);
        bool changed = false;
        for (alarm_jline &l : lines) {
            if (!l.is_record || l.rec.delivered_ts[0]) continue;
            auto it = carried.find({ymd, l.rec.id});
            if (it != carried.end() && it->second->clear_ts == l.rec.clear_ts &&
                it->second->ack_ts == l.rec.ack_ts) {
                zq_copy_cut(l.rec.delivered_ts, sizeof l.rec.delivered_ts, now);
                changed = true;
            }
        }
        if (changed) {
            alarm_journal_format(lines, &text);
            if (atomic_file_write(path, text) != 0) log_err("alarm: не відкрити %s", path.c_str());
        }
        if (!has_undelivered(lines)) e->pending_days.erase(ymd);
    }
}
