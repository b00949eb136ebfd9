#include "server/srv_config.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/ini.h"
#include "common/json.h"
#include "common/parse_util.h"
#include "common/yaml.h"

bool srv_parse_trust(const char *text, srv_trust *out) {
    const char *c1 = strchr(text, ':');
    if (!c1) return false;
    const char *c2 = strchr(c1 + 1, ':');
    if (!c2) return false;
    size_t n = (size_t)(c1 - text);
    if (n > sizeof out->code - 1) n = sizeof out->code - 1;
    memcpy(out->code, text, n);
    out->code[n] = 0;
    zq_copy_cut(out->ip, sizeof out->ip, c2 + 1);
    return true;
}

// A scalar of the configuration as text: a plain number (a numeric password
// or port written without quotes) reads as its decimal form.
static bool yaml_text(const json_node *sec, const char *key, char *dst, size_t cap) {
    const json_node *n = json_get(sec, key);
    if (!n) return false;
    if (n->type == JSON_STRING) {
        zq_copy_cut(dst, cap, n->string);
        return true;
    }
    if (n->type == JSON_NUMBER && std::isfinite(n->number)) {
        if (n->number == std::floor(n->number) && std::fabs(n->number) < 1e18)
            snprintf(dst, cap, "%lld", (long long)n->number);
        else
            snprintf(dst, cap, "%g", n->number);
        return true;
    }
    return false;
}

static void yaml_int(const json_node *sec, const char *key, int *dst) {
    const json_node *n = json_get(sec, key);
    if (!n) return;
    if (n->type == JSON_NUMBER || n->type == JSON_BOOL) {
        long long v = json_int_of(n, *dst);
        if (v >= INT_MIN && v <= INT_MAX) *dst = (int)v;
    } else if (n->type == JSON_STRING) {
        char *end;
        long v = strtol(n->string, &end, 10);
        if (end != n->string && !*end && v >= INT_MIN && v <= INT_MAX) *dst = (int)v;
    }
}

static void add_trust(srv_trust *tab, int *n, const char *text) {
    if (*n >= SRV_TRUST_MAX) return;
    if (srv_parse_trust(text, &tab[*n])) ++*n;
}

static void yaml_trust(const json_node *root, srv_trust *tab, int *n) {
    const json_node *trust = json_get(json_get(root, "awp_slot"), "trust");
    if (!trust || trust->type != JSON_ARRAY) return;
    for (const json_node *c = trust->child; c; c = c->next)
        if (c->type == JSON_STRING) add_trust(tab, n, c->string);
}

static bool load_yaml(srv_config *cfg) {
    std::string text;
    bool ok = zq_read_file_max(cfg->yaml_path, 8u << 20, &text) == 0;
    if (!ok) return false;
    json_ptr root(yaml_parse(text.c_str()));
    if (!root) return false;
    const json_node *sc = json_get(root.get(), "scada");
    yaml_int(sc, "port", &cfg->port);
    yaml_text(sc, "wwwdir", cfg->wwwdir, sizeof cfg->wwwdir);
    yaml_text(sc, "sys_wwwdir", cfg->sys_wwwdir, sizeof cfg->sys_wwwdir);
    yaml_int(sc, "poll_ms", &cfg->poll_ms);
    yaml_text(sc, "eng_password", cfg->eng_password, sizeof cfg->eng_password);
    const json_node *awp = json_get(root.get(), "awp_slot");
    if (!json_get(sc, "logcontrol")) yaml_int(awp, "logcontrol", &cfg->logcontrol);
    yaml_int(sc, "logcontrol", &cfg->logcontrol);
    if (!yaml_text(sc, "logcontrolpath", cfg->logcontrolpath, sizeof cfg->logcontrolpath))
        yaml_text(awp, "logcontrolpath", cfg->logcontrolpath, sizeof cfg->logcontrolpath);
    yaml_text(sc, "ksp_projdir", cfg->ksp_projdir, sizeof cfg->ksp_projdir);
    yaml_text(sc, "ini_file", cfg->ini_file, sizeof cfg->ini_file);
    const json_node *lg = json_get(root.get(), "logix");
    yaml_text(lg, "shm_name", cfg->shm_name, sizeof cfg->shm_name);
    yaml_int(json_get(lg, "time"), "autosync_threshold_ms", &cfg->autosync_threshold_ms);
    yaml_text(json_get(root.get(), "alarm"), "dir", cfg->alarm_dir, sizeof cfg->alarm_dir);
    yaml_text(json_get(root.get(), "alarm"), "central_url", cfg->central_url,
              sizeof cfg->central_url);
    yaml_text(json_get(root.get(), "calc"), "dir", cfg->calc_dir, sizeof cfg->calc_dir);
    yaml_text(json_get(root.get(), "mqtt"), "dir", cfg->mqtt_dir, sizeof cfg->mqtt_dir);
    yaml_text(json_get(root.get(), "opcua"), "dir", cfg->opcua_dir, sizeof cfg->opcua_dir);
    yaml_text(json_get(root.get(), "update"), "url", cfg->update_url, sizeof cfg->update_url);
    yaml_text(json_get(root.get(), "trends"), "mainpath_linux", cfg->trends_dir,
              sizeof cfg->trends_dir);
    yaml_trust(root.get(), cfg->trust, &cfg->n_trust);
    return true;
}

// Legacy files repeat keys and whole sections: every line of the wanted
// sections is applied in file order, so the last assignment wins.
template <typename F>
static bool ini_each(const char *path, F fn) {
    ini_file f;
    if (ini_load(path, &f) != 0) return false;
    for (const ini_section &s : f.sections)
        for (const ini_entry &e : s.entries)
            fn(s.name, e.key, e.value.c_str());
    return true;
}

// The -c file as INI: keys of [scada] or before any section.
static void load_ini_scada(srv_config *cfg, const char *path) {
    ini_each(path, [&](const std::string &sec, const std::string &k, const char *val) {
        if (!sec.empty() && sec != "scada") return;
        if (k == "port")
            cfg->port = atoi(val);
        else if (k == "wwwdir")
            zq_copy_cut(cfg->wwwdir, sizeof cfg->wwwdir, val);
        else if (k == "sys_wwwdir")
            zq_copy_cut(cfg->sys_wwwdir, sizeof cfg->sys_wwwdir, val);
        else if (k == "ini_file")
            zq_copy_cut(cfg->ini_file, sizeof cfg->ini_file, val);
        else if (k == "poll_ms")
            cfg->poll_ms = atoi(val);
        else if (k == "eng_password")
            zq_copy_cut(cfg->eng_password, sizeof cfg->eng_password, val);
        else if (k == "eng_base_a")
            zq_copy_cut(cfg->eng_base_a, sizeof cfg->eng_base_a, val);
        else if (k == "eng_base_d")
            zq_copy_cut(cfg->eng_base_d, sizeof cfg->eng_base_d, val);
        else if (k == "logcontrol")
            cfg->logcontrol = atoi(val);
        else if (k == "logcontrolpath")
            zq_copy_cut(cfg->logcontrolpath, sizeof cfg->logcontrolpath, val);
        else if (k == "ksp_projdir")
            zq_copy_cut(cfg->ksp_projdir, sizeof cfg->ksp_projdir, val);
    });
}

// The legacy ini: database name and the operator-station section.
static void load_ini_legacy(srv_config *cfg, const char *path) {
    ini_each(path, [&](const std::string &sec, const std::string &k, const char *val) {
        if (sec == "general" && k == "shm_name")
            zq_copy_cut(cfg->shm_name, sizeof cfg->shm_name, val);
        if (sec != "awp_slot") return;
        if (k == "logcontrol")
            cfg->logcontrol = atoi(val);
        else if (k == "logcontrolpath")
            zq_copy_cut(cfg->logcontrolpath, sizeof cfg->logcontrolpath, val);
        else if (k.compare(0, 5, "trust") == 0)
            add_trust(cfg->trust, &cfg->n_trust, val);
    });
}

srv_trust_rc srv_load_trust(const srv_config *cfg, srv_trust *tab, int *n) {
    *n = 0;
    std::string text;
    if (zq_read_file_max(cfg->yaml_path, 8u << 20, &text) == 0) {
        // A trust key caught half-edited (not a list) must not read as an
        // empty list, which opens control to everyone: the caller keeps the
        // table in force.
        json_ptr root(yaml_parse(text.c_str()));
        if (!root) return SRV_TRUST_BAD_YAML;
        const json_node *t = json_get(json_get(root.get(), "awp_slot"), "trust");
        bool blank = !t || t->type == JSON_NULL || (t->type == JSON_STRING && !t->string[0]);
        if (!blank && t->type != JSON_ARRAY) return SRV_TRUST_BAD_YAML;
        yaml_trust(root.get(), tab, n);
        return SRV_TRUST_OK;
    }
    bool read = ini_each(cfg->legacy_ini,
                         [&](const std::string &sec, const std::string &k, const char *val) {
                             if (sec == "awp_slot" && k.compare(0, 5, "trust") == 0)
                                 add_trust(tab, n, val);
                         });
    return read ? SRV_TRUST_OK : SRV_TRUST_NO_SOURCE;
}

void srv_config_load(srv_config *cfg, const char *conf_path) {
    *cfg = srv_config();
    zq_copy_cut(cfg->conf_path, sizeof cfg->conf_path, conf_path);
    const char *env_shm = getenv("LOGIX_SHM_NAME");
    if (env_shm && *env_shm) zq_copy_cut(cfg->shm_name, sizeof cfg->shm_name, env_shm);
    const char *slash = strrchr(conf_path, '/');
    if (slash)
        snprintf(cfg->yaml_path, sizeof cfg->yaml_path, "%.*s/config.yaml",
                 (int)(slash - conf_path), conf_path);
    else
        zq_copy_cut(cfg->yaml_path, sizeof cfg->yaml_path, "config.yaml");

    cfg->yaml_loaded = load_yaml(cfg);
    if (cfg->yaml_loaded) {
        fprintf(stderr, "scada: config from %s\n", cfg->yaml_path);
    } else {
        load_ini_scada(cfg, conf_path);
    }
    if (env_shm && *env_shm) zq_copy_cut(cfg->shm_name, sizeof cfg->shm_name, env_shm);
    if (!cfg->sys_wwwdir[0]) {
        const char *dir = getenv("ZQSTACK_DIR");
        if (dir && *dir) snprintf(cfg->sys_wwwdir, sizeof cfg->sys_wwwdir, "%s/www-sys", dir);
    }

    // Legacy ini: named, the -c file itself, or zqbridge.ini beside it.
    const char *base = slash ? slash + 1 : conf_path;
    if (cfg->ini_file[0])
        zq_copy_cut(cfg->legacy_ini, sizeof cfg->legacy_ini, cfg->ini_file);
    else if (strcmp(base, "config.yaml") != 0)
        zq_copy_cut(cfg->legacy_ini, sizeof cfg->legacy_ini, conf_path);
    else
        snprintf(cfg->legacy_ini, sizeof cfg->legacy_ini, "%s/zqbridge.ini",
                 zq_dir_of(conf_path).c_str());
    if (!cfg->yaml_loaded) {
        load_ini_legacy(cfg, cfg->legacy_ini);
        if (env_shm && *env_shm) zq_copy_cut(cfg->shm_name, sizeof cfg->shm_name, env_shm);
    }
    std::string ldir = zq_dir_of(cfg->legacy_ini);
    if (!cfg->eng_base_a[0])
        snprintf(cfg->eng_base_a, sizeof cfg->eng_base_a, "%s/zqbridge.a.base", ldir.c_str());
    if (!cfg->eng_base_d[0])
        snprintf(cfg->eng_base_d, sizeof cfg->eng_base_d, "%s/zqbridge.d.base", ldir.c_str());
}
