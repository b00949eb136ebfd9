#include "common/cfg_augment.h"

#include "common/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <new>
#include <set>
#include <string_view>
#include <vector>

#include "common/parse_util.h"

namespace {

using sv = std::string_view;

const char kMarker[] = "# ── додано оновленням (нові опції релізу) ──";

// Lines without their '\n'; a final newline does not start another line.
std::vector<sv> split_lines(sv text) {
    std::vector<sv> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == sv::npos) nl = text.size();
        out.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return out;
}

sv strip_cr(sv l) {
    if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    return l;
}

bool is_blank(sv l) {
    for (char c : l)
        if (c != ' ' && c != '\t' && c != '\r') return false;
    return true;
}

bool is_comment(sv l) {
    size_t i = 0;
    while (i < l.size() && (l[i] == ' ' || l[i] == '\t'))
        i++;
    return i < l.size() && l[i] == '#';
}

int indent_of(sv l) {
    int n = 0;
    while (size_t(n) < l.size() && l[n] == ' ')
        n++;
    return n;
}

struct key_line {
    bool ok = false;
    int indent = 0;
    bool commented = false;
    sv key;
    size_t after = 0;  // offset just past the ':'
};

// "  key:", "# key:" (commented out); keys are [a-z0-9_]{1,127}.
key_line parse_key(sv l) {
    key_line k;
    size_t i = size_t(indent_of(l));
    k.indent = int(i);
    if (i < l.size() && l[i] == '#') {
        k.commented = true;
        i++;
        while (i < l.size() && l[i] == ' ')
            i++;
    }
    size_t b = i;
    while (i < l.size() &&
           ((l[i] >= 'a' && l[i] <= 'z') || (l[i] >= '0' && l[i] <= '9') || l[i] == '_'))
        i++;
    if (i == b || i - b > 127 || i >= l.size() || l[i] != ':') return k;
    k.ok = true;
    k.key = l.substr(b, i - b);
    k.after = i + 1;
    return k;
}

bool is_section_head(const key_line &k) {
    return k.ok && !k.commented && k.indent == 0;
}

// A value after "key:" other than a comment ("scada: {}", "trust: []").
bool has_inline_value(sv l, size_t after) {
    for (size_t i = after; i < l.size(); i++) {
        char c = l[i];
        if (c == ' ' || c == '\t' || c == '\r') continue;
        return c != '#';
    }
    return false;
}

// Starts at indentation 0 and is neither blank nor a comment; a sequence
// entry at indentation 0 still belongs to the key above it.
bool is_top_content(sv l) {
    return !is_blank(l) && !is_comment(l) && indent_of(l) == 0 && l[0] != '-';
}

struct cur_section {
    sv name;
    size_t head, end;  // [head, end)
    size_t insert_at;  // new keys go after this line
    int child_indent;  // -1 when the section has no child line yet
    bool editable;     // a map body (no inline value, no sequence)
    std::string buffer;
    std::set<std::string, std::less<>> added;
};

std::vector<cur_section> index_current(const std::vector<sv> &lines) {
    std::vector<cur_section> secs;
    for (size_t i = 0; i < lines.size(); i++) {
        key_line k = parse_key(lines[i]);
        if (!is_section_head(k)) continue;
        size_t end = i + 1;
        while (end < lines.size() && !is_top_content(lines[end]))
            end++;
        cur_section s{k.key, i, end, i, -1, !has_inline_value(lines[i], k.after), {}, {}};
        for (size_t j = i + 1; j < end; j++) {
            sv l = lines[j];
            if (is_blank(l) || (is_comment(l) && indent_of(l) == 0)) continue;
            s.insert_at = j;
            if (s.child_indent < 0 && !is_comment(l)) {
                s.child_indent = indent_of(l);
                if (l[size_t(s.child_indent)] == '-') s.editable = false;
            }
        }
        secs.push_back(std::move(s));
        i = end - 1;
    }
    return secs;
}

struct tmpl_section {
    sv name;
    size_t head, end;  // [head, end), trailing blank lines excluded
    size_t block;      // first line of the text block appended for a new section
};

std::vector<tmpl_section> index_template(const std::vector<sv> &lines) {
    std::vector<tmpl_section> secs;
    size_t prev_end = 0;
    for (size_t i = 0; i < lines.size(); i++) {
        key_line k = parse_key(lines[i]);
        if (!is_section_head(k)) continue;
        size_t block = prev_end;
        for (size_t j = prev_end; j < i; j++) {
            sv l = lines[j];
            bool plain_comment = is_comment(l) && !parse_key(l).ok;
            if (!is_blank(l) && !plain_comment) block = j + 1;
        }
        size_t end = i + 1;
        while (end < lines.size() && (is_blank(lines[end]) || indent_of(lines[end]) > 0))
            end++;
        size_t next = end;
        while (end > i + 1 && is_blank(lines[end - 1]))
            end--;
        secs.push_back({k.key, i, end, block});
        prev_end = end;
        i = next - 1;
    }
    return secs;
}

bool section_has_key(const std::vector<sv> &lines, const cur_section &s, sv key) {
    for (size_t j = s.head + 1; j < s.end; j++) {
        key_line k = parse_key(lines[j]);
        if (k.ok && k.key == key) return true;
    }
    return false;
}

// Never added: a password that the file does not carry switches the remote
// editor on or off behind the engineer's back.
bool is_forbidden_key(sv key) {
    return key == "eng_password";
}

struct merger {
    const std::vector<sv> &cur;
    const std::vector<sv> &tpl;
    const char *eol;
    bool ends_nl;
    std::vector<cur_section> secs;
    std::map<sv, size_t> last_of;  // name -> section the reader keeps (the last)
    std::string new_sections;

    void put(std::string *o, sv l, int shift_from, int delta) {
        l = strip_cr(l);
        if (is_blank(l)) {
            o->append(eol);
            return;
        }
        int ind = indent_of(l);
        if (ind >= shift_from) {
            o->append(size_t(ind + delta), ' ');
            l.remove_prefix(size_t(ind));
        }
        o->append(l);
        o->append(eol);
    }

    void merge_keys(const tmpl_section &ts, cur_section *cs) {
        int tchild = -1;
        for (size_t j = ts.head + 1; j < ts.end; j++) {
            if (!is_blank(tpl[j])) {
                tchild = indent_of(tpl[j]);
                break;
            }
        }
        if (tchild <= 0 || !cs->editable) return;
        int cchild = cs->child_indent > 0 ? cs->child_indent : tchild;
        for (size_t j = ts.head + 1; j < ts.end; j++) {
            key_line k = parse_key(tpl[j]);
            if (!k.ok || k.commented || k.indent != tchild) continue;
            size_t first = j;
            while (first > ts.head + 1 && is_comment(tpl[first - 1]) &&
                   !parse_key(tpl[first - 1]).ok)
                first--;
            size_t last = j + 1;
            while (last < ts.end && (is_blank(tpl[last]) || indent_of(tpl[last]) > tchild))
                last++;
            while (last > j + 1 && is_blank(tpl[last - 1]))
                last--;
            if (is_forbidden_key(k.key) || cs->added.count(k.key) ||
                section_has_key(cur, *cs, k.key))
                continue;
            cs->added.emplace(k.key);
            for (size_t x = first; x < last; x++)
                put(&cs->buffer, tpl[x], tchild, cchild - tchild);
        }
    }

    void append_section(const tmpl_section &ts) {
        int skip_deeper = -1;  // indentation of a dropped key, whose block goes too
        for (size_t x = ts.block; x < ts.end; x++) {
            if (skip_deeper >= 0 && (is_blank(tpl[x]) || indent_of(tpl[x]) > skip_deeper)) continue;
            skip_deeper = -1;
            key_line k = parse_key(tpl[x]);
            if (k.ok && !k.commented && is_forbidden_key(k.key)) {
                skip_deeper = k.indent;
                continue;
            }
            put(&new_sections, tpl[x], 1 << 30, 0);
        }
    }

    // Any key line at indentation 0 with this name, commented out or not:
    // a section the user disabled stays disabled.
    bool mentioned(sv name) {
        for (sv l : cur) {
            key_line k = parse_key(l);
            if (k.ok && k.indent == 0 && k.key == name) return true;
        }
        return false;
    }

    bool run() {
        secs = index_current(cur);
        for (size_t i = 0; i < secs.size(); i++)
            last_of[secs[i].name] = i;
        std::vector<tmpl_section> tsecs = index_template(tpl);
        for (size_t t = 0; t < tsecs.size(); t++) {
            const tmpl_section &ts = tsecs[t];
            // A repeated template section counts once, as the reader takes it:
            // the last occurrence.
            bool later = false;
            for (size_t u = t + 1; u < tsecs.size() && !later; u++)
                later = tsecs[u].name == ts.name;
            if (later || is_forbidden_key(ts.name)) continue;
            auto it = last_of.find(ts.name);
            if (it != last_of.end()) {
                merge_keys(ts, &secs[it->second]);
            } else if (!mentioned(ts.name)) {
                append_section(ts);
            }
        }
        bool any = !new_sections.empty();
        for (const cur_section &s : secs)
            any = any || !s.buffer.empty();
        return any;
    }

    void build(std::string *out) {
        std::vector<const std::string *> after(cur.size(), nullptr);
        for (const cur_section &s : secs)
            if (!s.buffer.empty()) after[s.insert_at] = &s.buffer;
        out->clear();
        for (size_t i = 0; i < cur.size(); i++) {
            out->append(cur[i]);
            // Existing lines keep their own ending; only a last line without
            // one gets the file's.
            bool last_open = i + 1 == cur.size() && !ends_nl;
            if (!last_open || (!cur[i].empty() && cur[i].back() == '\r'))
                out->push_back('\n');
            else
                out->append(eol);
            if (after[i]) out->append(*after[i]);
        }
        if (!new_sections.empty()) {
            out->append(eol);
            out->append(kMarker);
            out->append(eol);
            out->append(new_sections);
        }
    }
};

// CRLF when the first line ending is one.
const char *eol_of(sv text) {
    size_t nl = text.find('\n');
    return nl != sv::npos && nl > 0 && text[nl - 1] == '\r' ? "\r\n" : "\n";
}

}  // namespace

namespace {

// One merge pass; false when it adds nothing.
bool merge_once(const std::string &current, const std::vector<sv> &tpl, std::string *out) {
    std::vector<sv> cur = split_lines(current);
    bool ends_nl = !current.empty() && current.back() == '\n';
    merger m{cur, tpl, eol_of(current), ends_nl, {}, {}, {}};
    if (!m.run()) return false;
    m.build(out);
    return true;
}

}  // namespace

int config_augment_text(const std::string &current, const std::string &templ, std::string *out) {
    try {
        std::vector<sv> tpl = split_lines(templ);
        std::string text, next;
        if (!merge_once(current, tpl, &text)) return CFG_AUG_NOTHING;
        // A template whose sections are shaped unlike a config file (a child
        // less indented than the first one, say) can leave a key that only
        // the appended section makes addable; merging until nothing is left
        // keeps a second augmentation from ever adding more. Each pass adds
        // a template key, so this ends.
        for (int pass = 0; pass < 64 && merge_once(text, tpl, &next); pass++)
            text.swap(next);
        out->swap(text);
        return CFG_AUG_ADDED;
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return CFG_AUG_FAILED;
    }
}

int config_augment_file(const char *path, const char *template_text) {
    if (!path || !template_text) {
        errno = EINVAL;
        return CFG_AUG_FAILED;
    }
    std::string text, merged;
    if (zq_read_file_max(path, CFG_AUG_MAX_BYTES, &text) != 0) return CFG_AUG_FAILED;
    int rc = config_augment_text(text, template_text, &merged);
    if (rc != CFG_AUG_ADDED) return rc;
    if (merged.size() > CFG_AUG_MAX_BYTES) {
        errno = EFBIG;
        return CFG_AUG_FAILED;
    }
    return atomic_file_write(path, merged) == 0 ? CFG_AUG_ADDED : CFG_AUG_FAILED;
}

int config_augment_files(const char *path, const char *template_path) {
    std::string templ;
    if (zq_read_file_max(template_path, CFG_AUG_MAX_BYTES, &templ) != 0) return CFG_AUG_FAILED;
    return config_augment_file(path, templ.c_str());
}
