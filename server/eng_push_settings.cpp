// The destinations of trends.push in config.yaml, saved as one block
// through the section editor so that every other line keeps its bytes.

#include <strings.h>

#include <string>
#include <vector>

#include "common/json.h"
#include "common/yaml.h"
#include "common/yaml_edit.h"
#include "server/eng_core.h"
#include "server/eng_push.h"

namespace {

struct dest {
    std::string url;
    bool deflate = false;
    std::string token;  // one already in config.yaml, kept as it is
};

bool flag_of(const json_node *n, bool *out) {
    if (!n) return *out = false, true;
    if (n->type == JSON_BOOL) return *out = n->boolean != 0, true;
    if (n->type == JSON_NUMBER && (n->number == 0 || n->number == 1))
        return *out = n->number != 0, true;
    return false;
}

// The list of the form; false with *why for the first bad entry.
bool read_dests(const json_node *body, std::vector<dest> *out, std::string *why) {
    const json_node *list = json_get(body, "dests");
    if (!list || list->type != JSON_ARRAY) return *why = "dests має бути масивом", false;
    if ((int)json_count(list) > ENG_PUSH_MAX_DESTS)
        return *why = "не більше двох призначень (zqtrend веде лише два)", false;
    int i = 0;
    for (const json_node *e = list->child; e; e = e->next) {
        std::string at = "призначення " + std::to_string(++i) + ": ";
        dest d;
        const json_node *u = json_get(e, "url");
        if (e->type != JSON_OBJECT || !u || u->type != JSON_STRING)
            return *why = at + "немає url", false;
        d.url = u->string;
        std::string url_why;
        if (!eng_push_url_ok(d.url, &url_why)) return *why = at + url_why, false;
        if (!flag_of(json_get(e, "deflate"), &d.deflate))
            return *why = at + "deflate має бути true або false", false;
        for (const dest &o : *out)
            if (strcasecmp(o.url.c_str(), d.url.c_str()) == 0)
                return *why = at + "такий url уже є", false;
        out->push_back(d);
    }
    return true;
}

// Tokens that trends.push of `text` holds now, so a save keeps them.
void keep_config_tokens(const std::string &text, std::vector<dest> *dests) {
    json_ptr root(yaml_parse(text.c_str()));
    const json_node *push = json_get(json_get(root.get(), "trends"), "push");
    for (const json_node *p = push && push->type == JSON_ARRAY ? push->child : nullptr; p;
         p = p->next) {
        const char *url = json_gets(p, "url", ""), *tok = json_gets(p, "token", "");
        for (dest &d : *dests)
            if (d.url == url && *tok && d.token.empty()) d.token = tok;
    }
}

std::vector<std::string> block_of(const std::vector<dest> &dests) {
    std::vector<std::string> lines;
    for (const dest &d : dests) {
        lines.push_back("- url: " + eng_yaml_quoted(d.url));
        lines.push_back(std::string("  deflate: ") + (d.deflate ? "true" : "false"));
        if (!d.token.empty()) lines.push_back("  token: " + eng_yaml_quoted(d.token));
    }
    return lines;
}

}  // namespace

void eng_h_push_settings(srv_call *c) {
    json_ptr body = eng_body_object(c);
    if (!body) return;
    std::vector<dest> dests;
    std::string why;
    if (!read_dests(body.get(), &dests, &why)) return eng_fail(c, 400, why);
    static const char *const names[] = {"trends"};
    const yaml_edit_path where{names, 1};
    bool v2 = false;
    int rc = yaml_edit_file(c->st->cfg.yaml_path, where, [&](std::string *t) {
        keep_config_tokens(*t, &dests);
        json_ptr root(yaml_parse(t->c_str()));
        v2 = eng_push_main_v2(json_get(root.get(), "trends"));
        if (dests.empty()) return yaml_edit_remove(t, where, "push");
        return yaml_edit_set_block(t, where, "push", block_of(dests));
    });
    if (rc != YAML_EDIT_OK)
        return eng_fail(c, rc == YAML_EDIT_UNREADABLE ? 404 : 500,
                        std::string("config.yaml: ") + yaml_edit_strerror(rc));
    std::string list;
    for (const dest &d : dests)
        list += " " + d.url + (d.deflate ? " deflate" : "");
    eng_audit(c, "push/settings" + (list.empty() ? std::string(" (порожньо)") : list));
    std::string msg = "збережено; " + eng_push_restart_recorder();
    if (!v2 && !dests.empty())
        msg += ". Увага: передача працює лише з mainpath_format: 2 (файли версії 2)";
    eng_ok(c, msg);
}
