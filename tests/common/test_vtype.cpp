// The value-type table: codes, sizes and kinds are written into the
// database and trend files, so each must stay what the controllers use.

#include "common/vtype.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "common/shm.h"

namespace {

struct Expect {
    unsigned code;
    const char *name;
    int size;
    bool integer, is_signed, real;
};

// Sizes of the CIP elementary types as the controllers send them.
const Expect kCip[] = {
    {0xC1, "BOOL", 1, true, false, false},  {0xC2, "SINT", 1, true, true, false},
    {0xC3, "INT", 2, true, true, false},    {0xC4, "DINT", 4, true, true, false},
    {0xC5, "LINT", 8, true, true, false},   {0xC6, "USINT", 1, true, false, false},
    {0xC7, "UINT", 2, true, false, false},  {0xC8, "UDINT", 4, true, false, false},
    {0xC9, "ULINT", 8, true, false, false}, {0xCA, "REAL", 4, false, true, true},
    {0xCB, "LREAL", 8, false, true, true},  {0xD1, "BYTE", 1, true, false, false},
    {0xD2, "WORD", 2, true, false, false},  {0xD3, "DWORD", 4, true, false, false},
    {0xD4, "LWORD", 8, true, false, false},
};

}  // namespace

TEST(VType, TableMatchesTheCipTypes) {
    for (const Expect &e : kCip) {
        SCOPED_TRACE(e.name);
        EXPECT_EQ(zq_vtype_size(e.code), e.size);
        EXPECT_STREQ(zq_vtype_name(e.code), e.name);
        EXPECT_EQ(zq_vtype_is_integer(e.code), e.integer);
        EXPECT_EQ(zq_vtype_is_signed(e.code), e.is_signed);
        EXPECT_EQ(zq_vtype_is_real(e.code), e.real);
        const zq_vtype_info *byname = zq_vtype_by_name(e.name);
        ASSERT_NE(byname, nullptr);
        EXPECT_EQ(byname->code, e.code);
    }
    for (unsigned code : {0x00u, 0xC0u, 0xCCu, 0xD0u, 0xD5u, 0x1C4u}) {
        EXPECT_EQ(zq_vtype_size(code), 0) << code;
        EXPECT_STREQ(zq_vtype_name(code), "?");
        EXPECT_FALSE(zq_vtype_is_integer(code));
    }
    EXPECT_EQ(zq_vtype_by_name("dint")->code, 0xC4);
    EXPECT_EQ(zq_vtype_by_name("STRING"), nullptr);
    // The database dump names only the numeric codes, as it always has.
    EXPECT_STREQ(shm_vtype_name(0xC4), "DINT");
    EXPECT_STREQ(shm_vtype_name(0xD1), "?");
}

TEST(VType, IntegerRanges) {
    double lo = 0, hi = 0;
    ASSERT_TRUE(zq_vtype_int_range(ZQ_VT_SINT, &lo, &hi));
    EXPECT_EQ(lo, -128);
    EXPECT_EQ(hi, 127);
    ASSERT_TRUE(zq_vtype_int_range(ZQ_VT_DINT, &lo, &hi));
    EXPECT_EQ(lo, -2147483648.0);
    EXPECT_EQ(hi, 2147483647.0);
    ASSERT_TRUE(zq_vtype_int_range(ZQ_VT_UDINT, &lo, &hi));
    EXPECT_EQ(lo, 0);
    EXPECT_EQ(hi, 4294967295.0);
    ASSERT_TRUE(zq_vtype_int_range(ZQ_VT_WORD, &lo, &hi));
    EXPECT_EQ(hi, 65535);
    for (unsigned code : {0xC1u, 0xC5u, 0xC9u, 0xCAu, 0xCBu, 0u})
        EXPECT_FALSE(zq_vtype_int_range(code, &lo, &hi)) << code;
}

TEST(VType, DecodesLittleEndianElements) {
    const uint8_t ones[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(zq_vtype_decode_le(ones, ZQ_VT_SINT), -1.0);
    EXPECT_EQ(zq_vtype_decode_le(ones, ZQ_VT_INT), -1.0);
    EXPECT_EQ(zq_vtype_decode_le(ones, ZQ_VT_DINT), -1.0);
    EXPECT_EQ(zq_vtype_decode_le(ones, ZQ_VT_LINT), -1.0);
    EXPECT_EQ(zq_vtype_decode_le(ones, ZQ_VT_USINT), 255.0);
    EXPECT_EQ(zq_vtype_decode_le(ones, ZQ_VT_WORD), 65535.0);
    EXPECT_EQ(zq_vtype_decode_le(ones, ZQ_VT_UDINT), 4294967295.0);
    EXPECT_EQ(zq_vtype_decode_le(ones, ZQ_VT_ULINT), 18446744073709551615.0);
    EXPECT_EQ(zq_vtype_decode_le(ones, ZQ_VT_BOOL), 1.0);
    EXPECT_EQ(zq_vtype_decode_le(ones, 0xD0), 0.0);

    const uint8_t dint[4] = {0x04, 0x00, 0x01, 0x80};  // 0x80010004
    EXPECT_EQ(zq_vtype_decode_le(dint, ZQ_VT_DINT), -2147418108.0);
    EXPECT_EQ(zq_vtype_decode_le(dint, ZQ_VT_UDINT), 2147549188.0);

    uint8_t b[8];
    float f = -1.5f;
    memcpy(b, &f, 4);
    EXPECT_EQ(zq_vtype_decode_le(b, ZQ_VT_REAL), -1.5);
    double d = 1e300;
    memcpy(b, &d, 8);
    EXPECT_EQ(zq_vtype_decode_le(b, ZQ_VT_LREAL), 1e300);
}
