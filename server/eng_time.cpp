// The host's time zone, synchronisation and clock from the editor. The
// changes themselves need privileges: zqnet makes them. After a zone change
// the zone's standard offset goes to logix.time.tz_offset_min, which the
// PLC driver uses for the controllers' clocks.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/json.h"
#include "common/yaml_edit.h"
#include "server/eng_core.h"
#include "server/eng_net.h"
#include "server/eng_run.h"

namespace {

constexpr unsigned ENG = SRV_ENGINEERING | SRV_METHOD_405;
constexpr unsigned CHANGE = ENG | SRV_STATE_CHANGING;
constexpr int TOOL_TIMEOUT_MS = 30000;
constexpr int OFFSET_TIMEOUT_MS = 3000;
constexpr int OFFSET_NONE = -100000;
const char ZONEINFO[] = "/usr/share/zoneinfo";

bool zone_ok(const std::string &z) {
    if (z == "UTC") return true;
    if (z.empty() || z.size() > 63 || z[0] == '/' || z[0] == '-' ||
        z.find("..") != std::string::npos)
        return false;
    for (char ch : z) {
        bool ok = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') ||
                  (ch >= '0' && ch <= '9') || ch == '_' || ch == '+' || ch == '-' || ch == '/';
        if (!ok) return false;
    }
    struct stat st;
    std::string path = std::string(ZONEINFO) + "/" + z;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Standard (non-summer) UTC offset of a zone in minutes, OFFSET_NONE when
// unknown. The zone is switched in a child so the server's own local time
// never changes; the child is given a time limit.
int zone_std_offset(const std::string &zone) {
    if (zone.empty()) return OFFSET_NONE;
    std::string tz = "TZ=" + zone;  // built before the fork: no allocation there
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return OFFSET_NONE;
    pid_t pid = fork();
    if (pid < 0) {
        close(p[0]);
        close(p[1]);
        return OFFSET_NONE;
    }
    if (pid == 0) {
        close(p[0]);
        putenv(tz.data());
        tzset();
        time_t now = time(nullptr);
        struct tm tmv;
        long off = 0;
        bool found = false;
        for (int d = 0; d <= 360 && !found; d += 30) {
            time_t t = now + time_t(d) * 86400;
            if (!localtime_r(&t, &tmv)) continue;
            if (d == 0) off = tmv.tm_gmtoff;
            if (tmv.tm_isdst <= 0) {
                off = tmv.tm_gmtoff;
                found = true;
            }
        }
        char buf[32];
        int n = snprintf(buf, sizeof buf, "%ld", off / 60);
        ssize_t w = write(p[1], buf, size_t(n));
        _exit(w == n ? 0 : 1);
    }
    close(p[1]);
    std::string got;
    pollfd pfd{p[0], POLLIN, 0};
    for (;;) {
        int r = poll(&pfd, 1, OFFSET_TIMEOUT_MS);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        char buf[32];
        ssize_t n = read(p[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got.append(buf, size_t(n));
        if (got.size() > 16) break;
    }
    close(p[0]);
    kill(pid, SIGKILL);  // harmless when it ended; ends it when it hangs
    int st;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (got.empty()) return OFFSET_NONE;
    char *end = nullptr;
    long v = strtol(got.c_str(), &end, 10);
    if (*end || v < -24 * 60 || v > 24 * 60) return OFFSET_NONE;
    return int(v);
}

void walk_zones(const std::string &base, const std::string &rel, int depth, std::string *out) {
    if (depth > 4) return;
    DIR *d = opendir((base + "/" + rel).c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string &n : names) {
        std::string r = rel + "/" + n;
        struct stat st;
        if (lstat((base + "/" + r).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            walk_zones(base, r, depth + 1, out);
        } else if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) {
            *out += ",\"" + json_escape_str(r) + "\"";
        }
    }
}

void h_timezones(srv_call *c) {
    std::string out = "[\"UTC\"";
    for (const char *area : {"Africa", "America", "Antarctica", "Arctic", "Asia", "Atlantic",
                             "Australia", "Europe", "Indian", "Pacific"})
        walk_zones(ZONEINFO, area, 0, &out);
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, out + "]");
}

std::string timesyncd_conf() {
    const char *e = getenv("ZQNET_TIMESYNCD_CONF");
    return e && *e ? e : "/etc/systemd/timesyncd.conf.d/zqstack.conf";
}

void h_time_config(srv_call *c) {
    eng_run_opts o;
    o.timeout_ms = 5000;
    o.out_max = 16384;
    eng_run_result r;
    eng_run({"timedatectl", "show"}, o, &r);
    std::string zone;
    bool ntp = false, synced = false;
    size_t pos = 0;
    const std::string &t = r.status == 0 ? r.out : std::string();
    while (pos < t.size()) {
        size_t eol = t.find('\n', pos);
        std::string l = t.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
        pos = eol == std::string::npos ? t.size() : eol + 1;
        if (l.rfind("Timezone=", 0) == 0) zone = eng_cut_utf8(l.c_str() + 9, 63);
        if (l.rfind("NTP=", 0) == 0) ntp = l.compare(4, 3, "yes") == 0;
        if (l.rfind("NTPSynchronized=", 0) == 0) synced = l.compare(16, 3, "yes") == 0;
    }
    std::string server, conf;
    FILE *f = fopen(timesyncd_conf().c_str(), "r");
    if (f) {
        char line[512];
        while (fgets(line, sizeof line, f)) {
            if (strncmp(line, "NTP=", 4) != 0) continue;
            std::string v = line + 4;
            while (!v.empty() && (v.back() == '\n' || v.back() == '\r'))
                v.pop_back();
            server = eng_cut_utf8(v.c_str(), 127);
            break;
        }
        fclose(f);
    }
    char now[32];
    time_t tt = time(nullptr);
    struct tm tmv;
    localtime_r(&tt, &tmv);
    strftime(now, sizeof now, "%Y-%m-%d %H:%M:%S", &tmv);
    int off = zone_ok(zone) ? zone_std_offset(zone) : OFFSET_NONE;
    std::string out = std::string("{\"ok\":true,\"timezone\":\"") + json_escape_str(zone) +
                      "\",\"ntp\":" + (ntp ? "true" : "false") +
                      ",\"ntp_synced\":" + (synced ? "true" : "false") + ",\"ntp_server\":\"" +
                      json_escape_str(server) + "\",\"now\":\"" + now +
                      "\",\"offset_min\":" + std::to_string(off) + "}";
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, out);
}

// logix.time.tz_offset_min, inside the logix section only.
int write_tz_offset(const char *yaml_path, int off) {
    static const char *const names[] = {"logix", "time"};
    const yaml_edit_path where{names, 2};
    return yaml_edit_file(yaml_path, where, [&](std::string *t) {
        return yaml_edit_set_scalar(t, where, "tz_offset_min", std::to_string(off));
    });
}

void h_timezone(srv_call *c) {
    json_ptr body = eng_body_object(c);
    if (!body) return;
    std::string zone = json_gets(body.get(), "zone", "");
    if (!zone_ok(zone)) return eng_fail(c, 400, "bad zone");
    std::string err = eng_zqnet({"tz-set", zone}, "tz-set failed", TOOL_TIMEOUT_MS);
    if (!err.empty()) return eng_fail(c, 400, err);
    int off = zone_std_offset(zone);
    if (off >= -99999) {
        int rc = write_tz_offset(c->st->cfg.yaml_path, off);
        if (rc != YAML_EDIT_OK)
            fprintf(stderr, "zqserver: tz_offset_min not written: %s\n", yaml_edit_strerror(rc));
    }
    eng_audit(c, "sys/timezone " + zone);
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8,
                   "{\"ok\":true,\"zone\":\"" + json_escape_str(zone) +
                       "\",\"offset_min\":" + std::to_string(off) + "}");
}

bool server_ok(const std::string &s) {
    if (s.size() > 253 || s[0] == '-') return false;
    for (char ch : s) {
        bool ok = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') ||
                  (ch >= '0' && ch <= '9') || ch == '-' || ch == '.';
        if (!ok) return false;
    }
    return true;
}

void h_ntp(srv_call *c) {
    json_ptr body = eng_body_object(c);
    if (!body) return;
    const json_node *en = json_get(body.get(), "enabled");
    bool on = en && ((en->type == JSON_BOOL && en->boolean) ||
                     (en->type == JSON_NUMBER && en->number == 1));
    std::string server = json_gets(body.get(), "server", "");
    if (server.size() > 127 || (!server.empty() && !server_ok(server)))
        return eng_fail(c, 400, "bad server");
    std::vector<std::string> args{"ntp-set", on ? "1" : "0"};
    if (!server.empty()) args.push_back(server);
    std::string err = eng_zqnet(args, "ntp-set failed", TOOL_TIMEOUT_MS);
    if (!err.empty()) return eng_fail(c, 400, err);
    eng_audit(c,
              std::string("sys/ntp ") + (on ? "on" : "off") + (server.empty() ? "" : " ") + server);
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, "{\"ok\":true}");
}

// "YYYY-MM-DD HH:MM:SS" naming a real moment.
bool datetime_ok(const std::string &s) {
    if (s.size() != 19) return false;
    for (size_t i = 0; i < 19; i++) {
        char want = i == 4 || i == 7 ? '-' : i == 10 ? ' ' : i == 13 || i == 16 ? ':' : 'd';
        if (want == 'd' ? (s[i] < '0' || s[i] > '9') : s[i] != want) return false;
    }
    int y = atoi(s.c_str()), mo = atoi(s.c_str() + 5), d = atoi(s.c_str() + 8);
    int h = atoi(s.c_str() + 11), mi = atoi(s.c_str() + 14), se = atoi(s.c_str() + 17);
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1970 || y > 2099 || mo < 1 || mo > 12 || h > 23 || mi > 59 || se > 59) return false;
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    int dmax = days[mo - 1] + (mo == 2 && leap ? 1 : 0);
    return d >= 1 && d <= dmax;
}

void h_clock(srv_call *c) {
    json_ptr body = eng_body_object(c);
    if (!body) return;
    std::string dt = json_gets(body.get(), "datetime", "");
    if (!datetime_ok(dt)) return eng_fail(c, 400, "bad datetime");
    std::string err = eng_zqnet({"clock-set", dt}, "clock-set failed", TOOL_TIMEOUT_MS);
    if (!err.empty()) return eng_fail(c, 400, err);
    eng_audit(c, "sys/clock " + dt);
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, "{\"ok\":true}");
}

const srv_route routes[] = {
    {SRV_READ, "/api/eng/sys/timezones", h_timezones, ENG},
    {SRV_READ, "/api/eng/sys/time-config", h_time_config, ENG},
    {SRV_POST, "/api/eng/sys/timezone", h_timezone, CHANGE},
    {SRV_POST, "/api/eng/sys/ntp", h_ntp, CHANGE},
    {SRV_POST, "/api/eng/sys/clock", h_clock, CHANGE},
};

}  // namespace

std::span<const srv_route> eng_time_routes() {
    return routes;
}
