#include "mq_config.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "common/json.h"
#include "common/log.h"
#include "common/shm.h"
#include "common/yaml.h"
#include "mq_codec.h"

namespace {

// YAML scalars arrive as strings, JSON ones as numbers or booleans.
long long node_int(const json_node *n, long long def) {
    if (!n) return def;
    if (n->type == JSON_STRING) {
        char *end = nullptr;
        errno = 0;
        long long v = strtoll(n->string, &end, 10);
        return end == n->string || errno ? def : v;
    }
    if (n->type == JSON_BOOL) return n->boolean ? 1 : 0;
    return json_int_of(n, def);
}

double node_num(const json_node *n, double def) {
    if (!n) return def;
    if (n->type == JSON_STRING) {
        char *end = nullptr;
        double v = strtod(n->string, &end);
        return end == n->string ? def : v;
    }
    return json_num_of(n, def);
}

bool node_bool(const json_node *n, bool def) {
    if (!n) return def;
    if (n->type == JSON_BOOL) return n->boolean != 0;
    if (n->type == JSON_NUMBER) return n->number != 0;
    if (n->type == JSON_STRING) {
        const char *s = n->string;
        if (!strcasecmp(s, "true") || !strcasecmp(s, "yes") || !strcasecmp(s, "on")) return true;
        if (!strcasecmp(s, "false") || !strcasecmp(s, "no") || !strcasecmp(s, "off")) return false;
        return atoi(s) != 0;
    }
    return def;
}

std::string node_str(const json_node *obj, const char *key, size_t max) {
    const json_node *n = json_get(obj, key);
    std::string s;
    if (n && n->type == JSON_STRING)
        s = n->string;
    else if (n && n->type == JSON_NUMBER) {
        char b[64];
        snprintf(b, sizeof b, "%.17g", n->number);
        s = b;
    }
    if (s.size() > max) s.resize(max);
    return s;
}

long long clamp_ll(long long v, long long lo, long long hi) {
    return v < lo ? lo : v > hi ? hi : v;
}

// "A12" / "d3": letter, digits only, number >= 1.
bool parse_ref(const char *s, mq_tag *out) {
    char k = (char)toupper((unsigned char)s[0]);
    if ((k != 'A' && k != 'D') || !isdigit((unsigned char)s[1])) return false;
    long long n = 0;
    const char *p = s + 1;
    for (; isdigit((unsigned char)*p); p++) {
        n = n * 10 + (*p - '0');
        if (n > 1000000000) return false;
    }
    if (*p || n < 1) return false;
    out->kind = k;
    out->channel = (int)n;
    return true;
}

bool own_line(const std::string &line, mq_own *o) {
    const char *p = line.c_str();
    while (*p == ' ' || *p == '\t')
        p++;
    char k = (char)toupper((unsigned char)*p);
    if ((k != 'A' && k != 'D') || !isdigit((unsigned char)p[1])) return false;
    long long n = 0;
    for (p++; isdigit((unsigned char)*p); p++) {
        n = n * 10 + (*p - '0');
        if (n > 1000000000) return false;
    }
    if (n < 1) return false;
    o->discrete = k == 'D';
    o->channel = (int)n;
    o->name.clear();
    const char *c1 = strchr(p, ',');
    const char *c2 = c1 ? strchr(c1 + 1, ',') : nullptr;
    if (c2) {
        for (const char *q = c2 + 1; *q && o->name.size() < 63; q++) {
            if (!isalnum((unsigned char)*q) && *q != '_') break;
            o->name += *q;
        }
    }
    return true;
}

}  // namespace

void mq_parse_broker(const char *text, mq_config *cfg) {
    std::string s = text ? text : "";
    cfg->tls = false;
    cfg->port = 1883;
    size_t sep = s.find("://");
    if (sep != std::string::npos) {
        std::string scheme = s.substr(0, sep);
        for (char &c : scheme)
            c = (char)tolower((unsigned char)c);
        if (scheme == "tls" || scheme == "ssl" || scheme == "mqtts") {
            cfg->tls = true;
            cfg->port = 8883;
        }
        s = s.substr(sep + 3);
    }
    size_t colon = s.rfind(':');
    if (colon != std::string::npos) {
        const char *ps = s.c_str() + colon + 1;
        char *end = nullptr;
        long p = strtol(ps, &end, 10);
        if (end != ps && p > 0 && p <= 65535) cfg->port = (int)p;
        s.resize(colon);
    }
    if (s.size() > 127) s.resize(127);
    cfg->host = s;
}

std::string mq_default_client_id(const std::string &shm_name, const char *logix_shm_name) {
    std::string base = logix_shm_name && *logix_shm_name ? logix_shm_name : SHM_DEFAULT_NAME;
    std::string part;
    if (shm_name.compare(0, base.size() + 1, base + "_") == 0)
        part = shm_name.substr(base.size() + 1);
    else if (shm_name.compare(0, 11, "/logix_drv_") == 0)
        part = shm_name.substr(11);
    else
        part = shm_name[0] == '/' ? shm_name.substr(1) : shm_name;
    std::string id = "zq_" + part;
    if (id.size() > 63) id.resize(63);
    return id;
}

int mq_config_from_yaml(const json_node *root, mq_config *cfg, std::vector<mq_own> *own) {
    const json_node *sec = json_get(root, "mqtt");
    if (!sec) return -1;
    *cfg = mq_config();
    const json_node *logix = json_get(root, "logix");
    const char *logix_name = logix ? json_gets(logix, "shm_name", nullptr) : nullptr;
    cfg->shm_name = shm_resolve_name(logix_name);
    if (sec->type != JSON_OBJECT) sec = nullptr;  // "mqtt:" alone: defaults, no broker
    mq_parse_broker(node_str(sec, "broker", 400).c_str(), cfg);
    cfg->ca_file = node_str(sec, "ca_file", 255);
    cfg->tls_insecure = node_bool(json_get(sec, "tls_insecure"), false);
    cfg->client_id = node_str(sec, "client_id", 63);
    if (cfg->client_id.empty()) cfg->client_id = mq_default_client_id(cfg->shm_name, logix_name);
    cfg->user = node_str(sec, "user", 63);
    cfg->pass = node_str(sec, "pass", 63);
    cfg->prefix = node_str(sec, "prefix", 127);
    std::string dir = node_str(sec, "dir", 400);
    if (!dir.empty()) cfg->dir = dir;
    // The keep-alive travels in a 16-bit field.
    cfg->keepalive_s = (int)clamp_ll(node_int(json_get(sec, "keepalive_s"), 30), 5, 65535);
    cfg->takt_ms = (int)clamp_ll(node_int(json_get(sec, "takt_ms"), 200), 50, 60000);
    own->clear();
    for (const std::string &line : yaml_items_vec(json_get(sec, "items"))) {
        std::string t = line;
        while (!t.empty() && (t.back() == '\r' || t.back() == ' ' || t.back() == '\t'))
            t.pop_back();
        if (t.find_first_not_of(" \t") == std::string::npos) continue;
        mq_own o;
        if (!own_line(t, &o)) {
            log_err("mqtt: незрозумілий item «%s» — пропущено", t.c_str());
            continue;
        }
        own->push_back(o);
    }
    return 0;
}

bool mq_resolve_tag(const char *text, const std::vector<mq_own> &own, mq_tag *out) {
    if (!text || !*text) return false;
    if (parse_ref(text, out)) return true;
    for (const mq_own &o : own) {
        if (!o.name.empty() && o.name == text) {
            out->kind = o.discrete ? 'D' : 'A';
            out->channel = o.channel;
            return true;
        }
    }
    return false;
}

bool mq_is_own(const mq_tag &t, const std::vector<mq_own> &own) {
    for (const mq_own &o : own)
        if (o.channel == t.channel && (o.discrete ? 'D' : 'A') == t.kind) return true;
    return false;
}

static std::string with_prefix(const std::string &prefix, const std::string &topic) {
    return prefix.empty() ? topic : prefix + "/" + topic;
}

static void load_pub(const json_node *arr, const mq_config &cfg, const std::vector<mq_own> &own,
                     mq_maps *maps) {
    int pos = 0;
    for (const json_node *e = arr ? arr->child : nullptr; e; e = e->next) {
        pos++;
        if (e->type != JSON_OBJECT) continue;
        mq_pub p;
        p.id = (int)node_int(json_get(e, "id"), pos);
        p.enabled = node_bool(json_get(e, "enabled"), true);
        p.tag_text = node_str(e, "tag", 127);
        std::string topic = node_str(e, "topic", 65535);
        p.qos = node_int(json_get(e, "qos"), 0) != 0 ? 1 : 0;
        p.retain = node_bool(json_get(e, "retain"), false);
        p.deadband = node_num(json_get(e, "deadband"), 0);
        if (!(p.deadband > 0)) p.deadband = 0;
        p.min_ms = clamp_ll(node_int(json_get(e, "min_ms"), 1000), 0, INT64_MAX / 4);
        p.max_ms = clamp_ll(node_int(json_get(e, "max_ms"), 0), 0, INT64_MAX / 4);
        p.topic = with_prefix(cfg.prefix, topic);
        if (p.enabled && !mq_resolve_tag(p.tag_text.c_str(), own, &p.tag)) {
            log_err("mqtt: pub id=%d — невідомий тег «%s» — вимкнено", p.id, p.tag_text.c_str());
            p.enabled = false;
        }
        if (p.enabled && (topic.empty() || !mq_topic_name_ok(p.topic.c_str(), p.topic.size()))) {
            log_err("mqtt: pub id=%d — недопустимий топік «%s» — вимкнено", p.id, p.topic.c_str());
            p.enabled = false;
        }
        maps->pub.push_back(std::move(p));
    }
}

static void load_sub(const json_node *arr, const std::vector<mq_own> &own, mq_maps *maps) {
    int pos = 0;
    for (const json_node *e = arr ? arr->child : nullptr; e; e = e->next) {
        pos++;
        if (e->type != JSON_OBJECT) continue;
        mq_sub s;
        s.id = (int)node_int(json_get(e, "id"), pos);
        s.enabled = node_bool(json_get(e, "enabled"), true);
        s.tag_text = node_str(e, "tag", 127);
        s.topic = node_str(e, "topic", 65535);
        s.qos = node_int(json_get(e, "qos"), 0) != 0 ? 1 : 0;
        s.stale_ms = clamp_ll(node_int(json_get(e, "stale_ms"), 0), 0, INT64_MAX / 4);
        if (s.enabled &&
            (!mq_resolve_tag(s.tag_text.c_str(), own, &s.tag) || !mq_is_own(s.tag, own))) {
            log_err(
                "mqtt: sub id=%d — «%s» не є власним тегом модуля (додайте у config.yaml "
                "mqtt.items) — вимкнено",
                s.id, s.tag_text.c_str());
            s.enabled = false;
        }
        // The subscription packet holds filters shorter than 296 bytes.
        if (s.enabled &&
            (s.topic.size() >= 296 || !mq_topic_filter_ok(s.topic.c_str(), s.topic.size()))) {
            log_err("mqtt: sub id=%d — недопустимий топік «%s» — вимкнено", s.id, s.topic.c_str());
            s.enabled = false;
        }
        maps->sub.push_back(std::move(s));
    }
}

void mq_maps_load(const std::string &path, const mq_config &cfg, const std::vector<mq_own> &own,
                  mq_maps *maps) {
    *maps = mq_maps();
    std::string text;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return;  // no maps
    fclose(f);
    json_ptr root(json_parse_file(path.c_str()));
    if (!root || root->type != JSON_OBJECT) {
        log_err("mqtt: %s — битий JSON", path.c_str());
        return;
    }
    load_pub(json_get(root.get(), "pub"), cfg, own, maps);
    load_sub(json_get(root.get(), "sub"), own, maps);
    if (const json_node *g = json_get(root.get(), "get")) {
        maps->get_enabled = node_bool(json_get(g, "enabled"), true);
        const json_node *allow = json_get(g, "allow");
        for (const json_node *a = allow ? allow->child : nullptr; a; a = a->next) {
            const char *t = a->type == JSON_STRING ? a->string : "";
            mq_tag tag;
            if (!mq_resolve_tag(t, own, &tag)) {
                log_err("mqtt: get.allow — невідомий тег «%s» — пропущено", t);
                continue;
            }
            maps->allow.push_back(tag);
        }
    }
    if (maps->get_enabled && !cfg.prefix.empty()) {
        std::string gt = cfg.prefix + "/get";
        if (gt.size() >= 296 || !mq_topic_filter_ok(gt.c_str(), gt.size()) ||
            !mq_topic_name_ok(gt.c_str(), gt.size())) {
            log_err("mqtt: get — недопустимий префікс «%s» — сервіс вимкнено", cfg.prefix.c_str());
            maps->get_enabled = false;
        }
    }
    int np = 0, ns = 0;
    for (const mq_pub &p : maps->pub)
        np += p.enabled;
    for (const mq_sub &s : maps->sub)
        ns += s.enabled;
    log_msg("mqtt: %s — pub=%d sub=%d get=%s(allow %d)", path.c_str(), np, ns,
            maps->get_enabled ? "on" : "off", (int)maps->allow.size());
}
