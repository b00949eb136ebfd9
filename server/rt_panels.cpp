// Panel files (.ks) and panel projects (.ksp) of the panel editor:
// /api/ksp/list, save, frame and /api/ksp/proj/list, open, save; and the
// ".ks?wd=" form of a panel path.

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/atomic_file.h"
#include "common/parse_util.h"
#include "server/ksp_cache.h"
#include "server/rt_common.h"
#include "server/rt_meta.h"
#include "server/srv_routes.h"
#include "server/srv_static.h"

namespace {

bool name_chars(const char *s, size_t n) {
    for (size_t i = 0; i < n; i++) {
        char c = s[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-'))
            return false;
    }
    return n > 0;
}

bool proj_path_ok(const char *f) {
    if (!f[0] || f[0] == '/') return false;
    std::string s = f;
    size_t pos = 0;
    for (;;) {
        size_t sl = s.find('/', pos);
        std::string el = s.substr(pos, sl == std::string::npos ? std::string::npos : sl - pos);
        if (el == "..") return false;
        if (sl == std::string::npos) break;
        pos = sl + 1;
    }
    return true;
}

// JSON array of the files with extension `ext` in root and its direct
// subdirectories, sorted, cut to `cap` bytes.
std::string list_files(const std::string &root, const char *ext, size_t cap) {
    std::vector<std::string> names;
    auto scan = [&](const std::string &dir, const std::string &prefix, bool recurse) {
        DIR *d = opendir(dir.c_str());
        if (!d) return std::vector<std::string>();
        std::vector<std::string> subs;
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::string full = dir + "/" + e->d_name;
            struct stat st;
            if (stat(full.c_str(), &st) != 0) continue;
            if (S_ISDIR(st.st_mode)) {
                if (recurse) subs.push_back(e->d_name);
            } else if (S_ISREG(st.st_mode) && zq_ends_with(e->d_name, ext)) {
                names.push_back(prefix + e->d_name);
            }
        }
        closedir(d);
        return subs;
    };
    for (auto &s : scan(root, "", true))
        scan(root + "/" + s, s + "/", false);
    std::sort(names.begin(), names.end());
    std::string out = "[";
    bool first = true;
    for (auto &n : names) {
        std::string item = (first ? "\"" : ",\"") + rt_esc(n.c_str()) + "\"";
        if (out.size() + item.size() + 1 > cap) break;
        out += item;
        first = false;
    }
    out += "]";
    return out;
}

void ksp_msg(srv_call *c, int status, const char *msg) {
    srv_reply_json(c->reply, status, std::string("{\"ok\":false,\"msg\":\"") + msg + "\"}");
}

// Project endpoints answer 503 until a project directory is configured.
bool have_projdir(srv_call *c) {
    if (c->st->cfg.ksp_projdir[0]) return true;
    ksp_msg(c, 503, "ksp_projdir not configured");
    return false;
}

const char LAUNCHER_HEAD[] =
    "<!DOCTYPE html><html><head><meta "
    "charset=\"UTF-8\"><script>location.replace('/ksp_viewer.htm?cfg=";

// What the panel module needs of this server for one request: its folders,
// the database's channel counts and the live value as /api/poll gives it.
ksp_env panel_env(srv_call *c) {
    ksp_env env;
    env.wwwdir = c->st->cfg.wwwdir;
    env.sys_wwwdir = c->st->cfg.sys_wwwdir;
    env.trend_dir = c->st->cfg.trends_dir;
    if (c->db) {
        // The database counts slot 0, which carries no channel.
        env.an_count = (int)c->db->layout.an_count - 1;
        env.di_count = (int)c->db->layout.di_count - 1;
    }
    env.live = [c](const char *tag, double *out) {
        char kind;
        long n;
        const ShmHandle *h = c->db;
        if (!h || !rt_parse_tag(tag, &kind, &n)) return false;
        if (kind == 'A') {
            const ShmAnalog *a = shm_analog(h, n);
            if (!a || a->quality != 1) return false;
            *out = meta_to_phys(&c->st->meta, n, a->value);
            return true;
        }
        const ShmDiscrete *d = shm_discrete(h, n);
        if (!d || d->quality != 1) return false;
        *out = d->value ? 1 : 0;
        return true;
    };
    return env;
}

void h_frame(srv_call *c) {
    char cfgq[512];
    if (!http_query_param(c->req, "cfg", cfgq, sizeof cfgq) || !cfgq[0]) {
        srv_reply_text(c->reply, 400, "need ?cfg=");
        return;
    }
    ksp_env env = panel_env(c);
    std::string json;
    if (!ksp_frame_json(&env, cfgq, &json)) return srv_reply_text(c->reply, 404, "Bad cfg");
    srv_reply_json(c->reply, 200, std::move(json));
}

void h_list(srv_call *c) {
    srv_reply_json(c->reply, 200, list_files(c->st->cfg.wwwdir, ".ks", 8192));
}

// Saves a panel below wwwdir (?f=name.ks, optional ?dir=sub) and a launcher
// page name.htm that opens it in the viewer.
void h_save(srv_call *c) {
    const http_request *req = c->req;
    char f[256] = "", dir[256] = "";
    http_query_param(req, "f", f, sizeof f);
    bool has_dir = http_query_param(req, "dir", dir, sizeof dir) && dir[0];
    size_t fl = strlen(f);
    if (fl < 4 || !zq_ends_with(f, ".ks")) return ksp_msg(c, 400, "invalid filename");
    if (!name_chars(f, fl - 3)) return ksp_msg(c, 400, "invalid chars");
    if (has_dir && !name_chars(dir, strlen(dir))) return ksp_msg(c, 400, "invalid dir");
    if (req->body.empty()) return ksp_msg(c, 400, "empty body");
    std::string base = c->st->cfg.wwwdir;
    if (has_dir) {
        base += "/";
        base += dir;
        mkdir(base.c_str(), 0755);
    }
    std::string target = base + "/" + f;
    if (atomic_file_write(target, req->body) != 0) return ksp_msg(c, 500, "write failed");
    std::string page = target.substr(0, target.size() - 3) + ".htm";
    // The launcher replaces only an earlier launcher: a panel named like
    // an existing page must not overwrite that page.
    std::string old;
    bool ok = zq_read_file_max(page.c_str(), 1u << 20, &old) == 0;
    struct stat st;
    bool absent = lstat(page.c_str(), &st) != 0 && errno == ENOENT;
    if (absent || (ok && old.compare(0, sizeof LAUNCHER_HEAD - 1, LAUNCHER_HEAD) == 0)) {
        std::string cfgv = has_dir ? std::string(dir) + "/" + f : std::string(f);
        std::string html =
            std::string(LAUNCHER_HEAD) + cfgv + "');</script></head><body></body></html>\n";
        atomic_file_write(page, html);
    }
    srv_reply_json(c->reply, 200, "{\"ok\":true}");
}

void h_proj_list(srv_call *c) {
    if (!have_projdir(c)) return;
    srv_reply_json(c->reply, 200, list_files(c->st->cfg.ksp_projdir, ".ksp", 16384));
}

void h_proj_open(srv_call *c) {
    if (!have_projdir(c)) return;
    char f[512] = "";
    http_query_param(c->req, "f", f, sizeof f);
    std::string s;
    bool ok =
        proj_path_ok(f) && zq_read_file_max((std::string(c->st->cfg.ksp_projdir) + "/" + f).c_str(),
                                            64u << 20, &s) == 0;
    if (!ok) return ksp_msg(c, 404, "not found");
    srv_reply_body(c->reply, 200, "application/xml; charset=utf-8", std::move(s));
}

void h_proj_save(srv_call *c) {
    if (!have_projdir(c)) return;
    const http_request *req = c->req;
    char f[512] = "";
    http_query_param(req, "f", f, sizeof f);
    if (req->body.empty()) return ksp_msg(c, 400, "empty body");
    if (!zq_ends_with(f, ".ksp")) return ksp_msg(c, 400, "must end in .ksp");
    if (!proj_path_ok(f)) return ksp_msg(c, 400, "invalid path");
    std::string target = std::string(c->st->cfg.ksp_projdir) + "/" + f;
    std::string d = zq_dir_of(target.c_str());
    mkdir(d.c_str(), 0755);
    if (atomic_file_write(target, req->body) != 0) return ksp_msg(c, 500, "write failed");
    srv_reply_json(c->reply, 200, "{\"ok\":true}");
}

void h_not_found(srv_call *c) {
    srv_reply_not_found(c->reply);
}

// A panel drawn as a picture (?wd=&hg=); without ?wd= it is a plain file.
// The picture is never kept by the browser: it shows the present.
void h_panel_file(srv_call *c) {
    char wd[16], hg[16] = "";
    if (!http_query_param(c->req, "wd", wd, sizeof wd)) return srv_static_request(c);
    http_query_param(c->req, "hg", hg, sizeof hg);
    ksp_env env = panel_env(c);
    std::string svg;
    if (!ksp_render_svg(&env, c->req->path, atoi(wd), hg[0] ? atoi(hg) : 0, &svg))
        return srv_reply_not_found(c->reply);
    srv_reply_file(c->reply, "image/svg+xml", false, std::move(svg));
}

const srv_route routes[] = {
    {SRV_READ, "/api/ksp/frame", h_frame, 0},
    {SRV_READ, "/api/ksp/list", h_list, 0},
    {SRV_POST, "/api/ksp/save", h_save, SRV_STATE_CHANGING},
    {SRV_READ, "/api/ksp/proj/list", h_proj_list, 0},
    {SRV_READ, "/api/ksp/proj/open", h_proj_open, 0},
    {SRV_POST, "/api/ksp/proj/save", h_proj_save, SRV_STATE_CHANGING},
    {SRV_ANY, "/api/ksp/", h_not_found, SRV_PREFIX},
    // After every /api/ entry: a suffix entry would hide them.
    {SRV_READ, ".ks", h_panel_file, SRV_SUFFIX},
};

}  // namespace

std::span<const srv_route> rt_panels_routes() {
    return routes;
}
