#include "common/yaml.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string_view>
#include <unordered_map>

#include "common/parse_util.h"

namespace {

struct yline {
    int indent;
    uint32_t lineno;
    std::string_view text;  // after the indentation, trailing blanks removed
};

struct yparser {
    std::vector<yline> lines;
    size_t pos = 0;
    int depth = 0;
    bool stop = false;  // a line that fits no open block ends the parse
    bool oom = false;
    yaml_dup *dups = nullptr;
    size_t dup_cap = 0;
    size_t dup_count = 0;
    bool track_dups = false;
    const json_node *root_map = nullptr;
};

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

void split_lines(const char *text, std::vector<yline> *out) {
    uint32_t lineno = 0;
    const char *p = text;
    while (*p) {
        const char *nl = strchr(p, '\n');
        const char *end = nl ? nl : p + strlen(p);
        lineno++;
        const char *e = end;
        while (e > p && (e[-1] == ' ' || e[-1] == '\t' || e[-1] == '\r' || e[-1] == '\n'))
            e--;
        const char *s = p;
        while (s < e && *s == ' ')
            s++;
        if (s < e && *s != '#') out->push_back({(int)(s - p), lineno, std::string_view(s, e - s)});
        if (!nl) break;
        p = nl + 1;
    }
}

char *dup_sv(std::string_view s) {
    char *r = (char *)malloc(s.size() + 1);
    if (!r) return nullptr;
    memcpy(r, s.data(), s.size());
    r[s.size()] = '\0';
    return r;
}

// Position of the key separator: the first ':' followed by a space or the
// end of the text, outside quoted runs; npos when there is none.
size_t find_separator(std::string_view t) {
    char quote = 0;
    for (size_t i = 0; i < t.size(); i++) {
        char c = t[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == ':' && (i + 1 == t.size() || t[i + 1] == ' ')) {
            return i;
        }
    }
    return std::string_view::npos;
}

std::string_view rtrim(std::string_view s) {
    while (!s.empty() && is_blank(s.back()))
        s.remove_suffix(1);
    return s;
}

// Removes an inline comment: a '#' first or after a blank, past a leading
// quoted run (where a backslash escapes the next character).
std::string_view strip_comment(std::string_view v) {
    size_t i = 0;
    if (!v.empty() && (v[0] == '"' || v[0] == '\'')) {
        const char q = v[0];
        for (i = 1; i < v.size(); i++) {
            if (v[i] == '\\') {
                i++;
                continue;
            }
            if (v[i] == q) {
                i++;
                break;
            }
        }
        if (i > v.size()) i = v.size();
    }
    for (; i < v.size(); i++) {
        if (v[i] == '#' && (i == 0 || is_blank(v[i - 1]))) return rtrim(v.substr(0, i));
    }
    return v;
}

bool ieq(std::string_view a, const char *b) {
    size_t n = strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; i++) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
        if (c != b[i]) return false;
    }
    return true;
}

// optional sign, digits with at most one '.', at least one digit
bool is_number_text(std::string_view t) {
    size_t i = 0;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) i++;
    int digits = 0, dots = 0;
    for (; i < t.size(); i++) {
        if (t[i] >= '0' && t[i] <= '9')
            digits++;
        else if (t[i] == '.' && dots == 0)
            dots++;
        else
            return false;
    }
    return digits > 0;
}

json_node *new_string_sv(std::string_view s) {
    json_node *n = json_new(JSON_STRING, nullptr);
    if (!n) return nullptr;
    if (!(n->string = dup_sv(s))) {
        json_free(n);
        return nullptr;
    }
    return n;
}

// depth: nesting level of the block holding the value; a flow sequence is
// one level deeper and shares the block bound, so emitting never deepens it.
json_node *read_scalar(std::string_view t, int depth);

// depth: the flow sequence's own nesting level.
json_node *read_flow(std::string_view inner, int depth) {
    json_node *seq = json_new(JSON_ARRAY, nullptr);
    if (!seq) return nullptr;
    json_node *last = nullptr;
    size_t start = 0;
    char quote = 0;
    for (size_t i = 0; i <= inner.size(); i++) {
        char c = i < inner.size() ? inner[i] : ',';
        if (quote) {
            if (c == quote && i < inner.size()) quote = 0;
            if (i < inner.size()) continue;
        } else if (c == '"' || c == '\'') {
            quote = c;
            continue;
        }
        if (c != ',') continue;
        std::string_view piece = inner.substr(start, i - start);
        start = i + 1;
        while (!piece.empty() && (is_blank(piece[0]) || piece[0] == ','))
            piece.remove_prefix(1);
        piece = rtrim(piece);
        if (piece.empty()) continue;
        json_node *item = read_scalar(piece, depth);
        if (!item) {
            json_free(seq);
            return nullptr;
        }
        if (last)
            last->next = item;
        else
            seq->child = item;
        last = item;
    }
    return seq;
}

json_node *read_scalar(std::string_view t, int depth) {
    const size_t n = t.size();
    if (n == 0) return new_string_sv(t);
    if (n >= 2 && t[0] == '"' && t[n - 1] == '"') {
        std::string s;
        s.reserve(n);
        for (size_t i = 1; i + 1 < n; i++) {
            char c = t[i];
            if (c == '\\' && i + 2 < n) {
                char e = t[++i];
                s += e == 'n' ? '\n' : e == 't' ? '\t' : e;
            } else {
                s += c;
            }
        }
        return new_string_sv(s);
    }
    if (n >= 2 && t[0] == '\'' && t[n - 1] == '\'') return new_string_sv(t.substr(1, n - 2));
    if (n >= 2 && t[0] == '[' && t[n - 1] == ']' && depth < YAML_MAX_DEPTH)
        return read_flow(t.substr(1, n - 2), depth + 1);
    if (ieq(t, "true") || ieq(t, "yes") || ieq(t, "on")) return json_new_bool(nullptr, 1);
    if (ieq(t, "false") || ieq(t, "no") || ieq(t, "off")) return json_new_bool(nullptr, 0);
    if (ieq(t, "null") || t == "~") return json_new(JSON_NULL, nullptr);
    if (is_number_text(t)) {
        std::string s(t);
        return json_new_number(nullptr, zq_strtod_c(s.c_str(), nullptr));
    }
    return new_string_sv(t);
}

json_node *parse_block(yparser *ps, int indent);

// Skips every line deeper than indent (the body of a block that is not built).
void skip_deeper(yparser *ps, int indent) {
    while (ps->pos < ps->lines.size() && ps->lines[ps->pos].indent > indent)
        ps->pos++;
}

struct map_state {
    json_node *map = nullptr;
    json_node *last = nullptr;
    // key -> (node, line): replacing a repeated key keeps its position
    std::unordered_map<std::string_view, std::pair<json_node *, uint32_t>> seen;
};

void record_dup(yparser *ps, std::string_view key, uint32_t first_line, uint32_t line, bool top) {
    if (!ps->track_dups) return;
    if (ps->dup_count < ps->dup_cap && ps->dups) {
        yaml_dup *d = &ps->dups[ps->dup_count];
        memset(d, 0, sizeof *d);
        size_t k = key.size() < sizeof d->key - 1 ? key.size() : sizeof d->key - 1;
        memcpy(d->key, key.data(), k);
        d->first_line = first_line;
        d->line = line;
        d->top_level = top ? 1 : 0;
    }
    ps->dup_count++;
}

// Adds value under key to the map, replacing an earlier member of that key.
void map_put(yparser *ps, map_state *ms, std::string_view key, json_node *value, uint32_t line) {
    if (!value) return;
    auto it = ms->seen.find(key);
    if (it != ms->seen.end()) {
        json_node *old = it->second.first;
        record_dup(ps, key, it->second.second, line, ms->map == ps->root_map);
        // The old node keeps its key and place; it takes the new contents.
        json_free(old->child);
        free(old->string);
        old->type = value->type;
        old->boolean = value->boolean;
        old->number = value->number;
        old->string = value->string;
        old->child = value->child;
        value->string = nullptr;
        value->child = nullptr;
        json_free(value);
        it->second.second = line;
        return;
    }
    if (!(value->key = dup_sv(key))) {
        json_free(value);
        ps->oom = true;
        return;
    }
    if (ms->last)
        ms->last->next = value;
    else
        ms->map->child = value;
    ms->last = value;
    ms->seen.emplace(std::string_view(value->key), std::make_pair(value, line));
}

// One map line (text t, physical line lineno) of a map at indentation indent;
// ps->pos is already past it.
void map_line(yparser *ps, map_state *ms, std::string_view t, uint32_t lineno, int indent) {
    size_t sep = find_separator(t);
    if (sep == std::string_view::npos) return;
    std::string_view key = rtrim(t.substr(0, sep));
    std::string_view v = t.substr(sep + 1);
    while (!v.empty() && v[0] == ' ')
        v.remove_prefix(1);
    v = strip_comment(v);
    json_node *value = nullptr;
    if (!v.empty() && v[0] == '|') {
        std::string s;
        bool first = true;
        while (ps->pos < ps->lines.size() && ps->lines[ps->pos].indent > indent) {
            if (!first) s += '\n';
            s.append(ps->lines[ps->pos].text);
            first = false;
            ps->pos++;
        }
        value = new_string_sv(s);
    } else if (v.empty()) {
        if (ps->pos < ps->lines.size() && ps->lines[ps->pos].indent > indent) {
            value = parse_block(ps, ps->lines[ps->pos].indent);
            if (!value) {
                if (ps->oom) return;
                skip_deeper(ps, indent);  // too deep: the key is dropped
                return;
            }
        } else {
            value = new_string_sv("");
        }
    } else {
        value = read_scalar(v, ps->depth);
    }
    if (!value) {
        ps->oom = true;
        return;
    }
    map_put(ps, ms, key, value, lineno);
}

// Continues a map at indent until a line that does not belong to it.
void map_rest(yparser *ps, map_state *ms, int indent) {
    while (!ps->stop && !ps->oom && ps->pos < ps->lines.size()) {
        const yline &l = ps->lines[ps->pos];
        if (l.indent < indent) return;
        if (l.indent > indent) {
            ps->stop = true;
            return;
        }
        if (l.text[0] == '-') return;
        ps->pos++;
        map_line(ps, ms, l.text, l.lineno, indent);
    }
}

json_node *seq_items(yparser *ps, json_node *seq, int indent) {
    json_node *last = nullptr;
    while (!ps->stop && !ps->oom && ps->pos < ps->lines.size()) {
        const yline &l = ps->lines[ps->pos];
        if (l.indent < indent) break;
        if (l.indent > indent) {
            ps->stop = true;
            break;
        }
        if (l.text[0] != '-') break;
        ps->pos++;
        std::string_view rest = l.text.substr(1);
        while (!rest.empty() && rest[0] == ' ')
            rest.remove_prefix(1);
        json_node *item = nullptr;
        if (rest.empty()) {
            if (ps->pos < ps->lines.size() && ps->lines[ps->pos].indent > indent) {
                item = parse_block(ps, ps->lines[ps->pos].indent);
                if (!item) {
                    if (ps->oom) break;
                    skip_deeper(ps, indent);
                    continue;
                }
            } else {
                item = new_string_sv("");
            }
        } else if (rest[0] != '"' && rest[0] != '\'' &&
                   find_separator(rest) != std::string_view::npos) {
            if (ps->depth >= YAML_MAX_DEPTH) {
                skip_deeper(ps, indent);
                continue;
            }
            ps->depth++;
            item = json_new(JSON_OBJECT, nullptr);
            if (item) {
                map_state ms;
                ms.map = item;
                map_line(ps, &ms, rest, l.lineno, indent + 2);
                map_rest(ps, &ms, indent + 2);
            }
            ps->depth--;
        } else {
            item = read_scalar(strip_comment(rest), ps->depth);
        }
        if (!item) {
            ps->oom = true;
            break;
        }
        if (last)
            last->next = item;
        else
            seq->child = item;
        last = item;
    }
    return seq;
}

// A block whose first line is ps->lines[ps->pos] at indentation indent; null
// when nesting is too deep or memory runs out.
json_node *parse_block(yparser *ps, int indent) {
    if (ps->depth >= YAML_MAX_DEPTH) return nullptr;
    ps->depth++;
    const bool seq = ps->lines[ps->pos].text[0] == '-';
    json_node *node = json_new(seq ? JSON_ARRAY : JSON_OBJECT, nullptr);
    if (!node) {
        ps->oom = true;
    } else if (seq) {
        seq_items(ps, node, indent);
    } else {
        if (ps->depth == 1) ps->root_map = node;
        map_state ms;
        ms.map = node;
        map_rest(ps, &ms, indent);
    }
    ps->depth--;
    return node;
}

}  // namespace

json_node *yaml_parse(const char *text) {
    return yaml_parse_dups(text, nullptr, 0, nullptr);
}

json_node *yaml_parse_dups(const char *text, yaml_dup *records, size_t capacity,
                           size_t *count_out) {
    if (count_out) *count_out = 0;
    if (!text) return nullptr;
    yparser ps;
    ps.dups = records;
    ps.dup_cap = records ? capacity : 0;
    ps.track_dups = true;
    split_lines(text, &ps.lines);
    json_node *root;
    if (ps.lines.empty())
        root = json_new(JSON_OBJECT, nullptr);
    else
        root = parse_block(&ps, ps.lines[0].indent);
    if (ps.oom) {
        json_free(root);
        return nullptr;
    }
    if (count_out) *count_out = ps.dup_count;
    return root;
}

json_node *yaml_parse_file(const char *path) {
    std::string text;
    if (zq_read_file(path, &text) != 0) return nullptr;
    return yaml_parse(text.c_str());
}

namespace {

std::string_view trim_item(std::string_view s) {
    while (!s.empty() && is_blank(s[0]))
        s.remove_prefix(1);
    while (!s.empty() && (is_blank(s.back()) || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

bool items_collect(const json_node *node, std::vector<std::string_view> *out) {
    if (!node) return false;
    if (node->type == JSON_STRING && node->string) {
        std::string_view all(node->string);
        while (!all.empty()) {
            size_t nl = all.find('\n');
            std::string_view line = all.substr(0, nl);
            all = nl == std::string_view::npos ? std::string_view() : all.substr(nl + 1);
            if (line.size() > 511) line = line.substr(0, 511);
            line = trim_item(strip_comment(trim_item(line)));
            if (!line.empty()) out->push_back(line);
        }
    } else if (node->type == JSON_ARRAY) {
        for (const json_node *c = node->child; c; c = c->next) {
            if (c->type != JSON_STRING || !c->string) continue;
            std::string_view line = trim_item(c->string);
            if (!line.empty()) out->push_back(line);
        }
    }
    return true;
}

}  // namespace

char **yaml_items(const json_node *node, size_t *count_out) {
    if (count_out) *count_out = 0;
    std::vector<std::string_view> lines;
    if (!items_collect(node, &lines)) return nullptr;
    char **arr = (char **)calloc(lines.size() + 1, sizeof(char *));
    if (!arr) return nullptr;
    for (size_t i = 0; i < lines.size(); i++) {
        if (!(arr[i] = dup_sv(lines[i]))) {
            yaml_items_free(arr, i);
            return nullptr;
        }
    }
    if (count_out) *count_out = lines.size();
    return arr;
}

void yaml_items_free(char **items, size_t count) {
    if (!items) return;
    for (size_t i = 0; i < count; i++)
        free(items[i]);
    free(items);
}

std::vector<std::string> yaml_items_vec(const json_node *node) {
    std::vector<std::string_view> lines;
    items_collect(node, &lines);
    return std::vector<std::string>(lines.begin(), lines.end());
}

// ---- emitter ----

namespace {

bool is_container(const json_node *n) {
    return n->type == JSON_ARRAY || n->type == JSON_OBJECT;
}

void put_indent(std::string *o, int n) {
    o->append((size_t)n, ' ');
}

// Writes the number the way "%g" would round it (six significant digits), but
// never with an exponent, which the reader would take for a string.
void put_number(std::string *o, double v) {
    char buf[512];
    if (!isfinite(v)) {
        o->append(isnan(v) ? "nan" : v < 0 ? "-inf" : "inf");
        return;
    }
    if (v == floor(v)) {
        if (fabs(v) < 9.2e18)
            snprintf(buf, sizeof buf, "%lld", (long long)v);
        else
            zq_format_double_c(buf, sizeof buf, "%.0f", v);
        o->append(buf);
        return;
    }
    zq_format_double_c(buf, sizeof buf, "%g", v);
    if (!strchr(buf, 'e')) {
        o->append(buf);
        return;
    }
    // "%.5e" gives the same six digits; place them without an exponent.
    zq_format_double_c(buf, sizeof buf, "%.5e", v);
    const char *p = buf;
    std::string out;
    if (*p == '-') {
        out += '-';
        p++;
    }
    char digits[7];
    int nd = 0;
    for (; *p && *p != 'e'; p++)
        if (*p >= '0' && *p <= '9' && nd < 6) digits[nd++] = *p;
    int exp = *p == 'e' ? atoi(p + 1) : 0;
    while (nd > 1 && digits[nd - 1] == '0')
        nd--;
    if (exp < 0) {
        out += "0.";
        out.append((size_t)(-exp - 1), '0');
        out.append(digits, (size_t)nd);
    } else {
        for (int i = 0; i < nd || i <= exp; i++) {
            if (i == exp + 1) out += '.';
            out += i < nd ? digits[i] : '0';
        }
    }
    o->append(out);
}

bool plain_ok(const char *s) {
    size_t n = strlen(s);
    if (n == 0) return false;
    if (s[0] == ' ' || s[0] == '\t' || strchr(" \t\r", s[n - 1])) return false;
    std::string_view t(s, n);
    if (is_number_text(t)) return false;
    static const char *const words[] = {"true", "false", "yes", "no", "on", "off", "null", "~"};
    for (const char *w : words)
        if (ieq(t, w)) return false;
    if (strchr("\"'#&*-[{|", s[0])) return false;
    if (s[n - 1] == ':') return false;
    if (strstr(s, ": ") || strchr(s, '#')) return false;
    if (strchr(s, '\n')) return false;
    return true;
}

void put_scalar(std::string *o, const json_node *n) {
    switch (n->type) {
        case JSON_BOOL:
            o->append(n->boolean ? "true" : "false");
            return;
        case JSON_NUMBER:
            put_number(o, n->number);
            return;
        case JSON_STRING:
            break;
        default:
            o->append("~");
            return;
    }
    if (!n->string) {
        o->append("\"\"");
        return;
    }
    if (plain_ok(n->string)) {
        o->append(n->string);
        return;
    }
    o->push_back('"');
    for (const char *p = n->string; *p; p++) {
        if (*p == '"' || *p == '\\') o->push_back('\\');
        // A raw newline would split the line; the reader decodes \n.
        if (*p == '\n') {
            o->append("\\n");
            continue;
        }
        o->push_back(*p);
    }
    o->push_back('"');
}

void emit_children(std::string *o, const json_node *node, int indent);

void value_tail(std::string *o, const json_node *n, int indent) {
    if (n->type == JSON_STRING) {
        if (!n->string || !*n->string) {
            o->push_back('\n');
            return;
        }
        if (strchr(n->string, '\n')) {
            o->append(" |\n");
            std::string_view all(n->string);
            while (!all.empty()) {
                size_t nl = all.find('\n');
                put_indent(o, indent + 2);
                o->append(all.substr(0, nl));
                o->push_back('\n');
                if (nl == std::string_view::npos) break;
                all.remove_prefix(nl + 1);
            }
            return;
        }
    }
    o->push_back(' ');
    put_scalar(o, n);
    o->push_back('\n');
}

void map_child(std::string *o, const json_node *c, int indent) {
    put_indent(o, indent);
    if (c->key) o->append(c->key);
    o->push_back(':');
    if (!is_container(c)) {
        value_tail(o, c, indent);
    } else if (!c->child) {
        o->append(c->type == JSON_OBJECT ? " {}\n" : " []\n");
    } else {
        o->push_back('\n');
        emit_children(o, c, indent + 2);
    }
}

void seq_item(std::string *o, const json_node *c, int indent) {
    put_indent(o, indent);
    o->push_back('-');
    if (!is_container(c)) {
        o->push_back(' ');
        put_scalar(o, c);
        o->push_back('\n');
    } else if (!c->child) {
        o->append(c->type == JSON_OBJECT ? " {}\n" : " []\n");
    } else if (c->type == JSON_ARRAY) {
        o->push_back('\n');
        emit_children(o, c, indent + 2);
    } else {
        bool first = true;
        for (const json_node *k = c->child; k; k = k->next) {
            if (first)
                o->push_back(' ');
            else
                put_indent(o, indent + 2);
            first = false;
            if (k->key) o->append(k->key);
            o->push_back(':');
            if (is_container(k)) {
                o->push_back('\n');
                emit_children(o, k, indent + 4);
            } else {
                value_tail(o, k, indent + 2);
            }
        }
    }
}

void emit_children(std::string *o, const json_node *node, int indent) {
    if (node->type == JSON_OBJECT)
        for (const json_node *c = node->child; c; c = c->next)
            map_child(o, c, indent);
    else if (node->type == JSON_ARRAY)
        for (const json_node *c = node->child; c; c = c->next)
            seq_item(o, c, indent);
}

}  // namespace

char *yaml_emit(const json_node *node) {
    if (!node) return nullptr;
    std::string out;
    out.reserve(1024);
    emit_children(&out, node, 0);
    return dup_sv(out);
}

std::string yaml_emit_str(const json_node *node) {
    std::string out;
    if (node) emit_children(&out, node, 0);
    return out;
}
