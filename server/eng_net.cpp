// Network mounts from the editor: mount and record a share, remove it, the
// alternate trend paths that live on a share, local exports, the NFS/SMB
// packages, and the status overview.
// Every entry passes the same checks as the supervisor's before zqnet runs.

#include "server/eng_net.h"

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/json.h"
#include "common/net_mounts.h"
#include "common/yaml.h"
#include "common/yaml_edit.h"
#include "server/eng_core.h"
#include "server/eng_proc.h"
#include "server/eng_run.h"

namespace {

constexpr unsigned ENG = SRV_ENGINEERING | SRV_METHOD_405;
constexpr unsigned CHANGE = ENG | SRV_STATE_CHANGING;
constexpr int MOUNT_TIMEOUT_MS = 90000;
constexpr int QUERY_TIMEOUT_MS = 5000;
// Codes of the network-section edit beyond YAML_EDIT_*.
constexpr int NET_FULL = 100, NET_ABSENT = 101;

// One mount change at a time: a second would race on zqnet and on the
// flags of the alternate paths.
std::mutex g_net_mu;

std::string first_line(const std::string &out) {
    std::string s = out.substr(0, out.find('\n'));
    if (!s.empty() && s.back() == '\r') s.pop_back();
    return eng_cut_utf8(s.c_str(), 255);
}

bool no_controls(const std::string &s) {
    for (unsigned char ch : s)
        if (ch < 0x20 || ch == 0x7f) return false;
    return true;
}

std::string text_member(const json_node *body, const char *key) {
    const json_node *n = json_get(body, key);
    return n && n->type == JSON_STRING ? n->string : "";
}

bool true_member(const json_node *body, const char *key) {
    const json_node *n = json_get(body, key);
    return n &&
           ((n->type == JSON_BOOL && n->boolean) || (n->type == JSON_NUMBER && n->number == 1));
}

const char *flag(bool b) {
    return b ? "true" : "false";
}

std::vector<std::string> mount_lines(const std::vector<net_mount> &list) {
    std::vector<std::string> l;
    for (const net_mount &m : list) {
        l.push_back("- type: " + eng_yaml_quoted(m.type));
        l.push_back("  remote: " + eng_yaml_quoted(m.remote));
        l.push_back("  name: " + eng_yaml_quoted(m.name));
        l.push_back("  mode: " + eng_yaml_quoted(m.mode));
        l.push_back("  cred: " + eng_yaml_quoted(m.cred));
        l.push_back("  servern: " + eng_yaml_quoted(m.servern));
        l.push_back(std::string("  use_as_trend_alt: ") + flag(m.alt));
        l.push_back(std::string("  use_as_trend_alt2: ") + flag(m.alt2));
    }
    return l;
}

const char *const NETWORK[] = {"network"};
const char *const TRENDS[] = {"trends"};

// Re-reads the list from the file under the configuration lock, lets
// `change` alter it, and writes the mounts back (other keys of the section,
// such as shares, stay as they are).
int edit_mounts(const char *yaml_path, const std::function<int(std::vector<net_mount> *)> &change) {
    const yaml_edit_path where{NETWORK, 1};
    return yaml_edit_file(yaml_path, where, [&](std::string *t) {
        json_ptr root(yaml_parse(t->c_str()));
        std::vector<net_mount> list = net_mounts_from_config(root.get());
        int rc = change(&list);
        if (rc != YAML_EDIT_OK) return rc;
        return yaml_edit_set_block(t, where, "mounts", mount_lines(list));
    });
}

// trends.altpath_linux / altpath2_linux and its format.
int set_alt(const char *yaml_path, bool second, const std::string &dir, int format) {
    const yaml_edit_path where{TRENDS, 1};
    const char *key = second ? "altpath2_linux" : "altpath_linux";
    const char *fkey = second ? "altpath2_format" : "altpath_format";
    const char *note =
        second ? "другий незалежний альт-шлях (таб Мережа)" : "мережеве монтування (таб Мережа)";
    return yaml_edit_file(yaml_path, where, [&](std::string *t) {
        int rc = yaml_edit_set_scalar(t, where, key, eng_yaml_quoted(dir), note);
        if (rc != YAML_EDIT_OK) return rc;
        return yaml_edit_set_scalar(t, where, fkey, std::to_string(format),
                                    "формат трендів цього шляху: 1=v1 (сумісний Korvid), 2=v2.1");
    });
}

// The recorder reads its alternate paths at start; the supervisor brings
// it back at once.
void restart_recorder() {
    eng_proc_signal(eng_proc_find("zqtrend", eng_project_dir()), SIGTERM);
}

std::string project_name() {
    std::string d = eng_project_dir();
    size_t slash = d.rfind('/');
    return slash == std::string::npos ? d : d.substr(slash + 1);
}

void h_mount(srv_call *c) {
    json_ptr body = eng_body_object(c);
    if (!body) return;
    const json_node *b = body.get();
    net_mount m;
    m.type = text_member(b, "type");
    m.remote = text_member(b, "remote");
    m.name = text_member(b, "name");
    m.mode = text_member(b, "mode");
    m.servern = text_member(b, "servern");
    std::string user = text_member(b, "user"), pass = text_member(b, "pass");
    if (m.type != "nfs" && m.type != "smb") return eng_fail(c, 400, "невірний тип");
    std::string why = net_mount_check(&m);
    if (!why.empty()) return eng_fail(c, 400, why);
    if (m.type == "smb") m.cred = m.name;
    // The credentials travel as two lines on zqnet's input: a line break
    // would smuggle in a third.
    if (user.size() > 63 || !no_controls(user)) return eng_fail(c, 400, "невірний логін");
    if (pass.size() > 127 || pass.find_first_of("\r\n") != std::string::npos)
        return eng_fail(c, 400, "невірний пароль");
    bool want_alt = true_member(b, "use_as_alt"), want_alt2 = true_member(b, "use_as_alt2");
    long long fmt_req = json_geti(b, "alt_format", 1);
    int fmt = fmt_req == 2 || fmt_req == 3 ? int(fmt_req) : 1;

    std::lock_guard<std::mutex> lk(g_net_mu);
    const char *yaml = c->st->cfg.yaml_path;
    {
        json_ptr root(yaml_parse_file(yaml));
        std::vector<net_mount> now = net_mounts_from_config(root.get());
        bool known = false;
        for (const net_mount &o : now)
            known = known || o.name == m.name;
        if (!known && now.size() >= size_t(NET_MOUNTS_MAX))
            return eng_fail(c, 400,
                            "забагато монтувань (max " + std::to_string(NET_MOUNTS_MAX) + ")");
    }
    if (m.type == "smb") {
        std::string err = eng_zqnet({"cred-write", m.name}, "помилка", QUERY_TIMEOUT_MS * 2,
                                    user + "\n" + pass + "\n");
        if (!err.empty()) return eng_fail(c, 500, "cred-write: " + err);
    }
    std::vector<std::string> args = net_mount_args(m);
    std::string err = eng_zqnet(args, "помилка", MOUNT_TIMEOUT_MS);
    if (!err.empty()) return eng_fail(c, 500, "mount: " + err);

    std::string warn;
    bool got_alt = false, got_alt2 = false;
    int rc = edit_mounts(yaml, [&](std::vector<net_mount> *list) {
        warn.clear();
        for (const net_mount &o : *list) {
            if (o.name == m.name) continue;
            if (want_alt && o.alt && warn.find("Основний") == std::string::npos)
                warn += "Основний альт-шлях вже зайнятий «" + o.name +
                        "» — спочатку зніміть його там. ";
            if (want_alt2 && o.alt2 && warn.find("Другий") == std::string::npos)
                warn +=
                    "Другий альт-шлях вже зайнятий «" + o.name + "» — спочатку зніміть його там. ";
        }
        got_alt = want_alt && warn.find("Основний") == std::string::npos;
        got_alt2 = want_alt2 && warn.find("Другий") == std::string::npos;
        net_mount rec = m;
        rec.alt = got_alt;
        rec.alt2 = got_alt2;
        for (net_mount &o : *list) {
            if (o.name != m.name) continue;
            // A replaced record keeps the paths it carried: trends still
            // point there.
            rec.alt = rec.alt || o.alt;
            rec.alt2 = rec.alt2 || o.alt2;
            o = rec;
            return (int)YAML_EDIT_OK;
        }
        if (list->size() >= size_t(NET_MOUNTS_MAX)) return NET_FULL;
        list->push_back(rec);
        return (int)YAML_EDIT_OK;
    });
    if (rc == NET_FULL)
        return eng_fail(c, 400, "забагато монтувань (max " + std::to_string(NET_MOUNTS_MAX) + ")");
    if (rc != YAML_EDIT_OK)
        return eng_fail(c, 500, std::string("config.yaml: ") + yaml_edit_strerror(rc));
    std::string point = net_mount_point(m.name);
    std::string alt_dir = point + "/" + project_name();
    bool applied = false;
    if (got_alt) applied = set_alt(yaml, false, alt_dir, fmt) == YAML_EDIT_OK;
    if (got_alt2) applied = (set_alt(yaml, true, alt_dir, fmt) == YAML_EDIT_OK) || applied;
    if (applied) restart_recorder();
    eng_audit(c, "net/mount " + m.name + " " + m.remote);
    std::string out = "{\"ok\":true,\"mountpoint\":\"" + json_escape_str(point) +
                      "\",\"altApplied\":" + flag(applied);
    if (!warn.empty()) out += ",\"warn\":\"" + json_escape_str(warn) + "\"";
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, out + "}");
}

void h_umount(srv_call *c) {
    json_ptr body = eng_body_object(c);
    if (!body) return;
    std::string name = text_member(body.get(), "name");
    if (!net_mount_name_ok(name)) return eng_fail(c, 400, "невірна назва");
    std::lock_guard<std::mutex> lk(g_net_mu);
    const char *yaml = c->st->cfg.yaml_path;
    std::string err = eng_zqnet({"umount", name}, "не знайдено", MOUNT_TIMEOUT_MS);
    bool had_alt = false, had_alt2 = false;
    int rc = edit_mounts(yaml, [&](std::vector<net_mount> *list) {
        for (size_t i = 0; i < list->size(); i++) {
            if ((*list)[i].name != name) continue;
            had_alt = (*list)[i].alt;
            had_alt2 = (*list)[i].alt2;
            list->erase(list->begin() + long(i));
            return (int)YAML_EDIT_OK;
        }
        return NET_ABSENT;
    });
    if (rc == NET_ABSENT) {
        if (!err.empty()) return eng_fail(c, 400, "umount: " + err);
    } else if (rc != YAML_EDIT_OK) {
        return eng_fail(c, 500, std::string("config.yaml: ") + yaml_edit_strerror(rc));
    }
    bool changed = false;
    if (had_alt) changed = set_alt(yaml, false, "", 0) == YAML_EDIT_OK;
    if (had_alt2) changed = (set_alt(yaml, true, "", 0) == YAML_EDIT_OK) || changed;
    if (changed) restart_recorder();
    eng_audit(c, "net/umount " + name);
    eng_ok(c, "відмонтовано");
}

std::string run_out(const std::vector<std::string> &argv) {
    eng_run_opts o;
    o.timeout_ms = QUERY_TIMEOUT_MS;
    o.out_max = 64 * 1024;
    eng_run_result r;
    eng_run(argv, o, &r);
    return r.status == 0 ? r.out : "";
}

bool package_installed(const char *pkg) {
    return run_out({"dpkg-query", "-W", "-f=${Status}", pkg}).find("install ok installed") !=
           std::string::npos;
}

std::string service_state(const char *unit) {
    eng_run_opts o;
    o.timeout_ms = QUERY_TIMEOUT_MS;
    eng_run_result r;
    eng_run({"systemctl", "is-active", unit}, o, &r);  // non-zero for "inactive"
    std::string s = first_line(r.out);
    return s.empty() ? "unknown" : s;
}

const char *proto(bool a, bool b) {
    return a && b ? "installed" : (a || b ? "partial" : "none");
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> v;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        std::string l = text.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
        pos = eol == std::string::npos ? text.size() : eol + 1;
        if (!l.empty()) v.push_back(l);
    }
    return v;
}

int format_of(const json_node *trends, const char *key) {
    const json_node *n = json_get(trends, key);
    if (!n) return 0;
    if (n->type == JSON_NUMBER) return int(n->number);
    return n->type == JSON_STRING ? atoi(n->string) : 0;
}

void h_status(srv_call *c) {
    bool nfs_c = package_installed("nfs-common"), cifs = package_installed("cifs-utils"),
         nfs_s = package_installed("nfs-kernel-server"), smb = package_installed("samba");
    std::string out =
        std::string("{\"zqnet\":") + flag(access(eng_zqnet_path().c_str(), X_OK) == 0) +
        ",\"packages\":{\"nfs-common\":" + flag(nfs_c) + ",\"cifs-utils\":" + flag(cifs) +
        ",\"nfs-kernel-server\":" + flag(nfs_s) + ",\"samba\":" + flag(smb) +
        "},\"proto\":{\"nfs\":\"" + proto(nfs_c, nfs_s) + "\",\"smb\":\"" + proto(cifs, smb) +
        "\"},\"services\":{\"nfs-server\":\"" + json_escape_str(service_state("nfs-server")) +
        "\",\"smbd\":\"" + json_escape_str(service_state("smbd")) + "\"},\"mounts\":[";
    std::vector<std::string> active =
        lines_of(run_out({"findmnt", "-rn", "-o", "TARGET,SOURCE,FSTYPE"}));
    for (size_t i = 0; i < active.size(); i++)
        out += (i ? ",\"" : "\"") + json_escape_str(active[i]) + "\"";
    out += "],\"cfg_mounts\":[";
    json_ptr root(yaml_parse_file(c->st->cfg.yaml_path));
    std::vector<net_mount> list = net_mounts_from_config(root.get());
    for (size_t i = 0; i < list.size(); i++) {
        const net_mount &m = list[i];
        std::string point = net_mount_point(m.name);
        bool up = net_mount_name_ok(m.name) && net_is_mounted(point);
        out += std::string(i ? "," : "") + "{\"type\":\"" + json_escape_str(m.type) +
               "\",\"remote\":\"" + json_escape_str(m.remote) + "\",\"name\":\"" +
               json_escape_str(m.name) + "\",\"mode\":\"" + json_escape_str(m.mode) +
               "\",\"servern\":\"" + json_escape_str(m.servern) +
               "\",\"use_as_trend_alt\":" + flag(m.alt) + ",\"use_as_trend_alt2\":" + flag(m.alt2) +
               ",\"status\":\"" + (up ? "mounted" : "not mounted") + "\"";
        if (up) out += ",\"info\":\"" + json_escape_str(point) + "\"";
        out += "}";
    }
    out += "],\"shares\":[";
    const json_node *shares = json_get(json_get(root.get(), "network"), "shares");
    bool first = true;
    for (const json_node *s = shares && shares->type == JSON_ARRAY ? shares->child : nullptr; s;
         s = s->next) {
        if (s->type != JSON_OBJECT) continue;
        out += first ? "{" : ",{";
        first = false;
        bool k1 = true;
        for (const char *k : {"proto", "name", "path", "mode", "access", "smbuser"}) {
            out += std::string(k1 ? "" : ",") + "\"" + k + "\":\"" +
                   json_escape_str(json_gets(s, k, "")) + "\"";
            k1 = false;
        }
        out += "}";
    }
    out += "],\"nfs_clients\":[";
    std::vector<std::string> clients =
        lines_of(run_out({"showmount", "--no-headers", "-a", "localhost"}));
    for (size_t i = 0; i < clients.size(); i++)
        out += (i ? ",\"" : "\"") + json_escape_str(clients[i]) + "\"";
    const json_node *tr = json_get(root.get(), "trends");
    out += "],\"smb_clients\":[],\"trend_formats\":{\"main\":" +
           std::to_string(format_of(tr, "mainpath_format")) +
           ",\"alt\":" + std::to_string(format_of(tr, "altpath_format")) +
           ",\"alt2\":" + std::to_string(format_of(tr, "altpath2_format")) + "}}";
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, out);
}

// ---- Exports and packages ----

constexpr int NET_SHARES_MAX = 16;
constexpr int PKG_TIMEOUT_MS = 600000;

struct net_share {
    std::string proto, name, path, mode, access, smbuser;
};

std::vector<net_share> shares_from_config(const json_node *root) {
    std::vector<net_share> v;
    const json_node *list = json_get(json_get(root, "network"), "shares");
    for (const json_node *s = list && list->type == JSON_ARRAY ? list->child : nullptr;
         s && v.size() < size_t(NET_SHARES_MAX); s = s->next) {
        if (s->type != JSON_OBJECT || !*json_gets(s, "name", "")) continue;
        net_share sh;
        sh.proto = eng_cut_utf8(json_gets(s, "proto", ""), 7);
        sh.name = eng_cut_utf8(json_gets(s, "name", ""), 63);
        sh.path = eng_cut_utf8(json_gets(s, "path", ""), 399);
        sh.mode = eng_cut_utf8(json_gets(s, "mode", "ro"), 3);
        sh.access = eng_cut_utf8(json_gets(s, "access", "*"), 399);
        sh.smbuser = eng_cut_utf8(json_gets(s, "smbuser", ""), 63);
        v.push_back(sh);
    }
    return v;
}

std::vector<std::string> share_lines(const std::vector<net_share> &list) {
    std::vector<std::string> l;
    for (const net_share &s : list) {
        l.push_back("- proto: " + eng_yaml_quoted(s.proto));
        l.push_back("  name: " + eng_yaml_quoted(s.name));
        l.push_back("  path: " + eng_yaml_quoted(s.path));
        l.push_back("  mode: " + eng_yaml_quoted(s.mode));
        l.push_back("  access: " + eng_yaml_quoted(s.access));
        l.push_back("  smbuser: " + eng_yaml_quoted(s.smbuser));
    }
    return l;
}

int edit_shares(const char *yaml_path, const std::function<int(std::vector<net_share> *)> &change) {
    const yaml_edit_path where{NETWORK, 1};
    return yaml_edit_file(yaml_path, where, [&](std::string *t) {
        json_ptr root(yaml_parse(t->c_str()));
        std::vector<net_share> list = shares_from_config(root.get());
        int rc = change(&list);
        if (rc != YAML_EDIT_OK) return rc;
        return yaml_edit_set_block(t, where, "shares", share_lines(list));
    });
}

// An absolute path zqnet can put into exports and smb.conf as one token:
// no "..", no blanks, quotes or controls that would split or extend a line.
bool share_path_ok(const std::string &p) {
    if (p.size() > 399 || !net_arg_ok(p, 399)) return false;
    if (p.find_first_of("\"'\\;#[]") != std::string::npos) return false;
    size_t pos = 0;
    while (pos <= p.size()) {
        size_t slash = p.find('/', pos);
        if (p.compare(pos, slash == std::string::npos ? std::string::npos : slash - pos, "..") == 0)
            return false;
        if (slash == std::string::npos) break;
        pos = slash + 1;
    }
    return true;
}

// Client list: hosts, networks, "*" — comma-separated, nothing that could
// carry export options or smb.conf syntax.
bool share_access_ok(const std::string &a) {
    if (a.empty() || a.size() > 399 || a[0] == '-') return false;
    for (unsigned char ch : a) {
        bool ok = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') ||
                  (ch >= '0' && ch <= '9') || strchr(".*/:_-,", ch);
        if (!ok) return false;
    }
    return true;
}

bool smbuser_ok(const std::string &u) {
    if (u.empty() || u.size() > 63 || u[0] == '-') return false;
    for (unsigned char ch : u) {
        bool ok = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') ||
                  (ch >= '0' && ch <= '9') || ch == '_' || ch == '-' || ch == '.';
        if (!ok) return false;
    }
    return true;
}

void h_share(srv_call *c) {
    json_ptr body = eng_body_object(c);
    if (!body) return;
    const json_node *b = body.get();
    net_share s;
    s.proto = text_member(b, "proto");
    s.name = text_member(b, "name");
    s.path = text_member(b, "path");
    s.mode = text_member(b, "mode");
    s.access = text_member(b, "access");
    s.smbuser = text_member(b, "smbuser");
    std::string pass = text_member(b, "pass");
    if (s.mode.empty()) s.mode = "ro";
    if (s.access.empty()) s.access = "*";
    if (s.proto != "nfs" && s.proto != "smb") return eng_fail(c, 400, "невірний протокол");
    if (!net_mount_name_ok(s.name)) return eng_fail(c, 400, "невірна назва");
    if (s.mode != "ro" && s.mode != "rw") return eng_fail(c, 400, "невірний режим");
    if (s.path.empty() || s.path[0] != '/') return eng_fail(c, 400, "шлях має бути абсолютним");
    if (!share_path_ok(s.path)) return eng_fail(c, 400, "невірний шлях");
    if (!share_access_ok(s.access)) return eng_fail(c, 400, "невірний доступ");
    if (s.proto == "nfs") s.smbuser.clear();
    if (!s.smbuser.empty() && !smbuser_ok(s.smbuser)) return eng_fail(c, 400, "невірний логін");
    if (!s.smbuser.empty() && pass.empty()) return eng_fail(c, 400, "вкажіть пароль для логіна");
    // smbpasswd reads the password as lines: a line break would end it early.
    if (pass.size() > 127 || pass.find_first_of("\r\n") != std::string::npos)
        return eng_fail(c, 400, "невірний пароль");

    std::lock_guard<std::mutex> lk(g_net_mu);
    const char *yaml = c->st->cfg.yaml_path;
    const std::string too_many = "забагато шар (max " + std::to_string(NET_SHARES_MAX) + ")";
    {
        json_ptr root(yaml_parse_file(yaml));
        std::vector<net_share> now = shares_from_config(root.get());
        bool known = false;
        for (const net_share &o : now)
            known = known || o.name == s.name;
        if (!known && now.size() >= size_t(NET_SHARES_MAX)) return eng_fail(c, 400, too_many);
    }
    if (!s.smbuser.empty()) {
        std::string err =
            eng_zqnet({"smb-user", s.smbuser}, "помилка", QUERY_TIMEOUT_MS * 2, pass + "\n");
        if (!err.empty()) return eng_fail(c, 500, "smbuser: " + err);
    }
    std::vector<std::string> args{s.proto == "nfs" ? "share-nfs" : "share-smb", s.name, s.path,
                                  s.mode, s.access};
    if (!s.smbuser.empty()) args.push_back(s.smbuser);
    std::string err = eng_zqnet(args, "помилка", MOUNT_TIMEOUT_MS);
    if (!err.empty()) return eng_fail(c, 500, "share: " + err);
    int rc = edit_shares(yaml, [&](std::vector<net_share> *list) {
        for (net_share &o : *list)
            if (o.name == s.name) {
                o = s;
                return (int)YAML_EDIT_OK;
            }
        if (list->size() >= size_t(NET_SHARES_MAX)) return NET_FULL;
        list->push_back(s);
        return (int)YAML_EDIT_OK;
    });
    if (rc == NET_FULL) return eng_fail(c, 400, too_many);
    if (rc != YAML_EDIT_OK)
        return eng_fail(c, 500, std::string("config.yaml: ") + yaml_edit_strerror(rc));
    eng_audit(c, "net/share " + s.proto + " " + s.name + " " + s.path);
    eng_ok(c, s.proto == "nfs" ? "NFS експорт створено" : "SMB шара створена");
}

void h_unshare(srv_call *c) {
    json_ptr body = eng_body_object(c);
    if (!body) return;
    std::string name = text_member(body.get(), "name");
    if (!net_mount_name_ok(name)) return eng_fail(c, 400, "невірна назва");
    std::lock_guard<std::mutex> lk(g_net_mu);
    const char *yaml = c->st->cfg.yaml_path;
    std::string proto;
    {
        json_ptr root(yaml_parse_file(yaml));
        for (const net_share &o : shares_from_config(root.get()))
            if (o.name == name) proto = o.proto;
    }
    if (proto.empty()) return eng_fail(c, 404, "не знайдено");
    std::string err = eng_zqnet({proto == "smb" ? "unshare-smb" : "unshare-nfs", name}, "помилка",
                                MOUNT_TIMEOUT_MS);
    if (!err.empty()) return eng_fail(c, 500, "unshare: " + err);
    int rc = edit_shares(yaml, [&](std::vector<net_share> *list) {
        for (size_t i = 0; i < list->size(); i++)
            if ((*list)[i].name == name) {
                list->erase(list->begin() + long(i));
                return (int)YAML_EDIT_OK;
            }
        return NET_ABSENT;
    });
    if (rc == NET_ABSENT) return eng_fail(c, 404, "не знайдено");
    if (rc != YAML_EDIT_OK)
        return eng_fail(c, 500, std::string("config.yaml: ") + yaml_edit_strerror(rc));
    eng_audit(c, "net/unshare " + name);
    eng_ok(c, "видалено");
}

bool component_ok(const std::string &k) {
    return k == "nfs-client" || k == "nfs-server" || k == "smb-client" || k == "smb-server";
}

// Component name from the body: "" after answering the error.
std::string component_of(srv_call *c, const json_node *b) {
    std::string k = text_member(b, "component");
    if (k.empty()) {
        eng_fail(c, 400, "порожній компонент");
        return "";
    }
    if (!component_ok(k)) {
        eng_fail(c, 400, "невідомий компонент");
        return "";
    }
    return k;
}

std::string apt_error(const std::string &err) {
    return err.empty() || err == "apt-get помилка" ? "apt-get помилка" : "apt-get помилка: " + err;
}

void h_install(srv_call *c) {
    json_ptr body = eng_body_object(c);
    if (!body) return;
    std::string k = component_of(c, body.get());
    if (k.empty()) return;
    std::lock_guard<std::mutex> lk(g_net_mu);
    std::string err = eng_zqnet({"pkg-install", k}, "apt-get помилка", PKG_TIMEOUT_MS);
    if (!err.empty()) return eng_fail(c, 500, apt_error(err));
    eng_audit(c, "net/install " + k);
    eng_ok(c, "встановлено");
}

void h_uninstall(srv_call *c) {
    json_ptr body = eng_body_object(c);
    if (!body) return;
    std::string k = component_of(c, body.get());
    if (k.empty()) return;
    std::lock_guard<std::mutex> lk(g_net_mu);
    // Removing the client under a live mount, or the server under an export,
    // would break them silently: name what still needs the component.
    json_ptr root(yaml_parse_file(c->st->cfg.yaml_path));
    std::string proto = k.compare(0, 3, "nfs") == 0 ? "nfs" : "smb";
    std::string users;
    if (k.ends_with("-client")) {
        for (const net_mount &m : net_mounts_from_config(root.get()))
            if ((m.type.empty() ? "nfs" : m.type) == proto)
                users += (users.empty() ? "" : ", ") + m.name;
    } else {
        for (const net_share &s : shares_from_config(root.get()))
            if (s.proto == proto) users += (users.empty() ? "" : ", ") + s.name;
    }
    if (!users.empty())
        return eng_fail(c, 409, "не можна видалити: " + users + " — спершу приберіть їх");
    std::string err = eng_zqnet({"pkg-remove", k}, "apt-get помилка", PKG_TIMEOUT_MS);
    if (!err.empty()) return eng_fail(c, 500, apt_error(err));
    eng_audit(c, "net/uninstall " + k);
    eng_ok(c, "видалено");
}

const srv_route routes[] = {
    {SRV_READ, "/api/eng/net/status", h_status, ENG},
    {SRV_POST, "/api/eng/net/mount", h_mount, CHANGE},
    {SRV_POST, "/api/eng/net/umount", h_umount, CHANGE},
    {SRV_POST, "/api/eng/net/share", h_share, CHANGE},
    {SRV_POST, "/api/eng/net/unshare", h_unshare, CHANGE},
    {SRV_POST, "/api/eng/net/install", h_install, CHANGE},
    {SRV_POST, "/api/eng/net/uninstall", h_uninstall, CHANGE},
};

}  // namespace

std::string eng_zqnet_path() {
    const char *dir = getenv("ZQSTACK_DIR");
    return dir && *dir ? std::string(dir) + "/zqnet" : "./zqnet";
}

std::string eng_zqnet(const std::vector<std::string> &args, const char *fallback, int timeout_ms,
                      const std::string &input) {
    std::vector<std::string> argv{eng_zqnet_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    eng_run_opts o;
    o.timeout_ms = timeout_ms;
    o.out_max = 511;
    o.input = input;
    eng_run_result r;
    eng_run(argv, o, &r);
    if (r.status == 0) return "";
    std::string line = first_line(r.out);
    if (!line.empty()) return line;
    if (r.status == ENG_RUN_TIMEOUT) return "zqnet: timeout";
    if (r.status == ENG_RUN_NOT_STARTED) return "zqnet не запущено";
    return fallback;
}

std::span<const srv_route> eng_net_routes() {
    return routes;
}
