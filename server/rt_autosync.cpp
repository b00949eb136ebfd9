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

std::string autosync_rewrite(const std::string &text, const std::vector<std::string> &items,
                             int threshold) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        lines.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    auto indent_of = [](const std::string &l) { return (int)l.find_first_not_of(' '); };
    auto is_blank = [](const std::string &l) {
        size_t b = l.find_first_not_of(" \t\r");
        return b == std::string::npos || l[b] == '#';
    };
    auto key_is = [&](const std::string &l, const char *key) {
        int in = indent_of(l);
        if (in < 0) return false;
        size_t kl = strlen(key);
        return l.compare((size_t)in, kl, key) == 0 && (l.size() == in + kl || l[in + kl] == ' ' ||
                                                       l[in + kl] == '\r' || l[in + kl] == '#');
    };
    auto item_lines = [&](int ind) {
        std::vector<std::string> v;
        for (auto &p : items) {
            char b[128];
            snprintf(b, sizeof b, "%*s- \"%s\"", ind, "", json_escape_str(p).c_str());
            v.push_back(b);
        }
        return v;
    };
    char thr[256];
    auto thr_line = [&](int ind) {
        snprintf(thr, sizeof thr,
                 "%*sautosync_threshold_ms: %d   # |розбіжність| ПЛК/машина, вище якої спрацьовує "
                 "автосинхронізація (мс)",
                 ind, "", threshold);
        return std::string(thr);
    };
    // logix: section bounds.
    int lx = -1;
    for (size_t i = 0; i < lines.size(); i++)
        if (indent_of(lines[i]) == 0 && key_is(lines[i], "logix:")) lx = (int)i;
    if (lx < 0) {
        lines.push_back("logix:");
        lx = (int)lines.size() - 1;
    }
    size_t lend = lines.size();
    for (size_t i = lx + 1; i < lines.size(); i++)
        if (!is_blank(lines[i]) && indent_of(lines[i]) == 0) {
            lend = i;
            break;
        }
    int child = 2;
    for (size_t i = lx + 1; i < lend; i++)
        if (!is_blank(lines[i])) {
            child = indent_of(lines[i]);
            break;
        }
    int tm = -1;
    for (size_t i = lx + 1; i < lend; i++)
        if (indent_of(lines[i]) == child && key_is(lines[i], "time:")) tm = (int)i;
    std::vector<std::string> ins;
    if (tm < 0) {
        ins.push_back(std::string(child, ' ') + "time:");
        ins.push_back(std::string(child + 2, ' ') + "autosync:");
        for (auto &l : item_lines(child + 4))
            ins.push_back(l);
        ins.push_back(thr_line(child + 2));
        lines.insert(lines.begin() + lx + 1, ins.begin(), ins.end());
    } else {
        size_t tend = lend;
        for (size_t i = tm + 1; i < lend; i++)
            if (!is_blank(lines[i]) && indent_of(lines[i]) <= child) {
                tend = i;
                break;
            }
        int as = -1, tchild = child + 2;
        bool has_thr = false;
        for (size_t i = tm + 1; i < tend; i++) {
            if (is_blank(lines[i])) continue;
            if (key_is(lines[i], "autosync:")) {
                as = (int)i;
                tchild = indent_of(lines[i]);
            }
            if (key_is(lines[i], "autosync_threshold_ms:")) has_thr = true;
        }
        if (as >= 0) {
            size_t e = as + 1;
            while (e < tend && (is_blank(lines[e]) || indent_of(lines[e]) > tchild ||
                                (indent_of(lines[e]) == tchild && lines[e][tchild] == '-')))
                e++;
            // Keep comments and blank lines that trail the list.
            while (e > (size_t)as + 1 && is_blank(lines[e - 1]))
                e--;
            lines.erase(lines.begin() + as + 1, lines.begin() + e);
            lines[as] = std::string(tchild, ' ') + "autosync:";
            std::vector<std::string> il = item_lines(tchild + 2);
            lines.insert(lines.begin() + as + 1, il.begin(), il.end());
        } else {
            for (size_t i = tm + 1; i < tend; i++)
                if (!is_blank(lines[i])) {
                    tchild = indent_of(lines[i]);
                    break;
                }
            ins.push_back(std::string(tchild, ' ') + "autosync:");
            for (auto &l : item_lines(tchild + 2))
                ins.push_back(l);
            if (!has_thr) ins.push_back(thr_line(tchild));
            lines.insert(lines.begin() + tm + 1, ins.begin(), ins.end());
        }
    }
    std::string out;
    for (auto &l : lines)
        out += l + "\n";
    return out;
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
        *text = autosync_rewrite(*text, items, st->cfg.autosync_threshold_ms);
        return (int)YAML_EDIT_OK;
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
        int thr = st->cfg.autosync_threshold_ms > 0 ? st->cfg.autosync_threshold_ms : 2000;
        if (std::llabs(diff) > thr) {
            log_msg("autosync ПЛК %s: розбіжність %lld мс → синхронізую", path.c_str(), diff);
            rt_plc_clock(st, k, true);
        }
    }
}
