#pragma once
// One fuzz input through both code-page conversions and the CRC: the first
// byte is the output capacity, the rest the text. Any byte sequence converts
// within the capacity, always NUL-terminated. Shared by the fuzz target and
// the corpus replay test.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/cp1251.h"
#include "common/crc32.h"

namespace cp1251_fuzz {

// The UTF-8 text the input converts to within its capacity.
inline std::string run_one(const uint8_t *data, size_t size) {
    if (size == 0) return "";
    size_t cap = data[0];
    std::string in(reinterpret_cast<const char *>(data + 1), size - 1);
    std::vector<char> out(cap + 1, '#');
    size_t n = utf8_to_cp1251(in.c_str(), out.data(), cap);
    if (cap > 0 && (n >= cap || out[n] != '\0')) abort();
    if (out[cap] != '#') abort();
    n = cp1251_to_utf8(in.c_str(), out.data(), cap);
    if (cap > 0 && (n >= cap || out[n] != '\0')) abort();
    if (out[cap] != '#') abort();
    std::string utf8 = cap > 0 ? std::string(out.data(), n) : "";
    // Every CP1251 text survives the trip through UTF-8 (0x98 aside).
    std::string back = utf8_to_cp1251(cp1251_to_utf8(in));
    if (back.size() != in.size()) abort();
    if (crc32_compute(data, size) != ~crc32_update_bytewise(0xFFFFFFFFu, data, size)) abort();
    return utf8;
}

}  // namespace cp1251_fuzz
