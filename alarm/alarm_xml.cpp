#include "alarm_xml.h"

#include <string.h>

#include <algorithm>

#include "alarm_config.h"
#include "common/atomic_file.h"
#include "common/cp1251.h"
#include "common/json.h"
#include "common/log.h"
#include "common/parse_util.h"

namespace {

// The element starting at `at` up to its closing '>', where a '>' inside a
// quoted attribute value does not count.
std::string element_text(const std::string &xml, size_t at) {
    bool quoted = false;
    size_t i = at;
    for (; i < xml.size(); i++) {
        if (xml[i] == '"')
            quoted = !quoted;
        else if (xml[i] == '>' && !quoted)
            break;
    }
    return xml.substr(at, i - at);
}

std::string decode_entities(const std::string &s) {
    static const struct {
        const char *ent;
        char c;
    } k[] = {{"&quot;", '"'}, {"&apos;", '\''}, {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}};
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        bool done = false;
        if (s[i] == '&')
            for (const auto &e : k)
                if (s.compare(i, strlen(e.ent), e.ent) == 0) {
                    out += e.c;
                    i += strlen(e.ent) - 1;
                    done = true;
                    break;
                }
        if (!done) out += s[i];
    }
    return out;
}

// Value of attribute `name` (preceded by a blank, so "id" never matches the
// end of "eid"), cut to max bytes; "" when missing.
std::string attr(const std::string &el, const char *name, size_t max) {
    std::string key = std::string(name) + "=\"";
    size_t p = 0;
    while ((p = el.find(key, p)) != std::string::npos) {
        if (p > 0 &&
            (el[p - 1] == ' ' || el[p - 1] == '\t' || el[p - 1] == '\n' || el[p - 1] == '\r'))
            break;
        p++;
    }
    if (p == std::string::npos) return "";
    size_t v = p + key.size();
    size_t e = el.find('"', v);
    std::string val = decode_entities(el.substr(v, e == std::string::npos ? e : e - v));
    // A NUL byte would end the text early and make alarm.json unreadable.
    val.erase(std::remove(val.begin(), val.end(), '\0'), val.end());
    if (val.size() > max) val.resize(max);
    return val;
}

// JSON-escaped text attribute. CP1251 values are cut as bytes (one byte is
// one character) and converted; others are cut on a UTF-8 character.
std::string text_attr(const std::string &el, const char *name, size_t max, bool cp1251) {
    std::string v = attr(el, name, cp1251 ? max : std::string::npos);
    if (cp1251) {
        v = cp1251_to_utf8(v);
    } else if (v.size() > max) {
        std::string cut(max + 1, '\0');
        alarm_copy_utf8(cut.data(), max + 1, v.c_str());
        v = cut.c_str();
    }
    return json_escape_str(v);
}

bool is_json_number(const std::string &s) {
    size_t i = 0, n = s.size();
    if (i < n && s[i] == '-') i++;
    size_t d = i;
    while (i < n && s[i] >= '0' && s[i] <= '9')
        i++;
    if (i == d || (s[d] == '0' && i - d > 1)) return false;
    if (i < n && s[i] == '.') {
        size_t f = ++i;
        while (i < n && s[i] >= '0' && s[i] <= '9')
            i++;
        if (i == f) return false;
    }
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        i++;
        if (i < n && (s[i] == '+' || s[i] == '-')) i++;
        size_t x = i;
        while (i < n && s[i] >= '0' && s[i] <= '9')
            i++;
        if (i == x) return false;
    }
    return i == n;
}

// A number attribute as JSON text: the value when it is one, else 0 (an
// empty value is simply 0; anything else is also counted and logged).
std::string num_attr(const std::string &el, const char *name, size_t max, int *bad) {
    std::string v = attr(el, name, max);
    if (v.empty()) return "0";
    if (is_json_number(v)) return v;
    (*bad)++;
    log_err("alarm: alarm.xml %s=\"%s\" — не число, записано 0", name,
            json_escape_str(cp1251_to_utf8(v)).c_str());
    return "0";
}

}  // namespace

int alarm_xml_convert(const std::string &xml, std::string *out) {
    int bad = 0;
    std::string &o = *out;
    o = "{\n  \"version\": 1,\n  \"takt_ms\": 500,\n";
    size_t st = xml.find("<stations");
    std::string def;
    if (st != std::string::npos) def = text_attr(element_text(xml, st), "default", 127, true);
    o += "  \"stations_default\": \"" + def + "\",\n";
    o += "  \"levels\": [\n";
    o += "    { \"lvl\": 0, \"color\": \"#94a3b8\", \"sound\": \"\" },\n";
    o += "    { \"lvl\": 1, \"color\": \"#eab308\", \"sound\": \"warn.wav\" },\n";
    o += "    { \"lvl\": 2, \"color\": \"#ef4444\", \"sound\": \"alarm.wav\" }\n";
    o += "  ],\n";
    o += "  \"stations\": [\n";
    bool first = true;
    for (size_t p = 0; (p = xml.find("<s ", p)) != std::string::npos; p++) {
        std::string el = element_text(xml, p);
        o += first ? "" : ",\n";
        o += "    { \"id\": " + num_attr(el, "id", 15, &bad) + ", \"desc\": \"" +
             text_attr(el, "desc", 127, true) + "\" }";
        first = false;
    }
    o += "\n  ],\n";
    o += "  \"events\": [\n";
    first = true;
    for (size_t p = 0; (p = xml.find("<e ", p)) != std::string::npos; p++) {
        std::string el = element_text(xml, p);
        std::string cond = attr(el, "cond", 15);
        if (cond.empty()) {
            cond = "gte";
        } else if (strcmp(alarm_cond_name(alarm_cond_parse(cond.c_str())), cond.c_str()) != 0) {
            bad++;
            log_err("alarm: alarm.xml cond=\"%s\" — невідома умова, записано gte",
                    json_escape_str(cp1251_to_utf8(cond)).c_str());
            cond = "gte";
        }
        std::string flags = attr(el, "flags", 15);
        o += first ? "" : ",\n";
        o += "    { \"id\": " + num_attr(el, "id", 23, &bad) + ", \"expr1\": \"" +
             text_attr(el, "expr1", 63, false) + "\", \"expr2\": \"" +
             text_attr(el, "expr2", 63, false) + "\", \"cond\": \"" + cond + "\", \"desc\": \"" +
             text_attr(el, "desc", 255, true) +
             "\", \"delta\": " + num_attr(el, "delta", 23, &bad) +
             ", \"lvl\": " + num_attr(el, "lvl", 7, &bad) +
             ", \"station\": " + num_attr(el, "station", 15, &bad) +
             ", \"abs\": " + (flags.find('m') != std::string::npos ? "true" : "false") +
             ", \"check_quality\": false }";
        first = false;
    }
    o += "\n  ]\n}\n";
    return bad;
}

int alarm_import_xml(const char *xml_path, const char *json_path) {
    std::string xml, json;
    if (zq_read_file_max(xml_path, 64u << 20, &xml) != 0) return -1;
    alarm_xml_convert(xml, &json);
    return atomic_file_write(json_path, json) == 0 ? 0 : -1;
}
