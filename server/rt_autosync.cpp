// The autosync list: controllers whose clock the server keeps in step
// with the host. Kept in config.yaml under logix/time/autosync.

#include <errno.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/json.h"
#include "common/log.h"
#include "common/parse_util.h"
#include "common/yaml.h"
#include "common/yaml_edit.h"
#include "server/rt_plc.h"
#include "server/srv_state.h"

bool rt_autosync_enabled(srv_state *st, const char *path) {
    std::lock_guard<std::mutex> lk(st->autosync.mu);
    for (auto &e : st->autosync.list)
        if (strcmp(e.path, path) == 0) return e.enabled;
    return false;
}

// Dotted IPv4 address: four numbers 0..255 of one to three digits.
static bool is_ipv4(const char *s, size_t n) {
    int parts = 0;
    size_t i = 0;
    while (i < n) {
        size_t b = i;
        int v = 0;
        while (i < n && i - b < 3 && s[i] >= '0' && s[i] <= '9')
            v = v * 10 + (s[i++] - '0');
        if (i == b || v > 255 || ++parts > 4) return false;
        if (i == n) break;
        if (s[i++] != '.' || i == n) return false;
    }
    return parts == 4;
}

std::string autosync_entry_path(const char *text) {
    static const char word[] = "backplane";
    const char *p = strstr(text, word);
    if (!p || strchr(text, '\\')) return text;
    const char *slot = p + sizeof word - 1;
    if (!*slot || strspn(slot, "0123456789") != strlen(slot)) return text;
    if (!is_ipv4(text, (size_t)(p - text))) return text;
    return std::string(text, (size_t)(p - text)) + "\\backplane\\" + slot;
}

void rt_autosync_load(srv_state *st) {
    srv_autosync &a = st->autosync;
    std::lock_guard<std::mutex> lk(a.mu);
    a.list.clear();
    json_ptr root(yaml_parse_file(st->cfg.yaml_path));
    const json_node *list = json_get(json_get(json_get(root.get(), "logix"), "time"), "autosync");
    if (!list || list->type != JSON_ARRAY) return;
    for (const json_node *c = list->child; c && a.list.size() < RT_AUTOSYNC_MAX; c = c->next) {
        if (c->type != JSON_STRING || !c->string[0]) continue;
        rt_autosync_entry e{};
        snprintf(e.path, sizeof e.path, "%s", autosync_entry_path(c->string).c_str());
        e.enabled = true;
        a.list.push_back(e);
    }
}

int autosync_rewrite(std::string *text, const std::vector<std::string> &items, int threshold) {
    static const char *const names[] = {"logix", "time"};
    const yaml_edit_path where{names, 2};
    json_ptr root(yaml_parse(text->c_str()));
    const json_node *tm = json_get(json_get(root.get(), "logix"), "time");
    bool add_threshold = !json_get(tm, "autosync") && !json_get(tm, "autosync_threshold_ms");
    std::vector<std::string> lines;
    for (const std::string &p : items)
        lines.push_back("- \"" + json_escape_str(p) + "\"");
    std::string out = *text;
    int rc = yaml_edit_set_block(&out, where, "autosync", lines);
    // The threshold is offered with the list the first time, so an engineer
    // finds the setting beside it.
    if (rc == YAML_EDIT_OK && add_threshold)
        rc = yaml_edit_set_scalar(&out, where, "autosync_threshold_ms", std::to_string(threshold),
                                  "|розбіжність| ПЛК/машина, вище якої спрацьовує "
                                  "автосинхронізація (мс)");
    if (rc == YAML_EDIT_OK) *text = out;
    return rc;
}

// Saves the list under the process-wide lock of config.yaml edits, so that
// other editors of the file never lose each other's change.
static int autosync_save(srv_state *st) {
    static const char *const names[] = {"logix", "time"};
    return yaml_edit_file(st->cfg.yaml_path, yaml_edit_path{names, 2}, [&](std::string *text) {
        std::vector<std::string> items;
        {
            std::lock_guard<std::mutex> lk(st->autosync.mu);
            for (auto &e : st->autosync.list)
                if (e.enabled) items.push_back(e.path);
        }
        return autosync_rewrite(text, items, st->live.autosync_threshold_ms.load());
    });
}

void rt_autosync_set(srv_state *st, const std::string &path, bool on) {
    {
        srv_autosync &a = st->autosync;
        std::lock_guard<std::mutex> lk(a.mu);
        bool found = false;
        for (auto &e : a.list)
            if (path == e.path) {
                e.enabled = on;
                found = true;
            }
        if (!found && a.list.size() < RT_AUTOSYNC_MAX) {
            rt_autosync_entry e{};
            snprintf(e.path, sizeof e.path, "%s", path.c_str());
            e.enabled = on;
            a.list.push_back(e);
        }
    }
    int rc = autosync_save(st);
    if (rc != YAML_EDIT_OK)
        log_err("autosync: can't rewrite %s: %s", st->cfg.yaml_path,
                rc == YAML_EDIT_UNREADABLE || rc == YAML_EDIT_WRITE ? strerror(errno)
                                                                    : yaml_edit_strerror(rc));
}

void rt_autosync_tick(srv_state *st) {
    const ShmHandle *h = srv_db_get(st);
    if (!h) return;
    srv_autosync &a = st->autosync;
    time_t now = time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    bool new_day = a.yday >= 0 && tmv.tm_yday != a.yday;
    a.yday = tmv.tm_yday;
    uint32_t n = std::min<uint32_t>(shm_plc_count(h), RT_AUTOSYNC_MAX);
    for (uint32_t k = 0; k < n; k++) {
        const ShmPlcBlock *b = shm_plc(h, k);
        rt_autosync_plc &s = a.plc[k];
        if (!b->connected) {
            s.was_connected = false;
            continue;
        }
        bool just = !s.was_connected;
        s.was_connected = true;
        std::string path = rt_plc_path(b);
        if (!rt_autosync_enabled(st, path.c_str())) continue;
        bool check = new_day;
        if (just && now - s.last_connect_check >= 300) {
            check = true;
            s.last_connect_check = now;
        }
        if (!check) continue;
        rt_clock r = rt_plc_clock(st, k, false);
        if (r.rc != 0) continue;
        long long diff = (r.plc_us - r.host_us) / 1000;
        int thr = st->live.autosync_threshold_ms.load();
        if (thr <= 0) thr = 2000;
        if (std::llabs(diff) > thr) {
            log_msg("autosync ПЛК %s: розбіжність %lld мс → синхронізую", path.c_str(), diff);
            rt_plc_clock(st, k, true);
        }
    }
}
