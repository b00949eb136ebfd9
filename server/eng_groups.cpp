// Saving one PLC polling group of config.yaml ("logix-group"): the
// group's own lines are changed in place (comments, quoting and layout of
// the rest of the file stay), under the configuration lock.

#include <errno.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/atomic_file.h"
#include "common/cfg_check.h"
#include "common/json.h"
#include "common/parse_util.h"
#include "common/yaml.h"
#include "common/yaml_edit.h"
#include "server/eng_core.h"
#include "server/eng_handlers.h"

namespace {

struct lines_doc {
    std::vector<std::string> lines;
    bool final_newline = true;
};

lines_doc split(const std::string &t) {
    lines_doc d;
    size_t pos = 0;
    while (pos < t.size()) {
        size_t nl = t.find('\n', pos);
        if (nl == std::string::npos) {
            d.lines.push_back(t.substr(pos));
            d.final_newline = false;
            break;
        }
        d.lines.push_back(t.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return d;
}

std::string join(const lines_doc &d) {
    std::string s;
    for (size_t i = 0; i < d.lines.size(); i++) {
        s += d.lines[i];
        if (i + 1 < d.lines.size() || d.final_newline) s += '\n';
    }
    return s;
}

int indent_of(const std::string &l) {
    size_t i = l.find_first_not_of(' ');
    return i == std::string::npos ? (int)l.size() : (int)i;
}

bool blank(const std::string &l) {
    size_t b = l.find_first_not_of(" \t\r");
    return b == std::string::npos || l[b] == '#';
}

// Column of `key:` on the line at `col`, or false.
bool key_at(const std::string &l, size_t col, const char *key) {
    size_t n = strlen(key);
    return l.compare(col, n, key) == 0 && l.size() > col + n && l[col + n] == ':' &&
           (l.size() == col + n + 1 || l[col + n + 1] == ' ' || l[col + n + 1] == '\r');
}

// " # remark" at the end of a key line (outside quotes), or "".
std::string remark_of(const std::string &l, size_t from) {
    char q = 0;
    for (size_t i = from; i < l.size(); i++) {
        char c = l[i];
        if (q) {
            if (c == '\\' && q == '"')
                i++;
            else if (c == q)
                q = 0;
        } else if (c == '"' || c == '\'') {
            q = c;
        } else if (c == '#' && i > 0 && l[i - 1] == ' ') {
            size_t b = i;
            while (b > from && l[b - 1] == ' ')
                b--;
            return l.substr(b);
        }
    }
    return "";
}

struct group_edit {
    const char *ipaddr = nullptr, *connpath = nullptr;
    bool has_takt = false;
    long long takt = 0;
};

// Applies the edit to group `id` of logix.groups; false when there is none.
bool edit_group(lines_doc *d, long long id, const group_edit &e) {
    std::vector<std::string> &L = d->lines;
    size_t logix = std::string::npos;
    for (size_t i = 0; i < L.size(); i++)
        if (!blank(L[i]) && indent_of(L[i]) == 0 && key_at(L[i], 0, "logix")) logix = i;
    if (logix == std::string::npos) return false;
    size_t end = L.size();
    for (size_t i = logix + 1; i < L.size(); i++)
        if (!blank(L[i]) && indent_of(L[i]) == 0) {
            end = i;
            break;
        }
    int child = -1;
    size_t groups = std::string::npos;
    for (size_t i = logix + 1; i < end; i++) {
        if (blank(L[i])) continue;
        if (child < 0) child = indent_of(L[i]);
        if (indent_of(L[i]) == child && key_at(L[i], (size_t)child, "groups")) groups = i;
    }
    if (groups == std::string::npos) return false;
    // Elements: "- " lines at the first one's indentation, up to the end of
    // the groups block (a list may stand at its key's own indentation).
    int dash = -1;
    std::vector<size_t> starts;
    size_t gend = end;
    for (size_t i = groups + 1; i < end; i++) {
        if (blank(L[i])) continue;
        int in = indent_of(L[i]);
        bool is_dash = L[i].compare((size_t)in, 2, "- ") == 0 || L[i].substr((size_t)in) == "-";
        if (in < child || (in == child && !is_dash)) {
            gend = i;
            break;
        }
        if (is_dash && (dash < 0 || in == dash)) {
            dash = in;
            starts.push_back(i);
        }
    }
    for (size_t k = 0; k < starts.size(); k++) {
        size_t b = starts[k], e2 = k + 1 < starts.size() ? starts[k + 1] : gend;
        size_t kcol = (size_t)dash + 1;
        while (kcol < L[b].size() && L[b][kcol] == ' ')
            kcol++;
        if (kcol == L[b].size()) kcol = (size_t)dash + 2;  // "-" alone: keys below
        auto find_key = [&](const char *key) -> size_t {
            for (size_t i = b; i < e2; i++)
                if (!blank(L[i]) && (i == b || indent_of(L[i]) == (int)kcol) &&
                    L[i].size() > kcol && key_at(L[i], kcol, key))
                    return i;
            return std::string::npos;
        };
        size_t idl = find_key("id");
        if (idl == std::string::npos) continue;
        std::string v = L[idl].substr(kcol + 3);
        std::string rm = remark_of(L[idl], kcol + 3);
        v = v.substr(0, v.size() - rm.size());
        while (!v.empty() && (v.back() == ' ' || v.back() == '\r'))
            v.pop_back();
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
        char *endp;
        long long got = strtoll(v.c_str(), &endp, 10);
        if (v.empty() || *endp || got != id) continue;
        auto set = [&](const char *key, const std::string &val) {
            size_t at = find_key(key);
            if (at == std::string::npos) {
                L.insert(L.begin() + (long)idl + 1, std::string(kcol, ' ') + key + ": " + val);
                return;
            }
            std::string &l = L[at];
            size_t vcol = kcol + strlen(key) + 1;
            l = l.substr(0, kcol) + key + ": " + val + remark_of(l, vcol);
        };
        if (e.has_takt) set("takt", std::to_string(e.takt));
        if (e.connpath) set("connpath", eng_yaml_quoted(e.connpath));
        if (e.ipaddr) set("ipaddr", eng_yaml_quoted(e.ipaddr));
        return true;
    }
    return false;
}

// The edited group reads back with the new values from the new text.
bool reads_back(const std::string &text, long long id, const group_edit &e) {
    json_ptr root(yaml_parse(text.c_str()));
    const json_node *groups = json_get(json_get(root.get(), "logix"), "groups");
    if (!groups || groups->type != JSON_ARRAY) return false;
    for (const json_node *g = groups->child; g; g = g->next) {
        if (json_geti(g, "id", -1) != id) continue;
        if (e.ipaddr && strcmp(json_gets(g, "ipaddr", ""), e.ipaddr) != 0) return false;
        if (e.connpath && strcmp(json_gets(g, "connpath", ""), e.connpath) != 0) return false;
        if (e.has_takt && json_geti(g, "takt", -1) != e.takt) return false;
        return true;
    }
    return false;
}

// A text member; false when present but not usable as a one-line value.
bool text_member(const json_node *body, const char *key, std::string *out, bool *present) {
    const json_node *v = json_get(body, key);
    *present = v && v->type == JSON_STRING;
    if (!*present) return true;
    *out = v->string;
    return out->size() <= 255 && out->find_first_of("\r\n") == std::string::npos;
}

}  // namespace

void eng_h_logix_group(srv_call *c) {
    const char *path = c->st->cfg.yaml_path;
    if (!path[0]) return eng_fail(c, 503, "not configured");
    char ids[24] = "";
    http_query_param(c->req, "id", ids, sizeof ids);
    char *endp;
    long long id = strtoll(ids, &endp, 10);
    if (!ids[0] || *endp) return eng_fail(c, 400, "bad id");
    json_ptr body = eng_body_object(c);
    if (!body) return;
    group_edit e;
    std::string ip, conn;
    bool has_ip, has_conn;
    if (!text_member(body.get(), "ipaddr", &ip, &has_ip) ||
        !text_member(body.get(), "connpath", &conn, &has_conn))
        return eng_fail(c, 400, "поле задовге або з переносом рядка");
    // The same rules and words as the configuration check: a save must not
    // write what a config save would refuse.
    if (has_ip && !cfg_ipv4_ok(ip.c_str())) return eng_fail(c, 400, cfg_ipv4_msg(ip.c_str()));
    if (has_ip) e.ipaddr = ip.c_str();
    if (has_conn) e.connpath = conn.c_str();
    const json_node *tn = json_get(body.get(), "takt");
    if (tn && (tn->type == JSON_NUMBER || tn->type == JSON_STRING)) {
        std::string t = tn->type == JSON_STRING ? std::string(tn->string) : "";
        if (tn->type == JSON_NUMBER) {
            char b[32];
            zq_format_double_c(b, sizeof b, "%.15g", tn->number);
            t = b;
        }
        if (!cfg_takt_ok(t.c_str())) return eng_fail(c, 400, cfg_takt_msg(t.c_str()));
        e.has_takt = true;
        e.takt = atoll(t.c_str());
    }
    std::lock_guard<std::mutex> lk(yaml_edit_mutex());
    std::string text;
    if (zq_read_file_max(path, 8u << 20, &text) != 0)
        return eng_fail(c, 500, std::string("Cannot read ") + path);
    json_ptr before(yaml_parse(text.c_str()));
    if (!before) return eng_fail(c, 500, std::string("Cannot parse ") + path);
    lines_doc d = split(text);
    if (!edit_group(&d, id, e)) return eng_fail(c, 404, "No group id " + std::to_string(id));
    std::string out = join(d);
    if (!reads_back(out, id, e)) return eng_fail(c, 500, std::string("Cannot edit ") + path);
    if (atomic_file_write(path, out.data(), out.size()) != 0)
        return eng_fail(c, 500, std::string("write failed ") + path + ": " + strerror(errno));
    eng_audit(c, "logix-group " + std::to_string(id));
    eng_ok(c, "saved Logix5000_" + std::to_string(id));
}
