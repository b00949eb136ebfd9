#include "common/json.h"

#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "common/parse_util.h"

namespace {

struct parser {
    const char *p;
    int depth;
};

bool is_ws(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

void skip_ws(parser *ps) {
    while (is_ws(*ps->p))
        ps->p++;
}

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads four hex digits at s; -1 when any is not hexadecimal.
long hex4(const char *s) {
    long v = 0;
    for (int i = 0; i < 4; i++) {
        int h = hexval(s[i]);
        if (h < 0) return -1;
        v = v * 16 + h;
    }
    return v;
}

size_t utf8_len(long cp) {
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : 3;
}

char *put_utf8(char *o, long cp) {
    if (cp < 0x80) {
        *o++ = (char)cp;
    } else if (cp < 0x800) {
        *o++ = (char)(0xC0 | (cp >> 6));
        *o++ = (char)(0x80 | (cp & 0x3F));
    } else {
        *o++ = (char)(0xE0 | (cp >> 12));
        *o++ = (char)(0x80 | ((cp >> 6) & 0x3F));
        *o++ = (char)(0x80 | (cp & 0x3F));
    }
    return o;
}

// Parses a string at ps->p (on the opening quote). Two passes: validate and
// count, then allocate once and decode. Null on any error.
char *parse_string(parser *ps) {
    const char *s = ps->p + 1;
    size_t n = 0;
    const char *q = s;
    for (;;) {
        char c = *q;
        if (c == '\0') return nullptr;
        if (c == '"') break;
        if (c != '\\') {
            n++;
            q++;
            continue;
        }
        char e = q[1];
        switch (e) {
            case '"':
            case '\\':
            case '/':
            case 'b':
            case 'f':
            case 'n':
            case 'r':
            case 't':
                n++;
                q += 2;
                break;
            case 'u': {
                long cp = hex4(q + 2);
                // A NUL would silently cut the C string that holds the value.
                if (cp <= 0) return nullptr;
                n += utf8_len(cp);
                q += 6;
                break;
            }
            default:
                return nullptr;
        }
    }
    char *out = (char *)malloc(n + 1);
    if (!out) return nullptr;
    char *o = out;
    for (const char *r = s; r < q;) {
        if (*r != '\\') {
            *o++ = *r++;
            continue;
        }
        char e = r[1];
        r += 2;
        switch (e) {
            case 'b':
                *o++ = '\b';
                break;
            case 'f':
                *o++ = '\f';
                break;
            case 'n':
                *o++ = '\n';
                break;
            case 'r':
                *o++ = '\r';
                break;
            case 't':
                *o++ = '\t';
                break;
            case 'u':
                o = put_utf8(o, hex4(r));
                r += 4;
                break;
            default:
                *o++ = e;
                break;
        }
    }
    *o = '\0';
    ps->p = q + 1;
    return out;
}

json_node *parse_value(parser *ps);

// Parses array items or object members after the opening bracket.
json_node *parse_container(parser *ps, bool object) {
    json_node *node = json_new(object ? JSON_OBJECT : JSON_ARRAY, nullptr);
    if (!node) return nullptr;
    if (++ps->depth > JSON_MAX_DEPTH) {
        json_free(node);
        return nullptr;
    }
    const char close = object ? '}' : ']';
    ps->p++;
    skip_ws(ps);
    json_node *last = nullptr;
    if (*ps->p == close) {
        ps->p++;
        ps->depth--;
        return node;
    }
    for (;;) {
        skip_ws(ps);
        char *key = nullptr;
        if (object) {
            if (*ps->p != '"' || !(key = parse_string(ps))) break;
            skip_ws(ps);
            if (*ps->p != ':') {
                free(key);
                break;
            }
            ps->p++;
        }
        json_node *v = parse_value(ps);
        if (!v) {
            free(key);
            break;
        }
        v->key = key;
        if (last)
            last->next = v;
        else
            node->child = v;
        last = v;
        skip_ws(ps);
        if (*ps->p == ',') {
            ps->p++;
            continue;
        }
        if (*ps->p == close) {
            ps->p++;
            ps->depth--;
            return node;
        }
        break;
    }
    json_free(node);
    return nullptr;
}

json_node *parse_value(parser *ps) {
    skip_ws(ps);
    const char c = *ps->p;
    if (c == '{' || c == '[') return parse_container(ps, c == '{');
    if (c == '"') {
        char *s = parse_string(ps);
        if (!s) return nullptr;
        json_node *n = json_new(JSON_STRING, nullptr);
        if (!n) {
            free(s);
            return nullptr;
        }
        n->string = s;
        return n;
    }
    if (strncmp(ps->p, "true", 4) == 0 || strncmp(ps->p, "false", 5) == 0) {
        json_node *n = json_new(JSON_BOOL, nullptr);
        if (!n) return nullptr;
        n->boolean = c == 't';
        ps->p += c == 't' ? 4 : 5;
        return n;
    }
    if (strncmp(ps->p, "null", 4) == 0) {
        ps->p += 4;
        return json_new(JSON_NULL, nullptr);
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
        char *end = nullptr;
        double v = zq_strtod_c(ps->p, &end);
        if (end == ps->p) return nullptr;
        json_node *n = json_new(JSON_NUMBER, nullptr);
        if (!n) return nullptr;
        n->number = v;
        ps->p = end;
        return n;
    }
    return nullptr;
}

}  // namespace

json_node *json_parse(const char *text) {
    if (!text) return nullptr;
    parser ps{text, 0};
    return parse_value(&ps);
}

json_node *json_parse_len(const char *text, size_t len) {
    if (!text) return nullptr;
    std::string copy(text, strnlen(text, len));
    return json_parse(copy.c_str());
}

json_node *json_parse_file(const char *path) {
    std::string text;
    if (zq_read_file(path, &text) != 0) return nullptr;
    return json_parse(text.c_str());
}

void json_free(json_node *node) {
    while (node) {
        json_node *next = node->next;
        json_free(node->child);
        free(node->key);
        free(node->string);
        free(node);
        node = next;
    }
}

json_node *json_get(const json_node *object, const char *key) {
    if (!object || !key || object->type != JSON_OBJECT) return nullptr;
    for (json_node *c = object->child; c; c = c->next)
        if (c->key && strcmp(c->key, key) == 0) return c;
    return nullptr;
}

const char *json_str_of(const json_node *node, const char *def) {
    return node && node->type == JSON_STRING ? node->string : def;
}

double json_num_of(const json_node *node, double def) {
    if (!node) return def;
    if (node->type == JSON_NUMBER) return node->number;
    if (node->type == JSON_BOOL) return node->boolean ? 1.0 : 0.0;
    return def;
}

int json_bool_of(const json_node *node, int def) {
    if (!node) return def;
    if (node->type == JSON_BOOL) return node->boolean ? 1 : 0;
    if (node->type == JSON_NUMBER) return node->number != 0.0 ? 1 : 0;  // NaN != 0
    return def;
}

const char *json_gets(const json_node *object, const char *key, const char *def) {
    return json_str_of(json_get(object, key), def);
}

double json_getn(const json_node *object, const char *key, double def) {
    return json_num_of(json_get(object, key), def);
}

int json_getb(const json_node *object, const char *key, int def) {
    return json_bool_of(json_get(object, key), def);
}

long long json_int_of(const json_node *node, long long def) {
    if (!node) return def;
    if (node->type == JSON_BOOL) return node->boolean ? 1 : 0;
    if (node->type != JSON_NUMBER) return def;
    const double v = node->number;
    // 2^63 is exact as a double; anything outside [-2^63, 2^63) overflows.
    if (!(v >= -9223372036854775808.0 && v < 9223372036854775808.0)) return def;
    return (long long)v;
}

long long json_geti(const json_node *object, const char *key, long long def) {
    return json_int_of(json_get(object, key), def);
}

size_t json_count(const json_node *node) {
    size_t n = 0;
    if (node && (node->type == JSON_ARRAY || node->type == JSON_OBJECT))
        for (json_node *c = node->child; c; c = c->next)
            n++;
    return n;
}

json_node *json_at(const json_node *node, size_t index) {
    if (!node || (node->type != JSON_ARRAY && node->type != JSON_OBJECT)) return nullptr;
    for (json_node *c = node->child; c; c = c->next)
        if (index-- == 0) return c;
    return nullptr;
}

namespace {

// Escaped form of one byte into out (at most 6 bytes); returns its length.
size_t escape_byte(unsigned char c, char *out) {
    switch (c) {
        case '\r':
            memcpy(out, "\\r", 2);
            return 2;
        case '\t':
            memcpy(out, "\\t", 2);
            return 2;
        case '\n':
            memcpy(out, "\\n", 2);
            return 2;
        case '"':
            memcpy(out, "\\\"", 2);
            return 2;
        case '\\':
            memcpy(out, "\\\\", 2);
            return 2;
        default:
            break;
    }
    if (c < 0x20) {
        static const char hex[] = "0123456789abcdef";
        out[0] = '\\';
        out[1] = 'u';
        out[2] = '0';
        out[3] = '0';
        out[4] = hex[c >> 4];
        out[5] = hex[c & 15];
        return 6;
    }
    out[0] = (char)c;
    return 1;
}

}  // namespace

size_t json_escape(const char *src, char *dst, size_t capacity) {
    if (capacity < 1 || !dst) return 0;
    if (!src || !*src || capacity <= 7) {
        dst[0] = '\0';
        return 0;
    }
    size_t n = 0;
    for (const unsigned char *s = (const unsigned char *)src; *s; s++) {
        if (n >= capacity - 7) break;
        n += escape_byte(*s, dst + n);
    }
    dst[n] = '\0';
    return n;
}

std::string json_escape_str(std::string_view src) {
    std::string out;
    out.reserve(src.size() + 8);
    char buf[8];
    for (unsigned char c : src)
        out.append(buf, escape_byte(c, buf));
    return out;
}

json_node *json_new(uint32_t type, const char *key) {
    json_node *n = (json_node *)calloc(1, sizeof(json_node));
    if (!n) return nullptr;
    n->type = type;
    if (key && !(n->key = strdup(key))) {
        free(n);
        return nullptr;
    }
    return n;
}

json_node *json_new_string(const char *key, const char *value) {
    json_node *n = json_new(JSON_STRING, key);
    if (!n) return nullptr;
    if (!(n->string = strdup(value ? value : ""))) {
        json_free(n);
        return nullptr;
    }
    return n;
}

json_node *json_new_number(const char *key, double value) {
    json_node *n = json_new(JSON_NUMBER, key);
    if (n) n->number = value;
    return n;
}

json_node *json_new_bool(const char *key, int value) {
    json_node *n = json_new(JSON_BOOL, key);
    if (n) n->boolean = value ? 1 : 0;
    return n;
}

json_node *json_append(json_node *parent, json_node *child) {
    if (!parent || !child) return child;
    json_node **slot = &parent->child;
    while (*slot)
        slot = &(*slot)->next;
    *slot = child;
    return child;
}

json_node *json_set(json_node *object, const char *key, json_node *value) {
    if (!value) return nullptr;
    char *k = key ? strdup(key) : nullptr;
    if (!object || object->type != JSON_OBJECT || !key || !k) {
        free(k);
        json_free(value);
        return nullptr;
    }
    free(value->key);
    value->key = k;
    for (json_node **slot = &object->child; *slot; slot = &(*slot)->next) {
        json_node *old = *slot;
        if (old->key && strcmp(old->key, key) == 0) {
            value->next = old->next;
            *slot = value;
            old->next = nullptr;
            json_free(old);
            return value;
        }
    }
    value->next = nullptr;
    return json_append(object, value);
}

json_node *json_detach(json_node *parent, json_node *child) {
    if (!parent || !child) return nullptr;
    for (json_node **slot = &parent->child; *slot; slot = &(*slot)->next) {
        if (*slot == child) {
            *slot = child->next;
            child->next = nullptr;
            return child;
        }
    }
    return nullptr;
}
