#include "trend_config.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "common/channels.h"
#include "common/cp1251.h"
#include "common/ini.h"
#include "common/json.h"
#include "common/parse_util.h"
#include "common/yaml.h"

const char *trend_fmt_name(int fmt) {
    return fmt == TREND_FMT_V2 ? "v2.1" : "v1";
}

static std::string trim(const std::string &s) {
    size_t a = 0, b = s.size();
    while (a < b && (s[a] == ' ' || s[a] == '\t' || s[a] == '\r' || s[a] == '\n'))
        a++;
    while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\r' || s[b - 1] == '\n'))
        b--;
    return s.substr(a, b - a);
}

// Paths of 511 characters or more are left as they are.
static std::string with_slash(std::string p) {
    if (p.size() > 511) p.resize(511);
    if (!p.empty() && p.size() < 511 && p.back() != '/') p += '/';
    return p;
}

static bool node_num(const json_node *n, double *out) {
    if (!n) return false;
    if (n->type == JSON_NUMBER) {
        *out = n->number;
        return true;
    }
    if (n->type == JSON_STRING && n->string) {
        char *end;
        double v = strtod(n->string, &end);
        if (end != n->string && *end == 0) {
            *out = v;
            return true;
        }
    }
    return false;
}

static int cfg_int(const json_node *obj, const char *key, int def) {
    double v;
    if (!node_num(json_get(obj, key), &v) || !(v > -2147483648.0 && v < 2147483647.0)) return def;
    return (int)v;
}

static bool cfg_bool(const json_node *obj, const char *key, bool def) {
    const json_node *n = json_get(obj, key);
    if (!n) return def;
    if (n->type == JSON_BOOL) return n->boolean != 0;
    if (n->type == JSON_NUMBER) return n->number != 0;
    if (n->type == JSON_STRING && n->string) {
        const char *s = n->string;
        if (!strcasecmp(s, "no") || !strcasecmp(s, "false") || !strcasecmp(s, "off") ||
            !strcmp(s, "0"))
            return false;
        return true;
    }
    return def;
}

static std::string cfg_str(const json_node *obj, const char *key) {
    const json_node *n = json_get(obj, key);
    if (!n) return "";
    if (n->type == JSON_STRING && n->string) return n->string;
    return "";
}

// "A12" / " d7,..." → letter and number; false for anything else.
static bool parse_item(const std::string &item, char *letter, int *num) {
    size_t i = 0;
    while (i < item.size() && (item[i] == ' ' || item[i] == '\t'))
        i++;
    if (i >= item.size()) return false;
    char c = (char)(item[i] & ~0x20);
    if (c != 'A' && c != 'D') return false;
    i++;
    if (i >= item.size() || item[i] < '0' || item[i] > '9') return false;
    long v = 0;
    while (i < item.size() && item[i] >= '0' && item[i] <= '9' && v < 100000000)
        v = v * 10 + (item[i++] - '0');
    *letter = c;
    *num = (int)v;
    return true;
}

static void scan_items(const json_node *items, int *an, int *di) {
    if (!items) return;
    for (const std::string &line : yaml_items_vec(items)) {
        char l;
        int n;
        if (!parse_item(line, &l, &n) || n > CHANNELS_MAX_NUMBER) continue;
        if (l == 'A')
            *an = std::max(*an, n + 1);
        else
            *di = std::max(*di, n + 1);
    }
}

// Channel numbers end at 32767: larger counts would only size accumulators
// for slots that cannot exist (and a typo could exhaust memory).
static void clamp_counts(trend_config *cfg) {
    cfg->analogs = std::clamp(cfg->analogs, 1, TREND_BASE_MAX);
    cfg->discrets = std::clamp(cfg->discrets, 1, TREND_BASE_MAX);
}

static std::string push_token_for(const std::string &cfg_dir, const std::string &url) {
    std::string path = cfg_dir + "/push_tokens.json";
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || st.st_size > 1024 * 1024) return "";
    json_ptr root(json_parse_file(path.c_str()));
    if (!root) return "";
    const json_node *list = json_get(root.get(), "tokens");
    for (size_t i = 0; list && i < json_count(list); i++) {
        const json_node *t = json_at(list, i);
        const char *u = json_gets(t, "url", nullptr);
        const char *tok = json_gets(t, "token", "");
        if (u && url == u && tok && *tok) return std::string(tok).substr(0, 127);
    }
    return "";
}

static void segment_names_from_env(trend_config *cfg) {
    const char *env = getenv("LOGIX_SHM_NAME");
    if (env && *env) cfg->shm_names.assign(1, env);
}

static int load_yaml(trend_config *cfg, const char *yaml_path, const char *cfg_path) {
    json_ptr root(yaml_parse_file(yaml_path));
    if (!root || root->type != JSON_OBJECT) return -1;
    const json_node *tr = json_get(root.get(), "trends");
    const json_node *lx = json_get(root.get(), "logix");

    int an = -1, di = -1;
    const json_node *groups = json_get(lx, "groups");
    for (size_t i = 0; groups && i < json_count(groups); i++)
        scan_items(json_get(json_at(groups, i), "items"), &an, &di);
    for (const json_node *s = root->child; s; s = s->next)
        if (s->key && strcmp(s->key, "logix") != 0 && s->type == JSON_OBJECT)
            scan_items(json_get(s, "items"), &an, &di);
    if (an > 0) cfg->analogs = an;
    if (di > 0) cfg->discrets = di;
    cfg->analogs = cfg_int(lx, "analogs", cfg->analogs);
    cfg->discrets = cfg_int(lx, "discrets", cfg->discrets);
    clamp_counts(cfg);

    segment_names_from_env(cfg);
    if (cfg->shm_names.empty()) {
        std::string nm = cfg_str(lx, "shm_name");
        if (!nm.empty() && nm != "/logix_drv") {
            cfg->shm_names.push_back(nm);
        } else {
            for (size_t i = 0; groups && i < json_count(groups) && i < TREND_MAX_SEGMENTS; i++) {
                char buf[64];
                snprintf(buf, sizeof buf, "/Logix5000_%d",
                         cfg_int(json_at(groups, i), "id", (int)i));
                cfg->shm_names.push_back(buf);
            }
        }
    }

    cfg->mainpath = with_slash(cfg_str(tr, "mainpath_linux"));
    cfg->altpath = with_slash(cfg_str(tr, "altpath_linux"));
    cfg->altpath2 = with_slash(cfg_str(tr, "altpath2_linux"));
    int mf = cfg_int(tr, "mainpath_format", cfg_int(tr, "format", 1));
    cfg->main_fmt = mf == 2 ? TREND_FMT_V2 : TREND_FMT_V1_PACKED;
    cfg->alt_fmt = cfg_int(tr, "altpath_format", 1) == 2 ? TREND_FMT_V2 : TREND_FMT_V1_PACKED;
    cfg->alt2_fmt = cfg_int(tr, "altpath2_format", 1) == 2 ? TREND_FMT_V2 : TREND_FMT_V1_PACKED;
    cfg->sec = cfg_bool(tr, "sec", true);
    cfg->min = cfg_bool(tr, "min", true);
    cfg->hour = cfg_bool(tr, "hour", true);
    cfg->autodel_sec = cfg_int(tr, "autodelsec", 0);
    cfg->autodel_min = cfg_int(tr, "autodelmin", 0);
    cfg->autodel_hour = cfg_int(tr, "autodelhour", 0);

    const json_node *push = json_get(tr, "push");
    std::string cdir = zq_dir_of(cfg_path);
    for (size_t i = 0; push && i < json_count(push) && cfg->push.size() < TREND_MAX_PUSH; i++) {
        const json_node *p = json_at(push, i);
        std::string url = cfg_str(p, "url");
        if (url.empty()) continue;
        trend_push_dest d;
        d.url = url.substr(0, 255);
        d.deflate = cfg_bool(p, "deflate", false);
        d.token = push_token_for(cdir, d.url);
        if (d.token.empty()) d.token = cfg_str(p, "token").substr(0, 127);
        cfg->push.push_back(d);
    }

    if (cfg->mainpath.empty())
        fprintf(stderr, "trend_config: mainpath_linux порожній у %s — запис трендів вимкнено\n",
                cfg_path);
    else
        printf("trend_config: loaded %s (format main=%s alt=%s alt2=%s)\n", yaml_path,
               trend_fmt_name(cfg->main_fmt), trend_fmt_name(cfg->alt_fmt),
               trend_fmt_name(cfg->alt2_fmt));
    return 0;
}

// Windows path from the legacy INI: drop "X:", '\' → '/', leading and trailing '/'.
static std::string win_path(std::string v) {
    if (v.size() >= 2 && v[1] == ':') v = v.substr(2);
    std::replace(v.begin(), v.end(), '\\', '/');
    if (v.empty()) return v;
    if (v[0] != '/') v = "/" + v;
    return with_slash(v);
}

static int load_ini(trend_config *cfg, const char *path) {
    ini_file ini;
    if (ini_load(path, &ini) != 0) {
        fprintf(stderr, "%s: %s\n", path, strerror(errno));
        return -1;
    }
    std::string mainp, altp, mainl, altl;
    bool env_name = false;
    segment_names_from_env(cfg);
    env_name = !cfg->shm_names.empty();
    std::string shm_name;
    std::vector<std::string> legacy;
    for (const ini_section &sec : ini.sections) {
        const std::string &section = sec.name;
        for (const ini_entry &e : sec.entries) {
            const std::string &k = e.key, &v = e.value;
            if (section == "general") {
                if (k == "analogs")
                    cfg->analogs = atoi(v.c_str());
                else if (k == "discrets")
                    cfg->discrets = atoi(v.c_str());
                else if (k == "shm_name")
                    shm_name = v;
            } else if (section == "trends") {
                if (k == "mainpath")
                    mainp = win_path(v);
                else if (k == "altpath")
                    altp = win_path(v);
                else if (k == "mainpath_linux")
                    mainl = with_slash(v);
                else if (k == "altpath_linux")
                    altl = with_slash(v);
                else if (k == "sec")
                    cfg->sec = v != "no";
                else if (k == "min")
                    cfg->min = v != "no";
                else if (k == "hour")
                    cfg->hour = v != "no";
                else if (k == "autodelsec")
                    cfg->autodel_sec = atoi(v.c_str());
                else if (k == "autodelmin")
                    cfg->autodel_min = atoi(v.c_str());
                else if (k == "autodelhour")
                    cfg->autodel_hour = atoi(v.c_str());
            } else if (section.compare(0, 10, "Logix5000_") == 0 && k == "ipaddr") {
                std::string nm = "/" + section;
                if (legacy.size() < TREND_MAX_SEGMENTS &&
                    std::find(legacy.begin(), legacy.end(), nm) == legacy.end())
                    legacy.push_back(nm);
            }
        }
    }
    if (!env_name) {
        if (!shm_name.empty() && shm_name != "/logix_drv")
            cfg->shm_names.assign(1, shm_name);
        else
            cfg->shm_names = legacy;
    }
    clamp_counts(cfg);
    cfg->mainpath = !mainl.empty() ? mainl : mainp;
    cfg->altpath = !altl.empty() ? altl : altp;
    cfg->main_fmt = cfg->alt_fmt = cfg->alt2_fmt = TREND_FMT_V1_PACKED;
    if (cfg->mainpath.empty()) {
        fprintf(stderr,
                "trend_config: mainpath not set. Add mainpath_linux= to [trends] in ini.\n");
        return -1;
    }
    printf("trend_config: loaded %s (format main=v1 alt=v1 alt2=v1)\n", path);
    return 0;
}

int trend_config_load(trend_config *cfg, const char *cfg_path, const char *base_dir) {
    *cfg = trend_config{};
    cfg->cfg_path = cfg_path;
    std::string bd = base_dir && *base_dir ? base_dir : ".";
    cfg->a_base_path = bd + "/zqbridge.a.base";
    cfg->d_base_path = bd + "/zqbridge.d.base";
    std::string yaml = zq_dir_of(cfg_path) + "/config.yaml";
    if (load_yaml(cfg, yaml.c_str(), cfg_path) == 0) return 0;
    trend_config keep = *cfg;
    *cfg = trend_config{};
    cfg->cfg_path = keep.cfg_path;
    cfg->a_base_path = keep.a_base_path;
    cfg->d_base_path = keep.d_base_path;
    return load_ini(cfg, cfg_path);
}

// ---- channel base ----

// UTF-8 text cut on a character boundary.
static void copy_cut_utf8(char *dst, size_t cap, const char *src) {
    memset(dst, 0, cap);
    if (src) memcpy(dst, src, trend_utf8_fit(src, strlen(src), cap - 1));
}

static int base_from_registry(trend_base *b, const channels_registry &reg) {
    for (int n = 1; n < reg.an_cap; n++) {
        const channel_rec &r = reg.an[n];
        if (!r.used) continue;
        if (trend_grow_an(b, n + 1) != 0) continue;
        trend_an_desc &d = b->an[(size_t)n];
        d = trend_an_desc{};
        char tag[16], desc_cp[256], units_cp[32];
        snprintf(tag, sizeof tag, "A%d", n);
        utf8_to_cp1251(r.desc, desc_cp, sizeof desc_cp);
        utf8_to_cp1251(r.unit, units_cp, 17);
        trend_build_meta_name(d.label, tag, desc_cp, units_cp);
        zq_copy_cut(d.units_cp, sizeof d.units_cp, units_cp);
        copy_cut_utf8(d.desc, sizeof d.desc, r.desc);
        copy_cut_utf8(d.units, sizeof d.units, r.unit);
        d.phys_min = (float)r.phys_min;
        d.phys_max = (float)r.phys_max;
        d.code_min = (float)r.code_min;
        d.code_max = (float)r.code_max;
        d.scaled = r.has_scale ? 1 : 0;
        d.present = 1;
        b->an_max = std::max(b->an_max, n);
    }
    for (int n = 1; n < reg.di_cap; n++) {
        const channel_rec &r = reg.di[n];
        if (!r.used) continue;
        if (trend_grow_di(b, n + 1) != 0) continue;
        trend_di_desc &d = b->di[(size_t)n];
        d = trend_di_desc{};
        char tag[16], desc_cp[256];
        snprintf(tag, sizeof tag, "D%d", n);
        utf8_to_cp1251(r.desc, desc_cp, sizeof desc_cp);
        trend_build_meta_name(d.label, tag, desc_cp, nullptr);
        copy_cut_utf8(d.desc, sizeof d.desc, r.desc);
        d.low = (float)r.phys_min;
        d.high = (float)r.phys_max;
        d.present = 1;
        b->di_max = std::max(b->di_max, n);
    }
    return 0;
}

// Comma-separated line of a legacy table, at most 210 fields, each trimmed.
static std::vector<std::string> split_fields(const std::string &line) {
    std::vector<std::string> out;
    size_t start = 0;
    while (out.size() < 209) {
        size_t c = line.find(',', start);
        if (c == std::string::npos) break;
        out.push_back(trim(line.substr(start, c - start)));
        start = c + 1;
    }
    out.push_back(trim(line.substr(start)));
    for (std::string &f : out) {
        size_t a = f.find_first_not_of(' '), e = f.find_last_not_of(' ');
        f = a == std::string::npos ? "" : f.substr(a, e - a + 1);
    }
    return out;
}

static int legacy_number(const std::string &f) {
    char *end;
    long v = strtol(f.c_str(), &end, 10);
    if (end == f.c_str() || *end != 0 || v < 1) return -1;
    return v > CHANNELS_MAX_NUMBER ? -1 : (int)v;
}

static int read_table(trend_base *b, const char *path, bool analog) {
    FILE *f = fopen(path, "rb");
    if (!f) {
        fprintf(stderr, "%s: %s\n", path, strerror(errno));
        return -1;
    }
    std::string line;
    char buf[4096];
    bool header = true;
    auto handle = [&](std::string &l) {
        while (!l.empty() && (l.back() == '\n' || l.back() == '\r'))
            l.pop_back();
        if (header) {
            header = false;
            return;
        }
        std::vector<std::string> fl = split_fields(l);
        int n = fl.empty() ? -1 : legacy_number(fl[0]);
        if (n < 1) return;
        if (analog) {
            if (fl.size() < 10 || trend_grow_an(b, n + 1) != 0) return;
            trend_an_desc &d = b->an[(size_t)n];
            d = trend_an_desc{};
            std::string units = fl.size() > 10 ? fl[10].substr(0, 15) : "";
            trend_build_meta_name(d.label, fl[1].c_str(), fl[2].c_str(), units.c_str());
            zq_copy_cut(d.units_cp, sizeof d.units_cp, units.c_str());
            cp1251_to_utf8(fl[2].c_str(), d.desc, sizeof d.desc);
            cp1251_to_utf8(units.c_str(), d.units, sizeof d.units);
            d.code_min = strtof(fl[6].c_str(), nullptr);
            d.code_max = strtof(fl[7].c_str(), nullptr);
            d.phys_min = strtof(fl[8].c_str(), nullptr);
            d.phys_max = strtof(fl[9].c_str(), nullptr);
            d.scaled = d.code_max != d.code_min;
            d.present = 1;
            b->an_max = std::max(b->an_max, n);
        } else {
            if (fl.size() < 2 || trend_grow_di(b, n + 1) != 0) return;
            trend_di_desc &d = b->di[(size_t)n];
            d = trend_di_desc{};
            std::string desc = fl.size() > 2 ? fl[2] : "";
            trend_build_meta_name(d.label, fl[1].c_str(), desc.c_str(), nullptr);
            cp1251_to_utf8(desc.c_str(), d.desc, sizeof d.desc);
            d.present = 1;
            b->di_max = std::max(b->di_max, n);
        }
    };
    while (fgets(buf, sizeof buf, f)) {
        line += buf;
        if (!line.empty() && line.back() != '\n' && !feof(f)) continue;
        handle(line);
        line.clear();
    }
    if (!line.empty()) handle(line);
    fclose(f);
    return 0;
}

int trend_base_read(trend_base *b, const char *a_path, const char *d_path, int cfg_an, int cfg_di) {
    *b = trend_base{};
    if (cfg_an > 0) trend_grow_an(b, std::min(cfg_an, TREND_BASE_MAX));
    if (cfg_di > 0) trend_grow_di(b, std::min(cfg_di, TREND_BASE_MAX));
    std::string json = zq_dir_of(a_path);
    json = strchr(a_path, '/') ? json + "/channels.json" : "channels.json";
    channels_registry reg;
    if (channels_load(&reg, json.c_str()) == 0) return base_from_registry(b, reg);
    if (read_table(b, a_path, true) != 0) return -1;
    if (read_table(b, d_path, false) != 0) return -1;
    return 0;
}
