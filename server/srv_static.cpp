#include "server/srv_static.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "common/parse_util.h"
#include "server/srv_routes.h"

const char *srv_content_type(const char *path, bool *cacheable) {
    const char *dot = strrchr(path, '.');
    const char *slash = strrchr(path, '/');
    *cacheable = false;
    if (!dot || (slash && dot < slash)) return "application/octet-stream";
    struct {
        const char *ext, *type;
        bool cache;
    } static const tab[] = {
        {".html", "text/html", false},
        {".htm", "text/html", false},
        {".js", "application/javascript", true},
        {".css", "text/css", true},
        {".ico", "image/x-icon", false},
        {".xml", "application/xml; charset=utf-8", false},
        {".ks", "application/xml; charset=utf-8", false},
        {".svg", "image/svg+xml", true},
        {".png", "image/png", true},
        {".gif", "image/gif", true},
        {".jpg", "image/jpeg", true},
        {".jpeg", "image/jpeg", true},
    };
    for (const auto &t : tab) {
        if (strcmp(dot, t.ext) == 0) {
            *cacheable = t.cache;
            return t.type;
        }
    }
    return "application/octet-stream";
}

std::string http_rewrite_ks_links(const std::string &html) {
    static const char scheme[] = "http://";
    const size_t sl = sizeof scheme - 1;
    std::string out;
    out.reserve(html.size());
    size_t pos = 0;
    for (;;) {
        size_t at = html.find(scheme, pos);
        if (at == std::string::npos) break;
        out.append(html, pos, at - pos);
        size_t h = at + sl;
        size_t he = h;
        while (he < html.size() && !strchr("/\n\r \"'<", html[he]))
            he++;
        bool rewrite = false;
        size_t pe = he;
        if (he > h && he < html.size() && html[he] == '/') {
            while (pe < html.size() && !strchr("\n\r \"'<>?", html[pe]))
                pe++;
            rewrite = pe - he >= 3 && html.compare(pe - 3, 3, ".ks") == 0;
        }
        if (rewrite) {
            pos = he;  // the path stays, scheme and host go
        } else {
            out.append(scheme);
            pos = h;
        }
    }
    out.append(html, pos, std::string::npos);
    return out;
}

std::string srv_resolve_under(const char *root, const char *path) {
    if (!root || !*root) return std::string();
    char rroot[PATH_MAX];
    if (!realpath(root, rroot)) return std::string();
    std::string want = std::string(root) + path;
    char rfile[PATH_MAX];
    if (!realpath(want.c_str(), rfile)) return std::string();
    size_t rl = strlen(rroot);
    bool inside =
        strncmp(rfile, rroot, rl) == 0 && (rfile[rl] == '/' || (rl == 1 && rroot[0] == '/'));
    if (!inside) return std::string();
    struct stat st;
    if (stat(rfile, &st) != 0 || !S_ISREG(st.st_mode)) return std::string();
    return rfile;
}

// Reads a page from the descriptor already open, at most `size` bytes (its
// size when opened); false when it is too big for memory.
static bool read_open_file(int fd, off_t size, std::string *out) {
    if (size < 0 || size > (off_t)256 << 20) return false;
    try {
        out->resize((size_t)size);
    } catch (const std::bad_alloc &) {
        return false;
    }
    size_t got = 0;
    while (got < out->size()) {
        ssize_t n = read(fd, &(*out)[got], out->size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += (size_t)n;
    }
    out->resize(got);
    return true;
}

void srv_static_serve(srv_call *c, const char *path) {
    srv_reply *r = c->reply;
    const srv_config &cfg = c->st->cfg;
    if (strstr(path, "..") || path[0] != '/') return srv_reply_text(r, 400, "Bad path");
    if (strcmp(path, "/") == 0) path = "/screen1.html";
    std::string file = srv_resolve_under(cfg.wwwdir, path);
    if (file.empty() && cfg.sys_wwwdir[0]) file = srv_resolve_under(cfg.sys_wwwdir, path);
    if (file.empty()) return srv_reply_not_found(r);

    bool cache;
    const char *type = srv_content_type(path, &cache);
    int in = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return srv_reply_not_found(r);
    struct stat st;
    if (fstat(in, &st) != 0) {
        close(in);
        return srv_reply_not_found(r);
    }
    if (zq_ends_with(path, ".html") || zq_ends_with(path, ".htm")) {
        std::string body;
        bool read_ok = read_open_file(in, st.st_size, &body);
        close(in);
        if (!read_ok) return srv_reply_text(r, 500, "OOM");
        srv_reply_file(r, type, cache, http_rewrite_ks_links(body));
        return;
    }
    srv_reply_file_fd(r, type, cache, in, (long)st.st_size);
}

void srv_static_request(srv_call *c) {
    if (c->req->path_has_nul) return srv_reply_text(c->reply, 400, "Bad path");
    srv_static_serve(c, c->req->path);
}

namespace {

// Every path the entries before leave: files for GET and HEAD, 404 else.
const srv_route routes[] = {
    {SRV_READ, "", srv_static_request, SRV_PREFIX},
};

}  // namespace

std::span<const srv_route> srv_static_routes() {
    return routes;
}
