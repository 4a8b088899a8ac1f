#pragma once

#include <cstddef>
#include <cstdint>

// Standard CRC-32 (IEEE 802.3, reflected polynomial 0xEDB88320, register
// preset to 0xFFFFFFFF, result complemented), as carried in the upload image
// header. Each call computes one CRC from scratch; there is no running value.
std::uint32_t crc32(const std::uint8_t* data, std::size_t length);
