#include "common/channels.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <utility>

#include "common/atomic_file.h"
#include "common/json.h"
#include "common/parse_util.h"

channels_registry::channels_registry(channels_registry &&o) noexcept {
    *this = std::move(o);
}

channels_registry &channels_registry::operator=(channels_registry &&o) noexcept {
    if (this != &o) {
        channels_clear(this);
        an = o.an;
        an_cap = o.an_cap;
        di = o.di;
        di_cap = o.di_cap;
        an_max = o.an_max;
        di_max = o.di_max;
        o.an = o.di = nullptr;
        o.an_cap = o.di_cap = o.an_max = o.di_max = 0;
    }
    return *this;
}

channels_registry::~channels_registry() {
    channels_clear(this);
}

void channels_clear(channels_registry *reg) {
    if (!reg) return;
    free(reg->an);
    free(reg->di);
    reg->an = reg->di = nullptr;
    reg->an_cap = reg->di_cap = reg->an_max = reg->di_max = 0;
}

namespace {

channel_rec *slot(channel_rec **arr, int *cap, int n) {
    if (n < 1 || n > CHANNELS_MAX_NUMBER) return nullptr;
    if (n >= *cap) {
        int want = 64;
        while (want <= n)
            want *= 2;
        auto *grown = (channel_rec *)realloc(*arr, (size_t)want * sizeof(channel_rec));
        if (!grown) return nullptr;
        memset(grown + *cap, 0, (size_t)(want - *cap) * sizeof(channel_rec));
        *arr = grown;
        *cap = want;
    }
    return &(*arr)[n];
}

// Copies src into a field of size cap, cut to cap - 1 bytes but never inside
// a UTF-8 sequence, so cut Ukrainian text stays valid.
void copy_field(char *dst, size_t cap, const char *src) {
    size_t n = strlen(src);
    if (n > cap - 1) {
        n = cap - 1;
        while (n > 0 && ((unsigned char)src[n] & 0xC0) == 0x80)
            n--;
    }
    memcpy(dst, src, n);
    dst[n] = '\0';
}

#define COPY(rec, obj, field) \
    copy_field((rec)->field, sizeof((rec)->field), json_gets(obj, #field, ""))

// Channel number of an id "A12" / "a12" for letter 'A'; 0 when invalid.
int parse_id(const char *id, char letter) {
    if (!id || (id[0] != letter && id[0] != letter - 'A' + 'a')) return 0;
    const char *p = id + 1;
    if (*p < '0' || *p > '9') return 0;
    long n = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        n = n * 10 + (*p - '0');
        if (n > CHANNELS_MAX_NUMBER) return 0;
    }
    return (int)n;
}

void load_array(channels_registry *reg, const json_node *arr, bool analog) {
    if (!arr || arr->type != JSON_ARRAY) return;
    for (const json_node *e = arr->child; e; e = e->next) {
        if (e->type != JSON_OBJECT) continue;
        int n = parse_id(json_gets(e, "id", nullptr), analog ? 'A' : 'D');
        if (n < 1) continue;
        channel_rec *r = analog ? slot(&reg->an, &reg->an_cap, n) : slot(&reg->di, &reg->di_cap, n);
        if (!r) continue;
        memset(r, 0, sizeof *r);
        r->used = 1;
        COPY(r, e, name);
        COPY(r, e, desc);
        COPY(r, e, equipment);
        COPY(r, e, loop);
        COPY(r, e, device_type);
        COPY(r, e, area);
        COPY(r, e, plc_tag);
        COPY(r, e, group);
        const json_node *sc = json_get(e, "scale");
        r->phys_min = json_getn(sc, "phys_min", 0);
        r->phys_max = json_getn(sc, "phys_max", 0);
        if (analog) {
            COPY(r, e, unit);
            r->code_min = json_getn(sc, "code_min", 0);
            r->code_max = json_getn(sc, "code_max", 0);
            r->el_min = json_getn(sc, "el_min", 0);
            r->el_max = json_getn(sc, "el_max", 0);
            COPY(r, sc, el_unit);
            channels_update_scale(r);
            if (n > reg->an_max) reg->an_max = n;
        } else if (n > reg->di_max) {
            reg->di_max = n;
        }
    }
}

// "%g" in the C locale; a non-finite number, which JSON cannot hold, is
// written as null (it reads back as the missing-number default 0).
void put_num(std::string *o, const char *name, double v) {
    o->push_back('"');
    o->append(name);
    o->append("\":");
    if (!isfinite(v)) {
        o->append("null");
        return;
    }
    char buf[64];
    zq_format_double_c(buf, sizeof buf, "%g", v);
    o->append(buf);
}

void put_text(std::string *o, const char *name, const char *v, bool always = false) {
    if (!always && !*v) return;
    o->append(",\"");
    o->append(name);
    o->append("\":\"");
    o->append(json_escape_str(v));
    o->push_back('"');
}

void put_records(std::string *o, const channel_rec *arr, int cap, bool analog) {
    bool first = true;
    for (int n = 1; n < cap; n++) {
        const channel_rec *r = &arr[n];
        if (!r->used) continue;
        if (!first) o->append(",\n");
        first = false;
        char id[16];
        snprintf(id, sizeof id, "%c%d", analog ? 'A' : 'D', n);
        o->append("    {\"id\":\"");
        o->append(id);
        o->push_back('"');
        put_text(o, "name", r->name);
        put_text(o, "desc", r->desc);
        if (analog) put_text(o, "unit", r->unit);
        o->append(",\"scale\":{");
        if (analog) {
            put_num(o, "code_min", r->code_min);
            o->push_back(',');
            put_num(o, "code_max", r->code_max);
            o->push_back(',');
            put_num(o, "el_min", r->el_min);
            o->push_back(',');
            put_num(o, "el_max", r->el_max);
            o->push_back(',');
            if (r->el_unit[0]) {
                o->append("\"el_unit\":\"");
                o->append(json_escape_str(r->el_unit));
                o->append("\",");
            }
        }
        put_num(o, "phys_min", r->phys_min);
        o->push_back(',');
        put_num(o, "phys_max", r->phys_max);
        o->push_back('}');
        put_text(o, "equipment", r->equipment);
        put_text(o, "loop", r->loop);
        put_text(o, "device_type", r->device_type);
        put_text(o, "area", r->area);
        put_text(o, "plc_tag", r->plc_tag);
        put_text(o, "group", r->group);
        o->push_back('}');
    }
}

}  // namespace

int channels_load(channels_registry *reg, const char *path) {
    if (!reg) return -1;
    json_ptr root(json_parse_file(path));
    // Anything but an object is not a registry; keep what we had.
    if (!root || root->type != JSON_OBJECT) return -1;
    channels_registry fresh;
    load_array(&fresh, json_get(root.get(), "analogs"), true);
    load_array(&fresh, json_get(root.get(), "discretes"), false);
    *reg = std::move(fresh);
    return 0;
}

std::string channels_format(const channels_registry *reg) {
    std::string o = "{\n  \"version\": 1,\n  \"analogs\": [\n";
    if (reg) put_records(&o, reg->an, reg->an_cap, true);
    o.append("\n  ],\n  \"discretes\": [\n");
    if (reg) put_records(&o, reg->di, reg->di_cap, false);
    o.append("\n  ]\n}\n");
    return o;
}

int channels_save(const channels_registry *reg, const char *path) {
    if (!reg || !path) return -1;
    std::string text = channels_format(reg);
    return atomic_file_write(path, text.data(), text.size()) == 0 ? 0 : -1;
}

channel_rec *channels_an_slot(channels_registry *reg, int n) {
    return reg ? slot(&reg->an, &reg->an_cap, n) : nullptr;
}

channel_rec *channels_di_slot(channels_registry *reg, int n) {
    return reg ? slot(&reg->di, &reg->di_cap, n) : nullptr;
}

int channels_has_an(const channels_registry *reg, int n) {
    return reg && n >= 1 && n < reg->an_cap && reg->an[n].used ? 1 : 0;
}

int channels_has_di(const channels_registry *reg, int n) {
    return reg && n >= 1 && n < reg->di_cap && reg->di[n].used ? 1 : 0;
}

const channel_rec *channels_an(const channels_registry *reg, int n) {
    return channels_has_an(reg, n) ? &reg->an[n] : nullptr;
}

const channel_rec *channels_di(const channels_registry *reg, int n) {
    return channels_has_di(reg, n) ? &reg->di[n] : nullptr;
}

void channels_update_scale(channel_rec *rec) {
    if (rec) rec->has_scale = rec->code_max != rec->code_min ? 1 : 0;  // NaN differs
}

double channels_scale_to_phys(double code, double code_min, double code_max, double phys_min,
                              double phys_max) {
    const double span = code_max - code_min;
    if (span == 0) return code;
    return (code - code_min) / span * (phys_max - phys_min) + phys_min;
}

double channels_to_phys(const channel_rec *rec, double code) {
    if (!rec || !rec->has_scale) return code;
    return channels_scale_to_phys(code, rec->code_min, rec->code_max, rec->phys_min, rec->phys_max);
}

double channels_to_code(const channel_rec *rec, double phys) {
    if (!rec || !rec->has_scale) return phys;
    const double code_span = rec->code_max - rec->code_min;
    const double phys_span = rec->phys_max - rec->phys_min;
    if (code_span == 0 || phys_span == 0) return phys;
    return (phys - rec->phys_min) / phys_span * code_span + rec->code_min;
}
