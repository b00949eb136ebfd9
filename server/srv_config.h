#pragma once
// zqserver configuration: config.yaml beside the -c file, or the legacy
// INI file, plus the legacy ini's operator-station section.

constexpr int SRV_TRUST_MAX = 64;

struct srv_trust {
    char code[32];
    char ip[48];
};

struct srv_config {
    int port = 8080;
    char wwwdir[512] = "./www";
    char sys_wwwdir[512] = "";
    char ini_file[512] = "";
    int poll_ms = 200;
    char eng_password[64] = "";
    char eng_base_a[512] = "";
    char eng_base_d[512] = "";
    int logcontrol = 0;
    char logcontrolpath[512] = "./logs";
    char ksp_projdir[512] = "";
    char shm_name[64] = "/logix_drv";
    int autosync_threshold_ms = 2000;
    char alarm_dir[512] = "./alarm";
    char calc_dir[512] = "./calc";
    char mqtt_dir[512] = "./mqtt";
    char opcua_dir[512] = "./opcua";
    char central_url[256] = "";
    char update_url[256] = "";
    char trends_dir[512] = "./Trends";
    int n_trust = 0;
    srv_trust trust[SRV_TRUST_MAX];
    char tokens_file[512] = "eng_tokens.json";
    // Where the configuration came from.
    char conf_path[512] = "zqserver.conf";  // the -c argument
    char yaml_path[512] = "";               // config.yaml beside it
    bool yaml_loaded = false;
    char legacy_ini[512] = "";
};

// Fills cfg from `-c` path: config.yaml beside it when it parses, else the
// legacy INI file; then the legacy ini's extra sections. Environment
// LOGIX_SHM_NAME wins for the database name. Never fails: missing keys keep
// their defaults.
void srv_config_load(srv_config *cfg, const char *conf_path);

// Parses one "code:timeout:ip" trust entry; false when it lacks two colons.
bool srv_parse_trust(const char *text, srv_trust *out);

enum srv_trust_rc { SRV_TRUST_OK, SRV_TRUST_NO_SOURCE, SRV_TRUST_BAD_YAML };
// Reads the trust list again from cfg's config.yaml or, when there is none,
// its legacy ini, into tab (SRV_TRUST_MAX entries).
srv_trust_rc srv_load_trust(const srv_config *cfg, srv_trust *tab, int *n);
