// Engineering endpoints of the project archives: the backup settings in
// config.yaml, a backup request to the supervisor (./backup.req), the
// archive list and downloads. The supervisor makes the archives.

#include "server/eng_backup.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/json.h"
#include "common/parse_util.h"
#include "common/yaml.h"
#include "common/yaml_edit.h"
#include "server/eng_core.h"
#include "server/eng_proc.h"
#include "server/srv_routes.h"

// ---- text rules ------------------------------------------------------------

bool eng_backup_name_ok(const char *name) {
    size_t n = strlen(name);
    if (n < 8 || n > 96 || !zq_ends_with(name, ".tar.gz") || strstr(name, "..")) return false;
    for (const char *p = name; *p; p++) {
        unsigned char ch = (unsigned char)*p;
        if (!isalnum(ch) && ch != '-' && ch != '.' && ch != '_') return false;
    }
    return true;
}

bool eng_backup_schedule_ok(const char *text, int *hh, int *mm) {
    // Digits only: "7:5" and "07:05" pass, " 7:05", "+7:05" and "07:05x" do not.
    const char *colon = strchr(text, ':');
    if (!colon) return false;
    size_t a = size_t(colon - text), b = strlen(colon + 1);
    if (a < 1 || a > 2 || b < 1 || b > 2) return false;
    for (const char *p = text; *p; p++)
        if (p != colon && !isdigit((unsigned char)*p)) return false;
    int h = atoi(text), m = atoi(colon + 1);
    if (h > 23 || m > 59) return false;
    *hh = h;
    *mm = m;
    return true;
}

namespace {

// Line `at` begins "<name>:" followed by a space, CR, LF or the end.
bool top_key_at(const std::string &t, size_t at, const char *name) {
    size_t n = strlen(name);
    if (t.compare(at, n, name) != 0 || at + n >= t.size() || t[at + n] != ':') return false;
    size_t after = at + n + 1;
    return after == t.size() || t[after] == ' ' || t[after] == '\r' || t[after] == '\n';
}

size_t find_top_key(const std::string &t, const char *name) {
    for (size_t at = 0; at < t.size();) {
        if (top_key_at(t, at, name)) return at;
        size_t eol = t.find('\n', at);
        if (eol == std::string::npos) break;
        at = eol + 1;
    }
    return std::string::npos;
}

}  // namespace

bool eng_backup_has_section(const std::string &text) {
    return find_top_key(text, "backup") != std::string::npos;
}

int eng_backup_section_set(std::string *text, bool enabled, int hh, int mm, int keep) {
    char sched[16];
    snprintf(sched, sizeof sched, "\"%02d:%02d\"", hh, mm);
    if (!eng_backup_has_section(*text)) {
        char sec[160];
        snprintf(sec, sizeof sec,
                 "backup:\n  enabled: %s\n  dir: ./backups\n  schedule: %s\n  keep: %d\n",
                 enabled ? "true" : "false", sched, keep);
        size_t at = find_top_key(*text, "logix");
        if (at == std::string::npos) {
            if (!text->empty() && text->back() != '\n') *text += '\n';
            *text += sec;
        } else {
            text->insert(at, sec);
        }
        return YAML_EDIT_OK;
    }
    // A backup key holding a list or a text is no section to set keys in.
    json_ptr root(yaml_parse(text->c_str()));
    const json_node *sec = json_get(root.get(), "backup");
    if (sec && sec->type != JSON_OBJECT && sec->type != JSON_NULL) return YAML_EDIT_BAD_PATH;
    static const char *const names[] = {"backup"};
    const yaml_edit_path where{names, 1};
    int rc = yaml_edit_set_scalar(text, where, "enabled", enabled ? "true" : "false");
    if (rc == YAML_EDIT_OK) rc = yaml_edit_set_scalar(text, where, "schedule", sched);
    if (rc == YAML_EDIT_OK) rc = yaml_edit_set_scalar(text, where, "keep", std::to_string(keep));
    return rc;
}

// ---- endpoints -------------------------------------------------------------

namespace {

struct backup_settings {
    bool enabled = false;
    std::string schedule = "02:00";
    int keep = 30;
    std::string dir = "./backups";
};

backup_settings read_settings(const srv_call *c) {
    backup_settings s;
    json_ptr root(yaml_parse_file(c->st->cfg.yaml_path));
    const json_node *sec = json_get(root.get(), "backup");
    if (!sec || sec->type != JSON_OBJECT) return s;
    const json_node *en = json_get(sec, "enabled");
    if (en && en->type == JSON_STRING)
        s.enabled = strcmp(en->string, "true") == 0 || strcmp(en->string, "yes") == 0 ||
                    strcmp(en->string, "on") == 0 || strcmp(en->string, "1") == 0;
    else
        s.enabled = json_bool_of(en, 0) != 0;
    int hh, mm;
    const char *sched = json_gets(sec, "schedule", "");
    char buf[8];
    if (eng_backup_schedule_ok(sched, &hh, &mm)) {
        snprintf(buf, sizeof buf, "%02d:%02d", hh, mm);
        s.schedule = buf;
    }
    const json_node *keep = json_get(sec, "keep");
    if (keep) {
        long long k = keep->type == JSON_STRING ? atoll(keep->string) : json_int_of(keep, 30);
        s.keep = k < 1 ? 1 : k > 9999 ? 9999 : int(k);
    }
    const char *dir = json_gets(sec, "dir", "");
    if (*dir && strlen(dir) <= 4095) s.dir = dir;
    return s;
}

void h_backup_get(srv_call *c) {
    backup_settings s = read_settings(c);
    struct item {
        std::string name;
        long long size, mtime;
    };
    std::vector<item> items;
    if (DIR *d = opendir(s.dir.c_str())) {
        while (dirent *e = readdir(d)) {
            const char *n = e->d_name;
            if (strlen(n) < 8 || !zq_ends_with(n, ".tar.gz") || strstr(n, "_latest.tar.gz"))
                continue;
            struct stat st;
            // Only what a download would serve: regular files, no links.
            if (fstatat(dirfd(d), n, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
                continue;
            items.push_back({n, (long long)st.st_size, (long long)st.st_mtime});
        }
        closedir(d);
    }
    std::sort(items.begin(), items.end(),
              [](const item &a, const item &b) { return a.name > b.name; });
    std::string out = std::string("{\"enabled\":") + (s.enabled ? "true" : "false") +
                      ",\"schedule\":\"" + s.schedule + "\",\"keep\":" + std::to_string(s.keep) +
                      ",\"dir\":\"" + json_escape_str(s.dir) + "\",\"backups\":[";
    for (size_t i = 0; i < items.size(); i++)
        out += std::string(i ? "," : "") + "{\"name\":\"" + json_escape_str(items[i].name) +
               "\",\"size\":" + std::to_string(items[i].size) +
               ",\"mtime\":" + std::to_string(items[i].mtime) + "}";
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, out + "]}");
}

// A member as text: JSON strings as they are, numbers and booleans spelt.
std::string member_text(const json_node *body, const char *key, const char *def) {
    const json_node *n = json_get(body, key);
    if (!n || n->type == JSON_NULL) return def;
    if (n->type == JSON_STRING) return n->string;
    if (n->type == JSON_BOOL) return n->boolean ? "true" : "false";
    if (n->type == JSON_NUMBER) {
        char buf[64];
        snprintf(buf, sizeof buf, "%.17g", n->number);
        return buf;
    }
    return "?";
}

const char *edit_error(int rc) {
    if (rc == YAML_EDIT_UNREADABLE) return "config.yaml не читається";
    if (rc == YAML_EDIT_WRITE) return "запис config.yaml не вдався";
    return "секцію backup у config.yaml не змінити (вона не є картою?)";
}

void notify_supervisor() {
    std::vector<pid_t> pids = eng_proc_find("zqsup", eng_project_dir());
    if (!pids.empty()) eng_proc_signal(pids, SIGUSR1);
}

void h_backup_config(srv_call *c) {
    json_ptr body = eng_body_object(c);
    if (!body) return;
    std::string en = member_text(body.get(), "enabled", "false");
    bool enabled = en == "true" || en == "1";
    std::string sched = member_text(body.get(), "schedule", "02:00");
    int hh, mm;
    if (!eng_backup_schedule_ok(sched.c_str(), &hh, &mm))
        return eng_fail(c, 400, "Розклад має бути ГГ:ХХ (00:00..23:59)");
    std::string keep_s = member_text(body.get(), "keep", "30");
    char *end = nullptr;
    long keep = strtol(keep_s.c_str(), &end, 10);
    if (keep_s.empty() || *end || keep < 1 || keep > 9999)
        return eng_fail(c, 400, "keep має бути 1..9999");
    static const char *const names[] = {"backup"};
    int rc = yaml_edit_file(c->st->cfg.yaml_path, {names, 1}, [&](std::string *t) {
        return eng_backup_section_set(t, enabled, hh, mm, int(keep));
    });
    if (rc != YAML_EDIT_OK)
        return eng_fail(c, rc == YAML_EDIT_UNREADABLE ? 404 : 500, edit_error(rc));
    char action[96];
    snprintf(action, sizeof action, "backup/config enabled=%d schedule=%02d:%02d keep=%ld",
             enabled ? 1 : 0, hh, mm, keep);
    eng_audit(c, action);
    notify_supervisor();
    srv_reply_json(c->reply, 200, "{\"ok\":true}");
}

void h_backup_now(srv_call *c) {
    std::string text;
    if (zq_read_file_max(c->st->cfg.yaml_path, 8u << 20, &text) == 0 &&
        !eng_backup_has_section(text)) {
        // The section the supervisor would read, written once, schedule off.
        static const char *const names[] = {"backup"};
        yaml_edit_file(c->st->cfg.yaml_path, {names, 1}, [](std::string *t) {
            if (eng_backup_has_section(*t)) return (int)YAML_EDIT_OK;
            return eng_backup_section_set(t, false, 2, 0, 30);
        });
    }
    int fd = open("./backup.req", O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 || close(fd) != 0)
        return srv_reply_json(c->reply, 500,
                              "{\"ok\":false,\"error\":\"не вдалося створити backup.req\"}");
    eng_audit(c, "backup/now");
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, "{\"ok\":true,\"msg\":\"бекап запущено\"}");
}

void h_backup_download(srv_call *c) {
    char name[128] = "";
    if (!http_query_param(c->req, "f", name, sizeof name) || !eng_backup_name_ok(name))
        return srv_reply_json(c->reply, 400, "{\"error\":\"bad name\"}");
    std::string path = read_settings(c).dir + "/" + name;
    // No links and nothing but a regular file; O_NONBLOCK so a FIFO put in
    // its place cannot hold the connection thread.
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        fd = -1;
        errno = EINVAL;
    }
    if (fd < 0) {
        if (errno == ENOENT) return srv_reply_json(c->reply, 404, "{\"error\":\"not found\"}");
        return srv_reply_json(c->reply, 500, "{\"error\":\"read\"}");
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    eng_audit(c, std::string("backup/get ") + name);
    srv_reply_file_fd(c->reply, "application/gzip", false, fd, long(st.st_size));
}

}  // namespace

// Quick copies (eng_backup_copies.cpp).
void eng_h_backup_quick(srv_call *c);
void eng_h_backup_stamps(srv_call *c);
void eng_h_backup_restore(srv_call *c);

namespace {

constexpr unsigned ENG = SRV_ENGINEERING | SRV_METHOD_405;
constexpr unsigned CHANGE = ENG | SRV_STATE_CHANGING;

const srv_route routes[] = {
    {SRV_READ, "/api/eng/backup", h_backup_get, ENG},
    {SRV_POST, "/api/eng/backup", eng_h_backup_quick, CHANGE},
    {SRV_POST, "/api/eng/backup/config", h_backup_config, CHANGE},
    {SRV_POST, "/api/eng/backup/now", h_backup_now, CHANGE},
    {SRV_READ, "/api/eng/backup/get", h_backup_download, ENG},
    {SRV_READ, "/api/eng/backups", eng_h_backup_stamps, ENG},
    {SRV_POST, "/api/eng/restore", eng_h_backup_restore, CHANGE},
};

}  // namespace

std::span<const srv_route> eng_backup_routes() {
    return routes;
}
