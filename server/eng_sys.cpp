// Engineering endpoints on the running stack: process status, operator
// sessions, restart and reload signals (only to this project's own
// programs), program logs and the operator action log.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/json.h"
#include "common/log.h"
#include "common/parse_util.h"
#include "common/yaml.h"
#include "server/eng_core.h"
#include "server/eng_handlers.h"
#include "server/eng_proc.h"

namespace {

constexpr long LOG_TAIL_DEFAULT = 65536;
constexpr long LOG_TAIL_MAX = 1L << 20;
constexpr int CTRLLOG_DATES_MAX = 150;

// The stack's programs the supervisor restarts when they end.
const char *const RESTARTABLE[] = {"zqlogix", "zqtrend", "zqalarm", "zqcalc", "zqmqtt", "zqopcua"};
const char *const RELOADABLE[] = {"zqcalc", "zqmqtt", "zqalarm"};

template <size_t N>
bool one_of(const char *const (&list)[N], const std::string &name) {
    for (const char *n : list)
        if (name == n) return true;
    return false;
}

// The "name" member of the body; false (reply filled) when missing.
bool body_name(srv_call *c, std::string *name) {
    json_ptr body = eng_body_object(c);
    if (!body) return false;
    *name = json_gets(body.get(), "name", "");
    if (name->empty() || name->size() > 15) {
        eng_fail(c, 400, "немає імені модуля");
        return false;
    }
    return true;
}

std::string version_of(const char *name) {
    std::string t;
    if (zq_read_file_max((std::string("run/") + name + ".version").c_str(), 4096, &t) != 0)
        return "";
    size_t nl = t.find_first_of("\r\n");
    return nl == std::string::npos ? t : t.substr(0, nl);
}

// Signals every process of `name` in this project; the answer names the count.
void signal_module(srv_call *c, const std::string &name, int sig, const char *signame,
                   const std::string &not_found, const std::string &audit) {
    std::vector<pid_t> pids = eng_proc_find(name.c_str(), eng_project_dir());
    int n = pids.empty() ? 0 : eng_proc_signal(pids, sig);
    if (n == 0) return eng_fail(c, 404, not_found);
    eng_audit(c, audit);
    std::string msg = std::string(signame) + " sent to " + std::to_string(n) +
                      (name == "zqsup" ? " " : " × ") + name;
    eng_ok(c, msg);
}

bool plain_log_name(const std::string &n) {
    if (n.size() < 5 || n.size() > 200 || n[0] == '.' || !zq_ends_with(n.c_str(), ".log"))
        return false;
    for (char ch : n)
        if (!(isalnum((unsigned char)ch) || ch == '.' || ch == '_' || ch == '-')) return false;
    return true;
}

const char *log_dir(srv_call *c) {
    return c->st->cfg.logcontrolpath[0] ? c->st->cfg.logcontrolpath : "./logs";
}

bool ctrllog_name(const char *n) {
    if (strlen(n) != 19 || strncmp(n, "control", 7) != 0 || strcmp(n + 15, ".log") != 0)
        return false;
    for (int i = 7; i < 15; i++)
        if (n[i] < '0' || n[i] > '9') return false;
    return true;
}

}  // namespace

void eng_h_sys_status(srv_call *c) {
    std::vector<const char *> names = {"zqsup", "zqlogix", "zqtrend", "zqserver", "zqalarm"};
    json_ptr cfg(yaml_parse_file(c->st->cfg.yaml_path));
    if (json_get(cfg.get(), "calc")) names.push_back("zqcalc");
    if (json_get(cfg.get(), "mqtt")) names.push_back("zqmqtt");
    if (json_get(cfg.get(), "opcua")) names.push_back("zqopcua");
    std::string dir = eng_project_dir();
    std::string s = "[";
    for (const char *name : names) {
        std::string ver = json_escape_str(version_of(name));
        std::vector<pid_t> pids = eng_proc_find(name, dir);
        bool any = false;
        for (pid_t p : pids) {
            eng_proc_info info;
            if (!eng_proc_info_of(p, &info)) continue;
            any = true;
            if (s.size() > 1) s += ',';
            s += "{\"name\":\"" + std::string(name) + "\",\"pid\":" + std::to_string(p) +
                 ",\"running\":true,\"uptime_s\":" + std::to_string(info.uptime_s) +
                 ",\"cmdline\":\"" + json_escape_str(info.cmdline) + "\",\"version\":\"" + ver +
                 "\"}";
        }
        if (any) continue;
        if (s.size() > 1) s += ',';
        s += "{\"name\":\"" + std::string(name) +
             "\",\"pid\":0,\"running\":false,\"uptime_s\":0,\"cmdline\":\"\",\"version\":\"" + ver +
             "\"}";
    }
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, s + "]");
}

void eng_h_sys_sessions(srv_call *c) {
    time_t now = time(nullptr);
    std::string s = "[";
    std::lock_guard<std::mutex> lk(c->st->presence.mu);
    for (const rt_presence_row &r : c->st->presence.rows) {
        if (!r.active || now - r.last_seen > 8) continue;
        if (s.size() > 1) s += ',';
        s += "{\"ip\":\"" + json_escape_str(r.ip) + "\",\"page\":\"" + json_escape_str(r.page) +
             "\",\"duration_s\":" + std::to_string((long)(now - r.first_seen)) + "}";
    }
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, s + "]");
}

void eng_h_sys_restart(srv_call *c) {
    std::string name;
    if (!body_name(c, &name)) return;
    if (name == "zqserver") return eng_fail(c, 400, "Cannot self-restart via API");
    // The supervisor brings these back; anything else would just stop.
    if (!one_of(RESTARTABLE, name))
        return eng_fail(c, 400, "module '" + name + "' not restartable");
    signal_module(c, name, SIGTERM, "SIGTERM", "Process '" + name + "' not found",
                  "sys/restart " + name);
}

void eng_h_sys_reload_module(srv_call *c) {
    std::string name;
    if (!body_name(c, &name)) return;
    if (!one_of(RELOADABLE, name)) return eng_fail(c, 400, "module '" + name + "' not reloadable");
    signal_module(c, name, SIGUSR1, "SIGUSR1", "Process '" + name + "' not found",
                  "sys/reload-module " + name);
}

void eng_h_notify_scales(srv_call *c) {
    signal_module(c, "zqsup", SIGUSR1, "SIGUSR1", "zqsup not found", "notify-scales");
}

void eng_h_sys_reload_ini(srv_call *c) {
    signal_module(c, "zqsup", SIGUSR2, "SIGUSR2", "zqsup not found", "sys/reload-ini");
}

void eng_h_sys_reload_trust(srv_call *c) {
    auto tab = std::make_shared<srv_trust_table>();
    srv_trust_rc rc = srv_load_trust(&c->st->cfg, tab->e, &tab->n);
    if (rc == SRV_TRUST_NO_SOURCE)
        return eng_fail(c, 404, "немає джерела trust (ні config.yaml, ні ini)");
    if (rc == SRV_TRUST_BAD_YAML)
        return eng_fail(c, 400,
                        "awp_slot.trust у config.yaml не є списком: права керування не змінено");
    int n = tab->n;
    srv_live_set_trust(c->st, std::move(tab));
    log_msg("trust list reloaded: %d entries", n);
    eng_audit(c, "sys/reload-trust " + std::to_string(n));
    srv_reply_json(c->reply, 200, "{\"ok\":true,\"n_trust\":" + std::to_string(n) + "}");
}

void eng_h_logs_list(srv_call *c) {
    std::string dir = log_dir(c);
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (plain_log_name(e->d_name)) names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::string s = "{\"files\":[";
    bool first = true;
    for (const std::string &n : names) {
        struct stat st;
        if (lstat((dir + "/" + n).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (!first) s += ',';
        first = false;
        s += "{\"name\":\"" + json_escape_str(n) + "\",\"size\":" + std::to_string(st.st_size) +
             ",\"mtime\":" + std::to_string((long long)st.st_mtime) + "}";
    }
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, s + "]}");
}

void eng_h_logs_read(srv_call *c) {
    char name[256] = "", tail_s[32] = "";
    http_query_param(c->req, "name", name, sizeof name);
    if (!plain_log_name(name)) return eng_fail(c, 400, "bad name");
    long tail = LOG_TAIL_DEFAULT;
    if (http_query_param(c->req, "tail", tail_s, sizeof tail_s)) {
        char *end;
        long v = strtol(tail_s, &end, 10);
        if (end == tail_s || *end || v < 1) return eng_fail(c, 400, "bad tail");
        tail = v;
    }
    if (tail > LOG_TAIL_MAX) tail = LOG_TAIL_MAX;
    std::string path = std::string(log_dir(c)) + "/" + name;
    // A link planted in the log folder must not expose another file.
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return eng_fail(c, 404, "not found");
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return eng_fail(c, 404, "not found");
    }
    off_t from = st.st_size > tail ? st.st_size - tail : 0;
    std::string out((size_t)(st.st_size - from), '\0');
    ssize_t got = pread(fd, &out[0], out.size(), from);
    close(fd);
    out.resize(got > 0 ? (size_t)got : 0);
    srv_reply_body(c->reply, 200, "text/plain; charset=utf-8", std::move(out));
}

void eng_h_ctrllog_dates(srv_call *c) {
    std::vector<std::string> dates;
    if (DIR *d = opendir(log_dir(c))) {
        while (dirent *e = readdir(d))
            if (ctrllog_name(e->d_name)) dates.push_back(std::string(e->d_name + 7, 8));
        closedir(d);
    }
    std::sort(dates.rbegin(), dates.rend());
    if (dates.size() > (size_t)CTRLLOG_DATES_MAX) dates.resize(CTRLLOG_DATES_MAX);
    std::string s = "{\"dates\":[";
    for (size_t i = 0; i < dates.size(); i++)
        s += (i ? ",\"" : "\"") + dates[i] + "\"";
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, s + "]}");
}

void eng_h_ctrllog(srv_call *c) {
    char date[16] = "";
    if (!http_query_param(c->req, "date", date, sizeof date) || !date[0]) {
        time_t now = time(nullptr);
        struct tm lt;
        localtime_r(&now, &lt);
        strftime(date, sizeof date, "%Y%m%d", &lt);
    }
    std::string name = std::string("control") + date + ".log";
    if (!ctrllog_name(name.c_str())) return eng_fail(c, 400, "bad date");
    std::string text;
    std::string s = "{\"records\":[";
    if (zq_read_file_max((std::string(log_dir(c)) + "/" + name).c_str(), 64u << 20, &text) == 0) {
        size_t pos = 0;
        bool first = true;
        while (pos < text.size()) {
            size_t nl = text.find('\n', pos);
            if (nl == std::string::npos) nl = text.size();
            std::string line = text.substr(pos, nl - pos);
            pos = nl + 1;
            while (!line.empty() && line.back() == '\r')
                line.pop_back();
            // A line cut short by a crash would break the whole answer.
            json_ptr rec(json_parse(line.c_str()));
            if (!rec || rec->type != JSON_OBJECT) continue;
            if (!first) s += ',';
            first = false;
            s += line;
        }
    }
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, s + "]}");
}
