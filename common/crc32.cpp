#include "common/crc32.h"

#include <array>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <cstdio>
#include <cstring>

namespace {

// Slicing-by-8 tables: kTab[0] is the classic bytewise table, kTab[k][b] the
// CRC of byte b followed by k zero bytes. Built at compile time, so there is
// no first-use race between threads.
using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables make_tables() {
    Tables t{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; i++) {
        for (int k = 1; k < 8; k++)
            t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    }
    return t;
}

constexpr Tables kTab = make_tables();
static_assert(kTab[0][1] == 0x77073096u);
static_assert(kTab[0][255] == 0x2D02EF8Du);

inline uint32_t load_le32(const unsigned char *p) {
    uint32_t v;
    memcpy(&v, p, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

#if defined(__x86_64__)
// Carry-less multiplication folding (Intel's "Fast CRC Computation Using
// PCLMULQDQ", bit-reflected constants for 0xEDB88320). Takes and returns the
// raw register like crc32_update; len >= 64 and a multiple of 16.
__attribute__((target("pclmul,sse4.1"))) uint32_t crc32_clmul(const unsigned char *buf, size_t len,
                                                              uint32_t crc) {
    alignas(16) static const uint64_t k1k2[] = {0x0154442bd4, 0x01c6e41596};
    alignas(16) static const uint64_t k3k4[] = {0x01751997d0, 0x00ccaa009e};
    alignas(16) static const uint64_t k5k0[] = {0x0163cd6124, 0x0000000000};
    alignas(16) static const uint64_t poly[] = {0x01db710641, 0x01f7011641};

    __m128i x0, x1, x2, x3, x4, x5, x6, x7, x8, y5, y6, y7, y8;
    x1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + 0x00));
    x2 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + 0x10));
    x3 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + 0x20));
    x4 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + 0x30));
    x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(int(crc)));
    x0 = _mm_load_si128(reinterpret_cast<const __m128i *>(k1k2));
    buf += 64;
    len -= 64;

    // Four lanes of 128 bits folded forward by 512 bits at a time.
    while (len >= 64) {
        x5 = _mm_clmulepi64_si128(x1, x0, 0x00);
        x6 = _mm_clmulepi64_si128(x2, x0, 0x00);
        x7 = _mm_clmulepi64_si128(x3, x0, 0x00);
        x8 = _mm_clmulepi64_si128(x4, x0, 0x00);
        x1 = _mm_clmulepi64_si128(x1, x0, 0x11);
        x2 = _mm_clmulepi64_si128(x2, x0, 0x11);
        x3 = _mm_clmulepi64_si128(x3, x0, 0x11);
        x4 = _mm_clmulepi64_si128(x4, x0, 0x11);
        y5 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + 0x00));
        y6 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + 0x10));
        y7 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + 0x20));
        y8 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + 0x30));
        x1 = _mm_xor_si128(_mm_xor_si128(x1, x5), y5);
        x2 = _mm_xor_si128(_mm_xor_si128(x2, x6), y6);
        x3 = _mm_xor_si128(_mm_xor_si128(x3, x7), y7);
        x4 = _mm_xor_si128(_mm_xor_si128(x4, x8), y8);
        buf += 64;
        len -= 64;
    }

    // Fold the four lanes into one.
    x0 = _mm_load_si128(reinterpret_cast<const __m128i *>(k3k4));
    for (__m128i next : {x2, x3, x4}) {
        x5 = _mm_clmulepi64_si128(x1, x0, 0x00);
        x1 = _mm_clmulepi64_si128(x1, x0, 0x11);
        x1 = _mm_xor_si128(_mm_xor_si128(x1, next), x5);
    }
    while (len >= 16) {
        x2 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf));
        x5 = _mm_clmulepi64_si128(x1, x0, 0x00);
        x1 = _mm_clmulepi64_si128(x1, x0, 0x11);
        x1 = _mm_xor_si128(_mm_xor_si128(x1, x2), x5);
        buf += 16;
        len -= 16;
    }

    // 128 -> 64 bits.
    x2 = _mm_clmulepi64_si128(x1, x0, 0x10);
    x3 = _mm_setr_epi32(~0, 0, ~0, 0);
    x1 = _mm_srli_si128(x1, 8);
    x1 = _mm_xor_si128(x1, x2);
    x0 = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(k5k0));
    x2 = _mm_srli_si128(x1, 4);
    x1 = _mm_and_si128(x1, x3);
    x1 = _mm_clmulepi64_si128(x1, x0, 0x00);
    x1 = _mm_xor_si128(x1, x2);

    // Barrett reduction to 32 bits.
    x0 = _mm_load_si128(reinterpret_cast<const __m128i *>(poly));
    x2 = _mm_and_si128(x1, x3);
    x2 = _mm_clmulepi64_si128(x2, x0, 0x10);
    x2 = _mm_and_si128(x2, x3);
    x2 = _mm_clmulepi64_si128(x2, x0, 0x00);
    x1 = _mm_xor_si128(x1, x2);
    return uint32_t(_mm_extract_epi32(x1, 1));
}

// Until this is initialised (a call from another static initialiser) the
// table method answers, with the same result.
const bool kHaveClmul = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}();
#endif

uint32_t crc32_sliced(uint32_t crc, const unsigned char *p, size_t length) {
    while (length >= 8) {
        uint32_t a = load_le32(p) ^ crc;
        uint32_t b = load_le32(p + 4);
        crc = kTab[7][a & 0xFF] ^ kTab[6][(a >> 8) & 0xFF] ^ kTab[5][(a >> 16) & 0xFF] ^
              kTab[4][a >> 24] ^ kTab[3][b & 0xFF] ^ kTab[2][(b >> 8) & 0xFF] ^
              kTab[1][(b >> 16) & 0xFF] ^ kTab[0][b >> 24];
        p += 8;
        length -= 8;
    }
    while (length--)
        crc = kTab[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return crc;
}

}  // namespace

uint32_t crc32_update_bytewise(uint32_t crc, const void *data, size_t length) {
    const unsigned char *p = static_cast<const unsigned char *>(data);
    if (!p) return crc;
    while (length--)
        crc = kTab[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return crc;
}

uint32_t crc32_update(uint32_t crc, const void *data, size_t length) {
    const unsigned char *p = static_cast<const unsigned char *>(data);
    if (!p) return crc;
#if defined(__x86_64__)
    // Below a few hundred bytes the table method is as fast and has no setup.
    if (kHaveClmul && length >= 256) {
        size_t chunk = length & ~size_t(15);
        crc = crc32_clmul(p, chunk, crc);
        p += chunk;
        length -= chunk;
    }
#endif
    return crc32_sliced(crc, p, length);
}

uint32_t crc32_compute(const void *data, size_t length) {
    return ~crc32_update(0xFFFFFFFFu, data, length);
}

void crc32_hex(const void *data, size_t length, char out[9]) {
    if (!out) return;
    snprintf(out, 9, "%08x", crc32_compute(data, length));
}
