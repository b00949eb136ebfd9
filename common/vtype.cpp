#include "common/vtype.h"

#include <strings.h>

#include <cstring>

namespace {

const zq_vtype_info kTypes[] = {
    {ZQ_VT_BOOL, "BOOL", 1, ZQ_VK_BOOL},       {ZQ_VT_SINT, "SINT", 1, ZQ_VK_SIGNED},
    {ZQ_VT_INT, "INT", 2, ZQ_VK_SIGNED},       {ZQ_VT_DINT, "DINT", 4, ZQ_VK_SIGNED},
    {ZQ_VT_LINT, "LINT", 8, ZQ_VK_SIGNED},     {ZQ_VT_USINT, "USINT", 1, ZQ_VK_UNSIGNED},
    {ZQ_VT_UINT, "UINT", 2, ZQ_VK_UNSIGNED},   {ZQ_VT_UDINT, "UDINT", 4, ZQ_VK_UNSIGNED},
    {ZQ_VT_ULINT, "ULINT", 8, ZQ_VK_UNSIGNED}, {ZQ_VT_REAL, "REAL", 4, ZQ_VK_REAL},
    {ZQ_VT_LREAL, "LREAL", 8, ZQ_VK_REAL},     {ZQ_VT_BYTE, "BYTE", 1, ZQ_VK_BITS},
    {ZQ_VT_WORD, "WORD", 2, ZQ_VK_BITS},       {ZQ_VT_DWORD, "DWORD", 4, ZQ_VK_BITS},
    {ZQ_VT_LWORD, "LWORD", 8, ZQ_VK_BITS},
};

uint64_t get_le(const uint8_t *p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; i++)
        v |= uint64_t(p[i]) << (8 * i);
    return v;
}

}  // namespace

const zq_vtype_info *zq_vtype_find(unsigned code) {
    for (const zq_vtype_info &t : kTypes)
        if (t.code == code) return &t;
    return nullptr;
}

const zq_vtype_info *zq_vtype_by_name(const char *name) {
    if (!name) return nullptr;
    for (const zq_vtype_info &t : kTypes)
        if (strcasecmp(t.name, name) == 0) return &t;
    return nullptr;
}

int zq_vtype_size(unsigned code) {
    const zq_vtype_info *t = zq_vtype_find(code);
    return t ? t->size : 0;
}

const char *zq_vtype_name(unsigned code) {
    const zq_vtype_info *t = zq_vtype_find(code);
    return t ? t->name : "?";
}

bool zq_vtype_is_integer(unsigned code) {
    const zq_vtype_info *t = zq_vtype_find(code);
    return t && t->kind != ZQ_VK_REAL;
}

bool zq_vtype_is_signed(unsigned code) {
    const zq_vtype_info *t = zq_vtype_find(code);
    return t && (t->kind == ZQ_VK_SIGNED || t->kind == ZQ_VK_REAL);
}

bool zq_vtype_is_real(unsigned code) {
    const zq_vtype_info *t = zq_vtype_find(code);
    return t && t->kind == ZQ_VK_REAL;
}

bool zq_vtype_int_range(unsigned code, double *lo, double *hi) {
    const zq_vtype_info *t = zq_vtype_find(code);
    if (!t || t->size > 4 ||
        (t->kind != ZQ_VK_SIGNED && t->kind != ZQ_VK_UNSIGNED && t->kind != ZQ_VK_BITS))
        return false;
    double span = double(uint64_t(1) << (8 * t->size));
    if (t->kind == ZQ_VK_SIGNED) {
        *lo = -span / 2;
        *hi = span / 2 - 1;
    } else {
        *lo = 0;
        *hi = span - 1;
    }
    return true;
}

double zq_vtype_decode_le(const uint8_t *b, unsigned code) {
    const zq_vtype_info *t = zq_vtype_find(code);
    if (!t) return 0.0;
    uint64_t u = get_le(b, t->size);
    switch (t->kind) {
        case ZQ_VK_BOOL:
            return u ? 1.0 : 0.0;
        case ZQ_VK_SIGNED: {
            int shift = 64 - 8 * t->size;
            return double(int64_t(u << shift) >> shift);
        }
        case ZQ_VK_REAL:
            if (t->size == 4) {
                uint32_t w = uint32_t(u);
                float f;
                memcpy(&f, &w, 4);
                return double(f);
            } else {
                double d;
                memcpy(&d, &u, 8);
                return d;
            }
        default:
            return double(u);
    }
}
