// Engineering endpoints on config.yaml and the small project files: read,
// check and save the configuration, set single keys through the section
// editor, the alarm definitions and ip names, the legacy ini, and the
// engineer's direct channel write.

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/atomic_file.h"
#include "common/cfg_check.h"
#include "common/cp1251.h"
#include "common/json.h"
#include "common/log.h"
#include "common/parse_util.h"
#include "common/yaml_edit.h"
#include "server/ctrllog.h"
#include "server/eng_core.h"
#include "server/eng_handlers.h"
#include "server/rt_common.h"
#include "server/rt_meta.h"

namespace {

constexpr size_t CONFIG_MAX = 8u << 20;

std::string issues_json(const std::vector<cfg_issue> &v, int sev) {
    std::string s = "[";
    bool first = true;
    for (const cfg_issue &i : v) {
        if (i.severity != sev) continue;
        if (!first) s += ',';
        first = false;
        s += "{\"line\":" + std::to_string(i.line) + ",\"msg\":\"" + json_escape_str(i.msg) + "\"}";
    }
    return s + "]";
}

// The "text" member of the body; false (reply filled) when it is missing.
bool body_text(srv_call *c, std::string *text) {
    json_ptr body = eng_body_object(c);
    if (!body) return false;
    const json_node *t = json_get(body.get(), "text");
    if (!t || t->type != JSON_STRING) {
        eng_fail(c, 400, "немає поля text");
        return false;
    }
    *text = t->string;
    return true;
}

// Writes a JSON body that must have the member `member` to `path`.
void save_json_file(srv_call *c, const std::string &path, const char *member, const char *missing,
                    const char *audit) {
    json_ptr root(json_parse(c->req->body.c_str()));
    if (!root) return eng_fail(c, 400, "невалідний JSON");
    if (!json_get(root.get(), member)) return eng_fail(c, 400, missing);
    if (atomic_file_write(path, c->req->body) != 0)
        return eng_fail(c, 500, "не відкрити " + path + ": " + strerror(errno));
    eng_audit(c, audit);
    eng_ok(c, "збережено");
}

long long mono_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

bool wait_fd(int fd, short ev, long long deadline) {
    for (;;) {
        long long left = deadline - mono_ms();
        if (left <= 0) return false;
        pollfd p{fd, ev, 0};
        int n = poll(&p, 1, (int)left);
        if (n < 0 && errno == EINTR) continue;
        return n > 0;
    }
}

// POSTs a JSON body to http://host[:port]<path>, all within timeout_ms;
// true on a 2xx answer.
bool http_post(const char *url, const char *path, const std::string &body, int timeout_ms) {
    if (strncmp(url, "http://", 7) != 0) return false;
    std::string hostport = url + 7;
    hostport = hostport.substr(0, hostport.find('/'));
    std::string host = hostport, port = "80";
    size_t colon = hostport.rfind(':');
    if (colon != std::string::npos) {
        host = hostport.substr(0, colon);
        port = hostport.substr(colon + 1);
    }
    if (host.empty() || host.size() > 127) return false;
    long long deadline = mono_ms() + timeout_ms;
    addrinfo hints{}, *ai = nullptr;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &ai) != 0 || !ai) return false;
    int fd = socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    bool ok = fd >= 0;
    if (ok) {
        int rc = connect(fd, ai->ai_addr, ai->ai_addrlen);
        ok = rc == 0 || (errno == EINPROGRESS && wait_fd(fd, POLLOUT, deadline));
        int err = 0;
        socklen_t len = sizeof err;
        if (ok) ok = getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    }
    freeaddrinfo(ai);
    std::string req =
        "POST " + std::string(path) + " HTTP/1.1\r\nHost: " + hostport +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nConnection: close\r\n\r\n" + body;
    size_t off = 0;
    while (ok && off < req.size()) {
        ssize_t n = send(fd, req.data() + off, req.size() - off, MSG_NOSIGNAL);
        if (n > 0)
            off += (size_t)n;
        else if (n < 0 && (errno == EAGAIN || errno == EINTR))
            ok = wait_fd(fd, POLLOUT, deadline);
        else
            ok = false;
    }
    std::string reply;
    char buf[512];
    while (ok && reply.find("\r\n") == std::string::npos && reply.size() < 4096) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n > 0)
            reply.append(buf, (size_t)n);
        else if (n < 0 && (errno == EAGAIN || errno == EINTR))
            ok = wait_fd(fd, POLLIN, deadline);
        else
            ok = false;
    }
    if (fd >= 0) close(fd);
    return ok && reply.size() > 12 && reply.compare(0, 5, "HTTP/") == 0 && reply[9] == '2';
}

void reply_edit(srv_call *c, int rc, const std::string &audit, const std::string &msg) {
    if (rc != YAML_EDIT_OK)
        return eng_fail(c, rc == YAML_EDIT_UNREADABLE ? 404 : 500,
                        std::string("config.yaml: ") + yaml_edit_strerror(rc));
    eng_audit(c, audit);
    eng_ok(c, msg);
}

}  // namespace

void eng_h_config_get(srv_call *c) {
    std::string text;
    if (zq_read_file_max(c->st->cfg.yaml_path, CONFIG_MAX, &text) != 0)
        return eng_fail(c, 404, "no config.yaml");
    srv_reply_body(c->reply, 200, "text/plain; charset=utf-8", std::move(text));
}

void eng_h_config_validate(srv_call *c) {
    std::string text;
    if (!body_text(c, &text)) return;
    std::vector<cfg_issue> issues;
    if (cfg_check(text, &issues) < 0)
        return srv_reply_body(c->reply, 200, SRV_JSON_UTF8,
                              "{\"ok\":false,\"errors\":[{\"line\":0,\"msg\":\"OOM\"}],"
                              "\"warnings\":[]}");
    bool ok = !cfg_check_has_errors(issues);
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8,
                   std::string("{\"ok\":") + (ok ? "true" : "false") +
                       ",\"errors\":" + issues_json(issues, CFG_ERROR) +
                       ",\"warnings\":" + issues_json(issues, CFG_WARNING) + "}");
}

void eng_h_config_save(srv_call *c) {
    std::string text;
    if (!body_text(c, &text)) return;
    if (text.size() > CONFIG_MAX) return eng_fail(c, 400, "config.yaml завеликий");
    std::vector<cfg_issue> issues;
    if (cfg_check(text, &issues) < 0) return eng_fail(c, 500, "OOM");
    for (const cfg_issue &i : issues) {
        if (i.severity != CFG_ERROR) continue;
        std::string first = "Рядок " + std::to_string(i.line) + ": " + i.msg;
        return srv_reply_body(c->reply, 400, SRV_JSON_UTF8,
                              "{\"ok\":false,\"error\":\"" + json_escape_str(first) +
                                  "\",\"errors\":" + issues_json(issues, CFG_ERROR) +
                                  ",\"warnings\":" + issues_json(issues, CFG_WARNING) + "}");
    }
    int rc;
    {
        // The same lock as every key edit of config.yaml: no edit is lost.
        std::lock_guard<std::mutex> lk(yaml_edit_mutex());
        rc = atomic_file_write(c->st->cfg.yaml_path, text.data(), text.size());
    }
    if (rc != 0)
        return eng_fail(
            c, 500, std::string("write failed ") + c->st->cfg.yaml_path + ": " + strerror(errno));
    eng_audit(c, "config save");
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8,
                   "{\"ok\":true,\"msg\":\"збережено\",\"warnings\":" +
                       issues_json(issues, CFG_WARNING) + "}");
}

void eng_h_alarm_central(srv_call *c) {
    json_ptr body = eng_body_object(c);
    if (!body) return;
    std::string url = json_gets(body.get(), "url", json_gets(body.get(), "central_url", ""));
    if (url.size() > 255 || url.find_first_of("\r\n\"\\") != std::string::npos ||
        (!url.empty() && url.compare(0, 7, "http://") != 0))
        return eng_fail(c, 400, "central_url має бути http://host[:port]");
    static const char *const names[] = {"alarm"};
    int rc = yaml_edit_file(c->st->cfg.yaml_path, yaml_edit_path{names, 1}, [&](std::string *t) {
        return yaml_edit_set_scalar(t, yaml_edit_path{names, 1}, "central_url",
                                    eng_yaml_quoted(url));
    });
    // The running server answers with the new address at once.
    if (rc == YAML_EDIT_OK) srv_live_set_central_url(c->st, url);
    reply_edit(c, rc, "alarm-central " + url, "збережено");
}

void eng_h_autosync_threshold(srv_call *c) {
    json_ptr body = eng_body_object(c);
    if (!body) return;
    const json_node *v = nullptr;
    for (const char *k : {"ms", "value", "threshold_ms", "autosync_threshold_ms"})
        if (!v) v = json_get(body.get(), k);
    double ms = v && v->type == JSON_STRING ? zq_strtod_c(v->string, nullptr) : json_num_of(v, NAN);
    if (!std::isfinite(ms) || ms < 1 || ms > 3600000 || ms != std::floor(ms))
        return eng_fail(c, 400, "поріг має бути цілим числом мс 1..3600000");
    std::string val = std::to_string((long long)ms);
    static const char *const names[] = {"logix", "time"};
    int rc = yaml_edit_file(c->st->cfg.yaml_path, yaml_edit_path{names, 2}, [&](std::string *t) {
        return yaml_edit_set_scalar(t, yaml_edit_path{names, 2}, "autosync_threshold_ms", val);
    });
    if (rc == YAML_EDIT_OK) c->st->live.autosync_threshold_ms = (int)ms;
    reply_edit(c, rc, "plc-autosync-threshold " + val, "збережено");
}

void eng_h_write(srv_call *c) {
    json_ptr root = eng_body_object(c);
    if (!root) return;
    const json_node *tagn = json_get(root.get(), "tag");
    const json_node *valn = json_get(root.get(), "value");
    if (!tagn || tagn->type != JSON_STRING || !valn)
        return srv_reply_json(c->reply, 400, "{\"error\":\"need tag and value\"}");
    double value = NAN;
    if (valn->type == JSON_NUMBER || valn->type == JSON_BOOL) {
        value = json_num_of(valn, NAN);
    } else if (valn->type == JSON_STRING) {
        char *end = nullptr;
        double d = zq_strtod_c(valn->string, &end);
        if (end && end != valn->string && *end == 0) value = d;
    }
    if (!std::isfinite(value)) return srv_reply_json(c->reply, 400, "{\"error\":\"bad value\"}");
    char kind;
    long n;
    if (!rt_parse_tag(tagn->string, &kind, &n))
        return srv_reply_json(c->reply, 400, "{\"error\":\"tag out of range\"}");
    char tag[32];
    snprintf(tag, sizeof tag, "%c%ld", kind, n);
    std::string page = std::string("eng:") + (c->user ? c->user : "");
    srv_meta *m = &c->st->meta;
    if (kind == 'A') {
        ShmWriteSlot *slot = shm_an_write_slot(c->db, n);
        const ShmAnalog *rec = shm_analog(c->db, n);
        double raw = meta_to_code(m, n, value);
        if (!slot || !rec || !std::isfinite(raw))
            return srv_reply_json(c->reply, 400, "{\"error\":\"tag out of range\"}");
        double from = meta_to_phys(m, n, rec->value);
        shm_post_write(slot, raw);
        ctrllog_analog(c->req->client_ip, page.c_str(), tag, meta_an_desc(m, n).c_str(), from,
                       value);
    } else {
        ShmWriteSlot *slot = shm_di_write_slot(c->db, n);
        const ShmDiscrete *rec = shm_discrete(c->db, n);
        if (!slot || !rec) return srv_reply_json(c->reply, 400, "{\"error\":\"tag out of range\"}");
        double v = value != 0 ? 1.0 : 0.0;
        shm_post_write(slot, v);
        ctrllog_discrete(c->req->client_ip, page.c_str(), tag, meta_di_desc(m, n).c_str(),
                         rec->value ? 1 : 0, (int)v);
    }
    char action[96];
    snprintf(action, sizeof action, "write %s=%.10g", tag, value);
    eng_audit(c, action);
    srv_reply_json(c->reply, 200, "{\"ok\":true}");
}

void eng_h_ini(srv_call *c) {
    std::string raw;
    if (zq_read_file_max(c->st->cfg.legacy_ini, CONFIG_MAX, &raw) != 0)
        return eng_fail(c, 404, "no ini");
    srv_reply_body(c->reply, 200, "text/plain; charset=utf-8", cp1251_to_utf8(raw));
}

void eng_h_alarms_get(srv_call *c) {
    std::string text;
    std::string path = std::string(c->st->cfg.alarm_dir) + "/alarm.json";
    if (zq_read_file_max(path.c_str(), CONFIG_MAX, &text) != 0)
        return srv_reply_body(c->reply, 404, SRV_JSON_UTF8, "{\"error\":\"no alarm.json\"}");
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, std::move(text));
}

void eng_h_alarms_post(srv_call *c) {
    std::string dir = c->st->cfg.alarm_dir;
    zq_mkdirs(dir.c_str(), 0755);
    save_json_file(c, dir + "/alarm.json.import", "events", "немає масиву events", "alarms save");
}

void eng_h_ip_names_get(srv_call *c) {
    std::string text;
    if (zq_read_file_max("ip_names.json", CONFIG_MAX, &text) != 0) text = "{\"names\":[]}";
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, std::move(text));
}

void eng_h_ip_names_post(srv_call *c) {
    save_json_file(c, "ip_names.json", "names", "немає масиву names", "ip-names save");
    std::string central = srv_live_central_url(c->st);
    if (c->reply->status != 200 || central.empty()) return;
    // The local file is what counts; the central copy is best effort and
    // must not hold the engineer's request for long.
    if (!http_post(central.c_str(), "/api/alarms/ip-names", c->req->body, 3000))
        log_msg("ip-names: forward to %s failed", central.c_str());
}
