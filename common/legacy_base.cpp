#include "common/legacy_base.h"
#include "common/atomic_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/cfg_augment.h"
#include "common/cp1251.h"
#include "common/ini.h"
#include "common/parse_util.h"

namespace {

struct column {
    const char *name;
    int width;
    const char *def;
};

const column kCols[] = {
#include "common/legacy_base_cols.inc"
};
constexpr int kNumCols = int(sizeof kCols / sizeof kCols[0]);
constexpr int kSourceCol = 3;

int col_offset(int col) {
    int off = 0;
    for (int i = 0; i < col; i++)
        off += kCols[i].width + 1;
    return off;
}

int col_index(const char *utf8_name) {
    for (int i = 0; i < kNumCols; i++)
        if (strcmp(kCols[i].name, utf8_name) == 0) return i;
    return -1;
}

void put_right(std::string *row, int col, const std::string &text) {
    int w = kCols[col].width, off = col_offset(col);
    std::string t = text.size() > size_t(w) ? text.substr(0, size_t(w)) : text;
    row->replace(size_t(off + w) - t.size(), t.size(), t);
}

std::string trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// Channel number of a whole-number text 1..32767, else 0.
int channel_number(const std::string &t) {
    if (t.empty() || t.size() > 5) return 0;
    int n = 0;
    for (char c : t) {
        if (c < '0' || c > '9') return 0;
        n = n * 10 + (c - '0');
    }
    return n <= CHANNELS_MAX_NUMBER ? n : 0;
}

struct table_row {
    int number;
    std::string bytes;  // LEGACY_ROW_BYTES, CR LF included
};

// Rows of a table in the expected layout; false when the text is anything
// else (rewriting it as fixed records would destroy it).
bool read_layout(const std::string &text, std::vector<table_row> *rows, std::string *why) {
    if (text.size() < size_t(LEGACY_ROW_BYTES) || text.size() % LEGACY_ROW_BYTES != 0) {
        *why = "size is not a whole number of 1940-byte CR LF lines";
        return false;
    }
    size_t n = text.size() / LEGACY_ROW_BYTES - 1;
    if (n > size_t(LEGACY_MAX_ROWS)) {
        *why = "more than 8192 rows";
        return false;
    }
    const std::string header = legacy_header();
    for (int c = 1; c < kNumCols; c++) {
        if (text[size_t(col_offset(c) - 1)] != ',') {
            *why = "header columns differ";
            return false;
        }
    }
    if (text.compare(0, 6, header, 0, 6) != 0) {
        *why = "header columns differ";
        return false;
    }
    for (size_t r = 0; r <= n; r++) {
        size_t at = r * LEGACY_ROW_BYTES;
        if (text[at + LEGACY_ROW_CHARS] != '\r' || text[at + LEGACY_ROW_CHARS + 1] != '\n' ||
            memchr(text.data() + at, '\n', LEGACY_ROW_CHARS) != nullptr) {
            *why = "lines are not 1938 characters ended by CR LF";
            return false;
        }
        if (r == 0) continue;
        int num = channel_number(trim(text.substr(at, size_t(kCols[0].width))));
        if (num == 0 || text[at + size_t(kCols[0].width)] != ',') {
            *why = "row " + std::to_string(r) + " has no channel number";
            return false;
        }
        rows->push_back({num, text.substr(at, LEGACY_ROW_BYTES)});
    }
    return true;
}

}  // namespace

int legacy_parse_item(const std::string &line, legacy_item *out) {
    std::vector<std::string> parts;
    size_t pos = 0;
    for (;;) {
        size_t c = line.find(',', pos);
        parts.push_back(trim(line.substr(pos, c == std::string::npos ? c : c - pos)));
        if (c == std::string::npos) break;
        pos = c + 1;
    }
    if (parts.size() != 3) return -1;
    for (const std::string &p : parts)
        if (p.empty()) return -1;
    char k = parts[0][0];
    if (k != 'A' && k != 'a' && k != 'D' && k != 'd') return -1;
    int n = channel_number(parts[0].substr(1));
    if (n == 0) return -1;
    out->number = n;
    out->discrete = k == 'D' || k == 'd';
    out->flag = parts[1][0];
    out->tag = parts[2];
    return 0;
}

int legacy_collect_items(const char *ini_path, std::vector<legacy_item> *out) {
    ini_file ini;
    if (ini_load(ini_path, &ini) != 0) return -1;
    out->clear();
    std::vector<bool> seen_an(CHANNELS_MAX_NUMBER + 1), seen_di(CHANNELS_MAX_NUMBER + 1);
    for (const ini_section &s : ini.sections) {
        if (s.name.compare(0, 10, "Logix5000_") != 0) continue;
        std::string ip;
        for (const ini_entry &e : s.entries) {
            if (e.key == "ipaddr") {
                ip = e.value.substr(0, 39);
                continue;
            }
            if (e.key.compare(0, 4, "item") != 0) continue;
            legacy_item it;
            if (legacy_parse_item(e.value, &it) != 0) continue;
            std::vector<bool> &seen = it.discrete ? seen_di : seen_an;
            if (seen[size_t(it.number)]) continue;
            if (out->size() >= size_t(LEGACY_MAX_ITEMS)) break;
            seen[size_t(it.number)] = true;
            it.ip = ip;
            if (it.tag.size() > 159) it.tag.resize(159);
            out->push_back(it);
        }
    }
    std::stable_sort(out->begin(), out->end(), [](const legacy_item &a, const legacy_item &b) {
        return a.number < b.number;
    });
    return 0;
}

std::string legacy_header() {
    static const std::string header = [] {
        std::string h;
        for (int i = 0; i < kNumCols; i++) {
            if (i) h += ',';
            h += utf8_to_cp1251(kCols[i].name);
        }
        return h;
    }();
    return header;
}

std::string legacy_new_row(const legacy_item &it) {
    std::string row;
    for (int i = 0; i < kNumCols; i++) {
        if (i) row += ',';
        row.append(size_t(kCols[i].width), ' ');
    }
    for (int i = 0; i < kNumCols; i++)
        if (kCols[i].def[0]) put_right(&row, i, kCols[i].def);
    put_right(&row, 0, std::to_string(it.number));
    std::string src = "Logix5000[" + it.ip + "][" + std::string(1, it.flag) + "]: " + it.tag;
    int w = kCols[kSourceCol].width;
    if (src.size() >= size_t(w)) src = " " + src.substr(0, size_t(w) - 4) + "...";
    put_right(&row, kSourceCol, src);
    if (it.discrete) put_right(&row, col_index("СвязДискрет"), "0");
    return row;
}

int legacy_sync_table(const char *path, bool discrete, const std::vector<legacy_item> &items,
                      std::string *msg) {
    msg->clear();
    std::string text;
    bool exists =
        zq_read_file_max(path, size_t(LEGACY_ROW_BYTES) * (LEGACY_MAX_ROWS + 2), &text) == 0;
    if (!exists && errno != ENOENT) {
        *msg =
            std::string("[base_init] ") + path + ": " + strerror(errno) + " — таблицю не змінено\n";
        return errno == EFBIG ? LEGACY_SYNC_FOREIGN : LEGACY_SYNC_FAILED;
    }
    std::vector<table_row> rows;
    std::string why;
    if (exists && !read_layout(text, &rows, &why)) {
        *msg = std::string("[base_init] ") + path + ": інший формат (" + why +
               ") — таблицю не змінено\n";
        return LEGACY_SYNC_FOREIGN;
    }
    std::vector<bool> have(CHANNELS_MAX_NUMBER + 1, false);
    for (const table_row &r : rows)
        have[size_t(r.number)] = true;
    int added = 0;
    for (const legacy_item &it : items) {
        if (it.discrete != discrete || have[size_t(it.number)]) continue;
        if (rows.size() >= size_t(LEGACY_MAX_ROWS)) break;
        rows.push_back({it.number, legacy_new_row(it) + "\r\n"});
        have[size_t(it.number)] = true;
        added++;
    }
    if (added == 0) {
        if (exists)
            *msg = "[base_init] " + std::string(path) + " OK (" + std::to_string(rows.size()) +
                   " channels)\n";
        return LEGACY_SYNC_OK;
    }
    std::stable_sort(rows.begin(), rows.end(),
                     [](const table_row &a, const table_row &b) { return a.number < b.number; });
    std::string out = exists ? text.substr(0, LEGACY_ROW_BYTES) : legacy_header() + "\r\n";
    for (const table_row &r : rows)
        out += r.bytes;
    if (exists)
        *msg = "[base_init] inserting " + std::to_string(added) + " new channel(s) into " + path +
               " (" + std::to_string(rows.size()) + " total)\n";
    else
        *msg = "[base_init] creating " + std::string(path) + " (" + std::to_string(rows.size()) +
               " channels)\n";
    if (atomic_file_write(path, out) != 0) {
        int e = errno;
        *msg += std::string("[base_init] ") + path + ": " + strerror(e) + "\n";
        errno = e;
        return LEGACY_SYNC_FAILED;
    }
    return LEGACY_SYNC_WRITTEN;
}

namespace {

// Cut to fit a record field without splitting a UTF-8 character.
void copy_utf8(char *dst, size_t cap, const std::string &s) {
    size_t n = s.size() < cap - 1 ? s.size() : cap - 1;
    while (n > 0 && n < s.size() && ((unsigned char)s[n] & 0xC0) == 0x80)
        n--;
    memcpy(dst, s.data(), n);
    dst[n] = '\0';
}

double num(const std::string &s) {
    return zq_strtod_c(trim(s).c_str(), nullptr);
}

int import_one(channels_registry *reg, const char *path, bool analog) {
    std::string text;
    if (zq_read_file_max(path, 64u << 20, &text) != 0) return -1;
    size_t pos = text.find('\n');
    pos = pos == std::string::npos ? text.size() : pos + 1;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(pos, nl - pos < 4095 ? nl - pos : 4095);
        pos = nl + 1;
        std::vector<std::string> f;
        size_t p = 0;
        while (f.size() < 209) {
            size_t c = line.find(',', p);
            if (c == std::string::npos) break;
            f.push_back(line.substr(p, c - p));
            p = c + 1;
        }
        f.push_back(line.substr(p));
        if (f.size() < 10) continue;
        int n = channel_number(trim(f[0]));
        if (n == 0) continue;
        channel_rec *r = analog ? channels_an_slot(reg, n) : channels_di_slot(reg, n);
        if (!r) continue;
        *r = channel_rec{};
        r->used = 1;
        copy_utf8(r->name, sizeof r->name, cp1251_to_utf8(trim(f[1])));
        copy_utf8(r->desc, sizeof r->desc, cp1251_to_utf8(trim(f[2])));
        r->phys_min = num(f[8]);
        r->phys_max = num(f[9]);
        if (analog) {
            if (f.size() > 10) copy_utf8(r->unit, sizeof r->unit, cp1251_to_utf8(trim(f[10])));
            r->code_min = num(f[6]);
            r->code_max = num(f[7]);
            channels_update_scale(r);
            if (n > reg->an_max) reg->an_max = n;
        } else if (n > reg->di_max) {
            reg->di_max = n;
        }
    }
    return 0;
}

}  // namespace

int legacy_import_tables(channels_registry *reg, const char *a_path, const char *d_path) {
    try {
        int a = import_one(reg, a_path, true);
        int d = import_one(reg, d_path, false);
        return a == 0 || d == 0 ? 0 : -1;
    } catch (const std::bad_alloc &) {
        return -1;
    }
}
