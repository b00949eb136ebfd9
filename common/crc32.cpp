#include "common/crc32.h"

#include <array>
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

uint32_t crc32_compute(const void *data, size_t length) {
    return ~crc32_update(0xFFFFFFFFu, data, length);
}

void crc32_hex(const void *data, size_t length, char out[9]) {
    if (!out) return;
    snprintf(out, 9, "%08x", crc32_compute(data, length));
}
