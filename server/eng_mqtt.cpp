// MQTT map editing: the map check, the own-tag list, the bridge's files,
// and the route list of the MQTT endpoints.

#include "server/eng_mqtt.h"

#include <errno.h>
#include <string.h>

#include <string>
#include <vector>

#include "common/atomic_file.h"
#include "common/json.h"
#include "common/parse_util.h"
#include "common/yaml.h"
#include "mqtt/mq_codec.h"
#include "mqtt/mq_config.h"
#include "server/eng_core.h"
#include "server/eng_mqtt_settings.h"
#include "server/srv_routes.h"

namespace {

constexpr size_t MAP_MAX = 16u << 20;

struct em_ctx {
    bool has = false;  // config.yaml has an mqtt section
    mq_config cfg;
    std::vector<mq_own> own;
};

void em_load_tags(const char *yaml_path, em_ctx *ctx) {
    json_ptr root(yaml_parse_file(yaml_path));
    ctx->has = root && mq_config_from_yaml(root.get(), &ctx->cfg, &ctx->own) == 0;
}

// Is `text` a channel reference or the id/name of an own tag?
bool em_any_tag(const char *text, const em_ctx &ctx) {
    mq_tag t;
    return mq_resolve_tag(text, ctx.own, &t);
}

// Does `text` name an own tag (by "A12" form or by name)?
bool em_find_own(const char *text, const em_ctx &ctx) {
    mq_tag t;
    return mq_resolve_tag(text, ctx.own, &t) && mq_is_own(t, ctx.own);
}

void em_err(std::string *list, int id, const std::string &msg) {
    *list += list->size() > 1 ? "," : "";
    *list += "{\"id\":" + std::to_string(id) + ",\"msg\":\"" +
             json_escape_str(eng_cut_utf8(msg.c_str(), 290)) + "\"}";
}

// As the bridge reads "enabled": false, 0 and "false"/"no"/"off"/"0".
bool em_enabled(const json_node *e) {
    const json_node *n = json_get(e, "enabled");
    if (!n) return true;
    if (n->type == JSON_BOOL) return n->boolean != 0;
    if (n->type == JSON_NUMBER) return n->number != 0;
    if (n->type == JSON_STRING)
        return !(!strcasecmp(n->string, "false") || !strcasecmp(n->string, "no") ||
                 !strcasecmp(n->string, "off") || !strcmp(n->string, "0"));
    return true;
}

std::string em_str(const json_node *e, const char *key) {
    const json_node *n = json_get(e, key);
    return n && n->type == JSON_STRING ? n->string : "";
}

// A member that must be a number no lower than `min` when present.
bool em_num_ok(const json_node *e, const char *key, double min) {
    const json_node *n = json_get(e, key);
    return !n || (n->type == JSON_NUMBER && n->number >= min);
}

bool em_qos_ok(const json_node *e) {
    const json_node *n = json_get(e, "qos");
    return !n || (n->type == JSON_NUMBER && (n->number == 0 || n->number == 1));
}

// The checks shared by both lists; false when the entry is skipped.
bool em_entry(const char *sec, const json_node *e, int pos, std::string *errs, int *id,
              std::string *tag, std::string *topic) {
    std::string s = sec;
    if (e->type != JSON_OBJECT) {
        em_err(errs, pos, s + ": запис не є об'єктом");
        return false;
    }
    const json_node *idn = json_get(e, "id");
    *id = idn && idn->type == JSON_NUMBER ? (int)json_int_of(idn, pos) : pos;
    if (!em_enabled(e)) return false;
    *tag = em_str(e, "tag");
    *topic = em_str(e, "topic");
    if (tag->empty()) {
        em_err(errs, *id, s + ": порожній tag");
        return false;
    }
    if (topic->empty()) {
        em_err(errs, *id, s + ": порожній topic");
        return false;
    }
    if (!em_qos_ok(e)) em_err(errs, *id, s + ": qos має бути 0 або 1");
    return true;
}

void em_check_pub(const json_node *arr, const em_ctx &ctx, std::string *errs) {
    int pos = 0;
    for (const json_node *e = arr ? arr->child : nullptr; e; e = e->next) {
        int id;
        std::string tag, topic;
        if (!em_entry("pub", e, ++pos, errs, &id, &tag, &topic)) continue;
        if (!em_any_tag(tag.c_str(), ctx)) em_err(errs, id, "pub: невідомий тег");
        if (!em_num_ok(e, "deadband", 0)) em_err(errs, id, "pub: deadband < 0");
        if (!em_num_ok(e, "min_ms", 0) || !em_num_ok(e, "max_ms", 0))
            em_err(errs, id, "pub: min_ms/max_ms < 0");
        std::string full = ctx.cfg.prefix.empty() ? topic : ctx.cfg.prefix + "/" + topic;
        if (topic.find_first_of("#+") != std::string::npos)
            em_err(errs, id, "pub: topic з wildcard");
        else if (!mq_topic_name_ok(full.c_str(), full.size()))
            em_err(errs, id, "pub: недопустимий topic");
    }
}

void em_check_sub(const json_node *arr, const em_ctx &ctx, std::string *errs) {
    int pos = 0;
    for (const json_node *e = arr ? arr->child : nullptr; e; e = e->next) {
        int id;
        std::string tag, topic;
        if (!em_entry("sub", e, ++pos, errs, &id, &tag, &topic)) continue;
        if (!em_find_own(tag.c_str(), ctx))
            em_err(errs, id, "sub: не власний тег (додайте у config.yaml mqtt.items)");
        if (!em_num_ok(e, "stale_ms", 0)) em_err(errs, id, "sub: stale_ms < 0");
        // The subscription packet holds filters shorter than 296 bytes.
        if (topic.size() >= 296 || !mq_topic_filter_ok(topic.c_str(), topic.size()))
            em_err(errs, id, "sub: недопустимий topic");
    }
}

bool is_list(const json_node *n) {
    return !n || n->type == JSON_ARRAY;
}

void h_mqtt_get(srv_call *c) {
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, eng_mqtt_read(eng_mqtt_dir(c->st->cfg.yaml_path)));
}

void h_mqtt_post(srv_call *c) {
    std::string errs;
    int rc = eng_mqtt_write(eng_mqtt_dir(c->st->cfg.yaml_path), c->st->cfg.yaml_path, c->req->body,
                            &errs);
    if (rc == -2) return eng_fail(c, 500, errs);
    if (rc != 0)
        return srv_reply_body(c->reply, 400, SRV_JSON_UTF8,
                              "{\"ok\":false,\"errors\":" + errs + "}");
    json_ptr root(json_parse(c->req->body.c_str()));
    eng_audit(c, "mqtt save pub=" + std::to_string(json_count(json_get(root.get(), "pub"))) +
                     " sub=" + std::to_string(json_count(json_get(root.get(), "sub"))));
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, "{\"ok\":true}");
}

void h_mqtt_tags(srv_call *c) {
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, eng_mqtt_tags_json(c->st->cfg.yaml_path));
}

void h_mqtt_status(srv_call *c) {
    std::string s = eng_mqtt_status_read(eng_mqtt_dir(c->st->cfg.yaml_path));
    if (s.empty())
        return srv_reply_body(c->reply, 404, SRV_JSON_UTF8,
                              "{\"ok\":false,\"error\":\"немає status.json — міст не запущено?\"}");
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, std::move(s));
}

constexpr unsigned ENG = SRV_ENGINEERING | SRV_METHOD_405;
constexpr unsigned CHANGE = ENG | SRV_STATE_CHANGING;

const srv_route routes[] = {
    {SRV_READ, "/api/eng/mqtt", h_mqtt_get, ENG},
    {SRV_POST, "/api/eng/mqtt", h_mqtt_post, CHANGE | SRV_LARGE_BODY},
    {SRV_READ, "/api/eng/mqtt/tags", h_mqtt_tags, ENG},
    {SRV_READ, "/api/eng/mqtt/status", h_mqtt_status, ENG},
    {SRV_READ, "/api/eng/mqtt/settings", eng_h_mqtt_settings_get, ENG},
    {SRV_POST, "/api/eng/mqtt/settings", eng_h_mqtt_settings_post, CHANGE},
};

}  // namespace

std::string eng_mqtt_dir(const char *yaml_path) {
    em_ctx ctx;
    em_load_tags(yaml_path, &ctx);
    return ctx.cfg.dir;
}

std::string eng_mqtt_read(const std::string &dir) {
    std::string text;
    // A saved map waits as the import until the bridge's reload; the editor
    // shows what it saved, not the map it replaces.
    if (zq_read_file_max((dir + "/mqtt.json.import").c_str(), MAP_MAX, &text) == 0) return text;
    if (zq_read_file_max((dir + "/mqtt.json").c_str(), MAP_MAX, &text) == 0) return text;
    return "{\"version\":1,\"pub\":[],\"sub\":[]}";
}

std::string eng_mqtt_status_read(const std::string &dir) {
    std::string text;
    if (zq_read_file_max((dir + "/status.json").c_str(), 64 * 1024, &text) != 0) return "";
    return text;
}

std::string eng_mqtt_tags_json(const char *yaml_path) {
    em_ctx ctx;
    em_load_tags(yaml_path, &ctx);
    std::string out = std::string("{\"has\":") + (ctx.has ? "1" : "0") + ",\"tags\":[";
    const char *sep = "";
    for (const mq_own &o : ctx.own) {
        char id[32];
        snprintf(id, sizeof id, "%c%d", o.discrete ? 'D' : 'A', o.channel);
        out += std::string(sep) + "{\"id\":\"" + id + "\",\"name\":\"" + json_escape_str(o.name) +
               "\",\"is_d\":" + (o.discrete ? "1" : "0") + ",\"nn\":" + std::to_string(o.channel) +
               "}";
        sep = ",";
    }
    return out + "]}";
}

int eng_mqtt_check(const std::string &body, const char *yaml_path, std::string *errors) {
    std::string errs = "[";
    // The file is saved as sent: bytes after a NUL would reach the bridge
    // unchecked.
    bool plain = body.size() <= MAP_MAX && body.find('\0') == std::string::npos;
    json_ptr root(plain ? json_parse(body.c_str()) : nullptr);
    if (!root || root->type != JSON_OBJECT) {
        em_err(&errs, 0, "невалідний JSON");
        *errors = errs + "]";
        return -1;
    }
    em_ctx ctx;
    em_load_tags(yaml_path, &ctx);
    const json_node *pub = json_get(root.get(), "pub"), *sub = json_get(root.get(), "sub");
    if (!is_list(pub)) em_err(&errs, 0, "pub має бути масивом");
    if (!is_list(sub)) em_err(&errs, 0, "sub має бути масивом");
    em_check_pub(is_list(pub) ? pub : nullptr, ctx, &errs);
    em_check_sub(is_list(sub) ? sub : nullptr, ctx, &errs);
    const json_node *allow = json_get(json_get(root.get(), "get"), "allow");
    for (const json_node *a = allow ? allow->child : nullptr; a; a = a->next)
        if (a->type != JSON_STRING || !em_any_tag(a->string, ctx))
            em_err(&errs, 0, "get.allow: невідомий тег");
    *errors = errs + "]";
    return errs.size() > 1 ? -1 : 0;
}

int eng_mqtt_write(const std::string &dir, const char *yaml_path, const std::string &body,
                   std::string *errors) {
    if (eng_mqtt_check(body, yaml_path, errors) != 0) return -1;
    zq_mkdirs(dir.c_str(), 0755);
    std::string path = dir + "/mqtt.json.import";
    if (atomic_file_write(path, body) != 0) {
        *errors = "не записати " + path + ": " + strerror(errno);
        return -2;
    }
    return 0;
}

std::span<const srv_route> eng_mqtt_routes() {
    return routes;
}
