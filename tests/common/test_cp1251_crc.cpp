#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "common/cp1251.h"
#include "common/crc32.h"

TEST(Cp1251, ToUtf8EdgeCases) {
    char out[32];
    const char in[] = "\xC0\xE1\x98";
    EXPECT_EQ(cp1251_to_utf8(in, out, sizeof out), 5u);
    EXPECT_STREQ(out, "\xD0\x90\xD0\xB1?");  // U+0410 U+0431 "?"

    // Ukrainian letters and typography.
    EXPECT_EQ(cp1251_to_utf8(std::string_view("\xB2\xAF\xAA\xA5\xB3\xBF\xBA\xB4\x88\xB9")),
              "ІЇЄҐіїєґ€№");

    // Small capacities: nothing, or an empty string up to 4 bytes.
    out[0] = 'x';
    EXPECT_EQ(cp1251_to_utf8("abc", out, 0), 0u);
    EXPECT_EQ(out[0], 'x');
    for (size_t cap = 1; cap <= 4; cap++) {
        out[0] = 'x';
        EXPECT_EQ(cp1251_to_utf8("abc", out, cap), 0u);
        EXPECT_STREQ(out, "");
    }
    EXPECT_EQ(cp1251_to_utf8(nullptr, out, sizeof out), 0u);
    EXPECT_STREQ(out, "");

    // Conversion stops before the next byte once capacity - 4 is reached;
    // the output always fits with its NUL.
    std::string cyr(20, '\xC6');  // Ж, two bytes each
    for (size_t cap = 5; cap < 30; cap++) {
        std::vector<char> buf(cap + 1, '#');
        size_t n = cp1251_to_utf8(cyr.c_str(), buf.data(), cap);
        EXPECT_LT(n, cap);
        EXPECT_GE(n, cap - 4);
        EXPECT_EQ(buf[n], '\0');
        EXPECT_EQ(buf[cap], '#');
        EXPECT_EQ(n % 2, 0u);  // never half a character
    }
}

TEST(Cp1251, FromUtf8EdgeCases) {
    char out[32];
    EXPECT_EQ(utf8_to_cp1251("\xE2\x82\xAC", out, sizeof out), 1u);  // euro sign
    EXPECT_STREQ(out, "\x88");
    EXPECT_EQ(utf8_to_cp1251("\xF0\x9F\x98\x80", out, sizeof out), 4u);  // four-byte sequence
    EXPECT_STREQ(out, "????");
    EXPECT_EQ(utf8_to_cp1251("\xD0", out, sizeof out), 1u);  // truncated
    EXPECT_STREQ(out, "?");
    EXPECT_EQ(utf8_to_cp1251("a\x80z", out, sizeof out), 3u);  // stray continuation
    EXPECT_STREQ(out, "a?z");
    EXPECT_EQ(utf8_to_cp1251("\xE4\xB8\xAD", out, sizeof out), 1u);  // not in the code page
    EXPECT_STREQ(out, "?");
    // An overlong NUL must not cut the string short.
    EXPECT_EQ(utf8_to_cp1251("a\xC0\x80z", out, sizeof out), 3u);
    EXPECT_STREQ(out, "a?z");

    out[0] = 'x';
    EXPECT_EQ(utf8_to_cp1251("abc", out, 0), 0u);
    EXPECT_EQ(out[0], 'x');
    EXPECT_EQ(utf8_to_cp1251("abc", out, 1), 0u);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(utf8_to_cp1251("abcdef", out, 4), 3u);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(utf8_to_cp1251(nullptr, out, 8), 0u);
    EXPECT_STREQ(out, "");
}

TEST(Cp1251, EveryAssignedByteRoundTrips) {
    for (int b = 1; b < 256; b++) {
        if (b == 0x98) continue;
        char in[2] = {char(b), 0}, mid[8], back[4];
        cp1251_to_utf8(in, mid, sizeof mid);
        ASSERT_EQ(utf8_to_cp1251(mid, back, sizeof back), 1u) << b;
        EXPECT_EQ((unsigned char)back[0], b);
    }
    std::string all;
    for (int b = 1; b < 256; b++)
        all.push_back(char(b));
    std::string back = utf8_to_cp1251(cp1251_to_utf8(all));
    all[0x98 - 1] = '?';
    EXPECT_EQ(back, all);
    EXPECT_EQ(cp1251_codepoint(0x98), 0u);
    EXPECT_EQ(cp1251_codepoint(0xFF), 0x044Fu);
}

TEST(Crc32, StandardValues) {
    char hex[9];
    crc32_hex("", 0, hex);
    EXPECT_STREQ(hex, "00000000");
    crc32_hex("abc", 3, hex);
    EXPECT_STREQ(hex, "352441c2");
    EXPECT_EQ(crc32_compute("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc32_compute("The quick brown fox jumps over the lazy dog", 43), 0x414FA339u);
    EXPECT_EQ(crc32_compute(nullptr, 0), 0u);
}

TEST(Crc32, FastPathMatchesBytewiseAndZlib) {
    std::mt19937 rng(12345);
    std::vector<unsigned char> buf(4096 + 16);
    for (auto &b : buf)
        b = (unsigned char)rng();
    // Every length up to 300 and a few large ones, at every alignment.
    std::vector<size_t> lens;
    for (size_t n = 0; n <= 300; n++)
        lens.push_back(n);
    lens.push_back(4095);
    lens.push_back(4096);
    for (size_t off = 0; off < 8; off++) {
        for (size_t n : lens) {
            const unsigned char *p = buf.data() + off;
            uint32_t fast = crc32_compute(p, n);
            ASSERT_EQ(fast, ~crc32_update_bytewise(0xFFFFFFFFu, p, n)) << off << "/" << n;
            ASSERT_EQ(fast, uint32_t(crc32(0L, p, uInt(n)))) << off << "/" << n;
        }
    }
    // Incremental updates over arbitrary splits give the same result.
    uint32_t whole = crc32_compute(buf.data(), 1000);
    for (size_t cut : {0, 1, 7, 8, 9, 500, 999, 1000}) {
        uint32_t c = crc32_update(0xFFFFFFFFu, buf.data(), cut);
        c = crc32_update(c, buf.data() + cut, 1000 - cut);
        EXPECT_EQ(~c, whole) << cut;
    }
}
