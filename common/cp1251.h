#pragma once

// Conversion between the legacy CP1251 (Windows-1251) code page and UTF-8.
// Both return the number of bytes written without the NUL and terminate the
// output whenever capacity >= 1. Unconvertible characters become "?".

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

size_t cp1251_to_utf8(const char *src, char *dst, size_t capacity);
size_t utf8_to_cp1251(const char *src, char *dst, size_t capacity);

// Whole-string forms without a capacity limit.
std::string cp1251_to_utf8(std::string_view src);
std::string utf8_to_cp1251(std::string_view src);

// Unicode code point of a CP1251 byte (0 for the unassigned 0x98).
uint32_t cp1251_codepoint(unsigned char byte);
