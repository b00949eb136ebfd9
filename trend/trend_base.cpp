#include "trend_base.h"

#include <string.h>

static int grow_to(size_t cur, int count, size_t *out) {
    if (count < 1 || count > TREND_BASE_MAX) return -1;
    size_t cap = cur < 64 ? 64 : cur;
    while (cap < (size_t)count)
        cap *= 2;
    if (cap > (size_t)TREND_BASE_MAX) cap = TREND_BASE_MAX;
    *out = cap;
    return 0;
}

int trend_grow_an(trend_base *b, int count) {
    size_t cap;
    if (grow_to(b->an.size(), count, &cap) != 0) return -1;
    if (cap > b->an.size()) b->an.resize(cap, trend_an_desc{});
    return 0;
}

int trend_grow_di(trend_base *b, int count) {
    size_t cap;
    if (grow_to(b->di.size(), count, &cap) != 0) return -1;
    if (cap > b->di.size()) b->di.resize(cap, trend_di_desc{});
    return 0;
}

int trend_base_clone(trend_base *out, const trend_base *b) {
    *out = *b;
    return 0;
}

void trend_base_free(trend_base *b) {
    *b = trend_base{};
}

void trend_build_cmap(const trend_base *b, trend_cmap *out) {
    out->an.clear();
    out->di.clear();
    for (int i = 1; i <= b->an_max && i < (int)b->an.size(); i++)
        if (b->an[i].present) out->an.push_back(i);
    for (int i = 1; i <= b->di_max && i < (int)b->di.size(); i++)
        if (b->di[i].present) out->di.push_back(i);
    out->n_an = (int)out->an.size();
    out->n_di = (int)out->di.size();
}

void trend_derive_map_from_bd(const trend_base *b, trend_cmap *out) {
    trend_build_cmap(b, out);
}

void trend_map_counts(const trend_base *b, const trend_cmap *m, int *n_an, int *n_di) {
    if (m && m->set()) {
        *n_an = m->n_an;
        *n_di = m->n_di;
        return;
    }
    trend_cmap d;
    trend_build_cmap(b, &d);
    *n_an = d.n_an;
    *n_di = d.n_di;
}

bool trend_cmap_equal(const trend_cmap &a, const trend_cmap &b) {
    return a.n_an == b.n_an && a.n_di == b.n_di && a.an == b.an && a.di == b.di;
}

void trend_build_meta_name(char out[TREND_LABEL_LEN], const char *tag, const char *desc,
                           const char *units) {
    memset(out, ' ', TREND_LABEL_LEN);
    size_t tl = tag ? strnlen(tag, 4) : 0;
    memcpy(out, tag, tl);
    out[tl + 1] = ':';
    // The description ends by byte 61; the units own bytes 62..77.
    size_t pos = tl + 2;
    if (desc)
        for (size_t i = 0; desc[i] && pos <= 61; i++)
            out[pos++] = desc[i];
    if (units) {
        size_t ul = strnlen(units, 16);
        memcpy(out + 62, units, ul);
    }
}

size_t trend_utf8_fit(const char *s, size_t len, size_t max) {
    if (len > max) {
        len = max;
        while (len > 0 && ((unsigned char)s[len] & 0xC0) == 0x80)
            len--;
    }
    // Drop a trailing sequence that was already cut short.
    size_t i = len;
    while (i > 0 && ((unsigned char)s[i - 1] & 0xC0) == 0x80)
        i--;
    if (i > 0) {
        unsigned char lead = (unsigned char)s[i - 1];
        size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (lead >= 0x80 && len - (i - 1) < need) len = i - 1;
    }
    return len;
}
