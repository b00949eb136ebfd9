#include "common/ini.h"

#include <errno.h>

#include <cstring>

#include "common/parse_util.h"

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// [b, e) of text without surrounding blanks, tabs and carriage returns.
void trim(const std::string &text, size_t *b, size_t *e) {
    while (*b < *e && is_blank(text[*b]))
        (*b)++;
    while (*e > *b && is_blank(text[*e - 1]))
        (*e)--;
}

}  // namespace

void ini_parse(const std::string &text, ini_file *out) {
    out->sections.clear();
    out->sections.push_back(ini_section{"", 0, {}});
    size_t pos = 0;
    int lineno = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        size_t b = pos, e = nl;
        pos = nl + 1;
        lineno++;
        trim(text, &b, &e);
        if (b == e) continue;
        if (text[b] == ';' || text[b] == '#' || text.compare(b, 2, "//") == 0) continue;
        if (text[b] == '[') {
            size_t close = text.find(']', b);
            // A header cut short keeps its keys in the section before, rather
            // than opening a section nobody asked for.
            if (close == std::string::npos || close >= e) continue;
            out->sections.push_back(ini_section{text.substr(b + 1, close - b - 1), lineno, {}});
            continue;
        }
        size_t eq = text.find('=', b);
        if (eq == std::string::npos || eq >= e) continue;
        size_t kb = b, ke = eq, vb = eq + 1, ve = e;
        trim(text, &kb, &ke);
        trim(text, &vb, &ve);
        out->sections.back().entries.push_back(
            ini_entry{text.substr(kb, ke - kb), text.substr(vb, ve - vb), lineno});
    }
}

int ini_load(const char *path, ini_file *out) {
    std::string text;
    if (zq_read_file_max(path, INI_MAX_BYTES, &text) != 0) return -1;
    ini_parse(text, out);
    return 0;
}

const ini_section *ini_find(const ini_file *f, const char *name) {
    for (const ini_section &s : f->sections)
        if (s.name == name) return &s;
    return nullptr;
}

const char *ini_get(const ini_section *s, const char *key) {
    if (!s) return nullptr;
    for (size_t i = s->entries.size(); i-- > 0;)
        if (s->entries[i].key == key) return s->entries[i].value.c_str();
    return nullptr;
}
