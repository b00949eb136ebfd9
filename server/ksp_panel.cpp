#include "ksp_panel.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "common/cp1251.h"
#include "common/parse_util.h"

namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Tag text from just after "<name" to the closing '>' (quotes respected);
// npos when the tag is not closed.
size_t tag_end(std::string_view t, size_t from) {
    char q = 0;
    for (size_t i = from; i < t.size(); i++) {
        char c = t[i];
        if (q) {
            if (c == q) q = 0;
        } else if (c == '"' || c == '\'') {
            q = c;
        } else if (c == '>') {
            return i;
        }
    }
    return std::string_view::npos;
}

// Next start tag "<name" followed by white space, '/' or '>' at or after
// from; returns its text (without "<name") and moves from past it.
bool next_tag(std::string_view t, const char *name, size_t *from, std::string_view *tag) {
    size_t nl = strlen(name);
    for (size_t p = t.find('<', *from); p != std::string_view::npos; p = t.find('<', p + 1)) {
        if (t.size() - p < nl + 2 || t.compare(p + 1, nl, name) != 0) continue;
        char c = t[p + 1 + nl];
        if (!is_space(c) && c != '/' && c != '>') continue;
        size_t e = tag_end(t, p + 1 + nl);
        if (e == std::string_view::npos) e = t.size();
        *tag = t.substr(p + 1 + nl, e - (p + 1 + nl));
        *from = e;
        return true;
    }
    return false;
}

void put_utf8(uint32_t cp, std::string *out) {
    if (cp < 0x80) {
        out->push_back((char)cp);
    } else if (cp < 0x800) {
        out->push_back((char)(0xC0 | (cp >> 6)));
        out->push_back((char)(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back((char)(0xE0 | (cp >> 12)));
        out->push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back((char)(0x80 | (cp & 0x3F)));
    } else {
        out->push_back((char)(0xF0 | (cp >> 18)));
        out->push_back((char)(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back((char)(0x80 | (cp & 0x3F)));
    }
}

void decode_entities(std::string_view v, std::string *out) {
    out->clear();
    for (size_t i = 0; i < v.size(); i++) {
        if (v[i] != '&') {
            out->push_back(v[i]);
            continue;
        }
        size_t semi = v.find(';', i);
        if (semi == std::string_view::npos || semi - i > 10) {
            out->push_back('&');
            continue;
        }
        std::string_view e = v.substr(i + 1, semi - i - 1);
        uint32_t cp = 0;
        if (e == "amp")
            cp = '&';
        else if (e == "lt")
            cp = '<';
        else if (e == "gt")
            cp = '>';
        else if (e == "quot")
            cp = '"';
        else if (e == "apos")
            cp = '\'';
        else if (e.size() >= 2 && e[0] == '#') {
            std::string num(e.substr(e[1] == 'x' || e[1] == 'X' ? 2 : 1));
            char *end;
            unsigned long n = strtoul(num.c_str(), &end, (e[1] == 'x' || e[1] == 'X') ? 16 : 10);
            if (!num.empty() && *end == 0 && n <= 0x10FFFF && !(n >= 0xD800 && n <= 0xDFFF))
                cp = (uint32_t)n;
        }
        if (cp == 0) {
            out->push_back('&');
            continue;
        }
        put_utf8(cp, out);
        i = semi;
    }
}

// Length of a valid UTF-8 sequence at p (n bytes left) and its code point;
// 0 when invalid.
size_t utf8_seq(const unsigned char *p, size_t n, uint32_t *cp) {
    unsigned char c = p[0];
    size_t len;
    uint32_t v;
    if (c < 0x80) {
        *cp = c;
        return 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        v = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        v = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        v = c & 0x07;
    } else {
        return 0;
    }
    if (n < len) return 0;
    for (size_t i = 1; i < len; i++) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        v = (v << 6) | (p[i] & 0x3F);
    }
    if ((len == 3 && (v < 0x800 || (v >= 0xD800 && v <= 0xDFFF))) ||
        (len == 4 && (v < 0x10000 || v > 0x10FFFF)))
        return 0;
    *cp = v;
    return len;
}

bool utf8_valid(std::string_view s) {
    const unsigned char *p = (const unsigned char *)s.data();
    uint32_t cp;
    for (size_t i = 0; i < s.size();) {
        size_t l = utf8_seq(p + i, s.size() - i, &cp);
        if (!l) return false;
        i += l;
    }
    return true;
}

// Copies at most cap - 1 bytes, never splitting a UTF-8 character.
void copy_text(char *dst, size_t cap, std::string_view s) {
    size_t n = std::min(s.size(), cap - 1);
    while (n > 0 && n < s.size() && ((unsigned char)s[n] & 0xC0) == 0x80)
        n--;
    memcpy(dst, s.data(), n);
    dst[n] = 0;
}

bool on_value(const std::string &v) {
    return v.empty() || (v[0] != 'n' && v[0] != 'N');
}

int to_int(const std::string &v, int def) {
    char *end;
    long n = strtol(v.c_str(), &end, 10);
    if (end == v.c_str()) return def;
    return (int)std::clamp<long>(n, -2000000000L, 2000000000L);
}

double to_double(const std::string &v, double def) {
    char *end;
    double d = zq_strtod_c(v.c_str(), &end);
    return (end == v.c_str() || d != d || d > 1e300 || d < -1e300) ? def : d;
}

void color_attr(std::string_view tag, const char *name, const char *def, char out[32]) {
    std::string v;
    if (ksp_attr(tag, name, &v) && v.size() < 32 && ksp_color_safe(v.c_str()))
        strcpy(out, v.c_str());
    else
        strcpy(out, def);
}

}  // namespace

bool ksp_attr(std::string_view tag, const char *name, std::string *out) {
    size_t nl = strlen(name);
    char q = 0;
    for (size_t i = 0; i < tag.size(); i++) {
        char c = tag[i];
        if (q) {
            if (c == q) q = 0;
            continue;
        }
        if (c == '"' || c == '\'') {
            q = c;
            continue;
        }
        if (i > 0 && !is_space(tag[i - 1])) continue;
        if (tag.size() - i < nl || tag.compare(i, nl, name) != 0) continue;
        size_t p = i + nl;
        while (p < tag.size() && is_space(tag[p]))
            p++;
        if (p >= tag.size() || tag[p] != '=') continue;
        p++;
        while (p < tag.size() && is_space(tag[p]))
            p++;
        if (p >= tag.size() || (tag[p] != '"' && tag[p] != '\'')) continue;
        size_t e = tag.find(tag[p], p + 1);
        if (e == std::string_view::npos) return false;
        decode_entities(tag.substr(p + 1, e - p - 1), out);
        // A NUL byte would cut a name short inside the fixed fields (an empty
        // channel name) and has no place in a panel text.
        out->erase(std::remove(out->begin(), out->end(), '\0'), out->end());
        return true;
    }
    return false;
}

bool ksp_color_safe(const char *c) {
    size_t n = strlen(c);
    if (n == 0) return false;
    if (c[0] == '#') {
        if (n != 4 && n != 7) return false;
        for (size_t i = 1; i < n; i++)
            if (!strchr("0123456789abcdefABCDEF", c[i])) return false;
        return true;
    }
    if (n > 20) return false;
    for (size_t i = 0; i < n; i++)
        if (!((c[i] >= 'a' && c[i] <= 'z') || (c[i] >= 'A' && c[i] <= 'Z'))) return false;
    return true;
}

void ksp_xml_escape(std::string_view s, std::string *out) {
    const unsigned char *p = (const unsigned char *)s.data();
    uint32_t cp;
    for (size_t i = 0; i < s.size();) {
        size_t l = utf8_seq(p + i, s.size() - i, &cp);
        if (!l) {
            out->push_back('?');
            i++;
            continue;
        }
        switch (cp) {
            case '&':
                out->append("&amp;");
                break;
            case '<':
                out->append("&lt;");
                break;
            case '>':
                out->append("&gt;");
                break;
            case '"':
                out->append("&quot;");
                break;
            case '\'':
                out->append("&#39;");
                break;
            default:
                // Control characters other than tab and line breaks, and the
                // two non-characters U+FFFE/U+FFFF, are not allowed in XML.
                if ((cp < 0x20 && cp != '\t' && cp != '\n' && cp != '\r') || cp == 0xFFFE ||
                    cp == 0xFFFF)
                    break;
                out->append(s.substr(i, l));
        }
        i += l;
    }
}

bool ksp_name_ok(const char *name) {
    if (!name || !*name || name[0] == '/' || strlen(name) > 400) return false;
    for (const char *p = name; *p;) {
        const char *e = strchr(p, '/');
        size_t n = e ? (size_t)(e - p) : strlen(p);
        if (n == 2 && p[0] == '.' && p[1] == '.') return false;
        if (!e) break;
        p = e + 1;
    }
    return !strchr(name, '\\') && !strchr(name, '\n');
}

int ksp_parse(std::string_view text, int max_points, ksp_panel *out) {
    memset(out, 0, sizeof *out);
    size_t pos = 0;
    std::string_view tag;
    if (!next_tag(text, "ksp", &pos, &tag)) return -1;
    std::string v;
    out->takt = ksp_attr(tag, "takt", &v) ? std::clamp(to_int(v, 1), 1, KSP_MAX_TAKT) : 1;
    out->npoints = ksp_attr(tag, "npoints", &v) ? to_int(v, 1700) : 1700;
    out->npoints = std::clamp(out->npoints, 2, max_points);
    out->trendsrc = ksp_attr(tag, "trendsrc", &v) ? to_int(v, 0) : 0;
    if (ksp_attr(tag, "trendurl", &v)) copy_text(out->trendurl, sizeof out->trendurl, v);
    color_attr(tag, "bgcolor", "#000000", out->bgcolor);
    color_attr(tag, "bordercolor", "#808080", out->bordercolor);
    out->showgrid = !ksp_attr(tag, "showgrid", &v) || on_value(v);
    out->showdesc = !ksp_attr(tag, "showdesc", &v) || on_value(v);
    while (out->ncurves < KSP_MAX_CURVES && next_tag(text, "e", &pos, &tag)) {
        ksp_curve &c = out->c[out->ncurves];
        if (!ksp_attr(tag, "param", &v) || v.empty()) continue;
        copy_text(c.param, sizeof c.param, v);
        if (!c.param[0]) continue;  // nothing of the name fitted whole
        if (ksp_attr(tag, "src", &v)) copy_text(c.src, sizeof c.src, v);
        color_attr(tag, "color", "#ffffff", c.color);
        std::string desc;
        if (!ksp_attr(tag, "desc", &desc)) desc = c.param;
        if (!utf8_valid(desc)) desc = cp1251_to_utf8(desc);
        copy_text(c.desc, sizeof c.desc, desc);
        c.min = ksp_attr(tag, "min", &v) ? to_double(v, 0) : 0;
        c.max = ksp_attr(tag, "max", &v) ? to_double(v, 100) : 100;
        out->ncurves++;
    }
    return 0;
}
