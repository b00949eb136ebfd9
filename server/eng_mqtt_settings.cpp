// Broker settings of the mqtt section: read for the editor's form (the
// password only as a "set" flag) and saved key by key through the section
// editor, under the one config.yaml lock.

#include "server/eng_mqtt_settings.h"

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "common/json.h"
#include "common/yaml.h"
#include "common/yaml_edit.h"
#include "mqtt/mq_codec.h"
#include "mqtt/mq_config.h"
#include "server/eng_core.h"

namespace {

struct text_key {
    const char *key;
    size_t max;
};

// The text keys of the form, with the lengths the bridge keeps.
const text_key TEXT_KEYS[] = {{"broker", 400}, {"ca_file", 255}, {"client_id", 63},
                              {"user", 63},    {"prefix", 127},  {"dir", 255}};

std::string scalar(const json_node *sec, const char *key) {
    const json_node *n = json_get(sec, key);
    if (!n) return "";
    if (n->type == JSON_STRING) return n->string;
    if (n->type == JSON_NUMBER) return std::to_string(json_int_of(n, 0));
    if (n->type == JSON_BOOL) return n->boolean ? "true" : "false";
    return "";
}

// A number field of the form: a JSON number or a digit string; "" keeps
// the bridge's default.
bool int_field(const json_node *body, const char *key, long lo, long hi, std::string *out) {
    const json_node *n = json_get(body, key);
    out->clear();
    if (!n || (n->type == JSON_STRING && !*n->string)) return true;
    long v;
    if (n->type == JSON_NUMBER) {
        v = (long)json_int_of(n, -1);
        if (v != n->number) return false;
    } else if (n->type == JSON_STRING) {
        char *end = nullptr;
        v = strtol(n->string, &end, 10);
        if (end == n->string || *end) return false;
    } else {
        return false;
    }
    if (v < lo || v > hi) return false;
    *out = std::to_string(v);
    return true;
}

bool clean_text(const std::string &s) {
    for (unsigned char ch : s)
        if (ch < 0x20 || ch == 0x7f) return false;
    return true;
}

// "[scheme://]host[:port]" with a port in range when one is written.
bool broker_ok(const std::string &b) {
    if (b.empty()) return true;
    if (b.find_first_of(" \t") != std::string::npos) return false;
    std::string rest = b;
    size_t sep = rest.find("://");
    if (sep != std::string::npos) rest = rest.substr(sep + 3);
    size_t colon = rest.rfind(':');
    if (colon != std::string::npos && rest.find(']') == std::string::npos) {
        const char *p = rest.c_str() + colon + 1;
        char *end = nullptr;
        long port = strtol(p, &end, 10);
        if (end == p || *end || port < 1 || port > 65535) return false;
        rest.resize(colon);
    }
    return !rest.empty() && rest.size() <= 127;
}

}  // namespace

void eng_h_mqtt_settings_get(srv_call *c) {
    json_ptr root(yaml_parse_file(c->st->cfg.yaml_path));
    const json_node *sec = json_get(root.get(), "mqtt");
    std::string out = std::string("{\"has\":") + (sec ? "1" : "0");
    if (sec && sec->type != JSON_OBJECT) sec = nullptr;
    for (const text_key &k : TEXT_KEYS)
        out += std::string(",\"") + k.key + "\":\"" + json_escape_str(scalar(sec, k.key)) + "\"";
    std::string ins = scalar(sec, "tls_insecure");
    bool insecure = ins == "true" || ins == "yes" || ins == "on" || atoi(ins.c_str()) != 0;
    out += std::string(",\"tls_insecure\":") + (insecure ? "true" : "false");
    out += ",\"keepalive_s\":\"" + json_escape_str(scalar(sec, "keepalive_s")) + "\"";
    out += ",\"takt_ms\":\"" + json_escape_str(scalar(sec, "takt_ms")) + "\"";
    out += std::string(",\"pass_set\":") + (scalar(sec, "pass").empty() ? "false" : "true") + "}";
    srv_reply_body(c->reply, 200, SRV_JSON_UTF8, out);
}

void eng_h_mqtt_settings_post(srv_call *c) {
    json_ptr body = eng_body_object(c);
    if (!body) return;
    std::vector<std::pair<const char *, std::string>> set;  // key, YAML scalar ("" removes)
    for (const text_key &k : TEXT_KEYS) {
        const json_node *n = json_get(body.get(), k.key);
        if (n && n->type != JSON_STRING) return eng_fail(c, 400, std::string(k.key) + ": не текст");
        std::string v = n ? n->string : "";
        if (v.size() > k.max || !clean_text(v))
            return eng_fail(
                c, 400,
                std::string(k.key) + ": до " + std::to_string(k.max) + " символів, без керівних");
        set.push_back({k.key, v.empty() ? "" : eng_yaml_quoted(v)});
    }
    std::string broker = json_gets(body.get(), "broker", "");
    if (!broker_ok(broker)) return eng_fail(c, 400, "broker: очікується [tls://]host[:port]");
    std::string prefix = json_gets(body.get(), "prefix", "");
    std::string probe = prefix + "/x";
    if (!prefix.empty() && !mq_topic_name_ok(probe.c_str(), probe.size()))
        return eng_fail(c, 400, "prefix: недопустимий (без # і +)");
    std::string ka, takt;
    if (!int_field(body.get(), "keepalive_s", 5, 65535, &ka))
        return eng_fail(c, 400, "keepalive_s: ціле 5..65535");
    if (!int_field(body.get(), "takt_ms", 50, 60000, &takt))
        return eng_fail(c, 400, "takt_ms: ціле 50..60000");
    set.push_back({"keepalive_s", ka});
    set.push_back({"takt_ms", takt});
    set.push_back({"tls_insecure", json_getb(body.get(), "tls_insecure", 0) ? "true" : ""});
    // An empty password field keeps the stored one: the form never gets it.
    std::string pass = json_gets(body.get(), "pass", "");
    if (pass.size() > 63 || !clean_text(pass))
        return eng_fail(c, 400, "pass: до 63 символів, без керівних");
    bool clear_pass = json_getb(body.get(), "pass_clear", 0);
    static const char *const names[] = {"mqtt"};
    const yaml_edit_path where{names, 1};
    int rc = yaml_edit_file(c->st->cfg.yaml_path, where, [&](std::string *t) {
        for (const auto &[key, val] : set) {
            int r = val.empty() ? yaml_edit_remove(t, where, key)
                                : yaml_edit_set_scalar(t, where, key, val);
            if (r != YAML_EDIT_OK) return r;
        }
        if (clear_pass) return yaml_edit_remove(t, where, "pass");
        if (!pass.empty()) return yaml_edit_set_scalar(t, where, "pass", eng_yaml_quoted(pass));
        return (int)YAML_EDIT_OK;
    });
    if (rc != YAML_EDIT_OK)
        return eng_fail(c, rc == YAML_EDIT_UNREADABLE ? 404 : 500,
                        std::string("config.yaml: ") + yaml_edit_strerror(rc));
    eng_audit(c, "mqtt/settings broker=" + broker);
    eng_ok(c, "збережено; застосовується після перезапуску zqmqtt");
}
