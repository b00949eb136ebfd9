#include "common/yaml_edit.h"

#include <errno.h>

#include <cmath>
#include <cstring>
#include <mutex>

#include "common/atomic_file.h"
#include "common/json.h"
#include "common/parse_util.h"
#include "common/yaml.h"

namespace {

constexpr int MAX_PATH_DEPTH = 8;
constexpr size_t MAX_FILE_BYTES = 8u << 20;

struct doc {
    std::vector<std::string> lines;  // without their "\n"
    bool final_newline = true;
};

doc split(const std::string &text) {
    doc d;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) {
            d.lines.push_back(text.substr(pos));
            d.final_newline = false;
            break;
        }
        d.lines.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return d;
}

std::string join(const doc &d) {
    std::string out;
    for (size_t i = 0; i < d.lines.size(); i++) {
        out += d.lines[i];
        if (i + 1 < d.lines.size() || d.final_newline) out += '\n';
    }
    return out;
}

int indent_of(const std::string &l) {
    size_t i = l.find_first_not_of(' ');
    return i == std::string::npos ? (int)l.size() : (int)i;
}

// Blank and comment lines belong to no block: the reader skips them.
bool is_blank(const std::string &l) {
    size_t b = l.find_first_not_of(" \t\r");
    return b == std::string::npos || l[b] == '#';
}

// True when the line at its own indentation is "key:" followed by the end,
// a blank or a comment.
bool key_is(const std::string &l, const char *key) {
    size_t in = (size_t)indent_of(l), kl = strlen(key);
    if (l.compare(in, kl, key) != 0 || in + kl >= l.size() || l[in + kl] != ':') return false;
    size_t after = in + kl + 1;
    return after == l.size() || l[after] == ' ' || l[after] == '\t' || l[after] == '\r';
}

// Offset of a trailing " # comment" of a key line (outside quotes), or npos.
size_t comment_at(const std::string &l) {
    char quote = 0;
    for (size_t i = (size_t)indent_of(l); i < l.size(); i++) {
        char c = l[i];
        if (quote) {
            if (c == '\\' && quote == '"' && i + 1 < l.size())
                i++;
            else if (c == quote)
                quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '#' && i > 0 && (l[i - 1] == ' ' || l[i - 1] == '\t')) {
            size_t b = i;
            while (b > 0 && (l[b - 1] == ' ' || l[b - 1] == '\t'))
                b--;
            return b;
        }
    }
    return std::string::npos;
}

// One map of the document: the lines [begin, end) below its header (the
// whole file for the top level), and the indentation of its keys.
struct map_range {
    size_t begin, end;
    int child;      // indentation of the map's keys
    int parent;     // indentation of the header (-1 for the top level)
    bool has_keys;  // child was read from a line, not guessed
};

// First line after `from` that is not deeper than `indent`, or `end`.
size_t block_end(const doc &d, size_t from, size_t end, int indent) {
    for (size_t i = from; i < end; i++)
        if (!is_blank(d.lines[i]) && indent_of(d.lines[i]) <= indent) return i;
    return end;
}

// Index just after the last content line in [begin, end): comments and
// blank lines that trail a block stay where they are.
size_t content_end(const doc &d, size_t begin, size_t end) {
    while (end > begin && is_blank(d.lines[end - 1]))
        end--;
    return end;
}

// Indentation step the file uses (first indented content line), 2 when the
// file has none.
int file_step(const doc &d) {
    for (const std::string &l : d.lines)
        if (!is_blank(l) && indent_of(l) > 0) return indent_of(l);
    return 2;
}

map_range sub_range(const doc &d, size_t header, size_t end, int header_indent, int step) {
    map_range m{header + 1, block_end(d, header + 1, end, header_indent), header_indent + step,
                header_indent, false};
    for (size_t i = m.begin; i < m.end; i++)
        if (!is_blank(d.lines[i])) {
            m.child = indent_of(d.lines[i]);
            m.has_keys = true;
            break;
        }
    return m;
}

// Last line of the map holding `key` at the map's own indentation (the
// reader lets a repeated key win), or npos.
size_t find_key(const doc &d, const map_range &m, const char *key) {
    size_t found = std::string::npos;
    for (size_t i = m.begin; i < m.end; i++)
        if (!is_blank(d.lines[i]) && indent_of(d.lines[i]) == m.child && key_is(d.lines[i], key))
            found = i;
    return found;
}

// Whether the line holds a value after the key (then it is no map header).
bool has_inline_value(const std::string &l, const char *key) {
    size_t after = (size_t)indent_of(l) + strlen(key) + 1;
    size_t c = comment_at(l);
    std::string rest = l.substr(after, c == std::string::npos ? std::string::npos : c - after);
    return rest.find_first_not_of(" \t\r") != std::string::npos;
}

// Finds (creating when missing) the map at path; false when a name on the
// path holds a value that is not a map.
bool locate(doc *d, yaml_edit_path path, map_range *out) {
    int step = file_step(*d);
    int top = 0;
    for (const std::string &l : d->lines)
        if (!is_blank(l)) {
            top = indent_of(l);
            break;
        }
    map_range m{0, d->lines.size(), top, -1, true};
    for (int k = 0; k < path.depth; k++) {
        const char *name = path.names[k];
        size_t at = find_key(*d, m, name);
        if (at == std::string::npos) {
            size_t ins = content_end(*d, m.begin, m.end);
            if (m.parent < 0) {
                ins = d->lines.size();  // a new section goes to the end of the file
                d->final_newline = true;
            }
            d->lines.insert(d->lines.begin() + (long)ins,
                            std::string((size_t)m.child, ' ') + name + ":");
            at = ins;
            m.end++;
        } else if (has_inline_value(d->lines[at], name)) {
            // "{}" is how an empty map is written; anything else is a value.
            const std::string &l = d->lines[at];
            size_t v = l.find_first_not_of(" \t", (size_t)indent_of(l) + strlen(name) + 1);
            size_t c = comment_at(l);
            std::string val = l.substr(v, c == std::string::npos ? std::string::npos : c - v);
            while (!val.empty() && (val.back() == ' ' || val.back() == '\r'))
                val.pop_back();
            if (val != "{}") return false;
            d->lines[at] = std::string((size_t)m.child, ' ') + name + ":" +
                           (c == std::string::npos ? std::string() : l.substr(c));
        }
        int step_here = m.has_keys && m.parent >= 0 ? m.child - m.parent : step;
        if (step_here < 1) step_here = step;
        m = sub_range(*d, at, m.end, m.child, step_here);
    }
    *out = m;
    return true;
}

// Removes the key line at `at` and its deeper block, keeping comments and
// blank lines that trail the block. Returns the index where it stood.
size_t erase_key(doc *d, size_t at, const map_range &m) {
    size_t e = block_end(*d, at + 1, m.end, m.child);
    e = content_end(*d, at + 1, e);
    d->lines.erase(d->lines.begin() + (long)at, d->lines.begin() + (long)e);
    return at;
}

// Where a new key goes: after the map's last content line.
size_t insert_at(const doc &d, const map_range &m) {
    return content_end(d, m.begin, m.end);
}

bool valid_path(yaml_edit_path p) {
    if (p.depth < 1 || p.depth > MAX_PATH_DEPTH || !p.names) return false;
    for (int i = 0; i < p.depth; i++)
        if (!p.names[i] || !p.names[i][0]) return false;
    return true;
}

bool valid_key(const char *key) {
    return key && key[0] && !strpbrk(key, ":#\n\r") && key[0] != '-' && key[0] != ' ';
}

}  // namespace

int yaml_edit_set_scalar(std::string *text, yaml_edit_path path, const char *key,
                         const std::string &scalar, const char *comment) {
    if (!valid_path(path) || !valid_key(key) || scalar.find('\n') != std::string::npos)
        return YAML_EDIT_BAD_PATH;
    doc d = split(*text);
    map_range m;
    if (!locate(&d, path, &m)) return YAML_EDIT_BAD_PATH;
    std::string line = std::string((size_t)m.child, ' ') + key + ": " + scalar;
    size_t at = find_key(d, m, key);
    if (at != std::string::npos) {
        // An engineer's remark after the old value stays with the key.
        std::string old = d.lines[at];
        size_t c = comment_at(old);
        if (c != std::string::npos) line += old.substr(c);
        size_t e = block_end(d, at + 1, m.end, m.child);
        e = content_end(d, at + 1, e);
        d.lines.erase(d.lines.begin() + (long)at + 1, d.lines.begin() + (long)e);
        d.lines[at] = line;
    } else {
        if (comment && comment[0]) line += std::string("   # ") + comment;
        d.lines.insert(d.lines.begin() + (long)insert_at(d, m), line);
    }
    *text = join(d);
    return YAML_EDIT_OK;
}

int yaml_edit_set_block(std::string *text, yaml_edit_path path, const char *key,
                        const std::vector<std::string> &lines) {
    if (!valid_path(path) || !valid_key(key)) return YAML_EDIT_BAD_PATH;
    for (const std::string &l : lines)
        if (l.find('\n') != std::string::npos) return YAML_EDIT_BAD_PATH;
    doc d = split(*text);
    map_range m;
    if (!locate(&d, path, &m)) return YAML_EDIT_BAD_PATH;
    size_t at = find_key(d, m, key);
    int step = m.parent >= 0 && m.child > m.parent ? m.child - m.parent : file_step(d);
    int inner = m.child + step;
    std::string head = std::string((size_t)m.child, ' ') + key + ":";
    if (at != std::string::npos) {
        std::string old = d.lines[at];
        // The old block's own indentation wins, so a list keeps its look.
        size_t e = block_end(d, at + 1, m.end, m.child);
        for (size_t i = at + 1; i < e; i++)
            if (!is_blank(d.lines[i])) {
                inner = indent_of(d.lines[i]);
                break;
            }
        size_t c = comment_at(old);
        if (c != std::string::npos && !has_inline_value(old.substr(0, c), key))
            head += old.substr(c);
        e = content_end(d, at + 1, e);
        d.lines.erase(d.lines.begin() + (long)at, d.lines.begin() + (long)e);
    } else {
        at = insert_at(d, m);
    }
    std::vector<std::string> add;
    if (lines.empty()) {
        add.push_back(head.substr(0, (size_t)m.child + strlen(key) + 1) + " []");
    } else {
        add.push_back(head);
        for (const std::string &l : lines)
            add.push_back(std::string((size_t)inner, ' ') + l);
    }
    d.lines.insert(d.lines.begin() + (long)at, add.begin(), add.end());
    *text = join(d);
    return YAML_EDIT_OK;
}

int yaml_edit_remove(std::string *text, yaml_edit_path path, const char *key) {
    if (!valid_path(path) || !valid_key(key)) return YAML_EDIT_BAD_PATH;
    doc d = split(*text);
    // Locating would create missing maps; a missing map has no key to remove.
    doc probe = d;
    map_range m;
    if (!locate(&probe, path, &m)) return YAML_EDIT_BAD_PATH;
    if (probe.lines.size() != d.lines.size()) return YAML_EDIT_OK;
    size_t at = find_key(d, m, key);
    if (at == std::string::npos) return YAML_EDIT_OK;
    erase_key(&d, at, m);
    *text = join(d);
    return YAML_EDIT_OK;
}

namespace {

bool same_tree(const json_node *a, const json_node *b) {
    for (; a && b; a = a->next, b = b->next) {
        if (a->type != b->type) return false;
        if ((a->key == nullptr) != (b->key == nullptr)) return false;
        if (a->key && strcmp(a->key, b->key) != 0) return false;
        switch (a->type) {
            case JSON_BOOL:
                if (a->boolean != b->boolean) return false;
                break;
            case JSON_NUMBER:
                if (!(a->number == b->number || (std::isnan(a->number) && std::isnan(b->number))))
                    return false;
                break;
            case JSON_STRING:
                if (strcmp(a->string ? a->string : "", b->string ? b->string : "") != 0)
                    return false;
                break;
            default:
                break;
        }
        if (!same_tree(a->child, b->child)) return false;
    }
    return a == nullptr && b == nullptr;
}

// Every top-level section but `edited` reads the same; `edited` still reads.
bool sections_kept(const json_node *before, const json_node *after, const char *edited) {
    if (!after || after->type != JSON_OBJECT) return false;
    if (!json_get(after, edited)) return false;
    if (!before || before->type != JSON_OBJECT) return true;
    for (const json_node *s = before->child; s; s = s->next) {
        if (!s->key || strcmp(s->key, edited) == 0) continue;
        const json_node *t = json_get(after, s->key);
        if (!t || t->type != s->type) return false;
        if (t->type == JSON_OBJECT || t->type == JSON_ARRAY) {
            if (!same_tree(s->child, t->child)) return false;
        } else {
            json_node sa = *s, ta = *t;
            sa.next = ta.next = nullptr;
            sa.child = ta.child = nullptr;
            if (!same_tree(&sa, &ta)) return false;
        }
    }
    return true;
}

std::mutex g_file_mu;

}  // namespace

int yaml_edit_file(const char *path, yaml_edit_path where,
                   const std::function<int(std::string *text)> &edit) {
    if (!valid_path(where)) return YAML_EDIT_BAD_PATH;
    std::lock_guard<std::mutex> lk(g_file_mu);
    std::string text;
    // An unreadable configuration is never replaced by a stub.
    if (zq_read_file_max(path, MAX_FILE_BYTES, &text) != 0) return YAML_EDIT_UNREADABLE;
    json_ptr before(yaml_parse(text.c_str()));
    std::string out = text;
    int rc = edit(&out);
    if (rc != YAML_EDIT_OK) return rc;
    if (out == text) return YAML_EDIT_OK;
    json_ptr after(yaml_parse(out.c_str()));
    if (!sections_kept(before.get(), after.get(), where.names[0])) return YAML_EDIT_BROKEN;
    if (atomic_file_write(path, out.data(), out.size()) != 0) return YAML_EDIT_WRITE;
    return YAML_EDIT_OK;
}

std::mutex &yaml_edit_mutex() {
    return g_file_mu;
}

const char *yaml_edit_strerror(int code) {
    switch (code) {
        case YAML_EDIT_OK:
            return "ok";
        case YAML_EDIT_BAD_PATH:
            return "section path is not a map";
        case YAML_EDIT_UNREADABLE:
            return "file cannot be read";
        case YAML_EDIT_BROKEN:
            return "the edit would change other sections; file left as it was";
        case YAML_EDIT_WRITE:
            return "file cannot be replaced";
        default:
            return "unknown error";
    }
}
