#include "driver_config.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cip.h"
#include "common/ini.h"
#include "common/json.h"
#include "common/parse_util.h"
#include "common/yaml.h"

namespace {

// Largest channel number accepted in an item line: beyond it the derived
// database size would be absurd (and would overflow the 32-bit size field).
constexpr long kMaxChannel = 999999;

// Trims blanks (spaces, tabs, CR, LF) on both sides of [b, e).
void trim_range(const char *&b, const char *&e) {
    while (b < e && (*b == ' ' || *b == '\t' || *b == '\r' || *b == '\n'))
        ++b;
    while (e > b && (e[-1] == ' ' || e[-1] == '\t' || e[-1] == '\r' || e[-1] == '\n'))
        --e;
}

std::string trimmed(const char *s) {
    const char *b = s;
    const char *e = s + strlen(s);
    trim_range(b, e);
    return std::string(b, e);
}

bool is_name_start(char c) {
    return isalpha(static_cast<unsigned char>(c)) || c == '_';
}
bool is_name_char(char c) {
    return isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// "Name[12]" with a plain identifier of at most 63 characters: the array
// name and the index.
bool parse_simple_array_elem(const std::string &t, std::string *name, int *index) {
    size_t i = 0;
    if (t.empty() || !is_name_start(t[0])) return false;
    while (i < t.size() && is_name_char(t[i]))
        ++i;
    if (i > 63 || i >= t.size() || t[i] != '[') return false;
    size_t name_len = i;
    ++i;
    size_t digits_start = i;
    long v = 0;
    while (i < t.size() && isdigit(static_cast<unsigned char>(t[i]))) {
        v = v * 10 + (t[i] - '0');
        if (v > 0x7FFFFFFF) return false;
        ++i;
    }
    if (i == digits_start || i >= t.size() || t[i] != ']' || i + 1 != t.size()) return false;
    *name = t.substr(0, name_len);
    *index = static_cast<int>(v);
    return true;
}

// The first letter and the number behind it: channel kind and number.
// false when the field is not a letter followed by digits only.
bool parse_channel_field(const std::string &f, bool *discrete, int *channel) {
    if (f.size() < 2 || !isalpha(static_cast<unsigned char>(f[0]))) return false;
    long v = 0;
    for (size_t i = 1; i < f.size(); ++i) {
        if (!isdigit(static_cast<unsigned char>(f[i]))) return false;
        v = v * 10 + (f[i] - '0');
        if (v > kMaxChannel) return false;
    }
    *discrete = f[0] == 'D' || f[0] == 'd';
    *channel = static_cast<int>(v);
    return true;
}

void finish_lastitem(logix_group *g, int lastitem) {
    if (lastitem < 0) return;
    int w = 0;
    for (int r = 0; r < g->item_count; ++r) {
        if (g->items[r].ordinal > lastitem) continue;
        if (w != r) g->items[w] = g->items[r];
        ++w;
    }
    g->item_count = w;
}

int parse_slot(const char *connpath) {
    const char *p = strrchr(connpath, '\\');
    if (!p) p = strrchr(connpath, '/');
    if (!p) return 0;
    ++p;
    char *end = nullptr;
    long v = strtol(p, &end, 10);
    if (end == p) return 0;
    if (v < 0 || v > 255) return -1;
    return static_cast<int>(v);
}

void apply_connpath(logix_group *g, const char *connpath) {
    int slot = parse_slot(connpath);
    if (slot < 0) {
        fprintf(stderr, "config: [%s] connpath '%s': slot out of range 0..255, using 0\n", g->name,
                connpath);
        slot = 0;
    }
    g->slot = slot;
}

void apply_takt(logix_group *g, long takt) {
    if (takt <= 0 || takt > 3600000) {
        fprintf(stderr, "config: [%s] takt %ld rejected (1..3600000 ms), using %d ms\n", g->name,
                takt, LOGIX_DEFAULT_TAKT_MS);
        g->takt_ms = LOGIX_DEFAULT_TAKT_MS;
        return;
    }
    g->takt_ms = static_cast<int>(takt);
}

}  // namespace

int logix_parse_conn_size(const char *group_name, const char *text) {
    char *end = nullptr;
    long v = strtol(text, &end, 10);
    while (end && (*end == ' ' || *end == '\t'))
        ++end;
    if (end == text || (end && *end) || v < 0 || (v > 0 && v <= CIP_CONN_SIZE_DEFAULT) ||
        v > CIP_CONN_SIZE_LARGE_MAX) {
        fprintf(stderr,
                "config: [%s] conn_size '%s' rejected (0 or %d..%d bytes), using the classic "
                "connection\n",
                group_name, text, CIP_CONN_SIZE_DEFAULT + 1, CIP_CONN_SIZE_LARGE_MAX);
        return 0;
    }
    return static_cast<int>(v);
}

namespace {

void group_reset(logix_group *g) {
    free(g->items);
    *g = logix_group{};
}

// Parses one item line and appends it; a bad line is reported and skipped.
void add_item_line(logix_group *g, int ordinal, const char *line) {
    logix_item item;
    if (logix_parse_item(line, &item) != 0) {
        fprintf(stderr, "config: [%s] тег відкинуто (синтаксис або шлях довший %d байт): %s\n",
                g->name, LOGIX_PATH_MAX, line);
        return;
    }
    logix_add_tag(g, ordinal, &item);
}

// Highest channel numbers (+1) over all items already loaded.
void derive_counts_from_items(const logix_config *c, int *an, int *di) {
    *an = 0;
    *di = 0;
    for (int gi = 0; gi < c->group_count; ++gi) {
        const logix_group &g = c->groups[gi];
        for (int i = 0; i < g.item_count; ++i) {
            const logix_item &it = g.items[i];
            int *n = it.is_discrete ? di : an;
            if (it.channel + 1 > *n) *n = it.channel + 1;
        }
    }
}

}  // namespace

int logix_path_last_elem(const uint8_t *path, int len, int *base_len, int *index) {
    int pos = 0;
    bool symbolic_seen = false;
    int last_elem_start = -1;
    int last_elem_index = 0;
    while (pos < len) {
        uint8_t seg = path[pos];
        if (seg == 0x91) {
            if (pos + 2 > len) return 0;
            int n = path[pos + 1];
            int next = pos + 2 + n + (n & 1);
            if (next > len) return 0;
            symbolic_seen = true;
            last_elem_start = -1;
            pos = next;
        } else if (seg == 0x28) {
            if (pos + 2 > len) return 0;
            last_elem_start = pos;
            last_elem_index = path[pos + 1];
            pos += 2;
        } else if (seg == 0x29) {
            if (pos + 4 > len) return 0;
            last_elem_start = pos;
            last_elem_index = path[pos + 2] | (path[pos + 3] << 8);
            pos += 4;
        } else if (seg == 0x2A) {
            if (pos + 6 > len) return 0;
            last_elem_start = pos;
            uint32_t v = static_cast<uint32_t>(path[pos + 2]) | (path[pos + 3] << 8) |
                         (path[pos + 4] << 16) | (static_cast<uint32_t>(path[pos + 5]) << 24);
            last_elem_index = static_cast<int>(v & 0x7FFFFFFF);
            pos += 6;
        } else {
            return 0;
        }
    }
    if (!symbolic_seen || last_elem_start < 0) return 0;
    // The element must follow a symbolic segment (not stand first).
    if (last_elem_start == 0) return 0;
    if (base_len) *base_len = last_elem_start;
    if (index) *index = last_elem_index;
    return 1;
}

int logix_parse_item(const char *line, logix_item *item) {
    *item = logix_item{};
    if (!line) return -1;
    size_t len = strlen(line);
    if (len > static_cast<size_t>(LOGIX_ITEM_LINE_MAX)) return -1;
    const char *c1 = strchr(line, ',');
    if (!c1) return -1;
    const char *c2 = strchr(c1 + 1, ',');
    if (!c2) return -1;

    const char *fb = line, *fe = c1;
    trim_range(fb, fe);
    const char *tb = c2 + 1, *te = line + len;
    trim_range(tb, te);
    if (fb == fe || tb == te) return -1;
    std::string field1(fb, fe);
    std::string text(tb, te);

    if (!parse_channel_field(field1, &item->is_discrete, &item->channel)) return -1;

    std::string name;
    int index = 0;
    if (parse_simple_array_elem(text, &name, &index)) {
        item->is_array_elem = true;
        item->array_index = index;
        zq_copy_cut(item->text, sizeof item->text, name.c_str());
        return 0;
    }

    int bit_from = -1, bit_to = -1;
    int n = cip_build_tag_path_ex(text.c_str(), &bit_from, &bit_to, item->path, sizeof item->path);
    if (n <= 0 || n > LOGIX_PATH_MAX) return -1;
    // A bit range must be ascending and lie within a 64-bit word; anything
    // else ("Tag.3-", "Tag.70") could only ever give wrong values or writes.
    if (bit_from >= 0 || bit_to >= 0) {
        if (bit_from < 0 || bit_to < bit_from || bit_to >= 64) return -1;
    }
    item->path_len = n;
    item->bit_from = bit_from;
    item->bit_to = bit_to;
    zq_copy_cut(item->text, sizeof item->text, text.c_str());
    int base = 0, idx = 0;
    if (bit_from < 0 && logix_path_last_elem(item->path, n, &base, &idx)) item->last_index = idx;
    return 0;
}

int logix_add_tag(logix_group *group, int ordinal, const logix_item *item) {
    if (group->item_count >= group->item_capacity) {
        int cap = group->item_capacity ? group->item_capacity * 2 : 16;
        void *p = realloc(group->items, static_cast<size_t>(cap) * sizeof(logix_item));
        if (!p) {
            fprintf(stderr, "config: [%s] out of memory, tag skipped\n", group->name);
            return -1;
        }
        group->items = static_cast<logix_item *>(p);
        group->item_capacity = cap;
    }
    logix_item &dst = group->items[group->item_count++];
    dst = *item;
    dst.ordinal = ordinal;
    return 0;
}

void logix_compute_group_segments(logix_group *g) {
    g->array_segment_count = 0;
    g->general_segment_count = 0;
    for (int i = 0; i < g->item_count; ++i) {
        g->items[i].duplicate_of = -1;
        g->items[i].general_segment = -1;
        g->items[i].general_index = -1;
        g->items[i].next_dup = -1;
        g->items[i].array_seg = -1;
        g->items[i].next_in_seg = -1;
        g->items[i].next_member = -1;
    }

    // 1. Array segments: one per array name and kind.
    for (int i = 0; i < g->item_count; ++i) {
        logix_item &it = g->items[i];
        if (!it.is_array_elem) continue;
        int found = -1;
        for (int s = 0; s < g->array_segment_count; ++s) {
            array_segment &seg = g->array_segments[s];
            if (seg.is_discrete == it.is_discrete && strcmp(seg.name, it.text) == 0) {
                found = s;
                break;
            }
        }
        if (found >= 0) {
            array_segment &seg = g->array_segments[found];
            if (it.array_index < seg.lowest) seg.lowest = it.array_index;
            if (it.array_index > seg.highest) seg.highest = it.array_index;
            it.array_seg = found;
            continue;
        }
        if (g->array_segment_count >= LOGIX_MAX_ARRAY_SEGMENTS) {
            fprintf(stderr, "config: [%s] too many array segments (max %d)\n", g->name,
                    LOGIX_MAX_ARRAY_SEGMENTS);
            continue;
        }
        array_segment &seg = g->array_segments[g->array_segment_count++];
        seg = array_segment{};
        zq_copy_cut(seg.name, sizeof seg.name, it.text);
        seg.is_discrete = it.is_discrete;
        seg.lowest = seg.highest = it.array_index;
        it.array_seg = g->array_segment_count - 1;
    }
    // Chain each segment's items in configuration order.
    for (int i = g->item_count - 1; i >= 0; --i) {
        logix_item &it = g->items[i];
        if (it.array_seg < 0) continue;
        array_segment &seg = g->array_segments[it.array_seg];
        it.next_in_seg = seg.first_item;
        seg.first_item = i;
    }

    // 2. Duplicates: identical paths are read once.
    for (int i = 0; i < g->item_count; ++i) {
        logix_item &it = g->items[i];
        if (it.is_array_elem) continue;
        for (int j = 0; j < i; ++j) {
            const logix_item &o = g->items[j];
            if (o.is_array_elem || o.duplicate_of >= 0) continue;
            if (o.path_len == it.path_len && memcmp(o.path, it.path, it.path_len) == 0) {
                it.duplicate_of = j;
                break;
            }
        }
    }
    for (int i = g->item_count - 1; i >= 0; --i) {
        logix_item &it = g->items[i];
        if (it.duplicate_of < 0) continue;
        logix_item &first = g->items[it.duplicate_of];
        it.next_dup = first.next_dup;
        first.next_dup = i;
    }

    // 3. General segments: elements of one array addressed individually.
    auto candidate = [&](const logix_item &it, int *base, int *idx) {
        return !it.is_array_elem && it.duplicate_of < 0 && it.general_segment < 0 &&
               logix_path_last_elem(it.path, it.path_len, base, idx) == 1;
    };
    for (int i = 0; i < g->item_count; ++i) {
        logix_item &it = g->items[i];
        int base = 0, idx = 0;
        if (!candidate(it, &base, &idx)) continue;
        int partners = 0;
        int lo = idx, hi = idx;
        for (int j = i + 1; j < g->item_count; ++j) {
            int b2 = 0, i2 = 0;
            const logix_item &o = g->items[j];
            if (!candidate(o, &b2, &i2)) continue;
            if (b2 != base || memcmp(o.path, it.path, base) != 0) continue;
            ++partners;
            if (i2 < lo) lo = i2;
            if (i2 > hi) hi = i2;
        }
        if (partners == 0) continue;
        if (g->general_segment_count >= LOGIX_MAX_GENERAL_SEGMENTS) {
            fprintf(stderr,
                    "config: [%s] too many general segments (max %d) — '%s' stays on individual "
                    "reads\n",
                    g->name, LOGIX_MAX_GENERAL_SEGMENTS, it.text);
            continue;
        }
        int s = g->general_segment_count++;
        general_segment &seg = g->general_segments[s];
        seg = general_segment{};
        memcpy(seg.base_path, it.path, base);
        seg.base_len = base;
        zq_copy_cut(seg.name, sizeof seg.name, it.text);
        seg.lowest = lo;
        seg.highest = hi;
        seg.members = partners + 1;
        it.general_segment = s;
        it.general_index = idx - lo;
        for (int j = i + 1; j < g->item_count; ++j) {
            int b2 = 0, i2 = 0;
            logix_item &o = g->items[j];
            if (!candidate(o, &b2, &i2)) continue;
            if (b2 != base || memcmp(o.path, it.path, base) != 0) continue;
            o.general_segment = s;
            o.general_index = i2 - lo;
        }
    }
    for (int i = g->item_count - 1; i >= 0; --i) {
        logix_item &it = g->items[i];
        if (it.general_segment < 0) continue;
        general_segment &seg = g->general_segments[it.general_segment];
        it.next_member = seg.first_member;
        seg.first_member = i;
    }
}

void logix_config_free(logix_config *config) {
    for (int i = 0; i < LOGIX_MAX_GROUPS; ++i) {
        free(config->groups[i].items);
        config->groups[i].items = nullptr;
        config->groups[i].item_count = 0;
        config->groups[i].item_capacity = 0;
    }
}

// Resets every field to its default and frees the item arrays.
static void config_defaults(logix_config *c) {
    logix_config_free(c);
    c->log_dir_alt[0] = '\0';
    c->log_dir[0] = '\0';
    zq_copy_cut(c->log_name, sizeof c->log_name, "Logix5000");
    c->log_init = c->log_error = c->log_write = 1;
    c->inactivity_ms = 0;
    c->analogs = c->discretes = 0;
    zq_copy_cut(c->shm_name, sizeof c->shm_name, "/logix_drv");
    c->tz_offset_min = 0;
    c->tz_set = false;
    c->dst_mode = 2;
    for (int i = 0; i < LOGIX_MAX_GROUPS; ++i)
        group_reset(&c->groups[i]);
    c->group_count = 0;
}

const char *logix_config_log_dir(const logix_config *c) {
    if (c->log_dir[0]) return c->log_dir;
    if (c->log_dir_alt[0]) return c->log_dir_alt;
    return "logs";
}

int logix_config_load_ini(logix_config *c, const char *ini_path) {
    config_defaults(c);
    ini_file ini;
    if (ini_load(ini_path, &ini) != 0) {
        fprintf(stderr, "config: %s: %s\n", ini_path, strerror(errno));
        return -1;
    }
    // Sections in file order: a repeated [Logix5000_x] is a group of its own.
    enum { kNone, kMain, kGroup, kGeneral, kSkip } section = kNone;
    logix_group *g = nullptr;
    bool ip_seen = false;
    int lastitem = -1;
    auto finish_group = [&]() {
        if (!g) return;
        finish_lastitem(g, lastitem);
        logix_compute_group_segments(g);
        g = nullptr;
    };

    for (size_t si = 0; si < ini.sections.size(); ++si) {
        const ini_section &sec = ini.sections[si];
        if (si > 0) {  // sections[0] holds the keys before the first header
            std::string name = sec.name;
            if (name.size() > 127) name.resize(127);
            finish_group();
            if (name.compare(0, 10, "Logix5000_") == 0) {
                if (c->group_count >= LOGIX_MAX_GROUPS) {
                    fprintf(stderr, "config: too many groups (max %d)\n", LOGIX_MAX_GROUPS);
                    section = kSkip;
                    continue;
                }
                g = &c->groups[c->group_count++];
                group_reset(g);
                zq_copy_cut(g->name, sizeof g->name, name.c_str());
                ip_seen = false;
                lastitem = -1;
                section = kGroup;
            } else if (name == "Logix5000") {
                section = kMain;
            } else if (name == "general") {
                section = kGeneral;
            } else {
                section = kSkip;
            }
        }
        for (const ini_entry &e : sec.entries) {
            const std::string &key = e.key;
            const char *v = e.value.c_str();
            if (section == kMain) {
                if (key == "logdir")
                    zq_copy_cut(c->log_dir_alt, sizeof c->log_dir_alt, v);
                else if (key == "logdir_linux")
                    zq_copy_cut(c->log_dir, sizeof c->log_dir, v);
                else if (key == "logname")
                    zq_copy_cut(c->log_name, sizeof c->log_name, v);
                else if (key == "loginit")
                    c->log_init = atoi(v);
                else if (key == "logerror")
                    c->log_error = atoi(v);
                else if (key == "logwrite")
                    c->log_write = atoi(v);
                else if (key == "natimeout")
                    c->inactivity_ms = atoi(v);
            } else if (section == kGeneral) {
                if (key == "analogs")
                    c->analogs = atoi(v);
                else if (key == "discrets")
                    c->discretes = atoi(v);
                else if (key == "shm_name")
                    zq_copy_cut(c->shm_name, sizeof c->shm_name, v);
            } else if (section == kGroup && g) {
                if (key == "ipaddr") {
                    if (!ip_seen) zq_copy_cut(g->ip, sizeof g->ip, v);
                    ip_seen = true;
                } else if (key == "takt") {
                    apply_takt(g, strtol(v, nullptr, 10));
                } else if (key == "connpath") {
                    apply_connpath(g, v);
                } else if (key == "conn_size") {
                    g->conn_size = logix_parse_conn_size(g->name, v);
                } else if (key.size() > 4 && key.compare(0, 4, "item") == 0 &&
                           isdigit(static_cast<unsigned char>(key[4]))) {
                    add_item_line(g, atoi(key.c_str() + 4), v);
                } else if (key == "lastitem") {
                    lastitem = atoi(v);
                    finish_lastitem(g, lastitem);
                }
            }
        }
    }
    finish_group();

    if (c->group_count == 0) {
        fprintf(stderr, "config: no [Logix5000_N] sections found\n");
        return -1;
    }
    for (int i = 0; i < c->group_count; ++i) {
        if (!c->groups[i].ip[0]) {
            fprintf(stderr, "config: [%s] has no ipaddr\n", c->groups[i].name);
            return -1;
        }
    }
    int an = 0, di = 0;
    derive_counts_from_items(c, &an, &di);
    if (c->analogs <= 0) c->analogs = an;
    if (c->discretes <= 0) c->discretes = di;
    fprintf(stderr, "config: loaded %s (%d groups)\n", ini_path, c->group_count);
    return 0;
}

namespace {

// Counts "A12"/"D5" at the start of an item line towards the derived sizes.
void count_line(const char *line, int *an, int *di) {
    while (*line == ' ' || *line == '\t')
        ++line;
    char kind = *line;
    if (kind != 'A' && kind != 'a' && kind != 'D' && kind != 'd') return;
    const char *p = line + 1;
    if (!isdigit(static_cast<unsigned char>(*p))) return;
    long v = 0;
    while (isdigit(static_cast<unsigned char>(*p))) {
        v = v * 10 + (*p - '0');
        if (v > kMaxChannel) return;
        ++p;
    }
    int *n = (kind == 'D' || kind == 'd') ? di : an;
    if (v + 1 > *n) *n = static_cast<int>(v + 1);
}

std::string number_or_string(const json_node *n) {
    if (!n) return {};
    if (n->type == JSON_STRING) return n->string ? n->string : "";
    if (n->type == JSON_NUMBER) {
        char buf[64];
        snprintf(buf, sizeof buf, "%.15g", n->number);
        return buf;
    }
    return {};
}

// Integer setting: a number, or a string holding one; def otherwise.
long get_int(const json_node *map, const char *key, long def) {
    const json_node *n = json_get(map, key);
    if (!n) return def;
    if (n->type == JSON_NUMBER || n->type == JSON_BOOL) return json_int_of(n, def);
    if (n->type == JSON_STRING && n->string) {
        char *end = nullptr;
        long v = strtol(n->string, &end, 10);
        if (end != n->string) return v;
    }
    return def;
}

}  // namespace

int logix_config_load_yaml_text(logix_config *c, const char *text, const char *file_name) {
    config_defaults(c);
    json_ptr root(yaml_parse(text));
    if (!root) return -1;
    const json_node *logix = json_get(root.get(), "logix");
    int an = 0, di = 0;

    if (logix) {
        c->analogs = static_cast<int>(get_int(logix, "analogs", 0));
        c->discretes = static_cast<int>(get_int(logix, "discrets", 0));
        const char *shm = json_gets(logix, "shm_name", "");
        if (shm[0]) zq_copy_cut(c->shm_name, sizeof c->shm_name, shm);

        const json_node *log = json_get(logix, "log");
        if (log) {
            std::string dir = number_or_string(json_get(log, "logdir_linux"));
            zq_copy_cut(c->log_dir, sizeof c->log_dir, dir.c_str());
            std::string name = number_or_string(json_get(log, "logname"));
            if (!name.empty()) zq_copy_cut(c->log_name, sizeof c->log_name, name.c_str());
            c->log_init = static_cast<int>(get_int(log, "loginit", c->log_init));
            c->log_error = static_cast<int>(get_int(log, "logerror", c->log_error));
            c->log_write = static_cast<int>(get_int(log, "logwrite", c->log_write));
        }

        const json_node *tm = json_get(logix, "time");
        if (tm) {
            if (json_get(tm, "tz_offset_min")) {
                c->tz_set = true;
                c->tz_offset_min = static_cast<int>(get_int(tm, "tz_offset_min", 0));
            }
            const json_node *dst = json_get(tm, "dst");
            std::string d = number_or_string(dst);
            if (dst && dst->type == JSON_BOOL) d = dst->boolean ? "on" : "off";
            c->dst_mode = d == "on" ? 1 : d == "off" ? 0 : 2;
        }

        const json_node *groups = json_get(logix, "groups");
        if (groups && groups->type == JSON_ARRAY) {
            int pos = 0;
            for (const json_node *gn = groups->child; gn; gn = gn->next, ++pos) {
                if (c->group_count >= LOGIX_MAX_GROUPS) {
                    fprintf(stderr, "config: too many groups (max %d)\n", LOGIX_MAX_GROUPS);
                    break;
                }
                logix_group *g = &c->groups[c->group_count++];
                group_reset(g);
                long id = get_int(gn, "id", pos);
                snprintf(g->name, sizeof g->name, "Logix5000_%ld", id);
                std::string ip = number_or_string(json_get(gn, "ipaddr"));
                zq_copy_cut(g->ip, sizeof g->ip, trimmed(ip.c_str()).c_str());
                if (json_get(gn, "takt")) apply_takt(g, get_int(gn, "takt", 0));
                std::string cp = number_or_string(json_get(gn, "connpath"));
                apply_connpath(g, cp.c_str());
                if (json_get(gn, "conn_size"))
                    g->conn_size = logix_parse_conn_size(
                        g->name, number_or_string(json_get(gn, "conn_size")).c_str());
                std::vector<std::string> lines = yaml_items_vec(json_get(gn, "items"));
                int ordinal = 0;
                for (const std::string &line : lines) {
                    ++ordinal;
                    count_line(line.c_str(), &an, &di);
                    add_item_line(g, ordinal, line.c_str());
                }
                logix_compute_group_segments(g);
            }
        }
    }

    // Other programs' item blocks size the database too.
    if (root->type == JSON_OBJECT) {
        for (const json_node *sec = root->child; sec; sec = sec->next) {
            if (!sec->key || strcmp(sec->key, "logix") == 0) continue;
            const json_node *items = json_get(sec, "items");
            if (!items) continue;
            for (const std::string &line : yaml_items_vec(items))
                count_line(line.c_str(), &an, &di);
        }
    }

    if (c->group_count == 0) {
        fprintf(stderr, "config: %s не має logix-груп — драйвер не потрібен (SHM створює zqsup)\n",
                file_name);
        return -1;
    }
    for (int i = 0; i < c->group_count; ++i) {
        if (!c->groups[i].ip[0]) {
            fprintf(stderr, "config: [%s] has no ipaddr\n", c->groups[i].name);
            return -1;
        }
    }
    if (c->analogs <= 0) c->analogs = an;
    if (c->discretes <= 0) c->discretes = di;
    fprintf(stderr, "config: loaded %s (%d groups)\n", file_name, c->group_count);
    return 0;
}

int logix_config_load(logix_config *config, const char *ini_path) {
    std::string yaml_path = "config.yaml";
    const char *slash = strrchr(ini_path, '/');
    if (slash) yaml_path = std::string(ini_path, slash + 1) + "config.yaml";

    std::string text;
    if (zq_read_file(yaml_path.c_str(), &text) == 0 &&
        logix_config_load_yaml_text(config, text.c_str(), yaml_path.c_str()) == 0)
        return 0;
    return logix_config_load_ini(config, ini_path);
}
