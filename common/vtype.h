#pragma once
// Elementary value types of the controllers (CIP type codes): one table of
// names, byte sizes and number kinds for the driver, the database and the
// trend files. The codes are stored in the database and in trend files, so
// they are fixed.

#include <cstdint>

enum : uint8_t {
    ZQ_VT_BOOL = 0xC1,
    ZQ_VT_SINT = 0xC2,
    ZQ_VT_INT = 0xC3,
    ZQ_VT_DINT = 0xC4,
    ZQ_VT_LINT = 0xC5,
    ZQ_VT_USINT = 0xC6,
    ZQ_VT_UINT = 0xC7,
    ZQ_VT_UDINT = 0xC8,
    ZQ_VT_ULINT = 0xC9,
    ZQ_VT_REAL = 0xCA,
    ZQ_VT_LREAL = 0xCB,
    ZQ_VT_BYTE = 0xD1,  // bit strings: unsigned integers of 8..64 bits
    ZQ_VT_WORD = 0xD2,
    ZQ_VT_DWORD = 0xD3,
    ZQ_VT_LWORD = 0xD4,
};

enum zq_vtype_kind : uint8_t {
    ZQ_VK_BOOL,      // one byte, 0 or not 0
    ZQ_VK_SIGNED,    // two's complement integer
    ZQ_VK_UNSIGNED,  // unsigned integer
    ZQ_VK_BITS,      // bit string, read as an unsigned integer
    ZQ_VK_REAL,      // IEEE 754 float (4 bytes) or double (8 bytes)
};

struct zq_vtype_info {
    uint8_t code;
    const char *name;  // "BOOL" .. "LWORD"
    uint8_t size;      // bytes of one element
    zq_vtype_kind kind;
};

// The entry of a code, null for codes not in the table (0, STRING, ...).
const zq_vtype_info *zq_vtype_find(unsigned code);
// The entry with this name in any letter case, null when there is none.
const zq_vtype_info *zq_vtype_by_name(const char *name);

// Byte size of one element, 0 for codes not in the table.
int zq_vtype_size(unsigned code);
// Name, or "?" for codes not in the table.
const char *zq_vtype_name(unsigned code);
// Integer types (BOOL and bit strings included); signed integers and reals;
// reals.
bool zq_vtype_is_integer(unsigned code);
bool zq_vtype_is_signed(unsigned code);
bool zq_vtype_is_real(unsigned code);

// Range of an integer type of at most 4 bytes that is not BOOL; false for
// every other code (64-bit ranges are not exact as doubles).
bool zq_vtype_int_range(unsigned code, double *lo, double *hi);

// One little-endian element as a double: BOOL as 0 or 1, integers sign- or
// zero-extended, reals widened; 0.0 for codes not in the table.
double zq_vtype_decode_le(const uint8_t *bytes, unsigned code);
