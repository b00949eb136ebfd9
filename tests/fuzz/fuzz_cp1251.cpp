// Legacy channel tables and user text pass through both conversions; any
// byte sequence must convert within the capacity, always NUL-terminated.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/cp1251.h"
#include "common/crc32.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    size_t cap = data[0];
    std::string in(reinterpret_cast<const char *>(data + 1), size - 1);
    std::vector<char> out(cap + 1, '#');
    size_t n = utf8_to_cp1251(in.c_str(), out.data(), cap);
    if (cap > 0 && (n >= cap || out[n] != '\0')) abort();
    if (out[cap] != '#') abort();
    n = cp1251_to_utf8(in.c_str(), out.data(), cap);
    if (cap > 0 && (n >= cap || out[n] != '\0')) abort();
    if (out[cap] != '#') abort();
    // Every CP1251 text survives the trip through UTF-8 (0x98 aside).
    std::string back = utf8_to_cp1251(cp1251_to_utf8(in));
    if (back.size() != in.size()) abort();
    if (crc32_compute(data, size) != ~crc32_update_bytewise(0xFFFFFFFFu, data, size)) abort();
    return 0;
}
