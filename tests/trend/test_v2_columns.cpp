// Every column type of the v2 files: width, the bytes written for values at
// and beyond the type's range, and the value read back.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "trend_v2.h"

namespace {

struct Col {
    uint8_t vt;
    int width;
    double lo, hi;  // stored range: values beyond it are clamped
};

const Col kCols[] = {
    {0xC1, 1, 0, 255},
    {0xC2, 1, -128, 127},
    {0xC3, 2, -32768, 32767},
    {0xC4, 4, -2147483648.0, 2147483647.0},
    {0xC5, 8, -9223372036854775808.0, 9223372036854775807.0},
    {0xC6, 1, 0, 255},
    {0xC7, 2, 0, 65535},
    {0xC8, 4, 0, 4294967295.0},
    {0xC9, 8, 0, 18446744073709551615.0},
    {0xD1, 1, 0, 255},
    {0xD2, 2, 0, 65535},
    {0xD3, 4, 0, 4294967295.0},
    {0xD4, 8, 0, 18446744073709551615.0},
};

double store_and_read(uint8_t vt, double v) {
    uint8_t row[16];
    memset(row, 0xAA, sizeof row);
    v2r_slot s{};
    s.s.vtype = vt;
    s.off = 0;
    EXPECT_TRUE(v2_store_col(row, vt, v)) << int(vt);
    // Nothing beyond the column's width is touched.
    for (int i = v2_vtype_size(vt); i < 16; i++)
        EXPECT_EQ(row[i], 0xAA) << int(vt) << " byte " << i;
    return v2r_col(&s, row);
}

}  // namespace

TEST(V2Columns, IntegerColumnsClampRoundAndReadBack) {
    for (const Col &c : kCols) {
        SCOPED_TRACE(int(c.vt));
        EXPECT_EQ(v2_vtype_size(c.vt), c.width);
        EXPECT_EQ(store_and_read(c.vt, c.lo), c.lo);
        EXPECT_EQ(store_and_read(c.vt, c.hi), c.hi);
        EXPECT_EQ(store_and_read(c.vt, c.lo - 1e6), c.lo);
        EXPECT_EQ(store_and_read(c.vt, c.hi + 1e6), c.hi);
        EXPECT_EQ(store_and_read(c.vt, 1e300), c.hi);
        EXPECT_EQ(store_and_read(c.vt, -1e300), c.lo);
        EXPECT_EQ(store_and_read(c.vt, 99.5), 100.0);  // half away from zero
        if (c.lo < 0) {
            EXPECT_EQ(store_and_read(c.vt, -99.5), -100.0);
        }
    }
}

TEST(V2Columns, FloatColumnsAndUnknownCodes) {
    EXPECT_EQ(v2_vtype_size(0), 4);
    EXPECT_EQ(store_and_read(0, 1.25), 1.25);
    EXPECT_EQ(v2_vtype_size(0xCB), 8);
    EXPECT_EQ(store_and_read(0xCB, 0.1), 0.1);
    // REAL channels are written as code 0; 0xCA and codes outside the table
    // have no column.
    uint8_t p[8] = {};
    for (uint8_t vt : {0xCA, 0xC0, 0xCC, 0xD0, 0xD5, 0xFF}) {
        EXPECT_EQ(v2_vtype_size(vt), 0) << int(vt);
        EXPECT_FALSE(v2_store_col(p, vt, 1.0));
    }
}
