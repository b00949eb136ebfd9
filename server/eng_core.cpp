#include "server/eng_core.h"

#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "common/json.h"
#include "common/parse_util.h"

bool eng_is_password_user(const srv_call *c) {
    return c->user && strcmp(c->user, ENG_PASSWORD_USER) == 0;
}

int eng_tokens_count(const srv_state *st) {
    std::string text;
    if (access(st->cfg.tokens_file, F_OK) != 0 && errno == ENOENT) return 0;
    if (zq_read_file_max(st->cfg.tokens_file, 4u << 20, &text) != 0) return -1;
    json_ptr root(json_parse(text.c_str()));
    const json_node *list = json_get(root.get(), "tokens");
    if (!list || list->type != JSON_ARRAY) return -1;
    int n = 0;
    for (const json_node *t = list->child; t; t = t->next)
        n++;
    return n;
}

// Cuts to at most `max` bytes without splitting a UTF-8 sequence.
static std::string cut_utf8(const char *s, size_t max) {
    size_t n = strlen(s);
    if (n <= max) return s;
    while (n > max || (n > 0 && ((unsigned char)s[n] & 0xC0) == 0x80))
        n--;
    return std::string(s, n);
}

int eng_audit(const srv_call *c, const char *action) {
    time_t now = time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    char day[16], ts[32];
    strftime(day, sizeof day, "%Y%m%d", &lt);
    strftime(ts, sizeof ts, "%Y-%m-%dT%H:%M:%S", &lt);
    const char *dir = c->st->cfg.logcontrolpath[0] ? c->st->cfg.logcontrolpath : "./logs";
    zq_mkdirs(dir, 0755);
    std::string path = std::string(dir) + "/eng_audit-" + day + ".log";
    std::string line = std::string("{\"ts\":\"") + ts + "\",\"who\":\"" +
                       json_escape_str(cut_utf8(c->user ? c->user : "", 127)) + "\",\"ip\":\"" +
                       json_escape_str(c->req ? c->req->client_ip : "") + "\",\"action\":\"" +
                       json_escape_str(cut_utf8(action, 127)) + "\"}\n";
    // One O_APPEND write per line: lines of concurrent requests never mix.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return -1;
    ssize_t w = write(fd, line.data(), line.size());
    int rc = (w == (ssize_t)line.size()) ? 0 : -1;
    if (close(fd) != 0) rc = -1;
    return rc;
}
