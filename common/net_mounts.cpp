#include "common/net_mounts.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>

std::string net_mount_root() {
    const char *e = getenv("ZQ_MOUNT_ROOT");
    std::string r = e && *e ? e : "/mnt/zq";
    while (r.size() > 1 && r.back() == '/')
        r.pop_back();
    return r;
}

std::string net_mount_point(const std::string &name) {
    return net_mount_root() + "/" + name;
}

std::string net_mounts_table_path() {
    const char *e = getenv("ZQ_PROC_MOUNTS");
    return e && *e ? e : "/proc/mounts";
}

bool net_mount_name_ok(std::string_view name) {
    if (name.empty() || name.size() > NET_NAME_MAX) return false;
    for (char ch : name) {
        bool ok = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') ||
                  (ch >= '0' && ch <= '9') || ch == '_' || ch == '-';
        if (!ok) return false;
    }
    return true;
}

bool net_arg_ok(std::string_view s, size_t max) {
    if (s.empty() || s.size() > max || s[0] == '-') return false;
    for (unsigned char ch : s)
        if (ch <= 0x20 || ch == 0x7f) return false;
    return true;
}

bool net_nfs_split(const std::string &remote, std::string *host, std::string *path) {
    size_t colon = remote.find(':');
    if (colon == std::string::npos) return false;
    std::string h = remote.substr(0, colon), p = remote.substr(colon + 1);
    if (!net_arg_ok(h, NET_HOST_MAX) || p.empty() || p[0] != '/') return false;
    *host = h;
    *path = p;
    return true;
}

std::string net_mount_check(net_mount *m) {
    if (m->type.empty()) m->type = "nfs";
    if (m->mode.empty()) m->mode = "rw";
    if (m->type != "nfs" && m->type != "smb") return "невірний тип";
    if (!net_mount_name_ok(m->name)) return "невірна назва (лише A-Z a-z 0-9 _ -)";
    if (m->mode != "rw" && m->mode != "ro") return "невірний режим";
    if (m->remote.empty()) return "порожній ресурс";
    if (!net_arg_ok(m->remote, NET_REMOTE_MAX))
        return "ресурс: без пробілів і керівних символів, не з «-»";
    if (m->type == "nfs") {
        std::string h, p;
        if (!net_nfs_split(m->remote, &h, &p)) return "NFS ресурс має бути host:/шлях";
    } else if (m->remote.compare(0, 2, "//") != 0 || m->remote.size() < 3) {
        return "SMB ресурс має бути //сервер/шара";
    }
    if (!m->cred.empty() && !net_arg_ok(m->cred, NET_NAME_MAX))
        return "cred: без пробілів і керівних символів, не з «-»";
    if (!m->servern.empty() && !net_arg_ok(m->servern, NET_NAME_MAX))
        return "servern: без пробілів і керівних символів, не з «-»";
    return "";
}

namespace {

std::string text_of(const json_node *entry, const char *key) {
    const json_node *n = json_get(entry, key);
    if (!n) return "";
    if (n->type == JSON_STRING) return n->string;
    if (n->type == JSON_NUMBER) return std::to_string(json_int_of(n, 0));
    return "";
}

bool flag_of(const json_node *entry, const char *key) {
    const json_node *n = json_get(entry, key);
    if (!n) return false;
    if (n->type == JSON_BOOL) return n->boolean != 0;
    if (n->type == JSON_NUMBER) return n->number != 0;
    if (n->type == JSON_STRING) {
        const char *s = n->string;
        return strcmp(s, "true") == 0 || strcmp(s, "yes") == 0 || strcmp(s, "on") == 0 ||
               strcmp(s, "1") == 0;
    }
    return false;
}

// \040 and the like, as the kernel writes blanks in mount points.
std::string unescape_octal(std::string_view f) {
    std::string out;
    for (size_t i = 0; i < f.size(); i++) {
        if (f[i] == '\\' && f.size() - i >= 4 && f[i + 1] >= '0' && f[i + 1] <= '3' &&
            f[i + 2] >= '0' && f[i + 2] <= '7' && f[i + 3] >= '0' && f[i + 3] <= '7') {
            out += char((f[i + 1] - '0') * 64 + (f[i + 2] - '0') * 8 + (f[i + 3] - '0'));
            i += 3;
        } else {
            out += f[i];
        }
    }
    return out;
}

}  // namespace

std::vector<net_mount> net_mounts_from_config(const json_node *root) {
    std::vector<net_mount> v;
    const json_node *list = json_get(json_get(root, "network"), "mounts");
    if (!list || list->type != JSON_ARRAY) return v;
    for (const json_node *e = list->child; e && v.size() < size_t(NET_MOUNTS_MAX); e = e->next) {
        if (e->type != JSON_OBJECT) continue;
        net_mount m;
        m.name = text_of(e, "name");
        if (m.name.empty()) continue;
        m.type = text_of(e, "type");
        m.remote = text_of(e, "remote");
        m.mode = text_of(e, "mode");
        m.cred = text_of(e, "cred");
        m.servern = text_of(e, "servern");
        m.alt = flag_of(e, "use_as_trend_alt");
        m.alt2 = flag_of(e, "use_as_trend_alt2");
        v.push_back(std::move(m));
    }
    return v;
}

bool net_mounts_text_has(std::string_view table, const std::string &path) {
    size_t pos = 0;
    while (pos < table.size()) {
        size_t eol = table.find('\n', pos);
        std::string_view line =
            table.substr(pos, eol == std::string_view::npos ? std::string_view::npos : eol - pos);
        pos = eol == std::string_view::npos ? table.size() : eol + 1;
        size_t a = line.find(' ');
        if (a == std::string_view::npos) continue;
        size_t b = line.find(' ', a + 1);
        std::string_view field = line.substr(a + 1, b == std::string_view::npos ? b : b - a - 1);
        if (unescape_octal(field) == path) return true;
    }
    return false;
}

std::string net_mounts_table() {
    // /proc files report size 0: read to the end, capped.
    int fd = open(net_mounts_table_path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    std::string text;
    char buf[16384];
    while (text.size() < (16u << 20)) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, size_t(n));
    }
    close(fd);
    return text;
}

bool net_is_mounted(const std::string &path) {
    return net_mounts_text_has(net_mounts_table(), path);
}

std::vector<std::string> net_mount_args(const net_mount &checked) {
    net_mount m = checked;
    if (!net_mount_check(&m).empty()) return {};
    if (m.type == "nfs") {
        std::string host, path;
        net_nfs_split(m.remote, &host, &path);
        return {"mount-nfs", host, path, m.name, m.mode};
    }
    std::vector<std::string> a{"mount-smb", m.remote, m.name, m.mode,
                               m.cred.empty() ? m.name : m.cred};
    if (!m.servern.empty()) a.push_back(m.servern);
    return a;
}
