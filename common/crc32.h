#pragma once

// Standard CRC-32 (IEEE 802.3, reflected polynomial 0xEDB88320): the CRC of
// "abc" is 352441c2.

#include <cstddef>
#include <cstdint>

// Updates the register without pre- or post-inversion.
uint32_t crc32_update(uint32_t crc, const void *data, size_t length);

// CRC-32 of the data: ~crc32_update(0xFFFFFFFF, data, length).
uint32_t crc32_compute(const void *data, size_t length);

// Writes the CRC-32 as "%08x" (8 lower-case hex digits and a NUL) into out.
void crc32_hex(const void *data, size_t length, char out[9]);

// The plain one-byte-at-a-time table method; same results as crc32_update
// (kept for checking and measuring the fast path).
uint32_t crc32_update_bytewise(uint32_t crc, const void *data, size_t length);
