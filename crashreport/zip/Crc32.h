// CRC-32 of ZIP (reflected polynomial 0xEDB88320, initial and final value
// inverted), computed eight bytes at a time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvex {

// The CRC of `size` bytes at `data` following the bytes whose CRC is `crc`
// (0 to start).
uint32_t Crc32(uint32_t crc, const void* data, size_t size);

}  // namespace tarvex
