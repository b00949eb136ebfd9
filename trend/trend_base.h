#pragma once
// The recorder's channel base (descriptors by channel number) and column maps.

#include <stddef.h>
#include <stdint.h>

#include <vector>

constexpr int TREND_BASE_MAX = 32768;  // slots per kind, slot 0 unused
constexpr int TREND_LABEL_LEN = 78;    // version-1 sidecar label

struct trend_an_desc {
    char label[TREND_LABEL_LEN];  // CP1251, space padded, not terminated
    char units_cp[16];            // CP1251, NUL-terminated
    char desc[96];                // UTF-8
    char units[16];               // UTF-8
    float phys_min, phys_max;
    float code_min, code_max;
    uint32_t scaled;
    uint32_t present;
};

struct trend_di_desc {
    char label[TREND_LABEL_LEN];
    char desc[96];  // UTF-8
    float low, high;
    uint32_t present;
};

struct trend_base {
    std::vector<trend_an_desc> an;  // size = capacity
    std::vector<trend_di_desc> di;
    int an_max = 0;  // highest number present
    int di_max = 0;
};

// Column map: ascending channel numbers. n_an < 0 means "not set".
struct trend_cmap {
    int n_an = -1;
    int n_di = 0;
    std::vector<int> an;
    std::vector<int> di;
    bool set() const { return n_an >= 0; }
};

// Makes room for count slots (1..32768, grown by doubling from 64); 0 or -1.
int trend_grow_an(trend_base *b, int count);
int trend_grow_di(trend_base *b, int count);
int trend_base_clone(trend_base *out, const trend_base *b);
void trend_base_free(trend_base *b);

// Every present channel from 1 to the highest present number.
void trend_build_cmap(const trend_base *b, trend_cmap *out);
// Same selection (used when a map is unset).
void trend_derive_map_from_bd(const trend_base *b, trend_cmap *out);
void trend_map_counts(const trend_base *b, const trend_cmap *m, int *n_an, int *n_di);
bool trend_cmap_equal(const trend_cmap &a, const trend_cmap &b);

// 78-byte label: tag (4 chars at most), ':' and description up to byte 61,
// units (16 bytes) from byte 62; space padded.
void trend_build_meta_name(char out[TREND_LABEL_LEN], const char *tag, const char *desc,
                           const char *units);

// Length of at most max bytes of UTF-8 text s (length len) that ends on a
// whole character: never splits a multi-byte sequence.
size_t trend_utf8_fit(const char *s, size_t len, size_t max);
