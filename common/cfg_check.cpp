#include "common/cfg_check.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/json.h"
#include "common/yaml.h"

namespace {

constexpr int SLOTS = 32768;
constexpr int MAX_SECTIONS = 32;
constexpr int MAX_GROUPS = 64;
constexpr size_t LINE_MAX_BYTES = 1023;

struct section_keys {
    const char *name;
    const char *const *keys;
};

const char *const K_SCADA[] = {"port",         "poll_ms",    "wwwdir",         "sys_wwwdir",
                               "eng_password", "logcontrol", "logcontrolpath", "ksp_projdir",
                               "ini_file",     nullptr};
const char *const K_TRENDS[] = {
    "mainpath_linux", "altpath_linux",   "altpath2_linux",  "autodelsec",
    "autodelmin",     "autodelhour",     "mainpath_format", "format",
    "altpath_format", "altpath2_format", "timesec",         "push",
    nullptr};
const char *const K_LOGIX[] = {"shm_name", "log", "time", "groups", "analogs", "discrets", nullptr};
const char *const K_AWP[] = {"trust", "logcontrol", "logcontrolpath", nullptr};
const char *const K_ALARM[] = {"dir", "takt_ms", "central_url", nullptr};
const char *const K_CALC[] = {"dir",          "takt_ms",        "stale_ms",
                              "shift_anchor", "shift_period_h", "shift_order",
                              "schedule",     "items",          nullptr};
const char *const K_MQTT[] = {"broker",  "client_id", "user",  "pass",    "keepalive_s",  "prefix",
                              "takt_ms", "dir",       "items", "ca_file", "tls_insecure", nullptr};
const char *const K_OPCUA[] = {"takt_ms", "subscribe", "endpoint", "security", "dir",  "trust_all",
                               "user",    "pass",      "servers",  "items",    nullptr};
const char *const K_NETWORK[] = {"mounts", "shares", nullptr};
const char *const K_BACKUP[] = {"enabled", "dir", "schedule", "keep", nullptr};
const char *const K_REPLAY[] = {"src", "takt_ms", "stale_s", nullptr};
const char *const K_UPDATE[] = {"url", nullptr};
const char *const K_LOG[] = {"logdir_linux", "logname", "loginit", "logerror", "logwrite", nullptr};
const char *const K_TIME[] = {"tz_offset_min", "dst", "autosync", "autosync_threshold_ms", nullptr};
const char *const K_GROUP[] = {"id", "ipaddr", "connpath", "takt", "conn_size", "items", nullptr};
const char *const PATH_KEYS[] = {"wwwdir",         "sys_wwwdir",    "logcontrolpath", "ksp_projdir",
                                 "mainpath_linux", "altpath_linux", "altpath2_linux", "dir",
                                 "logdir_linux",   nullptr};
const char *const TYPES[] = {"bool", "sint",  "int",   "dint", "lint",  "usint",
                             "uint", "udint", "ulint", "real", "lreal", nullptr};

const section_keys SECTIONS[] = {
    {"scada", K_SCADA},     {"trends", K_TRENDS}, {"logix", K_LOGIX},   {"awp_slot", K_AWP},
    {"alarm", K_ALARM},     {"calc", K_CALC},     {"mqtt", K_MQTT},     {"opcua", K_OPCUA},
    {"network", K_NETWORK}, {"backup", K_BACKUP}, {"replay", K_REPLAY}, {"update", K_UPDATE},
};

bool in_list(const char *const *list, const std::string &k) {
    for (; *list; list++)
        if (k == *list) return true;
    return false;
}

// Cut to at most max bytes without splitting a UTF-8 sequence.
std::string cut(const std::string &s, size_t max) {
    if (s.size() <= max) return s;
    size_t n = max;
    while (n > 0 && ((unsigned char)s[n] & 0xC0) == 0x80)
        n--;
    return s.substr(0, n);
}

bool is_int_text(const std::string &s, bool allow_sign, long long *out) {
    size_t i = 0;
    if (allow_sign && i < s.size() && (s[i] == '-' || s[i] == '+')) i++;
    if (i >= s.size()) return false;
    long long v = 0;
    for (size_t k = i; k < s.size(); k++) {
        if (s[k] < '0' || s[k] > '9') return false;
        if (v < 1000000000000LL) v = v * 10 + (s[k] - '0');
    }
    if (s[0] == '-') v = -v;
    if (out) *out = v;
    return true;
}

bool is_number_text(const std::string &s) {
    if (s.empty()) return false;
    char *end = nullptr;
    strtod(s.c_str(), &end);
    return end && end != s.c_str() && *end == 0;
}

struct group_info {
    int line = 0;
    bool tainted = false;  // a tab line fell out of it: its keys are unknown
    int id_line = 0, ip_line = 0, takt_line = 0;
    bool has_id = false, id_num = false, has_ip = false, has_conn = false, has_takt = false;
    long long id = 0;
    std::string ip, takt;
    int items = 0;
};

struct checker {
    std::vector<cfg_issue> *out;
    std::vector<int> slot_a, slot_d;  // line that first mapped each index
    std::vector<std::string> seen_sections;
    std::vector<group_info> groups;

    void add(int line, int sev, const char *fmt, ...) __attribute__((format(printf, 4, 5))) {
        if (out->size() >= (size_t)CFG_CHECK_MAX_ISSUES) return;
        char buf[1024];
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(buf, sizeof buf, fmt, ap);
        va_end(ap);
        out->push_back({line, sev, cut(buf, CFG_CHECK_MSG_MAX)});
    }

    // Line state.
    std::string section;
    const section_keys *known = nullptr;
    int sec_indent = -1;  // indentation of the section's own keys
    std::string sub;      // current key at sec_indent
    int sub_level = -1;   // indentation of the keys inside `sub`
    int group_dash = -1;  // indentation of the "- " of logix.groups elements
    int group_key = -1;   // indentation of a group element's keys
    group_info *group = nullptr;
    // Item blocks: `items: |` (block) or `items:` followed by "- " lines.
    int items_mode = 0;  // 0 none, 1 block scalar, 2 list
    int items_indent = -1;

    void item_line(int ln, std::string s);
    void key_line(int ln, int indent, const std::string &key, const std::string &value);
    void value_checks(int ln, const std::string &key, const std::string &value);
    void line(int ln, std::string l);
    void group_pass();
    void parse_pass(const std::string &text);
};

void checker::item_line(int ln, std::string s) {
    if (group) group->items++;
    std::string shown = cut(s, 40);
    const char *sh = shown.c_str();
    char k = (char)(s.empty() ? 0 : s[0]);
    if (k == 'a') k = 'A';
    if (k == 'd') k = 'D';
    if ((k != 'A' && k != 'D') || s.size() < 2 || s[1] < '0' || s[1] > '9') {
        add(ln, CFG_ERROR,
            "item не починається з A<n>/D<n>: «%s» — рядок мовчки випав би з конфігурації", sh);
        return;
    }
    size_t p = 1;
    long long idx = 0;
    while (p < s.size() && s[p] >= '0' && s[p] <= '9') {
        if (idx <= SLOTS) idx = idx * 10 + (s[p] - '0');
        p++;
    }
    if (idx > SLOTS - 1) {
        add(ln, CFG_ERROR, "item «%s»: індекс %lld поза межами (0..%d)", sh, idx, SLOTS - 1);
        return;
    }
    if (idx == 0)
        add(ln, CFG_WARNING,
            "item «%s»: слот %c0 не архівується в тренди (rps/rpm/rph починаються з %c1)", sh, k,
            k);
    while (p < s.size() && s[p] == ' ')
        p++;
    if (p >= s.size() || s[p] != ',') {
        add(ln, CFG_ERROR, "item «%s»: формат A|D<n>,c|v,<тег> — нема першої коми", sh);
        return;
    }
    p++;
    while (p < s.size() && s[p] == ' ')
        p++;
    std::string mid;
    while (p < s.size() && mid.size() < 15 && isalnum((unsigned char)s[p]))
        mid += (char)tolower((unsigned char)s[p++]);
    while (p < s.size() && s[p] == ' ')
        p++;
    if (p >= s.size() || s[p] != ',') {
        add(ln, CFG_ERROR, "item «%s»: формат A|D<n>,<тип|c|v>,<тег> — нема другої коми", sh);
        return;
    }
    p++;
    while (p < s.size() && s[p] == ' ')
        p++;
    if (p >= s.size()) {
        add(ln, CFG_ERROR, "item «%s»: порожній тег після другої коми", sh);
        return;
    }
    if (mid != "c" && mid != "v") {
        if (!in_list(TYPES, mid)) {
            add(ln, CFG_WARNING,
                "item «%s»: середнє поле «%s» — не c/v і не тип "
                "(bool/sint/int/dint/lint/usint/uint/udint/ulint/real/lreal); calc візьме типове",
                sh, mid.c_str());
        } else {
            bool ok = k == 'D' ? (mid == "bool" || mid == "usint") : mid != "bool";
            if (!ok)
                add(ln, CFG_WARNING,
                    "item «%s»: тип «%s» несумісний зі слотом %c (%c → %s); calc візьме типове", sh,
                    mid.c_str(), k, k, k == 'D' ? "bool/usint" : "числові типи");
        }
    }
    std::vector<int> &tab = k == 'A' ? slot_a : slot_d;
    if (tab[(size_t)idx] != 0)
        add(ln, CFG_ERROR,
            "дубль індексу %c%lld — вже замаплений у рядку %d (один слот SHM — один писар)", k, idx,
            tab[(size_t)idx]);
    else
        tab[(size_t)idx] = ln;
}

void checker::value_checks(int ln, const std::string &key, const std::string &v) {
    std::string v20 = cut(v, 20), v30 = cut(v, 30), v40 = cut(v, 40);
    if (section == "scada" && key == "port") {
        long long p = 0;
        if (!is_int_text(v, true, &p) || p < 1 || p > 65535)
            add(ln, CFG_ERROR, "scada.port «%s» — має бути число 1..65535", v20.c_str());
    }
    if (key == "takt_ms" && !is_number_text(v))
        add(ln, CFG_ERROR, "%s.takt_ms «%s» — має бути число (мс)", section.c_str(), v20.c_str());
    if (section == "trends" && key.find("format") != std::string::npos) {
        // The alternate paths also take 0 (mirror off) and 3 (network mount).
        bool alt = key == "altpath_format" || key == "altpath2_format";
        bool ok = v == "1" || v == "2" || (alt && (v == "0" || v == "3"));
        if (!ok && alt)
            add(ln, CFG_ERROR, "trends.%s: допустимо лише 0, 1, 2 або 3", key.c_str());
        else if (!ok)
            add(ln, CFG_ERROR,
                "trends.%s: допустимо лише 1 (v1, сумісний зі старим Korvid) або 2 (v2.1)",
                key.c_str());
    }
    if (section == "logix" && key == "shm_name" &&
        (v.empty() || v[0] != '/' || v.find('/', 1) != std::string::npos))
        add(ln, CFG_ERROR, "logix.shm_name «%s» — має починатися з «/» і не містити інших слешів",
            v30.c_str());
    if (in_list(PATH_KEYS, key) && v.size() > 1 && v.back() == '/')
        add(ln, CFG_WARNING, "%s: шлях «%s» із хвостовим слешем — конвенція без слеша", key.c_str(),
            v40.c_str());
}

void checker::key_line(int ln, int indent, const std::string &key, const std::string &value) {
    // An items key opens an item block whatever module it belongs to.
    auto open_items = [&](int at) {
        if (value == "|" || value == "|-" || value == "|+") {
            items_mode = 1;
            items_indent = at;
        } else if (value.empty()) {
            items_mode = 2;
            items_indent = at;
        }
    };
    if (!known) return;
    if (sec_indent < 0) sec_indent = indent;
    if (indent <= sec_indent) {
        sub = key;
        sub_level = -1;
        group_dash = group_key = -1;
        group = nullptr;
        if (!in_list(known->keys, key))
            add(ln, CFG_WARNING, "невідомий ключ «%s» у секції «%s:» — модуль його не читає",
                key.c_str(), section.c_str());
        value_checks(ln, key, value);
        if (key == "items") open_items(indent);
        return;
    }
    if (section != "logix") {
        if (in_list(PATH_KEYS, key)) value_checks(ln, key, value);
        return;
    }
    if (sub == "log" || sub == "time") {
        if (sub_level < 0) sub_level = indent;
        if (indent != sub_level) return;
        if (!in_list(sub == "log" ? K_LOG : K_TIME, key))
            add(ln, CFG_WARNING, "невідомий ключ «%s» у logix.%s — модуль його не читає",
                key.c_str(), sub.c_str());
        value_checks(ln, key, value);
        return;
    }
    if (sub != "groups" || !group || indent != group_key) return;
    if (!in_list(K_GROUP, key))
        add(ln, CFG_WARNING, "невідомий ключ «%s» у групі logix — драйвер його не читає",
            key.c_str());
    if (key == "id") {
        group->has_id = true;
        group->id_line = ln;
        group->id_num = is_int_text(value, true, &group->id);
        if (!group->id_num)
            add(ln, CFG_ERROR, "група: id «%s» — має бути число", cut(value, 20).c_str());
    } else if (key == "ipaddr") {
        group->has_ip = true;
        group->ip = value;
        group->ip_line = ln;
    } else if (key == "connpath") {
        group->has_conn = true;
    } else if (key == "conn_size") {
        long long size = 0;
        if (!is_int_text(value, false, &size) || (size > 0 && size <= 500) || size > 4002)
            add(ln, CFG_ERROR,
                "conn_size «%s» — має бути 0 (звичайне з'єднання 500 байт) або 501..4002 байт "
                "(Large Forward Open)",
                cut(value, 20).c_str());
    } else if (key == "takt") {
        group->has_takt = true;
        group->takt = value;
        group->takt_line = ln;
    } else if (key == "items") {
        open_items(indent);
    }
}

// Splits "key: value # remark" into key and value; false when the text is
// no key line.
bool split_key(const std::string &s, std::string *key, std::string *value) {
    size_t i = 0;
    while (i < s.size() &&
           (isalnum((unsigned char)s[i]) || s[i] == '-' || s[i] == '.' || s[i] == '_'))
        i++;
    if (i == 0 || i >= s.size() || s[i] != ':') return false;
    if (i + 1 < s.size() && s[i + 1] != ' ') return false;
    *key = cut(s.substr(0, i), 95);
    size_t v = i + 1;
    while (v < s.size() && s[v] == ' ')
        v++;
    // The value ends at a '#' outside quotes that starts it or follows a blank.
    std::string val;
    char q = 0;
    for (size_t k = v; k < s.size(); k++) {
        char c = s[k];
        if (q) {
            if (c == '\\' && q == '"' && k + 1 < s.size()) {
                val += c;
                c = s[++k];
            } else if (c == q) {
                q = 0;
            }
        } else if (c == '"' || c == '\'') {
            q = c;
        } else if (c == '#' && (k == v || s[k - 1] == ' ')) {
            break;
        }
        val += c;
    }
    while (!val.empty() && (val.back() == ' ' || val.back() == '\t'))
        val.pop_back();
    if (val.size() >= 2 && val.front() == '"' && val.back() == '"')
        val = val.substr(1, val.size() - 2);
    *value = cut(val, 511);
    return true;
}

// Text of an item given in a block: inline comment removed, trimmed.
std::string block_item(const std::string &s) {
    std::string t;
    for (size_t k = 0; k < s.size(); k++) {
        if (s[k] == '#' && (k == 0 || s[k - 1] == ' ' || s[k - 1] == '\t')) break;
        t += s[k];
    }
    size_t b = t.find_first_not_of(" \t");
    if (b == std::string::npos) return std::string();
    size_t e = t.find_last_not_of(" \t\r");
    return t.substr(b, e - b + 1);
}

void checker::line(int ln, std::string l) {
    if (l.size() > LINE_MAX_BYTES) l = cut(l, LINE_MAX_BYTES);
    if (!l.empty() && l.back() == '\r') l.pop_back();
    size_t first = l.find_first_not_of(' ');
    if (first != std::string::npos && l[first] == '\t') {
        add(ln, CFG_ERROR,
            "рядок починається з ТАБУЛЯЦІЇ — YAML вимагає пробіли (рядок випав би зі своєї "
            "секції)");
        if (group) group->tainted = true;
        return;
    }
    if (first == std::string::npos) return;
    int indent = (int)first;
    std::string rest = l.substr(first);
    if (rest[0] == '#') return;  // an item block goes on past comments
    if (items_mode == 1) {
        if (indent > items_indent) {
            std::string it = block_item(rest);
            if (!it.empty()) item_line(ln, it);
            return;
        }
        items_mode = 0;
    } else if (items_mode == 2) {
        if (indent >= items_indent && (rest == "-" || rest.compare(0, 2, "- ") == 0)) {
            std::string it = rest.size() > 2 ? rest.substr(2) : std::string();
            size_t b = it.find_first_not_of(" \t");
            it = b == std::string::npos ? std::string() : it.substr(b);
            while (!it.empty() && (it.back() == ' ' || it.back() == '\t'))
                it.pop_back();
            if (it.size() >= 2 && it.front() == '"' && it.back() == '"')
                it = it.substr(1, it.size() - 2);
            if (!it.empty()) item_line(ln, it);
            return;
        }
        items_mode = 0;
    }
    std::string key, value;
    if (rest == "-" || rest.compare(0, 2, "- ") == 0) {
        // A list element; "- key: value" also opens a map element.
        if (indent == 0) return;
        bool in_groups = known && section == "logix" && sub == "groups" && indent > sec_indent;
        size_t k = 1;
        while (k < rest.size() && rest[k] == ' ')
            k++;
        if (in_groups && (group_dash < 0 || indent == group_dash)) {
            group_dash = indent;
            if (groups.size() < (size_t)MAX_GROUPS) {
                groups.push_back(group_info());
                group = &groups.back();
                group->line = ln;
            } else {
                group = nullptr;
            }
            group_key = indent + (int)k;
        }
        if (k < rest.size() && split_key(rest.substr(k), &key, &value))
            key_line(ln, indent + (int)k, key, value);
        return;
    }
    if (!split_key(rest, &key, &value)) {
        add(ln, CFG_ERROR,
            "рядок не схожий ні на «ключ: значення», ні на елемент списку «- », і не всередині "
            "|-блоку: «%s»",
            cut(rest, 40).c_str());
        return;
    }
    if (indent == 0) {
        section = key;
        known = nullptr;
        sec_indent = -1;
        sub.clear();
        group = nullptr;
        group_dash = group_key = -1;
        bool dup = false;
        for (const std::string &s : seen_sections)
            if (s == key) dup = true;
        if (dup)
            add(ln, CFG_ERROR, "повторна секція «%s:» — попередня буде мовчки перекрита",
                key.c_str());
        else if (seen_sections.size() < (size_t)MAX_SECTIONS)
            seen_sections.push_back(key);
        for (const section_keys &s : SECTIONS)
            if (key == s.name) known = &s;
        return;
    }
    key_line(ln, indent, key, value);
}

void checker::group_pass() {
    std::vector<const group_info *> with_id;
    for (const group_info &g : groups) {
        if (g.tainted) continue;
        if (!g.has_ip)
            add(g.line, CFG_ERROR,
                "група logix (рядок %d): нема ipaddr — драйвер не знатиме куди підключатись",
                g.line);
        else if (!cfg_ipv4_ok(g.ip.c_str()))
            add(g.ip_line, CFG_ERROR, "%s", cfg_ipv4_msg(g.ip.c_str()).c_str());
        if (!g.has_id) {
            add(g.line, CFG_WARNING, "група logix: нема id — буде порядковий");
        } else if (g.id_num) {
            for (const group_info *o : with_id)
                if (o->id == g.id) {
                    add(g.id_line, CFG_ERROR, "дубль id групи %lld (перша — рядок %d)", g.id,
                        o->id_line);
                    break;
                }
            with_id.push_back(&g);
        }
        if (!g.has_conn)
            add(g.line, CFG_WARNING, "група logix: нема connpath — типово backplane\\0");
        if (!g.has_takt)
            add(g.line, CFG_WARNING, "група logix: нема takt — типово 100 мс");
        else if (!cfg_takt_ok(g.takt.c_str()))
            add(g.takt_line, CFG_ERROR, "%s", cfg_takt_msg(g.takt.c_str()).c_str());
        if (g.items == 0)
            add(g.line, CFG_WARNING, "група logix: порожній items — група нічого не читає");
    }
}

void checker::parse_pass(const std::string &text) {
    yaml_dup dups[16];
    size_t n_dups = 0;
    json_ptr root(yaml_parse_dups(text.c_str(), dups, 16, &n_dups));
    if (!root || (root->type != JSON_OBJECT && root->child)) {
        add(0, CFG_ERROR, "YAML не парситься (структурна помилка)");
        return;
    }
    for (size_t i = 0; i < n_dups && i < 16; i++) {
        // Repeated sections were already reported as errors by line.
        if (dups[i].top_level) continue;
        add((int)dups[i].line, CFG_WARNING,
            "дубль ключа «%s» (вперше — рядок %u) — діє цей рядок, попередній ігнорується",
            dups[i].key, dups[i].first_line);
    }
    const json_node *push = json_get(json_get(root.get(), "trends"), "push");
    if (push && push->type == JSON_ARRAY) {
        int i = 0;
        for (const json_node *p = push->child; p; p = p->next, i++)
            if (!json_get(p, "url"))
                add(0, CFG_ERROR, "trends.push[%d]: нема url — призначення пушу без адреси", i);
    }
}

}  // namespace

bool cfg_ipv4_ok(const char *t) {
    int parts = 0;
    const char *p = t;
    for (;;) {
        int digits = 0, v = 0;
        while (*p >= '0' && *p <= '9' && digits < 4) {
            v = v * 10 + (*p - '0');
            p++;
            digits++;
        }
        if (digits == 0 || digits > 3 || v > 255) return false;
        parts++;
        if (*p == '.' && parts < 4) {
            p++;
            continue;
        }
        return parts == 4 && *p == 0;
    }
}

bool cfg_takt_ok(const char *t) {
    long long v = 0;
    return is_int_text(t, true, &v) && v >= 1;
}

std::string cfg_ipv4_msg(const char *t) {
    return "ipaddr «" + cut(t, 40) + "» — не IPv4-адреса (драйвер приймає лише N.N.N.N)";
}

std::string cfg_takt_msg(const char *t) {
    return "takt «" + cut(t, 20) + "» — має бути число мс > 0";
}

int cfg_check(const std::string &text, std::vector<cfg_issue> *out) {
    out->clear();
    try {
        checker c;
        c.out = out;
        c.slot_a.assign(SLOTS, 0);
        c.slot_d.assign(SLOTS, 0);
        c.groups.reserve(MAX_GROUPS);  // group pointers stay valid
        size_t pos = 0;
        int ln = 0;
        while (pos < text.size()) {
            size_t nl = text.find('\n', pos);
            if (nl == std::string::npos) nl = text.size();
            c.line(++ln, text.substr(pos, nl - pos));
            pos = nl + 1;
        }
        c.group_pass();
        c.parse_pass(text);
    } catch (const std::bad_alloc &) {
        out->clear();
        return -1;
    }
    return (int)out->size();
}

bool cfg_check_has_errors(const std::vector<cfg_issue> &issues) {
    for (const cfg_issue &i : issues)
        if (i.severity == CFG_ERROR) return true;
    return false;
}
