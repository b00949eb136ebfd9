#include "common/cp1251.h"

namespace {

// Unicode code points of CP1251 bytes 0x80..0xFF (0x98 is unassigned).
constexpr uint16_t kHigh[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // C0
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  // C8
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  // D0
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // D8
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // E0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  // E8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // F0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  // F8
};

// Encodes one table entry (0 -> "?"); returns the number of bytes (1..3).
size_t encode_utf8(uint32_t cp, char *out) {
    if (cp == 0) {
        out[0] = '?';
        return 1;
    }
    if (cp < 0x80) {
        out[0] = char(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = char(0xC0 | (cp >> 6));
        out[1] = char(0x80 | (cp & 0x3F));
        return 2;
    }
    out[0] = char(0xE0 | (cp >> 12));
    out[1] = char(0x80 | ((cp >> 6) & 0x3F));
    out[2] = char(0x80 | (cp & 0x3F));
    return 3;
}

// CP1251 byte of a code point, '?' when the code page lacks it.
char to_cp1251(uint32_t cp) {
    // A decoded NUL (overlong C0 80) would cut the string short.
    if (cp == 0) return '?';
    if (cp < 0x80) return char(cp);
    for (int i = 0; i < 128; i++) {
        if (kHigh[i] == cp) return char(0x80 + i);
    }
    return '?';
}

inline bool is_cont(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Decodes the sequence at s; returns its length and sets *cp, or returns 1
// with *cp = 0xFFFFFFFF for a byte that starts no valid 2/3-byte sequence.
size_t decode_utf8(const unsigned char *s, size_t avail, uint32_t *cp) {
    unsigned char c = s[0];
    if (c < 0x80) {
        *cp = c;
        return 1;
    }
    if ((c & 0xE0) == 0xC0 && avail >= 2 && is_cont(s[1])) {
        *cp = (uint32_t(c & 0x1F) << 6) | (s[1] & 0x3F);
        return 2;
    }
    if ((c & 0xF0) == 0xE0 && avail >= 3 && is_cont(s[1]) && is_cont(s[2])) {
        *cp = (uint32_t(c & 0x0F) << 12) | (uint32_t(s[1] & 0x3F) << 6) | (s[2] & 0x3F);
        return 3;
    }
    *cp = 0xFFFFFFFFu;
    return 1;
}

}  // namespace

uint32_t cp1251_codepoint(unsigned char byte) {
    return byte < 0x80 ? byte : kHigh[byte - 0x80];
}

size_t cp1251_to_utf8(const char *src, char *dst, size_t capacity) {
    if (capacity < 1 || !dst) return 0;
    size_t n = 0;
    if (src && capacity > 4) {
        const unsigned char *s = reinterpret_cast<const unsigned char *>(src);
        // Each byte needs at most 3 output bytes, so stopping at capacity-4
        // always leaves room for the NUL.
        while (*s && n < capacity - 4)
            n += encode_utf8(cp1251_codepoint(*s++), dst + n);
    }
    dst[n] = '\0';
    return n;
}

size_t utf8_to_cp1251(const char *src, char *dst, size_t capacity) {
    if (capacity < 1 || !dst) return 0;
    size_t n = 0;
    if (src) {
        const unsigned char *s = reinterpret_cast<const unsigned char *>(src);
        size_t len = 0;
        while (s[len])
            len++;
        size_t i = 0;
        while (i < len && n < capacity - 1) {
            uint32_t cp;
            i += decode_utf8(s + i, len - i, &cp);
            dst[n++] = cp == 0xFFFFFFFFu ? '?' : to_cp1251(cp);
        }
    }
    dst[n] = '\0';
    return n;
}

std::string cp1251_to_utf8(std::string_view src) {
    std::string out;
    out.reserve(src.size() * 2);
    char buf[3];
    for (unsigned char c : src) {
        if (c < 0x80)
            out.push_back(char(c));
        else
            out.append(buf, encode_utf8(cp1251_codepoint(c), buf));
    }
    return out;
}

std::string utf8_to_cp1251(std::string_view src) {
    std::string out;
    out.reserve(src.size());
    const unsigned char *s = reinterpret_cast<const unsigned char *>(src.data());
    size_t i = 0;
    while (i < src.size()) {
        uint32_t cp;
        i += decode_utf8(s + i, src.size() - i, &cp);
        if (cp == 0)
            out.push_back('\0');
        else
            out.push_back(cp == 0xFFFFFFFFu ? '?' : to_cp1251(cp));
    }
    return out;
}
